// ICAP server status job. An OPTIONS request proves the server answers on the
// configured port; with no infection or violation header names in the record
// the shared answer reader stops after the status line, so nothing else of
// the answer (a server may keep the connection open) is waited for.
#include "icap/icap_status.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>

#include "icap/icap_io.h"
#include "icap/icap_response.h"
#include "icap/icap_scan.h"
#include "runtime/config.h"
#include "runtime/log.h"

namespace {

constexpr uint32_t kOptionsBufSize = 256;

}  // namespace

int decodeIcapServStaus(json_object* request, void* record, uint32_t recordSize) {
  IcapScanRecord* rec = startIcapDecode(__func__, request, record, recordSize);
  if (rec == nullptr) return -1;
  rec->Infection[0] = '\0';
  rec->Violation[0] = '\0';
  if (decodeIcapServerMembers(request, rec) != 0) return -1;
  AV_DBG("Server IP %s:%u", rec->ServIp, static_cast<unsigned>(rec->ServPort));
  return 0;
}

int buildOptionsHeader(char* buf, uint32_t size, const AvServerAddr* addr) {
  if (buf == nullptr || addr == nullptr || size == 0) {
    AV_ERR("The para buf is null.");
    return -1;
  }
  if (addr->ip[0] == '\0') {
    AV_ERR("IP adress is empty.");
    return -1;
  }
  char ip[ICAP_ADDR_TEXT_MAX + 1] = {0};
  memcpy(ip, addr->ip, ICAP_ADDR_TEXT_MAX);
  if (hasIcapControlChar(ip)) {
    AV_ERR("The request's ServIp holds a control character.");
    return -1;
  }
  char host[ICAP_ADDR_TEXT_MAX + 3] = {0};
  formatIcapHost(ip, host, sizeof(host));
  char tail[48] = {0};
  snprintf(tail, sizeof(tail), ":%d/avscan ICAP/1.0\r\n\r\n", static_cast<int>(addr->port));
  size_t len = strnlen(buf, size - 1);
  appendCut(buf, size, &len, "OPTIONS icap://");
  appendCut(buf, size, &len, host);
  appendCut(buf, size, &len, tail);
  return 0;
}

int getServStatusIcap(void* record, uint32_t recordSize) {
  if (recordSize < sizeof(IcapScanRecord)) {
    AV_ERR("Buff is too small(%u), real size(%u).", recordSize,
           static_cast<unsigned>(sizeof(IcapScanRecord)));
    return -1;
  }
  if (record == nullptr) {
    AV_ERR("The para is invalid.");
    return -1;
  }
  auto* rec = static_cast<IcapScanRecord*>(record);
  AvServerAddr addr = icapServerAddr(rec);
  char icapMsg[kOptionsBufSize] = {0};
  if (buildOptionsHeader(icapMsg, sizeof(icapMsg), &addr) != 0) {
    AV_ERR("Call buildOptionsHeader failed.");
    return -1;
  }
  return exchangeIcap(addr, icapMsg, rec);
}

int buildIcapServStatusRespMsg(void* record, uint32_t recordSize, char* result,
                               uint32_t resultSize) {
  (void)recordSize;
  if (record == nullptr || result == nullptr || resultSize == 0) {
    AV_ERR("Null pointer");
    return -1;
  }
  const auto* rec = static_cast<const IcapScanRecord*>(record);
  return writeIcapResult(result, resultSize, 0, 2, rec->result, rec->isTag);
}

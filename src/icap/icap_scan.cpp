// ICAP scan job. The storage system names the method, the path header and the
// server's infection / violation header names in every job, so the agent stays
// vendor-neutral: it only assembles the request and judges the header block.
// Buffers come from the pool and the socket is owned by a guard, so that every
// early return releases them.
#include "icap/icap_scan.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "icap/icap_io.h"
#include "icap/icap_response.h"
#include "jobs/charset.h"
#include "jobs/result_text.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"
#include "runtime/os_helper.h"

namespace {

constexpr uint32_t kRequestBufSize = 9112;
constexpr uint32_t kAnsiPathBufSize = 8600;

class SocketGuard {
 public:
  SocketGuard() = default;
  ~SocketGuard() {
    closeAvServer(fd_);
  }
  SocketGuard(const SocketGuard&) = delete;
  SocketGuard& operator=(const SocketGuard&) = delete;
  int* out() { return &fd_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

int readServPort(json_object* request, IcapScanRecord* rec) {
  json_object* port = json_object_object_get(request, "ServPort");
  if (port == nullptr) {
    AV_ERR("Get antivirus server ip port object failed.");
    return -1;
  }
  rec->ServPort = static_cast<uint16_t>(json_object_get_int(port));
  return 0;
}

bool isTrimmed(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

}  // namespace

void trimIcapText(char* text) {
  if (text == nullptr) return;
  size_t len = strlen(text);
  while (len > 0 && isTrimmed(text[len - 1])) text[--len] = '\0';
  size_t start = 0;
  while (start < len && isTrimmed(text[start])) ++start;
  if (start > 0) memmove(text, text + start, len - start + 1);
}

IcapMemberRead readIcapMember(json_object* request, const char* key, char* out,
                              uint32_t width) {
  json_object* value = json_object_object_get(request, key);
  if (value == nullptr) return IcapMemberRead::kMissing;
  const char* text = json_object_get_string(value);
  if (text == nullptr) text = "";
  // A JSON string may carry "\u0000": its length, not strlen, says what was sent.
  size_t len = json_object_is_type(value, json_type_string)
                   ? static_cast<size_t>(json_object_get_string_len(value))
                   : strlen(text);
  size_t n = len < width - 1 ? len : width - 1;
  memcpy(out, text, n);
  out[n] = '\0';
  const bool nul = strlen(out) < n;
  trimIcapText(out);
  return nul || hasIcapControlChar(out) ? IcapMemberRead::kControlChar : IcapMemberRead::kRead;
}

bool readIcapTextMember(json_object* request, const char* key, char* out, uint32_t width) {
  return readIcapMember(request, key, out, width) != IcapMemberRead::kMissing;
}

int readIcapTextMembers(json_object* request, const IcapTextMember* members, int count) {
  for (int i = 0; i < count; ++i) {
    const IcapTextMember& m = members[i];
    IcapMemberRead r = readIcapMember(request, m.key, m.field, m.width);
    if (r == IcapMemberRead::kMissing) {
      AV_ERR("%s", m.missing);
      return -1;
    }
    if (r == IcapMemberRead::kControlChar) {
      AV_ERR("Member %s holds a control character.", m.key);
      return -1;
    }
  }
  return 0;
}

bool hasIcapControlChar(const char* text) {
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

void formatIcapHost(const char* ip, char* out, uint32_t size) {
  if (out == nullptr || size == 0) return;
  if (ip == nullptr) ip = "";
  if (strchr(ip, ':') != nullptr)
    snprintf(out, size, "[%s]", ip);
  else
    snprintf(out, size, "%s", ip);
}

IcapScanRecord* startIcapDecode(const char* caller, json_object* request, void* record,
                                uint32_t recordSize) {
  if (recordSize < sizeof(IcapScanRecord)) {
    BRIM_Log(AV_MODULE_AGENT, AVLOG_ERR, caller, __LINE__, 0,
             "Buff is too small(%u), real size(%u).", recordSize,
             static_cast<unsigned>(sizeof(IcapScanRecord)));
    return nullptr;
  }
  if (request == nullptr || record == nullptr) {
    BRIM_Log(AV_MODULE_AGENT, AVLOG_ERR, caller, __LINE__, 0, "The para is invalid.");
    return nullptr;
  }
  auto* rec = static_cast<IcapScanRecord*>(record);
  rec->isTag[0] = '\0';
  rec->status = 0;
  rec->result = -1;
  return rec;
}

int decodeIcapServerMembers(json_object* request, IcapScanRecord* rec) {
  const IcapTextMember servIp = {"ServIp", rec->ServIp, sizeof(rec->ServIp),
                                 "Get antivirus server ip object failed."};
  return readIcapTextMembers(request, &servIp, 1) != 0 ? -1 : readServPort(request, rec);
}

AvServerAddr icapServerAddr(const IcapScanRecord* record) {
  AvServerAddr addr{};
  snprintf(addr.ip, sizeof(addr.ip), "%.*s", static_cast<int>(ICAP_ADDR_TEXT_MAX),
           record->ServIp);
  addr.port = getIcapPort();
  return addr;
}

int exchangeIcap(const AvServerAddr& addr, const char* request, IcapScanRecord* record) {
  SocketGuard sock;
  int rc = connectAvServer(addr, sock.out());
  if (rc != 0) {
    AV_ERR("Connect avserver failed(%d).", rc);
    return rc;
  }
  rc = sendUncPath2Server(sock.fd(), request);
  if (rc != 0) {
    AV_ERR("Connect avserver failed(%d).", rc);
    return rc;
  }
  rc = receiveResultFromServer(sock.fd(), record);
  if (rc != 0) {
    AV_ERR("Icap get scan result failed(%d).", rc);
    return rc;
  }
  return 0;
}

int decodeIcapMsg(json_object* request, void* record, uint32_t recordSize) {
  IcapScanRecord* rec = startIcapDecode(__func__, request, record, recordSize);
  if (rec == nullptr) return -1;

  const IcapTextMember head[] = {
      {"Method", rec->Method, sizeof(rec->Method), "Get method object failed."},
      {"PathKey", rec->PathKey, sizeof(rec->PathKey), "Get file path key object failed."},
      {"FilePath", rec->FilePath, sizeof(rec->FilePath), "Get file path object failed."},
      {"LifIp", rec->LifIp, sizeof(rec->LifIp), "Get lif ip object failed."},
      {"ServIp", rec->ServIp, sizeof(rec->ServIp), "Get antivirus server ip object failed."},
  };
  if (readIcapTextMembers(request, head, 5) != 0 || readServPort(request, rec) != 0) return -1;
  const IcapTextMember tail[] = {
      {"Infection", rec->Infection, sizeof(rec->Infection), "Get infection object failed."},
      {"Violation", rec->Violation, sizeof(rec->Violation), "Get violation object failed."},
  };
  return readIcapTextMembers(request, tail, 2);
}

int buidlIcapMsg(const IcapScanRecord* record, char* buf, uint32_t size) {
  if (record == nullptr || buf == nullptr || size == 0) return -1;
  PoolBuf path(kAnsiPathBufSize);
  if (!path) return -1;
  // The converter writes its terminator; only the text in front of it is read.
  path.chars()[0] = '\0';
  // Bytes that are not UTF-8 would reach the server as U+FFFD: a path to
  // another file, whose verdict the job would then give.
  if (!utf8IsExact(record->FilePath)) {
    AV_ERR("The request's FilePath is not UTF-8.");
    return -1;
  }
  int rc = UTF8ToANSI(record->FilePath, path.chars(), kAnsiPathBufSize);
  if (rc != 0) return rc;
  // The request's framing is CR LF: a job piece holding a line end (or any
  // other control byte) would add headers or a second request of its own.
  const std::pair<const char*, const char*> jobPieces[] = {
      {"Method", record->Method}, {"ServIp", record->ServIp},
      {"PathKey", record->PathKey}, {"FilePath", path.chars()}};
  for (const auto& [name, text] : jobPieces) {
    if (hasIcapControlChar(text)) {
      AV_ERR("The request's %s holds a control character.", name);
      return -1;
    }
  }

  char port[16] = {0};
  snprintf(port, sizeof(port), "%u", static_cast<unsigned>(getIcapPort()));
  char host[sizeof(record->ServIp) + 2] = {0};
  formatIcapHost(record->ServIp, host, sizeof(host));
  size_t len = strnlen(buf, size - 1);
  const char* pieces[] = {
      record->Method, " icap://", host, ":", port, "/", "AVSCAN", " ICAP/1.0\r\n",
      "Host: ", host, ":", port, "\r\n",
      record->PathKey, ": ", path.chars(), "\r\n",
      "Connection: close\r\n",
      "Encapsulated: null-body=0\r\n\r\n",
  };
  for (const char* piece : pieces) appendCut(buf, size, &len, piece);
  AV_DBG("Scan message(%s)", buf);
  return 0;
}

int receiveResultFromServer(int sock, IcapScanRecord* record) {
  if (record == nullptr) {
    AV_ERR("The para is invalid.");
    return -1;
  }
  int icapReturnState = 0;
  int icapResolutionValue = -1;
  char lbuf[ICAP_LINE_CAPACITY] = {0};
  char virusName[ICAP_LINE_CAPACITY] = {0};
  IcapAnswerBudget budget{0, 0};
  char statusLine[ICAP_STATUS_LINE_KEPT + 1] = {0};
  for (;;) {
    if (readAnswerLine(sock, lbuf, sizeof(lbuf), &budget) != 0) return -1;
    if (lbuf[0] == '\0') break;
    AV_DBG("Recv icap message (%s)", lbuf);
    if (budget.lines == 1) {
      keepStatusLine(lbuf, statusLine, sizeof(statusLine));
      getICAPReturnState(&icapReturnState, lbuf);
    }
    if (headerNameHas(lbuf, "ISTag") &&
        getISTagValue(lbuf, record->isTag, sizeof(record->isTag)) != 0) {
      AV_ERR("Get ISTag failed.");
      return -1;
    }
    if (record->Infection[0] == '\0') break;
    if (headerNameHas(lbuf, record->Infection)) {
      int resolution = -1;
      if (getResolutionValue(lbuf, &resolution) != 0) {
        AV_ERR("Get Resolution failed.");
        return -1;
      }
      // Clean by resolution only when every infection header says so.
      if (icapResolutionValue == -1 || resolution != 2) icapResolutionValue = resolution;
    }
    if (record->Violation[0] == '\0') break;
    int virusNum = 0;
    if (getVirusNum(sock, record->Violation, lbuf, sizeof(lbuf), &virusNum, virusName,
                    sizeof(virusName), &budget) != 0)
      return -1;
  }
  if (icapReturnState == 0 && getIcapStrict() && strstr(statusLine, "ICAP/1.0 204") != statusLine) {
    AV_WARN("Icap answer without a known status(%s): error result (IcapStrict).", statusLine);
    return -1;
  }
  return judgeICAPResult(icapReturnState, icapResolutionValue, &record->result);
}

int scanFileIcap(void* record, uint32_t recordSize) {
  if (record == nullptr || recordSize < sizeof(IcapScanRecord)) {
    AV_ERR("The para is invalid.");
    return -1;
  }
  auto* rec = static_cast<IcapScanRecord*>(record);
  PoolBuf request(kRequestBufSize);
  if (!request) return -1;
  // The request is built by appending with a terminator after every piece, so
  // an empty text is all the block needs (clearing 9 KB per job showed up).
  request.chars()[0] = '\0';
  int rc = buidlIcapMsg(rec, request.chars(), kRequestBufSize);
  if (rc != 0) return rc;

  AvServerAddr addr = icapServerAddr(rec);
  AV_DBG("Start to connect av server(%s:%u)", addr.ip, addr.port);
  return exchangeIcap(addr, request.chars(), rec);
}

int buildIcapScanRespMsg(void* record, uint32_t recordSize, char* result, uint32_t resultSize) {
  (void)recordSize;
  if (record == nullptr || result == nullptr || resultSize == 0) {
    AV_ERR("Null pointer");
    return -1;
  }
  const auto* rec = static_cast<const IcapScanRecord*>(record);
  if (writeIcapResult(result, resultSize, rec->status, 1, rec->result, rec->isTag) != 0) return -1;
  AV_DBG("Scan result : %s.", result);
  return 0;
}

int writeIcapResult(char* result, uint32_t resultSize, int32_t status, int32_t avType,
                    int32_t scanResult, const char* isTag) {
  if (result == nullptr || resultSize == 0 ||
      buildScanRespMsg(result, resultSize, isTag, avType, scanResult, status) != 1)
    return -1;
  return 0;
}

int buildIcapErrRespMsg(char* result, uint32_t resultSize) {
  if (result == nullptr || resultSize == 0) {
    AV_ERR("Null pointer");
    return -1;
  }
  constexpr int32_t kErrorStatus = 1;
  return writeIcapResult(result, resultSize, kErrorStatus, 1, 1, "");
}

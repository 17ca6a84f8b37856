// ICAP scan job. The storage system names the method, the path header and the
// server's infection / violation header names in every job, so the agent stays
// vendor-neutral: it only assembles the request and judges the header block.
// Buffers come from the pool and the socket is owned by a guard, so that every
// early return releases them.
#include "icap/icap_scan.h"

#include <json-c/json.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "icap/icap_io.h"
#include "icap/icap_response.h"
#include "jobs/charset.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {

constexpr uint32_t kRequestBufSize = 9112;
constexpr uint32_t kAnsiPathBufSize = 8600;

// Appends text to buf (length *len), cut so that buf keeps its terminator.
void appendCut(char* buf, uint32_t size, size_t* len, const char* text) {
  if (*len + 1 >= size) return;
  size_t n = strnlen(text, size - 1 - *len);
  memcpy(buf + *len, text, n);
  *len += n;
  buf[*len] = '\0';
}

class SocketGuard {
 public:
  SocketGuard() = default;
  ~SocketGuard() {
    if (fd_ >= 0) close(fd_);
  }
  SocketGuard(const SocketGuard&) = delete;
  SocketGuard& operator=(const SocketGuard&) = delete;
  int* out() { return &fd_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

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

bool readIcapTextMember(json_object* request, const char* key, char* out, uint32_t width) {
  json_object* value = json_object_object_get(request, key);
  if (value == nullptr) return false;
  const char* text = json_object_get_string(value);
  if (text == nullptr) text = "";
  size_t n = strnlen(text, width - 1);
  memcpy(out, text, n);
  out[n] = '\0';
  trimIcapText(out);
  return true;
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

int decodeIcapMsg(json_object* request, void* record, uint32_t recordSize) {
  IcapScanRecord* rec = startIcapDecode(__func__, request, record, recordSize);
  if (rec == nullptr) return -1;

  struct TextMember {
    const char* key;
    char* field;
    uint32_t width;
    const char* missing;
  };
  const TextMember head[] = {
      {"Method", rec->Method, sizeof(rec->Method), "Get method object failed."},
      {"PathKey", rec->PathKey, sizeof(rec->PathKey), "Get file path key object failed."},
      {"FilePath", rec->FilePath, sizeof(rec->FilePath), "Get file path object failed."},
      {"LifIp", rec->LifIp, sizeof(rec->LifIp), "Get lif ip object failed."},
      {"ServIp", rec->ServIp, sizeof(rec->ServIp), "Get antivirus server ip object failed."},
  };
  for (const auto& m : head) {
    if (!readIcapTextMember(request, m.key, m.field, m.width)) {
      AV_ERR("%s", m.missing);
      return -1;
    }
  }
  json_object* port = json_object_object_get(request, "ServPort");
  if (port == nullptr) {
    AV_ERR("Get antivirus server ip port object failed.");
    return -1;
  }
  rec->ServPort = static_cast<uint16_t>(json_object_get_int(port));
  if (!readIcapTextMember(request, "Infection", rec->Infection, sizeof(rec->Infection))) {
    AV_ERR("Get infection object failed.");
    return -1;
  }
  if (!readIcapTextMember(request, "Violation", rec->Violation, sizeof(rec->Violation))) {
    AV_ERR("Get violation object failed.");
    return -1;
  }
  return 0;
}

int buidlIcapMsg(const IcapScanRecord* record, char* buf, uint32_t size) {
  if (record == nullptr || buf == nullptr || size == 0) return -1;
  PoolBuf path(kAnsiPathBufSize);
  if (!path) return -1;
  // The converter writes its terminator; only the text in front of it is read.
  path.chars()[0] = '\0';
  int rc = UTF8ToANSI(record->FilePath, path.chars(), kAnsiPathBufSize);
  if (rc != 0) return rc;

  char port[16] = {0};
  snprintf(port, sizeof(port), "%u", static_cast<unsigned>(getIcapPort()));
  size_t len = strnlen(buf, size - 1);
  const char* pieces[] = {
      record->Method, " icap://", record->ServIp, ":", port, "/", "AVSCAN", " ICAP/1.0\r\n",
      "Host: ", record->ServIp, ":", port, "\r\n",
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
  for (;;) {
    if (icapReadline(sock, lbuf, sizeof(lbuf)) != 0) return -1;
    if (lbuf[0] == '\0') break;
    AV_DBG("Recv icap message (%s)", lbuf);
    getICAPReturnState(&icapReturnState, lbuf);
    if (strstr(lbuf, "ISTag") != nullptr &&
        getISTagValue(lbuf, record->isTag, sizeof(record->isTag)) != 0) {
      AV_ERR("Get ISTag failed.");
      return -1;
    }
    if (record->Infection[0] == '\0') break;
    if (strstr(lbuf, record->Infection) != nullptr &&
        getResolutionValue(lbuf, &icapResolutionValue) != 0) {
      AV_ERR("Get Resolution failed.");
      return -1;
    }
    if (record->Violation[0] == '\0') break;
    int virusNum = 0;
    if (getVirusNum(sock, record->Violation, lbuf, sizeof(lbuf), &virusNum, virusName,
                    sizeof(virusName)) != 0)
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

  AvServerAddr addr{};
  snprintf(addr.ip, sizeof(addr.ip), "%.*s", static_cast<int>(ICAP_ADDR_TEXT_MAX), rec->ServIp);
  addr.port = getIcapPort();
  AV_DBG("Start to connect av server(%s:%u)", addr.ip, addr.port);

  SocketGuard sock;
  rc = connectAvServer(addr, sock.out());
  if (rc != 0) {
    AV_ERR("Connect avserver failed(%d).", rc);
    return rc;
  }
  rc = sendUncPath2Server(sock.fd(), request.chars());
  if (rc != 0) {
    AV_ERR("Connect avserver failed(%d).", rc);
    return rc;
  }
  rc = receiveResultFromServer(sock.fd(), rec);
  if (rc != 0) {
    AV_ERR("Icap get scan result failed(%d).", rc);
    return rc;
  }
  return 0;
}

int buildIcapScanRespMsg(void* record, uint32_t recordSize, char* result, uint32_t resultSize) {
  (void)recordSize;
  if (record == nullptr || result == nullptr || resultSize == 0) {
    AV_ERR("Null pointer");
    return -1;
  }
  const auto* rec = static_cast<const IcapScanRecord*>(record);
  // ISTags are plain tokens in practice and go out unchanged; a server that puts
  // a backslash or a control character in one must not turn the storage
  // system's answer into invalid JSON, so those bytes are escaped.
  char tag[ICAP_ISTAG_MAX * 6 + 1];
  size_t t = 0;
  for (size_t i = 0; i < ICAP_ISTAG_MAX && rec->isTag[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(rec->isTag[i]);
    if (c >= 0x20 && c != 0x7F && c != '\\' && c != '"') {
      tag[t++] = static_cast<char>(c);
    } else if (c == '\\' || c == '"') {
      tag[t++] = '\\';
      tag[t++] = static_cast<char>(c);
    } else {
      t += static_cast<size_t>(snprintf(tag + t, sizeof(tag) - t, "\\u%04x", c));
    }
  }
  tag[t] = '\0';
  snprintf(result, resultSize,
           "{\"status\": \"%d\",\"avType\": \"1\",\"result\": \"%d\",\"isTag\": \"%s\"}",
           rec->status, rec->result, tag);
  AV_DBG("Scan result : %s.", result);
  return 0;
}

int buildIcapErrRespMsg(char* result, uint32_t resultSize) {
  if (result == nullptr || resultSize == 0) {
    AV_ERR("Null pointer");
    return -1;
  }
  constexpr unsigned kErrorStatus = 1;
  snprintf(result, resultSize,
           "{\"status\": \"%u\",\"avType\": \"1\",\"result\": \"1\",\"isTag\": \"\"}",
           kErrorStatus);
  return 0;
}

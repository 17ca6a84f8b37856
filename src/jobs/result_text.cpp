// The texts are assembled with a bounded appender rather than one format
// string: the shapes are sequences of literal and number pieces, and the
// storage system compares them byte for byte, so each piece is spelled once.
#include "jobs/result_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "runtime/log.h"

namespace {

constexpr int32_t kMaxPorts = 16;

class Appender {
 public:
  Appender(char* out, uint32_t size) : out_(out), size_(size) {
    if (size_ > 0) out_[0] = '\0';
  }
  void text(const char* s) { put(s, strlen(s)); }
  void num(int32_t v) {
    char b[16];
    put(b, static_cast<size_t>(snprintf(b, sizeof(b), "%" PRId32, v)));
  }
  void unum(uint64_t v) {
    char b[24];
    put(b, static_cast<size_t>(snprintf(b, sizeof(b), "%" PRIu64, v)));
  }
  // At most maxChars bytes of s as the inside of a JSON string: a double quote
  // and a backslash get a backslash, bytes below 0x20 and 0x7F become \u00XX.
  void jsonText(const char* s, uint32_t maxChars) {
    for (uint32_t i = 0; i < maxChars && s[i] != '\0'; ++i) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      char piece[8];
      size_t n = 0;
      if (c == '"' || c == '\\') {
        piece[n++] = '\\';
        piece[n++] = static_cast<char>(c);
      } else if (c < 0x20 || c == 0x7F) {
        n = static_cast<size_t>(snprintf(piece, sizeof(piece), "\\u%04x", c));
      } else {
        piece[n++] = static_cast<char>(c);
      }
      put(piece, n);
    }
  }
  // 1 when everything fitted; otherwise the room is left empty.
  int finish() {
    if (overflow_) {
      if (size_ > 0) memset(out_, 0, size_);
      AV_ERR("Result text does not fit, size(%u).", size_);
      return 0;
    }
    return 1;
  }

 private:
  void put(const char* s, size_t n) {
    if (overflow_) return;
    if (len_ + n + 1 > size_) {
      overflow_ = true;
      return;
    }
    memcpy(out_ + len_, s, n);
    len_ += n;
    out_[len_] = '\0';
  }
  char* out_;
  uint32_t size_;
  size_t len_ = 0;
  bool overflow_ = false;
};

}  // namespace

int buildScanRespMsg(char* result, uint32_t resultSize, const char* isTag,
                     int32_t avType, int32_t scanResult, int32_t status) {
  Appender a(result, resultSize);
  a.text("{\"status\": \"");
  a.num(status);
  a.text("\",\"avType\": \"");
  a.num(avType);
  a.text("\",\"result\": \"");
  a.num(scanResult);
  a.text("\",\"isTag\": \"");
  a.jsonText(isTag, UINT32_MAX);
  a.text("\"}");
  return a.finish();
}

int buildStatusRespMsg(char* result, uint32_t resultSize, int32_t status, int32_t avType,
                       const char* isTag, int32_t portCount, const uint64_t* portIds,
                       const int32_t* portStatus) {
  Appender a(result, resultSize);
  a.text("{\"status\": \"");
  a.num(status);
  a.text("\",\"avType\": \"");
  a.num(avType);
  a.text("\",\"isTag\": \"");
  a.jsonText(isTag, UINT32_MAX);
  a.text("\"");
  if (portCount <= 0) {
    a.text("}");
    return a.finish();
  }
  if (portCount > kMaxPorts) portCount = kMaxPorts;
  a.text(",\"lifIpsStatus\":[");
  for (int32_t i = 0; i < portCount; ++i) {
    a.text("{\"lifid\":\"");
    a.unum(portIds[i]);
    a.text("\",\"status\":\"");
    a.num(portStatus[i]);
    a.text(i + 1 < portCount ? "\"}, " : "\"}]}");
  }
  return a.finish();
}

int buildRespMsg(char* result, uint32_t resultSize, int32_t opCode, int32_t avType,
                 int32_t status, int32_t scanResult, const char* isTag,
                 int32_t portCount, const uint64_t* portIds, const int32_t* portStatus) {
  if (result == nullptr || isTag == nullptr || portIds == nullptr || portStatus == nullptr)
    return 0;
  if (avType != 0) return 1;
  if (opCode == 0)
    return buildStatusRespMsg(result, resultSize, status, avType, isTag, portCount, portIds,
                              portStatus);
  if (opCode == 1)
    return buildScanRespMsg(result, resultSize, isTag, avType, scanResult, status);
  return 1;
}

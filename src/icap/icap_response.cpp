// Header-block interpretation for both ICAP job types. The matching is by
// substring on purpose: servers differ in spacing and header order, and the
// status texts are searched in every line so that a later line can override
// an earlier status (a proxy's 502 appended after the server's own line).
// Names are compared with ASCII case folding of our own, not strcasestr, so
// the process locale can never change what a header name matches.
#include "icap/icap_response.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "icap/icap_io.h"
#include "runtime/log.h"

namespace {

constexpr size_t kReplaceWorkChars = 64;

struct StatusText {
  const char* text;
  int code;
};
constexpr StatusText kStatusTexts[] = {
    {"ICAP/1.0 200", 200}, {"ICAP/1.0 201", 201}, {"ICAP/1.0 403", 403},
    {"ICAP/1.0 502", 502}, {"ICAP/1.0 505", 505}, {"ICAP/1.0 506", 506},
    {"ICAP/1.0 558", 558},
};

void copyCut(char* out, uint32_t outSize, const char* text) {
  size_t len = 0;
  appendCut(out, outSize, &len, text);
}

}  // namespace

void appendCut(char* buf, uint32_t size, size_t* len, const char* text) {
  if (*len + 1 >= size) return;
  size_t n = strnlen(text, size - 1 - *len);
  memcpy(buf + *len, text, n);
  *len += n;
  buf[*len] = '\0';
}

int ReplaceStr(char* text, uint32_t size, const char* oldText, const char* newText) {
  if (text == nullptr || size == 0 || oldText == nullptr || newText == nullptr ||
      oldText[0] == '\0')
    return 0;
  char work[kReplaceWorkChars + 1] = {0};
  size_t used = 0;
  const size_t oldLen = strlen(oldText);
  const size_t newLen = strlen(newText);
  const char* p = text;
  while (*p != '\0' && used < kReplaceWorkChars) {
    const char* piece = p;
    size_t pieceLen = 1;
    if (strncmp(p, oldText, oldLen) == 0) {
      piece = newText;
      pieceLen = newLen;
      p += oldLen;
    } else {
      ++p;
    }
    size_t take = pieceLen < kReplaceWorkChars - used ? pieceLen : kReplaceWorkChars - used;
    memcpy(work + used, piece, take);
    used += take;
  }
  work[used] = '\0';
  copyCut(text, size, work);
  return 0;
}

const char* findNoCase(const char* text, const char* needle) {
  if (text == nullptr || needle == nullptr || needle[0] == '\0') return nullptr;
  auto fold = [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (; *text != '\0'; ++text) {
    size_t i = 0;
    while (needle[i] != '\0' && fold(text[i]) == fold(needle[i])) ++i;
    if (needle[i] == '\0') return text;
  }
  return nullptr;
}

bool headerNameHas(const char* line, const char* key) {
  if (line == nullptr || key == nullptr || key[0] == '\0') return false;
  size_t nameLen = 0;
  while (line[nameLen] != '\0' && line[nameLen] != ':') {
    if (line[nameLen] == ' ' || line[nameLen] == '\t') return false;
    ++nameLen;
  }
  if (line[nameLen] != ':') return false;
  const char* match = findNoCase(line, key);
  return match != nullptr && static_cast<size_t>(match - line) + strlen(key) <= nameLen;
}

int readAnswerLine(int sock, char* buf, uint32_t size, IcapAnswerBudget* budget) {
  int taken = 0;
  if (icapReadlineCounted(sock, buf, static_cast<int>(size), &taken) != 0) return -1;
  if (budget == nullptr) return 0;
  budget->lines += 1;
  budget->bytes += static_cast<uint32_t>(taken);
  if (budget->lines > ICAP_ANSWER_MAX_LINES || budget->bytes > ICAP_ANSWER_MAX_BYTES) {
    AV_ERR("Icap answer header is too long(%d lines, %u bytes).", budget->lines, budget->bytes);
    return -1;
  }
  return 0;
}

int getICAPReturnState(int* state, const char* line) {
  if (state == nullptr || line == nullptr) return -1;
  for (const auto& s : kStatusTexts) {
    if (strstr(line, s.text) != nullptr) {
      *state = s.code;
      return 0;
    }
  }
  if (strstr(line, "ICAP") != nullptr) AV_WARN("Recv icap message (%s) invaild", line);
  return 0;
}

int getISTagValue(const char* line, char* out, uint32_t outSize) {
  if (line == nullptr || out == nullptr || outSize == 0) {
    AV_ERR("The para istag is invalid.");
    return -1;
  }
  const char* tag = findNoCase(line, "ISTag");
  char value[ICAP_ISTAG_MAX + 1] = {0};
  // The name and the two characters after it (": " normally) are skipped.
  if (tag != nullptr && strnlen(tag, 8) > 7) copyCut(value, sizeof(value), tag + 7);
  ReplaceStr(value, sizeof(value), "\"", "");
  if (value[0] == '\0') {
    AV_ERR("The para istag is invalid.");
    return -1;
  }
  copyCut(out, outSize, value);
  return 0;
}

int getResolutionValue(const char* line, int* value) {
  const char* match = findNoCase(line, "Resolution");
  if (match == nullptr || value == nullptr) {
    AV_ERR("There is no resolution string in lbuf.");
    return -1;
  }
  // The digit follows "Resolution=", whatever stands in place of the '='.
  if (strnlen(match, 12) < 12 || !isdigit(static_cast<unsigned char>(match[11]))) {
    AV_ERR("Get resolution val failed.");
    return -1;
  }
  *value = match[11] - '0';
  return 0;
}

int getVirusNumValue(const char* line, int* count, const char* violation) {
  const char* match = findNoCase(line, violation);
  long value = 0;
  if (match != nullptr && count != nullptr) {
    const char* after = match + strlen(violation);
    char text[8] = {0};
    if (*after != '\0') copyCut(text, sizeof(text), after + 1);
    value = strtol(text, nullptr, 10);
  }
  if (value < 1) {
    AV_ERR("The para tempVal is invalid.");
    return -1;
  }
  *count = static_cast<int>(value);
  return 0;
}

int getVirusNum(int sock, const char* violation, char* lbuf, uint32_t lbufSize, int* count,
                char* name, uint32_t nameSize, IcapAnswerBudget* budget) {
  if (violation == nullptr || lbuf == nullptr || count == nullptr || lbufSize == 0) return -1;
  if (findNoCase(lbuf, violation) == nullptr) return 0;
  if (getVirusNumValue(lbuf, count, violation) != 0) {
    AV_ERR("Get VirusNum failed.");
    return -1;
  }
  // The violation's first detail lines (file name, threat name) are consumed;
  // nothing of them is reported.
  if (readAnswerLine(sock, lbuf, lbufSize, budget) != 0) return -1;
  if (name != nullptr) copyCut(name, nameSize, lbuf);
  if (lbuf[0] != '\0' && readAnswerLine(sock, lbuf, lbufSize, budget) != 0) return -1;
  return 0;
}

void keepStatusLine(const char* line, char* out, uint32_t outSize) {
  if (out == nullptr || outSize == 0) return;
  uint32_t n = 0;
  for (; line != nullptr && line[n] != '\0' && n + 1 < outSize; ++n)
    out[n] = (line[n] >= 0x20 && line[n] < 0x7F) ? line[n] : '?';
  out[n] = '\0';
}

int judgeICAPResult(int state, int resolution, int* result) {
  if (result == nullptr) return -1;
  if (state == 200 || state == 201 || (state == 403 && resolution == 2)) {
    *result = 0;
    return 0;
  }
  *result = state;
  AV_DBG("Icap scan result(%d).", *result);
  return 0;
}

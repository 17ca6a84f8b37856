// Member reading works on views of json-c's rendering instead of copies: the
// rendering is only read, never cut in place, so rendering the same member
// again (for a log line, or by another step) always sees the whole text.
#include "jobs/json_member.h"

#include <json-c/json.h>

#include <cstring>
#include <string>

#include "runtime/log.h"
#include "runtime/os_helper.h"

size_t requestTextLength(const char* body, size_t bodyLen) {
  return body == nullptr ? 0 : strnlen(body, bodyLen);
}

namespace {

// One tokenizer per thread, reset before each parse: making and freeing one
// per request cost a tenth of a trigger scan's own work.
struct ThreadTokener {
  json_tokener* tok = json_tokener_new();
  ThreadTokener() = default;
  ThreadTokener(const ThreadTokener&) = delete;
  ThreadTokener& operator=(const ThreadTokener&) = delete;
  ~ThreadTokener() {
    if (tok != nullptr) json_tokener_free(tok);
  }
};

}  // namespace

json_object* parseRequestText(const char* text, size_t len) {
  // Frame bodies are at most a few kilobytes; anything the tokenizer's int
  // length cannot carry is no request.
  if (text == nullptr || len > 0x7FFFFFFFu) return nullptr;
  thread_local ThreadTokener mine;
  json_tokener* tok = mine.tok;
  if (tok == nullptr) return nullptr;
  json_tokener_reset(tok);
  json_object* obj = json_tokener_parse_ex(tok, text, static_cast<int>(len));
  // A value that may still go on (a bare number, or a text cut short) is
  // decided by the end of the text, which a terminator would have told.
  if (obj == nullptr && json_tokener_get_error(tok) == json_tokener_continue)
    obj = json_tokener_parse_ex(tok, "", 1);
  if (json_tokener_get_error(tok) != json_tokener_success && obj != nullptr) {
    json_object_put(obj);
    obj = nullptr;
  }
  return obj;
}

bool delQuoteChar(char* text) {
  if (text == nullptr || text[0] != '"') return false;
  text[strlen(text) - 1] = '\0';
  return true;
}

long delEscapeCharTo(const char* src, size_t n, char* dst, size_t dstSize) {
  if (dstSize == 0) return -1;
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = src[i];
    if (c == '\\') {
      if (i + 1 >= n) break;  // a trailing backslash ends the text
      c = src[++i];
    }
    if (out + 1 >= dstSize) {
      dst[0] = '\0';
      return -1;
    }
    dst[out++] = c;
  }
  dst[out] = '\0';
  return static_cast<long>(out);
}

bool delEscapeChar(char* text) {
  if (text == nullptr) {
    AV_ERR("buf is NULL!");
    return false;
  }
  size_t n = strlen(text);
  return delEscapeCharTo(text, n, text, n + 1) >= 0;
}

bool getMemberText(json_object* request, const char* key, MemberText* out) {
  if (request == nullptr || key == nullptr || out == nullptr) return false;
  json_object* member = json_object_object_get(request, key);
  if (member == nullptr) return false;
  const char* r = json_object_to_json_string(member);
  if (r == nullptr) return false;
  size_t n = strlen(r);
  if (r[0] == '"') {
    out->text = r + 1;
    out->len = n >= 2 ? n - 2 : 0;
  } else {
    out->text = r;
    out->len = n;
  }
  return true;
}

namespace {
// The conversions need a terminated text; member texts are short, so the
// stack copy is the rule and the heap only serves absurdly long values.
template <typename F>
auto withTerminated(const MemberText& m, F convert) {
  char local[128];
  if (m.len < sizeof(local)) {
    memcpy(local, m.text, m.len);
    local[m.len] = '\0';
    return convert(local);
  }
  std::string copy(m.text, m.len);
  return convert(copy.c_str());
}
}  // namespace

int32_t memberTextToInt(const MemberText& m) {
  return static_cast<int32_t>(withTerminated(m, [](const char* t) { return BRIM_StrToS64(t); }));
}

uint64_t memberTextToU64(const MemberText& m) {
  return withTerminated(m, [](const char* t) { return BRIM_StrToU64(t); });
}

bool getMemberInt(json_object* request, const char* key, int32_t* out) {
  MemberText m;
  if (!getMemberText(request, key, &m)) return false;
  *out = memberTextToInt(m);
  return true;
}

// UTF-8 <-> UTF-16 without the C library's locale machinery: conversions must
// not depend on the locale the service manager happens to start us with, and
// where the host's ANSI code page is UTF-8 this encoder is the ANSI step too. Malformed input is replaced by
// U+FFFD rather than refused, as the host's code-page calls do without flags.
#include "jobs/charset.h"

#include "platform/code_page.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at s; advances s past what was consumed.
char32_t decodeUtf8(const unsigned char*& s) {
  unsigned char c = *s++;
  if (c < 0x80) return c;
  int extra;
  char32_t cp;
  char32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3, cp = c & 0x07, min = 0x10000;
  } else {
    return kReplacement;
  }
  for (int i = 0; i < extra; ++i) {
    if ((*s & 0xC0) != 0x80) return kReplacement;  // leaves the byte for the next call
    cp = (cp << 6) | (*s++ & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

}  // namespace

bool utf8IsExact(const char* text) {
  if (text == nullptr) return false;
  // U+FFFD itself is refused too: the JSON reader puts it in place of an
  // unpaired surrogate escape, so a name holding it may stand for another.
  for (const auto* s = reinterpret_cast<const unsigned char*>(text); *s != 0;)
    if (decodeUtf8(s) == kReplacement) return false;
  return true;
}

uint32_t utf8ToUtf16(const char* utf8, char16_t* out, uint32_t outUnits) {
  if (utf8 == nullptr) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(utf8);
  uint32_t n = 0;
  auto emit = [&](char16_t u) {
    if (out != nullptr) {
      if (n >= outUnits) return false;
      out[n] = u;
    }
    ++n;
    return true;
  };
  while (*s != 0) {
    char32_t cp = decodeUtf8(s);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      if (!emit(static_cast<char16_t>(0xD800 + (cp >> 10))) ||
          !emit(static_cast<char16_t>(0xDC00 + (cp & 0x3FF))))
        return 0;
    } else if (!emit(static_cast<char16_t>(cp))) {
      return 0;
    }
  }
  return emit(0) ? n : 0;
}

uint32_t utf16ToUtf8(const char16_t* wide, char* out, uint32_t outBytes) {
  if (wide == nullptr) return 0;
  uint32_t n = 0;
  auto emit = [&](const char* b, uint32_t k) {
    if (out != nullptr) {
      if (n + k > outBytes) return false;
      for (uint32_t i = 0; i < k; ++i) out[n + i] = b[i];
    }
    n += k;
    return true;
  };
  for (const char16_t* w = wide; *w != 0; ++w) {
    char32_t cp = *w;
    if (cp >= 0xD800 && cp <= 0xDBFF && w[1] >= 0xDC00 && w[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (w[1] - 0xDC00);
      ++w;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    char b[4];
    uint32_t k;
    if (cp < 0x80) {
      b[0] = static_cast<char>(cp), k = 1;
    } else if (cp < 0x800) {
      b[0] = static_cast<char>(0xC0 | (cp >> 6)), b[1] = static_cast<char>(0x80 | (cp & 0x3F)), k = 2;
    } else if (cp < 0x10000) {
      b[0] = static_cast<char>(0xE0 | (cp >> 12));
      b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      b[2] = static_cast<char>(0x80 | (cp & 0x3F));
      k = 3;
    } else {
      b[0] = static_cast<char>(0xF0 | (cp >> 18));
      b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      b[3] = static_cast<char>(0x80 | (cp & 0x3F));
      k = 4;
    }
    if (!emit(b, k)) return 0;
  }
  return emit("", 1) ? n : 0;
}

namespace {

// The checks both counted conversions share, logged under the caller's name:
// the room must hold one unit more than the result with its terminator, the
// rule of the host's code-page calls that the storage system's sizes follow.
template <typename In, typename Out>
int convertChecked(const char* caller, const In* in, Out* out, uint32_t outSize,
                   uint32_t (*convert)(const In*, Out*, uint32_t)) {
  if (in == nullptr || out == nullptr) {
    BRIM_Log(AV_MODULE_AGENT, AVLOG_ERR, caller, __LINE__, 0, "Null pointer.");
    return -1;
  }
  uint32_t n = convert(in, nullptr, 0);
  if (n == 0) {  // a count holds the terminator at least: the text has no form there
    BRIM_Log(AV_MODULE_AGENT, AVLOG_ERR, caller, __LINE__, 0, "Text cannot be converted.");
    return -1;
  }
  if (static_cast<uint64_t>(outSize) < (static_cast<uint64_t>(n) + 1) * sizeof(Out)) {
    BRIM_Log(AV_MODULE_AGENT, AVLOG_ERR, caller, __LINE__, 0, "Buffer is too small, size(%u)", outSize);
    return -1;
  }
  out[0] = 0;
  convert(in, out, n);
  return 0;
}

// The host's ANSI code page, or this file's UTF-8 encoder where that is it.
uint32_t wideToAnsi(const char16_t* wide, char* out, uint32_t outBytes) {
  const uint32_t n = codePage_WideToAnsi(wide, out, outBytes);
  return n == CODE_PAGE_IS_UTF8 ? utf16ToUtf8(wide, out, outBytes) : n;
}

}  // namespace

int UTF8ToUnicode(const char* utf8, char16_t* out, uint32_t outSize) {
  return convertChecked(__func__, utf8, out, outSize, utf8ToUtf16);
}

int UnicodeToANSI(const char16_t* wide, char* out, uint32_t outSize) {
  return convertChecked(__func__, wide, out, outSize, wideToAnsi);
}

int UTF8ToANSI(const char* utf8, char* out, uint32_t outSize) {
  if (utf8 == nullptr || out == nullptr) {
    AV_ERR("Null pointer.");
    return -1;
  }
  constexpr uint32_t kWideSize = 8600;
  PoolBuf wide(kWideSize);
  if (!wide) {
    AV_ERR("Out of memory, size(%u)", kWideSize);
    return -1;
  }
  auto* w = static_cast<char16_t*>(wide.get());
  int rc = UTF8ToUnicode(utf8, w, kWideSize);
  if (rc != 0) return rc;
  return UnicodeToANSI(w, out, outSize);
}

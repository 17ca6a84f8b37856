// Character-set conversions between UTF-8, UTF-16 and the host's ANSI code page
// (the platform's; UTF-8 on a host without one). Sizes are in bytes and include
// the terminator; a too-small output fails with "Buffer is too small, size(%u)".
// UTF-8 <-> UTF-16 is pure code (the locale is never consulted), so it lives
// with the jobs that log its failures and take its buffers from the pool; only
// the ANSI step asks the platform layer.
#pragma once
#include <cstdint>

int UTF8ToUnicode(const char* utf8, char16_t* out, uint32_t outSize);   // 0 / -1
int UnicodeToANSI(const char16_t* wide, char* out, uint32_t outSize);   // 0 / -1
int UTF8ToANSI(const char* utf8, char* out, uint32_t outSize);          // 0 / -1

// The raw conversions under the three above (the host's code-page calls):
// invalid input becomes U+FFFD. With out null they only count. Counts include
// the terminator; 0 when out is given and the result does not fit outUnits /
// outBytes.
uint32_t utf8ToUtf16(const char* utf8, char16_t* out, uint32_t outUnits);
uint32_t utf16ToUtf8(const char16_t* wide, char* out, uint32_t outBytes);
// True when text is well-formed UTF-8 without U+FFFD, so that the conversions
// above give it back unchanged and no earlier conversion left its mark in it.
bool utf8IsExact(const char* text);

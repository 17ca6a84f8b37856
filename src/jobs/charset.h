// Character-set conversions between UTF-8, UTF-16 and the host's ANSI code page
// (UTF-8 on Linux). Sizes are in bytes and include the terminator; a too-small
// output fails with "Buffer is too small, size(%u)".
#pragma once
#include <cstdint>

int UTF8ToUnicode(const char* utf8, char16_t* out, uint32_t outSize);   // 0 / -1
int UnicodeToANSI(const char16_t* wide, char* out, uint32_t outSize);   // 0 / -1
int UTF8ToANSI(const char* utf8, char* out, uint32_t outSize);          // 0 / -1

// The host's ANSI code page, for texts handed on in it (the ICAP request's
// file path). A host whose ANSI code page is UTF-8 has nothing to convert.
#pragma once
#include <cstdint>

constexpr uint32_t CODE_PAGE_IS_UTF8 = UINT32_MAX;

// UTF-16 (NUL-terminated) to the ANSI code page. With out null it only
// counts; the count includes the terminator; 0 when out is given and the
// result does not fit outBytes, or the text cannot be converted, which
// includes a character the code page lacks (the system's call would put its
// default character there and so name another file). CODE_PAGE_IS_UTF8 when
// the ANSI code page is UTF-8: the caller's own UTF-8 encoder then applies.
uint32_t codePage_WideToAnsi(const char16_t* wide, char* out, uint32_t outBytes);

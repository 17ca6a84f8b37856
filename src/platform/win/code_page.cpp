// WideCharToMultiByte with the process's ANSI code page (GetACP): 1252 on a
// Western-European server, 65001 where it is set to UTF-8.
#include "platform/code_page.h"

#include <windows.h>

uint32_t codePage_WideToAnsi(const char16_t* wide, char* out, uint32_t outBytes) {
  const UINT acp = GetACP();
  if (acp == CP_UTF8) return CODE_PAGE_IS_UTF8;
  const auto* w = reinterpret_cast<const wchar_t*>(wide);
  // A character the code page lacks would become '?' and so name another
  // file (or a pattern): such a text counts as one that cannot be converted.
  BOOL defaulted = FALSE;
  const int n = WideCharToMultiByte(acp, WC_NO_BEST_FIT_CHARS, w, -1, out,
                                    out ? static_cast<int>(outBytes) : 0, nullptr, &defaulted);
  return n > 0 && !defaulted ? static_cast<uint32_t>(n) : 0;
}

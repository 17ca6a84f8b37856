// WideCharToMultiByte with the process's ANSI code page (GetACP): 1252 on a
// Western-European server, 65001 where it is set to UTF-8.
#include "platform/code_page.h"

#include <windows.h>

uint32_t codePage_WideToAnsi(const char16_t* wide, char* out, uint32_t outBytes) {
  const UINT acp = GetACP();
  if (acp == CP_UTF8) return CODE_PAGE_IS_UTF8;
  const auto* w = reinterpret_cast<const wchar_t*>(wide);
  const int n = WideCharToMultiByte(acp, 0, w, -1, out, out ? static_cast<int>(outBytes) : 0, nullptr, nullptr);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

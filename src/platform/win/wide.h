// UTF-8 <-> UTF-16 for the Windows layer: the agent's paths and names are UTF-8
// above the seam, and the wide calls are the only ones that take any path the
// system can hold. Also the mapping of system error values to the errno names
// the callers switch on.
#pragma once
#include <windows.h>

#include <string>

namespace avwin {

// Empty for a null text or one that does not convert.
inline std::wstring wide(const char* utf8) {
  if (utf8 == nullptr || *utf8 == '\0') return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
  w.resize(static_cast<size_t>(n - 1));
  return w;
}

inline std::string utf8(const wchar_t* w) {
  if (w == nullptr || *w == L'\0') return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

// GetLastError / WSAGetLastError value -> errno name, for the calls whose
// contract speaks errno.
int errnoOf(DWORD err);

}  // namespace avwin

// The scratch folder is a fresh folder under the user's temporary folder, and
// standard output goes to NUL while fn runs.
#include "platform/quiet_call.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <string>

int quiet_CallInScratchDir(void (*fn)()) {
  int err = 0;
  wchar_t cwd[MAX_PATH * 4];
  const DWORD cwdLen = GetCurrentDirectoryW(MAX_PATH * 4, cwd);
  wchar_t tmp[MAX_PATH + 1];
  std::wstring scratch;
  bool made = false;
  if (GetTempPathW(MAX_PATH + 1, tmp) != 0) {
    for (unsigned i = 0; i < 100 && !made; ++i) {
      scratch = std::wstring(tmp) + L"avagent-client." + std::to_wstring(GetCurrentProcessId()) + L"." +
                std::to_wstring(GetTickCount() + i);
      made = CreateDirectoryW(scratch.c_str(), nullptr) != 0;
    }
  }
  const bool moved = made && SetCurrentDirectoryW(scratch.c_str());
  std::fflush(stdout);
  const int saved = _dup(1);
  const int devnull = _open("NUL", _O_WRONLY | _O_NOINHERIT);
  if (saved >= 0 && devnull >= 0) _dup2(devnull, 1);
  fn();
  std::fflush(stdout);
  if (saved >= 0) {
    if (_dup2(saved, 1) != 0) err = errno;
    _close(saved);
  }
  if (devnull >= 0) _close(devnull);
  if (moved && cwdLen > 0 && cwdLen < MAX_PATH * 4 && !SetCurrentDirectoryW(cwd) && err == 0) err = EIO;
  if (made) RemoveDirectoryW(scratch.c_str());
  return err;
}

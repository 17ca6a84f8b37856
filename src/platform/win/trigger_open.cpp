// The trigger open as the engine's file-system filter expects it: CreateFileW
// for reading on the extended-length path (the root "\\?\UNC" followed by
// \server\share\rest), opened with every share mode so the storage system's
// own users are never locked out, and closed at once. The system's answer is
// the code the storage system is told: 2 a missing file, 3 a missing folder,
// 5 a folder or a denied open, 225 when the engine refuses the open. A root
// that is a local folder (a test's, or shares mounted on a drive) is used the
// same way. The "." / ".." refusal above this layer keeps names beneath the
// root; behind "\\?\" the system does not collapse them either.
#include "platform/trigger_open.h"

#include <windows.h>

#include <string>

#include "platform/win/wide.h"

const char* triggerOpen_DefaultRoot() { return "\\\\?\\UNC"; }

TriggerOpenResult triggerOpenBeneath(const char* root, const char* relPath) {
  if (root == nullptr || relPath == nullptr) return {TriggerOpenKind::kFailed, ERROR_INVALID_PARAMETER, 0};
  while (*relPath == '/' || *relPath == '\\') ++relPath;
  std::string path(root);
  if (*relPath != '\0') {
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
    for (const char* c = relPath; *c; ++c) path += *c == '/' ? '\\' : *c;
  }
  const std::wstring wpath = avwin::wide(path.c_str());
  if (wpath.empty()) return {TriggerOpenKind::kFailed, ERROR_INVALID_NAME, 0};
  HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING,
                         // A path naming a pipe connects to its server: it may learn who
                         // we are, never act as us.
                         FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {TriggerOpenKind::kFailed, static_cast<int>(GetLastError()), 0};
  const TriggerOpenKind kind =
      GetFileType(h) == FILE_TYPE_DISK ? TriggerOpenKind::kOpened : TriggerOpenKind::kSpecial;
  const int closeErr = CloseHandle(h) ? 0 : static_cast<int>(GetLastError());
  return {kind, 0, closeErr};
}

// The open already speaks the storage system's codes.
uint32_t triggerOpen_StatusCode(int err) { return static_cast<uint32_t>(err); }

// The canary's folder is the root and its name the only step beneath it.
TriggerOpenResult triggerOpenLocal(const char* absPath) {
  if (absPath == nullptr) return {TriggerOpenKind::kFailed, ERROR_INVALID_PARAMETER, 0};
  const std::string path(absPath);
  const size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos || cut + 1 == path.size()) return {TriggerOpenKind::kFailed, ERROR_INVALID_NAME, 0};
  return triggerOpenBeneath(path.substr(0, cut + 1).c_str(), absPath + cut + 1);
}

// Running processes' executable names from a Toolhelp snapshot; the name is
// the image file's last component, as the snapshot reports it.
#include "platform/proc_walk.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/win/wide.h"

int walkProcessNames(bool (*visit)(const char* exeName, void* ctx), void* ctx) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int result = 0;
  for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
    const std::string name = avwin::utf8(entry.szExeFile);
    if (!name.empty() && visit(name.c_str(), ctx)) {
      result = 1;
      break;
    }
  }
  CloseHandle(snap);
  return result;
}

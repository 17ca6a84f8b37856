// Folder change notifications (FindFirstChangeNotification) for file names
// and last writes in one folder, waited on together with an event that ends a
// wait. After a wake-up the notification is re-armed and every change already
// signalled is taken without waiting, so a burst becomes one wake-up. The
// notification cannot tell that the folder itself went away, so a wake-up
// checks that it is still there and reports its loss as a failure.
// DirWatch::changes holds this layer's own record (notification handle and
// folder name); the record is copied by pointer as the header copies handles.
#include "platform/dir_watch.h"

#include <windows.h>

#include <cerrno>
#include <new>
#include <string>

#include "platform/win/wide.h"

namespace {

struct Watched {
  HANDLE notify;
  std::wstring dir;
};

Watched* watchedOf(const DirWatch* w) { return reinterpret_cast<Watched*>(w->changes); }

bool folderExists(const std::wstring& dir) {
  const DWORD a = GetFileAttributesW(dir.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

constexpr DWORD kFilter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                          FILE_NOTIFY_CHANGE_SIZE;

}  // namespace

int dirWatch_Open(DirWatch* w, const char* dir) {
  if (w == nullptr || dir == nullptr) {
    errno = EINVAL;
    return -1;
  }
  auto* rec = new (std::nothrow) Watched{INVALID_HANDLE_VALUE, avwin::wide(dir)};
  if (rec == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  rec->notify = FindFirstChangeNotificationW(rec->dir.c_str(), FALSE, kFilter);
  if (rec->notify == INVALID_HANDLE_VALUE) {
    errno = avwin::errnoOf(GetLastError());
    delete rec;
    return -1;
  }
  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (wake == nullptr) {
    errno = avwin::errnoOf(GetLastError());
    FindCloseChangeNotification(rec->notify);
    delete rec;
    return -1;
  }
  w->changes = reinterpret_cast<intptr_t>(rec);
  w->wake = reinterpret_cast<intptr_t>(wake);
  return 0;
}

int dirWatch_Wait(DirWatch* w) {
  if (w == nullptr || w->changes == -1 || w->wake == -1) {
    errno = EBADF;
    return -1;
  }
  Watched* rec = watchedOf(w);
  HANDLE both[2] = {rec->notify, reinterpret_cast<HANDLE>(w->wake)};
  const DWORD rc = WaitForMultipleObjects(2, both, FALSE, INFINITE);
  if (rc == WAIT_OBJECT_0 + 1) return 0;
  if (rc != WAIT_OBJECT_0) {
    errno = avwin::errnoOf(GetLastError());
    return -1;
  }
  // Take what is already signalled, so a burst of writes is one wake-up.
  do {
    if (!FindNextChangeNotification(rec->notify)) {
      errno = avwin::errnoOf(GetLastError());
      return -1;
    }
  } while (WaitForSingleObject(rec->notify, 0) == WAIT_OBJECT_0);
  if (!folderExists(rec->dir)) {
    errno = ENOENT;
    return -1;
  }
  return 1;
}

void dirWatch_Wake(DirWatch* w) {
  if (w == nullptr || w->wake == -1) return;
  SetEvent(reinterpret_cast<HANDLE>(w->wake));
}

void dirWatch_Close(DirWatch* w) {
  if (w == nullptr) return;
  if (w->changes != -1) {
    Watched* rec = watchedOf(w);
    FindCloseChangeNotification(rec->notify);
    delete rec;
  }
  if (w->wake != -1) CloseHandle(reinterpret_cast<HANDLE>(w->wake));
  w->changes = -1;
  w->wake = -1;
}

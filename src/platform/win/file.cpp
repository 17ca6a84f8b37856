// Windows files behind C runtime descriptors, as the log keeps them: the
// handle is opened with every share mode (an operator's viewer, a second
// agent and the log pruning all work on an open file) and wrapped in a
// descriptor. Byte-range locks are LockFileEx on that handle; unlike POSIX
// record locks they bind the handle, and the log's own threads are ordered by
// a mutex above this layer as on Linux. Permission bits do not exist: a new
// file takes the folder's inherited access list.
#include "platform/file.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "platform/win/wide.h"

namespace {

int lastErrno() { return avwin::errnoOf(GetLastError()); }

HANDLE handleOf(int fd) {
  const intptr_t h = _get_osfhandle(fd);
  return h == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}

// 100-ns ticks since 1601 -> seconds and nanoseconds since 1970.
void unixTime(const FILETIME& ft, int64_t* sec, int64_t* nsec) {
  const int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const int64_t sinceUnix = ticks - 116444736000000000LL;
  *sec = sinceUnix / 10000000;
  *nsec = (sinceUnix % 10000000) * 100;
}

}  // namespace

int file_OpenReadWrite(const char* path, bool append, unsigned, int* fd) {
  if (path == nullptr || fd == nullptr) return EINVAL;
  // Append-only access makes the system put every write at the end, even
  // while another process appends to the same file.
  const DWORD access = GENERIC_READ | (append ? FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE);
  HANDLE h = CreateFileW(avwin::wide(path).c_str(), access,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return lastErrno();
  const int f = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | (append ? _O_APPEND : 0));
  if (f < 0) {
    CloseHandle(h);
    return EMFILE;
  }
  *fd = f;
  return 0;
}

int file_Close(int fd) { return _close(fd) == 0 ? 0 : errno; }

bool file_IsOpen(int fd) { return fd >= 0 && handleOf(fd) != INVALID_HANDLE_VALUE; }

void file_RestrictMode(int, unsigned) {}

int file_Size(int fd, int64_t* size) {
  LARGE_INTEGER s{};
  if (!GetFileSizeEx(handleOf(fd), &s)) return lastErrno();
  *size = s.QuadPart;
  return 0;
}

int file_EnsureSize(int fd, int64_t size) {
  int64_t now = 0;
  if (int e = file_Size(fd, &now)) return e;
  if (now >= size) return 0;
  return _chsize_s(fd, size);
}

int file_WriteAll(int fd, const void* data, size_t len) {
  auto* p = static_cast<const char*>(data);
  while (len > 0) {
    const unsigned chunk = len > 0x40000000u ? 0x40000000u : static_cast<unsigned>(len);
    const int n = _write(fd, p, chunk);
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int file_Replace(const char* path, const void* data, size_t len, const FileReplaceMode& how) {
  if (path == nullptr || *path == '\0' || (data == nullptr && len > 0)) return EINVAL;
  const char* slash = std::strrchr(path, '/');
  if (const char* back = std::strrchr(path, '\\'); back && (!slash || back > slash)) slash = back;
  const std::string dir = slash ? std::string(path, static_cast<size_t>(slash - path) + 1) : "";
  const std::string base = dir + "." + (slash ? slash + 1 : path) + ".";
  std::wstring tmp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%06lx",
                  static_cast<unsigned long>((GetTickCount() ^ (GetCurrentProcessId() << 8)) + attempt) & 0xffffff);
    tmp = avwin::wide((base + suffix).c_str());
    h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return lastErrno();
  }
  if (h == INVALID_HANDLE_VALUE) return EEXIST;
  int err = 0;
  const auto* p = static_cast<const char*>(data);
  while (err == 0 && len > 0) {
    DWORD done = 0;
    const DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
    if (!WriteFile(h, p, chunk, &done, nullptr)) err = lastErrno();
    p += done;
    len -= done;
  }
  if (err == 0 && how.durable && !FlushFileBuffers(h)) err = lastErrno();
  if (!CloseHandle(h) && err == 0) err = lastErrno();
  if (err == 0 && !MoveFileExW(tmp.c_str(), avwin::wide(path).c_str(),
                               MOVEFILE_REPLACE_EXISTING | (how.durable ? MOVEFILE_WRITE_THROUGH : 0)))
    err = lastErrno();
  if (err != 0) DeleteFileW(tmp.c_str());
  return err;
}

int file_LockRange(int fd, bool exclusive, bool wait, int64_t offset, int64_t length) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  const DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (LockFileEx(handleOf(fd), flags, 0, static_cast<DWORD>(length),
                 static_cast<DWORD>(static_cast<uint64_t>(length) >> 32), &ov))
    return 0;
  const DWORD e = GetLastError();
  return e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING ? EAGAIN : avwin::errnoOf(e);
}

int file_UnlockRange(int fd, int64_t offset, int64_t length) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return UnlockFileEx(handleOf(fd), 0, static_cast<DWORD>(length),
                      static_cast<DWORD>(static_cast<uint64_t>(length) >> 32), &ov)
             ? 0
             : lastErrno();
}

int file_MapShared(int fd, size_t length, void** out) {
  HANDLE map = CreateFileMappingW(handleOf(fd), nullptr, PAGE_READWRITE, 0, 0, nullptr);
  if (map == nullptr) return lastErrno();
  void* p = MapViewOfFile(map, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, length);
  const int err = p == nullptr ? lastErrno() : 0;
  CloseHandle(map);  // the view keeps the mapping alive
  if (err != 0) return err;
  *out = p;
  return 0;
}

int file_ListRegular(const char* dir, const char* prefix, std::vector<FileEntry>* out) {
  const std::string pattern = std::string(dir) + "\\" + prefix + "*";
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(avwin::wide(pattern.c_str()).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND ? 0 : avwin::errnoOf(e);
  }
  const size_t prefixLen = std::strlen(prefix);
  do {
    if (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
      continue;
    std::string name = avwin::utf8(fd.cFileName);
    // The pattern also matches short 8.3 names: the long name must begin with prefix.
    if (name.compare(0, prefixLen, prefix) != 0) continue;
    FileEntry e{std::move(name), 0, 0};
    unixTime(fd.ftLastWriteTime, &e.mtimeSec, &e.mtimeNsec);
    out->push_back(std::move(e));
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return 0;
}

int file_Remove(const char* path) { return DeleteFileW(avwin::wide(path).c_str()) ? 0 : lastErrno(); }

// A drive-letter path ("C:\\..."), or a UNC or extended-length one.
bool file_IsAbsolutePath(const char* path) {
  if (path == nullptr) return false;
  const bool drive = ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
                     (path[2] == '\\' || path[2] == '/');
  return drive || ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'));
}

int file_MakeDir(const char* path, unsigned) {
  if (CreateDirectoryW(avwin::wide(path).c_str(), nullptr)) return 0;
  const DWORD e = GetLastError();
  if (e == ERROR_ALREADY_EXISTS) {
    const DWORD attr = GetFileAttributesW(avwin::wide(path).c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  }
  return avwin::errnoOf(e);
}

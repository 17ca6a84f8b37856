// Files for the runtime: descriptors, byte-range locks, a shared mapping and
// folder listing. Every call returns 0 or an errno value (never -1 with errno
// left to the caller), so a caller can log the reason without racing other
// calls that would overwrite errno.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Opens path read-write, creating it with mode when missing (close-on-exec);
// append makes every write go to the end. 0 and *fd, or errno.
int file_OpenReadWrite(const char* path, bool append, unsigned mode, int* fd);
int file_Close(int fd);  // 0, or errno (the descriptor is released either way)
// True while fd names an open descriptor.
bool file_IsOpen(int fd);
// Clears every permission bit beyond allowed (a file of another owner stays as it is).
void file_RestrictMode(int fd, unsigned allowed);
int file_Size(int fd, int64_t* size);
// Extends the file to at least size bytes (never shortens).
int file_EnsureSize(int fd, int64_t size);
// Writes all of data, resuming after signals and short writes.
int file_WriteAll(int fd, const void* data, size_t len);

// How file_Replace makes the new file.
struct FileReplaceMode {
  unsigned mode;      // permission bits of a new file (not narrowed by the umask)
  bool keepExisting;  // an existing target keeps its bits and, under root, its owner
  bool durable;       // data and rename are on disk before it returns (fsync)
};
// Writes len bytes as the whole new content of path: into a hidden temporary
// beside it (".name.XXXXXX", which a collector reading "*.prom" or an editor
// ignores) that is renamed over it, so a reader sees the old or the new file,
// never part of one. On failure the target is as it was and the temporary gone.
int file_Replace(const char* path, const void* data, size_t len, const FileReplaceMode& how);

// Byte-range record locks, ordering writers of different processes.
// exclusive: a write lock, else a read lock; wait: block until granted, else
// EAGAIN or EACCES when held elsewhere.
int file_LockRange(int fd, bool exclusive, bool wait, int64_t offset, int64_t length);
int file_UnlockRange(int fd, int64_t offset, int64_t length);

// Maps length bytes of fd read-write and shared with other processes, for
// the life of the process.
int file_MapShared(int fd, size_t length, void** out);

struct FileEntry {
  std::string name;
  int64_t mtimeSec;
  int64_t mtimeNsec;
};
// The regular files of dir whose names begin with prefix (links not followed).
int file_ListRegular(const char* dir, const char* prefix, std::vector<FileEntry>* out);
int file_Remove(const char* path);
// Creates one folder; an existing folder is no error.
int file_MakeDir(const char* path, unsigned mode);
// True when path names a file from the root of the file system (never relative
// to the current folder).
bool file_IsAbsolutePath(const char* path);

// POSIX files. fcntl record locks are per process, so the log's byte lock
// orders this process against others, while its own threads are ordered by a
// mutex above this layer.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

int file_OpenReadWrite(const char* path, bool append, unsigned mode, int* fd) {
  if (path == nullptr || fd == nullptr) return EINVAL;
  int flags = O_RDWR | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0);
  int f = open(path, flags, static_cast<mode_t>(mode));
  if (f < 0) return errno;
  *fd = f;
  return 0;
}

int file_Close(int fd) {
  // Linux releases the descriptor even when close reports EINTR: never retry.
  return close(fd) == 0 ? 0 : errno;
}

bool file_IsOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

void file_RestrictMode(int fd, unsigned allowed) {
  struct stat st;
  if (fstat(fd, &st) == 0 && (st.st_mode & 07777 & ~allowed) != 0)
    (void)fchmod(fd, st.st_mode & allowed);
}

int file_Size(int fd, int64_t* size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  *size = st.st_size;
  return 0;
}

// The range is given real blocks, not only a length: a mapped page over a
// hole faults (SIGBUS) when the disk is full as it is first written.
int file_EnsureSize(int fd, int64_t size) {
  const int e = posix_fallocate(fd, 0, size);
  if (e != EOPNOTSUPP && e != EINVAL) return e;
  int64_t now = 0;  // a file system without block allocation: the length only
  if (int se = file_Size(fd, &now)) return se;
  if (now < size && ftruncate(fd, size) != 0) return errno;
  return 0;
}

int file_WriteAll(int fd, const void* data, size_t len) {
  auto* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
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
  const std::string dir = slash ? std::string(path, static_cast<size_t>(slash - path) + 1) : "";
  std::string tmp = dir + "." + (slash ? slash + 1 : path) + ".XXXXXX";
  struct stat st {};
  const bool keep = how.keepExisting && stat(path, &st) == 0;
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = fchmod(fd, keep ? (st.st_mode & 07777) : static_cast<mode_t>(how.mode)) == 0 ? 0 : errno;
  if (err == 0 && keep && geteuid() == 0 && fchown(fd, st.st_uid, st.st_gid) != 0) {
    // An administrator's file that cannot keep its owner keeps root's: best effort.
  }
  if (err == 0) err = file_WriteAll(fd, data, len);
  if (err == 0 && how.durable && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(tmp.c_str(), path) != 0) err = errno;
  if (err != 0) {
    unlink(tmp.c_str());
    return err;
  }
  if (how.durable) {
    int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      close(dfd);
    }
  }
  return 0;
}

namespace {

int setLock(int fd, short type, bool wait, int64_t offset, int64_t length) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  int cmd = wait ? F_SETLKW : F_SETLK;
  for (;;) {
    if (fcntl(fd, cmd, &fl) == 0) return 0;
    if (errno != EINTR || !wait) return errno;
  }
}

}  // namespace

int file_LockRange(int fd, bool exclusive, bool wait, int64_t offset, int64_t length) {
  return setLock(fd, exclusive ? F_WRLCK : F_RDLCK, wait, offset, length);
}

int file_UnlockRange(int fd, int64_t offset, int64_t length) {
  return setLock(fd, F_UNLCK, false, offset, length);
}

int file_MapShared(int fd, size_t length, void** out) {
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return errno;
  *out = p;
  return 0;
}

int file_ListRegular(const char* dir, const char* prefix, std::vector<FileEntry>* out) {
  DIR* d = opendir(dir);
  if (d == nullptr) return errno;
  size_t prefixLen = std::strlen(prefix);
  while (struct dirent* e = readdir(d)) {
    if (std::strncmp(e->d_name, prefix, prefixLen) != 0) continue;
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      continue;
    out->push_back({e->d_name, st.st_mtim.tv_sec, st.st_mtim.tv_nsec});
  }
  closedir(d);
  return 0;
}

int file_Remove(const char* path) { return unlink(path) == 0 ? 0 : errno; }

bool file_IsAbsolutePath(const char* path) { return path != nullptr && path[0] == '/'; }

int file_MakeDir(const char* path, unsigned mode) {
  if (mkdir(path, static_cast<mode_t>(mode)) == 0 || errno == EEXIST) return 0;
  return errno;
}

#include "platform/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

int replaceFile_Write(const char* path, const char* data, size_t len, unsigned mode) {
  if (path == nullptr || *path == '\0' || (data == nullptr && len > 0)) return EINVAL;
  const char* slash = std::strrchr(path, '/');
  std::string tmp = slash ? std::string(path, static_cast<size_t>(slash - path) + 1) : "";
  tmp += ".";
  tmp += slash ? slash + 1 : path;
  tmp += ".XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int err = fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
  for (size_t off = 0; err == 0 && off < len;) {
    ssize_t n = write(fd, data + off, len - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) err = n < 0 ? errno : EIO;
    else off += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(tmp.c_str(), path) != 0) err = errno;
  if (err != 0) unlink(tmp.c_str());
  return err;
}

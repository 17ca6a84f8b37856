// The path check works on the mapped UTF-8 text, after the separators have
// been unified, so that "..", "\..\" and "/../" mixed forms are all caught by
// one rule. Empty components (doubled separators) are harmless and kept.
#include "platform/trigger_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "jobs/charset.h"
#include "runtime/config.h"
#include "runtime/log.h"

namespace {

constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kFilenameTooLong = 206;
constexpr char16_t kPrefix[] = u"\\\\?\\UNC";
constexpr size_t kPrefixUnits = 7;

// The storage system tells a missing file (2) from a missing folder (3).
bool parentExists(char* path) {
  char* slash = strrchr(path, '/');
  if (slash == nullptr || slash == path) return true;
  *slash = '\0';
  struct stat st;
  bool exists = stat(path, &st) == 0 && S_ISDIR(st.st_mode);
  *slash = '/';
  return exists;
}

bool hasDotComponent(const char* p) {
  while (*p) {
    while (*p == '/') ++p;
    const char* start = p;
    while (*p && *p != '/') ++p;
    size_t n = static_cast<size_t>(p - start);
    if ((n == 1 && start[0] == '.') || (n == 2 && start[0] == '.' && start[1] == '.'))
      return true;
  }
  return false;
}

}  // namespace

uint32_t mapOpenErrno(int err) {
  switch (err) {
    case 0: return 0;
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES: return 5;
    case ENOMEM: return 8;
    case EBUSY:
    case ETXTBSY: return 32;
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH: return 53;
    case EINVAL: return 87;
    case ETIMEDOUT: return 121;
    case ENAMETOOLONG: return 206;
    case EPERM: return 225;
    case EIO: return 1117;
    case ELOOP: return 1921;
    default: return 31;
  }
}

uint32_t triggerOpenUncPath(const char16_t* prefixedPath) {
  if (prefixedPath == nullptr) return 87;
  for (size_t i = 0; i < kPrefixUnits; ++i)
    if (prefixedPath[i] != kPrefix[i]) return kInvalidName;
  const char16_t* rest = prefixedPath + kPrefixUnits;
  if (rest[0] != 0 && rest[0] != u'\\' && rest[0] != u'/') return kInvalidName;

  // Root (up to 255) + the rest: at most 3 bytes per unit (4 per surrogate pair).
  char root[256];
  getUncRoot(root, sizeof(root));
  size_t rootLen = strlen(root);
  while (rootLen > 1 && root[rootLen - 1] == '/') root[--rootLen] = '\0';

  constexpr uint32_t kPathBytes = 256 + 3 * 4300 + 1;
  char path[kPathBytes];
  memcpy(path, root, rootLen);
  uint32_t n = utf16ToUtf8(rest, path + rootLen, kPathBytes - static_cast<uint32_t>(rootLen));
  if (n == 0) return kFilenameTooLong;
  char* mapped = path + rootLen;
  for (char* c = mapped; *c; ++c)
    if (*c == '\\') *c = '/';
  if (hasDotComponent(mapped)) return kInvalidName;

  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    uint32_t code = mapOpenErrno(err);
    if (err == ENOENT && !parentExists(path)) code = kPathNotFound;
    if (code == 31) AV_ERR("Open failed, errno(%d).", err);
    return code;
  }
  struct stat st;
  uint32_t code = 0;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) code = kAccessDenied;
  if (close(fd) != 0) AV_ERR("CloseHandle failed!");
  return code;
}

// Two resolutions of the same name, the O_PATH look and the real open, leave a
// window in which a share user could swap the file for a FIFO or a device
// node. O_NONBLOCK | O_NOCTTY keep such an open from waiting or taking a
// terminal, and the opened file is looked at again, so the swap is still
// refused; only the open itself can have happened (mount the shares nodev).
#include "platform/trigger_open.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

constexpr unsigned long long kResolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
// The kernel answers EAGAIN when a rename or mount ran during a ".." step and
// it cannot prove the walk stayed inside the root; a retry settles it.
constexpr int kRaceRetries = 8;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and returns the close's errno (0 when it worked).
  int closeNow() {
    int rc = close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

int openBeneath(int rootFd, const char* path, unsigned long long flags) {
  open_how how{};
  how.flags = flags | O_CLOEXEC;
  how.resolve = kResolve;
  for (int attempt = 0;; ++attempt) {
    long fd = syscall(SYS_openat2, rootFd, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EAGAIN || attempt + 1 == kRaceRetries) return -1;
  }
}

// The storage system tells a missing file (2) from a missing folder (3).
bool folderMissing(int rootFd, const char* path) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return false;  // the root itself holds the name
  std::string folder(path, static_cast<size_t>(slash - path));
  Fd dir(openBeneath(rootFd, folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY));
  return dir.get() < 0;
}

TriggerOpenKind kindOf(int fd, int* err) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = errno;
    return TriggerOpenKind::kFailed;
  }
  if (S_ISDIR(st.st_mode)) return TriggerOpenKind::kDirectory;
  return S_ISREG(st.st_mode) ? TriggerOpenKind::kOpened : TriggerOpenKind::kSpecial;
}

TriggerOpenResult failed(int rootFd, const char* path, int err) {
  if (err == ENOENT && folderMissing(rootFd, path)) return {TriggerOpenKind::kNoFolder, err, 0};
  return {TriggerOpenKind::kFailed, err, 0};
}

}  // namespace

const char* triggerOpen_DefaultRoot() { return "/mnt/unc"; }

TriggerOpenResult triggerOpenBeneath(const char* root, const char* relPath) {
  if (root == nullptr || relPath == nullptr) return {TriggerOpenKind::kFailed, EINVAL, 0};
  Fd rootFd(open(root, O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (rootFd.get() < 0) {
    int err = errno;
    return {err == ENOENT ? TriggerOpenKind::kNoFolder : TriggerOpenKind::kFailed, err, 0};
  }
  while (*relPath == '/') ++relPath;
  const char* path = *relPath != '\0' ? relPath : ".";

  Fd look(openBeneath(rootFd.get(), path, O_PATH));
  if (look.get() < 0) return failed(rootFd.get(), path, errno);
  int err = 0;
  TriggerOpenKind kind = kindOf(look.get(), &err);
  if (kind != TriggerOpenKind::kOpened) return {kind, err, 0};

  Fd file(openBeneath(rootFd.get(), path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (file.get() < 0) return failed(rootFd.get(), path, errno);
  kind = kindOf(file.get(), &err);
  int closeErr = file.closeNow();
  return {kind, err, closeErr};
}

TriggerOpenResult triggerOpenLocal(const char* absPath) {
  if (absPath == nullptr || absPath[0] != '/') return {TriggerOpenKind::kFailed, EINVAL, 0};
  const char* slash = strrchr(absPath, '/');
  std::string folder(absPath, static_cast<size_t>(slash - absPath));
  return triggerOpenBeneath(folder.empty() ? "/" : folder.c_str(), slash + 1);
}

uint32_t triggerOpen_StatusCode(int err) {
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
    case EPERM: return 225;  // an on-access scanner denied the open
    case EIO: return 1117;
    case ELOOP: return 1921;
    default: return 31;
  }
}

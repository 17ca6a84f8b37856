// One walk does no allocation per process: the /proc directory is read through
// a descriptor and every per-process file is reached relative to it with a
// stack buffer, so the cost stays at the system calls the walk cannot avoid.
#include "platform/proc_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Names longer than the caller's room are cut, never overrun.
void copyCut(char* out, size_t size, const char* text) {
  size_t n = strnlen(text, size - 1);
  memcpy(out, text, n);
  out[n] = '\0';
}


// Writes "<pid>/<leaf>" into buf.
void procEntryPath(char* buf, size_t size, const char* pid, const char* leaf) {
  size_t p = strlen(pid), l = strlen(leaf);
  if (p + 1 + l + 1 > size) {
    buf[0] = '\0';
    return;
  }
  memcpy(buf, pid, p);
  buf[p] = '/';
  memcpy(buf + p + 1, leaf, l + 1);
}

const char* lastComponent(const char* s) {
  const char* slash = strrchr(s, '/');
  return slash ? slash + 1 : s;
}

// Reads a small /proc file into buf (terminated); length, or -1.
ssize_t readSmall(int procFd, const char* rel, char* buf, size_t size) {
  int fd = openat(procFd, rel, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = read(fd, buf, size - 1);
  close(fd);
  if (n < 0) return -1;
  buf[n] = '\0';
  return n;
}

// The executable file name of one process into name; false when it vanished.
bool processName(int procFd, const char* pid, char* name, size_t size) {
  char rel[64];
  char buf[4096 + 1];
  procEntryPath(rel, sizeof(rel), pid, "exe");
  ssize_t n = readlinkat(procFd, rel, buf, sizeof(buf) - 1);
  if (n > 0) {
    buf[n] = '\0';
    static constexpr char kDeleted[] = " (deleted)";
    constexpr size_t kDeletedLen = sizeof(kDeleted) - 1;
    if (static_cast<size_t>(n) > kDeletedLen && strcmp(buf + n - kDeletedLen, kDeleted) == 0)
      buf[n - kDeletedLen] = '\0';
    const char* last = lastComponent(buf);
    if (*last) {
      copyCut(name, size, last);
      return true;
    }
  }
  // A link without a target (kernel threads, zombies) comes with an empty
  // cmdline: only a link we may not read is worth the cmdline.
  int linkErr = n < 0 ? errno : 0;
  procEntryPath(rel, sizeof(rel), pid, "cmdline");
  n = linkErr == ENOENT ? 0 : readSmall(procFd, rel, buf, sizeof(buf));
  if (n > 0) {
    buf[strcspn(buf, " ")] = '\0';  // first word (arguments are NUL-separated)
    const char* last = lastComponent(buf);
    if (*last) {
      copyCut(name, size, last);
      return true;
    }
  }
  // comm, as stat gives it with the state behind it: a zombie (Z) or dead
  // (X) task still carries the name of the program it ran, but runs nothing,
  // and an engine that died unreaped must not count as running.
  procEntryPath(rel, sizeof(rel), pid, "stat");
  n = readSmall(procFd, rel, buf, sizeof(buf));
  if (n <= 0) return false;
  char* open = strchr(buf, '(');
  char* close = strrchr(buf, ')');  // comm may itself hold ')'
  if (open == nullptr || close == nullptr || close < open || close[1] != ' ') return false;
  if (close[2] == 'Z' || close[2] == 'X' || close[2] == 'x') return false;
  *close = '\0';
  copyCut(name, size, open + 1);
  return name[0] != '\0';
}

bool isPid(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

}  // namespace

int walkProcessNames(bool (*visit)(const char* exeName, void* ctx), void* ctx) {
  int procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (procFd < 0) return -1;
  DIR* dir = fdopendir(procFd);
  if (dir == nullptr) {
    close(procFd);
    return -1;
  }
  int result = 0;
  char name[256];
  while (struct dirent* e = readdir(dir)) {
    if (!isPid(e->d_name)) continue;
    if (!processName(procFd, e->d_name, name, sizeof(name))) continue;
    if (visit(name, ctx)) {
      result = 1;
      break;
    }
  }
  closedir(dir);  // closes procFd too
  return result;
}

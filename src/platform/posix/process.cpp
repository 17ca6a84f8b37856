// Stop signals arrive through a signalfd, so one poll() serves them and
// standard input alike, without a handler that could only set a flag.
#include "platform/process.h"

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int proc_ExePath(int pid, char* out, size_t size) {
  if (out == nullptr || size == 0) return EINVAL;
  char link[64];
  if (pid == 0)
    std::snprintf(link, sizeof link, "/proc/self/exe");
  else
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
  char path[4096];
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n < 0) return errno;
  if (n == 0) return ENOENT;
  if (static_cast<size_t>(n) >= size) return ENAMETOOLONG;
  std::memcpy(out, path, static_cast<size_t>(n));
  out[n] = '\0';
  return 0;
}

int proc_ImageDevicePath(int pid, char* out, size_t size) { return proc_ExePath(pid, out, size); }

int proc_DriveList(std::string* out) {
  out->clear();
  return 0;
}

uint32_t proc_DriveDevice(const char*, char*, uint32_t) { return 2; }  // no such drive

int proc_HoldNamedMutex(const char*) { return 0; }

int proc_ChangeDir(const char* path) { return chdir(path) == 0 ? 0 : errno; }

bool proc_StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int proc_RaiseOpenFileLimit() {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return errno;
  if (lim.rlim_cur >= lim.rlim_max) return 0;
  lim.rlim_cur = lim.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &lim) == 0 ? 0 : errno;
}

void proc_IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

int proc_CatchStopSignals(int* fd) {
  *fd = -1;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  int f = signalfd(-1, &stop, SFD_CLOEXEC);
  if (f < 0) {
    int e = errno;
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    return e;
  }
  *fd = f;
  return 0;
}

ProcWait proc_WaitStopOrInput(int stopFd, bool watchInput, int timeoutMs, char* buf, size_t size,
                              size_t* got) {
  *got = 0;
  struct pollfd fds[2] = {{stopFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  int rc = poll(fds, watchInput ? 2 : 1, timeoutMs);
  if (rc < 0) return errno == EINTR ? ProcWait::Timeout : ProcWait::Failed;
  if (rc == 0) return ProcWait::Timeout;
  if (fds[0].revents & POLLIN) {
    struct signalfd_siginfo info;
    if (read(stopFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      return ProcWait::Stop;
  }
  if (!watchInput || fds[1].revents == 0) return ProcWait::Timeout;
  if (fds[1].revents & POLLNVAL) return ProcWait::InputEnd;
  ssize_t n = read(STDIN_FILENO, buf, size);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return ProcWait::Timeout;
  if (n <= 0) return ProcWait::InputEnd;
  *got = static_cast<size_t>(n);
  return ProcWait::Input;
}

void proc_Exit(int code) {
  std::fflush(nullptr);
  _exit(code);
}

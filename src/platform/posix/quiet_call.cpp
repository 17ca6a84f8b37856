#include "platform/quiet_call.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int quiet_CallInScratchDir(void (*fn)()) {
  int err = 0;
  const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  char scratch[] = "/tmp/avagent-client.XXXXXX";
  const bool made = mkdtemp(scratch) != nullptr;
  const bool moved = made && chdir(scratch) == 0;
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && devnull >= 0) dup2(devnull, STDOUT_FILENO);
  fn();
  fflush(stdout);
  if (saved >= 0) {
    if (dup2(saved, STDOUT_FILENO) < 0) err = errno;
    close(saved);
  }
  if (devnull >= 0) close(devnull);
  if (cwd >= 0) {
    if (moved && fchdir(cwd) != 0 && err == 0) err = errno;
    close(cwd);
  }
  if (made) rmdir(scratch);
  return err;
}

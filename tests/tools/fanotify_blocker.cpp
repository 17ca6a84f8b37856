// Stands in for an on-access scanner in tests: every open under DIR is held
// for a permission decision, the one file FILE is denied (so its open fails
// with EPERM) and everything else is allowed. Prints "ready" once armed and
// ends on SIGTERM or SIGINT.
// Usage: fanotify_blocker DIR FILE
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DIR FILE\n", argv[0]);
    return 1;
  }
  char target[PATH_MAX];
  if (realpath(argv[2], target) == nullptr) {
    perror("realpath");
    return 1;
  }
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  int sfd = signalfd(-1, &mask, SFD_CLOEXEC);
  int fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
  if (fan < 0) {
    perror("fanotify_init");
    return 2;
  }
  if (fanotify_mark(fan, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD, argv[1]) != 0) {
    perror("fanotify_mark");
    return 2;
  }
  printf("ready\n");
  fflush(stdout);

  alignas(fanotify_event_metadata) char buf[8192];
  for (;;) {
    pollfd fds[2] = {{fan, POLLIN, 0}, {sfd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    ssize_t n = read(fan, buf, sizeof(buf));
    if (n <= 0) continue;
    auto* m = reinterpret_cast<fanotify_event_metadata*>(buf);
    for (; FAN_EVENT_OK(m, n); m = FAN_EVENT_NEXT(m, n)) {
      if (m->fd < 0) continue;
      char link[64];
      char path[PATH_MAX];
      snprintf(link, sizeof(link), "/proc/self/fd/%d", m->fd);
      ssize_t k = readlink(link, path, sizeof(path) - 1);
      path[k > 0 ? k : 0] = '\0';
      fanotify_response r{};
      r.fd = m->fd;
      r.response = strcmp(path, target) == 0 ? FAN_DENY : FAN_ALLOW;
      if (write(fan, &r, sizeof(r)) != sizeof(r)) perror("fanotify response");
      close(m->fd);
    }
  }
  close(fan);
  return 0;
}

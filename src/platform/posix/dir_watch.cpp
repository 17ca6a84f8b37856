// Folder change notifications over inotify.
//
// Design: the inotify descriptor is non-blocking and waited on with poll()
// together with an eventfd, so a wait has no time-out yet can still be ended
// (tests stop the configuration watcher this way). After a wake-up every
// queued event is read and discarded: callers reload everything anyway, so
// only "something changed" matters. Losing the watch (folder deleted or moved
// away) is reported as a failure, as no further change would ever be seen.
#include "platform/dir_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

int dirWatch_Open(DirWatch* w, const char* dir) {
  if (w == nullptr || dir == nullptr) {
    errno = EINVAL;
    return -1;
  }
  w->changes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (w->changes < 0) return -1;
  // The folder itself deleted or moved away is asked for too: it ends the watch.
  const uint32_t mask =
      IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ONLYDIR | IN_DELETE_SELF | IN_MOVE_SELF;
  if (inotify_add_watch(w->changes, dir, mask) < 0) {
    int e = errno;
    close(w->changes);
    w->changes = -1;
    errno = e;
    return -1;
  }
  w->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (w->wake < 0) {
    int e = errno;
    close(w->changes);
    w->changes = -1;
    errno = e;
    return -1;
  }
  return 0;
}

int dirWatch_Wait(DirWatch* w) {
  if (w == nullptr || w->changes < 0 || w->wake < 0) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    pollfd fds[2] = {{static_cast<int>(w->changes), POLLIN, 0}, {static_cast<int>(w->wake), POLLIN, 0}};
    int n = poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t v = 0;
      if (read(w->wake, &v, sizeof v) < 0 && errno != EAGAIN) return -1;
      return 0;
    }
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      errno = EIO;
      return -1;
    }
    if (!(fds[0].revents & POLLIN)) continue;

    bool changed = false;
    bool lost = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
      ssize_t len = read(w->changes, buf, sizeof buf);
      if (len < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        return -1;
      }
      if (len == 0) break;
      for (ssize_t off = 0; off < len;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) lost = true;
        // An overflow means events were dropped: treat it as a change.
        if (ev->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_Q_OVERFLOW)) changed = true;
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
    if (lost) {
      errno = ENOENT;
      return -1;
    }
    if (changed) return 1;
  }
}

void dirWatch_Wake(DirWatch* w) {
  if (w == nullptr || w->wake < 0) return;
  uint64_t one = 1;
  while (write(w->wake, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void dirWatch_Close(DirWatch* w) {
  if (w == nullptr) return;
  if (w->changes >= 0) close(w->changes);
  if (w->wake >= 0) close(w->wake);
  w->changes = -1;
  w->wake = -1;
}

// getrandom(2) never touches the file system, so it keeps working in a chroot or
// with the descriptor table full; GRND_NONBLOCK on a zero-byte read is the
// cheap probe for "seeded yet" that needs no buffer.
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

int avRandomOpen(bool wait) {
  for (;;) {
    if (getrandom(nullptr, 0, wait ? 0u : GRND_NONBLOCK) >= 0) return 0;
    if (errno != EINTR) return -1;
  }
}

int avRandomFill(void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t got = getrandom(p + done, n - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) {  // a generator that returns nothing would spin forever
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(got);
  }
  return 0;
}


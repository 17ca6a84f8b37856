// Random bytes from the system's preferred generator (BCryptGenRandom), which
// is seeded before any user process runs: nothing to wait for.
#include "platform/random.h"

#include <windows.h>
#include <bcrypt.h>

#include <cerrno>
#include <cstdint>

int avRandomOpen(bool) { return 0; }

int avRandomFill(void* buf, size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    const ULONG chunk = n > 0x10000000 ? 0x10000000 : static_cast<ULONG>(n);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      errno = EIO;
      return -1;
    }
    p += chunk;
    n -= chunk;
  }
  return 0;
}

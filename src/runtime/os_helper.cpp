// OS helper layer.
//
// Design: each helper is a thin, allocation-free wrapper over one POSIX call or a
// short hand-written parser, so it can be used from any thread and from the log
// module itself. Failures are reported as module 997 with the layer's own error
// codes; expected outcomes (a fail-at-once lock that is taken elsewhere, a text
// that is not an address) are return values, not log records.

#include "runtime/os_helper.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "runtime/log.h"

namespace {

constexpr uint32_t kModules = 1024;
constexpr uint16_t kErrLockParam = 314;
constexpr uint16_t kErrLockBadFd = 197;
constexpr uint16_t kErrUnlockBadFd = 198;
constexpr uint16_t kErrClose = 218;
constexpr uint16_t kErrNotHex = 228;
constexpr uint16_t kErrNotDecimal = 229;

uint32_t spinMagic() {
  uint32_t m;
  memcpy(&m, "spin", 4);
  return m;
}

// Three words per module; the first counts the module's live mutexes.
std::atomic<uint32_t> g_moduleCounters[kModules][3];
thread_local int32_t t_heldMutexes = 0;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isHexPrefix(const char* t) { return t[0] == '0' && (t[1] == 'x' || t[1] == 'X'); }

// Dotted decimal IPv4 over [begin, end): four parts 0..255, no leading zeros.
bool parseIPv4(const char* begin, const char* end, uint8_t out[4]) {
  const char* p = begin;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (p == end || *p != '.') return false;
      ++p;
    }
    const char* start = p;
    unsigned value = 0;
    while (p != end && *p >= '0' && *p <= '9' && p - start < 3) value = value * 10 + (*p++ - '0');
    size_t digits = static_cast<size_t>(p - start);
    if (digits == 0 || value > 255 || (digits > 1 && *start == '0')) return false;
    if (p != end && *p >= '0' && *p <= '9') return false;  // a fourth digit
    out[part] = static_cast<uint8_t>(value);
  }
  return p == end;
}

bool parseIPv6(const char* text, uint8_t out[16]) {
  uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // index of the groups "::" stands for
  const char* p = text;
  const char* end = text + strlen(text);
  if (p[0] == ':') {
    if (p[1] != ':') return false;
    gap = 0;
    p += 2;
  }
  while (p < end) {
    if (count == 8) return false;
    const char* start = p;
    unsigned value = 0;
    while (p < end && hexDigit(*p) >= 0 && p - start < 4) value = value * 16 + hexDigit(*p++);
    size_t digits = static_cast<size_t>(p - start);
    if (p < end && *p == '.') {
      // A trailing IPv4 part takes the last two groups.
      if (count > 6) return false;
      uint8_t v4[4];
      if (!parseIPv4(start, end, v4)) return false;
      groups[count++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      p = end;
      break;
    }
    if (digits == 0) return false;
    if (p < end && hexDigit(*p) >= 0) return false;  // a fifth digit
    groups[count++] = static_cast<uint16_t>(value);
    if (p == end) break;
    if (*p != ':') return false;
    ++p;
    if (p < end && *p == ':') {
      if (gap >= 0) return false;  // a second "::"
      gap = count;
      ++p;
    } else if (p == end) {
      return false;  // a single trailing ':'
    }
  }
  if (gap < 0) {
    if (count != 8) return false;
  } else if (count > 7) {
    return false;
  }
  uint8_t bytes[16] = {};
  int tail = gap < 0 ? 0 : count - gap;
  int head = count - tail;
  for (int i = 0; i < head; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(groups[i]);
  }
  for (int i = 0; i < tail; ++i) {
    int at = 8 - tail + i;
    bytes[2 * at] = static_cast<uint8_t>(groups[head + i] >> 8);
    bytes[2 * at + 1] = static_cast<uint8_t>(groups[head + i]);
  }
  memcpy(out, bytes, 16);
  return true;
}

}  // namespace

void BRIM_MutexCreate(BRIM_MUTEX* m, uint32_t module) {
  if (!m) return;
  m->magic = spinMagic();
  pthread_mutex_init(&m->handle, nullptr);
  if (module < kModules) g_moduleCounters[module][0].fetch_add(1);
}

void BRIM_MutexLock(BRIM_MUTEX* m) {
  if (!m || m->magic != spinMagic()) return;
  ++t_heldMutexes;
  pthread_mutex_lock(&m->handle);
}

void BRIM_MutexUnlock(BRIM_MUTEX* m) {
  if (!m || m->magic != spinMagic()) return;
  pthread_mutex_unlock(&m->handle);
  --t_heldMutexes;
}

void BRIM_MutexDestroy(BRIM_MUTEX* m, uint32_t module) {
  if (!m || m->magic != spinMagic()) return;
  m->magic = 0;
  pthread_mutex_destroy(&m->handle);
  if (module < kModules) g_moduleCounters[module][0].fetch_sub(1);
}

uint32_t BRIM_ModuleMutexCount(uint32_t module) {
  return module < kModules ? g_moduleCounters[module][0].load() : 0;
}

int32_t BRIM_ThreadHeldMutexes() { return t_heldMutexes; }

void BRIM_Sleep(uint32_t ticks) {
  uint64_t ms = static_cast<uint64_t>(ticks) * 10;
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void BRIM_AtomicSet(volatile int32_t* v, int32_t value) {
  __atomic_store_n(v, value, __ATOMIC_SEQ_CST);
}
int32_t BRIM_AtomicGet(volatile int32_t* v) { return __atomic_load_n(v, __ATOMIC_SEQ_CST); }
int32_t BRIM_AtomicInc(volatile int32_t* v) { return __atomic_add_fetch(v, 1, __ATOMIC_SEQ_CST); }
int32_t BRIM_AtomicDec(volatile int32_t* v) { return __atomic_sub_fetch(v, 1, __ATOMIC_SEQ_CST); }

int BRIM_LockFile(int fd, const BRIM_FILE_LOCK* lock) {
  if (fd == -1 || !lock || lock->type < 1 || lock->type > 3) {
    BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrLockParam,
             "Input param error, vfd = (%d), vlock= (%p).", fd, static_cast<const void*>(lock));
    return -1;
  }
  struct flock fl = {};
  fl.l_type = lock->type == 2 ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = lock->offset;
  fl.l_len = lock->length;
  int cmd = lock->type == 1 ? F_SETLKW : F_SETLK;
  int rc;
  do {
    rc = fcntl(fd, cmd, &fl);
  } while (rc != 0 && errno == EINTR && cmd == F_SETLKW);
  if (rc == 0) return 0;
  int err = errno;
  // A closed descriptor shows as EBADF of the lock call itself, so the good
  // path makes one call; EBADF also means a lock against the open mode, which
  // only the probe after the fact tells apart.
  if (err == EBADF && fcntl(fd, F_GETFD) < 0) {
    BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrLockBadFd, "Bad file descriptor.");
    return -1;
  }
  // Taken elsewhere under a fail-at-once type is an answer, not a fault.
  if (err != EAGAIN && err != EACCES)
    BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrLockBadFd,
             "Lock file(%d) Fail, error code: (%d).", fd, err);
  return -1;
}

int BRIM_LockFileWithin(int fd, const BRIM_FILE_LOCK* lock, int timeoutMs) {
  if (fd == -1 || !lock) {
    BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrLockParam,
             "Input param error, vfd = (%d), vlock= (%p).", fd, static_cast<const void*>(lock));
    return -1;
  }
  // fcntl has no timed wait, and a signal to end a blocking one would reach
  // the whole process: try without waiting, sleeping a millisecond between
  // tries (a holder that writes one record lets go within microseconds).
  const BRIM_FILE_LOCK once{3, lock->offset, lock->length};
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = lock->offset;
    fl.l_len = lock->length;
    if (fcntl(fd, F_SETLK, &fl) == 0) return 0;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR)
      return BRIM_LockFile(fd, &once);  // records the failure as a plain try would
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t waited = (static_cast<int64_t>(now.tv_sec) - start.tv_sec) * 1000 +
                     (now.tv_nsec - start.tv_nsec) / 1000000;
    if (waited >= timeoutMs) return -1;
    struct timespec tick = {0, 1000000};
    nanosleep(&tick, nullptr);
  }
}

int BRIM_UnLockFile(int fd, const BRIM_FILE_LOCK* lock) {
  if (fd == -1 || !lock) {
    BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrLockParam,
             "Input param error, vfd = (%d), vlock= (%p).", fd, static_cast<const void*>(lock));
    return -1;
  }
  struct flock fl = {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = lock->offset;
  fl.l_len = lock->length;
  if (fcntl(fd, F_SETLK, &fl) == 0) return 0;
  int err = errno;
  if (err == EBADF && fcntl(fd, F_GETFD) < 0) {
    BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrUnlockBadFd,
             "Bad file descriptor.");
    return -1;
  }
  BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrUnlockBadFd,
           "Unlock file(%d) Fail, error code: (%d).", fd, err);
  return -1;
}

int BRIM_close(int fd) {
  // Linux releases the descriptor even when close reports EINTR: never retry.
  if (close(fd) == 0) return 0;
  int err = errno;
  BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrClose,
           "Close file(%d) Fail, error code: (%d).", fd, err);
  return -1;
}

uint64_t BRIM_StrToU64(const char* text) {
  if (!text || !*text) return 0;
  uint64_t value = 0;
  if (isHexPrefix(text)) {
    for (const char* p = text + 2; *p; ++p) {
      int d = hexDigit(*p);
      if (d < 0) {
        BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrNotHex,
                 "Not a numbric str: (%s).", text);
        return value;
      }
      value = value * 16 + static_cast<uint64_t>(d);
    }
    return value;
  }
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') {
      BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrNotDecimal,
               "Not a numbric str: (%s).", text);
      return value;
    }
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  return value;
}

int64_t BRIM_StrToS64(const char* text) {
  if (!text) return 0;
  if (*text == '-') return static_cast<int64_t>(0 - BRIM_StrToU64(text + 1));
  return static_cast<int64_t>(BRIM_StrToU64(text));
}

int BRIM_IsNumeric(const char* text) {
  if (!text) return -1;
  if (isHexPrefix(text)) {
    for (const char* p = text + 2; *p; ++p)
      if (hexDigit(*p) < 0) return -1;
    return 0;
  }
  for (const char* p = text; *p; ++p)
    if (*p < '0' || *p > '9') return -1;
  return 0;
}

char* BRIM_Strtok(char** cursor, const char* delimiters) {
  if (!cursor || !*cursor) return nullptr;
  char* token = *cursor;
  char* at = delimiters ? strpbrk(token, delimiters) : nullptr;
  if (at) {
    *at = '\0';
    *cursor = at + 1;
  } else {
    *cursor = nullptr;
  }
  return token;
}

int BRIM_InetPton(int family, const char* text, void* out) {
  if (!text || !out) return -1;
  if (family == BRIM_AF_INET) {
    uint8_t bytes[4];
    if (!parseIPv4(text, text + strlen(text), bytes)) return 0;
    memcpy(out, bytes, 4);
    return 1;
  }
  if (family == BRIM_AF_INET6 || family == AF_INET6) {
    uint8_t bytes[16];
    if (!parseIPv6(text, bytes)) return 0;
    memcpy(out, bytes, 16);
    return 1;
  }
  return 0;
}

// OS helper layer.
//
// Design: each helper is a thin, allocation-free wrapper over one call of
// src/platform or the standard library, or a short hand-written parser, so it
// can be used from any thread and from the log module itself. Failures are
// reported as module 997 with the layer's own error codes; expected outcomes (a
// fail-at-once lock that is taken elsewhere) are return values, not log records.

#include "runtime/os_helper.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "platform/file.h"
#include "runtime/log.h"

namespace {

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

thread_local int32_t t_heldMutexes = 0;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isHexPrefix(const char* t) { return t[0] == '0' && (t[1] == 'x' || t[1] == 'X'); }

}  // namespace

void BRIM_MutexCreate(BRIM_MUTEX* m, uint32_t /*module*/) {
  if (!m) return;
  m->magic = spinMagic();
  new (&m->handle) std::mutex();
}

void BRIM_MutexLock(BRIM_MUTEX* m) {
  if (!m || m->magic != spinMagic()) return;
  ++t_heldMutexes;
  m->handle.lock();
}

void BRIM_MutexUnlock(BRIM_MUTEX* m) {
  if (!m || m->magic != spinMagic()) return;
  m->handle.unlock();
  --t_heldMutexes;
}

void BRIM_MutexDestroy(BRIM_MUTEX* m, uint32_t /*module*/) {
  if (!m || m->magic != spinMagic()) return;
  m->magic = 0;
  using Mutex = std::mutex;
  m->handle.~Mutex();
}

int32_t BRIM_ThreadHeldMutexes() { return t_heldMutexes; }

int64_t BRIM_MonotonicMs() {
  return static_cast<int64_t>(BRIM_MonotonicNs() / 1000000u);
}

uint64_t BRIM_MonotonicNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void BRIM_Sleep(uint32_t ticks) {
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<uint64_t>(ticks) * 10));
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
  int err = file_LockRange(fd, lock->type != 2, lock->type == 1, lock->offset, lock->length);
  if (err == 0) return 0;
  // A closed descriptor shows as EBADF of the lock call itself, so the good
  // path makes one call; EBADF also means a lock against the open mode, which
  // only the probe after the fact tells apart.
  if (err == EBADF && !file_IsOpen(fd)) {
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
  // Record locks have no timed wait, and a signal to end a blocking one would
  // reach the whole process: try without waiting, sleeping a millisecond
  // between tries (a holder that writes one record lets go within microseconds).
  const BRIM_FILE_LOCK once{3, lock->offset, lock->length};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int err = file_LockRange(fd, true, false, lock->offset, lock->length);
    if (err == 0) return 0;
    if (err != EAGAIN && err != EACCES && err != EINTR)
      return BRIM_LockFile(fd, &once);  // records the failure as a plain try would
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int BRIM_UnLockFile(int fd, const BRIM_FILE_LOCK* lock) {
  if (fd == -1 || !lock) {
    BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrLockParam,
             "Input param error, vfd = (%d), vlock= (%p).", fd, static_cast<const void*>(lock));
    return -1;
  }
  int err = file_UnlockRange(fd, lock->offset, lock->length);
  if (err == 0) return 0;
  if (err == EBADF && !file_IsOpen(fd)) {
    BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrUnlockBadFd,
             "Bad file descriptor.");
    return -1;
  }
  BRIM_Log(AV_MODULE_BRIM, AVLOG_ERR, __func__, __LINE__, kErrUnlockBadFd,
           "Unlock file(%d) Fail, error code: (%d).", fd, err);
  return -1;
}

int BRIM_close(int fd) {
  int err = file_Close(fd);
  if (err == 0) return 0;
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

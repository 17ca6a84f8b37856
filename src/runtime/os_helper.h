// OS helper layer: the thin wrappers the rest of the agent uses instead of the
// platform: mutex records, 10 ms sleep ticks, atomic 32-bit counters, byte-range
// file locks, closing descriptors and text-to-number conversion. Failures are
// logged as module 997.
// Decisions: lock/unlock on a destroyed record does nothing; a lock type other
// than 1-3 is refused like a bad descriptor argument (314); a fail-at-once lock
// held elsewhere returns -1 without a record.
#pragma once
#include <cstdint>
#include <mutex>

// Mutex record: magic "spin" while it exists, 0 once destroyed.
struct BRIM_MUTEX {
  uint32_t magic;
  std::mutex handle;
};
void BRIM_MutexCreate(BRIM_MUTEX* m, uint32_t module);
void BRIM_MutexLock(BRIM_MUTEX* m);
void BRIM_MutexUnlock(BRIM_MUTEX* m);
void BRIM_MutexDestroy(BRIM_MUTEX* m, uint32_t module);  // closes the handle once
int32_t BRIM_ThreadHeldMutexes();

// Sleeps ticks x 10 ms.
void BRIM_Sleep(uint32_t ticks);

// The one monotonic clock of deadlines, liveness and durations.
int64_t BRIM_MonotonicMs();
uint64_t BRIM_MonotonicNs();

// Sequentially consistent operations on a 32-bit word.
void BRIM_AtomicSet(volatile int32_t* v, int32_t value);
int32_t BRIM_AtomicGet(volatile int32_t* v);
int32_t BRIM_AtomicInc(volatile int32_t* v);  // returns the new value
int32_t BRIM_AtomicDec(volatile int32_t* v);  // returns the new value

// Byte-range lock: type 1 exclusive and waiting, 2 shared and failing at once,
// 3 exclusive and failing at once.
struct BRIM_FILE_LOCK {
  int32_t type;
  int64_t offset;
  int64_t length;
};
int BRIM_LockFile(int fd, const BRIM_FILE_LOCK* lock);    // 0, or -1
int BRIM_UnLockFile(int fd, const BRIM_FILE_LOCK* lock);  // 0, or -1
// Exclusive lock of the range, waiting at most timeoutMs (0: one try): 0 when
// locked, -1 when it was still held elsewhere at the end (no record) or the
// call failed (recorded as BRIM_LockFile records it). lock->type is ignored.
int BRIM_LockFileWithin(int fd, const BRIM_FILE_LOCK* lock, int timeoutMs);
int BRIM_close(int fd);                                   // 0, or -1 after logging

// Decimal, or hexadecimal after "0x"/"0X"; stops at the first non-digit with
// "Not a numbric str: (%s)." and returns the value so far; wraps modulo 2^64.
uint64_t BRIM_StrToU64(const char* text);
// A leading "-" negates the unsigned value of the rest.
int64_t BRIM_StrToS64(const char* text);

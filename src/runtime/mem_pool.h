// Memory pool: seven partitions of fixed-size blocks (32 to 2048 bytes) carved
// from one heap region at start, each with its own free list and mutex. Requests
// above 2048 bytes, or finding their partition empty, go to the heap; the block
// header remembers which, so freeAVPoolMem serves both. Free blocks are taken
// from the head and returned to the tail: first-in first-out reuse.
//
// Decisions:
// - Releasing a block that is not handed out (a double release), a pointer into
//   the region that is not a block's data start, or a pointer outside the region
//   whose header is not a heap block's is refused with an ERR record and
//   changes nothing; a refused block is never linked twice.
// - Pooled data is 4-byte aligned only (blocks are back to back, data size + 20
//   bytes each): keep byte buffers there, or copy multi-word records in and out.
// - initAVPool on a pool that is already built keeps it (0); a pool that is not
//   built (or was freed) serves every request from the heap.
// - Under AddressSanitizer every byte of a block outside its requested size
//   (headers, trailers, the rest of the room, free blocks) is poisoned, so an
//   overrun of a pooled buffer is reported as it would be for a malloc'd one.
//   Read a block's raw bytes through getAVPoolMemData, never through a data
//   pointer.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/os_helper.h"

constexpr uint32_t AV_POOL_PARTITIONS = 7;

// One partition's bookkeeping. The free list is circular through a sentinel
// (the head's own links); links are block indexes, the sentinel being
// AV_POOL_SENTINEL, so the 4-byte link fields work on a 64-bit process.
struct AVPoolPartition {
  const char* name;
  uint32_t freeCount;
  uint32_t headNext;  // first free block, or the sentinel
  uint32_t headPrev;  // last free block, or the sentinel
  BRIM_MUTEX mutex;
  uint32_t heapCount;  // requests of this size served from the heap
  unsigned char* firstBlock;
  uint32_t dataSize;
  uint32_t blockCount;
};

// Zero-initialised storage is a pool that is not built.
struct AVPool {
  unsigned char* region;
  uint32_t totalSize;
  AVPoolPartition part[AV_POOL_PARTITIONS];
};

constexpr uint32_t AV_POOL_REGION_SIZE = 11036000;
constexpr uint32_t AV_POOL_SENTINEL = 0xFFFFFFFFu;
constexpr uint32_t AV_POOL_MAGIC_FREE = 0xEBC02659u;
constexpr uint32_t AV_POOL_MAGIC_USED = 0xEACD9758u;
constexpr uint32_t AV_POOL_MAGIC_HEAP = 0xEAC12758u;
constexpr uint32_t AV_POOL_HEADER_SIZE = 16;
constexpr uint32_t AV_POOL_TRAILER_SIZE = 4;

int initAVPool(AVPool* pool);                      // 0, or -1
void* allocAVPoolMem(AVPool* pool, uint32_t size);  // data pointer, or null
void freeAVPoolMem(AVPool* pool, void* data);
void freeAVPool(AVPool* pool);
// Copies the raw bytes (header, data, trailer) of one pooled block; 0 or -1.
int getAVPoolMemData(AVPool* pool, uint32_t partition, uint32_t pos, void* out,
                     uint32_t* count);
// The one process-wide pool.
AVPool* getAVPool();

// Diagnostics (tests and benchmarks): free blocks and heap overflows per partition.
uint32_t avPoolFreeCount(AVPool* pool, uint32_t partition);
uint32_t avPoolHeapCount(AVPool* pool, uint32_t partition);

// Owns one block of the process-wide pool for a scope.
class PoolBuf {
 public:
  explicit PoolBuf(uint32_t size) : p_(allocAVPoolMem(getAVPool(), size)) {}
  ~PoolBuf() { reset(); }
  PoolBuf(const PoolBuf&) = delete;
  PoolBuf& operator=(const PoolBuf&) = delete;
  void* get() const { return p_; }
  char* chars() const { return static_cast<char*>(p_); }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    if (p_) freeAVPoolMem(getAVPool(), p_);
    p_ = nullptr;
  }

 private:
  void* p_;
};

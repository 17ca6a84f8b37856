// Memory pool: seven partitions of fixed-size blocks (32 to 2048 bytes) carved
// from one heap region at start, each with its own free list and mutex. Requests
// above 2048 bytes, or finding their partition empty, go to the heap; the block
// header remembers which, so freeAVPoolMem serves both. Free blocks are taken
// from the head and returned to the tail: first-in first-out reuse.
#pragma once
#include <cstddef>
#include <cstdint>

struct AVPool;

constexpr uint32_t AV_POOL_PARTITIONS = 7;

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

// Memory pool.
//
// Design: one malloc'd region holds every pooled block, partition after
// partition, each block a 16-byte header, the data room and a 4-byte trailer.
// The header's two link words cannot hold 64-bit pointers, so the free lists
// link blocks by their index within the partition; the sentinel index stands
// for the partition record's own head links, which makes the list circular
// without a dummy block. The hot path holds the partition mutex only for the
// unlink (or append) and the three header words; heap calls run outside it.
// The state magic is checked and changed under the same mutex on release, so
// two racing releases of one block cannot both link it.
#include "runtime/mem_pool.h"

#include <cstdlib>
#include <cstring>

#include "runtime/log.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

struct BlockHeader {
  uint32_t next;
  uint32_t prev;
  uint32_t size;
  uint32_t magic;
};
static_assert(sizeof(BlockHeader) == AV_POOL_HEADER_SIZE);

// Headers are closed to the sanitizer like everything outside handed-out
// data (see handOut), so the pool reads and writes their words past it.
__attribute__((no_sanitize_address)) uint32_t get(const BlockHeader* h,
                                                  uint32_t BlockHeader::*field) {
  return h->*field;
}
__attribute__((no_sanitize_address)) void set(BlockHeader* h, uint32_t BlockHeader::*field,
                                              uint32_t value) {
  h->*field = value;
}

constexpr uint32_t kUnlinkedNext = 0x00100100u;
constexpr uint32_t kUnlinkedPrev = 0x00200200u;
constexpr uint32_t kNoPartition = AV_POOL_PARTITIONS;

constexpr const char* kNames[AV_POOL_PARTITIONS] = {
    "AV_MEM_TYPE_32",  "AV_MEM_TYPE_64",   "AV_MEM_TYPE_128", "AV_MEM_TYPE_256",
    "AV_MEM_TYPE_512", "AV_MEM_TYPE_1024", "AV_MEM_TYPE_2048"};
constexpr uint32_t kDataSizes[AV_POOL_PARTITIONS] = {32, 64, 128, 256, 512, 1024, 2048};
constexpr uint32_t kBlockCounts[AV_POOL_PARTITIONS] = {10000, 10000, 10000, 5000,
                                                        5000,  2000,  1000};

constexpr uint32_t regionSize() {
  uint32_t total = 0;
  for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k)
    total += kBlockCounts[k] * (kDataSizes[k] + AV_POOL_HEADER_SIZE + AV_POOL_TRAILER_SIZE);
  return total;
}
static_assert(regionSize() == AV_POOL_REGION_SIZE);

AVPool g_pool;  // zero-initialised: not built until start-up builds it

// Smallest partition whose data size holds n; kNoPartition above 2048.
inline uint32_t partitionOf(uint32_t n) {
  if (n <= kDataSizes[0]) return 0;
  uint32_t k = 32u - static_cast<uint32_t>(__builtin_clz(n - 1)) - 5u;
  return k < AV_POOL_PARTITIONS ? k : kNoPartition;
}

inline uint32_t blockSize(const AVPoolPartition& p) {
  return p.dataSize + AV_POOL_HEADER_SIZE + AV_POOL_TRAILER_SIZE;
}

inline BlockHeader* blockAt(const AVPoolPartition& p, uint32_t index) {
  return reinterpret_cast<BlockHeader*>(p.firstBlock + static_cast<size_t>(index) * blockSize(p));
}

// Under the address sanitizer the pool shows it what a heap would: every byte
// of the region outside the requested bytes of handed-out blocks (headers,
// trailers, the room behind a short request, free blocks) is unaddressable,
// so an overrun of a pooled buffer is reported like one past a malloc'd
// buffer. The pool itself reaches headers and trailers through the unchecked
// accessors. Each block's shadow changes only while the block is owned (after
// its unlink, before its link), and no change reaches a granule that another
// block's data shares, so no lock covers the shadow.
__attribute__((no_sanitize_address)) void writeTrailer(BlockHeader* h, uint32_t size,
                                                       uint32_t magic) {
  unsigned char* t = reinterpret_cast<unsigned char*>(h + 1) + size;
  for (int i = 0; i < 4; ++i) t[i] = static_cast<unsigned char>(magic >> (8 * i));
}

inline void handOut(BlockHeader* h, uint32_t size, uint32_t magic) {
  writeTrailer(h, size, magic);
  POOL_UNPOISON(h + 1, size);
}

// Caller holds the partition mutex.
inline void appendTail(AVPoolPartition& p, uint32_t index, BlockHeader* h) {
  uint32_t last = p.headPrev;
  set(h, &BlockHeader::next, AV_POOL_SENTINEL);
  set(h, &BlockHeader::prev, last);
  if (last == AV_POOL_SENTINEL)
    p.headNext = index;
  else
    set(blockAt(p, last), &BlockHeader::next, index);
  p.headPrev = index;
}

// Caller holds the partition mutex and has checked the list is not empty.
inline BlockHeader* unlinkHead(AVPoolPartition& p) {
  BlockHeader* h = blockAt(p, p.headNext);
  uint32_t next = get(h, &BlockHeader::next);
  p.headNext = next;
  if (next == AV_POOL_SENTINEL)
    p.headPrev = AV_POOL_SENTINEL;
  else
    set(blockAt(p, next), &BlockHeader::prev, AV_POOL_SENTINEL);
  set(h, &BlockHeader::next, kUnlinkedNext);
  set(h, &BlockHeader::prev, kUnlinkedPrev);
  return h;
}

inline bool isBuilt(const AVPool* pool) { return pool->region != nullptr; }

// A diagnostic copy of a whole block reads its closed parts on purpose; byte
// by byte through volatile so that no checked memcpy stands in for the loop.
__attribute__((no_sanitize_address)) void copyRaw(void* out, const unsigned char* src,
                                                  uint32_t n) {
  auto* dst = static_cast<volatile unsigned char*>(out);
  const volatile unsigned char* from = src;
  for (uint32_t i = 0; i < n; ++i) dst[i] = from[i];
}

// Where a data pointer lies in the region: its partition and block index, or
// false when it is not the data start of a pooled block.
bool locateBlock(const AVPool* pool, const unsigned char* data, uint32_t* partition,
                 uint32_t* index) {
  for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) {
    const AVPoolPartition& p = pool->part[k];
    const unsigned char* start = p.firstBlock + AV_POOL_HEADER_SIZE;
    size_t span = static_cast<size_t>(p.blockCount) * blockSize(p);
    if (data < start || data >= p.firstBlock + span) continue;
    size_t offset = static_cast<size_t>(data - start);
    if (offset % blockSize(p) != 0) return false;
    *partition = k;
    *index = static_cast<uint32_t>(offset / blockSize(p));
    return true;
  }
  return false;
}

inline bool inRegion(const AVPool* pool, const unsigned char* data) {
  return isBuilt(pool) && data >= pool->region && data < pool->region + pool->totalSize;
}

void* allocFromHeap(AVPool* pool, uint32_t size, uint32_t partition) {
  auto* h = static_cast<BlockHeader*>(
      std::malloc(static_cast<size_t>(size) + AV_POOL_HEADER_SIZE + AV_POOL_TRAILER_SIZE));
  if (!h) return nullptr;
  set(h, &BlockHeader::next, kUnlinkedNext);
  set(h, &BlockHeader::prev, kUnlinkedPrev);
  set(h, &BlockHeader::size, size);
  set(h, &BlockHeader::magic, AV_POOL_MAGIC_HEAP);
  POOL_POISON(h, static_cast<size_t>(size) + AV_POOL_HEADER_SIZE + AV_POOL_TRAILER_SIZE);
  handOut(h, size, AV_POOL_MAGIC_HEAP);
  if (partition != kNoPartition && isBuilt(pool)) {
    AVPoolPartition& p = pool->part[partition];
    BRIM_MutexLock(&p.mutex);
    ++p.heapCount;
    BRIM_MutexUnlock(&p.mutex);
  }
  return h + 1;
}

}  // namespace

AVPool* getAVPool() { return &g_pool; }

int initAVPool(AVPool* pool) {
  if (!pool) {
    AV_ERR("Null pointer.");
    return -1;
  }
  // Start-up builds the pool once; rebuilding would orphan every block in use.
  if (isBuilt(pool)) return 0;
  auto* region = static_cast<unsigned char*>(std::malloc(AV_POOL_REGION_SIZE));
  if (!region) {
    AV_ERR("Out of memory, size(%u).", AV_POOL_REGION_SIZE);
    return -1;
  }
  unsigned char* pos = region;
  for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) {
    AVPoolPartition& p = pool->part[k];
    BRIM_MutexCreate(&p.mutex, AV_MODULE_AGENT);
    p.headNext = AV_POOL_SENTINEL;
    p.headPrev = AV_POOL_SENTINEL;
    p.heapCount = 0;
    p.freeCount = kBlockCounts[k];
    p.name = kNames[k];
    p.firstBlock = pos;
    p.dataSize = kDataSizes[k];
    p.blockCount = kBlockCounts[k];
    for (uint32_t i = 0; i < p.blockCount; ++i) {
      BlockHeader* h = blockAt(p, i);
      set(h, &BlockHeader::size, 0);
      set(h, &BlockHeader::magic, AV_POOL_MAGIC_FREE);
      appendTail(p, i, h);
    }
    pos += static_cast<size_t>(p.blockCount) * blockSize(p);
  }
  POOL_POISON(region, AV_POOL_REGION_SIZE);
  pool->totalSize = AV_POOL_REGION_SIZE;
  pool->region = region;
  return 0;
}

void* allocAVPoolMem(AVPool* pool, uint32_t size) {
  if (!pool) {
    AV_ERR("Null pointer.");
    return nullptr;
  }
  uint32_t k = partitionOf(size);
  if (k != kNoPartition && isBuilt(pool)) {
    AVPoolPartition& p = pool->part[k];
    BRIM_MutexLock(&p.mutex);
    if (p.headNext != AV_POOL_SENTINEL) {
      BlockHeader* h = unlinkHead(p);
      if (p.freeCount) --p.freeCount;
      set(h, &BlockHeader::size, size);
      set(h, &BlockHeader::magic, AV_POOL_MAGIC_USED);
      BRIM_MutexUnlock(&p.mutex);
      handOut(h, size, AV_POOL_MAGIC_USED);
      return h + 1;
    }
    BRIM_MutexUnlock(&p.mutex);
  }
  void* data = allocFromHeap(pool, size, k);
  if (!data) AV_ERR("Out of memory, size(%u).", size);
  return data;
}

void freeAVPoolMem(AVPool* pool, void* data) {
  if (!pool || !data) {
    AV_ERR("Null pointer.");
    return;
  }
  auto* bytes = static_cast<unsigned char*>(data);
  // Every block's data starts on a 4-byte boundary; anything else is foreign
  // and its header cannot even be read safely.
  if (reinterpret_cast<uintptr_t>(bytes) % 4 != 0) {
    AV_ERR("Bad pointer(%p).", data);
    return;
  }
  if (!inRegion(pool, bytes)) {
    BlockHeader* h = reinterpret_cast<BlockHeader*>(bytes) - 1;
    if (get(h, &BlockHeader::magic) != AV_POOL_MAGIC_HEAP) {
      AV_ERR("Bad pointer(%p), state(0x%08X).", data, get(h, &BlockHeader::magic));
      return;
    }
    // Cleared so that a second release of this block is likely refused.
    set(h, &BlockHeader::magic, 0);
    POOL_UNPOISON(h, static_cast<size_t>(get(h, &BlockHeader::size)) + AV_POOL_HEADER_SIZE +
                         AV_POOL_TRAILER_SIZE);
    std::free(h);
    return;
  }
  uint32_t k = 0;
  uint32_t index = 0;
  if (!locateBlock(pool, bytes, &k, &index)) {
    AV_ERR("Bad pointer(%p).", data);
    return;
  }
  AVPoolPartition& p = pool->part[k];
  BlockHeader* h = blockAt(p, index);
  BRIM_MutexLock(&p.mutex);
  uint32_t magic = get(h, &BlockHeader::magic);
  uint32_t sized = partitionOf(get(h, &BlockHeader::size));
  if (magic == AV_POOL_MAGIC_USED && sized == k) {
    // Closed before it is linked: once in the list another thread may take it.
    POOL_POISON(h + 1, get(h, &BlockHeader::size));
    set(h, &BlockHeader::magic, AV_POOL_MAGIC_FREE);
    appendTail(p, index, h);
    ++p.freeCount;
  }
  BRIM_MutexUnlock(&p.mutex);
  if (magic != AV_POOL_MAGIC_USED) {
    AV_ERR("Block(%p) is not in use, state(0x%08X).", data, magic);
  } else if (sized != k) {
    AV_ERR("Bad index(%u)", sized);
  }
}

void freeAVPool(AVPool* pool) {
  if (!pool) {
    AV_ERR("Null pointer.");
    return;
  }
  if (!isBuilt(pool)) return;
  for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k)
    BRIM_MutexDestroy(&pool->part[k].mutex, AV_MODULE_AGENT);
  POOL_UNPOISON(pool->region, pool->totalSize);
  std::free(pool->region);
  // Back to "not built"; the mutexes are records of their own and stay destroyed.
  pool->region = nullptr;
  pool->totalSize = 0;
  for (AVPoolPartition& p : pool->part) {
    p.name = nullptr;
    p.freeCount = p.headNext = p.headPrev = p.heapCount = p.dataSize = p.blockCount = 0;
    p.firstBlock = nullptr;
  }
}

int getAVPoolMemData(AVPool* pool, uint32_t partition, uint32_t pos, void* out,
                     uint32_t* count) {
  if (!pool || !out || !count || !isBuilt(pool)) {
    AV_ERR("Null pointer.");
    return -1;
  }
  if (partition >= AV_POOL_PARTITIONS) {
    AV_ERR("Bad partition id(%u).", partition);
    return -1;
  }
  AVPoolPartition& p = pool->part[partition];
  if (pos >= p.blockCount) {
    AV_ERR("Bad pos(%u).", pos);
    return -1;
  }
  uint32_t n = *count < blockSize(p) ? *count : blockSize(p);
  // Under the mutex so the header words are copied as one consistent state.
  BRIM_MutexLock(&p.mutex);
  copyRaw(out, reinterpret_cast<const unsigned char*>(blockAt(p, pos)), n);
  BRIM_MutexUnlock(&p.mutex);
  *count = n;
  return 0;
}

uint32_t avPoolFreeCount(AVPool* pool, uint32_t partition) {
  if (!pool || !isBuilt(pool) || partition >= AV_POOL_PARTITIONS) return 0;
  AVPoolPartition& p = pool->part[partition];
  BRIM_MutexLock(&p.mutex);
  uint32_t n = p.freeCount;
  BRIM_MutexUnlock(&p.mutex);
  return n;
}

uint32_t avPoolHeapCount(AVPool* pool, uint32_t partition) {
  if (!pool || !isBuilt(pool) || partition >= AV_POOL_PARTITIONS) return 0;
  AVPoolPartition& p = pool->part[partition];
  BRIM_MutexLock(&p.mutex);
  uint32_t n = p.heapCount;
  BRIM_MutexUnlock(&p.mutex);
  return n;
}

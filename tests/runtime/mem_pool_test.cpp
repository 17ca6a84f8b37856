// Memory pool: partition choice, FIFO reuse, heap overflow, refused releases,
// threads. Each test builds its own pool; the process-wide one is left alone.
#include "runtime/mem_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "support/test_env.h"

namespace {

constexpr uint32_t kCounts[AV_POOL_PARTITIONS] = {10000, 10000, 10000, 5000, 5000, 2000, 1000};

struct OwnPool {
  std::unique_ptr<AVPool> pool{new AVPool{}};
  OwnPool() { EXPECT_EQ(initAVPool(pool.get()), 0); }
  ~OwnPool() { freeAVPool(pool.get()); }
  bool inRegion(const void* p) const {
    auto* b = static_cast<const unsigned char*>(p);
    return b >= pool->region && b < pool->region + pool->totalSize;
  }
  std::vector<uint32_t> counts(uint32_t (*count)(AVPool*, uint32_t)) const {
    std::vector<uint32_t> v;
    for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) v.push_back(count(pool.get(), k));
    return v;
  }
};
const std::vector<uint32_t> kStart(std::begin(kCounts), std::end(kCounts));

TEST(Pool, SmallestPartitionThatHoldsItElseHeap) {
  OwnPool P;
  const uint32_t sizes[] = {0,   32,  33,  64,   65,   128,  129, 256,
                            257, 512, 513, 1024, 1025, 2048, 2049};
  for (uint32_t i = 0; i < std::size(sizes); ++i) {
    SCOPED_TRACE(sizes[i]);
    auto* p = static_cast<unsigned char*>(allocAVPoolMem(P.pool.get(), sizes[i]));
    std::vector<uint32_t> expect = kStart;
    if (i + 1 < std::size(sizes)) --expect[i / 2];  // two sizes per partition, then the heap
    EXPECT_EQ(P.counts(avPoolFreeCount), expect);
    EXPECT_EQ(i + 1 < std::size(sizes), P.inRegion(p));
    freeAVPoolMem(P.pool.get(), p);
  }
  EXPECT_EQ(P.counts(avPoolFreeCount), kStart);
  EXPECT_EQ(P.counts(avPoolHeapCount), std::vector<uint32_t>(AV_POOL_PARTITIONS, 0));
}

// FIFO: a released block waits behind every other free one; an empty partition
// overflows to the heap (counted), and a heap block goes back to the heap.
TEST(Pool, FifoReuseAndHeapOverflow) {
  OwnPool P;
  AVPool* pool = P.pool.get();
  void* first = allocAVPoolMem(pool, 32);
  freeAVPoolMem(pool, first);
  std::set<void*> held;
  for (uint32_t i = 0; i < kCounts[0] - 1; ++i) held.insert(allocAVPoolMem(pool, 32));
  EXPECT_EQ(held.count(first), 0u);
  EXPECT_EQ(allocAVPoolMem(pool, 32), first);  // handed out last of all
  held.insert(first);
  EXPECT_EQ(held.size(), kCounts[0]);
  void* over = allocAVPoolMem(pool, 32);
  EXPECT_FALSE(P.inRegion(over));
  std::vector<uint32_t> heap(AV_POOL_PARTITIONS, 0);
  heap[0] = 1;
  EXPECT_EQ(P.counts(avPoolHeapCount), heap);
  freeAVPoolMem(pool, over);
  EXPECT_EQ(avPoolFreeCount(pool, 0), 0u);
  for (void* p : held) freeAVPoolMem(pool, p);
  EXPECT_EQ(P.counts(avPoolFreeCount), kStart);
}

TEST(Pool, DoubleOrForeignReleaseIsRefused) {
  OwnPool P;
  avtest::LogCapture log;
  void* p = allocAVPoolMem(P.pool.get(), 2048);
  freeAVPoolMem(P.pool.get(), p);
  freeAVPoolMem(P.pool.get(), p);
  alignas(16) unsigned char foreign[64] = {};
  freeAVPoolMem(P.pool.get(), foreign + 32);
  EXPECT_TRUE(log.contains("is not in use", AVLOG_ERR));
  EXPECT_EQ(log.count("Bad pointer"), 1u);
  EXPECT_EQ(P.counts(avPoolFreeCount), kStart);  // linked once, or the count would be over
}

// Each thread marks its blocks and checks the mark on release: a block with
// two owners shows up clobbered. 2048-byte blocks overflow to the heap.
TEST(PoolConcurrency, ManyThreadsLeaveCountsWhole) {
  OwnPool P;
  std::vector<void*> reserve;  // leave 100 blocks of 2048 bytes, fewer than one thread holds
  for (int i = 0; i < 900; ++i) reserve.push_back(allocAVPoolMem(P.pool.get(), 2048));
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      std::vector<std::pair<unsigned char*, uint32_t>> held;
      for (int r = 0; r < 6000; ++r) {
        if (held.size() < 400 && rng() % 3) {
          uint32_t size = rng() % 2 ? 2048 : rng() % 3000;
          auto* p = static_cast<unsigned char*>(allocAVPoolMem(P.pool.get(), size));
          std::fill(p, p + size, static_cast<unsigned char>(t));
          held.push_back({p, size});
        } else if (!held.empty()) {
          auto [p, size] = held.back();
          held.pop_back();
          if (std::any_of(p, p + size, [&](unsigned char b) { return b != t; })) ++faults;
          freeAVPoolMem(P.pool.get(), p);
        }
      }
      for (auto [p, size] : held) freeAVPoolMem(P.pool.get(), p);
    });
  for (auto& th : threads) th.join();
  for (void* p : reserve) freeAVPoolMem(P.pool.get(), p);
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(P.counts(avPoolFreeCount), kStart);
  EXPECT_GT(avPoolHeapCount(P.pool.get(), 6), 0u);
}

}  // namespace

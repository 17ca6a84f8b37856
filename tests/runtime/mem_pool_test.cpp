// Memory pool: partition choice, FIFO reuse, heap overflow, sanitizer poisoning,
// refused releases, threads. Each test builds its own pool.
#include "runtime/mem_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "support/test_env.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

const std::vector<uint32_t> kStart = {10000, 10000, 10000, 5000, 5000, 2000, 1000};

struct OwnPool {
  std::unique_ptr<AVPool> pool{new AVPool{}};
  AVPool* P = pool.get();
  OwnPool() { EXPECT_EQ(initAVPool(P), 0); }
  ~OwnPool() { freeAVPool(P); }
  bool inRegion(const void* p) const {
    auto* b = static_cast<const unsigned char*>(p);
    return b >= P->region && b < P->region + P->totalSize;
  }
  std::vector<uint32_t> counts(uint32_t (*count)(AVPool*, uint32_t)) const {
    std::vector<uint32_t> v;
    for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) v.push_back(count(P, k));
    return v;
  }
};

TEST(Pool, SmallestPartitionThatHoldsItElseHeap) {
  OwnPool o;
  const uint32_t sizes[] = {0, 32, 33, 64, 65, 128, 129, 256, 257, 512, 513, 1024, 1025, 2048, 2049};
  for (uint32_t i = 0; i < std::size(sizes); ++i) {
    SCOPED_TRACE(sizes[i]);
    void* p = allocAVPoolMem(o.P, sizes[i]);
    std::vector<uint32_t> expect = kStart;
    if (i + 1 < std::size(sizes)) --expect[i / 2];  // two sizes per partition, then the heap
    EXPECT_EQ(o.counts(avPoolFreeCount), expect);
    EXPECT_EQ(i + 1 < std::size(sizes), o.inRegion(p));
    freeAVPoolMem(o.P, p);
  }
  EXPECT_EQ(o.counts(avPoolFreeCount), kStart);
  EXPECT_EQ(o.counts(avPoolHeapCount), std::vector<uint32_t>(AV_POOL_PARTITIONS, 0));
}

// FIFO: a released block waits behind every other free one; an empty partition
// overflows to the heap (counted), and a heap block goes back to the heap.
TEST(Pool, FifoReuseAndHeapOverflow) {
  OwnPool o;
  void* first = allocAVPoolMem(o.P, 32);
  freeAVPoolMem(o.P, first);
  std::vector<void*> held(kStart[0]);
  for (auto& p : held) p = allocAVPoolMem(o.P, 32);
  EXPECT_EQ(std::find(held.begin(), held.end(), first), held.end() - 1);  // handed out last
  EXPECT_EQ(std::set<void*>(held.begin(), held.end()).size(), kStart[0]);
  void* over = allocAVPoolMem(o.P, 32);
  EXPECT_FALSE(o.inRegion(over));
  EXPECT_EQ(o.counts(avPoolHeapCount), std::vector<uint32_t>({1, 0, 0, 0, 0, 0, 0}));
  freeAVPoolMem(o.P, over);
  EXPECT_EQ(avPoolFreeCount(o.P, 0), 0u);
  for (void* p : held) freeAVPoolMem(o.P, p);
  EXPECT_EQ(o.counts(avPoolFreeCount), kStart);
}

// The sanitizer sees a pooled buffer as a malloc'd one: only the requested bytes are open.
TEST(PoolSanitizer, OverrunPastRequestedSizeIsSeen) {
#if defined(__SANITIZE_ADDRESS__)
  OwnPool o;
  EXPECT_TRUE(__asan_address_is_poisoned(o.P->part[3].firstBlock + 16));  // free since the start
  for (uint32_t size : {0u, 1u, 31u, 32u, 33u, 1000u, 2047u, 2048u, 2049u}) {
    SCOPED_TRACE(size);
    auto* p = static_cast<unsigned char*>(allocAVPoolMem(o.P, size));
    EXPECT_TRUE(size == 0 || __asan_region_is_poisoned(p, size) == nullptr);
    EXPECT_TRUE(__asan_address_is_poisoned(p + size));
    freeAVPoolMem(o.P, p);
    EXPECT_TRUE(!o.inRegion(p) || __asan_address_is_poisoned(p));
  }
#else
  GTEST_SKIP() << "needs the address sanitizer";
#endif
}

// Two threads release one block at once, then a foreign pointer: both refused,
// the block linked once (run under the thread sanitizer too).
TEST(PoolConcurrency, RacingDoubleReleaseLinksOnce) {
  OwnPool o;
  avtest::LogCapture log;
  for (int round = 0; round < 200; ++round) {
    void* p = allocAVPoolMem(o.P, 512);
    std::atomic<bool> go{false};
    auto release = [&] { while (!go) {} freeAVPoolMem(o.P, p); };
    std::thread a(release), b(release);
    go = true;
    a.join(), b.join();
    ASSERT_EQ(avPoolFreeCount(o.P, 4), kStart[4]) << "round " << round;
  }
  alignas(16) unsigned char foreign[64] = {};
  freeAVPoolMem(o.P, foreign + 32);
  EXPECT_EQ(log.count("is not in use"), 200u);
  EXPECT_EQ(log.count("Bad pointer"), 1u);
  EXPECT_EQ(o.counts(avPoolFreeCount), kStart);
}

}  // namespace

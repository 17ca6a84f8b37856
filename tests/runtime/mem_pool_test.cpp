// Memory pool: partition choice, FIFO reuse, heap overflow, release checks, threads.
// Tests that drain a partition build their own pool, leaving the process-wide one as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "runtime/mem_pool.h"
#include "support/test_env.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr uint32_t kSizes[AV_POOL_PARTITIONS] = {32, 64, 128, 256, 512, 1024, 2048};
constexpr uint32_t kCounts[AV_POOL_PARTITIONS] = {10000, 10000, 10000, 5000, 5000, 2000, 1000};

// A pool built for one test and released at its end.
class OwnPool {
 public:
  OwnPool() : pool_(new AVPool{}) { ok_ = initAVPool(pool_.get()) == 0; }
  ~OwnPool() { freeAVPool(pool_.get()); }
  AVPool* get() const { return pool_.get(); }
  bool ok() const { return ok_; }
  bool inRegion(const void* p) const {
    auto* b = static_cast<const unsigned char*>(p);
    return b >= pool_->region && b < pool_->region + pool_->totalSize;
  }
  std::vector<uint32_t> counts(uint32_t (*count)(AVPool*, uint32_t)) const {
    std::vector<uint32_t> v;
    for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) v.push_back(count(get(), k));
    return v;
  }
  std::vector<uint32_t> freeCounts() const { return counts(avPoolFreeCount); }
  std::vector<uint32_t> heapCounts() const { return counts(avPoolHeapCount); }

 private:
  std::unique_ptr<AVPool> pool_;
  bool ok_ = false;
};

struct RawHeader { uint32_t next, prev, size, magic; };

// Headers and trailers lie outside the requested bytes, which the sanitizer
// build closes: read them past it.
__attribute__((no_sanitize_address)) uint32_t wordAt(const void* data, ptrdiff_t offset) {
  const volatile unsigned char* t = static_cast<const unsigned char*>(data) + offset;
  return t[0] | (t[1] << 8) | (t[2] << 16) | (static_cast<uint32_t>(t[3]) << 24);
}
RawHeader headerOf(const void* data) {
  return {wordAt(data, -16), wordAt(data, -12), wordAt(data, -8), wordAt(data, -4)};
}
uint32_t trailerOf(const void* data, uint32_t size) { return wordAt(data, size); }

const std::vector<uint32_t> kStartCounts(std::begin(kCounts), std::end(kCounts));


TEST(PoolPartition, SmallestPartitionThatHoldsItElseHeap) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  const uint32_t kHeap = AV_POOL_PARTITIONS;
  const struct { uint32_t size, partition; } cases[] = {{0, 0},    {1, 0},    {32, 0},   {33, 1},    {64, 1},    {65, 2},
               {128, 2},  {129, 3},  {256, 3},  {257, 4},   {512, 4},   {513, 5},
               {1024, 5}, {1025, 6}, {2048, 6}, {2049, kHeap}, {1u << 20, kHeap}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<uint32_t> expect = kStartCounts;
    auto* p = static_cast<unsigned char*>(allocAVPoolMem(pool.get(), c.size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool.inRegion(p), c.partition != kHeap);
    if (c.partition != kHeap) --expect[c.partition];
    EXPECT_EQ(pool.freeCounts(), expect);
    EXPECT_EQ(headerOf(p).size, c.size);
    EXPECT_EQ(headerOf(p).magic, c.partition != kHeap ? 0xEACD9758u : 0xEAC12758u);
    EXPECT_EQ(trailerOf(p, c.size), headerOf(p).magic);
    std::memset(p, 0xA5, c.size);
    freeAVPoolMem(pool.get(), p);
    EXPECT_EQ(pool.freeCounts(), kStartCounts);
  }
  // Too large for any partition is no overflow.
  EXPECT_EQ(pool.heapCounts(), std::vector<uint32_t>(AV_POOL_PARTITIONS, 0));
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer sees the pool as it sees the heap: the requested bytes are open,
// the byte behind them and a released block are not.
TEST(PoolSanitizer, OverrunPastRequestedSizeIsSeen) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  auto* untouched = pool.get()->part[3].firstBlock + 16;
  EXPECT_TRUE(__asan_address_is_poisoned(untouched));  // free since the start
  for (uint32_t size : {0u, 1u, 5u, 31u, 32u, 33u, 100u, 1000u, 2047u, 2048u, 2049u}) {
    SCOPED_TRACE(size);
    auto* p = static_cast<unsigned char*>(allocAVPoolMem(pool.get(), size));
    ASSERT_NE(p, nullptr);
    if (size > 0) {
      EXPECT_EQ(__asan_region_is_poisoned(p, size), nullptr);
    }
    EXPECT_TRUE(__asan_address_is_poisoned(p + size));
    freeAVPoolMem(pool.get(), p);
    if (pool.inRegion(p)) {
      EXPECT_TRUE(__asan_address_is_poisoned(p));
    }
  }
  auto* p = static_cast<char*>(allocAVPoolMem(pool.get(), 2040));
  memset(p, 'x', 2040);  // no terminator: a text reader runs into the closed bytes
  EXPECT_DEATH(fprintf(stderr, "%zu", strlen(p)), "use-after-poison");
  freeAVPoolMem(pool.get(), p);
}
#else
TEST(PoolSanitizer, OverrunPastRequestedSizeIsSeen) {
  GTEST_SKIP() << "needs the address sanitizer";
}
#endif

TEST(PoolReuse, ReleasedBlockComesBackLastNotFirst) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  AVPool* P = pool.get();
  void* a = allocAVPoolMem(P, 32);
  void* b = allocAVPoolMem(P, 32);
  freeAVPoolMem(P, a);
  // Other free blocks remain, so the one just released waits its turn.
  void* c = allocAVPoolMem(P, 32);
  EXPECT_EQ(static_cast<unsigned char*>(c), P->part[0].firstBlock + 2 * 52 + 16);
  std::vector<void*> held;
  for (uint32_t i = 0; i < kCounts[0] - 3; ++i) held.push_back(allocAVPoolMem(P, 32));
  EXPECT_TRUE(std::find(held.begin(), held.end(), a) == held.end());
  EXPECT_EQ(allocAVPoolMem(P, 32), a);  // handed out last of all
  EXPECT_EQ(avPoolFreeCount(P, 0), 0u);
  held.insert(held.end(), {a, b, c});
  for (void* p : held) freeAVPoolMem(P, p);
  EXPECT_EQ(pool.freeCounts(), kStartCounts);

}

TEST(PoolExhaustion, EmptyPartitionOverflowsToHeapAndCountsIt) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  AVPool* P = pool.get();
  std::set<void*> held;
  for (uint32_t i = 0; i < kCounts[0]; ++i) {
    void* p = allocAVPoolMem(P, 32);
    ASSERT_TRUE(pool.inRegion(p));
    held.insert(p);
  }
  EXPECT_EQ(held.size(), kCounts[0]);  // no block handed out twice
  void* over = allocAVPoolMem(P, 32);
  ASSERT_NE(over, nullptr);
  EXPECT_FALSE(pool.inRegion(over));
  EXPECT_EQ(headerOf(over).magic, 0xEAC12758u);
  std::vector<uint32_t> heap(AV_POOL_PARTITIONS, 0);
  heap[0] = 1;
  EXPECT_EQ(pool.heapCounts(), heap);  // only partition 0 overflowed
  // Back to the heap, not into the partition; the count never goes down.
  freeAVPoolMem(P, over);
  EXPECT_EQ(avPoolFreeCount(P, 0), 0u);
  EXPECT_EQ(avPoolHeapCount(P, 0), 1u);
  // A released pooled block is preferred to the heap again.
  void* one = *held.begin();
  freeAVPoolMem(P, one);
  EXPECT_EQ(allocAVPoolMem(P, 20), one);
  EXPECT_EQ(avPoolHeapCount(P, 0), 1u);
  for (void* p : held) freeAVPoolMem(P, p);
  EXPECT_EQ(pool.freeCounts(), kStartCounts);
}


TEST(PoolRelease, DoubleReleaseIsRefusedAndListStaysSound) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  AVPool* P = pool.get();
  avtest::LogCapture log;
  void* p = allocAVPoolMem(P, 2048);
  freeAVPoolMem(P, p);
  freeAVPoolMem(P, p);
  EXPECT_EQ(avPoolFreeCount(P, 6), kCounts[6]);
  EXPECT_TRUE(log.contains("is not in use", AVLOG_ERR));
  // Had it been linked twice, draining would hand it out twice.
  std::set<void*> seen;
  for (uint32_t i = 0; i < kCounts[6]; ++i) {
    void* q = allocAVPoolMem(P, 2048);
    ASSERT_TRUE(pool.inRegion(q));
    ASSERT_TRUE(seen.insert(q).second) << "block handed out twice";
  }
  for (void* q : seen) freeAVPoolMem(P, q);
  EXPECT_EQ(pool.freeCounts(), kStartCounts);
}

TEST(PoolRelease, ForeignPointerIsRefused) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  avtest::LogCapture log;
  alignas(16) unsigned char foreign[64] = {};
  freeAVPoolMem(pool.get(), foreign + 32);  // outside the region, no heap header
  EXPECT_EQ(log.count("Bad pointer"), 1u);
  EXPECT_EQ(pool.freeCounts(), kStartCounts);
}

TEST(PoolMemData, PositionPastThePartitionIsRefused) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  avtest::LogCapture log;
  std::vector<unsigned char> out(100);
  uint32_t count = 100;
  EXPECT_EQ(getAVPoolMemData(pool.get(), 6, 1000, out.data(), &count), -1);
  EXPECT_TRUE(log.contains("Bad pos(1000).", AVLOG_ERR));
  EXPECT_EQ(count, 100u);  // failures leave the count alone
}


// Each thread marks its blocks and checks the mark on release: a block with two owners shows
// up clobbered. Many 2048-byte blocks drain partition 6, so heap overflow runs concurrently.
void churn(AVPool* P, uint32_t seed, int rounds, std::atomic<int>* faults,
           std::atomic<bool>* go) {
  while (!go->load()) std::this_thread::yield();
  std::mt19937 rng(seed);
  struct Held { unsigned char* p; uint32_t size; unsigned char mark; };
  std::vector<Held> held;
  for (int r = 0; r < rounds; ++r) {
    if (held.size() < 400 && (held.empty() || rng() % 3 != 0)) {
      uint32_t pick = rng() % 10;
      uint32_t size = pick < 4 ? 2048 : pick < 9 ? rng() % 2049 : 2049 + rng() % 3000;
      auto* p = static_cast<unsigned char*>(allocAVPoolMem(P, size));
      if (!p) { faults->fetch_add(1); continue; }
      auto mark = static_cast<unsigned char>(seed * 31 + r);
      std::memset(p, mark, size);
      held.push_back({p, size, mark});
    } else {
      size_t i = rng() % held.size();
      Held h = held[i];
      held[i] = held.back();
      held.pop_back();
      if (std::any_of(h.p, h.p + h.size, [&](unsigned char b) { return b != h.mark; }))
        faults->fetch_add(1);
      freeAVPoolMem(P, h.p);
    }
  }
  for (const Held& h : held) freeAVPoolMem(P, h.p);
}

TEST(PoolConcurrency, MixedSizesFromManyThreadsLeaveCountsWhole) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  // Leave 100 blocks of 2048 bytes: one thread at its peak holds more, whatever the scheduling.
  std::vector<void*> reserve;
  for (int i = 0; i < 900; ++i) reserve.push_back(allocAVPoolMem(pool.get(), 2048));
  std::atomic<int> faults{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 6; ++t)
    threads.emplace_back(churn, pool.get(), 100 + t, 6000, &faults, &go);
  go = true;
  for (auto& th : threads) th.join();
  for (void* p : reserve) freeAVPoolMem(pool.get(), p);
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(pool.freeCounts(), kStartCounts);
  EXPECT_GT(avPoolHeapCount(pool.get(), 6), 0u);
}

TEST(PoolConcurrency, RacingDoubleReleaseLinksOnce) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  AVPool* P = pool.get();
  for (int round = 0; round < 200; ++round) {
    void* p = allocAVPoolMem(P, 512);
    std::atomic<bool> go{false};
    auto release = [&] {
      while (!go.load()) {
      }
      freeAVPoolMem(P, p);
    };
    std::thread a(release), b(release);
    go = true;
    a.join();
    b.join();
    ASSERT_EQ(avPoolFreeCount(P, 4), kCounts[4]) << "round " << round;
  }
}

TEST(PoolConcurrency, ProcessWidePoolCountsReturnAfterThreads) {
  std::vector<uint32_t> before = avtest::poolFreeCounts();
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t)
    threads.emplace_back([&faults, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 5000; ++i) {
        PoolBuf a(rng() % 600);
        PoolBuf b(rng() % 2100);
        if (!a || !b) faults.fetch_add(1);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}

}  // namespace

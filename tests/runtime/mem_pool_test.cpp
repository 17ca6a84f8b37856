// Memory pool: partition choice, FIFO reuse, heap overflow, release checks and
// many threads at once. Tests that drain a partition build a pool of their own
// so the process-wide pool the other tests use is left as it was.
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
  std::vector<uint32_t> freeCounts() const {
    std::vector<uint32_t> v;
    for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) v.push_back(avPoolFreeCount(get(), k));
    return v;
  }
  std::vector<uint32_t> heapCounts() const {
    std::vector<uint32_t> v;
    for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) v.push_back(avPoolHeapCount(get(), k));
    return v;
  }

 private:
  std::unique_ptr<AVPool> pool_;
  bool ok_ = false;
};

struct RawHeader {
  uint32_t next, prev, size, magic;
};

RawHeader headerOf(const void* data) {
  RawHeader h;
  std::memcpy(&h, static_cast<const unsigned char*>(data) - 16, sizeof h);
  return h;
}

uint32_t trailerOf(const void* data, uint32_t size) {
  uint32_t t;
  std::memcpy(&t, static_cast<const unsigned char*>(data) + size, sizeof t);
  return t;
}

const std::vector<uint32_t> kStartCounts(std::begin(kCounts), std::end(kCounts));


TEST(PoolLayout, FreshPoolAndHandedOutBlock) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  EXPECT_EQ(pool.freeCounts(), kStartCounts);
  // Partitions back to back in index order, the last one ending the region.
  const unsigned char* expect = pool.get()->region;
  for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k) {
    EXPECT_EQ(pool.get()->part[k].firstBlock, expect) << k;
    EXPECT_EQ(std::string(pool.get()->part[k].name), "AV_MEM_TYPE_" + std::to_string(kSizes[k]));
    expect += static_cast<size_t>(kCounts[k]) * (kSizes[k] + 20);
  }
  EXPECT_EQ(expect, pool.get()->region + 11036000);

  auto* p = static_cast<unsigned char*>(allocAVPoolMem(pool.get(), 100));
  EXPECT_EQ(p, pool.get()->part[2].firstBlock + 16);  // first block of a fresh partition
  RawHeader h = headerOf(p);
  EXPECT_EQ(h.size, 100u);
  EXPECT_EQ(h.magic, 0xEACD9758u);
  EXPECT_EQ(h.next, 0x00100100u);
  EXPECT_EQ(h.prev, 0x00200200u);
  EXPECT_EQ(trailerOf(p, 100), 0xEACD9758u);
  freeAVPoolMem(pool.get(), p);
  EXPECT_EQ(headerOf(p).magic, 0xEBC02659u);
}


TEST(PoolPartition, SmallestPartitionThatHoldsItElseHeap) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  const uint32_t kHeap = AV_POOL_PARTITIONS;
  const struct {
    uint32_t size, partition;
  } cases[] = {{0, 0},    {1, 0},    {32, 0},   {33, 1},    {64, 1},    {65, 2},
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
    // The data room is the whole partition size: writing all of it is fine.
    std::memset(p, 0xA5, c.partition != kHeap ? kSizes[c.partition] : c.size);
    freeAVPoolMem(pool.get(), p);
    EXPECT_EQ(pool.freeCounts(), kStartCounts);
  }
  // Too large for any partition is no overflow.
  EXPECT_EQ(pool.heapCounts(), std::vector<uint32_t>(AV_POOL_PARTITIONS, 0));
}

TEST(PoolPartition, ProcessWidePoolAndPoolBufReturnTheirBlocks) {
  std::vector<uint32_t> before = avtest::poolFreeCounts();
  void* p = allocAVPoolMem(getAVPool(), 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(avtest::poolFreeCounts()[0], before[0] - 1);
  freeAVPoolMem(getAVPool(), p);
  {
    PoolBuf a(700);
    PoolBuf b(3000);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(avtest::poolFreeCounts()[5], before[5] - 1);
    a.reset();
    EXPECT_FALSE(a);
    EXPECT_EQ(avtest::poolFreeCounts()[5], before[5]);
  }
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}


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

  // Release in a scrambled order; the list gives them back in that order.
  std::vector<void*> order;
  for (uint32_t i = 0; i < kCounts[6]; ++i) order.push_back(allocAVPoolMem(P, 2000));
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (void* p : order) freeAVPoolMem(P, p);
  for (void* expect : order) ASSERT_EQ(allocAVPoolMem(P, 1500), expect);
  for (void* p : order) freeAVPoolMem(P, p);
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
  void* over2 = allocAVPoolMem(P, 1);
  EXPECT_FALSE(pool.inRegion(over2));
  EXPECT_EQ(avPoolHeapCount(P, 0), 2u);
  freeAVPoolMem(P, over2);
  // A released pooled block is preferred to the heap again.
  void* one = *held.begin();
  freeAVPoolMem(P, one);
  EXPECT_EQ(allocAVPoolMem(P, 20), one);
  EXPECT_EQ(avPoolHeapCount(P, 0), 2u);
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

TEST(PoolRelease, ForeignAndCorruptPointersAreRefused) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  AVPool* P = pool.get();
  avtest::LogCapture log;
  // Block 5 of partition 3 is free: releasing it must not grow the list.
  freeAVPoolMem(P, P->part[3].firstBlock + 5 * 276 + 16);
  EXPECT_EQ(avPoolFreeCount(P, 3), kCounts[3]);
  EXPECT_TRUE(log.contains("is not in use", AVLOG_ERR));
  // Mid-block, misaligned, and outside the region with no heap header.
  auto* p = static_cast<unsigned char*>(allocAVPoolMem(P, 64));
  alignas(16) unsigned char foreign[64] = {};
  for (unsigned char* bad : {p + 8, p + 1, foreign + 32}) freeAVPoolMem(P, bad);
  EXPECT_EQ(log.count("Bad pointer"), 3u);
  EXPECT_EQ(headerOf(p).magic, 0xEACD9758u);  // still handed out
  // A size word that names another partition.
  uint32_t bogus = 5000;
  std::memcpy(p - 8, &bogus, sizeof bogus);
  freeAVPoolMem(P, p);
  EXPECT_TRUE(log.contains("Bad index(7)", AVLOG_ERR));
  EXPECT_EQ(avPoolFreeCount(P, 1), kCounts[1] - 1);
  bogus = 64;
  std::memcpy(p - 8, &bogus, sizeof bogus);
  freeAVPoolMem(P, p);
  EXPECT_EQ(pool.freeCounts(), kStartCounts);

  void* q = allocAVPoolMem(getAVPool(), 10);
  freeAVPoolMem(nullptr, q);
  freeAVPoolMem(getAVPool(), nullptr);
  EXPECT_EQ(allocAVPoolMem(nullptr, 10), nullptr);
  EXPECT_EQ(initAVPool(nullptr), -1);
  freeAVPool(nullptr);
  EXPECT_EQ(log.count("Null pointer."), 5u);
  freeAVPoolMem(getAVPool(), q);
}

TEST(PoolLifecycle, UnbuiltPoolServesFromHeapAndRebuildIsKept) {
  const uint32_t mutexes = BRIM_ModuleMutexCount(AV_MODULE_AGENT);
  std::unique_ptr<AVPool> P(new AVPool{});
  void* p = allocAVPoolMem(P.get(), 32);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(headerOf(p).magic, 0xEAC12758u);
  freeAVPoolMem(P.get(), p);
  ASSERT_EQ(initAVPool(P.get()), 0);
  EXPECT_EQ(BRIM_ModuleMutexCount(AV_MODULE_AGENT), mutexes + 7);
  unsigned char* region = P->region;
  void* q = allocAVPoolMem(P.get(), 32);
  ASSERT_EQ(initAVPool(P.get()), 0);  // a second build keeps the region and the block in use
  EXPECT_EQ(P->region, region);
  EXPECT_EQ(avPoolFreeCount(P.get(), 0), kCounts[0] - 1);
  freeAVPoolMem(P.get(), q);
  freeAVPool(P.get());
  EXPECT_EQ(P->region, nullptr);
  EXPECT_EQ(BRIM_ModuleMutexCount(AV_MODULE_AGENT), mutexes);
  freeAVPool(P.get());  // releasing twice does nothing
  EXPECT_EQ(BRIM_ModuleMutexCount(AV_MODULE_AGENT), mutexes);
}

TEST(PoolMemData, CopiesRawBlockWithinBounds) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  AVPool* P = pool.get();
  avtest::LogCapture log;
  auto* p = static_cast<unsigned char*>(allocAVPoolMem(P, 2048));
  std::memset(p, 0x3C, 2048);
  std::vector<unsigned char> out(4000, 0xEE);
  uint32_t count = 4000;
  ASSERT_EQ(getAVPoolMemData(P, 6, 0, out.data(), &count), 0);
  EXPECT_EQ(count, 2068u);  // cut to header + data + trailer
  EXPECT_EQ(std::memcmp(out.data(), p - 16, 2068), 0);
  EXPECT_EQ(out[2068], 0xEE);
  count = 10;  // a short count copies only that much
  ASSERT_EQ(getAVPoolMemData(P, 6, 999, out.data(), &count), 0);
  EXPECT_EQ(count, 10u);
  count = 100;
  EXPECT_EQ(getAVPoolMemData(P, 6, 1000, out.data(), &count), -1);
  EXPECT_TRUE(log.contains("Bad pos(1000).", AVLOG_ERR));
  EXPECT_EQ(getAVPoolMemData(P, 7, 0, out.data(), &count), -1);
  EXPECT_TRUE(log.contains("Bad partition id(7).", AVLOG_ERR));
  EXPECT_EQ(getAVPoolMemData(P, 0, 0, out.data(), nullptr), -1);
  EXPECT_EQ(count, 100u);  // failures leave the count alone
  freeAVPoolMem(P, p);
}


// Each thread writes its own pattern into every block it holds and checks it
// before release: a block handed to two owners at once shows up as a clobbered
// pattern. Holding many 2048-byte blocks per thread drains partition 6, so the
// heap overflow path runs concurrently with pooled releases.
void churn(AVPool* P, uint32_t seed, int rounds, std::atomic<int>* faults,
           std::atomic<bool>* go) {
  while (!go->load()) std::this_thread::yield();
  std::mt19937 rng(seed);
  struct Held {
    unsigned char* p;
    uint32_t size;
    unsigned char mark;
  };
  std::vector<Held> held;
  for (int r = 0; r < rounds; ++r) {
    if (held.size() < 400 && (held.empty() || rng() % 3 != 0)) {
      uint32_t pick = rng() % 10;
      uint32_t size = pick < 4 ? 2048 : pick < 9 ? rng() % 2049 : 2049 + rng() % 3000;
      auto* p = static_cast<unsigned char*>(allocAVPoolMem(P, size));
      if (!p) {
        faults->fetch_add(1);
        continue;
      }
      auto mark = static_cast<unsigned char>(seed * 31 + r);
      std::memset(p, mark, size);
      held.push_back({p, size, mark});
    } else {
      size_t i = rng() % held.size();
      Held h = held[i];
      held[i] = held.back();
      held.pop_back();
      for (uint32_t b = 0; b < h.size; ++b)
        if (h.p[b] != h.mark) {
          faults->fetch_add(1);
          break;
        }
      freeAVPoolMem(P, h.p);
    }
  }
  for (const Held& h : held) freeAVPoolMem(P, h.p);
}

TEST(PoolConcurrency, MixedSizesFromManyThreadsLeaveCountsWhole) {
  OwnPool pool;
  ASSERT_TRUE(pool.ok());
  // Leave 100 blocks of 2048 bytes: each thread alone holds more than that at
  // its peak, so the overflow path is taken whatever the scheduling.
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

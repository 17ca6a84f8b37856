// Pool benchmark: median nanoseconds per allocate+release pair of the pool
// against malloc/free, on one thread and on two threads at once. Sizes cycle
// over sizes of six of the seven partitions (all pooled, none overflows);
// the pool's first-in first-out reuse means each allocation touches a block
// header that has not been used for a while, which malloc's caches avoid.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "runtime/mem_pool.h"
#include "bench_stats.h"

namespace {

constexpr uint32_t kSizes[] = {32, 100, 300, 512, 1024, 2000};
constexpr size_t kNumSizes = sizeof kSizes / sizeof kSizes[0];
constexpr int kPairs = 200000;
constexpr int kRuns = 15;
constexpr int kDepth = 8;  // a few blocks held at once, as a request does

volatile unsigned char g_sink;

struct PoolOps {
  static void* get(uint32_t n) { return allocAVPoolMem(getAVPool(), n); }
  static void put(void* p) { freeAVPoolMem(getAVPool(), p); }
};
struct HeapOps {
  static void* get(uint32_t n) { return std::malloc(n); }
  static void put(void* p) { std::free(p); }
};

// ns per pair for one run of kPairs pairs.
template <class Ops>
double runOnce() {
  void* held[kDepth] = {};
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kPairs; ++i) {
    int slot = i % kDepth;
    if (held[slot]) Ops::put(held[slot]);
    void* p = Ops::get(kSizes[i % kNumSizes]);
    static_cast<unsigned char*>(p)[0] = static_cast<unsigned char>(i);
    held[slot] = p;
  }
  for (void*& p : held) {
    g_sink = static_cast<unsigned char*>(p)[0];
    Ops::put(p);
  }
  auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / kPairs;
}

// Median over kRuns of the per-thread ns per pair, threads running together.
template <class Ops>
double measure(int threads) {
  std::vector<double> samples;
  for (int r = 0; r < kRuns; ++r) {
    std::vector<double> each(threads);
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) ts.emplace_back([&each, t] { each[t] = runOnce<Ops>(); });
    for (auto& th : ts) th.join();
    for (double d : each) samples.push_back(d);
  }
  return median(samples);
}

}  // namespace

int main() {
  if (initAVPool(getAVPool()) != 0) {
    std::fprintf(stderr, "pool build failed\n");
    return 1;
  }
  runOnce<PoolOps>();  // warm both paths
  runOnce<HeapOps>();
  std::printf("%-10s %12s %12s %8s\n", "threads", "pool ns", "malloc ns", "ratio");
  for (int threads : {1, 2}) {
    double pool = measure<PoolOps>(threads);
    double heap = measure<HeapOps>(threads);
    std::printf("%-10d %12.1f %12.1f %8.2f\n", threads, pool, heap, pool / heap);
  }
  for (uint32_t k = 0; k < AV_POOL_PARTITIONS; ++k)
    if (avPoolHeapCount(getAVPool(), k))
      std::printf("partition %u overflowed %u times\n", k, avPoolHeapCount(getAVPool(), k));
  freeAVPool(getAVPool());
  return 0;
}

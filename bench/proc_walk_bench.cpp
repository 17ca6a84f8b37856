// Baseline for the engine-status job: the time of one walk over /proc. Two
// walks are timed, interleaved: a bare readdir + readlink(exe) walk (the least
// any process lookup can cost) and the agent's own walkProcessNames, which
// also falls back to cmdline / comm for processes without a readable exe link.
// Usage: proc_walk_bench [RUNS]   (prints medians, and the bare walk's p99, in us)
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/proc_walk.h"
#include "bench_stats.h"

namespace {

using Clock = std::chrono::steady_clock;

double usSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

int bareWalk() {
  DIR* d = opendir("/proc");
  if (!d) return -1;
  int fd = dirfd(d);
  int n = 0;
  char rel[300], buf[4096];
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    snprintf(rel, sizeof rel, "%s/exe", e->d_name);
    ++n;
    (void)readlinkat(fd, rel, buf, sizeof buf);
  }
  closedir(d);
  return n;
}

bool countOne(const char*, void* ctx) {
  ++*static_cast<int*>(ctx);
  return false;  // never stop: the whole table is walked
}

}  // namespace

int main(int argc, char** argv) {
  long runs = argc > 1 ? atol(argv[1]) : 200;
  if (runs < 1 || runs > 100000) {
    fprintf(stderr, "usage: proc_walk_bench [RUNS]\n");
    return 1;
  }
  std::vector<double> bare, agentWalk;
  int processes = 0, named = 0;
  for (long r = 0; r < runs; ++r) {
    auto t0 = Clock::now();
    processes = bareWalk();
    bare.push_back(usSince(t0));
    named = 0;
    t0 = Clock::now();
    if (walkProcessNames(countOne, &named) < 0) return 1;
    agentWalk.push_back(usSince(t0));
  }
  printf("processes=%d named=%d runs=%ld bare_walk_median_us=%.1f bare_walk_p99_us=%.1f "
         "proc_walk_median_us=%.1f\n",
         processes, named, runs, median(bare), percentile(bare, 0.99), median(agentWalk));
  return processes > 0 ? 0 : 1;
}

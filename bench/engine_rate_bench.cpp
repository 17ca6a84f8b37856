// Trigger scans per second through a running agent against bare opens per
// second of the same files, under the same on-access engine, in alternating
// rounds (the order flipping every round). T threads each hold one verified connection and send scan jobs
// (2020, avType 0) for the files of a folder beneath the agent's UncRoot,
// each thread starting at its own file; in the other rounds T threads open and
// close the same files read-only themselves. With --outside, a copy of the
// folder that the engine does not watch is opened too: the difference of the
// two per-open times is what the engine itself costs.
// Usage: engine_rate_bench --port P --dir DIR --unc UNCDIR [--outside DIR2]
//        [--threads T] [--rounds R] [--count N]
//   DIR: the folder on disk; UNCDIR: the same folder as the storage system
//   names it (\\server\share\...); N: operations per thread per round.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "runtime/mem_pool.h"
#include "bench_stats.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kScanFileType = 2020;

// Runs fn(thread, i) for i < count on each of threads threads; returns the
// operations per second over the whole round, or -1 when one failed.
template <typename Fn>
double timedRound(int threads, long count, Fn&& fn) {
  std::atomic<bool> failed{false};
  std::vector<std::thread> pool;
  const auto t0 = Clock::now();
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (long i = 0; i < count && !failed.load(std::memory_order_relaxed); ++i)
        if (!fn(t, i)) failed.store(true);
    });
  for (auto& th : pool) th.join();
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  return failed.load() || s <= 0 ? -1 : static_cast<double>(threads) * count / s;
}

bool openClose(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string spreadOf(const std::vector<double>& v, int decimals) {
  char b[64];
  snprintf(b, sizeof b, "%.*f..%.*f", decimals, percentile(v, 0), decimals, percentile(v, 1));
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  std::string port, dir, unc, outside;
  int threads = 8, rounds = 5;
  long count = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--port")) port = argv[i + 1];
    else if (!strcmp(argv[i], "--dir")) dir = argv[i + 1];
    else if (!strcmp(argv[i], "--unc")) unc = argv[i + 1];
    else if (!strcmp(argv[i], "--outside")) outside = argv[i + 1];
    else if (!strcmp(argv[i], "--threads")) threads = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--rounds")) rounds = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--count")) count = atol(argv[i + 1]);
  }
  if (port.empty() || dir.empty() || unc.empty() || threads < 1 || threads > 64 || rounds < 1 ||
      count < 1) {
    fprintf(stderr,
            "usage: engine_rate_bench --port P --dir DIR --unc UNCDIR [--outside DIR2] "
            "[--threads T] [--rounds R] [--count N]\n");
    return 1;
  }
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    fprintf(stderr, "no files in %s\n", dir.c_str());
    return 1;
  }
  std::vector<std::string> jobs;
  for (const auto& n : names)
    jobs.push_back("{\"opCode\":\"1\",\"avType\":\"0\",\"FilePath\":\"" + jsonEscape(unc + "\\" + n) +
                   "\"}");
  const std::string clean = "{\"status\": \"0\",\"avType\": \"0\",\"result\": \"0\",\"isTag\": \"\"}";

  initAVPool(getAVPool());
  uint8_t vkey[32];
  if (sp_DeriveVerificationKey(AV_DEFAULT_PRESHARED_KEY, vkey) != 1) return 1;
  std::vector<StoragePeer> peers(static_cast<size_t>(threads));
  for (auto& p : peers)
    if (sp_Connect(&p, "127.0.0.1", port.c_str(), 5000) != SP_OK || sp_Handshake(&p, vkey) != SP_OK) {
      fprintf(stderr, "could not open a verified connection to the agent on %s\n", port.c_str());
      return 1;
    }
  const size_t files = names.size();
  auto fileOf = [&](int t, long i) { return (static_cast<size_t>(t) * files / threads + i) % files; };
  std::atomic<long> notClean{0};
  auto scan = [&](int t, long i) {
    StoragePeer& p = peers[static_cast<size_t>(t)];
    const std::string& j = jobs[fileOf(t, i)];
    if (sp_Request(&p, kScanFileType, j.c_str(), static_cast<uint32_t>(j.size() + 1)) != SP_OK)
      return false;
    const char* body = reinterpret_cast<const char*>(p.link.RecvBody);
    if (p.link.RecvHead.ReturnStatus != 100 || !body ||
        std::string(body, strnlen(body, p.link.RecvHead.Length)) != clean)
      notClean.fetch_add(1);
    return true;
  };
  auto bare = [&](const std::string& folder) {
    return [&, folder](int t, long i) { return openClose(folder + "/" + names[fileOf(t, i)]); };
  };
  // Warm-up: every file once each way, so the engine's and the page cache's
  // first look is not timed.
  if (timedRound(1, static_cast<long>(files), scan) < 0 ||
      timedRound(1, static_cast<long>(files), bare(dir)) < 0 ||
      (!outside.empty() && timedRound(1, static_cast<long>(files), bare(outside)) < 0)) {
    fprintf(stderr, "warm-up failed\n");
    return 1;
  }
  std::vector<double> ratios, scanRates, openRates, outsideRates;
  for (int r = 1; r <= rounds; ++r) {
    // The order flips every round, so a drift of the machine's load favours
    // neither side.
    double s = 0, o = 0;
    if (r % 2) {
      s = timedRound(threads, count, scan);
      o = timedRound(threads, count, bare(dir));
    } else {
      o = timedRound(threads, count, bare(dir));
      s = timedRound(threads, count, scan);
    }
    const double x = outside.empty() ? 0 : timedRound(threads, count, bare(outside));
    if (s < 0 || o < 0 || x < 0) {
      fprintf(stderr, "round %d failed\n", r);
      return 1;
    }
    scanRates.push_back(s);
    openRates.push_back(o);
    if (!outside.empty()) outsideRates.push_back(x);
    ratios.push_back(s / o);
    printf("round %d: trigger scans %.0f/s | bare opens under the engine %.0f/s", r, s, o);
    if (!outside.empty()) printf(" | bare opens unwatched %.0f/s", x);
    printf(" | ratio %.3f\n", s / o);
  }
  for (auto& p : peers) sp_Close(&p);
  const double ms = median(scanRates), mo = median(openRates);
  printf("medians over %d rounds (%d threads, %ld operations each per round, %zu files): "
         "trigger scans %.0f/s, bare opens %.0f/s\n",
         rounds, threads, count, files, ms, mo);
  if (!outside.empty()) {
    const double mx = median(outsideRates);
    // Per open as one thread sees it: threads / rate.
    printf("per open as one of %d threads sees it: %.1f us under the engine, %.1f us unwatched: "
           "the engine costs %.1f us per open (it passes one open every %.1f us); the agent "
           "adds %.1f us per job\n",
           threads, threads * 1e6 / mo, threads * 1e6 / mx,
           threads * 1e6 / mo - threads * 1e6 / mx, 1e6 / mo,
           threads * 1e6 / ms - threads * 1e6 / mo);
  }
  const double ratio = median(ratios);
  if (notClean.load() > 0) printf("%ld scan answers were not the clean result\n", notClean.load());
  printf("RESULT engine_scan_rate ratio=%.3f (median of %d rounds, spread %s; scans/s over bare "
         "opens/s under the same engine; target >= 0.9) %s\n",
         ratio, rounds, spreadOf(ratios, 3).c_str(),
         ratio >= 0.9 && notClean.load() == 0 ? "MET" : "MISSED");
  return 0;
}

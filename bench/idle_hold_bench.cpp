// Memory of a running agent: its resident size when idle, the growth while
// this program holds many verified idle connections, and how long a new
// connection takes to be verified meanwhile. Baseline: the resident size of a
// trivial process (sleep) started by this program in the same run. The
// connections are opened within a bounded time (the agent closes idle ones
// after 60 s), measured, then closed.
// Usage: idle_hold_bench --port P --pid AGENT_PID [--connections N] [--probes K]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "runtime/mem_pool.h"
#include "bench_stats.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kOpenBudgetSec = 45;  // all opened and measured well before 60 s

double secSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// VmRSS in bytes, or -1.
long rssBytes(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6) * 1024;
  return -1;
}

long trivialRss() {
  pid_t p = fork();
  if (p == 0) {
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (p < 0) return -1;
  usleep(200000);
  long r = rssBytes(p);
  kill(p, SIGKILL);
  waitpid(p, nullptr, 0);
  return r;
}

bool openVerified(const char* port, const uint8_t* vkey, StoragePeer* peer) {
  *peer = StoragePeer();
  if (sp_Connect(peer, "127.0.0.1", port, 5000) != SP_OK) return false;
  if (sp_Handshake(peer, vkey) != SP_OK) {
    sp_Close(peer);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* port = nullptr;
  pid_t agent = 0;
  long wanted = 1000, probes = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--port")) port = argv[i + 1];
    else if (!strcmp(argv[i], "--pid")) agent = static_cast<pid_t>(atol(argv[i + 1]));
    else if (!strcmp(argv[i], "--connections")) wanted = atol(argv[i + 1]);
    else if (!strcmp(argv[i], "--probes")) probes = atol(argv[i + 1]);
  }
  if (!port || agent <= 0 || wanted < 1 || wanted > 20000 || probes < 1 || probes > 100) {
    fprintf(stderr, "usage: idle_hold_bench --port P --pid AGENT_PID [--connections N] "
                    "[--probes K]\n");
    return 1;
  }
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  rlim_t need = static_cast<rlim_t>(wanted + 64);
  if (lim.rlim_cur < need) {
    lim.rlim_cur = std::min(need, lim.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  initAVPool(getAVPool());
  uint8_t vkey[32];
  if (sp_DeriveVerificationKey(AV_DEFAULT_PRESHARED_KEY, vkey) != 1) return 1;

  long baseline = trivialRss();
  long idle = rssBytes(agent);
  if (idle < 0 || baseline < 0) {
    fprintf(stderr, "cannot read VmRSS of the agent (%d) or of sleep\n", static_cast<int>(agent));
    return 1;
  }

  std::vector<StoragePeer> held(static_cast<size_t>(wanted));
  long opened = 0, refused = 0;
  auto t0 = Clock::now();
  while (opened < wanted && secSince(t0) < kOpenBudgetSec) {
    if (openVerified(port, vkey, &held[static_cast<size_t>(opened)])) ++opened;
    else if (++refused > 50) break;
  }
  double openSec = secSince(t0);
  usleep(300000);  // let the agent settle after the last handshake
  long loaded = rssBytes(agent);

  std::vector<double> verifyMs;
  for (long i = 0; i < probes && secSince(t0) < 55; ++i) {
    StoragePeer probe;
    auto p0 = Clock::now();
    bool ok = openVerified(port, vkey, &probe);
    double ms = secSince(p0) * 1000;
    if (ok) {
      verifyMs.push_back(ms);
      sp_Close(&probe);
    }
    usleep(50000);
  }
  for (long i = 0; i < opened; ++i) sp_Close(&held[static_cast<size_t>(i)]);

  double idleMiB = idle / kMiB, addMiB = (loaded - idle) / kMiB, baseMiB = baseline / kMiB;
  double verify = median(verifyMs);
  printf("trivial process (sleep) RSS: %.2f MiB (baseline)\n", baseMiB);
  printf("idle agent RSS: %.2f MiB = %.1f x sleep; target 32 MiB, ratio %.2f %s\n", idleMiB,
         idleMiB / baseMiB, idleMiB / 32, idleMiB <= 32 ? "MET" : "MISSED");
  printf("held %ld verified idle connections (opened in %.1f s, %ld refused)\n", opened, openSec,
         refused);
  printf("RSS with them: %.2f MiB, added %.2f MiB (%.1f KiB each) = %.1f x sleep; "
         "target 64 MiB per 1000, ratio %.2f %s\n",
         loaded / kMiB, addMiB, opened ? addMiB * 1024 / static_cast<double>(opened) : 0.0,
         addMiB / baseMiB, addMiB / (64.0 * static_cast<double>(opened) / 1000.0),
         opened == wanted && addMiB <= 64.0 * static_cast<double>(opened) / 1000.0 ? "MET"
                                                                                  : "MISSED");
  printf("new connection verified while held: median %.1f ms over %zu probes; target 100 ms, "
         "ratio %.2f %s\n",
         verify, verifyMs.size(), verify / 100, !verifyMs.empty() && verify <= 100 ? "MET"
                                                                                   : "MISSED");
  const double addedRatio = opened ? addMiB / (64.0 * static_cast<double>(opened) / 1000.0) : 0.0;
  const bool met = idleMiB <= 32 && opened == wanted && addedRatio <= 1.0 && !verifyMs.empty() &&
                   verify <= 100;
  printf("RESULT memory idle_ratio=%.2f added_ratio=%.2f verify_ratio=%.2f %s\n", idleMiB / 32,
         addedRatio, verify / 100, met ? "MET" : "MISSED");
  return opened == wanted && !verifyMs.empty() ? 0 : 2;
}

// Round trip of one request on a verified, encrypted connection to a running
// agent, against a baseline: a bare loopback TCP echo, served by a child
// process, that takes the request's bytes and answers with as many bytes as
// the agent's answer, plus, with --open, a bare open and close of the file the
// request names. Rounds alternate a block of agent requests and
// a block of baseline operations, so both see the same machine load; each
// round gives the ratio of its two medians, and the result is the median of
// those ratios, with their spread.
// With --agent-pid on a machine of two or more CPUs, the rounds alternate two
// fixed placements, so the scheduler's choice does not decide the figures (a
// wake-up on the other CPU costs tens of microseconds on a virtual machine):
// "same", where the agent, the echo and this program share CPU 0, and
// "cross", where the agent and the echo run on CPU 1 and this program on
// CPU 0. Each placement's ratio is the median of its rounds; the result is the
// larger of the two. The agent's threads may use every CPU again afterwards.
// Usage: round_trip_bench --port P [--host H] [--count N] [--type T] [--json TEXT]
//        [--status S] [--open FILE] [--name NAME] [--agent-pid PID]
//   defaults: type 2015 with an empty body, answered 203 (RESULT round_trip).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "runtime/mem_pool.h"
#include "bench_net.h"
#include "bench_stats.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBlock = 500;

double usSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// Echo server: one connection; takes request-sized messages and answers each
// with answer-sized bytes in one write. It runs in a process of its own, as
// the agent does: a wake-up that crosses to the other CPU costs tens of
// microseconds on a virtual machine, and the scheduler places a thread of
// this process differently from another process's.
void echoServe(int listener, std::vector<uint8_t>* in, std::vector<uint8_t>* out) {
  int c = accept(listener, nullptr, nullptr);
  if (c < 0) return;
  setNoDelay(c);
  while (readAll(c, in->data(), in->size()) && writeAll(c, out->data(), out->size())) {
  }
  close(c);
}

// A bare open and close, as cheap as the platform makes them.
bool openClose(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Every thread of process pid (0: the calling thread only) onto the CPUs in
// set; false when one could not be moved.
bool pin(pid_t pid, const cpu_set_t& set) {
  if (pid == 0) return sched_setaffinity(0, sizeof set, &set) == 0;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool ok = true;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ok = sched_setaffinity(atoi(e->d_name), sizeof set, &set) == 0 && ok;
  closedir(d);
  return ok;
}

cpu_set_t cpus(int first, int last) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int c = first; c <= last; ++c) CPU_SET(c, &set);
  return set;
}

std::string fixed(double v, int decimals) {
  char b[32];
  snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1", port, json, openPath, name = "round_trip";
  long count = 20000;
  uint32_t type = 2015, status = RET_NOT_SUPPORTED;
  pid_t agentPid = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--port")) port = argv[i + 1];
    else if (!strcmp(argv[i], "--host")) host = argv[i + 1];
    else if (!strcmp(argv[i], "--count")) count = atol(argv[i + 1]);
    else if (!strcmp(argv[i], "--type")) type = static_cast<uint32_t>(atol(argv[i + 1]));
    else if (!strcmp(argv[i], "--json")) json = argv[i + 1];
    else if (!strcmp(argv[i], "--status")) status = static_cast<uint32_t>(atol(argv[i + 1]));
    else if (!strcmp(argv[i], "--open")) openPath = argv[i + 1];
    else if (!strcmp(argv[i], "--name")) name = argv[i + 1];
    else if (!strcmp(argv[i], "--agent-pid")) agentPid = static_cast<pid_t>(atol(argv[i + 1]));
  }
  if (port.empty() || count <= 0 || count > 10000000) {
    fprintf(stderr,
            "usage: round_trip_bench --port P [--host H] [--count N] [--type T] [--json TEXT] "
            "[--status S] [--open FILE] [--name NAME] [--agent-pid PID]\n");
    return 1;
  }
  initAVPool(getAVPool());
  const void* body = json.empty() ? nullptr : json.c_str();
  const uint32_t bodyLen = json.empty() ? 0 : static_cast<uint32_t>(json.size() + 1);

  uint8_t vkey[32];
  StoragePeer peer;
  if (sp_DeriveVerificationKey(AV_DEFAULT_PRESHARED_KEY, vkey) != 1 ||
      sp_Connect(&peer, host.c_str(), port.c_str(), 5000) != SP_OK ||
      sp_Handshake(&peer, vkey) != SP_OK || peer.link.status != LINK_NORMAL) {
    fprintf(stderr, "could not open a verified encrypted connection to %s:%s\n", host.c_str(),
            port.c_str());
    return 1;
  }
  // Warm-up, not counted; it also gives the frame sizes the echo copies.
  uint32_t answerBytes = 0, requestBytes = 0;
  for (int i = 0; i < 200; ++i) {
    if (sp_Request(&peer, type, body, bodyLen) != SP_OK) return 1;
    requestBytes = peer.link.SendLength;
    // An encrypted body travels in whole blocks with its tail.
    answerBytes = AV_HEADER_SIZE + ((peer.link.RecvHead.Length + AV_TAIL_SIZE + 15u) & ~15u);
  }
  if (peer.link.RecvHead.ReturnStatus != status) {
    fprintf(stderr, "the agent answers status %u, not %u\n", peer.link.RecvHead.ReturnStatus,
            status);
    return 1;
  }
  if (!openPath.empty() && !openClose(openPath.c_str())) {
    perror(openPath.c_str());
    return 1;
  }

  // Baseline echo: listener on an ephemeral loopback port.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof addr;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) {
    perror("echo listener");
    return 1;
  }
  std::vector<uint8_t> echoIn(requestBytes), echoOut(answerBytes, 0x5a);
  fflush(nullptr);
  const pid_t echoPid = fork();
  if (echoPid < 0) {
    perror("fork");
    return 1;
  }
  if (echoPid == 0) {
    echoServe(listener, &echoIn, &echoOut);
    _exit(0);
  }
  int echo = socket(AF_INET, SOCK_STREAM, 0);
  if (echo < 0 || connect(echo, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    perror("echo connect");
    return 1;
  }
  setNoDelay(echo);
  std::vector<uint8_t> req(requestBytes, 0xa5), ans(answerBytes);
  auto baseline = [&] {
    if (!writeAll(echo, req.data(), req.size()) || !readAll(echo, ans.data(), ans.size()))
      return false;
    return openPath.empty() || openClose(openPath.c_str());
  };
  for (int i = 0; i < 200; ++i)
    if (!baseline()) return 1;

  const int ncpu = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  const bool placed = agentPid > 0 && ncpu >= 2;
  const char* kPlacement[2] = {"same", "cross"};
  std::vector<double> agentUs, baseUs, roundRatios, placementRatios[2], placementAgent[2],
      placementBase[2];
  agentUs.reserve(static_cast<size_t>(count));
  baseUs.reserve(static_cast<size_t>(count));
  long wrongStatus = 0;
  for (long done = 0, round = 0; done < count; ++round) {
    long n = std::min<long>(kBlock, count - done);
    const int placement = static_cast<int>(round % 2);
    if (placed) {
      const cpu_set_t server = cpus(placement, placement), client = cpus(0, 0);
      if (!pin(agentPid, server) || !pin(echoPid, server) || !pin(0, client)) {
        fprintf(stderr, "could not place the agent, the echo or this program on a CPU\n");
        return 1;
      }
    }
    std::vector<double> a, b;
    for (long i = 0; i < n; ++i) {
      auto t0 = Clock::now();
      if (sp_Request(&peer, type, body, bodyLen) != SP_OK) {
        fprintf(stderr, "agent connection lost after %ld requests\n", done + i);
        return 1;
      }
      a.push_back(usSince(t0));
      if (peer.link.RecvHead.ReturnStatus != status) ++wrongStatus;
    }
    for (long i = 0; i < n; ++i) {
      auto t0 = Clock::now();
      if (!baseline()) {
        fprintf(stderr, "baseline failed\n");
        return 1;
      }
      b.push_back(usSince(t0));
    }
    const double mb = median(b);
    roundRatios.push_back(mb > 0 ? median(a) / mb : 0);
    placementRatios[placement].push_back(roundRatios.back());
    placementAgent[placement].push_back(median(a));
    placementBase[placement].push_back(mb);
    agentUs.insert(agentUs.end(), a.begin(), a.end());
    baseUs.insert(baseUs.end(), b.begin(), b.end());
    done += n;
  }
  sp_Close(&peer);
  shutdown(echo, SHUT_RDWR);
  close(echo);
  waitpid(echoPid, nullptr, 0);
  if (placed) pin(agentPid, cpus(0, ncpu - 1));
  close(listener);

  const std::string what = openPath.empty() ? "bare TCP echo" : "bare echo + open/close";
  printf("round trip, %ld requests of type %u and %ld baseline operations in %zu rounds: "
         "request %u bytes, answer %u bytes (echo the same)\n",
         count, type, count, roundRatios.size(), requestBytes, answerBytes);
  printf("agent %u->%u: median %.1f us, p90 %.1f us, p99 %.1f us%s\n", type, status,
         median(agentUs), percentile(agentUs, 0.9), percentile(agentUs, 0.99),
         wrongStatus ? " (SOME ANSWERS HAD ANOTHER STATUS)" : "");
  printf("%s: median %.1f us, p90 %.1f us, p99 %.1f us\n", what.c_str(), median(baseUs),
         percentile(baseUs, 0.9), percentile(baseUs, 0.99));
  auto spreadOf = [](const std::vector<double>& v) {
    return fixed(percentile(v, 0), 2) + ".." + fixed(percentile(v, 1), 2);
  };
  double ratio = median(roundRatios);
  std::string how = "median of " + std::to_string(roundRatios.size()) +
                    " per-round ratios of medians, spread " + spreadOf(roundRatios);
  if (placed) {
    ratio = 0;
    how = "larger of the placements' medians of per-round ratios:";
    for (int p = 0; p < 2; ++p) {
      printf("placement %s: agent %.1f us, %s %.1f us (medians of round medians)\n",
             kPlacement[p], median(placementAgent[p]), what.c_str(), median(placementBase[p]));
      const double m = median(placementRatios[p]);
      ratio = std::max(ratio, m);
      how += std::string(" ") + kPlacement[p] + " " + fixed(m, 2) + " (" +
             std::to_string(placementRatios[p].size()) + " rounds, spread " +
             spreadOf(placementRatios[p]) + ")";
    }
  }
  printf("RESULT %s ratio=%.2f (%s; agent over %s; target <= 2) %s\n", name.c_str(), ratio,
         how.c_str(), what.c_str(), ratio <= 2.0 && wrongStatus == 0 ? "MET" : "MISSED");
  return 0;
}

// Round trip of one request on a verified, encrypted connection to a running
// agent, against a baseline served in this process: a bare loopback TCP echo
// that takes the request's bytes and answers with as many bytes as the
// agent's answer (its own thread), plus, with --open, a bare open and close of
// the file the request names. Rounds alternate a block of agent requests and
// a block of baseline operations, so both see the same machine load; each
// round gives the ratio of its two medians, and the result is the median of
// those ratios, with their spread.
// Usage: round_trip_bench --port P [--host H] [--count N] [--type T] [--json TEXT]
//        [--status S] [--open FILE] [--name NAME]
//   defaults: type 2015 with an empty body, answered 203 (RESULT round_trip).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "runtime/mem_pool.h"
#include "bench_stats.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBlock = 500;

double usSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

bool readAll(int fd, void* buf, size_t len) {
  auto* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    ssize_t n = recv(fd, p, len, 0);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const void* buf, size_t len) {
  auto* p = static_cast<const uint8_t*>(buf);
  while (len > 0) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void setNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Echo server: one connection; takes request-sized messages and answers each
// with answer-sized bytes in one write.
void echoServe(int listener, size_t requestLen, size_t answerLen) {
  int c = accept(listener, nullptr, nullptr);
  if (c < 0) return;
  setNoDelay(c);
  std::vector<uint8_t> in(requestLen), out(answerLen, 0x5a);
  while (readAll(c, in.data(), in.size()) && writeAll(c, out.data(), out.size())) {
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
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--port")) port = argv[i + 1];
    else if (!strcmp(argv[i], "--host")) host = argv[i + 1];
    else if (!strcmp(argv[i], "--count")) count = atol(argv[i + 1]);
    else if (!strcmp(argv[i], "--type")) type = static_cast<uint32_t>(atol(argv[i + 1]));
    else if (!strcmp(argv[i], "--json")) json = argv[i + 1];
    else if (!strcmp(argv[i], "--status")) status = static_cast<uint32_t>(atol(argv[i + 1]));
    else if (!strcmp(argv[i], "--open")) openPath = argv[i + 1];
    else if (!strcmp(argv[i], "--name")) name = argv[i + 1];
  }
  if (port.empty() || count <= 0 || count > 10000000) {
    fprintf(stderr,
            "usage: round_trip_bench --port P [--host H] [--count N] [--type T] [--json TEXT] "
            "[--status S] [--open FILE] [--name NAME]\n");
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
  std::thread server(echoServe, listener, size_t{requestBytes}, size_t{answerBytes});
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

  std::vector<double> agentUs, baseUs, roundRatios;
  agentUs.reserve(static_cast<size_t>(count));
  baseUs.reserve(static_cast<size_t>(count));
  long wrongStatus = 0;
  for (long done = 0; done < count;) {
    long n = std::min<long>(kBlock, count - done);
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
    agentUs.insert(agentUs.end(), a.begin(), a.end());
    baseUs.insert(baseUs.end(), b.begin(), b.end());
    done += n;
  }
  sp_Close(&peer);
  shutdown(echo, SHUT_RDWR);
  close(echo);
  server.join();
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
  const double ratio = median(roundRatios);
  const std::string spread = fixed(percentile(roundRatios, 0), 2) + ".." +
                             fixed(percentile(roundRatios, 1), 2);
  printf("RESULT %s ratio=%.2f (median of %zu per-round ratios of medians, spread %s; "
         "agent over %s; target <= 2) %s\n",
         name.c_str(), ratio, roundRatios.size(), spread.c_str(), what.c_str(),
         ratio <= 2.0 && wrongStatus == 0 ? "MET" : "MISSED");
  return 0;
}

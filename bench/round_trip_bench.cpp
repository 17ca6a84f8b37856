// Round trip of one unsupported request (answered 203) on a verified, encrypted
// connection to a running agent, against a bare loopback TCP echo of the same
// frame sizes (48-byte request, 48-byte answer: header and tail, empty body)
// served by this program's own thread. The two are measured in alternating
// blocks so both see the same machine load; medians are compared.
// Usage: round_trip_bench --port P [--host H] [--count N]
#include <arpa/inet.h>
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
constexpr uint32_t kUnsupportedType = 2015;
constexpr size_t kFrame = AV_HEADER_SIZE + AV_TAIL_SIZE;  // empty body
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

// Echo server: one connection, frames of kFrame bytes back as they came.
void echoServe(int listener) {
  int c = accept(listener, nullptr, nullptr);
  if (c < 0) return;
  setNoDelay(c);
  uint8_t buf[kFrame];
  while (readAll(c, buf, sizeof buf) && writeAll(c, buf, sizeof buf)) {
  }
  close(c);
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1", port;
  long count = 20000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--port")) port = argv[i + 1];
    else if (!strcmp(argv[i], "--host")) host = argv[i + 1];
    else if (!strcmp(argv[i], "--count")) count = atol(argv[i + 1]);
  }
  if (port.empty() || count <= 0 || count > 10000000) {
    fprintf(stderr, "usage: round_trip_bench --port P [--host H] [--count N]\n");
    return 1;
  }
  initAVPool(getAVPool());

  // Echo baseline: listener on an ephemeral loopback port.
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
  std::thread server(echoServe, listener);
  int echo = socket(AF_INET, SOCK_STREAM, 0);
  if (echo < 0 || connect(echo, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    perror("echo connect");
    return 1;
  }
  setNoDelay(echo);

  uint8_t vkey[32];
  StoragePeer peer;
  if (sp_DeriveVerificationKey(AV_DEFAULT_PRESHARED_KEY, vkey) != 1 ||
      sp_Connect(&peer, host.c_str(), port.c_str(), 5000) != SP_OK ||
      sp_Handshake(&peer, vkey) != SP_OK || peer.link.status != LINK_NORMAL) {
    fprintf(stderr, "could not open a verified encrypted connection to %s:%s\n", host.c_str(),
            port.c_str());
    return 1;
  }

  uint8_t frame[kFrame] = {};
  std::vector<double> agentUs, echoUs;
  agentUs.reserve(static_cast<size_t>(count));
  echoUs.reserve(static_cast<size_t>(count));
  long wrongStatus = 0;
  uint32_t answerBytes = 0, requestBytes = 0;
  // Warm-up, not counted.
  for (int i = 0; i < 200; ++i) {
    if (sp_Request(&peer, kUnsupportedType, nullptr, 0) != SP_OK) return 1;
    if (!writeAll(echo, frame, kFrame) || !readAll(echo, frame, kFrame)) return 1;
  }
  for (long done = 0; done < count;) {
    long n = std::min<long>(kBlock, count - done);
    for (long i = 0; i < n; ++i) {
      auto t0 = Clock::now();
      if (sp_Request(&peer, kUnsupportedType, nullptr, 0) != SP_OK) {
        fprintf(stderr, "agent connection lost after %ld requests\n", done + i);
        return 1;
      }
      agentUs.push_back(usSince(t0));
      if (peer.link.RecvHead.ReturnStatus != RET_NOT_SUPPORTED) ++wrongStatus;
      requestBytes = peer.link.SendLength;
      answerBytes = AV_HEADER_SIZE + peer.link.RecvHead.Length + AV_TAIL_SIZE;
    }
    for (long i = 0; i < n; ++i) {
      auto t0 = Clock::now();
      if (!writeAll(echo, frame, kFrame) || !readAll(echo, frame, kFrame)) {
        fprintf(stderr, "echo failed\n");
        return 1;
      }
      echoUs.push_back(usSince(t0));
    }
    done += n;
  }
  sp_Close(&peer);
  shutdown(echo, SHUT_RDWR);
  close(echo);
  server.join();
  close(listener);

  double a = median(agentUs), e = median(echoUs);
  printf("round trip, %ld requests each: request %u bytes, answer %u bytes (echo %zu/%zu)\n",
         count, requestBytes, answerBytes, kFrame, kFrame);
  printf("agent 2015->203: median %.1f us, p90 %.1f us, p99 %.1f us%s\n", a,
         percentile(agentUs, 0.9), percentile(agentUs, 0.99),
         wrongStatus ? " (SOME ANSWERS WERE NOT 203)" : "");
  printf("bare TCP echo:   median %.1f us, p90 %.1f us, p99 %.1f us\n", e,
         percentile(echoUs, 0.9), percentile(echoUs, 0.99));
  double ratio = e > 0 ? a / e : 0;
  printf("RESULT round_trip ratio=%.2f (agent/echo median; target <= 2) %s\n", ratio,
         ratio <= 2.0 && wrongStatus == 0 ? "MET" : "MISSED");
  return 0;
}

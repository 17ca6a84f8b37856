#include "platform/net.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/sock_addr.h"

static_assert(sizeof(NetEndpoint::addr) >= sizeof(sockaddr_in6));

using namespace sockaddr_shared;

namespace {

int setTimeout(int fd, int option, int seconds) {
  timeval tv{seconds < 0 ? 0 : seconds, 0};
  return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : errno;
}

}  // namespace

int net_Resolve(const char* host, const char* port, NetFamily family,
                std::vector<NetEndpoint>* out) {
  out->clear();
  const addrinfo hints = resolveHints(host, family);
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, port, &hints, &list);
  if (rc != 0) return rc == EAI_SYSTEM ? errno : rc;
  takeEndpoints(list, out);
  return 0;
}

const char* net_ResolveErrorText(int code) {
  return code > 0 ? std::strerror(code) : gai_strerror(code);
}

int net_BindListen(int fd, const NetEndpoint* ep, int backlog, NetStep* failedAt) {
  // Reuse lets a restarted agent bind while old connections sit in TIME_WAIT;
  // Linux still refuses a second live listener on the port.
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (ep->family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  *failedAt = NET_AT_BIND;
  if (bind(fd, sockAddrOf(ep), ep->addrLen) != 0) return errno;
  *failedAt = NET_AT_LISTEN;
  return listen(fd, backlog) == 0 ? 0 : errno;
}

int net_LocalPort(int fd, int* port) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return errno;
  return portOf(sa, port);
}

int net_Accept(int listenFd, NetAccepted* out) {
  sockaddr_storage from{};
  socklen_t len = sizeof from;
  const int s = accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
  if (s < 0) return errno;
  out->fd = s;
  out->peer = PeerAddr{};
  out->peerErr = peerFromSockaddr(from, len, &out->peer);
  return 0;
}

int net_Socket(const NetEndpoint* ep, int* fd) {
  const int s = socket(ep->family, ep->socktype | SOCK_CLOEXEC, ep->protocol);
  if (s < 0) return errno;
  *fd = s;
  return 0;
}

int net_ConnectWithin(int fd, const NetEndpoint* ep, int timeoutMs, NetStep* failedAt) {
  // A blocking connect would wait as long as the kernel retries SYNs.
  *failedAt = NET_AT_MODE;
  if (int rc = net_SetBlocking(fd, false); rc != 0) return rc;
  int err = 0;
  *failedAt = NET_AT_CONNECT;
  if (connect(fd, sockAddrOf(ep), ep->addrLen) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      *failedAt = NET_AT_WAIT;
      err = net_Wait(fd, NET_WRITABLE, timeoutMs, nullptr);
      if (err == 0) {
        *failedAt = NET_AT_CONNECT;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
  }
  if (err != 0) return err;
  *failedAt = NET_AT_MODE;
  if (int rc = net_SetBlocking(fd, true); rc != 0) return rc;
  *failedAt = NET_AT_NONE;
  return 0;
}

int net_Wait(int fd, unsigned want, int timeoutMs, unsigned* ready) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  pollfd p{};
  p.fd = fd;
  p.events = static_cast<short>(((want & NET_READABLE) ? POLLIN : 0) |
                                ((want & NET_WRITABLE) ? POLLOUT : 0));
  int rc;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    rc = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (rc < 0 && errno == EINTR) continue;
    break;
  }
  if (ready) *ready = 0;
  if (rc < 0) return errno;
  if (rc == 0) return ETIMEDOUT;
  if (p.revents & POLLNVAL) return EBADF;
  if (ready) {
    if (p.revents & (POLLIN | POLLERR | POLLHUP)) *ready |= NET_READABLE;
    if (p.revents & POLLOUT) *ready |= NET_WRITABLE;
  }
  return 0;
}

int net_Send(int fd, const void* buf, size_t len, unsigned how, size_t* done) {
  const int flags = MSG_NOSIGNAL | ((how & NET_DONTWAIT) ? MSG_DONTWAIT : 0);
  const ssize_t n = send(fd, buf, len, flags);
  *done = n > 0 ? static_cast<size_t>(n) : 0;
  return n < 0 ? errno : 0;
}

int net_Recv(int fd, void* buf, size_t len, unsigned how, size_t* done) {
  const int flags = ((how & NET_DONTWAIT) ? MSG_DONTWAIT : 0) | ((how & NET_PEEK) ? MSG_PEEK : 0);
  const ssize_t n = recv(fd, buf, len, flags);
  *done = n > 0 ? static_cast<size_t>(n) : 0;
  return n < 0 ? errno : 0;
}

int net_SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  const int want = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (want != flags && fcntl(fd, F_SETFL, want) != 0) return errno;
  return 0;
}

int net_SetSendTimeout(int fd, int seconds) { return setTimeout(fd, SO_SNDTIMEO, seconds); }
int net_SetRecvTimeout(int fd, int seconds) { return setTimeout(fd, SO_RCVTIMEO, seconds); }

int net_SetNoDelay(int fd, bool on) {
  const int v = on ? 1 : 0;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) == 0 ? 0 : errno;
}

int net_Shutdown(int fd) { return shutdown(fd, SHUT_RDWR) == 0 ? 0 : errno; }

int net_Close(int fd) {
  if (fd < 0) return 0;
  return close(fd) == 0 ? 0 : errno;
}

void net_IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

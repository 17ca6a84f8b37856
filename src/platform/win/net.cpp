// Winsock 2.2. Decisions: a SOCKET is a kernel handle, and Windows keeps the
// upper 32 bits of every handle zero so that 32- and 64-bit processes can share
// them; the int the callers hold is therefore the whole handle (one that would
// not fit is closed and refused with EMFILE). Waits use select, which on
// Windows takes any socket (its sets are arrays, not bit masks). A refused
// non-blocking connect shows in the exception set, not as writable. Winsock has
// no MSG_DONTWAIT: a call that must not wait first asks select whether it
// would. Listeners take SO_EXCLUSIVEADDRUSE, never SO_REUSEADDR, which on
// Windows would let a second agent take over a port in use; Windows binds a
// listening port with connections in TIME_WAIT without it.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/win/wide.h"

#include "platform/sock_addr.h"

static_assert(sizeof(NetEndpoint::addr) >= sizeof(sockaddr_in6));

using namespace sockaddr_shared;

namespace {

int lastErr() { return avwin::errnoOf(static_cast<DWORD>(WSAGetLastError())); }

// Winsock is started once, on the first call that needs it, and left running.
int startWinsock() {
  static int err = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : ENETDOWN;
  }();
  return err;
}

SOCKET sockOf(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

int fdOf(SOCKET s, int* fd) {
  if (s > static_cast<SOCKET>(INT_MAX)) {
    closesocket(s);
    return EMFILE;
  }
  *fd = static_cast<int>(s);
  return 0;
}

int setTimeout(int fd, int option, int seconds) {
  const DWORD ms = seconds < 0 ? 0 : static_cast<DWORD>(seconds) * 1000u;
  return setsockopt(sockOf(fd), SOL_SOCKET, option, reinterpret_cast<const char*>(&ms), sizeof ms) == 0
             ? 0
             : lastErr();
}

}  // namespace

int net_Resolve(const char* host, const char* port, NetFamily family,
                std::vector<NetEndpoint>* out) {
  out->clear();
  if (int e = startWinsock()) return e;
  const addrinfo hints = resolveHints(host, family);
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host, port, &hints, &list);
  if (rc != 0) return rc;
  takeEndpoints(list, out);
  return 0;
}

const char* net_ResolveErrorText(int code) {
  // The resolver answers in Winsock codes, which gai_strerrorA words; smaller
  // ones are the C library's.
  return code >= WSABASEERR ? gai_strerrorA(code) : std::strerror(code);
}

int net_BindListen(int fd, const NetEndpoint* ep, int backlog, NetStep* failedAt) {
  const DWORD one = 1;
  setsockopt(sockOf(fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  if (ep->family == AF_INET6)
    setsockopt(sockOf(fd), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&one), sizeof one);
  *failedAt = NET_AT_BIND;
  if (bind(sockOf(fd), sockAddrOf(ep), static_cast<int>(ep->addrLen)) != 0) return lastErr();
  *failedAt = NET_AT_LISTEN;
  return listen(sockOf(fd), backlog) == 0 ? 0 : lastErr();
}

int net_LocalPort(int fd, int* port) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  if (getsockname(sockOf(fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return lastErr();
  return portOf(sa, port);
}

int net_Accept(int listenFd, NetAccepted* out) {
  sockaddr_storage from{};
  int len = sizeof from;
  const SOCKET s = accept(sockOf(listenFd), reinterpret_cast<sockaddr*>(&from), &len);
  if (s == INVALID_SOCKET) return lastErr();
  if (int e = fdOf(s, &out->fd)) return e;
  out->peer = PeerAddr{};
  out->peerErr = peerFromSockaddr(from, len, &out->peer);
  return 0;
}

int net_Socket(const NetEndpoint* ep, int* fd) {
  if (int e = startWinsock()) return e;
  // Not inheritable: a program the agent starts never holds its connections.
  const SOCKET s = WSASocketW(ep->family, ep->socktype, ep->protocol, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return lastErr();
  return fdOf(s, fd);
}

int net_ConnectWithin(int fd, const NetEndpoint* ep, int timeoutMs, NetStep* failedAt) {
  *failedAt = NET_AT_MODE;
  if (int rc = net_SetBlocking(fd, false); rc != 0) return rc;
  int err = 0;
  *failedAt = NET_AT_CONNECT;
  if (connect(sockOf(fd), sockAddrOf(ep), static_cast<int>(ep->addrLen)) != 0) {
    err = lastErr();
    if (err == EWOULDBLOCK || err == EINPROGRESS) {
      *failedAt = NET_AT_WAIT;
      err = net_Wait(fd, NET_WRITABLE, timeoutMs, nullptr);
      if (err == 0) {
        *failedAt = NET_AT_CONNECT;
        int soErr = 0;
        int len = sizeof soErr;
        if (getsockopt(sockOf(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len) != 0)
          err = lastErr();
        else
          err = avwin::errnoOf(static_cast<DWORD>(soErr));
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
  if (ready) *ready = 0;
  if (fd < 0) return EBADF;
  const SOCKET s = sockOf(fd);
  fd_set rd, wr, ex;
  int rc;
  for (;;) {
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    if (want & NET_READABLE) FD_SET(s, &rd);
    if (want & NET_WRITABLE) FD_SET(s, &wr);
    FD_SET(s, &ex);  // a failed connect, out-of-band data
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const long ms = left > 0 ? static_cast<long>(left) : 0;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    rc = select(0, &rd, &wr, &ex, &tv);
    if (rc == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
    break;
  }
  if (rc == SOCKET_ERROR) return lastErr();
  if (rc == 0) return ETIMEDOUT;
  if (ready) {
    if (FD_ISSET(s, &rd) || FD_ISSET(s, &ex)) *ready |= NET_READABLE;
    if (FD_ISSET(s, &wr)) *ready |= NET_WRITABLE;
  }
  // A failed connect is "ready" too: its caller reads SO_ERROR.
  return 0;
}

namespace {

int wouldWait(int fd, unsigned way) {
  unsigned ready = 0;
  const int err = net_Wait(fd, way, 0, &ready);
  if (err == ETIMEDOUT) return EWOULDBLOCK;
  return err;
}

}  // namespace

int net_Send(int fd, const void* buf, size_t len, unsigned how, size_t* done) {
  *done = 0;
  if ((how & NET_DONTWAIT) != 0)
    if (int e = wouldWait(fd, NET_WRITABLE)) return e;
  const int n = send(sockOf(fd), static_cast<const char*>(buf),
                     len > INT_MAX ? INT_MAX : static_cast<int>(len), 0);
  if (n == SOCKET_ERROR) return lastErr();
  *done = static_cast<size_t>(n);
  return 0;
}

int net_Recv(int fd, void* buf, size_t len, unsigned how, size_t* done) {
  *done = 0;
  if ((how & NET_DONTWAIT) != 0)
    if (int e = wouldWait(fd, NET_READABLE)) return e;
  const int n = recv(sockOf(fd), static_cast<char*>(buf), len > INT_MAX ? INT_MAX : static_cast<int>(len),
                     (how & NET_PEEK) ? MSG_PEEK : 0);
  if (n == SOCKET_ERROR) return lastErr();
  *done = static_cast<size_t>(n);
  return 0;
}

int net_SetBlocking(int fd, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(sockOf(fd), FIONBIO, &nonBlocking) == 0 ? 0 : lastErr();
}

int net_SetSendTimeout(int fd, int seconds) { return setTimeout(fd, SO_SNDTIMEO, seconds); }
int net_SetRecvTimeout(int fd, int seconds) { return setTimeout(fd, SO_RCVTIMEO, seconds); }

int net_SetNoDelay(int fd, bool on) {
  const DWORD v = on ? 1 : 0;
  return setsockopt(sockOf(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&v), sizeof v) == 0
             ? 0
             : lastErr();
}

// On a listener this fails (not connected); closing it is what wakes a thread
// blocked in accept there.
int net_Shutdown(int fd) { return shutdown(sockOf(fd), SD_BOTH) == 0 ? 0 : lastErr(); }

int net_Close(int fd) {
  if (fd < 0) return 0;
  return closesocket(sockOf(fd)) == 0 ? 0 : lastErr();
}

// Winsock raises no signal on a closed peer.
void net_IgnoreBrokenPipe() {}

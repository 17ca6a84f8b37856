// Sockets: every socket call of the agent and its client lives here, one thin
// function per thing the channel, the port probe and the ICAP client need.
// Nothing here logs or retries on its own: a function answers 0 or the errno
// of the call that failed (and, where the callers log the step, which step),
// and the caller turns that into its log lines and codes.
// Decisions for Linux: every socket is made close-on-exec; nothing ever raises
// SIGPIPE (MSG_NOSIGNAL); waits use poll(), which, unlike select, takes
// descriptors above 1023; a signal during a wait resumes the wait for the time
// left. A refused non-blocking connect shows as writable on Linux, so the
// connect with a deadline reads SO_ERROR after the wait.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Results are errno names. A C library that keeps this one among its socket
// errors only gets it here, so every platform reports the same names.
#include <cerrno>
#ifndef EHOSTDOWN
#define EHOSTDOWN 10064
#endif

#include "platform/peer_addr.h"

// One resolved address; the bytes are the system's socket address.
struct NetEndpoint {
  int family = 0;
  int socktype = 0;
  int protocol = 0;
  uint32_t addrLen = 0;
  alignas(8) uint8_t addr[28] = {};  // holds an IPv6 socket address
};

enum NetFamily : int { NET_ANY = 0, NET_IPV4 = 4, NET_IPV6 = 6 };

// Stream addresses of host (numeric or a name) and port, in the resolver's
// order; a null host gives the passive (wildcard) addresses for a listener.
// 0, or the resolver's own nonzero code (errno for a system error).
int net_Resolve(const char* host, const char* port, NetFamily family,
                std::vector<NetEndpoint>* out);

// The resolver's words for a nonzero code of net_Resolve (errno codes
// included).
const char* net_ResolveErrorText(int code);

// Where a listen or a connect failed, for callers that log each step.
enum NetStep : int {
  NET_AT_NONE = 0,
  NET_AT_RESOLVE,
  NET_AT_SOCKET,
  NET_AT_MODE,     // switching blocking mode
  NET_AT_BIND,
  NET_AT_LISTEN,
  NET_AT_CONNECT,  // refused at once, or SO_ERROR after the wait
  NET_AT_WAIT,     // no answer within the deadline (ETIMEDOUT) or the wait failed
};

// Listener on the first passive address of the family (IPv6 only for NET_IPV6),
// or on address (numeric) when given. 0 with *fd, or errno
// (resolver code at NET_AT_RESOLVE, and EADDRNOTAVAIL for an empty list) with
// *failedAt.
int net_Listen(NetFamily family, const char* port, int backlog, int* fd, NetStep* failedAt,
               const char* address = nullptr);
// The platform's listening options (IPv6 only on an IPv6 socket, and the
// platform's rule for a port in use), then bind and listen; errno with the
// failing step in *failedAt. net_Listen's own step.
int net_BindListen(int fd, const NetEndpoint* ep, int backlog, NetStep* failedAt);

// The port a socket is bound to (a listener on port "0" gets one). 0 or errno.
int net_LocalPort(int fd, int* port);

struct NetAccepted {
  int fd = -1;
  PeerAddr peer;
  int peerErr = 0;  // EAFNOSUPPORT / EINVAL when the peer address is not IPv4/IPv6
};
// 0, or accept's errno (nothing to close then).
int net_Accept(int listenFd, NetAccepted* out);

int net_Socket(const NetEndpoint* ep, int* fd);  // 0 or errno
// Connects fd within timeoutMs (non-blocking connect, bounded wait, SO_ERROR),
// leaving it blocking. 0, or errno with *failedAt: ETIMEDOUT at NET_AT_WAIT
// when the deadline passed.
int net_ConnectWithin(int fd, const NetEndpoint* ep, int timeoutMs, NetStep* failedAt);
// Tries each address in turn; 0 with the first connected socket, or the last
// errno (EADDRNOTAVAIL for an empty list).
int net_Connect(const std::vector<NetEndpoint>& list, int timeoutMs, int* fd);

enum : unsigned { NET_READABLE = 1, NET_WRITABLE = 2 };
// Waits at most timeoutMs (<= 0: only looks) until fd is ready for one of the
// wanted ways; *ready (optional) gets the ways it is ready for (an error or a
// hang-up counts as readable). 0, ETIMEDOUT, EBADF for a closed descriptor,
// or poll's errno.
int net_Wait(int fd, unsigned want, int timeoutMs, unsigned* ready);

enum : unsigned { NET_DONTWAIT = 1, NET_PEEK = 2 };
// One send / recv call. 0 with *done (0 from recv: the peer closed), or errno.
int net_Send(int fd, const void* buf, size_t len, unsigned how, size_t* done);
int net_Recv(int fd, void* buf, size_t len, unsigned how, size_t* done);

int net_SetBlocking(int fd, bool blocking);      // 0 or errno
int net_SetSendTimeout(int fd, int seconds);     // SO_SNDTIMEO; 0 or errno
int net_SetRecvTimeout(int fd, int seconds);     // SO_RCVTIMEO; 0 or errno
int net_SetNoDelay(int fd, bool on);             // TCP_NODELAY; 0 or errno
// shutdown(SHUT_RDWR) wakes a thread blocked in accept or recv on fd.
int net_Shutdown(int fd);
int net_Close(int fd);  // 0 or errno; fd < 0 is a no-op
// For a program that also writes to pipes: a closed reader must not kill it.
void net_IgnoreBrokenPipe();

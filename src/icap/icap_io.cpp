// Socket layer of the ICAP client. Requests go out in one send() where the
// kernel takes them whole (several small writes would stall on delayed ACK).
// The line reader peeks at what has arrived and then takes exactly the line
// (never a byte of the next one), so it stays stateless between calls while
// costing two receive calls per line instead of one per byte. Readiness waits
// are only made when the call would block: a write the kernel takes at once,
// or a line whose bytes have already arrived (the lines after the status line,
// mostly), is exactly what a wait that returns at once would have let through.
#include "icap/icap_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/net.h"
#include "runtime/log.h"

namespace {

std::atomic<int> g_readyWaitMs{ICAP_READY_WAIT_MS};
std::atomic<int> g_connectWaitMs{ICAP_CONNECT_WAIT_MS};

// After an attempt that did not wait: the errors that the readiness wait
// reports as a wait-first call would (a bad descriptor included).
bool mustWait(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == EBADF || err == ENOTSOCK;
}

// Readiness for the given way within total ms: >0 ready, 0 timed out, <0
// failed with errno set. A signal does not shorten the wait.
int waitReady(int fd, unsigned way, int total) {
  const int err = net_Wait(fd, way, total, nullptr);
  if (err == ETIMEDOUT) return 0;
  errno = err;
  return err == 0 ? 1 : -1;
}

}  // namespace

void setIcapReadyWaitForTest(int milliseconds) {
  g_readyWaitMs.store(milliseconds > 0 ? milliseconds : ICAP_READY_WAIT_MS);
}

void setIcapConnectWaitForTest(int milliseconds) {
  g_connectWaitMs.store(milliseconds > 0 ? milliseconds : ICAP_CONNECT_WAIT_MS);
}

int setSocketDelayTime(int fd, int sendSec, int recvSec) {
  if (fd < 0) {
    AV_ERR("The fd is < 0.");
    return -1;
  }
  if (net_SetSendTimeout(fd, sendSec) != 0) {
    AV_ERR("Socket send msg timeout.");
    return -1;
  }
  if (net_SetRecvTimeout(fd, recvSec) != 0) {
    AV_ERR("Socket receive msg timeout.");
    return -1;
  }
  return 0;
}

int connectAvServer(AvServerAddr addr, int* sock) {
  addr.ip[ICAP_ADDR_TEXT_MAX] = '\0';
  if (sock == nullptr || addr.ip[0] == '\0' || addr.port > 65535) {
    AV_ERR("IP para is err, IP address(%s:%u).", addr.ip, addr.port);
    return -1;
  }
  char service[6] = {0};
  snprintf(service, sizeof(service), "%d", static_cast<int>(addr.port));

  std::vector<NetEndpoint> list;
  if (net_Resolve(addr.ip, service, NET_ANY, &list) != 0) {
    AV_ERR("Run getaddrinfo() failed.");
    return -1;
  }
  if (list.empty()) {
    AV_ERR("There is no valid addr.");
    return -1;
  }

  for (const NetEndpoint& ep : list) {
    int fd = -1;
    if (int err = net_Socket(&ep, &fd); err != 0) {
      AV_ERR("Create socket failed. %d", -1);
      continue;
    }
    if (setSocketDelayTime(fd, ICAP_SEND_TIMEOUT_SEC, ICAP_RECV_TIMEOUT_SEC) != 0) {
      AV_ERR("Set socket delay time failed.");
      net_Close(fd);
      continue;
    }
    NetStep step = NET_AT_NONE;
    const int err = net_ConnectWithin(fd, &ep, g_connectWaitMs.load(), &step);
    if (err == 0) {
      *sock = fd;
      AV_INFO("Connect socket OK.");
      return 0;
    }
    if (err == ETIMEDOUT) AV_ERR("Connect time out(%d ms).", g_connectWaitMs.load());
    AV_ERR("Connect socket failed. %d", -1);
    net_Close(fd);
  }
  AV_ERR("Could not connect AV server.");
  return -1;
}

void closeAvServer(int sock) { net_Close(sock); }

int icapWrite(int fd, const char* buf, int len) {
  if (len <= 0) return len;
  if (buf == nullptr) return -1;
  int done = 0;
  bool tryFirst = true;  // a fresh socket's send buffer takes a request at once
  while (done < len) {
    size_t n = 0;
    int err = EAGAIN;
    if (tryFirst) err = net_Send(fd, buf + done, static_cast<size_t>(len - done), NET_DONTWAIT, &n);
    tryFirst = false;
    if (mustWait(err)) {
      int rc = waitReady(fd, NET_WRITABLE, g_readyWaitMs.load());
      if (rc <= 0) {
        AV_ERR("Select time out, error code(%d), fd(%d), errno(%d).", rc, fd, rc < 0 ? errno : 0);
        return -1;
      }
      err = net_Send(fd, buf + done, static_cast<size_t>(len - done), 0, &n);
    }
    if (err != 0) {
      if (err == EINTR || err == EAGAIN) continue;
      return -1;
    }
    done += static_cast<int>(n);
  }
  return len;
}

int sendUncPath2Server(int fd, const char* text) {
  if (text == nullptr) {
    AV_ERR("The header is null.");
    return -1;
  }
  size_t len = strlen(text);
  if (icapWrite(fd, text, static_cast<int>(len)) < 0) {
    AV_ERR("send fail.");
    return -1;
  }
  return 0;
}

namespace {

constexpr int kPeekChunk = 512;

// err: recv's errno, or 0 when the peer closed.
void logRecvError(int fd, int err) {
  AV_ERR("recv error code(%d), fd(%d), errno(%d).", err != 0 ? -1 : 0, fd, err);
}

// Takes exactly len bytes that a peek has shown to be queued.
int takePeeked(int fd, char* scratch, int len) {
  while (len > 0) {
    size_t n = 0;
    if (int err = net_Recv(fd, scratch, static_cast<size_t>(len), 0, &n); err != 0 || n == 0) {
      logRecvError(fd, err);
      return -1;
    }
    len -= static_cast<int>(n);
  }
  return 0;
}

}  // namespace

int icapReadline(int fd, char* buf, int capacity) {
  return icapReadlineCounted(fd, buf, capacity, nullptr);
}

int icapReadlineCounted(int fd, char* buf, int capacity, int* taken) {
  if (taken != nullptr) *taken = 0;
  if (buf == nullptr || capacity < 1) {
    AV_ERR("Readline error.");
    return -1;
  }
  const int room = capacity - 1;  // bytes of text the line may hold
  int n = 0;
  bool crTaken = false;  // a CR was taken; the byte after it decides
  bool first = true;     // the line's first byte has not been looked for yet
  char chunk[kPeekChunk];
  for (;;) {
    // Peek at what has arrived (blocking, bounded by the receive time-out, only
    // when nothing has), decide how far the line goes, then take exactly that.
    // Before the line's first byte the peek does not block: when nothing has
    // arrived, the readiness wait comes first.
    size_t got = 0;
    int err = net_Recv(fd, chunk, sizeof chunk, first ? NET_PEEK | NET_DONTWAIT : NET_PEEK, &got);
    if (first && mustWait(err)) {
      int rc = waitReady(fd, NET_READABLE, g_readyWaitMs.load());
      if (rc <= 0) {
        AV_ERR("Select time out, error code(%d), fd(%d), errno(%d).", rc, fd, rc < 0 ? errno : 0);
        return -1;
      }
      err = net_Recv(fd, chunk, sizeof chunk, NET_PEEK, &got);
    }
    first = false;
    if (err != 0 || got == 0) {
      logRecvError(fd, err);
      return -1;
    }
    int take = 0;
    bool lineEnd = false;
    bool tooLong = false;
    while (take < static_cast<int>(got) && !lineEnd && !tooLong) {
      const char c = chunk[take++];
      if (crTaken) {
        crTaken = false;
        if (c == '\n') {
          lineEnd = true;
        } else if (n + 2 > room) {
          tooLong = true;
        } else {
          // A lone CR stays in the line together with the byte after it.
          buf[n++] = '\r';
          buf[n++] = c;
        }
      } else if (c == '\n') {
        lineEnd = true;
      } else if (c == '\r') {
        crTaken = true;
      } else if (n + 1 > room) {
        tooLong = true;
      } else {
        buf[n++] = c;
      }
    }
    if (takePeeked(fd, chunk, take) != 0) return -1;
    if (taken != nullptr) *taken += take;
    if (tooLong) {
      AV_ERR("Readline error.");
      return -1;
    }
    if (lineEnd) break;
  }
  buf[n] = '\0';
  return 0;
}

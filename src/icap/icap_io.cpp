// Socket layer of the ICAP client. Requests go out in one send() where the
// kernel takes them whole (several small writes would stall on delayed ACK).
// The line reader peeks at what has arrived and then takes exactly the line
// (never a byte of the next one), so it stays stateless between calls while
// costing two receive calls per line instead of one per byte.
#include "icap/icap_io.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "runtime/log.h"

namespace {

std::atomic<int> g_readyWaitMs{ICAP_READY_WAIT_MS};
std::atomic<int> g_connectWaitMs{ICAP_CONNECT_WAIT_MS};

// Waits for the given poll event for at most total ms. Returns poll's last
// answer: >0 ready, 0 timed out, <0 failed. A signal does not shorten the wait.
int waitReady(int fd, short events, int total) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(total);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, ms);
    if (rc < 0 && errno == EINTR && ms > 0) continue;
    return rc;
  }
}

class AddrList {
 public:
  explicit AddrList(addrinfo* list) : list_(list) {}
  ~AddrList() {
    if (list_) freeaddrinfo(list_);
  }
  AddrList(const AddrList&) = delete;
  AddrList& operator=(const AddrList&) = delete;

 private:
  addrinfo* list_;
};

// Connects within the deadline: a blocking connect would wait as long as the
// kernel retries SYNs, and a send time-out is no connect deadline. The socket
// is blocking again afterwards. 0, or -1 with errno set (ETIMEDOUT on time-out).
int connectWithin(int fd, const sockaddr* to, socklen_t toLen, int totalMs) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  int rc = connect(fd, to, toLen);
  if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
    int ready = waitReady(fd, POLLOUT, totalMs);
    int err = 0;
    socklen_t errLen = sizeof(err);
    if (ready == 0) {
      err = ETIMEDOUT;
    } else if (ready < 0) {
      err = errno;
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) {
      err = errno;
    }
    rc = err == 0 ? 0 : -1;
    errno = err;
  }
  const int saved = errno;
  if (fcntl(fd, F_SETFL, flags) != 0) return -1;
  errno = saved;
  return rc;
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
  timeval send_timeval{sendSec < 0 ? 0 : sendSec, 0};
  timeval recv_timeval{recvSec < 0 ? 0 : recvSec, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeval, sizeof(send_timeval)) != 0) {
    AV_ERR("Socket send msg timeout.");
    return -1;
  }
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &recv_timeval, sizeof(recv_timeval)) != 0) {
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

  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = 0;
  addrinfo* list = nullptr;
  if (getaddrinfo(addr.ip, service, &hints, &list) != 0) {
    AV_ERR("Run getaddrinfo() failed.");
    return -1;
  }
  AddrList guard(list);
  if (list == nullptr) {
    AV_ERR("There is no valid addr.");
    return -1;
  }

  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      AV_ERR("Create socket failed. %d", fd);
      continue;
    }
    if (setSocketDelayTime(fd, ICAP_SEND_TIMEOUT_SEC, ICAP_RECV_TIMEOUT_SEC) != 0) {
      AV_ERR("Set socket delay time failed.");
      close(fd);
      continue;
    }
    int rc = connectWithin(fd, ai->ai_addr, ai->ai_addrlen, g_connectWaitMs.load());
    if (rc == 0) {
      *sock = fd;
      AV_INFO("Connect socket OK.");
      return 0;
    }
    if (errno == ETIMEDOUT) AV_ERR("Connect time out(%d ms).", g_connectWaitMs.load());
    AV_ERR("Connect socket failed. %d", rc);
    close(fd);
  }
  AV_ERR("Could not connect AV server.");
  return -1;
}

int icapWrite(int fd, const char* buf, int len) {
  if (len <= 0) return len;
  if (buf == nullptr) return -1;
  int done = 0;
  while (done < len) {
    int rc = waitReady(fd, POLLOUT, g_readyWaitMs.load());
    if (rc <= 0) {
      AV_ERR("Select time out, error code(%d), fd(%d), errno(%d).", rc, fd, rc < 0 ? errno : 0);
      return -1;
    }
    ssize_t n = send(fd, buf + done, static_cast<size_t>(len - done), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
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

void logRecvError(int fd, ssize_t n) {
  int err = n < 0 ? errno : 0;
  AV_ERR("recv error code(%d), fd(%d), errno(%d).", static_cast<int>(n), fd, err);
}

// Takes exactly len bytes that a peek has shown to be queued.
int takePeeked(int fd, char* scratch, int len) {
  while (len > 0) {
    ssize_t n = recv(fd, scratch, static_cast<size_t>(len), 0);
    if (n <= 0) {
      logRecvError(fd, n);
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
  int rc = waitReady(fd, POLLIN, g_readyWaitMs.load());
  if (rc <= 0) {
    AV_ERR("Select time out, error code(%d), fd(%d), errno(%d).", rc, fd, rc < 0 ? errno : 0);
    return -1;
  }
  const int room = capacity - 1;  // bytes of text the line may hold
  int n = 0;
  bool crTaken = false;  // a CR was taken; the byte after it decides
  char chunk[kPeekChunk];
  for (;;) {
    // Peek at what has arrived (blocking, bounded by the receive time-out, only
    // when nothing has), decide how far the line goes, then take exactly that.
    ssize_t got = recv(fd, chunk, sizeof chunk, MSG_PEEK);
    if (got <= 0) {
      logRecvError(fd, got);
      return -1;
    }
    int take = 0;
    bool lineEnd = false;
    bool tooLong = false;
    while (take < got && !lineEnd && !tooLong) {
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

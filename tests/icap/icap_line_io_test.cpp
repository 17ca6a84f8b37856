// Connection and line I/O against socket pairs and loopback listeners.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "icap/icap_io.h"
#include "icap_test_support.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

struct Pair {
  int agent = -1, peer = -1;
  Pair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
      agent = sv[0];
      peer = sv[1];
    }
  }
  ~Pair() {
    if (agent >= 0) close(agent);
    closePeer();
  }
  void closePeer() {
    if (peer >= 0) close(peer);
    peer = -1;
  }
  void put(const std::string& bytes) const {
    ASSERT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
};

struct ShortWait {
  explicit ShortWait(int ms) { setIcapReadyWaitForTest(ms); }
  ~ShortWait() { setIcapReadyWaitForTest(0); }
};

std::string readLine(const Pair& p, int capacity = 511, int* rc = nullptr) {
  std::string buf(capacity + 8, 'Z');
  int r = icapReadline(p.agent, buf.data(), capacity);
  if (rc) *rc = r;
  return r == 0 ? std::string(buf.c_str()) : std::string("<fail>");
}

TEST(IcapReadline, LineEndsAndInnerCarriageReturns) {
  Pair p;
  p.put("bare LF\nwith CRLF\r\nin\rside\r\n\nCR\r\r\n\r\n");
  EXPECT_EQ(readLine(p), "bare LF");
  EXPECT_EQ(readLine(p), "with CRLF");
  EXPECT_EQ(readLine(p), "in\rside");  // CR not before LF stays, with its byte
  EXPECT_EQ(readLine(p), "");          // empty line, LF alone
  EXPECT_EQ(readLine(p), "CR\r\r");    // CR CR: both kept, the LF then ends the line
  EXPECT_EQ(readLine(p), "");          // CR LF alone
}

TEST(IcapReadline, LeavesBytesAfterTheLineEndInTheSocket) {
  Pair p;
  p.put("first\r\nsecond");
  EXPECT_EQ(readLine(p), "first");
  char rest[16] = {0};
  ASSERT_EQ(recv(p.agent, rest, sizeof(rest) - 1, MSG_DONTWAIT), 6);
  EXPECT_STREQ(rest, "second");
}

TEST(IcapReadline, CapacityEdges) {
  avtest::LogCapture log;
  {
    Pair p;
    p.put(std::string(510, 'a') + "\r\n" + std::string(510, 'b') + "\n");
    EXPECT_EQ(readLine(p), std::string(510, 'a'));
    EXPECT_EQ(readLine(p), std::string(510, 'b'));
  }
  EXPECT_FALSE(log.contains("Readline error."));
  {
    Pair p;
    p.put(std::string(511, 'a') + "\r\n");
    int rc = 0;
    readLine(p, 511, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(log.contains("Readline error.", AVLOG_ERR));
  }
  {  // 509 bytes, then a CR with a byte that is not LF: the pair does not fit
    Pair p;
    p.put(std::string(509, 'a') + "\rX\r\n");
    int rc = 0;
    readLine(p, 511, &rc);
    EXPECT_EQ(rc, -1);
  }
  {  // 510 bytes and a CR LF: the CR does not count against the room
    Pair p;
    p.put(std::string(508, 'a') + "\rX\r\n");
    EXPECT_EQ(readLine(p), std::string(508, 'a') + "\rX");
  }
}

TEST(IcapReadline, PeerClosingMidLineFails) {
  avtest::LogCapture log;
  Pair p;
  p.put("ICAP/1.0 200 O");
  p.closePeer();
  int rc = 0;
  readLine(p, 511, &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(log.contains("recv error code(0), fd(" + std::to_string(p.agent) + "), errno(0).",
                           AVLOG_ERR));
}

TEST(IcapReadline, SilentPeerEndsAfterTheReadinessWait) {
  avtest::LogCapture log;
  ShortWait wait(200);
  Pair p;
  auto t0 = std::chrono::steady_clock::now();
  int rc = 0;
  readLine(p, 511, &rc);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(rc, -1);
  EXPECT_GE(ms, 150);
  EXPECT_LT(ms, 5000);
  EXPECT_TRUE(log.contains("Select time out, error code(0), fd(" + std::to_string(p.agent) + ")",
                           AVLOG_ERR));
}

TEST(IcapReadline, StallAfterPartialLineEndsAtTheReceiveTimeout) {
  avtest::LogCapture log;
  Pair p;
  ASSERT_EQ(setSocketDelayTime(p.agent, 1, 1), 0);
  p.put("ICAP/1.0 2");
  auto t0 = std::chrono::steady_clock::now();
  int rc = 0;
  readLine(p, 511, &rc);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(rc, -1);
  EXPECT_GE(ms, 900);
  EXPECT_TRUE(log.contains("recv error code(-1)", AVLOG_ERR));
}

TEST(IcapWrite, WholeBufferArrivesAndEmptyWritesNothing) {
  Pair p;
  std::string big(1 << 20, 'q');
  for (size_t i = 0; i < big.size(); i += 97) big[i] = static_cast<char>('a' + i % 26);
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while (got.size() < big.size() && (n = read(p.peer, buf, sizeof(buf))) > 0)
      got.append(buf, static_cast<size_t>(n));
  });
  EXPECT_EQ(icapWrite(p.agent, big.data(), static_cast<int>(big.size())),
            static_cast<int>(big.size()));
  reader.join();
  EXPECT_EQ(got, big);
  EXPECT_EQ(icapWrite(p.agent, "x", 0), 0);
  EXPECT_EQ(icapWrite(p.agent, "x", -3), -3);
}

TEST(IcapWrite, ClosedPeerFailsWithoutSignal) {
  avtest::LogCapture log;
  Pair p;
  p.closePeer();
  EXPECT_EQ(sendUncPath2Server(p.agent, "OPTIONS x ICAP/1.0\r\n\r\n"), -1);
  EXPECT_TRUE(log.contains("send fail.", AVLOG_ERR));
  EXPECT_EQ(sendUncPath2Server(p.agent, nullptr), -1);
  EXPECT_TRUE(log.contains("The header is null.", AVLOG_ERR));
}

TEST(IcapSocketTimeouts, SetsBothAndRejectsBadSocket) {
  avtest::LogCapture log;
  EXPECT_EQ(setSocketDelayTime(-1, 2, 30), -1);
  EXPECT_TRUE(log.contains("The fd is < 0.", AVLOG_ERR));
  EXPECT_EQ(setSocketDelayTime(999999, 2, 30), -1);  // not a socket
  EXPECT_TRUE(log.contains("Socket send msg timeout.", AVLOG_ERR));
  Pair p;
  ASSERT_EQ(setSocketDelayTime(p.agent, 2, -5), 0);
  timeval tv{};
  socklen_t len = sizeof(tv);
  getsockopt(p.agent, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, 2);
  getsockopt(p.agent, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, 0);  // a negative time-out is taken as none
}

AvServerAddr addrOf(const char* ip, uint32_t port) {
  AvServerAddr a{};
  snprintf(a.ip, sizeof(a.ip), "%s", ip);
  a.port = port;
  return a;
}

TEST(IcapConnect, BadParametersAndLookupFailures) {
  avtest::LogCapture log;
  int sock = -7;
  EXPECT_EQ(connectAvServer(addrOf("", 1344), &sock), -1);
  EXPECT_TRUE(log.contains("IP para is err, IP address(:1344).", AVLOG_ERR));
  EXPECT_EQ(connectAvServer(addrOf("127.0.0.1", 65536), &sock), -1);
  EXPECT_TRUE(log.contains("IP para is err, IP address(127.0.0.1:65536).", AVLOG_ERR));
  // An empty label fails inside the resolver: no query leaves the machine.
  EXPECT_EQ(connectAvServer(addrOf("a..b", 1344), &sock), -1);
  EXPECT_TRUE(log.contains("Run getaddrinfo() failed.", AVLOG_ERR));
  EXPECT_EQ(sock, -7);
}

TEST(IcapConnect, RefusingAddressIsClosedAndReported) {
  avtest::LogCapture log;
  int sock = -7;
  uint16_t port = icaptest::closedPort();
  ASSERT_NE(port, 0);
  int before = dup(0);  // lowest free descriptor now
  close(before);
  EXPECT_EQ(connectAvServer(addrOf("localhost", port), &sock), -1);
  EXPECT_TRUE(log.contains("Connect socket failed. -1", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Could not connect AV server.", AVLOG_ERR));
  EXPECT_EQ(sock, -7);
  int after = dup(0);  // the failed socket was closed: the same number is free
  close(after);
  EXPECT_EQ(after, before);
}

TEST(IcapConnect, ConnectsOverIPv6AndSetsTheTimeouts) {
  avtest::LogCapture log;
  avtest::DebugLevel debug;
  int ls = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof(sa);
  if (bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    close(ls);
    GTEST_SKIP() << "no IPv6 loopback";
  }
  ASSERT_EQ(listen(ls, 4), 0);
  ASSERT_EQ(getsockname(ls, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  int sock = -1;
  ASSERT_EQ(connectAvServer(addrOf("::1", ntohs(sa.sin6_port)), &sock), 0);
  EXPECT_TRUE(log.contains("Connect socket OK.", AVLOG_INFO));
  timeval tv{};
  len = sizeof(tv);
  getsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, ICAP_SEND_TIMEOUT_SEC);
  getsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, ICAP_RECV_TIMEOUT_SEC);
  close(sock);
  close(ls);
}

}  // namespace

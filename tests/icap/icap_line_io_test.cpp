// Connection and line I/O against socket pairs and loopback listeners: the
// edges the scripted-server jobs do not reach.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "icap/icap_io.h"
#include "icap_test_support.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

struct Pair {
  int agent = -1, peer = -1;
  Pair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) agent = sv[0], peer = sv[1];
  }
  ~Pair() {
    close(agent);
    if (peer >= 0) close(peer);
  }
  // Writes bytes from the peer and reads one line on the agent's side.
  std::string line(const std::string& bytes = "") const {
    if (!bytes.empty()) {
      EXPECT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string buf(520, 'Z');
    return icapReadline(agent, buf.data(), 511) == 0 ? std::string(buf.c_str()) : "<fail>";
  }
};

TEST(IcapReadline, LineEndsAndCrRoom) {
  Pair p;
  EXPECT_EQ(p.line("bare LF\nCR\r\r\n\r\nsecond"), "bare LF");
  EXPECT_EQ(p.line(), "CR\r\r");  // CR CR: both kept, the LF then ends the line
  EXPECT_EQ(p.line(), "");
  char rest[16] = {0};  // bytes after the line end stay in the socket
  ASSERT_EQ(recv(p.agent, rest, sizeof(rest) - 1, MSG_DONTWAIT), 6);
  EXPECT_STREQ(rest, "second");
  // 508 bytes and CR X fit; 509 bytes and CR X do not (the CR pair needs its room).
  EXPECT_EQ(p.line(std::string(508, 'a') + "\rX\r\n"), std::string(508, 'a') + "\rX");
  avtest::LogCapture log;
  EXPECT_EQ(Pair().line(std::string(509, 'a') + "\rX\r\n"), "<fail>");
  EXPECT_TRUE(log.contains("Readline error.", AVLOG_ERR));
}

TEST(IcapWrite, ClosedPeerFailsWithoutSignal) {
  avtest::LogCapture log;
  Pair p;
  close(p.peer);
  p.peer = -1;
  EXPECT_EQ(sendUncPath2Server(p.agent, "OPTIONS x ICAP/1.0\r\n\r\n"), -1);
  EXPECT_TRUE(log.contains("send fail.", AVLOG_ERR));
  EXPECT_EQ(sendUncPath2Server(p.agent, nullptr), -1);
  EXPECT_TRUE(log.contains("The header is null.", AVLOG_ERR));
}

AvServerAddr addrOf(const char* ip, uint32_t port) {
  AvServerAddr a{};
  snprintf(a.ip, sizeof(a.ip), "%s", ip);
  a.port = port;
  return a;
}

TEST(IcapConnect, RefusalsLeaveNoSocketBehindAndIPv6Connects) {
  avtest::LogCapture log;
  avtest::DebugLevel debug;
  int sock = -7;
  EXPECT_EQ(connectAvServer(addrOf("", 1344), &sock), -1);
  EXPECT_TRUE(log.contains("IP para is err, IP address(:1344).", AVLOG_ERR));
  EXPECT_EQ(connectAvServer(addrOf("127.0.0.1", 65536), &sock), -1);
  EXPECT_TRUE(log.contains("IP para is err, IP address(127.0.0.1:65536).", AVLOG_ERR));
  uint16_t port = icaptest::closedPort();
  ASSERT_NE(port, 0);
  int before = dup(0);  // lowest free descriptor now
  close(before);
  EXPECT_EQ(connectAvServer(addrOf("localhost", port), &sock), -1);
  EXPECT_TRUE(log.contains("Connect socket failed. -1", AVLOG_ERR));
  EXPECT_EQ(sock, -7);
  int after = dup(0);  // the failed socket was closed: the same number is free
  close(after);
  EXPECT_EQ(after, before);
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
  ASSERT_EQ(connectAvServer(addrOf("::1", ntohs(sa.sin6_port)), &sock), 0);
  EXPECT_TRUE(log.contains("Connect socket OK.", AVLOG_INFO));
  EXPECT_EQ(fcntl(sock, F_GETFL) & O_NONBLOCK, 0);  // the exchange relies on blocking calls
  close(sock);
  close(ls);
}

TEST(IcapConnect, PeerThatNeverAcceptsIsGivenUpAtTheDeadline) {
  icaptest::FullBacklog peer;
  ASSERT_NE(peer.port(), 0);
  avtest::LogCapture log;
  setIcapConnectWaitForTest(300);
  int sock = -7;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(connectAvServer(addrOf("127.0.0.1", peer.port()), &sock), -1);
  auto took = std::chrono::steady_clock::now() - t0;
  setIcapConnectWaitForTest(0);
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(sock, -7);
  EXPECT_TRUE(log.contains("Connect time out(300 ms).", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Could not connect AV server.", AVLOG_ERR));
}

}  // namespace

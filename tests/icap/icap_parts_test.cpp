// Single header lines and the judging, the line reader's edges, the connect deadline.
#include <sys/socket.h>

#include "icap/icap_io.h"
#include "icap/icap_response.h"
#include "icap_test_support.h"

namespace {

// 7 characters after the name skipped, 64 taken, quotes removed; nothing left fails.
TEST(IcapLines, IsTagValue) {
  avtest::LogCapture log;
  const std::pair<std::string, std::string> tags[] = {
      {"ISTag: \"CI0001-abc\"", "CI0001-abc"}, {"ISTag:\t\"a\"b\"", "ab"},  // any two characters skipped
      {"ISTag: \"" + std::string(70, 'x') + "\"", std::string(63, 'x')},  // 64 taken, the quote among them
      {"ISTag: " + std::string(64, 'y') + "zz", std::string(64, 'y')}, {"ISTag: \"\"", ""}, {"ISTag:", ""}};
  for (const auto& [line, tag] : tags) {
    char out[65];
    EXPECT_EQ(getISTagValue(line.c_str(), out, sizeof(out)), tag.empty() ? -1 : 0) << line;
    if (!tag.empty()) { EXPECT_EQ(std::string(out), tag); }
  }
  EXPECT_EQ(log.count("The para istag is invalid."), 2u);
}

TEST(IcapLines, ResolutionCountAndJudging) {
  avtest::LogCapture log;
  avtest::DebugLevel debug;
  const std::pair<const char*, int> resolutions[] = {
      {"X-Infection-Found: Type=0; Resolution=2; Threat=E;", 2}, {"Resolution:7;", 7}, {"Resolution=12", 1},
      {"Resolution= 2", -1}, {"Resolution=", -1}, {"X-Infection-Found: Type=0;", -1}};
  for (auto [line, want] : resolutions) {
    int v = 5;
    EXPECT_EQ(getResolutionValue(line, &v), want < 0 ? -1 : 0) << line;
    EXPECT_EQ(v, want < 0 ? 5 : want) << line;
  }
  EXPECT_EQ(log.count("Get resolution val failed."), 2u);
  EXPECT_TRUE(log.contains("There is no resolution string in lbuf.", AVLOG_ERR));
  const std::pair<const char*, int> counts[] = {
      {"X-Violations-Found:   12", 12}, {"X-Violations-Found: 123456789", 123456},  // 7 characters
      {"X-Violations-Found: 0", -1}, {"X-Violations-Found: many", -1}, {"X-Violations-Found", -1}};
  for (auto [line, want] : counts) {
    int n = 0;
    EXPECT_EQ(getVirusNumValue(line, &n, "X-Violations-Found"), want < 0 ? -1 : 0) << line;
    EXPECT_EQ(n, want < 0 ? 0 : want) << line;
  }
  EXPECT_EQ(log.count("The para tempVal is invalid."), 3u);
  const std::tuple<int, int, int> judged[] = {{200, -1, 0}, {201, 5, 0}, {403, 2, 0}, {403, 0, 403}, {403, 1, 403},
      {403, -1, 403}, {502, 2, 502}, {505, -1, 505}, {506, 2, 506}, {558, 0, 558}, {0, 2, 0}};
  for (auto [state, resolution, want] : judged) {
    int result = -99;
    size_t before = log.count("Icap scan result(");
    EXPECT_EQ(judgeICAPResult(state, resolution, &result), 0);
    EXPECT_EQ(result, want) << state << "/" << resolution;
    EXPECT_EQ(log.count("Icap scan result(") - before, want == 0 && state != 0 ? 0u : 1u) << state;
  }
}

TEST(IcapIo, LineEndsCapacityAndClosedPeer) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  auto line = [&](const std::string& bytes) {
    EXPECT_EQ(write(sv[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    std::string buf(520, 'Z');
    return icapReadline(sv[0], buf.data(), 511) == 0 ? std::string(buf.c_str()) : "<fail>";
  };
  EXPECT_EQ(line("bare LF\nCR\r\r\n\r\nsecond"), "bare LF");
  EXPECT_EQ(line(""), "CR\r\r");  // CR CR: both kept, the LF then ends the line
  EXPECT_EQ(line(""), "");
  char rest[16] = {0};  // bytes after the line end stay in the socket
  ASSERT_EQ(recv(sv[0], rest, sizeof(rest) - 1, MSG_DONTWAIT), 6);
  // 508 bytes and CR X fit; 509 bytes and CR X do not (the CR pair needs its room).
  EXPECT_EQ(line(std::string(508, 'a') + "\rX\r\n"), std::string(508, 'a') + "\rX");
  avtest::LogCapture log;
  EXPECT_EQ(line(std::string(509, 'a') + "\rX\r\n"), "<fail>");
  EXPECT_TRUE(log.contains("Readline error.", AVLOG_ERR));
  close(sv[1]);
  EXPECT_EQ(sendUncPath2Server(sv[0], "OPTIONS x ICAP/1.0\r\n\r\n"), -1);  // no SIGPIPE either
  EXPECT_TRUE(log.contains("send fail.", AVLOG_ERR));
  close(sv[0]);
}

// A refused port leaves no socket behind; a peer that never accepts is given up at the deadline.
TEST(IcapIo, ConnectRefusedAndDeadline) {
  avtest::LogCapture log;
  jobstest::Listener closed(NET_IPV4, 0);
  closed.close();
  AvServerAddr addr{"localhost", closed.port()};
  auto lowestFree = [] { int fd = dup(0); return close(fd), fd; };
  int sock = -7, before = lowestFree();
  EXPECT_EQ(connectAvServer(addr, &sock), -1);
  EXPECT_TRUE(log.contains("Could not connect AV server.", AVLOG_ERR));
  EXPECT_EQ(lowestFree(), before);
  EXPECT_EQ(connectAvServer({"127.0.0.1", 65536}, &sock), -1);
  EXPECT_TRUE(log.contains("IP para is err, IP address(127.0.0.1:65536).", AVLOG_ERR));
  jobstest::Listener full(NET_IPV4, 0, 0);
  ASSERT_TRUE(full.ok() && full.fillBacklog());
  setIcapConnectWaitForTest(300);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(connectAvServer({"127.0.0.1", full.port()}, &sock), -1);
  auto took = std::chrono::steady_clock::now() - t0;
  setIcapConnectWaitForTest(0);
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(sock, -7);
  EXPECT_TRUE(log.contains("Connect time out(300 ms).", AVLOG_ERR));
}

}  // namespace

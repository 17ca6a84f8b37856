// The agent as a process: served connections over both address families, the
// connection and flow limits seen from outside, start-up failures and their
// exit codes, ending by "/quit" and by signal, and a live configuration reload.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "channel/frame.h"
#include "platform/net.h"
#include "support/agent_process.h"

namespace {

using avtest::AgentProcess;

const char kStatusJob[] = R"({"opCode":"0","avType":"0","message":"no-such-proc","vendorName":"ClamAV"})";
const char kScanJob[] = R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\missing.txt"})";

avtest::ClientResult client(const AgentProcess& agent, std::vector<std::string> cmd,
                            const std::string& host = "127.0.0.1") {
  cmd.insert(cmd.begin(), {"--host", host, "--port", agent.portText(), "--timeout", "10"});
  return avtest::runClient(cmd);
}

// Connects without a handshake and reports the agent's first move: 1 the 2000
// challenge header arrived, 0 the connection was closed, -1 nothing in 5 s.
int firstMove(int port, int* keep) {
  std::vector<NetEndpoint> to;
  int fd = -1, move = -1;
  MsgHeader h{};
  if (net_Resolve("127.0.0.1", std::to_string(port).c_str(), NET_IPV4, &to) == 0 &&
      net_Connect(to, 5000, &fd) == 0 && net_Wait(fd, NET_READABLE, 5000, nullptr) == 0) {
    const ssize_t n = recv(fd, &h, sizeof h, MSG_WAITALL);
    move = n <= 0 ? 0 : n == sizeof h && h.BeginTag == AV_BEGIN_TAG && h.MessageType == 2000 ? 1 : -1;
  }
  if (keep) *keep = fd; else net_Close(fd);
  return move;
}

}  // namespace

TEST(AgentServing, MaxJobNoAcceptsOneMoreThanTheLimit) {
  AgentProcess agent({{"MaxJobNo", "2"}});
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  std::vector<int> held(3, -1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(firstMove(agent.port(), &held[i]), 1) << "connection " << i + 1;
  EXPECT_EQ(firstMove(agent.port(), nullptr), 0);
  EXPECT_TRUE(agent.waitForLog("connect too many, close it, cur number is 3"));
  net_Close(held.back());  // once one leaves, a new one is served again
  held.pop_back();
  bool served = false;
  for (int attempt = 0; attempt < 50 && !(served = firstMove(agent.port(), nullptr) == 1); ++attempt)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(served);
  for (int fd : held) net_Close(fd);
}

// FlowJobNo 0 closes scans, which the client tells by exit code 3 (status jobs
// are spared: the server tests show it).
TEST(AgentServing, WatcherReloadAppliesFlowJobNoToTheNextJob) {
  AgentProcess agent({{"FlowJobNo", "0"}});
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  EXPECT_EQ(client(agent, {"job", "2020", kScanJob}).exitCode, 3);
  agent.writeConfig({{"FlowJobNo", "5"}});
  ASSERT_TRUE(agent.waitForLog("g_flowJobsNo: 5"));
  auto r = client(agent, {"job", "2020", kScanJob});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

// A port held by another process is named as such; "running in the
// background" is kept for a second agent of the same root. Arguments other
// than --help and --version start nothing.
TEST(AgentStartup, SecondAgentOnATakenPortOrInTheSameRootExits255) {
  AgentProcess first;
  ASSERT_TRUE(first.start()) << first.stderrText();
  AgentProcess second({{"Port", first.portText()}});
  ASSERT_TRUE(second.start(false));
  EXPECT_EQ(second.waitExit(20000), 255);
  EXPECT_NE(second.stderrText().find("Tips: Port " + first.portText() + " is already in use by another process."),
            std::string::npos) << second.stderrText();
  EXPECT_NE(second.logText().find("CreateMessageServer FAIL"), std::string::npos);
  const std::string bin = first.root() + "/avagent";
  for (const auto& [args, code, out] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{}, 255, "Tips: Antivirus agent process is running in the backgroud."},
           {{"--start"}, 2, "avagent: unknown argument '--start'; nothing started"},
           {{"--help"}, 0, "usage: avagent [--version | --help]"}}) {
    auto r = avtest::runProgram(bin, args, 10000);
    EXPECT_EQ(r.exitCode, code) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(out), std::string::npos) << r.out << r.err;
  }
  EXPECT_TRUE(first.running());  // the first one is not disturbed
  auto r = client(first, {"job", "2015", "{}"});
  EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
}

TEST(AgentStartup, MissingOrInvalidSettingsAreABadConfiguration) {
  const std::pair<avtest::ConfigOverrides, std::string> cases[] = {
      {{{"Port", std::nullopt}}, "Get private is failed."},
      {{{"FlowJobNo", "abc"}}, "Refused FlowJobNo=abc in {cfg}: not a number."},
  };
  for (const auto& [overrides, message] : cases) {
    SCOPED_TRACE(message);
    AgentProcess agent(overrides);
    ASSERT_TRUE(agent.start(false));
    EXPECT_EQ(agent.waitExit(20000), 255);
    EXPECT_NE(agent.stderrText().find("Tips: Configuration file is bad."), std::string::npos)
        << agent.stderrText();
    const std::string log = agent.logText();
    std::string line = message;
    if (size_t at = line.find("{cfg}"); at != std::string::npos) line.replace(at, 5, agent.cfgPath());
    for (const std::string& l : {line, std::string("initSettingFromCfg FAIL")})
      EXPECT_NE(log.find(l), std::string::npos) << log;
    // The reason, with the file it is about, is on the terminal too.
    EXPECT_NE(agent.stderrText().find(agent.cfgPath()), std::string::npos) << agent.stderrText();
    EXPECT_EQ(log.find("Program end."), std::string::npos);
  }
}

TEST(AgentServing, AllowedPeersClosesOtherAddressesAtAccept) {
  AgentProcess agent({{"AllowedPeers", "192.0.2.0/24, ::1"}});
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(firstMove(agent.port(), nullptr), 0);  // closed before the challenge
  auto r = client(agent, {"job", "2010", kStatusJob}, "::1");
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  const std::string log = agent.logText(), refusal = "Peer 127.0.0.1 is not in AllowedPeers; its connections are refused.";
  EXPECT_NE(log.find(refusal), std::string::npos) << log;
  EXPECT_EQ(log.find(refusal, log.find(refusal) + 1), std::string::npos) << "logged once";
}

TEST(AgentEnding, QuitLineAndSignalsEndAtOnceWithProgramEnd) {
  for (int how : {0, SIGTERM, SIGINT}) {
    SCOPED_TRACE(how);
    AgentProcess agent;
    ASSERT_TRUE(agent.start()) << agent.stderrText();
    if (how == 0) {
      // Only the exact line counts; too long lines are cut to 255 and are not it.
      for (const std::string& line :
           std::vector<std::string>{"/quit please", "quit", " /quit", std::string(295, 'x') + "/quit"})
        agent.sendLine(line);
      EXPECT_EQ(agent.waitExit(1500), std::nullopt);
    }
    auto t0 = std::chrono::steady_clock::now();
    if (how == 0)
      agent.sendLine("/quit\r");  // a CR LF line end counts as a line end
    else
      agent.signal(how);
    EXPECT_EQ(agent.waitExit(15000), 0);
    // Served at once, not at the next 10-second step.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_NE(agent.logText().find("Program end."), std::string::npos);
  }
}

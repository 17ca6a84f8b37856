// The agent as a process: served connections over both address families, the
// connection and flow limits seen from outside, start-up failures and their
// exit codes, ending by "/quit" and by signal, and a live configuration reload.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/frame.h"
#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "support/agent_process.h"

namespace {

using avtest::AgentProcess;
using avtest::runClient;

const char kStatusJob[] = R"({"opCode":"0","avType":"0","message":"no-such-proc","vendorName":"ClamAV"})";
const char kScanJob[] = R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\missing.txt"})";

std::vector<std::string> clientArgs(const AgentProcess& agent, std::vector<std::string> cmd,
                                    const std::string& host = "127.0.0.1") {
  std::vector<std::string> args = {"--host", host, "--port", agent.portText(), "--timeout", "10"};
  args.insert(args.end(), cmd.begin(), cmd.end());
  return args;
}

// Connects without a handshake; -1 on failure.
int rawConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// What the agent does first on a fresh connection: 1 the 2000 challenge header
// arrived, 0 the connection was closed, -1 nothing within timeoutMs.
int firstMove(int fd, int timeoutMs = 5000) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return -1;
  MsgHeader h{};
  ssize_t n = recv(fd, &h, sizeof(h), MSG_WAITALL);
  if (n <= 0) return 0;
  return n == sizeof(h) && h.BeginTag == AV_BEGIN_TAG && h.MessageType == 2000 ? 1 : -1;
}

long cpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

// ---- Serving -------------------------------------------------------------

TEST(AgentServing, VerifiedClientsOnIPv4AndIPv6) {
  AgentProcess agent;
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  for (const char* host : {"127.0.0.1", "::1"}) {
    auto r = runClient(clientArgs(agent, {"job", "2010", kStatusJob}, host));
    EXPECT_EQ(r.exitCode, 0) << host << ": " << r.out << r.err;
    EXPECT_EQ(r.out.rfind("status: 100\n{\"status\": \"", 0), 0u) << r.out;
    r = runClient(clientArgs(agent, {"job", "2020", kScanJob}, host));
    EXPECT_EQ(r.exitCode, 0) << host << ": " << r.out << r.err;
  }
  // A client with another pre-shared key is refused at the handshake.
  auto r = runClient(clientArgs(agent, {"--key", "Wrong#Key-1234567", "job", "2010", kStatusJob}));
  EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
  EXPECT_TRUE(agent.waitForLog("ms_VerifyClient FAIL"));
}

TEST(AgentServing, UnsupportedTypeGets203AndTheConnectionStaysUsable) {
  AgentProcess agent;
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  auto r = runClient(clientArgs(agent, {"job", "2015", "{}"}));
  EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("status: 203", 0), 0u) << r.out;

  uint8_t verifyKey[32];
  ASSERT_EQ(sp_DeriveVerificationKey(AV_DEFAULT_PRESHARED_KEY, verifyKey), 1);
  StoragePeer peer;
  ASSERT_EQ(sp_Connect(&peer, "127.0.0.1", agent.portText().c_str(), 5000), SP_OK);
  ASSERT_EQ(sp_Handshake(&peer, verifyKey), SP_OK);
  ASSERT_EQ(sp_Request(&peer, 2015, "{}", 3), SP_OK);
  EXPECT_EQ(peer.link.RecvHead.ReturnStatus, 203u);
  EXPECT_EQ(peer.link.RecvHead.MessageType, 2015u);
  EXPECT_EQ(peer.link.RecvHead.Length, 0u);
  ASSERT_EQ(sp_Request(&peer, 2010, kStatusJob, sizeof(kStatusJob)), SP_OK);
  EXPECT_EQ(peer.link.RecvHead.ReturnStatus, 100u);
  sp_Close(&peer);
}

TEST(AgentServing, MaxJobNoAcceptsOneMoreThanTheLimit) {
  AgentProcess agent({{"MaxJobNo", "2"}});
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) {
    int fd = rawConnect(agent.port());
    ASSERT_GE(fd, 0);
    held.push_back(fd);
    // The challenge is sent after the connection registered itself.
    EXPECT_EQ(firstMove(fd), 1) << "connection " << i + 1;
  }
  int fourth = rawConnect(agent.port());
  ASSERT_GE(fourth, 0);
  EXPECT_EQ(firstMove(fourth), 0);
  close(fourth);
  EXPECT_TRUE(agent.waitForLog("connect too many, close it, cur number is 3"));
  // Once one leaves, a new one is served again.
  close(held.back());
  held.pop_back();
  bool served = false;
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    int fd = rawConnect(agent.port());
    ASSERT_GE(fd, 0);
    served = firstMove(fd) == 1;
    close(fd);
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(served);
  for (int fd : held) close(fd);
}

TEST(AgentServing, FlowJobNoZeroClosesScansButAnswersStatus) {
  AgentProcess agent({{"FlowJobNo", "0"}, {"LogLevel", "5"}});
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  auto r = runClient(clientArgs(agent, {"job", "2020", kScanJob}));
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  EXPECT_TRUE(agent.waitForLog("Connect too many, close it."));
  r = runClient(clientArgs(agent, {"job", "2010", kStatusJob}));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

TEST(AgentServing, WatcherReloadAppliesFlowJobNoToTheNextJob) {
  AgentProcess agent;
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  auto r = runClient(clientArgs(agent, {"job", "2020", kScanJob}));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  agent.writeConfig({{"FlowJobNo", "0"}});
  ASSERT_TRUE(agent.waitForLog("g_flowJobsNo: 0"));
  r = runClient(clientArgs(agent, {"job", "2020", kScanJob}));
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  agent.writeConfig({{"FlowJobNo", "5"}});
  ASSERT_TRUE(agent.waitForLog("g_flowJobsNo: 5"));
  r = runClient(clientArgs(agent, {"job", "2020", kScanJob}));
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

// ---- Start-up ------------------------------------------------------------

TEST(AgentStartup, RootIsTheProgramFolderWithItsLogAndTmp) {
  AgentProcess agent;
  ASSERT_FALSE(std::filesystem::exists(agent.root() + "/log"));
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  // Started from "/", the agent moved into its own folder.
  char cwd[4096] = {};
  ASSERT_GT(readlink(("/proc/" + std::to_string(agent.pid()) + "/cwd").c_str(), cwd,
                     sizeof(cwd) - 1),
            0);
  EXPECT_EQ(std::filesystem::canonical(cwd), std::filesystem::canonical(agent.root()));
  EXPECT_TRUE(std::filesystem::is_directory(agent.root() + "/tmp"));
  EXPECT_TRUE(agent.waitForLog("Antivirus agent start."));
  const std::string log = agent.logText();
  // The built-in credential is pointed out as a warning.
  bool warned = false;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.find("[WARN]") != std::string::npos &&
        line.find("default pre-shared key") != std::string::npos)
      warned = true;
  EXPECT_TRUE(warned) << log;
  // The watcher starts after the server: the port answered before this point.
  EXPECT_LT(log.find("Antivirus agent start."), log.find("Public key len("));
}

TEST(AgentStartup, SecondAgentOnATakenPortExits255) {
  AgentProcess first;
  ASSERT_TRUE(first.start()) << first.stderrText();
  AgentProcess second({{"Port", first.portText()}});
  ASSERT_TRUE(second.start(false));
  EXPECT_EQ(second.waitExit(20000), 255);
  EXPECT_NE(second.stderrText().find("Tips: Antivirus agent process is running in the backgroud."),
            std::string::npos)
      << second.stderrText();
  EXPECT_NE(second.logText().find("CreateMessageServer FAIL"), std::string::npos);
  // The first one is not disturbed.
  EXPECT_TRUE(first.running());
  auto r = runClient(clientArgs(first, {"job", "2015", "{}"}));
  EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
}

TEST(AgentStartup, MissingPortIsABadConfiguration) {
  AgentProcess agent({{"Port", std::nullopt}});
  ASSERT_TRUE(agent.start(false));
  EXPECT_EQ(agent.waitExit(20000), 255);
  EXPECT_NE(agent.stderrText().find("Tips: Configuration file is bad."), std::string::npos)
      << agent.stderrText();
  const std::string log = agent.logText();
  EXPECT_NE(log.find("Get private is failed."), std::string::npos) << log;
  EXPECT_NE(log.find("initSettingFromCfg FAIL"), std::string::npos) << log;
  EXPECT_EQ(log.find("Program end."), std::string::npos);
}

// ---- Ending --------------------------------------------------------------

TEST(AgentEnding, QuitLineEndsAtOnceOtherLinesDoNot) {
  AgentProcess agent;
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  agent.sendLine("/quit please");
  agent.sendLine("quit");
  agent.sendLine(" /quit");
  EXPECT_EQ(agent.waitExit(1500), std::nullopt);
  auto t0 = std::chrono::steady_clock::now();
  agent.sendLine("/quit\r");  // a CR LF line end counts as a line end
  EXPECT_EQ(agent.waitExit(15000), 0);
  // Served at once, not at the next 10-second step.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_NE(agent.logText().find("Program end."), std::string::npos);
}

TEST(AgentEnding, TooLongLineIsNotAQuit) {
  AgentProcess agent;
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  // 300 characters ending in "/quit": cut to 255, it is not the command.
  agent.sendLine(std::string(295, 'x') + "/quit");
  EXPECT_EQ(agent.waitExit(1500), std::nullopt);
  agent.sendQuit();
  EXPECT_EQ(agent.waitExit(15000), 0);
}

TEST(AgentEnding, SigtermAndSigintEndLikeQuit) {
  for (int sig : {SIGTERM, SIGINT}) {
    AgentProcess agent;
    ASSERT_TRUE(agent.start()) << agent.stderrText();
    auto t0 = std::chrono::steady_clock::now();
    agent.signal(sig);
    EXPECT_EQ(agent.waitExit(15000), 0) << "signal " << sig;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_NE(agent.logText().find("Program end."), std::string::npos);
  }
}

TEST(AgentEnding, ClosedStdinNeitherEndsNorSpins) {
  AgentProcess agent;
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  agent.closeStdin();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = cpuTicks(agent.pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long after = cpuTicks(agent.pid());
  EXPECT_TRUE(agent.running());
  // A busy loop would burn about 150 ticks in that time.
  EXPECT_LT(after - before, 20);
  // Still serving, and a signal still ends it.
  auto r = runClient(clientArgs(agent, {"job", "2015", "{}"}));
  EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
  agent.terminate();
  EXPECT_EQ(agent.waitExit(15000), 0);
}

}  // namespace

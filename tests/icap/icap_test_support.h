// Shared pieces of the ICAP tests: the scripted server as a child process, and
// pointing the agent's configured ICAP port at it.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "runtime/config.h"
#include "support/test_env.h"

extern char** environ;

namespace icaptest {

// One icap_script_server process serving `connections` connections; killed by its pid.
class ScriptServer {
 public:
  explicit ScriptServer(const std::string& answer, std::vector<std::string> flags = {},
                        int connections = 1) {
    static std::atomic<int> seq{0};
    std::string base = avtest::scratchRoot() + "/tmp/icap" + std::to_string(getpid()) + "_" +
                       std::to_string(seq++);
    answerFile_ = base + ".answer";
    portFile_ = base + ".port";
    recordFile_ = base + ".request";
    avtest::writeFile(answerFile_, answer);
    std::vector<std::string> args = {std::string(AV_TEST_TOOLS_DIR) + "/icap_script_server",
                                     "--port-file", portFile_, "--answer-file", answerFile_,
                                     "--record", recordFile_, "--connections",
                                     std::to_string(connections), "--lifetime", "120"};
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv(args.size() + 1, nullptr);
    for (size_t i = 0; i < args.size(); ++i) argv[i] = args[i].data();
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    for (int i = 0; pid_ > 0 && i < 500 && !std::filesystem::exists(portFile_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string text = avtest::readFile(portFile_);
    port_ = text.empty() ? 0 : static_cast<uint16_t>(std::stoi(text));
  }
  ~ScriptServer() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
  }
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  uint16_t port() const { return port_; }
  std::string received() const { return avtest::readFile(recordFile_); }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string answerFile_, portFile_, recordFile_;
};

// The ICAP port is read before any check: a file holding only IcapPort sets it.
inline bool setIcapPortForTest(uint16_t port) {
  avtest::writeFile(avtest::scratchRoot() + "/cfg/agentConfig.ini",
                    "[AGENT_SETTING]\nIcapPort = " + std::to_string(port) + "\n");
  initSettingFromCfg();
  return getIcapPort() == port;
}

// A loopback port on which nothing listens (bound, then released).
inline uint16_t closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  close(fd);
  return port;
}

// A loopback listener whose accept queue is full: one connection fills a
// backlog of 0 and the SYNs of later ones are dropped, so connecting to it
// hangs until the connector gives up.
class FullBacklog {
 public:
  FullBacklog() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
      return;
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(filler_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0)
      port_ = ntohs(sa.sin_port);
  }
  ~FullBacklog() {
    close(filler_);
    close(listener_);
  }
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1, filler_ = -1;
  uint16_t port_ = 0;
};

}  // namespace icaptest

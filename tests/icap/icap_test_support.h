// ICAP test fixtures: the scripted server as a child process, and the agent's
// ICAP port pointed at it.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "jobs/jobs_test_support.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "support/agent_process.h"
#include "support/test_env.h"

namespace icaptest {

class ScriptServer {
 public:
  explicit ScriptServer(const std::string& answer, std::vector<std::string> flags = {}, int connections = 1) {
    static std::atomic<int> seq{0};
    base_ = avtest::scratchRoot() + "/tmp/icap" + std::to_string(getpid()) + "_" + std::to_string(seq++);
    avtest::writeFile(base_ + ".answer", answer);
    std::vector<std::string> args = {"--port-file", base_ + ".port", "--answer-file", base_ + ".answer", "--record",
                                     base_ + ".request", "--connections", std::to_string(connections)};
    args.insert(args.end(), flags.begin(), flags.end());
    pid_ = avtest::spawn(AV_TEST_TOOLS_DIR "/icap_script_server", args, -1, "/dev/null", base_ + ".err", nullptr);
    for (int i = 0; pid_ > 0 && i < 500 && !std::filesystem::exists(base_ + ".port"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string text = avtest::readFile(base_ + ".port");
    port_ = text.empty() ? 0 : static_cast<uint16_t>(std::stoi(text));
  }
  ~ScriptServer() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
  }
  uint16_t port() const { return port_; }
  std::string received() const { return avtest::readFile(base_ + ".request"); }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string base_;
};

// A reload applies a whole, valid file or nothing: the other required keys go
// along. Debug records on, so a test can see what was not done.
inline bool setIcapPortForTest(uint16_t port, bool strict = false) {
  avtest::writeFile(avtest::scratchRoot() + "/cfg/agentConfig.ini",
                    "[AGENT_SETTING]\nPort=5000\nMaxJobNo=100\nFlowJobNo=100\nPortConnectTimeOut=1000\nLogLevel=5\nIcapPort = " +
                        std::to_string(port) + "\nIcapStrict = " + (strict ? "1" : "0") + "\n[AV_GENERAL]\nVendorNum=1\n");
  initSettingFromCfg();
  return getIcapPort() == port && getIcapStrict() == strict;
}

}  // namespace icaptest

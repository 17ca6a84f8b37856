// Job test fixtures: a loaded configuration, jobs run into a guarded room, a
// process under a name of its own, a listener.
#pragma once
#ifndef _WIN32  // NamedProcess runs a copy of /bin/sleep
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/agent_process.h"
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "jobs/job_dispatch.h"
#include "platform/net.h"
#include "runtime/config.h"
#include "support/test_env.h"

namespace jobstest {

struct Vendor {
  std::string name, list;
};

inline std::string uncRoot() { return avtest::scratchRoot() + "/unc"; }

// Writes cfg/agentConfig.ini and loads it; true when the load succeeded.
// agentExtra: more [AGENT_SETTING] lines.
inline bool loadConfig(const std::vector<Vendor>& vendors, int portTimeoutMs = 1000,
                       const std::string& agentExtra = "") {
  std::string text = "[AGENT_SETTING]\nPort = 5000\nMaxJobNo = 100\nFlowJobNo = 100\n"
                     "PortConnectTimeOut = " + std::to_string(portTimeoutMs) +
                     "\nLogLevel = 4\nUncRoot = " + uncRoot() + "\n" + agentExtra +
                     "[AV_GENERAL]\nVendorNum = " + std::to_string(vendors.size()) + "\n";
  for (size_t i = 0; i < vendors.size(); ++i)
    text += "[AV_VENDOR" + std::to_string(i + 1) + "]\nVendorName = " + vendors[i].name +
            "\nProcessNameList = " + vendors[i].list + "\n";
  avtest::writeFile(avtest::scratchRoot() + "/cfg/agentConfig.ini", text);
  return initSettingFromCfg() == 1;
}

struct JobOutcome {
  int rc;
  std::string text;
};

// Runs a job (the request as an unterminated body) into a room followed by a
// guard zone that must stay untouched; every pool block must be back after.
inline JobOutcome runJob(bool scan, const std::string& request) {
  const uint32_t roomSize = scan ? AV_SCAN_RESULT_ROOM : AV_STATUS_RESULT_ROOM;
  std::vector<char> room(roomSize + 64, '\0');
  std::memset(room.data() + roomSize, 0x5A, 64);
  auto before = avtest::poolFreeCounts();
  auto len = static_cast<uint32_t>(request.size());
  int rc = scan ? doJob_ScanFile(request.data(), len, room.data(), roomSize)
                : doJob_GetEngineStatus(request.data(), len, room.data(), roomSize);
  EXPECT_EQ(avtest::poolFreeCounts(), before) << "pool blocks not returned: " << request;
  for (size_t i = roomSize; i < room.size(); ++i)
    EXPECT_EQ(room[i], 0x5A) << "result written past its room at " << i;
  return {rc, std::string(room.data(), strnlen(room.data(), roomSize))};
}
inline JobOutcome scanJob(const std::string& request) { return runJob(true, request); }
inline JobOutcome statusJob(const std::string& request) { return runJob(false, request); }

// A scan request for a UNC path (quotes and backslashes JSON-escaped).
inline std::string scanRequest(const std::string& uncPath, const std::string& opCode = "1",
                               const std::string& avType = "0") {
  std::string path;
  for (char c : uncPath) path += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
  return "{\"opCode\": \"" + opCode + "\", \"avType\": \"" + avType + "\", \"FilePath\": \"" +
         path + "\"}\r\n\r\n";
}

#ifndef _WIN32
// A copy of /bin/sleep running under its own file name; killed on destruction.
class NamedProcess {
 public:
  explicit NamedProcess(const std::string& name) {
    std::string dir = avtest::scratchRoot() + "/bin", path = dir + "/" + name;
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing);
    pid_ = avtest::spawn(path, {"300"}, -1, "/dev/null", "/dev/null", nullptr);
    // Wait until the exec has happened, so /proc shows the new image.
    std::string link = "/proc/" + std::to_string(pid_) + "/exe";
    std::error_code ec;
    auto want = std::filesystem::canonical(path);
    for (int i = 0; i < 500 && std::filesystem::read_symlink(link, ec) != want; ++i) usleep(2000);
  }
  ~NamedProcess() { stop(); }
  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0), pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};
#endif

// A listener (wildcard address, or none when the port cannot be bound; port 0
// picks one). fillBacklog (backlog 0) connects until a connect stays pending,
// so the accept queue drops every further SYN.
class Listener {
 public:
  Listener(NetFamily family, uint16_t port, int backlog = 64) {
    NetStep step;
    int p = 0;
    ok_ = net_Listen(family, std::to_string(port).c_str(), backlog, &fd_, &step) == 0 && net_LocalPort(fd_, &p) == 0;
    port_ = static_cast<uint16_t>(p);
  }
  ~Listener() { close(); }
  void close() {
    for (int c : fillers_) net_Close(c);
    net_Close(fd_), fd_ = -1, fillers_.clear();
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  bool fillBacklog() {
    std::vector<NetEndpoint> eps;
    if (net_Resolve("127.0.0.1", std::to_string(port_).c_str(), NET_IPV4, &eps) != 0) return false;
    for (int i = 0, c = -1; i < 8 && net_Socket(&eps[0], &c) == 0; ++i) {
      fillers_.push_back(c);
      NetStep step;
      if (net_ConnectWithin(c, &eps[0], 200, &step) == ETIMEDOUT) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  bool ok_ = false;
  std::vector<int> fillers_;
};

}  // namespace jobstest

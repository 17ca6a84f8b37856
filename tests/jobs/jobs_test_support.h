// Fixtures of the job tests: a configuration written into the scratch root and
// loaded, jobs run into a zero-filled result room with a guard zone behind it,
// a process started under a name of its own, and a loopback listener.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "jobs/job_dispatch.h"
#include "runtime/config.h"
#include "support/test_env.h"

namespace jobstest {

struct Vendor {
  std::string name;
  std::string list;
};

inline std::string uncRoot() { return avtest::scratchRoot() + "/unc"; }

// Writes cfg/agentConfig.ini and loads it; true when the load succeeded.
inline bool loadConfig(const std::vector<Vendor>& vendors, int portTimeoutMs = 1000,
                       const std::string& unc = uncRoot()) {
  std::string text =
      "[AGENT_SETTING]\nPort = 5000\nMaxJobNo = 100\nFlowJobNo = 100\nPortConnectTimeOut = " +
      std::to_string(portTimeoutMs) + "\nLogLevel = 4\nUncRoot = " + unc +
      "\n[AV_GENERAL]\nVendorNum = " + std::to_string(vendors.size()) + "\n";
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

// Runs a job into a room of roomSize bytes followed by a guard zone that must
// stay untouched; every pool block the job took must be back afterwards.
template <typename Job>
JobOutcome runJob(Job job, const std::string& request, uint32_t roomSize) {
  std::vector<char> room(roomSize + 64, '\0');
  std::memset(room.data() + roomSize, 0x5A, 64);
  auto before = avtest::poolFreeCounts();
  int rc = job(request.c_str(), room.data(), roomSize);
  EXPECT_EQ(avtest::poolFreeCounts(), before) << "pool blocks not returned: " << request;
  for (size_t i = roomSize; i < room.size(); ++i)
    EXPECT_EQ(room[i], 0x5A) << "result written past its room at " << i;
  return {rc, std::string(room.data(), strnlen(room.data(), roomSize))};
}

inline JobOutcome scanJob(const std::string& request) {
  return runJob(doJob_ScanFile, request, AV_SCAN_RESULT_ROOM);
}
inline JobOutcome statusJob(const std::string& request, uint32_t room = AV_STATUS_RESULT_ROOM) {
  return runJob(doJob_GetEngineStatus, request, room);
}

// JSON string literal of a text (quotes, backslashes escaped).
inline std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

inline std::string scanRequest(const std::string& uncPath, const std::string& opCode = "1",
                               const std::string& avType = "0") {
  return "{\"opCode\": \"" + opCode + "\", \"avType\": \"" + avType +
         "\", \"FilePath\": " + jsonString(uncPath) + "}\r\n\r\n";
}

// A copy of /bin/sleep running under its own file name; killed on destruction.
class NamedProcess {
 public:
  explicit NamedProcess(const std::string& name) {
    std::string dir = avtest::scratchRoot() + "/bin";
    std::filesystem::create_directories(dir);
    path_ = dir + "/" + name;
    std::filesystem::copy_file("/bin/sleep", path_,
                               std::filesystem::copy_options::overwrite_existing);
    pid_ = fork();
    if (pid_ == 0) {
      execl(path_.c_str(), name.c_str(), "300", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Wait until the exec has happened, so /proc shows the new image.
    std::string want = std::filesystem::canonical(path_).string();
    for (int i = 0; i < 500; ++i) {
      char buf[4096];
      std::string link = "/proc/" + std::to_string(pid_) + "/exe";
      ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
      if (n > 0 && std::string(buf, static_cast<size_t>(n)) == want) break;
      usleep(2000);
    }
  }
  ~NamedProcess() { stop(); }
  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  NamedProcess(const NamedProcess&) = delete;
  NamedProcess& operator=(const NamedProcess&) = delete;

 private:
  std::string path_;
  pid_t pid_ = -1;
};

// A listener on port 445 of a loopback address; ok() false when it cannot bind.
class Listener {
 public:
  Listener(int family, uint16_t port, int backlog = 64) {
    fd_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    int rc;
    if (family == AF_INET6) {
      setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
      sockaddr_in6 sa{};
      sa.sin6_family = AF_INET6;
      sa.sin6_addr = in6addr_loopback;
      sa.sin6_port = htons(port);
      rc = bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    } else {
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sa.sin_port = htons(port);
      rc = bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    }
    ok_ = rc == 0 && listen(fd_, backlog) == 0;
  }
  ~Listener() {
    for (int c : fillers_) close(c);
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  // Connects to 127.0.0.1:port without accepting until the accept queue is
  // full: further SYNs are then dropped, so a new connect stays pending.
  bool fillBacklog(uint16_t port) {
    for (int i = 0; i < 8; ++i) {
      int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sa.sin_port = htons(port);
      connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
      fillers_.push_back(c);
      pollfd p{c, POLLOUT, 0};
      if (poll(&p, 1, 200) == 0) return true;  // this one is left pending
    }
    return false;
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::vector<int> fillers_;
};

}  // namespace jobstest

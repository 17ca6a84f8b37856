// Harness for end-to-end tests: spawns the agent binary from a throw-away
// installation root and the client tool, with bounded waits everywhere so a
// hung process fails a test instead of the run.
#include "support/agent_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace avtest {
namespace {

using Clock = std::chrono::steady_clock;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// argv built before fork: the child of a threaded process must not allocate.
std::vector<char*> makeArgv(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Child side of a spawn: reset what the test process may have changed, close
// every inherited descriptor above stderr, exec.
[[noreturn]] void execChild(char* const* argv) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  execv(argv[0], argv);
  _exit(127);
}

struct Section {
  std::string name;
  std::vector<std::pair<std::string, std::optional<std::string>>> keys;
};

std::vector<Section> defaultConfig(int port, const std::string& root) {
  return {
      {"AGENT_SETTING",
       {{"Port", std::to_string(port)},
        {"IcapPort", "1344"},
        {"MaxJobNo", "100"},
        {"FlowJobNo", "100"},
        {"PortConnectTimeOut", "1000"},
        {"LogFileNum", "100"},
        {"LogLevel", "4"},
        {"UncRoot", root + "/unc"},
        {"Pwd", "null"}}},
      {"AV_GENERAL", {{"VendorNum", "1"}}},
      {"AV_VENDOR1", {{"VendorName", "ClamAV"}, {"ProcessNameList", "clamd,clamonacc"}}},
  };
}

// Local IPv4 / IPv6 listeners on port, from /proc/net/tcp{,6} (state 0A).
bool listensOn(const char* table, int port) {
  std::ifstream in(table);
  std::string line;
  char want[8];
  std::snprintf(want, sizeof(want), ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0)
      return true;
  }
  return false;
}

}  // namespace

int freeTcpPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    // A dual-stack socket bound to port 0 gets a port free on both families.
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) break;
    int off = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    socklen_t len = sizeof(a);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin6_port);
    close(fd);
    if (port > 0) return port;
  }
  return 0;
}

AgentProcess::AgentProcess(const ConfigOverrides& overrides) {
  char tmpl[] = "/tmp/avagent-e2e.XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) return;
  root_ = dir;
  fs::create_directories(root_ + "/cfg");
  fs::create_directories(root_ + "/unc");
  std::error_code ec;
  fs::create_hard_link(AV_AGENT_BIN, root_ + "/avagent", ec);
  if (ec) fs::copy_file(AV_AGENT_BIN, root_ + "/avagent", ec);
  port_ = freeTcpPort();
  writeConfig(overrides);
}

AgentProcess::~AgentProcess() {
  if (pid_ > 0 && !exitCode_) kill();
  if (stdinFd_ >= 0) close(stdinFd_);
  if (!root_.empty() && !getenv("AV_KEEP_TEST_ROOT")) {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
}

void AgentProcess::writeConfig(const ConfigOverrides& overrides) {
  auto sections = defaultConfig(port_, root_);
  for (const auto& [entry, value] : overrides) {
    std::string section = "AGENT_SETTING", key = entry;
    if (auto slash = entry.find('/'); slash != std::string::npos) {
      section = entry.substr(0, slash);
      key = entry.substr(slash + 1);
    }
    auto sec = std::find_if(sections.begin(), sections.end(),
                            [&](const Section& s) { return s.name == section; });
    if (sec == sections.end()) {
      sections.push_back({section, {}});
      sec = sections.end() - 1;
    }
    auto k = std::find_if(sec->keys.begin(), sec->keys.end(),
                          [&](const auto& kv) { return kv.first == key; });
    if (k == sec->keys.end())
      sec->keys.emplace_back(key, value);
    else
      k->second = value;
  }
  std::ostringstream text;
  for (const auto& s : sections) {
    text << "[" << s.name << "]\n";
    for (const auto& [k, v] : s.keys)
      if (v) text << k << "=" << *v << "\n";
    text << "\n";
  }
  // Written next to the file and renamed, so the watcher never reads half of it.
  const std::string tmp = root_ + "/cfg/.agentConfig.ini.new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text.str();
  }
  fs::rename(tmp, cfgPath());
}

bool AgentProcess::start(bool waitReady, int readyTimeoutMs) {
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  const std::string bin = root_ + "/avagent";
  const std::string outPath = root_ + "/stdout.txt", errPath = root_ + "/stderr.txt";
  auto argv = makeArgv(bin, {});
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    dup2(in[0], 0);
    int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o >= 0) dup2(o, 1);
    if (e >= 0) dup2(e, 2);
    if (chdir("/") != 0) _exit(126);
    execChild(argv.data());
  }
  close(in[0]);
  stdinFd_ = in[1];
  exitCode_.reset();
  if (!waitReady) return true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(readyTimeoutMs);
  while (Clock::now() < deadline) {
    if (!running()) return false;
    if (listensOn("/proc/net/tcp", port_) && listensOn("/proc/net/tcp6", port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool AgentProcess::running() {
  if (pid_ <= 0 || exitCode_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    exitCode_ = decodeStatus(status);
    return false;
  }
  return r == 0;
}

std::optional<int> AgentProcess::waitExit(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (!running()) return exitCode_;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string AgentProcess::logText() const {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root_ + "/log", ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& f : files) all += slurp(f.string());
  return all;
}

std::string AgentProcess::stderrText() const { return slurp(root_ + "/stderr.txt"); }

bool AgentProcess::waitForLog(const std::string& text, int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (logText().find(text) != std::string::npos) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void AgentProcess::sendLine(const std::string& line) {
  if (stdinFd_ < 0) return;
  const std::string data = line + "\n";
  ssize_t n = ::write(stdinFd_, data.data(), data.size());
  (void)n;
}

void AgentProcess::signal(int sig) {
  if (pid_ > 0 && !exitCode_) ::kill(pid_, sig);
}

void AgentProcess::kill() {
  signal(SIGKILL);
  waitExit(10000);
}

ClientResult runProgram(const std::string& path, const std::vector<std::string>& args,
                        int timeoutMs) {
  ClientResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  auto argv = makeArgv(path, args);
  pid_t pid = fork();
  if (pid == 0) {
    int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execChild(argv.data());
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return result;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool open[2] = {true, true};
  int fds[2] = {out[0], err[0]};
  std::string* sinks[2] = {&result.out, &result.err};
  bool killed = false;
  while (open[0] || open[1]) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p[2];
    nfds_t n = 0;
    int which[2];
    for (int i = 0; i < 2; ++i)
      if (open[i]) {
        which[n] = i;
        p[n++] = {fds[i], POLLIN, 0};
      }
    if (poll(p, n, static_cast<int>(left.count())) <= 0) continue;
    for (nfds_t j = 0; j < n; ++j) {
      if (!p[j].revents) continue;
      char buf[4096];
      ssize_t r = read(p[j].fd, buf, sizeof(buf));
      if (r > 0)
        sinks[which[j]]->append(buf, static_cast<size_t>(r));
      else if (r == 0 || (errno != EINTR && errno != EAGAIN))
        open[which[j]] = false;
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = killed ? -1 : decodeStatus(status);
  return result;
}

ClientResult runClient(const std::vector<std::string>& args, int timeoutMs) {
  return runProgram(AV_CLIENT_BIN, args, timeoutMs);
}

}  // namespace avtest

// Spawns the agent from a throw-away installation root and runs the client,
// with bounded waits everywhere so a hung process fails a test, not the run.
#include "support/agent_process.h"

#include "support/test_env.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace avtest {
namespace {

using Clock = std::chrono::steady_clock;

// Polls until pred() or timeoutMs passed; the last answer.
template <class Pred>
bool waitUntil(int timeoutMs, int stepMs, Pred pred) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (pred()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
}

// The exit code once pid ended (128 + n for signal n), else nullopt.
std::optional<int> reaped(int pid) {
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Forks path with stdin, stdout and stderr on these files; the child resets
// what the test process changed and closes inherited descriptors. argv and
// the names are made before the fork: the child of a threaded process must
// not allocate.
int spawn(const std::string& path, const std::vector<std::string>& args, int in, const std::string& out,
          const std::string& err, const char* cwd) {
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (const int pid = fork(); pid != 0) return pid;
  dup2(in >= 0 ? in : open("/dev/null", O_RDONLY), 0);
  dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  if (cwd && chdir(cwd) != 0) _exit(126);
  execv(argv[0], argv.data());
  _exit(127);
}

// A listener on port in /proc/net/tcp{,6} (state 0A).
bool listensOn(const char* table, int port) {
  std::ifstream in(table);
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0) return true;
  }
  return false;
}

}  // namespace

int freeTcpPort() {
  // A dual-stack socket bound to port 0 gets a port free on both families.
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  int off = 0, port = 0;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin6_port);
  close(fd);
  return port;
}

AgentProcess::AgentProcess(const ConfigOverrides& overrides) {
  char tmpl[] = "/tmp/avagent-e2e.XXXXXX";
  if (!mkdtemp(tmpl)) return;
  root_ = tmpl;
  fs::create_directories(root_ + "/cfg");
  fs::create_directories(root_ + "/unc");
  std::error_code ec;
  fs::create_hard_link(AV_AGENT_BIN, root_ + "/avagent", ec);
  if (ec) fs::copy_file(AV_AGENT_BIN, root_ + "/avagent", ec);
  port_ = freeTcpPort();
  writeConfig(overrides);
}

AgentProcess::~AgentProcess() {
  signal(SIGKILL);
  waitExit(10000);
  if (stdinFd_ >= 0) close(stdinFd_);
  std::error_code ec;
  if (!root_.empty() && !getenv("AV_KEEP_TEST_ROOT")) fs::remove_all(root_, ec);
}

void AgentProcess::writeConfig(const ConfigOverrides& overrides) {
  std::vector<std::pair<std::string, std::optional<std::string>>> entries = {
      {"AGENT_SETTING/Port", portText()}, {"AGENT_SETTING/IcapPort", "1344"}, {"AGENT_SETTING/MaxJobNo", "100"},
      {"AGENT_SETTING/FlowJobNo", "100"}, {"AGENT_SETTING/PortConnectTimeOut", "1000"},
      {"AGENT_SETTING/LogFileNum", "100"}, {"AGENT_SETTING/LogLevel", "4"}, {"AGENT_SETTING/UncRoot", root_ + "/unc"},
      {"AGENT_SETTING/Pwd", "null"}, {"AV_GENERAL/VendorNum", "1"}, {"AV_VENDOR1/VendorName", "ClamAV"},
      {"AV_VENDOR1/ProcessNameList", "clamd,clamonacc"}};
  for (const auto& [name, value] : overrides) {
    const std::string entry = name.find('/') == std::string::npos ? "AGENT_SETTING/" + name : name;
    auto e = std::find_if(entries.begin(), entries.end(), [&](const auto& kv) { return kv.first == entry; });
    e == entries.end() ? void(entries.emplace_back(entry, value)) : void(e->second = value);
  }
  std::vector<std::string> sections;  // in order of first appearance
  for (const auto& [entry, value] : entries)
    if (std::find(sections.begin(), sections.end(), entry.substr(0, entry.find('/'))) == sections.end())
      sections.push_back(entry.substr(0, entry.find('/')));
  const std::string tmp = root_ + "/cfg/.agentConfig.ini.new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (const auto& sec : sections) {
      out << "[" << sec << "]\n";
      for (const auto& [entry, value] : entries)
        if (value && entry.compare(0, sec.size() + 1, sec + "/") == 0) out << entry.substr(sec.size() + 1) << "=" << *value << "\n";
    }
  }
  fs::rename(tmp, cfgPath());  // the watcher never reads half of it
}

bool AgentProcess::start(bool waitReady, int readyTimeoutMs) {
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  pid_ = spawn(root_ + "/avagent", {}, in[0], root_ + "/stdout.txt", root_ + "/stderr.txt", "/");
  close(in[0]);
  stdinFd_ = in[1];
  exitCode_.reset();
  if (pid_ < 0) return false;
  if (!waitReady) return true;
  waitUntil(readyTimeoutMs, 20, [&] {
    return !running() || (listensOn("/proc/net/tcp", port_) && listensOn("/proc/net/tcp6", port_));
  });
  return running() && listensOn("/proc/net/tcp", port_) && listensOn("/proc/net/tcp6", port_);
}

bool AgentProcess::running() { return pid_ > 0 && !exitCode_ && !(exitCode_ = reaped(pid_)); }

std::optional<int> AgentProcess::waitExit(int ms) { return waitUntil(ms, 10, [&] { return !running(); }), exitCode_; }

std::string AgentProcess::logText() const {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root_ + "/log", ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& f : files) all += readFile(f.string());
  return all;
}

std::string AgentProcess::stderrText() const { return readFile(root_ + "/stderr.txt"); }

bool AgentProcess::waitForLog(const std::string& text, int timeoutMs) const {
  return waitUntil(timeoutMs, 50, [&] { return logText().find(text) != std::string::npos; });
}

void AgentProcess::sendLine(const std::string& line) {
  const std::string data = line + "\n";
  if (::write(stdinFd_, data.data(), data.size()) < 0) return;  // a failed write shows in the test
}

void AgentProcess::signal(int sig) {
  if (running()) ::kill(pid_, sig);
}

ClientResult runProgram(const std::string& path, const std::vector<std::string>& args, int timeoutMs) {
  ClientResult result;
  char dir[] = "/tmp/avtest-run.XXXXXX";
  if (!mkdtemp(dir)) return result;
  const std::string out = std::string(dir) + "/out", err = std::string(dir) + "/err";
  const int pid = spawn(path, args, -1, out, err, nullptr);
  std::optional<int> code;
  if (pid > 0 && !waitUntil(timeoutMs, 5, [&] { return (code = reaped(pid)).has_value(); })) {
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  result.exitCode = code.value_or(-1);
  result.out = readFile(out);
  result.err = readFile(err);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return result;
}

}  // namespace avtest

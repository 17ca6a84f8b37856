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
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace avtest {
namespace {

using Clock = std::chrono::steady_clock;

template <class Pred>
bool waitUntil(int timeoutMs, int stepMs, Pred pred) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(stepMs)))
    if (Clock::now() >= deadline) return false;
  return true;
}

std::optional<int> reaped(int pid) {
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool listensOn(const char* table, int port) {  // state 0A in /proc/net/tcp{,6}
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

// The child resets what the test process changed and closes inherited
// descriptors; it must not allocate (the parent has threads).
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
  sigprocmask(SIG_SETMASK, (sigemptyset(&none), &none), nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  if (cwd && chdir(cwd) != 0) _exit(126);
  execv(argv[0], argv.data());
  _exit(127);
}

int freeTcpPort() {
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
  fs::create_directories(root_ + "/cfg"), fs::create_directories(root_ + "/unc");
  std::error_code ec;
  fs::create_hard_link(AV_AGENT_BIN, root_ + "/avagent", ec);
  if (ec) fs::copy_file(AV_AGENT_BIN, root_ + "/avagent", ec);
  port_ = freeTcpPort();
  writeConfig(overrides);
}

AgentProcess::~AgentProcess() {
  signal(SIGKILL), waitExit(10000);
  if (stdinFd_ >= 0) close(stdinFd_);
  std::error_code ec;
  if (!root_.empty() && !getenv("AV_KEEP_TEST_ROOT")) fs::remove_all(root_, ec);
}

void AgentProcess::writeConfig(const ConfigOverrides& overrides) {
  ConfigOverrides all = {  // "SEC/Key" sorts each section's keys together
      {"AGENT_SETTING/Port", portText()}, {"AGENT_SETTING/IcapPort", "1344"}, {"AGENT_SETTING/MaxJobNo", "100"},
      {"AGENT_SETTING/FlowJobNo", "100"}, {"AGENT_SETTING/PortConnectTimeOut", "1000"},
      {"AGENT_SETTING/LogFileNum", "100"}, {"AGENT_SETTING/LogLevel", "4"}, {"AGENT_SETTING/UncRoot", root_ + "/unc"},
      {"AGENT_SETTING/Pwd", "null"}, {"AV_GENERAL/VendorNum", "1"}, {"AV_VENDOR1/VendorName", "ClamAV"},
      {"AV_VENDOR1/ProcessNameList", "clamd,clamonacc"}};
  for (const auto& [name, value] : overrides) all[name.find('/') == std::string::npos ? "AGENT_SETTING/" + name : name] = value;
  std::string text, section;
  for (const auto& [entry, value] : all) {
    if (entry.compare(0, entry.find('/'), section) != 0) text += "[" + (section = entry.substr(0, entry.find('/'))) + "]\n";
    if (value) text += entry.substr(section.size() + 1) + "=" + *value + "\n";
  }
  writeFile(root_ + "/cfg/.agentConfig.ini.new", text);
  fs::rename(root_ + "/cfg/.agentConfig.ini.new", cfgPath());  // the watcher never reads half of it
}

bool AgentProcess::start(bool waitReady, int readyTimeoutMs) {
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  pid_ = spawn(root_ + "/avagent", {}, in[0], root_ + "/stdout.txt", root_ + "/stderr.txt", "/");
  close(in[0]), exitCode_.reset();
  stdinFd_ = in[1];
  auto ready = [&] { return listensOn("/proc/net/tcp", port_) && listensOn("/proc/net/tcp6", port_); };
  if (pid_ < 0 || !waitReady) return pid_ >= 0;
  waitUntil(readyTimeoutMs, 20, [&] { return !running() || ready(); });
  return running() && ready();
}

bool AgentProcess::running() { return pid_ > 0 && !exitCode_ && !(exitCode_ = reaped(pid_)); }

std::optional<int> AgentProcess::waitExit(int ms) { return waitUntil(ms, 10, [&] { return !running(); }), exitCode_; }

std::string AgentProcess::logText() const {
  std::set<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root_ + "/log", ec)) files.insert(e.path());
  std::string all;
  for (const auto& f : files) all += readFile(f.string());
  return all;
}

std::string AgentProcess::stderrText() const { return readFile(root_ + "/stderr.txt"); }

bool AgentProcess::waitForLog(const std::string& text, int timeoutMs) const {
  return waitUntil(timeoutMs, 50, [&] { return logText().find(text) != std::string::npos; });
}

void AgentProcess::sendLine(const std::string& line) {
  if (::write(stdinFd_, (line + "\n").data(), line.size() + 1) < 0) return;  // shows in the test
}

void AgentProcess::closeStdin() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

void AgentProcess::signal(int sig) { running() && ::kill(pid_, sig); }

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
  result = {code.value_or(-1), readFile(out), readFile(err)};
  std::error_code ec;
  fs::remove_all(dir, ec);
  return result;
}

}  // namespace avtest

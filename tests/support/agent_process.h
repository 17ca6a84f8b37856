// End-to-end harness: a real avagent in a temporary installation root (a hard
// link or copy of AV_AGENT_BIN, cfg/agentConfig.ini, stdout.txt, stderr.txt),
// and a runner for avagent-client. The default configuration works: a free
// Port, MaxJobNo and FlowJobNo 100, PortConnectTimeOut 1000, LogLevel 4,
// UncRoot <root>/unc, one vendor. Override keys are AGENT_SETTING keys unless
// written "SECTION/Key"; std::nullopt leaves the key out. The destructor kills
// a running agent and removes the root (kept when AV_KEEP_TEST_ROOT is set).
#pragma once
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace avtest {

using ConfigOverrides = std::map<std::string, std::optional<std::string>>;

int freeTcpPort();  // free on both IPv4 and IPv6 right now

class AgentProcess {
 public:
  explicit AgentProcess(const ConfigOverrides& overrides = {});
  AgentProcess(std::initializer_list<ConfigOverrides::value_type> o) : AgentProcess(ConfigOverrides(o)) {}
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // stdin a pipe, cwd "/"; waitReady: until both listeners show in /proc/net
  // (no connection spent). False when it exited or was not ready in time.
  bool start(bool waitReady = true, int readyTimeoutMs = 20000);
  bool running();
  int port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }
  const std::string& root() const { return root_; }
  std::string cfgPath() const { return root_ + "/cfg/agentConfig.ini"; }
  // Rewrites the configuration (renamed into place; a running agent reloads it).
  void writeConfig(const ConfigOverrides& overrides);
  std::string logText() const;  // every log file, in name order
  std::string stderrText() const;
  bool waitForLog(const std::string& text, int timeoutMs = 10000) const;
  void sendLine(const std::string& line);  // line + "\n" to stdin
  void sendQuit() { sendLine("/quit"); }
  void signal(int sig);
  // Exit code (128 + n for signal n); nullopt while still running after timeoutMs.
  std::optional<int> waitExit(int timeoutMs);

 private:
  std::string root_;
  int port_ = 0;
  int pid_ = -1;
  int stdinFd_ = -1;
  std::optional<int> exitCode_;
};

struct ClientResult {
  int exitCode = -1;  // -1 when killed after the time-out
  std::string out, err;
};
// Runs a program (argv[0] = path), stdin /dev/null; killed after timeoutMs.
ClientResult runProgram(const std::string& path, const std::vector<std::string>& args, int timeoutMs = 30000);
inline ClientResult runClient(const std::vector<std::string>& args, int timeoutMs = 30000) {
  return runProgram(AV_CLIENT_BIN, args, timeoutMs);
}

}  // namespace avtest

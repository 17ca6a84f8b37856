// A real avagent in a temporary installation root with a working configuration
// (free Port, limits 100, UncRoot <root>/unc, one vendor), and a runner for
// avagent-client. Override keys are AGENT_SETTING keys unless "SECTION/Key";
// std::nullopt leaves the key out. The root goes with the object unless
// AV_KEEP_TEST_ROOT is set.
#pragma once
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace avtest {

using ConfigOverrides = std::map<std::string, std::optional<std::string>>;

int freeTcpPort();  // free on both IPv4 and IPv6 right now
// Starts path with args, standard input from in (-1: /dev/null), the outputs into
// files, in cwd (null: this one); the pid, -1 when it could not fork.
int spawn(const std::string& path, const std::vector<std::string>& args, int in, const std::string& out,
          const std::string& err, const char* cwd);

class AgentProcess {
 public:
  explicit AgentProcess(const ConfigOverrides& overrides = {});
  AgentProcess(std::initializer_list<ConfigOverrides::value_type> o) : AgentProcess(ConfigOverrides(o)) {}
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // waitReady: until both listeners show in /proc/net (no connection spent).
  bool start(bool waitReady = true, int readyTimeoutMs = 20000);
  bool running();
  int port() const { return port_; }
  int pid() const { return pid_; }
  std::string portText() const { return std::to_string(port_); }
  const std::string& root() const { return root_; }
  std::string cfgPath() const { return root_ + "/cfg/agentConfig.ini"; }
  // Renamed into place: a running agent reloads it.
  void writeConfig(const ConfigOverrides& overrides);
  std::string logText() const;  // every log file, in name order
  std::string stderrText() const;
  bool waitForLog(const std::string& text, int timeoutMs = 10000) const;
  void sendLine(const std::string& line);  // line + "\n" to stdin
  void closeStdin();  // the agent then reads end of file, as under a service manager
  void signal(int sig);
  // Exit code (128 + n for signal n); nullopt while still running.
  std::optional<int> waitExit(int timeoutMs);

 private:
  std::string root_;
  int port_ = 0, pid_ = -1, stdinFd_ = -1;
  std::optional<int> exitCode_;
};

struct ClientResult {
  int exitCode = -1;  // -1 when killed after the time-out
  std::string out, err;
};
// stdin /dev/null; killed after timeoutMs.
ClientResult runProgram(const std::string& path, const std::vector<std::string>& args, int timeoutMs = 30000);
inline ClientResult runClient(const std::vector<std::string>& args, int timeoutMs = 30000) {
  return runProgram(AV_CLIENT_BIN, args, timeoutMs);
}

}  // namespace avtest

// End-to-end harness: a real avagent process in a temporary installation root,
// and a runner for the avagent-client tool.
//
//   avtest::AgentProcess agent({{"FlowJobNo", "0"}});   // overrides of the defaults
//   ASSERT_TRUE(agent.start());                          // waits for both listeners
//   auto r = avtest::runClient({"--port", agent.portText(), "job", "2015", "{}"});
//   EXPECT_EQ(r.exitCode, 5);
//   agent.sendQuit();
//   EXPECT_EQ(agent.waitExit(15000), 0);
//
// The root holds a hard link (or copy) of AV_AGENT_BIN, cfg/agentConfig.ini,
// and the agent's stdout.txt / stderr.txt. The default configuration works:
// a free Port, MaxJobNo 100, FlowJobNo 100, PortConnectTimeOut 1000, LogLevel 4,
// UncRoot <root>/unc (created), one vendor. Keys are AGENT_SETTING keys unless
// written "SECTION/Key"; a value of std::nullopt leaves the key out.
// The destructor kills a still running agent and removes the root (kept when
// AV_KEEP_TEST_ROOT is set).
#pragma once
#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace avtest {

using ConfigOverrides = std::map<std::string, std::optional<std::string>>;

// A TCP port that is free on both IPv4 and IPv6 right now.
int freeTcpPort();

class AgentProcess {
 public:
  explicit AgentProcess(const ConfigOverrides& overrides = {});
  AgentProcess(std::initializer_list<ConfigOverrides::value_type> overrides)
      : AgentProcess(ConfigOverrides(overrides)) {}
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // Starts the agent (stdin a pipe, cwd "/"); when waitReady, waits until it
  // listens on the port over IPv4 and IPv6 (read from /proc/net, so no
  // connection is spent on it). False when it exited or was not ready in time.
  bool start(bool waitReady = true, int readyTimeoutMs = 20000);
  bool running();

  int port() const { return port_; }
  std::string portText() const { return std::to_string(port_); }
  const std::string& root() const { return root_; }
  std::string cfgPath() const { return root_ + "/cfg/agentConfig.ini"; }

  // Rewrites cfg/agentConfig.ini from the defaults and these overrides (a
  // running agent's watcher reloads it).
  void writeConfig(const ConfigOverrides& overrides);
  // All log files, in name order, concatenated.
  std::string logText() const;
  std::string stderrText() const;
  // Polls logText() until it contains text; false after timeoutMs.
  bool waitForLog(const std::string& text, int timeoutMs = 10000) const;

  void sendLine(const std::string& line);  // writes line + "\n" to stdin
  void sendQuit() { sendLine("/quit"); }
  void signal(int sig);
  void kill();       // SIGKILL, then reaped
  // Exit code (128 + n for signal n), or nullopt when still running after timeoutMs.
  std::optional<int> waitExit(int timeoutMs);

 private:
  std::string root_;
  int port_ = 0;
  pid_t pid_ = -1;
  int stdinFd_ = -1;
  std::optional<int> exitCode_;
};

struct ClientResult {
  int exitCode = -1;  // -1 when it had to be killed after the time-out
  std::string out;
  std::string err;
};

// Runs AV_CLIENT_BIN with args; kills it after timeoutMs.
ClientResult runClient(const std::vector<std::string>& args, int timeoutMs = 30000);

// Runs any program the same way (argv[0] = path).
ClientResult runProgram(const std::string& path, const std::vector<std::string>& args,
                        int timeoutMs = 30000);

}  // namespace avtest

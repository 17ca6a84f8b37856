// The agent under a service manager, seen from outside: the readiness, liveness
// and stopping messages on the socket NOTIFY_SOCKET names, and the metrics file
// as node_exporter's textfile collector would read it (Debian's
// prometheus_client parser).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/agent_process.h"
#include "support/test_env.h"

namespace {

using avtest::AgentProcess;

// Datagrams that arrive within ms.
void receive(int fd, int ms, std::vector<std::string>* out) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  char buf[512];
  for (pollfd p{fd, POLLIN, 0}; std::chrono::steady_clock::now() < end;)
    if (poll(&p, 1, 50) == 1) out->emplace_back(buf, static_cast<size_t>(recv(fd, buf, sizeof buf, 0)));
}

// Every sample as "name{label=value,...}" (labels sorted) -> value; empty when
// the parser refuses the file.
std::map<std::string, double> scrape(const std::string& path) {
  static const char* kScript =
      "import sys\n"
      "from prometheus_client.parser import text_string_to_metric_families as parse\n"
      "for f in parse(open(sys.argv[1]).read()):\n"
      "  for s in f.samples:\n"
      "    print(s.name + '{' + ','.join(k + '=' + v for k, v in sorted(s.labels.items())) + '}', s.value)\n";
  auto r = avtest::runProgram("/usr/bin/python3", {"-c", kScript, path});
  std::map<std::string, double> samples;
  std::istringstream lines(r.out);
  std::string key;
  double value;
  while (r.exitCode == 0 && lines >> key >> value) samples[key] = value;
  return samples;
}

}  // namespace

TEST(AgentService, ReadyThenWatchdogThenStoppingOnTheNotifySocketAndStdinEofKeepsServing) {
  AgentProcess agent;
  const std::string sockPath = agent.root() + "/notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  sockPath.copy(a.sun_path, sizeof a.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << sockPath;
  setenv("NOTIFY_SOCKET", sockPath.c_str(), 1);
  setenv("WATCHDOG_USEC", "400000", 1);
  const bool started = agent.start();
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  ASSERT_TRUE(started) << agent.stderrText();
  agent.closeStdin();  // as under the manager: end of file is not "/quit"
  std::vector<std::string> seen;
  receive(fd, 2000, &seen);
  EXPECT_TRUE(agent.running());
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.waitExit(15000), 0);
  receive(fd, 300, &seen);
  close(fd);
  ASSERT_GE(seen.size(), 5u);  // READY, every 200 ms a WATCHDOG, STOPPING
  EXPECT_EQ(seen.front(), "READY=1");
  EXPECT_EQ(seen.back(), "STOPPING=1");
  for (size_t i = 1; i + 1 < seen.size(); ++i) EXPECT_EQ(seen[i], "WATCHDOG=1") << i;
}

TEST(AgentService, MetricsFileCountsWhatWasDoneAndIsOnlyEverReplacedWhole) {
  AgentProcess agent;
  const std::string dir = agent.root() + "/metrics";
  const std::string file = dir + "/avagent.prom";
  std::filesystem::create_directories(dir);
  agent.writeConfig({{"MetricsFile", file}});
  int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO), 0);
  ASSERT_TRUE(agent.start()) << agent.stderrText();

  std::filesystem::create_directories(agent.root() + "/unc/srv/share");
  avtest::writeFile(agent.root() + "/unc/srv/share/clean.txt", "clean");
  auto client = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", agent.portText()});
    return avtest::runClient(args).exitCode;
  };
  EXPECT_EQ(client({"job", "2010", R"({"opCode":"0","avType":"0","message":"x","vendorName":"ClamAV"})"}), 0);
  EXPECT_EQ(client({"job", "2015", "{}"}), 5);
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\clean.txt"}), 0);
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\missing.txt"}), 0);
  EXPECT_NE(client({"--key", "Wrong#Key-1234567", "job", "2010", "{}"}), 0);

  // Read over and over while the agent rewrites it: every read must parse.
  std::map<std::string, double> m;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(25);
  while (std::chrono::steady_clock::now() < end &&
         (m["avagent_handshakes_total{result=failed}"] < 1 || m["avagent_connections_open{}"] != 0)) {
    m = scrape(file);
    ASSERT_FALSE(m.empty()) << avtest::readFile(file);
  }
  const std::string version = avtest::runProgram(AV_AGENT_BIN, {"--version"}).out;  // "avagent V\n"
  const std::map<std::string, double> expected = {
      {"avagent_handshakes_total{result=ok}", 4},
      {"avagent_handshakes_total{result=failed}", 1},
      {"avagent_connections_open{}", 0},
      {"avagent_jobs_total{status=100,type=2010}", 1},
      {"avagent_jobs_total{status=203,type=other}", 1},
      {"avagent_jobs_total{status=100,type=2020}", 2},
      {"avagent_scans_total{av_type=0,result=clean}", 1},
      {"avagent_scans_total{av_type=0,result=error}", 1},
      {"avagent_scans_total{av_type=0,result=infected}", 0},
      {"avagent_job_duration_seconds_count{type=2020}", 2},
      {"avagent_job_duration_seconds_bucket{le=+Inf,type=2020}", 2},
      {"avagent_log_write_failures_total{}", 0},
      {"avagent_build_info{version=" + version.substr(8, version.size() - 9) + "}", 1},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(m.count(key) ? m[key] : -1, value) << key;

  // The file's name only ever appears by a rename: never created, opened for
  // writing or written in place, and the temporaries are gone.
  alignas(inotify_event) char buf[8192];
  int moves = 0;
  for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
    for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      if (e->len == 0 || std::string(e->name) != "avagent.prom") continue;
      EXPECT_EQ(e->mask, static_cast<uint32_t>(IN_MOVED_TO));
      ++moves;
    }
  EXPECT_GE(moves, 2);
  close(in);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
  agent.sendQuit();
  EXPECT_EQ(agent.waitExit(15000), 0);
}

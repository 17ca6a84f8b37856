// The agent under a service manager: its messages on the NOTIFY_SOCKET socket, and
// the metrics file as the textfile collector reads it (the prometheus_client parser)
// after client jobs of each kind, whose answers are checked on the way.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>

#include "support/agent_process.h"
#include "support/test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

void receive(int fd, int ms, std::vector<std::string>* out) {  // datagrams within ms
  char buf[512];
  for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;)
    if (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 50) == 1)
      out->emplace_back(buf, static_cast<size_t>(recv(fd, buf, sizeof buf, 0)));
}

// "name{label=value,...}" (labels sorted) -> value; empty when the parser refuses the file.
std::map<std::string, double> scrape(const std::string& path) {
  auto r = avtest::runProgram("/usr/bin/python3", {"-c",
      "import sys\nfrom prometheus_client.parser import text_string_to_metric_families as p\n"
      "for f in p(open(sys.argv[1]).read()):\n  for s in f.samples:\n    print(s.name + '{' + "
      "','.join(k + '=' + v for k, v in sorted(s.labels.items())) + '}', s.value)\n", path});
  std::map<std::string, double> samples;
  std::istringstream lines(r.out);
  std::string key;
  for (double value; r.exitCode == 0 && lines >> key >> value;) samples[key] = value;
  return samples;
}

}  // namespace

TEST(AgentService, ReadyThenWatchdogThenStoppingOnTheNotifySocketAndStdinEofKeepsServing) {
  avtest::AgentProcess agent;
  sockaddr_un a{AF_UNIX, {}};
  (agent.root() + "/notify").copy(a.sun_path, sizeof a.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  setenv("NOTIFY_SOCKET", a.sun_path, 1);
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
  avtest::AgentProcess agent;
  const std::string dir = agent.root() + "/metrics", file = dir + "/avagent.prom";
  std::filesystem::create_directories(dir);
  agent.writeConfig({{"MetricsFile", file}, {"AV_VENDOR1/ProcessNameList", "x.exe,test_e2e"}});  // this process
  int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO), 0);
  ASSERT_TRUE(agent.start()) << agent.stderrText();
  avtest::writeFile(agent.root() + "/unc/srv/share/clean.txt", "clean");
  const std::string running = "status: 100\n{\"status\": \"0\",\"avType\": \"0\",\"isTag\": \"\"}\n";
  const std::string scanned = "{\"status\": \"0\",\"avType\": \"0\",\"result\": \"", keyFile = agent.root() + "/wrong.key";
  avtest::writeFile(keyFile, "Wrong#Key-1234567\n");
  // A script reads a scan's verdict from the exit code and pipes --json output on.
  for (auto [args, code, out] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{"job", "2010", R"({"opCode":"0","avType":"0","message":"x","vendorName":"ClamAV"})"}, 0, running},
           {{"status", "--vendor", "CLAMAV"}, 0, running}, {{"job", "2015", "{}"}, 5, ""},
           {{"--json", "scan", "\\\\srv\\share\\clean.txt"}, 0, scanned + "0\",\"isTag\": \"\"}\n"},
           {{"--json", "scan", "\\\\srv\\share\\missing.txt"}, 10, scanned + "2\",\"isTag\": \"\"}\n"},
           {{"--json", "scan", "\\\\srv\\none\\gone.txt"}, 10, scanned + "3\",\"isTag\": \"\"}\n"},
           {{"--json", "scan", "\\\\srv\\share"}, 11, scanned + "5\",\"isTag\": \"\"}\n"},
           {{"job", "2020", "not json"}, 4, ""}, {{"--key", "Wrong#Key-1234567", "job", "2010", "{}"}, 2, ""},
           {{"--key-file", keyFile, "job", "2015", "{}"}, 2, ""}}) {
    args.insert(args.begin(), {"--port", agent.portText()});
    const auto r = avtest::runClient(args);
    EXPECT_EQ(r.exitCode, code) << args[2];
    EXPECT_TRUE(out.empty() || r.out == out) << r.out;
  }
  EXPECT_TRUE(agent.waitForLog("Scan of \\\\srv\\share\\missing.txt: not found (2)."));
  // Read over and over while the agent rewrites it: every read must parse.
  std::map<std::string, double> m;
  for (auto end = Clock::now() + std::chrono::seconds(25); Clock::now() < end &&
       (m["avagent_handshakes_total{result=failed}"] < 2 || m["avagent_connections_open{}"] != 0);) {
    m = scrape(file);
    ASSERT_FALSE(m.empty()) << avtest::readFile(file);
  }
  const std::string version = avtest::runProgram(AV_AGENT_BIN, {"--version"}).out;  // "avagent V\n"
  for (const auto& [key, value] : std::map<std::string, double>{
           {"avagent_handshakes_total{result=ok}", 8}, {"avagent_handshakes_total{result=failed}", 2},
           {"avagent_connections_open{}", 0}, {"avagent_jobs_total{status=100,type=2010}", 2}, {"avagent_jobs_total{status=201,type=2020}", 1},
           {"avagent_jobs_total{status=203,type=other}", 1}, {"avagent_jobs_total{status=100,type=2020}", 4},
           {"avagent_scans_total{av_type=0,result=clean}", 1}, {"avagent_scans_total{av_type=0,result=error}", 3},
           {"avagent_job_duration_seconds_bucket{le=+Inf,type=2020}", 5},
           {"avagent_build_info{version=" + version.substr(8, version.size() - 9) + "}", 1}})
    EXPECT_EQ(m.count(key) ? m[key] : -1, value) << key;
  // The file's name only ever appears by a rename (never created, opened for
  // writing or written in place), and no temporary is left behind.
  alignas(inotify_event) char buf[8192];
  int moves = 0;
  for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
    for (auto* e = reinterpret_cast<inotify_event*>(buf); reinterpret_cast<char*>(e) < buf + n;
         e = reinterpret_cast<inotify_event*>(reinterpret_cast<char*>(e + 1) + e->len))
      if (e->len != 0 && std::string(e->name) == "avagent.prom")
        moves += e->mask == IN_MOVED_TO ? 1 : 1000;
  EXPECT_TRUE(moves >= 2 && moves < 1000) << moves;
  close(in);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

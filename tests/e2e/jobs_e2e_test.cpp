// A scan and a status job through the real agent and the client: UncRoot is
// the agent root's unc/ folder, the engine is a copy of sleep the test starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/agent_process.h"
#include "support/test_env.h"

namespace {

TEST(JobsE2E, ScanAndStatusJobs) {
  std::string eng = "avje" + std::to_string(getpid()) + "eng";
  avtest::AgentProcess agent(avtest::ConfigOverrides{{"AV_GENERAL/VendorNum", "2"},
                                                     {"AV_VENDOR2/VendorName", "OwnEngine"},
                                                     {"AV_VENDOR2/ProcessNameList", "other.exe," + eng}});
  ASSERT_TRUE(agent.start());
  auto client = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", agent.portText()});
    return avtest::runClient(args);
  };
  std::filesystem::create_directories(agent.root() + "/unc/srv/share/dir");
  avtest::writeFile(agent.root() + "/unc/srv/share/dir/clean.txt", "clean");
  auto r = client({"scan", "\\\\srv\\share\\dir\\clean.txt"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "status: 100\n{\"status\": \"0\",\"avType\": \"0\",\"result\": \"0\",\"isTag\": \"\"}\n");
  EXPECT_EQ(client({"job", "2020", "not json"}).exitCode, 4);  // answered 201, the agent serves on

  const std::string running = "status: 100\n{\"status\": \"0\",\"avType\": \"0\",\"isTag\": \"\"}\n";
  std::string path = agent.root() + "/" + eng;
  std::filesystem::copy_file("/bin/sleep", path);
  pid_t pid = fork();
  if (pid == 0) {
    execl(path.c_str(), eng.c_str(), "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  bool seen = false;  // wait for the exec to show in /proc
  for (int i = 0; i < 100 && !(seen = client({"status", "--vendor", "OWNENGINE"}).out == running); ++i) usleep(50000);
  EXPECT_TRUE(seen);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(client({"status", "--vendor", "ownengine"}).out,
            "status: 100\n{\"status\": \"1\",\"avType\": \"0\",\"isTag\": \"\"}\n");
  agent.sendQuit();
  EXPECT_EQ(agent.waitExit(15000), 0);
}

}  // namespace

// Scan and status jobs through the real agent and the client: UncRoot is the
// agent root's unc/ folder, engine processes are copies of sleep started by
// the test, and port 445 listeners are opened on loopback when possible.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/agent_process.h"
#include "support/test_env.h"

namespace {

std::string answer(int status, int result) {
  return "status: 100\n{\"status\": \"" + std::to_string(status) +
         "\",\"avType\": \"0\",\"result\": \"" + std::to_string(result) + "\",\"isTag\": \"\"}\n";
}

class JobsE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    eng_ = "avje" + std::to_string(getpid()) + "eng";
    agent_ = std::make_unique<avtest::AgentProcess>(avtest::ConfigOverrides{
        {"AV_GENERAL/VendorNum", "2"},
        {"AV_VENDOR2/VendorName", "OwnEngine"},
        {"AV_VENDOR2/ProcessNameList", "other.exe," + eng_}});
    ASSERT_TRUE(agent_->start());
    share_ = agent_->root() + "/unc/srv/share";
    std::filesystem::create_directories(share_ + "/dir");
    avtest::writeFile(share_ + "/dir/clean.txt", "clean");
  }
  void TearDown() override {
    if (agent_ && agent_->running()) {
      agent_->sendQuit();
      EXPECT_EQ(agent_->waitExit(15000), 0);
    }
  }
  avtest::ClientResult client(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", agent_->portText()});
    return avtest::runClient(args);
  }
  std::string eng_;
  std::string share_;
  std::unique_ptr<avtest::AgentProcess> agent_;
};

TEST_F(JobsE2E, TriggerScans) {
  auto r = client({"scan", "\\\\srv\\share\\dir\\clean.txt"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, answer(0, 0));
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\dir\\missing.txt"}).out, answer(0, 2));
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\nodir\\x.txt"}).out, answer(0, 3));
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\dir"}).out, answer(0, 5));
  avtest::writeFile(agent_->root() + "/secret.txt", "x");
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\..\\..\\..\\secret.txt"}).out, answer(0, 123));
  std::string utf8 = "\xC3\xA9t\xC3\xA9.txt";
  avtest::writeFile(share_ + "/dir/" + utf8, "x");
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\dir\\" + utf8}).out, answer(0, 0));
  ASSERT_EQ(mkfifo((share_ + "/dir/fifo").c_str(), 0600), 0);
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\dir\\fifo"}).out, answer(0, 0));
  // Raw JSON with escaped slashes, and a request that is not JSON (answered 201).
  auto raw = client({"job", "2020",
                     R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\/share\/dir\\clean.txt"})"});
  EXPECT_EQ(raw.out, answer(0, 0));
  auto bad = client({"job", "2020", "not json"});
  EXPECT_EQ(bad.exitCode, 4);
  // The agent keeps serving.
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\dir\\clean.txt"}).out, answer(0, 0));
}

TEST_F(JobsE2E, FanotifyDenial) {
  avtest::writeFile(share_ + "/dir/eicar.txt", "bad");
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    std::string tool = std::string(AV_TEST_TOOLS_DIR) + "/fanotify_blocker";
    execl(tool.c_str(), "fanotify_blocker", (share_ + "/dir").c_str(),
          (share_ + "/dir/eicar.txt").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  char buf[16] = {0};
  pollfd p{out[0], POLLIN, 0};
  ssize_t n = poll(&p, 1, 5000) == 1 ? read(out[0], buf, sizeof(buf) - 1) : 0;
  close(out[0]);
  if (n <= 0 || std::string(buf).rfind("ready", 0) != 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    GTEST_SKIP() << "fanotify permission events are not available here";
  }
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\dir\\eicar.txt"}).out, answer(0, 225));
  EXPECT_EQ(client({"scan", "\\\\srv\\share\\dir\\clean.txt"}).out, answer(0, 0));
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

TEST_F(JobsE2E, EngineStatus) {
  const std::string stopped = "status: 100\n{\"status\": \"1\",\"avType\": \"0\",\"isTag\": \"\"}\n";
  const std::string running = "status: 100\n{\"status\": \"0\",\"avType\": \"0\",\"isTag\": \"\"}\n";
  EXPECT_EQ(client({"status", "--vendor", "ownengine"}).out, stopped);
  std::string path = agent_->root() + "/" + eng_;
  std::filesystem::copy_file("/bin/sleep", path);
  pid_t pid = fork();
  if (pid == 0) {
    execl(path.c_str(), eng_.c_str(), "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(100000);
  EXPECT_EQ(client({"status", "--vendor", "OWNENGINE"}).out, running);
  EXPECT_EQ(client({"job", "2010", R"({"opCode":"0","avType":"0","message":")" + eng_ + "\"}"})
                .out,
            running);
  // A vendor added by a configuration write is used without a restart.
  agent_->writeConfig({{"AV_GENERAL/VendorNum", "1"},
                       {"AV_VENDOR1/VendorName", "Renamed"},
                       {"AV_VENDOR1/ProcessNameList", eng_}});
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    seen = client({"status", "--vendor", "renamed"}).out == running;
    if (!seen) usleep(50000);
  }
  EXPECT_TRUE(seen);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(client({"status", "--vendor", "renamed"}).out, stopped);
  // A port nobody answers on (the closed loopback 445, if free) and 17 ports.
  auto lifs = client({"status", "--vendor", "renamed", "--lif", "18446744073709551615=::1"});
  EXPECT_EQ(lifs.exitCode, 0);
  EXPECT_NE(lifs.out.find(R"("lifIpsStatus":[{"lifid":"18446744073709551615","status":")"),
            std::string::npos)
      << lifs.out;
  std::vector<std::string> many = {"status", "--vendor", "renamed"};
  for (int i = 0; i < 17; ++i) many.insert(many.end(), {"--lif", std::to_string(i) + "=::1"});
  EXPECT_EQ(client(many).exitCode, 4);
}

}  // namespace

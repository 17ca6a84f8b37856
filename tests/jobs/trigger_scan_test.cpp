// Scan jobs through the local path, with UncRoot pointing into the scratch
// root: the open's outcome as the storage system sees it, the refusals that
// keep a job inside UncRoot, and the dispatch before the local path.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "jobs/trigger_scan.h"
#include "jobs_test_support.h"
#include "platform/trigger_open.h"
#include "runtime/log.h"

namespace {

using jobstest::scanJob;
using jobstest::scanRequest;

std::string scanText(int status, int result, int avType = 0) {
  return "{\"status\": \"" + std::to_string(status) + "\",\"avType\": \"" +
         std::to_string(avType) + "\",\"result\": \"" + std::to_string(result) +
         "\",\"isTag\": \"\"}";
}

class TriggerScan : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(jobstest::loadConfig({{"Vendor", "x.exe"}}));
    share_ = jobstest::uncRoot() + "/srv/share";
    std::filesystem::create_directories(share_ + "/dir");
    avtest::writeFile(share_ + "/dir/clean.txt", "clean");
    before_ = avtest::poolFreeCounts();
  }
  void TearDown() override { EXPECT_EQ(avtest::poolFreeCounts(), before_); }
  std::string share_;
  std::vector<uint32_t> before_;
};

TEST_F(TriggerScan, OutcomesOfTheOpen) {
  auto r = scanJob(scanRequest("\\\\srv\\share\\dir\\clean.txt"));
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.text, R"({"status": "0","avType": "0","result": "0","isTag": ""})");
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\nope.txt")).text, scanText(0, 2));
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\nodir\\x.txt")).text, scanText(0, 3));
  // A file used as a folder: the path is not found.
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\clean.txt\\x")).text, scanText(0, 3));
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir")).text, scanText(0, 5));
  avtest::LogCapture log;
  scanJob(scanRequest("\\\\srv\\share\\dir\\nope.txt"));
  EXPECT_TRUE(log.contains("CreateFile failed, error code 2.", AVLOG_ERR));
}

TEST_F(TriggerScan, DotComponentsNeverOpened) {
  // A file outside UncRoot that "..": would reach.
  avtest::writeFile(avtest::scratchRoot() + "/outside.txt", "x");
  for (const char* p : {"\\\\srv\\share\\..\\..\\..\\outside.txt", "\\\\..\\outside.txt",
                        "\\\\srv\\share\\.\\dir\\clean.txt", "\\\\srv/share/../share/dir/clean.txt",
                        "\\\\srv\\share\\dir\\.."}) {
    EXPECT_EQ(scanJob(scanRequest(p)).text, scanText(0, 123)) << p;
  }
  // Names that merely contain dots are ordinary names.
  avtest::writeFile(share_ + "/dir/..x", "x");
  avtest::writeFile(share_ + "/dir/.hidden", "x");
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\..x")).text, scanText(0, 0));
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\.hidden")).text, scanText(0, 0));
}

TEST_F(TriggerScan, EscapesAndNames) {
  // Escaped slashes and backslashes arrive as the plain characters.
  std::string req = R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\/share\\dir\/clean.txt"})";
  EXPECT_EQ(scanJob(req).text, scanText(0, 0));
  // A UTF-8 name.
  avtest::writeFile(share_ + "/dir/\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.txt", "x");
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.txt")).text,
            scanText(0, 0));
  // The first character is dropped whatever it is.
  EXPECT_EQ(scanJob(scanRequest("x\\srv\\share\\dir\\clean.txt")).text, scanText(0, 0));
  // Without a separator behind the prefix the name is invalid, and nothing opens.
  EXPECT_EQ(scanJob(scanRequest("\\srv\\share\\dir\\clean.txt")).text, scanText(0, 123));
}

TEST_F(TriggerScan, FifoDoesNotHang) {
  std::string fifo = share_ + "/dir/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\pipe")).text, scanText(0, 0));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST_F(TriggerScan, OpCodeAndAvTypeCombinations) {
  std::string clean = "\\\\srv\\share\\dir\\clean.txt";
  // opCode 0: status shape without ports.
  EXPECT_EQ(scanJob(scanRequest(clean, "0")).text, R"({"status": "0","avType": "0","isTag": ""})");
  // The number and the string behave the same.
  auto asNumber = scanJob(R"({"opCode":1,"avType":0,"FilePath":"\\\\srv\\share\\dir\\clean.txt"})");
  EXPECT_EQ(asNumber.text, scanText(0, 0));
  {
    avtest::LogCapture log;
    auto r = scanJob(scanRequest(clean, "1x"));
    EXPECT_EQ(r.text, scanText(0, 0));
    EXPECT_TRUE(log.contains("Not a numbric str: (1x)."));
  }
  {
    // An avType the engine path does not take: status 1, empty result, job answered.
    avtest::LogCapture log;
    auto r = scanJob(scanRequest(clean, "1", "3"));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.text, "");
    EXPECT_TRUE(log.contains("avEngineType err", AVLOG_ERR));
    EXPECT_TRUE(log.contains("scanFile failed!", AVLOG_ERR));
  }
  {
    avtest::DebugLevel dbg;
    avtest::LogCapture log;
    scanJob(scanRequest(clean));
    EXPECT_TRUE(log.contains("Message not processed.", AVLOG_DBG));
    EXPECT_TRUE(log.contains("Start to process share open message.", AVLOG_DBG));
    EXPECT_TRUE(log.contains("File path:" + clean, AVLOG_DBG));
  }
}

TEST_F(TriggerScan, MalformedRequestsFailTheJob) {
  struct Case {
    std::string request;
    std::string message;
  } cases[] = {
      {"not json", "parse buf to jsonObj err!"},
      {R"({"avType":"0","FilePath":"\\\\a\\b"})", "msg format error: lost opCode"},
      {R"({"opCode":"1","FilePath":"\\\\a\\b"})", "msg format error: lost  avType"},
      {R"({"opCode":"1","avType":"0"})", "msg format error: lost message"},
  };
  for (const auto& c : cases) {
    avtest::LogCapture log;
    auto r = scanJob(c.request);
    EXPECT_EQ(r.rc, 0) << c.request;
    EXPECT_EQ(r.text, "") << c.request;
    EXPECT_TRUE(log.contains(c.message, AVLOG_ERR)) << c.request;
  }
  avtest::LogCapture log;
  EXPECT_EQ(doJob_ScanFile(nullptr, nullptr, 512), 0);
  EXPECT_TRUE(log.contains("returnResult is NULL!", AVLOG_ERR));
}

TEST_F(TriggerScan, OverlongPathsRefused) {
  // 4299 bytes fit the path buffer but not behind the prefix; 4300 do not fit at all.
  std::string longest = "\\\\srv\\share\\" + std::string(4299 - 12, 'a');
  {
    avtest::LogCapture log;
    auto r = scanJob(scanRequest(longest));
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(log.contains("Prefixed path too long", AVLOG_ERR));
  }
  {
    avtest::LogCapture log;
    auto r = scanJob(scanRequest(longest + "a"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(log.contains("File path too long", AVLOG_ERR));
  }
  // Escapes count after removal: 2000 escaped slashes are 2000 bytes.
  std::string escaped = R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\dir)";
  for (int i = 0; i < 2000; ++i) escaped += "\\/";
  escaped += R"(clean.txt"})";
  EXPECT_EQ(scanJob(escaped).text, scanText(0, 0));
  // The longest path that fits behind the prefix is opened (name too long for Linux).
  std::string fits = "\\\\srv\\share\\" + std::string(4293 - 12, 'a');
  EXPECT_EQ(scanJob(scanRequest(fits)).text, scanText(0, 206));
}

TEST_F(TriggerScan, SlowOpenIsLoggedOnly) {
  static time_t ticks[2];
  static int calls;
  auto fake = []() -> time_t { return ticks[calls++ % 2]; };
  time_t (*saved)() = g_triggerScanClock;
  g_triggerScanClock = fake;
  std::u16string path = u"\\\\?\\UNC\\srv\\share\\dir\\clean.txt";
  {
    ticks[0] = 100, ticks[1] = 111, calls = 0;
    avtest::LogCapture log;
    EXPECT_EQ(openFileToTriggerScan(path.c_str()), 0);
    EXPECT_TRUE(log.contains("Open file timeout(11)", AVLOG_INFO));
  }
  {
    ticks[0] = 100, ticks[1] = 110, calls = 0;
    avtest::LogCapture log;
    EXPECT_EQ(openFileToTriggerScan(path.c_str()), 0);
    EXPECT_FALSE(log.contains("Open file timeout"));
  }
  g_triggerScanClock = saved;
}

TEST(TriggerOpenMapping, ErrnoTable) {
  EXPECT_EQ(mapOpenErrno(ENOENT), 2u);
  EXPECT_EQ(mapOpenErrno(ENOTDIR), 3u);
  EXPECT_EQ(mapOpenErrno(ENFILE), 4u);
  EXPECT_EQ(mapOpenErrno(EACCES), 5u);
  EXPECT_EQ(mapOpenErrno(ETXTBSY), 32u);
  EXPECT_EQ(mapOpenErrno(EHOSTUNREACH), 53u);
  EXPECT_EQ(mapOpenErrno(ETIMEDOUT), 121u);
  EXPECT_EQ(mapOpenErrno(ENAMETOOLONG), 206u);
  EXPECT_EQ(mapOpenErrno(EPERM), 225u);
  EXPECT_EQ(mapOpenErrno(EIO), 1117u);
  EXPECT_EQ(mapOpenErrno(ELOOP), 1921u);
  EXPECT_EQ(mapOpenErrno(EXDEV), 31u);
}

// A fanotify permission denial (an on-access scanner refusing the open) is 225.
TEST_F(TriggerScan, FanotifyDenialIs225) {
  std::string blocker = std::string(AV_TEST_TOOLS_DIR) + "/fanotify_blocker";
  std::string dir = share_ + "/dir";
  avtest::writeFile(dir + "/infected.txt", "bad");
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(blocker.c_str(), "fanotify_blocker", dir.c_str(), (dir + "/infected.txt").c_str(),
          static_cast<char*>(nullptr));
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
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\infected.txt")).text, scanText(0, 225));
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\clean.txt")).text, scanText(0, 0));
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

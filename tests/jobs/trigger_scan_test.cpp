// Scan jobs through the local path, with UncRoot pointing into the scratch
// root: the open's outcome as the storage system sees it, the refusals that
// keep a job inside UncRoot, and the checks before the open.
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>

#include "jobs/trigger_scan.h"
#include "jobs_test_support.h"
#include "runtime/log.h"

namespace {

using jobstest::scanJob;
using jobstest::scanRequest;

std::string scanText(int result) {
  return "{\"status\": \"0\",\"avType\": \"0\",\"result\": \"" + std::to_string(result) +
         "\",\"isTag\": \"\"}";
}

class TriggerScan : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(jobstest::loadConfig({{"Vendor", "x.exe"}}));
    share_ = jobstest::uncRoot() + "/srv/share";
    std::filesystem::create_directories(share_ + "/dir");
    avtest::writeFile(share_ + "/dir/clean.txt", "clean");
  }
  std::string share_;
};

TEST_F(TriggerScan, OutcomesOfTheOpen) {
  avtest::writeFile(avtest::scratchRoot() + "/outside.txt", "x");  // what ".." would reach
  for (const char* name : {"..x", ".hidden", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.txt"})
    avtest::writeFile(share_ + "/dir/" + name, "x");
  const std::pair<std::string, int> cases[] = {
      {"\\\\srv\\share\\dir\\clean.txt", 0},
      {"\\\\srv\\share\\dir\\nope.txt", 2},
      {"\\\\srv\\share\\nodir\\x.txt", 3},
      {"\\\\srv\\share\\dir\\clean.txt\\x", 3},  // a file used as a folder
      {"\\\\srv\\share\\dir", 5},
      {"\\\\srv\\share\\..\\..\\..\\outside.txt", 123},
      {"\\\\..\\outside.txt", 123},
      {"\\\\srv\\share\\.\\dir\\clean.txt", 123},
      {"\\\\srv/share/../share/dir/clean.txt", 123},
      {"\\\\srv\\share\\dir\\..", 123},
      {"\\srv\\share\\dir\\clean.txt", 123},  // no separator behind the prefix
      {"x\\srv\\share\\dir\\clean.txt", 0},   // the first character is dropped whatever it is
      {"\\\\srv\\share\\dir\\..x", 0},
      {"\\\\srv\\share\\dir\\.hidden", 0},
      {"\\\\srv\\share\\dir\\\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.txt", 0},
  };
  auto before = avtest::poolFreeCounts();
  for (const auto& [path, result] : cases) {
    SCOPED_TRACE(path);
    auto t0 = std::chrono::steady_clock::now();
    auto r = scanJob(scanRequest(path));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.text, scanText(result));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  }
  EXPECT_EQ(avtest::poolFreeCounts(), before);
  avtest::LogCapture log;
  scanJob(scanRequest("\\\\srv\\share\\dir\\nope.txt"));
  EXPECT_TRUE(log.contains("CreateFile failed, error code 2.", AVLOG_ERR));
  // Escaped slashes and backslashes arrive as the plain characters.
  EXPECT_EQ(scanJob(R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\/share\\dir\/clean.txt"})").text,
            scanText(0));
}

// Runs one scan job in a child so that an open that hangs fails its case
// ("hung" after 5 s) instead of stalling the whole run.
std::string boundedScan(const std::string& path) {
  int out[2];
  if (pipe(out) != 0) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    std::string text = scanJob(scanRequest(path)).text;
    _exit(write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  close(out[1]);
  std::string text;
  char buf[256];
  for (pollfd p{out[0], POLLIN, 0};;) {
    if (poll(&p, 1, 5000) != 1) {
      text = "hung";
      break;
    }
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return text;
}

// Links on a share resolve as if UncRoot were "/", so nothing outside it is
// reached; only regular files are opened for reading.
TEST_F(TriggerScan, ConfinedToUncRootRegularFilesOnly) {
  std::string dir = share_ + "/dir/";
  std::string outside = avtest::scratchRoot() + "/outside.txt";
  avtest::writeFile(outside, "host");
  const std::pair<const char*, std::string> links[] = {
      {"host", outside}, {"up", "../../../../outside.txt"}, {"zero", "/dev/zero"},
      {"inrel", "../dir/clean.txt"}, {"inabs", "/srv/share/dir/clean.txt"}};
  for (const auto& [name, target] : links) {
    std::filesystem::remove(dir + name);
    std::filesystem::create_symlink(target, dir + name);
  }
  std::filesystem::remove(dir + "pipe");
  ASSERT_EQ(mkfifo((dir + "pipe").c_str(), 0600), 0);
  std::filesystem::remove(dir + "sock");
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  strncpy(sun.sun_path, (dir + "sock").c_str(), sizeof sun.sun_path - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
  const std::pair<const char*, int> cases[] = {
      {"host", 2}, {"up", 2}, {"zero", 2},  // what they name is not under UncRoot
      {"pipe", 5}, {"sock", 5},             // never opened for reading
      {"inrel", 0}, {"inabs", 0},
  };
  for (const auto& [name, result] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(boundedScan(std::string("\\\\srv\\share\\dir\\") + name), scanText(result));
  }
  close(sock);
}

TEST_F(TriggerScan, OpCodeAvTypeAndMalformedRequests) {
  std::string clean = "\\\\srv\\share\\dir\\clean.txt";
  EXPECT_EQ(scanJob(scanRequest(clean, "0")).text, R"({"status": "0","avType": "0","isTag": ""})");
  EXPECT_EQ(scanJob(R"({"opCode":1,"avType":0,"FilePath":"\\\\srv\\share\\dir\\clean.txt"})").text,
            scanText(0));
  struct Case {
    std::string request;
    int rc;
    std::string text, message;
  } cases[] = {
      {scanRequest(clean, "1x"), 1, scanText(0), "Not a numbric str: (1x)."},
      {scanRequest(clean, "1", "3"), 1, "", "scanFile failed!"},
      {"not json", 0, "", "parse buf to jsonObj err!"},
      {R"({"avType":"0","FilePath":"\\\\a\\b"})", 0, "", "msg format error: lost opCode"},
      {R"({"opCode":"1","FilePath":"\\\\a\\b"})", 0, "", "msg format error: lost  avType"},
      {R"({"opCode":"1","avType":"0"})", 0, "", "msg format error: lost message"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    avtest::LogCapture log;
    auto r = scanJob(c.request);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.text, c.text);
    EXPECT_TRUE(log.contains(c.message));
  }
  avtest::LogCapture log;
  EXPECT_EQ(doJob_ScanFile(nullptr, 0, nullptr, 512), 0);
  EXPECT_TRUE(log.contains("returnResult is NULL!", AVLOG_ERR));
  scanJob(scanRequest(clean, "1", "3"));
  EXPECT_TRUE(log.contains("avEngineType err", AVLOG_ERR));
  avtest::DebugLevel dbg;
  scanJob(scanRequest(clean));
  EXPECT_TRUE(log.contains("Message not processed.", AVLOG_DBG));
  EXPECT_TRUE(log.contains("Start to process share open message.", AVLOG_DBG));
  EXPECT_TRUE(log.contains("File path:" + clean, AVLOG_DBG));
}

TEST_F(TriggerScan, OverlongPathsRefused) {
  // 4299 bytes fit the path buffer but not behind the prefix; 4300 do not fit at all.
  std::string longest = "\\\\srv\\share\\" + std::string(4299 - 12, 'a');
  for (auto [path, message] : {std::pair{longest, "Prefixed path too long"},
                               std::pair{longest + "a", "File path too long"}}) {
    avtest::LogCapture log;
    EXPECT_EQ(scanJob(scanRequest(path)).rc, 0);
    EXPECT_TRUE(log.contains(message, AVLOG_ERR));
  }
  // Escapes count after removal: 2000 escaped slashes are 2000 bytes.
  std::string escaped = R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\dir)";
  for (int i = 0; i < 2000; ++i) escaped += "\\/";
  EXPECT_EQ(scanJob(escaped + R"(clean.txt"})").text, scanText(0));
  // The longest path that fits behind the prefix is opened (name too long for Linux).
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\" + std::string(4293 - 12, 'a'))).text,
            scanText(206));
}

TEST_F(TriggerScan, SlowOpenIsLoggedOnly) {
  static time_t ticks[2];
  static int calls;
  time_t (*saved)() = g_triggerScanClock;
  g_triggerScanClock = []() -> time_t { return ticks[calls++ % 2]; };
  std::u16string path = u"\\\\?\\UNC\\srv\\share\\dir\\clean.txt";
  for (time_t end : {111, 110}) {
    ticks[0] = 100, ticks[1] = end, calls = 0;
    avtest::LogCapture log;
    EXPECT_EQ(openFileToTriggerScan(path.c_str()), 0);
    EXPECT_EQ(log.contains("Open file timeout(11)", AVLOG_INFO), end == 111);
    EXPECT_EQ(log.count("Open file timeout"), end == 111 ? 1u : 0u);
  }
  g_triggerScanClock = saved;
}

TEST(TriggerOpenMapping, ErrnoTable) {
  const std::pair<int, uint32_t> table[] = {
      {0, 0},          {ENOENT, 2},       {ENOTDIR, 3},     {EMFILE, 4},
      {ENFILE, 4},     {EACCES, 5},       {ENOMEM, 8},      {EBUSY, 32},
      {ETXTBSY, 32},   {ENETDOWN, 53},    {ENETUNREACH, 53}, {EHOSTDOWN, 53},
      {EHOSTUNREACH, 53}, {EINVAL, 87},   {ETIMEDOUT, 121}, {ENAMETOOLONG, 206},
      {EPERM, 225},    {EIO, 1117},       {ELOOP, 1921},    {EXDEV, 31},
      {ENOSYS, 31}};  // no openat2: the open fails closed
  for (auto [err, code] : table) EXPECT_EQ(mapOpenErrno(err), code) << err;
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
    kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    GTEST_SKIP() << "fanotify permission events are not available here";
  }
  std::filesystem::remove(dir + "/tolink");
  std::filesystem::create_symlink("infected.txt", dir + "/tolink");
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\infected.txt")).text, scanText(225));
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\tolink")).text, scanText(225));
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\clean.txt")).text, scanText(0));
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace

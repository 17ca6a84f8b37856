// Trigger scans beneath a scratch UncRoot: outcomes, confinement, path limits, errno table.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "jobs/trigger_scan.h"
#include "platform/trigger_open.h"
#include "jobs_test_support.h"
#include "runtime/log.h"

namespace {

using jobstest::scanJob;
using jobstest::scanRequest;

std::string scanText(int result) {
  return "{\"status\": \"0\",\"avType\": \"0\",\"result\": \"" + std::to_string(result) + "\",\"isTag\": \"\"}";
}

struct TriggerScan : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(jobstest::loadConfig({{"Vendor", "x.exe"}}));
    std::filesystem::create_directories(dir_);
    avtest::writeFile(dir_ + "clean.txt", "clean");
  }
  std::string dir_ = jobstest::uncRoot() + "/srv/share/dir/";
};

#ifndef _WIN32  // links and FIFOs beneath a mount folder; tests/windows covers the UNC open
// Links resolve as if UncRoot were "/"; only regular files open.
TEST_F(TriggerScan, OutcomesAndConfinement) {
  for (std::string name : {avtest::scratchRoot() + "/outside.txt", dir_ + "..x", dir_ + "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.txt",
                           dir_ + "ev\xEF\xBF\xBD.txt", dir_ + "tabtname.txt"})
    avtest::writeFile(name, "x");
  const std::pair<const char*, std::string> links[] = {{"host", avtest::scratchRoot() + "/outside.txt"},
      {"up", "../../../../outside.txt"}, {"zero", "/dev/zero"}, {"inabs", "/srv/share/dir/clean.txt"}};
  for (const auto& [name, target] : links) std::filesystem::remove(dir_ + name), std::filesystem::create_symlink(target, dir_ + name);
  std::filesystem::remove(dir_ + "pipe");
  ASSERT_EQ(mkfifo((dir_ + "pipe").c_str(), 0600), 0);
  const std::pair<std::string, int> cases[] = {
      {"\\\\srv\\share\\dir\\clean.txt", 0}, {"\\\\srv\\share\\dir\\nope.txt", 2},
      {"\\\\srv\\share\\nodir\\x.txt", 3},   {"\\\\srv\\share\\dir\\clean.txt\\x", 3},
      {"\\\\srv\\share\\dir", 5},            {"\\\\srv\\share\\dir\\pipe", 5},
      {"\\\\srv\\share\\dir\\host", 2},      {"\\\\srv\\share\\dir\\up", 2},
      {"\\\\srv\\share\\dir\\zero", 2},      {"\\\\srv\\share\\dir\\inabs", 0},
      {"\\\\srv\\share\\..\\..\\..\\outside.txt", 123}, {"\\\\srv\\share\\.\\dir\\clean.txt", 123},
      {"\\\\srv/share/../share/dir/clean.txt", 123},    {"\\\\srv\\share\\dir\\..", 123},
      {"\\srv\\share\\dir\\clean.txt", 123},  // no separator behind the prefix
      {"x\\srv\\share\\dir\\clean.txt", 0},   // the first character is dropped whatever it is
      {"//srv/share/dir/clean.txt", 0},       // forward slashes alike
      {"\\\\srv\\share\\dir\\..x", 0},        {"\\\\srv\\share\\dir\\\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.txt", 0},
      // A name that would not come through as sent is refused, not swapped for its neighbour.
      {"\\\\srv\\share\\dir\\ev\xEF\xBF\xBD.txt", 123}, {"\\\\srv\\share\\dir\\ev\xE9.txt", 123},
  };
  for (const auto& [path, result] : cases) EXPECT_EQ(scanJob(scanRequest(path)).text, scanText(result)) << path;
  int32_t result = -1;  // another engine type opens nothing
  EXPECT_TRUE(scanFile(2, u"\\\\?\\UNC\\srv\\share\\dir\\clean.txt", &result) == 0 && result == -1);
  avtest::LogCapture log;
  avtest::DebugLevel dbg;
  scanJob(scanRequest("\\\\srv\\share\\dir\\nope.txt"));
  EXPECT_TRUE(log.contains("CreateFile failed, error code 2.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("File path:\\\\srv\\share\\dir\\nope.txt", AVLOG_DBG));
  EXPECT_EQ(scanJob(scanRequest("\\\\srv\\share\\dir\\clean.txt", "0")).text, R"({"status": "0","avType": "0","isTag": ""})");
  // Escaped slashes arrive as the plain characters and count once.
  std::string escaped = R"({"opCode":1,"avType":0,"FilePath":"\\\\srv\\share\\dir)";
  for (int i = 0; i < 2000; ++i) escaped += "\\/";
  EXPECT_EQ(scanJob(escaped + R"(clean.txt"})").text, scanText(0));
  for (const char* odd : {R"(tab\tname)", R"(ev\ud800)", R"(us\u001f)"})  // TAB comes back as 't', a lone surrogate as U+FFFD
    EXPECT_EQ(scanJob(std::string(R"({"opCode":1,"avType":0,"FilePath":"\\\\srv\\share\\dir\\)") + odd + R"(.txt"})").text, scanText(123)) << odd;
}
#endif

// 4299 bytes fill the path buffer; behind the 7-unit prefix 4293 fill the 4300
// units (206 on Linux); the mapped path's room is used to its last byte.
TEST_F(TriggerScan, PathBuffersToTheirLastByte) {
  auto path = [](size_t n) { return "\\\\srv\\share\\" + std::string(n - 12, 'a'); };
  const std::tuple<std::string, int, const char*> cases[] = {
      {path(4293), 1, "Prefixed path too long"}, {path(4294), 0, "Prefixed path too long, units(4301)"},
      {path(4299), 0, "Prefixed path too long"}, {path(4300), 0, "File path too long, max len(4299)"}};
  for (const auto& [p, rc, message] : cases) {
    avtest::LogCapture log;
    auto r = scanJob(scanRequest(p));
    EXPECT_EQ(r.rc, rc) << p.size();
#ifndef _WIN32
    EXPECT_EQ(r.text, rc ? scanText(206) : "") << p.size();
#else  // the open's own code for an overlong name (2 under Wine), never success
    EXPECT_EQ(r.text.empty(), rc == 0) << p.size();
    EXPECT_NE(r.text, scanText(0)) << p.size();
#endif
    EXPECT_EQ(log.contains(message, AVLOG_ERR), rc == 0) << p.size();
  }
  // The separator, 4299 three-byte units, two ASCII ones and the NUL: 12901 bytes.
  std::u16string wide = u"\\\\?\\UNC\\" + std::u16string(4299, u'\u20ac') + u"ab";
  std::vector<char> out(AV_MAPPED_PATH_SIZE + 1, 'G');
  EXPECT_EQ(mapTriggerPath(wide.c_str(), out.data(), AV_MAPPED_PATH_SIZE - 1), 206u);
  EXPECT_EQ(out[AV_MAPPED_PATH_SIZE - 1], 'G');
  ASSERT_EQ(mapTriggerPath(wide.c_str(), out.data(), AV_MAPPED_PATH_SIZE), 0u);
  EXPECT_EQ(strlen(out.data()), AV_MAPPED_PATH_SIZE - 1u);
  EXPECT_EQ(out[AV_MAPPED_PATH_SIZE], 'G');
}

TEST_F(TriggerScan, SlowOpenIsLoggedOnly) {
  static time_t ticks[2];
  static int calls;
  time_t (*saved)() = g_triggerScanClock;
  g_triggerScanClock = []() -> time_t { return ticks[calls++ % 2]; };
  for (time_t end : {111, 110}) {
    ticks[0] = 100, ticks[1] = end, calls = 0;
    avtest::LogCapture log;
    EXPECT_EQ(openFileToTriggerScan(u"\\\\?\\UNC\\srv\\share\\dir\\clean.txt"), 0);
    EXPECT_EQ(log.count("Open file timeout(11)"), end == 111 ? 1u : 0u);
  }
  g_triggerScanClock = saved;
}

#ifndef _WIN32  // errno values; the Windows open reports the codes themselves
TEST(TriggerOpenMapping, ErrnoTable) {
  const std::pair<int, uint32_t> table[] = {{0, 0}, {ENOENT, 2}, {ENOTDIR, 3}, {EMFILE, 4}, {ENFILE, 4}, {EACCES, 5},
      {ENOMEM, 8}, {EBUSY, 32}, {ETXTBSY, 32}, {ENETDOWN, 53}, {ENETUNREACH, 53}, {EHOSTDOWN, 53}, {EHOSTUNREACH, 53},
      {EINVAL, 87}, {ETIMEDOUT, 121}, {ENAMETOOLONG, 206}, {EPERM, 225}, {EIO, 1117}, {ELOOP, 1921}, {EXDEV, 31},
      {ENOSYS, 31}};  // no openat2: the open fails closed
  for (auto [err, code] : table) EXPECT_EQ(triggerOpen_StatusCode(err), code) << err;
}
#endif

}  // namespace

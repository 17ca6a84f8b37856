// Log module: the written line, the level filter over the shared settings block,
// the settings file itself, rotation, pruning, open failures and many writers.
#include "runtime/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

const char* kSettings = "./tmp/dbglog.cfg";
constexpr off_t kOffStamp = 1040;
const std::regex kLineRe(
    R"(^\[(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\]\[(\d+)\]\[([0-9a-f]+)\]\[(|CRI|ERR|WARN|INFO|DBG)\]\[(.*)\]\[([^\]]+)\]\[([^\]]*),(-?\d+)\]\[([^\]]+)\]$)");

uint8_t settingsByte(off_t off) {
  int fd = open(kSettings, O_RDONLY);
  uint8_t v = 0xEE;
  EXPECT_EQ(pread(fd, &v, 1, off), 1);
  close(fd);
  return v;
}

void setSettingsByte(off_t off, uint8_t v) {
  int fd = open(kSettings, O_RDWR);
  ASSERT_EQ(pwrite(fd, &v, 1, off), 1);
  close(fd);
}

// Year, month, day, hour, minute of the current log file's name, as shared.
std::vector<uint32_t> sharedStamp() {
  std::vector<uint32_t> s(5);
  int fd = open(kSettings, O_RDONLY);
  EXPECT_EQ(pread(fd, s.data(), 20, kOffStamp), 20);
  close(fd);
  return s;
}

void setSharedStamp(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi) {
  uint32_t s[5] = {y, mo, d, h, mi};
  int fd = open(kSettings, O_RDWR);
  ASSERT_EQ(pwrite(fd, s, sizeof(s), kOffStamp), static_cast<ssize_t>(sizeof(s)));
  close(fd);
}

uint32_t currentYear() {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  return static_cast<uint32_t>(tm.tm_year + 1900);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));  // an unterminated tail is kept to fail the check
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

// Each test writes into a folder of its own, so it reads back only its lines.
class LogDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    dir_ = avtest::scratchRoot() + "/logs-" + std::to_string(getpid()) + "-" +
           std::to_string(++serial);
    fs::create_directories(dir_);
    BRIM_SetLogDir(dir_.c_str());
    // Any call maps the settings file, even a record the filter drops; the
    // helpers below edit that file as another process would.
    BRIM_Log(AV_MODULE_AGENT, 6, __func__, __LINE__, 0, "dropped");
    ASSERT_TRUE(fs::exists(kSettings));
  }
  void TearDown() override {
    BRIM_SetLogFileNum(100);
    BRIM_SetLogDir((avtest::scratchRoot() + "/log").c_str());
  }
  std::vector<std::string> logFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> allLines() const {
    std::vector<std::string> lines;
    for (const auto& name : logFiles())
      for (auto& l : splitLines(avtest::readFile(dir_ + "/" + name))) lines.push_back(l);
    return lines;
  }
  std::string onlyLine() const {
    auto lines = allLines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines[0];
  }
  std::string fileName(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi) const {
    char buf[64];
    snprintf(buf, sizeof(buf), "log%04u%02u%02u%02u%02u.log", y, mo, d, h, mi);
    return buf;
  }
  std::string dir_;
};

uint64_t monoMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

// ---------------------------------------------------------------- line format

using LogLine = LogDirTest;

TEST_F(LogLine, AgentRecordHasEveryField) {
  time_t before = time(nullptr);
  uint64_t msBefore = monoMs();
  BRIM_Log(316, AVLOG_INFO, "WinMain", 101, 0, "Antivirus agent start.");
  uint64_t msAfter = monoMs();
  time_t after = time(nullptr);

  std::string line = onlyLine();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, kLineRe)) << line;
  EXPECT_EQ(m[8], "15000013c0000");
  EXPECT_EQ(m[9], "INFO");
  EXPECT_EQ(m[10], "Antivirus agent start.");
  EXPECT_EQ(m[11], "NONE");
  EXPECT_EQ(m[12], "WinMain");
  EXPECT_EQ(m[13], "101");
  EXPECT_EQ(m[14], "test_runtime");
  uint64_t ms = std::stoull(m[7]);
  EXPECT_GE(ms, msBefore);
  EXPECT_LE(ms, msAfter);

  struct tm tm = {};
  tm.tm_year = std::stoi(m[1]) - 1900;
  tm.tm_mon = std::stoi(m[2]) - 1;
  tm.tm_mday = std::stoi(m[3]);
  tm.tm_hour = std::stoi(m[4]);
  tm.tm_min = std::stoi(m[5]);
  tm.tm_sec = std::stoi(m[6]);
  tm.tm_isdst = -1;
  time_t printed = mktime(&tm);
  EXPECT_GE(printed, before);
  EXPECT_LE(printed, after);
}

TEST_F(LogLine, CodeFieldCarriesModuleAndErrorCode) {
  BRIM_Log(997, AVLOG_ERR, "BRIM_close", 7, 218, "x");
  BRIM_Log(316, AVLOG_NONE, "f", -3, 0xFFFF, "y");
  BRIM_Log(5000, AVLOG_WARN, "g", 0, 1, "z");
  BRIM_Log(0x10005, AVLOG_CRI, "h", 1, 2, "w");
  auto lines = allLines();
  ASSERT_EQ(lines.size(), 4u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kLineRe)) << lines[0];
  EXPECT_EQ(m[8], "1500003e500da");
  EXPECT_EQ(m[9], "ERR");
  EXPECT_EQ(m[11], "BRIM");
  ASSERT_TRUE(std::regex_match(lines[1], m, kLineRe)) << lines[1];
  EXPECT_EQ(m[8], "15000013cffff");  // the error code fills the low 16 bits
  EXPECT_EQ(m[9], "");
  EXPECT_EQ(m[13], "-3");
  ASSERT_TRUE(std::regex_match(lines[2], m, kLineRe)) << lines[2];
  EXPECT_EQ(m[8], "1500013880001");
  EXPECT_EQ(m[11], "<5000>");
  ASSERT_TRUE(std::regex_match(lines[3], m, kLineRe)) << lines[3];
  EXPECT_EQ(m[8], "1500000050002");  // only the low 32 bits of module << 16
  EXPECT_EQ(m[11], "<5>");
}

TEST_F(LogLine, FunctionNameCutAt33Characters) {
  avtest::LogCapture capture;
  const std::string exact32(32, 'a');
  const std::string long33 = std::string(30, 'b') + "cdZ";
  ASSERT_EQ(long33.size(), 33u);
  const std::string long60 = std::string(59, 'c') + "Q";
  BRIM_Log(316, AVLOG_INFO, exact32.c_str(), 1, 0, "one");
  BRIM_Log(316, AVLOG_INFO, long33.c_str(), 2, 0, "two");
  BRIM_Log(316, AVLOG_INFO, long60.c_str(), 3, 0, "three");
  BRIM_Log(316, AVLOG_INFO, nullptr, 4, 0, "four");
  auto lines = allLines();
  ASSERT_EQ(lines.size(), 4u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kLineRe));
  EXPECT_EQ(m[12], exact32);
  ASSERT_TRUE(std::regex_match(lines[1], m, kLineRe));
  EXPECT_EQ(m[12], std::string(29, 'b') + "..Z");
  ASSERT_TRUE(std::regex_match(lines[2], m, kLineRe));
  EXPECT_EQ(m[12], std::string(29, 'c') + "..Q");
  ASSERT_TRUE(std::regex_match(lines[3], m, kLineRe));
  EXPECT_EQ(m[12], "");
  // The observer sees the caller's own name.
  auto recs = capture.records();
  ASSERT_GE(recs.size(), 3u);
  EXPECT_EQ(recs[1].func, long33);
}

TEST_F(LogLine, MessageCutTo159Characters) {
  avtest::LogCapture capture;
  std::string msg(200, 'm');
  msg[158] = 'L';  // last kept
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "%s", msg.c_str());
  BRIM_Log(316, AVLOG_INFO, "f", 2, 0, "%s", std::string(159, 'k').c_str());
  auto lines = allLines();
  ASSERT_EQ(lines.size(), 2u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, kLineRe));
  EXPECT_EQ(m[10], msg.substr(0, 159));
  ASSERT_TRUE(std::regex_match(lines[1], m, kLineRe));
  EXPECT_EQ(m[10], std::string(159, 'k'));
  auto recs = capture.records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].message, msg.substr(0, 159));
}

// ---------------------------------------------------------------- level filter

using LogLevel = LogDirTest;

TEST_F(LogLevel, DefaultWritesInfoButNotDbg) {
  avtest::LogCapture capture;
  BRIM_Log(316, AVLOG_DBG, "f", 1, 0, "debug record");
  BRIM_Log(316, AVLOG_INFO, "f", 2, 0, "info record");
  BRIM_Log(316, 6, "f", 3, 0, "level six");
  BRIM_Log(316, 0xFFFFFFFFu, "f", 4, 0, "huge level");
  EXPECT_FALSE(capture.contains("debug record"));
  EXPECT_TRUE(capture.contains("info record", AVLOG_INFO));
  EXPECT_FALSE(capture.contains("level six"));
  EXPECT_FALSE(capture.contains("huge level"));
  std::string line = onlyLine();
  EXPECT_NE(line.find("info record"), std::string::npos);
}

TEST_F(LogLevel, ModuleLevelTwoLeavesCriErrAndZero) {
  avtest::LogCapture capture;
  BRIM_SetModuleLogLevel(316, 2);
  EXPECT_EQ(settingsByte(5 + 316), 2);
  for (uint32_t l = 0; l <= 5; ++l)
    BRIM_Log(316, l, "f", 1, 0, "agent level %u", l);
  BRIM_Log(997, AVLOG_INFO, "f", 1, 0, "brim info");
  BRIM_Log(997, AVLOG_DBG, "f", 1, 0, "brim debug");
  BRIM_SetModuleLogLevel(316, 0);

  EXPECT_TRUE(capture.contains("agent level 0"));
  EXPECT_TRUE(capture.contains("agent level 1"));
  EXPECT_TRUE(capture.contains("agent level 2"));
  EXPECT_FALSE(capture.contains("agent level 3"));
  EXPECT_FALSE(capture.contains("agent level 4"));
  EXPECT_FALSE(capture.contains("agent level 5"));
  EXPECT_TRUE(capture.contains("brim info"));
  EXPECT_FALSE(capture.contains("brim debug"));
  EXPECT_EQ(allLines().size(), 4u);
}

TEST_F(LogLevel, ZeroOrSixFollowDefaultAndOnlyLow8BitsAreStored) {
  avtest::LogCapture capture;
  BRIM_SetModuleLogLevel(316, 6);
  EXPECT_EQ(settingsByte(5 + 316), 6);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "six info");
  BRIM_Log(316, AVLOG_DBG, "f", 1, 0, "six debug");
  BRIM_SetModuleLogLevel(316, 0x105);  // low byte 5
  EXPECT_EQ(settingsByte(5 + 316), 5);
  BRIM_Log(316, AVLOG_DBG, "f", 1, 0, "five debug");
  BRIM_SetModuleLogLevel(316, 0);
  EXPECT_EQ(settingsByte(5 + 316), 0);
  BRIM_Log(316, AVLOG_DBG, "f", 1, 0, "zero debug");
  BRIM_SetModuleLogLevel(1024, 5);  // ignored, and must not touch the stamp area
  EXPECT_TRUE(capture.contains("six info"));
  EXPECT_FALSE(capture.contains("six debug"));
  EXPECT_TRUE(capture.contains("five debug"));
  EXPECT_FALSE(capture.contains("zero debug"));
}

TEST_F(LogLevel, ModulesAbove1023AlwaysPass) {
  avtest::LogCapture capture;
  BRIM_Log(1024, AVLOG_DBG, "f", 1, 0, "module 1024 debug");
  BRIM_Log(1023, AVLOG_DBG, "f", 1, 0, "module 1023 debug");
  BRIM_Log(1024, 6, "f", 1, 0, "module 1024 level six");
  EXPECT_TRUE(capture.contains("module 1024 debug"));
  EXPECT_FALSE(capture.contains("module 1023 debug"));
  EXPECT_FALSE(capture.contains("module 1024 level six"));
}

TEST_F(LogLevel, DefaultLevelIsSharedThroughTheFile) {
  // Another process changing the file is seen at once through the mapping.
  avtest::LogCapture capture;
  ASSERT_EQ(settingsByte(4), 4);
  setSettingsByte(4, 2);
  BRIM_Log(997, AVLOG_INFO, "f", 1, 0, "brim info while default is 2");
  BRIM_Log(997, AVLOG_ERR, "f", 1, 0, "brim err while default is 2");
  setSettingsByte(4, 4);
  BRIM_Log(997, AVLOG_INFO, "f", 1, 0, "brim info after restore");
  EXPECT_FALSE(capture.contains("brim info while default is 2"));
  EXPECT_TRUE(capture.contains("brim err while default is 2"));
  EXPECT_TRUE(capture.contains("brim info after restore"));
}

// ---------------------------------------------------------------- settings file

namespace {
std::string scratchFile(const std::string& name) { return avtest::scratchRoot() + "/tmp/" + name; }
uint32_t word(const uint8_t* b, size_t off) {
  uint32_t v;
  memcpy(&v, b + off, 4);
  return v;
}
}  // namespace

TEST(LogSettings, ForeignMagicResetsLevelsAndKeepsStampDate) {
  std::string path = scratchFile("foreign.cfg");
  std::string junk(1064, '\x55');
  uint32_t stamp[6] = {2031, 7, 9, 13, 44, 0xABCDABCD};
  memcpy(&junk[1040], stamp, sizeof(stamp));
  avtest::writeFile(path, junk);

  uint8_t* b = BRIM_LogMapSettings(path.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(word(b, 0), 0x78ABC001u);
  EXPECT_EQ(b[4], 4);
  for (size_t i = 5; i < 1032; ++i) ASSERT_EQ(b[i], 0) << "offset " << i;
  EXPECT_EQ(b[1032], 0x55);  // beyond the reset range: untouched
  EXPECT_EQ(word(b, 1040), 2031u);
  EXPECT_EQ(word(b, 1044), 7u);
  EXPECT_EQ(word(b, 1048), 9u);
  EXPECT_EQ(word(b, 1052), 13u);
  EXPECT_EQ(word(b, 1056), 0xFFFFFFFFu);
  EXPECT_EQ(word(b, 1060), 0xABCDABCDu);
  BRIM_LogUnmapSettings(b);
  // The reset went to the file itself.
  std::string after = avtest::readFile(path);
  ASSERT_EQ(after.size(), 1064u);
  EXPECT_EQ(word(reinterpret_cast<const uint8_t*>(after.data()), 0), 0x78ABC001u);
}

TEST(LogSettings, MissingOrShortFileIsCreatedAndExtended) {
  std::string path = scratchFile("short.cfg");
  avtest::writeFile(path, "ab");
  uint8_t* b = BRIM_LogMapSettings(path.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(word(b, 0), 0x78ABC001u);
  EXPECT_EQ(b[4], 4);
  EXPECT_EQ(word(b, 1056), 0xFFFFFFFFu);
  BRIM_LogUnmapSettings(b);
  EXPECT_EQ(fs::file_size(path), 1064u);

  std::string fresh = scratchFile("fresh.cfg");
  b = BRIM_LogMapSettings(fresh.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b[4], 4);
  BRIM_LogUnmapSettings(b);
  EXPECT_EQ(fs::file_size(fresh), 1064u);
}

TEST(LogSettings, ValidBlockIsKeptAsItIs) {
  std::string path = scratchFile("valid.cfg");
  std::string data(1064, '\0');
  uint32_t magic = 0x78ABC001u;
  memcpy(&data[0], &magic, 4);
  data[4] = 2;
  data[5 + 316] = 5;
  uint32_t minute = 17;
  memcpy(&data[1056], &minute, 4);
  avtest::writeFile(path, data);
  uint8_t* b = BRIM_LogMapSettings(path.c_str());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b[4], 2);
  EXPECT_EQ(b[5 + 316], 5);
  EXPECT_EQ(word(b, 1056), 17u);
  BRIM_LogUnmapSettings(b);
}

TEST(LogSettings, FileInMissingFolderIsNotMapped) {
  EXPECT_EQ(BRIM_LogMapSettings((avtest::scratchRoot() + "/no-such-dir/dbglog.cfg").c_str()),
            nullptr);
  EXPECT_FALSE(fs::exists(avtest::scratchRoot() + "/no-such-dir"));
}

// ---------------------------------------------------------------- rotation

using LogRotation = LogDirTest;

TEST_F(LogRotation, FileAt8MiBIsReplacedAtTheNextCheck) {
  const uint32_t year = currentYear();
  setSharedStamp(year, 1, 1, 0, 0);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "before rotation");
  const std::string oldName = fileName(year, 1, 1, 0, 0);
  ASSERT_EQ(logFiles(), std::vector<std::string>{oldName});
  ASSERT_EQ(truncate((dir_ + "/" + oldName).c_str(), 8388608), 0);

  BRIM_LogForceRotationCheck();
  time_t rotatedBefore = time(nullptr);
  BRIM_Log(316, AVLOG_INFO, "f", 2, 0, "after rotation");
  EXPECT_EQ(fs::file_size(dir_ + "/" + oldName), 8388608u);
  auto files = logFiles();
  ASSERT_EQ(files.size(), 2u);
  const std::string newName = files[0] == oldName ? files[1] : files[0];
  std::string text = avtest::readFile(dir_ + "/" + newName);
  EXPECT_NE(text.find("after rotation"), std::string::npos);
  // The new stamp is now and is shared with other processes.
  auto s = sharedStamp();
  EXPECT_EQ(s[0], year);
  EXPECT_EQ(newName, fileName(s[0], s[1], s[2], s[3], s[4]));

  // Within the same minute the size is not looked at again.
  ASSERT_EQ(truncate((dir_ + "/" + newName).c_str(), 9000000), 0);
  BRIM_Log(316, AVLOG_INFO, "f", 3, 0, "same minute");
  if (rotatedBefore / 60 == time(nullptr) / 60) {
    EXPECT_EQ(logFiles().size(), 2u);
  }
}

TEST_F(LogRotation, FileBelow8MiBIsKept) {
  const uint32_t year = currentYear();
  setSharedStamp(year, 1, 1, 0, 1);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "first");
  const std::string name = fileName(year, 1, 1, 0, 1);
  ASSERT_EQ(truncate((dir_ + "/" + name).c_str(), 8388607), 0);
  BRIM_LogForceRotationCheck();
  BRIM_Log(316, AVLOG_INFO, "f", 2, 0, "second");
  EXPECT_EQ(logFiles(), std::vector<std::string>{name});
  EXPECT_GT(fs::file_size(dir_ + "/" + name), 8388607u);
}

TEST_F(LogRotation, FollowsAnotherProcessThatRotated) {
  const uint32_t year = currentYear();
  setSharedStamp(year, 1, 1, 0, 2);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "ours");
  setSharedStamp(year, 1, 1, 0, 3);  // as another process writing into this folder would
  BRIM_LogForceRotationCheck();
  BRIM_Log(316, AVLOG_INFO, "f", 2, 0, "theirs");
  EXPECT_EQ(logFiles(),
            (std::vector<std::string>{fileName(year, 1, 1, 0, 2), fileName(year, 1, 1, 0, 3)}));
  EXPECT_EQ(splitLines(avtest::readFile(dir_ + "/" + fileName(year, 1, 1, 0, 3))).size(), 1u);
}

TEST_F(LogRotation, StampOfAnotherYearIsReplaced) {
  setSharedStamp(1999, 12, 31, 23, 59);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "new year");
  auto s = sharedStamp();
  EXPECT_EQ(s[0], currentYear());
  EXPECT_EQ(logFiles(), std::vector<std::string>{fileName(s[0], s[1], s[2], s[3], s[4])});
}

// ---------------------------------------------------------------- pruning

using LogPruning = LogDirTest;

namespace {
void makeFileWithMtime(const std::string& path, time_t mtime) {
  avtest::writeFile(path, "old\n");
  struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}
}  // namespace

TEST_F(LogPruning, KeepsLogFileNumCountingTheNewFile) {
  // Names sort opposite to age, so only the times can pick the right ones.
  makeFileWithMtime(dir_ + "/log-a", 5000);
  makeFileWithMtime(dir_ + "/log-b", 4000);
  makeFileWithMtime(dir_ + "/log-c", 3000);
  makeFileWithMtime(dir_ + "/log-d", 2000);
  makeFileWithMtime(dir_ + "/log-e", 1000);
  makeFileWithMtime(dir_ + "/other.txt", 10);
  fs::create_directories(dir_ + "/logdir");
  const uint32_t year = currentYear();
  setSharedStamp(year, 1, 1, 0, 4);
  BRIM_SetLogFileNum(3);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "after pruning");
  EXPECT_EQ(logFiles(), (std::vector<std::string>{"log-a", "log-b", fileName(year, 1, 1, 0, 4),
                                                  "logdir", "other.txt"}));
}

TEST_F(LogPruning, ZeroKeepsOnlyTheNewFile) {
  makeFileWithMtime(dir_ + "/log-x", 1000);
  makeFileWithMtime(dir_ + "/log-y", 2000);
  BRIM_SetLogFileNum(0);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "alone");
  auto files = logFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(avtest::readFile(dir_ + "/" + files[0]).find("alone"), std::string::npos);
}

TEST_F(LogPruning, NegativeCountPrunesNothing) {
  makeFileWithMtime(dir_ + "/log-x", 1000);
  BRIM_SetLogFileNum(static_cast<uint32_t>(-1));
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "kept");
  EXPECT_EQ(logFiles().size(), 2u);
}

// ---------------------------------------------------------------- open failures

TEST(LogOpenFailure, FourFailuresStopRetriesForTheMinute) {
  const std::string missing = avtest::scratchRoot() + "/missing-log-dir";
  for (int attempt = 0; attempt < 3; ++attempt) {
    avtest::LogCapture capture;
    BRIM_SetLogDir(missing.c_str());
    time_t start = time(nullptr);
    testing::internal::CaptureStdout();
    for (int i = 0; i < 7; ++i) BRIM_Log(316, AVLOG_INFO, "f", i, 0, "lost record %d", i);
    std::string out = testing::internal::GetCapturedStdout();
    time_t end = time(nullptr);
    BRIM_SetLogDir((avtest::scratchRoot() + "/log").c_str());
    if (start / 60 != end / 60) continue;  // a minute boundary allows one more try
    size_t prints = 0;
    for (size_t at = out.find("Open log file["); at != std::string::npos;
         at = out.find("Open log file[", at + 1))
      ++prints;
    EXPECT_EQ(prints, 4u) << out;
    EXPECT_NE(out.find("Open log file[" + missing + "/log"), std::string::npos);
    EXPECT_EQ(capture.count("lost record"), 7u);  // still observed
    EXPECT_FALSE(fs::exists(missing));            // the module creates no folder
    return;
  }
  FAIL() << "every attempt crossed a minute boundary";
}

// ---------------------------------------------------------------- many writers

using LogConcurrency = LogDirTest;

TEST_F(LogConcurrency, LinesFromManyThreadsStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kRecords = 250;
  const std::string pad(100, 'p');
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int r = 0; r < kRecords; ++r) {
        BRIM_Log(316, AVLOG_INFO, "writer", t, 0, "t=%d r=%d %s", t, r, pad.c_str());
        if (r % 50 == 0) BRIM_SetModuleLogLevel(316, 0);  // a concurrent settings writer
      }
    });
  go = true;
  for (auto& th : threads) th.join();

  auto lines = allLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords));
  std::set<std::pair<int, int>> seen;
  std::smatch m;
  for (const auto& line : lines) {
    ASSERT_TRUE(std::regex_match(line, m, kLineRe)) << line;
    int t = -1, r = -1;
    char tail[128] = {};
    ASSERT_EQ(sscanf(m[10].str().c_str(), "t=%d r=%d %127s", &t, &r, tail), 3) << line;
    EXPECT_EQ(std::string(tail), pad);
    EXPECT_EQ(m[13].str(), std::to_string(t));
    seen.insert({t, r});
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRecords));
}

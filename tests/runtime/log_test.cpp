// Log module: the written line, the level filter over the shared settings file,
// rotation, pruning and many writers.
#include "runtime/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
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

// Reads or writes n bytes of the shared settings file, as another process would.
void settingsIo(off_t off, void* data, size_t n, bool write) {
  int fd = open(kSettings, O_RDWR);
  ASSERT_EQ(write ? pwrite(fd, data, n, off) : pread(fd, data, n, off), static_cast<ssize_t>(n));
  close(fd);
}
uint8_t settingsByte(off_t off) {
  uint8_t v = 0xEE;
  settingsIo(off, &v, 1, false);
  return v;
}
// Year, month, day, hour, minute of the current log file's name, as shared.
void setSharedStamp(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi) {
  uint32_t s[5] = {y, mo, d, h, mi};
  settingsIo(kOffStamp, s, sizeof s, true);
}

uint32_t currentYear() {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  return static_cast<uint32_t>(tm.tm_year + 1900);
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
  // An unterminated tail is kept, to fail the line check.
  std::vector<std::string> allLines() const {
    std::vector<std::string> lines;
    for (const auto& name : logFiles()) {
      std::istringstream in(avtest::readFile(dir_ + "/" + name));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    return lines;
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

using LogLine = LogDirTest;

TEST_F(LogLine, EveryFieldCodesAndCuts) {
  avtest::LogCapture capture;
  const time_t before = time(nullptr);
  const uint64_t msBefore = monoMs();
  const std::string long33 = std::string(30, 'b') + "cdZ";
  const std::string msg200 = std::string(158, 'm') + "L" + std::string(41, 'x');
  const struct {
    uint32_t module, level;
    std::string func;
    int line, code;
    std::string message;
    const char *codeField, *levelName, *moduleName;
    std::string funcField, written;
  } cases[] = {
      {316, AVLOG_INFO, "WinMain", 101, 0, "Antivirus agent start.", "15000013c0000", "INFO",
       "NONE", "WinMain", "Antivirus agent start."},
      {997, AVLOG_ERR, "BRIM_close", 7, 218, "x", "1500003e500da", "ERR", "BRIM", "BRIM_close", "x"},
      // The error code fills the low 16 bits; only the low 32 bits of module << 16.
      {316, AVLOG_NONE, "f", -3, 0xFFFF, "y", "15000013cffff", "", "NONE", "f", "y"},
      {5000, AVLOG_WARN, "g", 0, 1, "z", "1500013880001", "WARN", "<5000>", "g", "z"},
      {0x10005, AVLOG_CRI, "h", 1, 2, "w", "1500000050002", "CRI", "<5>", "h", "w"},
      // Function names over 32 characters keep 29, "..", and the last one.
      {316, AVLOG_INFO, std::string(32, 'a'), 1, 0, "a", "15000013c0000", "INFO", "NONE",
       std::string(32, 'a'), "a"},
      {316, AVLOG_INFO, long33, 1, 0, "b", "15000013c0000", "INFO", "NONE",
       std::string(29, 'b') + "..Z", "b"},
      // Messages are cut to 159 characters.
      {316, AVLOG_INFO, "f", 2, 0, msg200, "15000013c0000", "INFO", "NONE", "f",
       msg200.substr(0, 159)},
      {316, AVLOG_INFO, "f", 2, 0, std::string(159, 'k'), "15000013c0000", "INFO", "NONE", "f",
       std::string(159, 'k')},
  };
  for (const auto& c : cases)
    BRIM_Log(c.module, c.level, c.func.c_str(), c.line, c.code, "%s", c.message.c_str());
  BRIM_Log(316, AVLOG_INFO, nullptr, 4, 0, "no function");
  const uint64_t msAfter = monoMs();
  const time_t after = time(nullptr);
  auto lines = allLines();
  ASSERT_EQ(lines.size(), std::size(cases) + 1);
  std::smatch m;
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(lines[i]);
    const auto& c = cases[i];
    ASSERT_TRUE(std::regex_match(lines[i], m, kLineRe));
    EXPECT_EQ(m[8], c.codeField);
    EXPECT_EQ(m[9], c.levelName);
    EXPECT_EQ(m[10], c.written);
    EXPECT_EQ(m[11], c.moduleName);
    EXPECT_EQ(m[12], c.funcField);
    EXPECT_EQ(m[13], std::to_string(c.line));
  }
  ASSERT_TRUE(std::regex_match(lines.back(), m, kLineRe));
  EXPECT_EQ(m[12], "");
  ASSERT_TRUE(std::regex_match(lines[0], m, kLineRe));
  EXPECT_EQ(m[14], "test_runtime");
  EXPECT_GE(std::stoull(m[7]), msBefore);
  EXPECT_LE(std::stoull(m[7]), msAfter);
  struct tm tm = {};
  ASSERT_NE(strptime(lines[0].c_str(), "[%Y-%m-%d %H:%M:%S]", &tm), nullptr);
  tm.tm_isdst = -1;
  EXPECT_GE(mktime(&tm), before);
  EXPECT_LE(mktime(&tm), after);
  // The observer sees the caller's own name and the cut message.
  auto recs = capture.records();
  ASSERT_EQ(recs.size(), std::size(cases) + 1);
  EXPECT_EQ(recs[6].func, long33);
  EXPECT_EQ(recs[7].message, msg200.substr(0, 159));
}


using LogLevel = LogDirTest;

// Module level 0 and 6 follow the default (4); only the low 8 bits are stored;
// modules above 1023 have no level and always pass; level 6 and up never pass.
TEST_F(LogLevel, FilterByModuleAndDefaultLevel) {
  const struct { uint32_t setLevel, module, level; bool passes; } cases[] = {
      {0, 316, AVLOG_DBG, false},   {0, 316, AVLOG_INFO, true},   {0, 316, 6, false},
      {0, 316, 0xFFFFFFFFu, false}, {2, 316, AVLOG_NONE, true},   {2, 316, AVLOG_CRI, true},
      {2, 316, AVLOG_ERR, true},    {2, 316, AVLOG_WARN, false},  {2, 316, AVLOG_INFO, false},
      {2, 997, AVLOG_INFO, true},   {2, 997, AVLOG_DBG, false},   {6, 316, AVLOG_INFO, true},
      {6, 316, AVLOG_DBG, false},   {0x105, 316, AVLOG_DBG, true}, {0, 1024, AVLOG_DBG, true},
      {0, 1023, AVLOG_DBG, false},  {0, 1024, 6, false},
  };
  size_t written = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.setLevel << " " << c.module << " " << c.level);
    BRIM_SetModuleLogLevel(316, c.setLevel);
    EXPECT_EQ(settingsByte(5 + 316), c.setLevel & 0xFF);
    avtest::LogCapture capture;
    BRIM_Log(c.module, c.level, "f", 1, 0, "filtered record");
    EXPECT_EQ(capture.contains("filtered record"), c.passes);
    written += c.passes;
    EXPECT_EQ(allLines().size(), written);
  }
  BRIM_SetModuleLogLevel(316, 0);
}

TEST_F(LogLevel, DefaultLevelIsSharedThroughTheFile) {
  // Another process changing the file is seen at once through the mapping.
  avtest::LogCapture capture;
  ASSERT_EQ(settingsByte(4), 4);
  uint8_t level = 2;
  settingsIo(4, &level, 1, true);
  BRIM_Log(997, AVLOG_INFO, "f", 1, 0, "brim info while default is 2");
  BRIM_Log(997, AVLOG_ERR, "f", 1, 0, "brim err while default is 2");
  level = 4;
  settingsIo(4, &level, 1, true);
  BRIM_Log(997, AVLOG_INFO, "f", 1, 0, "brim info after restore");
  EXPECT_FALSE(capture.contains("brim info while default is 2"));
  EXPECT_TRUE(capture.contains("brim err while default is 2"));
  EXPECT_TRUE(capture.contains("brim info after restore"));
}


using LogRotation = LogDirTest;

TEST_F(LogRotation, FileAt8MiBIsReplacedBelowIsKept) {
  const uint32_t year = currentYear();
  setSharedStamp(year, 1, 1, 0, 0);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "first");
  const std::string oldName = fileName(year, 1, 1, 0, 0);
  ASSERT_EQ(logFiles(), std::vector<std::string>{oldName});
  ASSERT_EQ(truncate((dir_ + "/" + oldName).c_str(), 8388607), 0);
  BRIM_LogForceRotationCheck();
  BRIM_Log(316, AVLOG_INFO, "f", 2, 0, "x");  // one byte below: kept
  EXPECT_EQ(logFiles(), std::vector<std::string>{oldName});
  ASSERT_EQ(truncate((dir_ + "/" + oldName).c_str(), 8388608), 0);

  BRIM_LogForceRotationCheck();
  BRIM_Log(316, AVLOG_INFO, "f", 2, 0, "after rotation");
  EXPECT_EQ(fs::file_size(dir_ + "/" + oldName), 8388608u);
  auto files = logFiles();
  ASSERT_EQ(files.size(), 2u);
  const std::string newName = files[0] == oldName ? files[1] : files[0];
  EXPECT_NE(avtest::readFile(dir_ + "/" + newName).find("after rotation"), std::string::npos);
  uint32_t s[5];  // the new stamp is now, and shared with other processes
  settingsIo(kOffStamp, s, sizeof s, false);
  EXPECT_EQ(s[0], year);
  EXPECT_EQ(newName, fileName(s[0], s[1], s[2], s[3], s[4]));
}

using LogPruning = LogDirTest;

static void makeFileWithMtime(const std::string& path, time_t mtime) {
  avtest::writeFile(path, "old\n");
  struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(LogPruning, KeepsLogFileNumCountingTheNewFile) {
  // Names sort opposite to age, so only the times can pick the right ones.
  for (char c = 'a'; c <= 'e'; ++c) makeFileWithMtime(dir_ + "/log-" + c, 5000 - 1000 * (c - 'a'));
  makeFileWithMtime(dir_ + "/other.txt", 10);
  fs::create_directories(dir_ + "/logdir");
  const uint32_t year = currentYear();
  setSharedStamp(year, 1, 1, 0, 4);
  BRIM_SetLogFileNum(3);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "after pruning");
  EXPECT_EQ(logFiles(), (std::vector<std::string>{"log-a", "log-b", fileName(year, 1, 1, 0, 4),
                                                  "logdir", "other.txt"}));
}

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

using LogAccess = LogDirTest;

// Owner read-write and group read at most, whatever the umask and whatever an
// older file allowed: a new file and an existing one, for records and settings.
TEST_F(LogAccess, FilesAreClosedToOthers) {
  const uint32_t year = currentYear();
  setSharedStamp(year, 1, 1, 0, 5);
  const std::string record = dir_ + "/" + fileName(year, 1, 1, 0, 5);
  const std::string oldCfg = dir_ + "/old.cfg", newCfg = dir_ + "/new.cfg";
  for (const auto& p : {record, oldCfg}) {
    avtest::writeFile(p, "");
    ASSERT_EQ(chmod(p.c_str(), 0666), 0);
  }
  const mode_t mask = umask(0);
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "kept from others");
  uint8_t* blocks[] = {BRIM_LogMapSettings(oldCfg.c_str()), BRIM_LogMapSettings(newCfg.c_str())};
  umask(mask);
  for (uint8_t* b : blocks) {
    EXPECT_NE(b, nullptr);
    BRIM_LogUnmapSettings(b);
  }
  EXPECT_NE(avtest::readFile(record).find("kept from others"), std::string::npos);
  for (const auto& p : {record, oldCfg, newCfg}) {
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0) << p;
    EXPECT_EQ(st.st_mode & 0777, 0640u) << p;
  }
}

// Another process holds byte 0 of the log file and never lets go: a record
// waits a bounded time and is written anyway; the next ones do not wait again.
TEST_F(LogAccess, ByteLockHeldElsewhereDelaysRecordsBoundedly) {
  BRIM_Log(316, AVLOG_INFO, "f", 1, 0, "before the holder");
  ASSERT_EQ(logFiles().size(), 1u);
  const std::string path = dir_ + "/" + logFiles()[0];
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {  // only async-signal-safe calls in the child
    int fd = open(path.c_str(), O_RDWR);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 1;
    char held = fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
    if (write(ready[1], &held, 1) != 1) _exit(1);
    for (;;) pause();
  }
  ASSERT_GT(holder, 0);
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  close(ready[0]);
  close(ready[1]);
  std::atomic<int64_t> tookMs{-1};
  std::thread writer([&] {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) BRIM_Log(316, AVLOG_INFO, "f", 2, 0, "while held %d", i);
    tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::steady_clock::now() - t0).count();
  });
  // An unbounded wait would last until the holder ends: give it 3 s, then end it.
  for (int i = 0; i < 300 && tookMs.load() < 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  writer.join();
  ASSERT_EQ(held, 'y');
  EXPECT_GE(tookMs.load(), 90);   // the first record did wait for the byte
  EXPECT_LT(tookMs.load(), 250);  // one bounded wait, then single tries
  const std::string text = avtest::readFile(path);
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(text.find("while held " + std::to_string(i)), std::string::npos) << i;
}

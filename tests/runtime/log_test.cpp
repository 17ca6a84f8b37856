// Log module: the written line, the level filter over the shared settings
// file, rotation, pruning, file modes and many writers.
#include "runtime/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

const std::regex kLineRe(
    R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[\d+\]\[([0-9a-f]+)\]\[(|CRI|ERR|WARN|INFO|DBG)\]\[(.*)\]\[([^\]]+)\]\[([^\]]*),(-?\d+)\]\[test_runtime\]$)");

// Writes the shared name stamp (year, month, day, hour, minute) as another process would.
void setSharedStamp(uint32_t mi) {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  uint32_t s[5] = {static_cast<uint32_t>(tm.tm_year + 1900), 1, 1, 0, mi};
  FILE* f = fopen("./tmp/dbglog.cfg", "r+b");
  ASSERT_TRUE(f && fseek(f, 1040, SEEK_SET) == 0 && fwrite(s, sizeof s, 1, f) == 1);
  fclose(f);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    dir_ = avtest::scratchRoot() + "/logs-" + std::to_string(++serial);
    fs::create_directories(dir_);
    BRIM_SetLogDir(dir_.c_str());
    BRIM_Log(AV_MODULE_AGENT, 6, "f", 1, 0, "dropped");  // maps the settings file
  }
  void TearDown() override {
    BRIM_SetLogFileNum(100);
    BRIM_SetModuleLogLevel(316, 0);
    BRIM_SetLogDir((avtest::scratchRoot() + "/log").c_str());
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const auto& name : files()) {
      std::istringstream in(avtest::readFile(dir_ + "/" + name));
      for (std::string l; std::getline(in, l);) out.push_back(l);
    }
    return out;
  }
  std::string dir_;
};

TEST_F(LogTest, LineFieldsCodesAndCuts) {
  const std::string name33 = std::string(31, 'b') + "cZ", msg = std::string(159, 'm') + "LOST";
  const struct {
    uint32_t module, level;
    std::string func;
    int line, code;
    std::string message, codeField, levelName, moduleName, funcField, written;
  } cases[] = {
      {316, 4, "WinMain", 101, 0, "start", "15000013c0000", "INFO", "NONE", "WinMain", "start"},
      {997, 2, "BRIM_close", 7, 218, "x", "1500003e500da", "ERR", "BRIM", "BRIM_close", "x"},
      {316, 0, "f", -3, 0xFFFF, "y", "15000013cffff", "", "NONE", "f", "y"},
      {0x10005, 1, "h", 1, 2, "w", "1500000050002", "CRI", "<5>", "h", "w"},
      {316, 4, std::string(32, 'a'), 1, 0, "a", "15000013c0000", "INFO", "NONE",
       std::string(32, 'a'), "a"},
      {316, 4, name33, 1, 0, msg, "15000013c0000", "INFO", "NONE", std::string(29, 'b') + "..Z",
       msg.substr(0, 159)},
  };
  for (const auto& c : cases)
    BRIM_Log(c.module, c.level, c.func.c_str(), c.line, c.code, "%s", c.message.c_str());
  auto got = lines();
  ASSERT_EQ(got.size(), std::size(cases));
  std::smatch m;
  for (size_t i = 0; i < got.size(); ++i) {
    const auto& c = cases[i];
    ASSERT_TRUE(std::regex_match(got[i], m, kLineRe)) << got[i];
    EXPECT_EQ(std::vector<std::string>({m[1], m[2], m[3], m[4], m[5], m[6]}),
              std::vector<std::string>({c.codeField, c.levelName, c.written, c.moduleName,
                                        c.funcField, std::to_string(c.line)}));
  }
}

// Module level 0 and 6 follow the default (4); only the low 8 bits are
// stored; modules above 1023 always pass; levels above 5 never do.
TEST_F(LogTest, LevelFilter) {
  const struct { uint32_t setLevel, module, level; bool passes; } cases[] = {
      {0, 316, 5, false}, {0, 316, 4, true},  {0, 316, 6, false},     {2, 316, 0, true},
      {2, 316, 2, true},  {2, 316, 3, false}, {2, 997, 4, true},      {6, 316, 4, true},
      {6, 316, 5, false}, {0x105, 316, 5, true}, {0, 1024, 5, true},  {0, 1023, 5, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.setLevel << " " << c.module << " " << c.level);
    BRIM_SetModuleLogLevel(316, c.setLevel);
    avtest::LogCapture capture;
    BRIM_Log(c.module, c.level, "f", 1, 0, "filtered");
    EXPECT_EQ(capture.contains("filtered"), c.passes);
  }
}

TEST_F(LogTest, RotatesAt8MiBAndPrunesOldestByTime) {
  setSharedStamp(1);
  BRIM_Log(316, 4, "f", 1, 0, "first");
  ASSERT_EQ(files().size(), 1u);
  const std::string first = dir_ + "/" + files()[0];
  for (off_t size : {8388607, 8388608}) {
    ASSERT_EQ(truncate(first.c_str(), size), 0);
    BRIM_LogForceRotationCheck();
    BRIM_Log(316, 4, "f", 2, 0, "after %ld", static_cast<long>(size));
    EXPECT_EQ(files().size(), size == 8388607 ? 1u : 2u);
  }
  EXPECT_EQ(fs::file_size(first), 8388608u);
  // Names sort opposite to age: only the times pick the right ones to delete.
  for (char c = 'a'; c <= 'e'; ++c) {
    const std::string p = dir_ + "/log-" + c;
    avtest::writeFile(p, "old\n");
    struct timespec t[2] = {{5000 - 1000 * (c - 'a'), 0}, {5000 - 1000 * (c - 'a'), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, 0), 0);
  }
  fs::create_directories(dir_ + "/logdir");
  BRIM_SetLogFileNum(5);  // 7 files: the 3 oldest go, the one opened makes 5
  BRIM_SetLogDir(avtest::scratchRoot().c_str());  // closes the file, so the next one prunes
  BRIM_SetLogDir(dir_.c_str());
  BRIM_Log(316, 4, "f", 1, 0, "after pruning");
  auto names = files();
  EXPECT_EQ(names.size(), 5u);
  for (const char* kept : {"log-a", "log-b", "logdir"})
    EXPECT_TRUE(std::count(names.begin(), names.end(), kept)) << kept;
}

// Lines of many threads stay whole; files are closed to others whatever the umask.
TEST_F(LogTest, ConcurrencyManyWritersAndFileModes) {
  const mode_t mask = umask(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int r = 0; r < 250; ++r) BRIM_Log(316, 4, "w", t, 0, "%d-%d %0100d", t, r, 0);
    });
  for (auto& th : threads) th.join();
  umask(mask);
  std::set<std::string> seen;
  std::smatch m;
  for (const auto& line : lines()) {
    ASSERT_TRUE(std::regex_match(line, m, kLineRe)) << line;
    seen.insert(m[3].str().substr(0, m[3].str().find(' ')));
  }
  EXPECT_EQ(seen.size(), 2000u);
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/" + files()[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace

// Log module and the byte-range locks it writes under: the line, the level
// filter, rotation, pruning, file modes, many writers, a lock holder elsewhere.
#include "runtime/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/file.h"
#include "runtime/os_helper.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

const std::regex kLineRe(
    R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[\d+\]\[[0-9a-f]+\]\[[A-Z]*\]\[(.*)\]\[[^\]]+\]\[[^\]]*,-?\d+\]\[test_runtime\]$)");

// Byte 0 of path held through an open file description of its own: such a lock
// conflicts with record locks of this process too, as another process's would.
// The descriptor, -1 if it could not; closing it releases the byte.
int holdByteZero(const std::string& path) {
  struct flock fl = {};
  fl.l_type = F_WRLCK, fl.l_whence = SEEK_SET, fl.l_len = 1;
  const int fd = open(path.c_str(), O_RDWR);
  if (fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    fs::create_directories(dir_ = avtest::scratchRoot() + "/logs-" + std::to_string(++serial));
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
    std::string l;
    for (const auto& name : files())
      for (std::istringstream in(avtest::readFile(dir_ + "/" + name)); std::getline(in, l);) out.push_back(l);
    return out;
  }
  std::string dir_;
};

// Code field = 0x15 << 40 | module << 16 | code; the function name and the message are cut.
TEST_F(LogTest, LineFieldsCodesAndCuts) {
  const std::string a32(32, 'a'), b33 = std::string(31, 'b') + "cZ", msg(159, 'm');
  const struct { uint32_t module, level; std::string func; int line, code; std::string text, tail; } cases[] = {
      {316, 4, "WinMain", 101, 0, "start", "[15000013c0000][INFO][start][NONE][WinMain,101]"},
      {997, 2, "BRIM_close", 7, 218, "x", "[1500003e500da][ERR][x][BRIM][BRIM_close,7]"},
      {316, 0, "f", -3, 0xFFFF, "y", "[15000013cffff][][y][NONE][f,-3]"},
      {0x10005, 1, "h", 1, 2, "w", "[1500000050002][CRI][w][<5>][h,1]"},
      {316, 4, a32, 1, 0, "a", "[15000013c0000][INFO][a][NONE][" + a32 + ",1]"},
      {316, 4, b33, 1, 0, msg + "LOST", "[15000013c0000][INFO][" + msg + "][NONE][" + std::string(29, 'b') + "..Z,1]"},
  };
  for (const auto& c : cases) BRIM_Log(c.module, c.level, c.func.c_str(), c.line, c.code, "%s", c.text.c_str());
  auto got = lines();
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < got.size(); ++i)
    EXPECT_TRUE(std::regex_match(got[i], kLineRe) && got[i].ends_with(cases[i].tail + "[test_runtime]")) << got[i];
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
    BRIM_SetModuleLogLevel(316, c.setLevel);
    avtest::LogCapture capture;
    BRIM_Log(c.module, c.level, "f", 1, 0, "filtered");
    EXPECT_EQ(capture.contains("filtered"), c.passes) << c.setLevel << " " << c.module << " " << c.level;
  }
}

// The level block's file gets real blocks, not a hole that faults once mapped
// when the disk is full; it is never shortened.
TEST(FileEnsureSize, AllocatesAndNeverShortens) {
  const int fd = open((avtest::scratchRoot() + "/ensure").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  struct stat st {};
  for (int64_t size : {int64_t{1064}, int64_t{10}}) {
    EXPECT_EQ(file_EnsureSize(fd, size), 0);
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 1064);
    EXPECT_GE(st.st_blocks * 512, 1064);
  }
  close(fd);
}

// A file is replaced as soon as this process has written it to 8 MiB, within
// the minute its name names (the next one then takes the next minute); pruning
// deletes the oldest log files by time and leaves every other name alone.
TEST_F(LogTest, RotatesAt8MiBWithinTheMinuteAndPrunesOnlyLogFiles) {
  const std::string filler(200, 'x');
  BRIM_Log(316, 4, "f", 1, 0, "first");
  const std::string first = dir_ + "/" + files().at(0);
  while (files().size() == 1 && fs::file_size(first) < 8388608 + 4096)
    for (int i = 0; i < 100; ++i) BRIM_Log(316, 4, "f", 2, 0, "%s", filler.c_str());
  ASSERT_EQ(files().size(), 2u);
  EXPECT_GE(fs::file_size(first), 8388608u);
  EXPECT_LT(fs::file_size(first), 8388608u + 400);  // the record that reached 8 MiB was the last
  EXPECT_GT(files()[1], files()[0]);
  for (int i = 0; i < 5; ++i) {  // names sort opposite to age: only times pick the oldest
    const std::string name = "log20000101000" + std::to_string(i) + ".log";
    for (const std::string& n : {name, "log-" + std::to_string(i)}) {
      avtest::writeFile(dir_ + "/" + n, "old\n");
      struct timespec t[2] = {{5000 - 1000 * i, 0}, {5000 - 1000 * i, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, (dir_ + "/" + n).c_str(), t, 0), 0);
    }
  }
  BRIM_SetLogFileNum(5);  // 7 log files: the 3 oldest go; the current one is opened again
  BRIM_SetLogDir(avtest::scratchRoot().c_str());  // closes the file, so the next one prunes
  BRIM_SetLogDir(dir_.c_str());
  BRIM_Log(316, 4, "f", 1, 0, "after pruning");
  auto names = files();
  EXPECT_EQ(names.size(), 4u + 5u);
  for (const char* gone : {"log200001010002.log", "log200001010003.log", "log200001010004.log"})
    EXPECT_FALSE(std::count(names.begin(), names.end(), gone)) << gone;
}

// Lines of many threads stay whole; files are closed to others whatever the umask.
TEST_F(LogTest, ConcurrencyManyWritersAndFileModes) {
  const mode_t mask = umask(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] { for (int r = 0; r < 250; ++r) BRIM_Log(316, 4, "w", t, 0, "%d-%d %0100d", t, r, 0); });
  for (auto& th : threads) th.join();
  umask(mask);
  std::set<std::string> seen;
  std::smatch m;
  for (const auto& line : lines()) {
    ASSERT_TRUE(std::regex_match(line, m, kLineRe)) << line;
    seen.insert(m[1].str().substr(0, m[1].str().find(' ')));
  }
  EXPECT_EQ(seen.size(), 2000u);
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/" + files()[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Anyone who can read the log may hold byte 0 of it: every record is still
// written, after one bounded wait, so a reader cannot stall the agent.
TEST_F(LogTest, ByteLockHeldElsewhereDelaysRecordsBoundedly) {
  BRIM_Log(316, 4, "f", 1, 0, "before the holder");
  const std::string path = dir_ + "/" + files().at(0);
  const int holder = holdByteZero(path);
  ASSERT_GE(holder, 0);
  std::atomic<int64_t> ms{-1};
  std::thread writer([&] {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) BRIM_Log(316, 4, "f", 2, 0, "while held %d", i);
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  });
  for (int i = 0; i < 300 && ms < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  close(holder);  // an unbounded wait would end only here
  writer.join();
  EXPECT_GE(ms.load(), 90);   // the first record did wait for the byte
  EXPECT_LT(ms.load(), 250);  // one bounded wait, then single tries
  const std::string text = avtest::readFile(path);
  for (int i = 0; i < 3; ++i) EXPECT_NE(text.find("while held " + std::to_string(i)), std::string::npos);
}

// A lock held elsewhere fails at once without a record; real failures are
// written with module 997 and the layer's code.
TEST_F(LogTest, FileLocksAndTheirFailureLines) {
  const std::string path = avtest::scratchRoot() + "/tmp/lockfile";
  avtest::writeFile(path, "0123456789");
  const BRIM_FILE_LOCK ex{1, 0, 1}, shared{2, 0, 1}, once{3, 0, 1};
  int fd = open(path.c_str(), O_RDWR);
  const int holder = holdByteZero(path);
  ASSERT_GE(holder, 0);
  EXPECT_EQ(BRIM_LockFile(fd, &once), -1);
  close(holder);
  EXPECT_EQ(BRIM_LockFile(fd, &ex), 0);
  EXPECT_EQ(holdByteZero(path), -1);  // now held here
  close(fd);
  EXPECT_EQ(BRIM_LockFile(-1, &ex), -1);
  fd = open(path.c_str(), O_WRONLY);
  EXPECT_EQ(BRIM_LockFile(fd, &shared), -1);  // a read lock needs read access: EBADF
  EXPECT_EQ(BRIM_close(fd), 0);
  EXPECT_EQ(BRIM_LockFile(fd, &ex) + BRIM_UnLockFile(fd, &ex) + BRIM_close(fd), -3);
  BRIM_StrToU64("0x1g"), BRIM_StrToU64("1a");
  const std::string f = std::to_string(fd);
  const std::string expect[] = {
      "[1500003e5013a][ERR][Input param error, vfd = (-1), vlock= (0x",
      "[1500003e500c5][ERR][Lock file(" + f + ") Fail, error code: (9).][BRIM][BRIM_LockFile,",
      "[1500003e500c5][ERR][Bad file descriptor.][BRIM][BRIM_LockFile,",
      "[1500003e500c6][ERR][Bad file descriptor.][BRIM][BRIM_UnLockFile,",
      "[1500003e500da][ERR][Close file(" + f + ") Fail, error code: (9).][BRIM][BRIM_close,",
      "[1500003e500e4][ERR][Not a numbric str: (0x1g).]", "[1500003e500e5][ERR][Not a numbric str: (1a).]"};
  auto got = lines();
  ASSERT_EQ(got.size(), std::size(expect));
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NE(got[i].find(expect[i]), std::string::npos) << got[i];
}

}  // namespace

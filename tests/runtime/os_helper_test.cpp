// OS helper layer: number parsing, byte-range locks, close, atomics.
#include "runtime/os_helper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

// Points the log at a folder of its own so the code field of the lines can be read.
struct LogFolder {
  LogFolder() {
    static int serial = 0;
    dir_ = avtest::scratchRoot() + "/oslogs-" + std::to_string(++serial);
    fs::create_directories(dir_);
    BRIM_SetLogDir(dir_.c_str());
  }
  ~LogFolder() { BRIM_SetLogDir((avtest::scratchRoot() + "/log").c_str()); }
  std::string text() const {
    std::string all;
    for (const auto& e : fs::directory_iterator(dir_)) all += avtest::readFile(e.path());
    return all;
  }
  std::string dir_;
};

}  // namespace


// Hex with 0x/0X or decimal; wraps without an overflow check; stops at the
// first bad character, which only then is logged.
TEST(OsStrToNumber, EdgeCases) {
  const struct { const char* text; uint64_t u; int64_t s; bool logged; } cases[] = {
      {"0x1f", 31, 31, false}, {"0X1F", 31, 31, false}, {"0xAbCdEf", 0xABCDEF, 0xABCDEF, false},
      {"0", 0, 0, false},      {"0x", 0, 0, false},     {"007", 7, 7, false},
      {"", 0, 0, false},       {nullptr, 0, 0, false},  {"5", 5, 5, false},
      {"18446744073709551615", UINT64_MAX, -1, false},
      {"18446744073709551616", 0, 0, false},
      {"0x10000000000000001", 1, 1, false},
      {"0xffffffffffffffff1", 0xfffffffffffffff1u, static_cast<int64_t>(0xfffffffffffffff1u), false},
      {"12a", 12, 12, true},   {"0x1g5", 1, 1, true},   {" 5", 0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    avtest::LogCapture capture;
    EXPECT_EQ(BRIM_StrToU64(c.text), c.u);
    EXPECT_EQ(capture.records().size(), c.logged ? 1u : 0u);
    EXPECT_EQ(BRIM_StrToS64(c.text), c.s);
  }
  const struct { const char* text; int64_t s; } negative[] = {
      {"-5", -5}, {"-", 0}, {"-0x10", -16}, {"-9223372036854775808", INT64_MIN}};
  for (const auto& c : negative) EXPECT_EQ(BRIM_StrToS64(c.text), c.s) << c.text;

  // The record: its text, module, level, caller, and the code field of the line.
  LogFolder folder;
  avtest::LogCapture capture;
  BRIM_StrToU64("12a");
  BRIM_StrToU64("0x1g5");
  auto recs = capture.records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].message, "Not a numbric str: (12a).");
  EXPECT_EQ(recs[0].module, AV_MODULE_BRIM);
  EXPECT_EQ(recs[0].level, AVLOG_ERR);
  EXPECT_EQ(recs[0].func, "BRIM_StrToU64");
  std::string text = folder.text();
  EXPECT_NE(text.find("[1500003e500e5][ERR][Not a numbric str: (12a).][BRIM]"), std::string::npos)
      << text;
  EXPECT_NE(text.find("[1500003e500e4][ERR][Not a numbric str: (0x1g5).]"), std::string::npos)
      << text;

}

namespace {

// Runs fn in a child process and returns its result, passed back through a pipe
// (a sanitizer may rewrite the child's exit status).
template <typename Fn>
int inChild(Fn fn) {
  int fds[2];
  if (pipe(fds) != 0) return 255;
  pid_t pid = fork();
  if (pid == 0) {
    char result = static_cast<char>(fn());
    ssize_t n = write(fds[1], &result, 1);
    _exit(n == 1 ? 0 : 1);
  }
  close(fds[1]);
  char result = static_cast<char>(255);
  ssize_t n = read(fds[0], &result, 1);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return n == 1 ? static_cast<unsigned char>(result) : 255;
}

std::string lockFilePath() { return avtest::scratchRoot() + "/tmp/lockfile"; }

int childTry(int type, int64_t offset) {
  int fd = open(lockFilePath().c_str(), O_RDWR);
  BRIM_FILE_LOCK l{type, offset, 1};
  int rc = BRIM_LockFile(fd, &l);
  close(fd);
  return rc == 0 ? 0 : 1;
}

}  // namespace

TEST(OsFileLock, ExclusiveBlocksAnotherProcess) {
  avtest::writeFile(lockFilePath(), "0123456789");
  int fd = open(lockFilePath().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const BRIM_FILE_LOCK exclusive{1, 0, 1};
  ASSERT_EQ(BRIM_LockFile(fd, &exclusive), 0);
  EXPECT_EQ(inChild([] { return childTry(3, 0); }), 1);  // exclusive, fail at once
  ASSERT_EQ(BRIM_UnLockFile(fd, &exclusive), 0);
  EXPECT_EQ(inChild([] { return childTry(3, 0); }), 0);
  close(fd);
}

TEST(OsFileLock, BadArgumentsAndFailuresAreLoggedWithTheirCodes) {
  LogFolder folder;
  avtest::LogCapture capture;
  const BRIM_FILE_LOCK l{1, 0, 1}, shared{2, 0, 1};
  EXPECT_EQ(BRIM_LockFile(-1, &l), -1);
  avtest::writeFile(lockFilePath(), "0123456789");
  int fd = open(lockFilePath().c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(BRIM_LockFile(fd, nullptr), -1);
  EXPECT_EQ(BRIM_LockFile(fd, &shared), -1);  // a read lock needs read access: EBADF
  EXPECT_EQ(BRIM_close(fd), 0);
  EXPECT_EQ(BRIM_LockFile(fd, &l), -1);  // closed: no handle behind it
  EXPECT_EQ(BRIM_UnLockFile(fd, &l), -1);
  EXPECT_EQ(BRIM_close(fd), -1);

  auto recs = capture.records();
  ASSERT_EQ(recs.size(), 6u);
  EXPECT_EQ(recs[0].message.rfind("Input param error, vfd = (-1), vlock= (0x", 0), 0u)
      << recs[0].message;
  EXPECT_EQ(recs[1].message, "Input param error, vfd = (" + std::to_string(fd) +
                                 "), vlock= ((nil)).");
  EXPECT_EQ(recs[2].message, "Lock file(" + std::to_string(fd) + ") Fail, error code: (9).");
  EXPECT_EQ(recs[3].message, "Bad file descriptor.");
  EXPECT_EQ(recs[3].func, "BRIM_LockFile");
  EXPECT_EQ(recs[4].func, "BRIM_UnLockFile");
  EXPECT_EQ(recs[5].message, "Close file(" + std::to_string(fd) + ") Fail, error code: (9).");
  std::string text = folder.text();
  for (const char* code : {"[1500003e5013a][ERR][Input param error",
                           "[1500003e500c5][ERR][Bad file descriptor.]",
                           "[1500003e500c6][ERR][Bad file descriptor.]",
                           "[1500003e500da][ERR][Close file("})
    EXPECT_NE(text.find(code), std::string::npos) << code;
}

TEST(OsHelperConcurrency, CountersAndMutexesUnderContention) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 20000;
  volatile int32_t counter = 0;
  BRIM_AtomicSet(&counter, 5);
  EXPECT_EQ(BRIM_AtomicGet(&counter), 5);
  BRIM_MUTEX m;
  BRIM_MutexCreate(&m, AV_MODULE_AGENT);
  int64_t guarded = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (t % 2) {
          BRIM_AtomicInc(&counter);
        } else {
          BRIM_AtomicInc(&counter);
          BRIM_AtomicInc(&counter);
          BRIM_AtomicDec(&counter);
        }
        BRIM_MutexLock(&m);
        ++guarded;
        BRIM_MutexUnlock(&m);
      }
      EXPECT_EQ(BRIM_ThreadHeldMutexes(), 0);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(BRIM_AtomicGet(&counter), 5 + kThreads * kRounds);
  EXPECT_EQ(guarded, static_cast<int64_t>(kThreads) * kRounds);
  BRIM_MutexDestroy(&m, AV_MODULE_AGENT);
}

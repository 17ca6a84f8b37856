// OS helper layer: number parsing, byte-range locks and close with their codes.
#include "runtime/os_helper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "runtime/log.h"
#include "support/test_env.h"

namespace {

// Hex after 0x/0X or decimal; wraps; stops at the first bad character, which
// alone is logged (228 hex, 229 decimal).
TEST(OsHelper, StrToNumber) {
  const struct { const char* text; uint64_t u; int64_t s; int code; } cases[] = {
      {"0x1f", 31, 31, 0},   {"0X1F", 31, 31, 0}, {"0xAbCdEf", 0xABCDEF, 0xABCDEF, 0},
      {"", 0, 0, 0},         {nullptr, 0, 0, 0},  {"007", 7, 7, 0},
      {"18446744073709551615", UINT64_MAX, -1, 0}, {"18446744073709551616", 0, 0, 0},
      {"-5", 0, -5, 229},    {"12a", 12, 12, 229}, {"0x1g5", 1, 1, 228}, {" 5", 0, 0, 229},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    avtest::LogCapture capture;
    EXPECT_EQ(BRIM_StrToU64(c.text), c.u);
    auto recs = capture.records();
    ASSERT_EQ(recs.size(), c.code ? 1u : 0u);
    if (c.code) {
      EXPECT_EQ(recs[0].message, "Not a numbric str: (" + std::string(c.text) + ").");
    }
    if (c.text && c.text[0] != '-') {
      EXPECT_EQ(BRIM_StrToS64(c.text), c.s);
    }
  }
  EXPECT_EQ(BRIM_StrToS64("-5"), -5);
  EXPECT_EQ(BRIM_StrToS64("-0x10"), -16);
}

int childTriesLock(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    const BRIM_FILE_LOCK once{3, 0, 1};
    _exit(BRIM_LockFile(fd, &once) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OsHelper, FileLocksAndTheirFailureCodes) {
  const std::string path = avtest::scratchRoot() + "/tmp/lockfile";
  avtest::writeFile(path, "0123456789");
  int fd = open(path.c_str(), O_RDWR);
  const BRIM_FILE_LOCK exclusive{1, 0, 1}, shared{2, 0, 1};
  ASSERT_EQ(BRIM_LockFile(fd, &exclusive), 0);
  EXPECT_EQ(childTriesLock(path), 1);  // held here: another process fails at once
  ASSERT_EQ(BRIM_UnLockFile(fd, &exclusive), 0);
  EXPECT_EQ(childTriesLock(path), 0);
  EXPECT_EQ(BRIM_LockFileWithin(fd, &exclusive, 0), 0);
  close(fd);

  const std::string logDir = avtest::scratchRoot() + "/oslog";
  std::filesystem::create_directories(logDir);
  BRIM_SetLogDir(logDir.c_str());
  avtest::LogCapture capture;
  EXPECT_EQ(BRIM_LockFile(-1, &exclusive), -1);
  fd = open(path.c_str(), O_WRONLY);
  EXPECT_EQ(BRIM_LockFile(fd, &shared), -1);  // a read lock needs read access: EBADF
  EXPECT_EQ(BRIM_close(fd), 0);
  EXPECT_EQ(BRIM_LockFile(fd, &exclusive), -1);
  EXPECT_EQ(BRIM_UnLockFile(fd, &exclusive), -1);
  EXPECT_EQ(BRIM_close(fd), -1);
  const std::string f = std::to_string(fd);
  BRIM_StrToU64("0x1g");
  BRIM_StrToU64("1a");
  BRIM_SetLogDir((avtest::scratchRoot() + "/log").c_str());
  // The code field of the written line carries module 997 and the layer's code.
  const struct { std::string func, message, code; } expect[] = {
      {"BRIM_LockFile", "Input param error, vfd = (-1), vlock= (0x", "1500003e5013a"},
      {"BRIM_LockFile", "Lock file(" + f + ") Fail, error code: (9).", "1500003e500c5"},
      {"BRIM_LockFile", "Bad file descriptor.", "1500003e500c5"},
      {"BRIM_UnLockFile", "Bad file descriptor.", "1500003e500c6"},
      {"BRIM_close", "Close file(" + f + ") Fail, error code: (9).", "1500003e500da"},
      {"BRIM_StrToU64", "Not a numbric str: (0x1g).", "1500003e500e4"},
      {"BRIM_StrToU64", "Not a numbric str: (1a).", "1500003e500e5"},
  };
  auto recs = capture.records();
  ASSERT_EQ(recs.size(), std::size(expect));
  std::string text;
  for (const auto& e : std::filesystem::directory_iterator(logDir)) text += avtest::readFile(e.path());
  for (size_t i = 0; i < recs.size(); ++i) {
    EXPECT_EQ(recs[i].func, expect[i].func);
    EXPECT_EQ(recs[i].message.rfind(expect[i].message, 0), 0u) << recs[i].message;
    EXPECT_NE(text.find("[" + expect[i].code + "][ERR][" + expect[i].message), std::string::npos)
        << expect[i].code;
  }
}

}  // namespace

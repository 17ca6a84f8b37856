// INI file: the private-profile read rules, in-place writes, and writes that
// must fail whole (never reported as done, never leaving half a file).
#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "support/test_env.h"

namespace {

std::string iniPath(const char* name) { return avtest::scratchRoot() + "/tmp/" + name + ".ini"; }

std::string get(const char* section, const char* key, const std::string& path, uint32_t size = 256) {
  char buf[512];
  std::memset(buf, 'X', sizeof buf);
  const int n = ini_GetString(section, key, "DEF", buf, size, path.c_str());
  EXPECT_EQ(n, static_cast<int>(std::strlen(buf)));
  return buf;
}

TEST(IniFile, ReadRules) {
  const std::string p = iniPath("read");
  avtest::writeFile(p, "; c\norphan=x\n[Alpha]\n  Name  =  first  \nname=second\nQ=\"  in  \"\n"
                       "M=\"a'\nEmpty=\n# H=c\nE=a=b\n[ beta ]\r\nKey=b\r\n[ALPHA]\nLate=dup\nT=last");
  const struct { const char *section, *key, *expect; } cases[] = {
      {"alpha", "NAME", "first"}, {"Alpha", "Q", "  in  "}, {"Alpha", "M", "\"a'"},
      {"Alpha", "Empty", ""},     {"Alpha", "# H", "DEF"},  {"Alpha", "E", "a=b"},
      {"BETA", "key", "b"},       {"Alpha", "Late", "DEF"}, {"Alpha", "orphan", "DEF"},
      {"Gamma", "Name", "DEF"},
  };
  for (const auto& c : cases) EXPECT_EQ(get(c.section, c.key, p), c.expect) << c.key;
  EXPECT_EQ(get("Alpha", "Name", iniPath("missing")), "DEF");
  EXPECT_EQ(get("Alpha", "Name", p, 3) + get("Alpha", "Nope", p, 3), "fiDE");  // cut to size - 1
  uint32_t full = 0;
  char buf[4];
  EXPECT_EQ(ini_GetStringLen("Alpha", "name", "", buf, sizeof buf, p.c_str(), &full), 3);
  EXPECT_EQ(full, 5u);
  const struct { const char* text; int expect; } ints[] = {
      {"+12", 12}, {"-7", -7}, {"42abc", 42}, {"", 0}, {"\"80\"", 80},
      {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}, {"-2147483648", INT_MIN}};
  for (const auto& c : ints) {
    avtest::writeFile(p, std::string("[N]\r\nK=") + c.text + "\r\n");
    EXPECT_EQ(ini_GetInt("N", "K", -1, p.c_str()), c.expect) << c.text;
  }
  EXPECT_EQ(ini_GetInt("N", "Absent", -1000, p.c_str()), -1000);
}

// Only the touched line changes; a new file is renamed over (readers see old or
// new) keeping the mode; a fresh file is 0600 as it will hold a credential.
TEST(IniFile, WriteChangesOnlyTheTouchedLines) {
  const std::string p = iniPath("write");
  const struct { const char *before, *section, *key, *value, *after; } cases[] = {
      {"; c\n[A]\nPort = 1\nPWD=s  \nPwd=2\n[B]\nPwd=3\n", "a", "pwd", "null",
       "; c\n[A]\nPort = 1\nPWD=null\nPwd=2\n[B]\nPwd=3\n"},
      {"[A]\nx=1\n\n; B\n[B]\nz=3", "A", "New", "  v  ", "[A]\nx=1\nNew=\"  v  \"\n\n; B\n[B]\nz=3"},
      {"[A]\r\nx=1\r\n; end", "B", "k", "v", "[A]\r\nx=1\r\n; end\r\n[B]\r\nk=v\r\n"},
      {nullptr, "S", "Q", "\"q\"", "[S]\nQ=\"\"q\"\"\n"},
  };
  for (const auto& c : cases) {
    struct stat old {}, st {};
    unlink(p.c_str());
    if (c.before) avtest::writeFile(p, c.before), chmod(p.c_str(), 0640), stat(p.c_str(), &old);
    ASSERT_EQ(ini_WriteString(c.section, c.key, c.value, p.c_str()), 0);
    EXPECT_EQ(avtest::readFile(p), c.after);
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.before ? 0640u : 0600u);
    EXPECT_NE(st.st_ino, old.st_ino);
  }
  EXPECT_EQ(get("S", "Q", p), "\"q\"");
}

// A write that cannot complete returns -1 and leaves the old file whole: a
// forged line, a missing folder, or a disk that refuses the bytes.
TEST(IniFile, FailedWriteIsReportedAndChangesNothing) {
  const std::string p = iniPath("refuse"), before = "[S]\nk=v\n";
  avtest::writeFile(p, before);
  const IniKeyValue forged[] = {{"k", "w"}, {"y", "a\nPort=1"}};
  EXPECT_EQ(ini_WriteStrings("S", forged, 2, p.c_str()), -1);
  EXPECT_EQ(ini_WriteString("S", "a=b", "v", p.c_str()), -1);
  EXPECT_EQ(ini_WriteString("S", "k", "v", (avtest::scratchRoot() + "/no/dir/x.ini").c_str()), -1);
  const pid_t pid = fork();
  if (pid == 0) {  // a file size limit makes the write of the new text fail part-way
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4, 4};
    setrlimit(RLIMIT_FSIZE, &lim);
    _exit(ini_WriteString("S", "k", std::string(100, 'w').c_str(), p.c_str()) == -1 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(avtest::readFile(p), before);
}

}  // namespace

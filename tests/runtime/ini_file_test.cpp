#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include "support/test_env.h"

namespace {

std::string iniPath(const char* name) { return avtest::scratchRoot() + "/tmp/ini_" + name + ".ini"; }

std::string get(const char* section, const char* key, const std::string& path,
                const char* def = "DEF", uint32_t size = 256) {
  char buf[512];
  std::memset(buf, 'X', sizeof buf);
  int n = ini_GetString(section, key, def, buf, size, path.c_str());
  EXPECT_EQ(n, static_cast<int>(std::strlen(buf)));
  return buf;
}

const char* kSample =
    "; leading comment\n"
    "orphan=before any section\n"
    "[Alpha]\n"
    "  Name  =  first value  \n"
    "name=second value\n"
    "Quoted=\"  kept blanks  \"\n"
    "Mismatch=\"abc'\n"
    "Empty=\n"
    "# Hash=comment\n"
    "Equals=a=b=c\n"
    "NoEquals line\n"
    "[ beta ]\n"
    "Key=beta value\n"
    "[ALPHA]\n"
    "Late=ignored, a duplicate section\n";

TEST(IniFileRead, PrivateProfileRules) {
  std::string p = iniPath("read");
  avtest::writeFile(p, kSample);
  std::string crlf = iniPath("crlf");
  avtest::writeFile(crlf, "[S]\r\nA = one \r\n[T]\r\nC=last");  // no final line end
  const struct { const char *section, *key, *expect; const std::string& path; } cases[] = {
      {"alpha", "NAME", "first value", p},  // no case, first key wins, trimmed
      {"Alpha", "Quoted", "  kept blanks  ", p},  // quotes removed, inside kept
      {"Alpha", "Mismatch", "\"abc'", p},
      {"Alpha", "Empty", "", p},  // present but empty is not the default
      {"Alpha", "# Hash", "DEF", p},
      {"Alpha", "Equals", "a=b=c", p},
      {"Alpha", "NoEquals line", "DEF", p},
      {"BETA", "key", "beta value", p},
      {"Alpha", "Late", "DEF", p},  // a duplicate section is invisible
      {"Alpha", "orphan", "DEF", p},
      {"Gamma", "Name", "DEF", p},
      {"S", "A", "one", crlf},
      {"T", "C", "last", crlf},
  };
  for (const auto& c : cases) EXPECT_EQ(get(c.section, c.key, c.path), c.expect) << c.key;
  EXPECT_EQ(get("Alpha", "Name", iniPath("missing_file")), "DEF");
  EXPECT_EQ(get("Alpha", "Nope", p, nullptr), "");
  EXPECT_EQ(get(nullptr, "Name", p), "DEF");
  EXPECT_EQ(ini_GetString("Alpha", "Name", "d", nullptr, 10, p.c_str()), 0);

  // Cut to the buffer size less one, the default too; size 0 writes nothing.
  avtest::writeFile(p, "[S]\nLong=" + std::string(300, 'v') + "\n");
  EXPECT_EQ(get("S", "Long", p, "DEF", 129), std::string(128, 'v'));
  EXPECT_EQ(get("S", "Long", p, "DEF", 1), "");
  EXPECT_EQ(get("S", "Missing", p, "default", 4), "def");
  char buf[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(ini_GetString("S", "Long", "", buf, 0, p.c_str()), 0);
  EXPECT_EQ(buf[0], 'a');
}

TEST(IniFileRead, IntegerRules) {
  std::string p = iniPath("int");
  const struct { const char* text; int expect; } cases[] = {{"+12", 12}, {"-7", -7}, {"  42abc", 42}, {"", 0}, {"\"80\"", 80}, {"- 5", 0},
               {"0x10", 0}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
               {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}};
  for (const auto& c : cases) {
    avtest::writeFile(p, std::string("[N]\r\nK=") + c.text + "\r\n");
    EXPECT_EQ(ini_GetInt("N", "K", -1, p.c_str()), c.expect) << c.text;  // saturates, never wraps
  }
  EXPECT_EQ(ini_GetInt("N", "Absent", -1000, p.c_str()), -1000);
  EXPECT_EQ(ini_GetInt("N", "K", -1000, iniPath("nofile").c_str()), -1000);
}

TEST(IniFileWrite, ChangesOnlyTheTouchedLine) {
  std::string p = iniPath("write");
  const struct { const char *before, *section, *key, *value, *after; } cases[] = {
      // Replaced in place: first match without case, spelling and other lines kept.
      {"; c\n[Agent]\nPort = 5000\nPWD=secret  \nPwd=second\n\n[Other]\nPwd=other\n", "agent",
       "pwd", "null", "; c\n[Agent]\nPort = 5000\nPWD=null\nPwd=second\n\n[Other]\nPwd=other\n"},
      // A missing key goes after the last key of its section.
      {"[A]\nx=1\ny=2\n\n; about B\n[B]\nz=3\n", "A", "New", "v",
       "[A]\nx=1\ny=2\nNew=v\n\n; about B\n[B]\nz=3\n"},
      {"[A]\nx=1\n[B]\nz=3\n", "B", "Tail", "w", "[A]\nx=1\n[B]\nz=3\nTail=w\n"},
      {"[Empty]\n[Next]\nk=1", "Empty", "a", "b", "[Empty]\na=b\n[Next]\nk=1"},
      // A missing section goes at the end, in the file's own line ends.
      {"[A]\r\nx=1\r\n; end", "B", "k", "v", "[A]\r\nx=1\r\n; end\r\n[B]\r\nk=v\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    avtest::writeFile(p, c.before);
    ASSERT_EQ(ini_WriteString(c.section, c.key, c.value, p.c_str()), 0);
    EXPECT_EQ(avtest::readFile(p), c.after);
  }
}

TEST(IniFileWrite, SeveralKeysInOneReplace) {
  std::string p = iniPath("multi");
  avtest::writeFile(p, "[A]\nx=1\nPwd=plain\n[B]\nz=3\n");
  const IniKeyValue pairs[] = {{"pwd", "null"}, {"New", "  v  "}, {"x", "2"}};
  struct stat before {}, after {};
  ASSERT_EQ(stat(p.c_str(), &before), 0);
  ASSERT_EQ(ini_WriteStrings("A", pairs, 3, p.c_str()), 0);
  ASSERT_EQ(stat(p.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(avtest::readFile(p), "[A]\nx=2\nPwd=null\nNew=\"  v  \"\n[B]\nz=3\n");
  // One pair that could forge a line refuses the whole write.
  const IniKeyValue bad[] = {{"x", "3"}, {"y", "a\nPort=1"}};
  EXPECT_EQ(ini_WriteStrings("A", bad, 2, p.c_str()), -1);
  EXPECT_EQ(get("A", "x", p), "2");

  // A cut read still reports the value's whole length (the default's when missing).
  char buf[8];
  uint32_t full = 0;
  EXPECT_EQ(ini_GetStringLen("A", "New", "", buf, sizeof buf, p.c_str(), &full), 5);
  EXPECT_EQ(full, 5u);
  EXPECT_EQ(ini_GetStringLen("B", "none", "0123456789", buf, sizeof buf, p.c_str(), &full), 7);
  EXPECT_EQ(full, 10u);
}

TEST(IniFileWrite, AtomicReplaceKeepsModeAndNewFileIsPrivate) {
  std::string dir = avtest::scratchRoot() + "/tmp/inidir";
  std::filesystem::remove_all(dir);
  std::string p = dir + "/a.ini";
  avtest::writeFile(p, "[S]\nk=v\n");
  ASSERT_EQ(chmod(p.c_str(), 0640), 0);
  struct stat before {}, after {};
  ASSERT_EQ(stat(p.c_str(), &before), 0);
  ASSERT_EQ(ini_WriteString("S", "k", "w", p.c_str()), 0);
  ASSERT_EQ(stat(p.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino);  // a new file took the name
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                          std::filesystem::directory_iterator()), 1);  // no temporary left

  // A new file holds a credential: 0600. Values reading would alter round-trip.
  std::string n = dir + "/new.ini";
  ASSERT_EQ(ini_WriteString("S", "Blanks", "  padded  ", n.c_str()), 0);
  ASSERT_EQ(ini_WriteString("S", "Quoted", "\"q\"", n.c_str()), 0);
  ASSERT_EQ(ini_WriteString("S", "Empty", "", n.c_str()), 0);
  ASSERT_EQ(stat(n.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 0777, 0600u);
  EXPECT_EQ(get("S", "Blanks", n), "  padded  ");
  EXPECT_EQ(get("S", "Quoted", n), "\"q\"");
  EXPECT_EQ(get("S", "Empty", n), "");
}

TEST(IniFileWrite, RefusesWhatCouldForgeLines) {
  std::string p = iniPath("refuse");
  const std::string before = "[S]\nk=v\n";
  avtest::writeFile(p, before);
  EXPECT_EQ(ini_WriteString("S", "k", "a\nPort=1", p.c_str()), -1);
  EXPECT_EQ(ini_WriteString("S]x", "k", "v", p.c_str()), -1);
  EXPECT_EQ(ini_WriteString("S", "a=b", "v", p.c_str()), -1);
  EXPECT_EQ(ini_WriteString("S", " ", "v", p.c_str()), -1);
  EXPECT_EQ(ini_WriteString("S", "k", nullptr, p.c_str()), -1);
  EXPECT_EQ(ini_WriteString(nullptr, "k", "v", p.c_str()), -1);
  EXPECT_EQ(ini_WriteString("S", "k", "v", nullptr), -1);
  EXPECT_EQ(ini_WriteString("S", "k", "v", (avtest::scratchRoot() + "/no/such/dir/x.ini").c_str()),
            -1);
  EXPECT_EQ(avtest::readFile(p), before);
}

// A reader never sees a half-written file: every read gives one of the two
// values being written, never the default or a cut value.
TEST(IniFileConcurrency, ReadersSeeOldOrNewFile) {
  std::string p = iniPath("atomic");
  std::string filler;
  for (int i = 0; i < 300; ++i) filler += "; filler line " + std::to_string(i) + "\n";
  avtest::writeFile(p, "[S]\n" + filler + "Value=" + std::string(100, 'a') + "\n" + filler);
  const std::string a(100, 'a');
  const std::string b(100, 'b');
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    char buf[256];
    while (!stop.load()) {
      ini_GetString("S", "Value", "missing", buf, sizeof buf, p.c_str());
      if (buf != a && buf != b) bad.fetch_add(1);
      reads.fetch_add(1);
    }
  });
  for (int i = 0; i < 60; ++i)
    ASSERT_EQ(ini_WriteString("S", "Value", (i % 2 ? a : b).c_str(), p.c_str()), 0);
  while (reads.load() < 50) std::this_thread::yield();
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_NE(avtest::readFile(p).find(filler + "Value="), std::string::npos);
}

}  // namespace

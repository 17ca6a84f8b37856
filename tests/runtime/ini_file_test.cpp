#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
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
    "Single='x y'\n"
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
  EXPECT_EQ(get("alpha", "NAME", p), "first value");     // no case, first key wins, trimmed
  EXPECT_EQ(get("Alpha", "Quoted", p), "  kept blanks  ");  // quotes removed, inside kept
  EXPECT_EQ(get("Alpha", "Single", p), "x y");
  EXPECT_EQ(get("Alpha", "Mismatch", p), "\"abc'");
  EXPECT_EQ(get("Alpha", "Empty", p), "");  // present but empty is not the default
  EXPECT_EQ(get("Alpha", "# Hash", p), "DEF");
  EXPECT_EQ(get("Alpha", "Equals", p), "a=b=c");
  EXPECT_EQ(get("Alpha", "NoEquals line", p), "DEF");
  EXPECT_EQ(get("BETA", "key", p), "beta value");
  EXPECT_EQ(get("Alpha", "Late", p), "DEF");
  EXPECT_EQ(get("Alpha", "orphan", p), "DEF");
  EXPECT_EQ(get("Gamma", "Name", p), "DEF");
  EXPECT_EQ(get("Alpha", "Key", p), "DEF");  // keys do not leak across sections
  EXPECT_EQ(get("Alpha", "Name", iniPath("missing_file")), "DEF");
  EXPECT_EQ(get("Alpha", "Nope", p, nullptr), "");
  EXPECT_EQ(get(nullptr, "Name", p), "DEF");
  EXPECT_EQ(ini_GetString("Alpha", "Name", "d", nullptr, 10, p.c_str()), 0);
}

TEST(IniFileRead, CrLfAndUnterminatedLastLine) {
  std::string p = iniPath("crlf");
  avtest::writeFile(p, "[S]\r\nA = one \r\nB=\"two\"\r\nN=-12\r\n[T]\r\nC=last");
  EXPECT_EQ(get("S", "A", p), "one");
  EXPECT_EQ(get("S", "B", p), "two");
  EXPECT_EQ(ini_GetInt("S", "N", 0, p.c_str()), -12);
  EXPECT_EQ(get("T", "C", p), "last");
}

TEST(IniFileRead, CutToBufferSizeLessOne) {
  std::string p = iniPath("cut");
  avtest::writeFile(p, "[S]\nLong=" + std::string(300, 'v') + "\n");
  EXPECT_EQ(get("S", "Long", p, "DEF", 129), std::string(128, 'v'));
  EXPECT_EQ(get("S", "Long", p, "DEF", 1), "");
  EXPECT_EQ(get("S", "Missing", p, "default", 4), "def");  // the default is cut too
  char buf[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(ini_GetString("S", "Long", "", buf, 0, p.c_str()), 0);
  EXPECT_EQ(buf[0], 'a');  // size 0 writes nothing
}

TEST(IniFileRead, IntegerRules) {
  std::string p = iniPath("int");
  avtest::writeFile(p,
                    "[N]\nPlus=+12\nMinus=-7\nTrail=  42abc\nWord=abc\nEmpty=\nSign=-\n"
                    "Quoted=\"80\"\nHuge=99999999999\nNegHuge=-99999999999\nSpaced=- 5\n"
                    "Hex=0x10\nMax=2147483647\nMin=-2147483648\n");
  const char* f = p.c_str();
  EXPECT_EQ(ini_GetInt("N", "Plus", -1, f), 12);
  EXPECT_EQ(ini_GetInt("N", "Minus", -1, f), -7);
  EXPECT_EQ(ini_GetInt("N", "Trail", -1, f), 42);
  EXPECT_EQ(ini_GetInt("N", "Word", -1, f), 0);
  EXPECT_EQ(ini_GetInt("N", "Empty", -1, f), 0);
  EXPECT_EQ(ini_GetInt("N", "Sign", -1, f), 0);
  EXPECT_EQ(ini_GetInt("N", "Quoted", -1, f), 80);
  EXPECT_EQ(ini_GetInt("N", "Huge", -1, f), INT_MAX);  // saturates, never wraps
  EXPECT_EQ(ini_GetInt("N", "NegHuge", -1, f), INT_MIN);
  EXPECT_EQ(ini_GetInt("N", "Spaced", -1, f), 0);
  EXPECT_EQ(ini_GetInt("N", "Hex", -1, f), 0);
  EXPECT_EQ(ini_GetInt("N", "Max", -1, f), INT_MAX);
  EXPECT_EQ(ini_GetInt("N", "Min", -1, f), INT_MIN);
  EXPECT_EQ(ini_GetInt("N", "Absent", -1000, f), -1000);
  EXPECT_EQ(ini_GetInt("N", "Plus", -1000, iniPath("nofile").c_str()), -1000);
}

TEST(IniFileWrite, ReplacesInPlaceKeepingEverythingElse) {
  std::string p = iniPath("replace");
  avtest::writeFile(p,
                    "; header comment\n[Agent]\nPort = 5000\n; about pwd\nPWD=secret  \n"
                    "Pwd=second\n\n[Other]\nPwd=other\n");
  ASSERT_EQ(ini_WriteString("agent", "pwd", "null", p.c_str()), 0);
  EXPECT_EQ(avtest::readFile(p),
            "; header comment\n[Agent]\nPort = 5000\n; about pwd\nPWD=null\n"
            "Pwd=second\n\n[Other]\nPwd=other\n");
  ASSERT_EQ(ini_WriteString("Agent", "Port", "6000", p.c_str()), 0);
  EXPECT_EQ(get("Agent", "Port", p), "6000");
  EXPECT_NE(avtest::readFile(p).find("Port = 6000\n"), std::string::npos);
}

TEST(IniFileWrite, AddsMissingKeyAtEndOfItsSection) {
  std::string p = iniPath("addkey");
  avtest::writeFile(p, "[A]\nx=1\ny=2\n\n; about B\n[B]\nz=3\n");
  ASSERT_EQ(ini_WriteString("A", "New", "v", p.c_str()), 0);
  EXPECT_EQ(avtest::readFile(p), "[A]\nx=1\ny=2\nNew=v\n\n; about B\n[B]\nz=3\n");
  ASSERT_EQ(ini_WriteString("B", "Tail", "w", p.c_str()), 0);
  EXPECT_EQ(avtest::readFile(p), "[A]\nx=1\ny=2\nNew=v\n\n; about B\n[B]\nz=3\nTail=w\n");

  // A section holding no key yet gets it right under its header.
  avtest::writeFile(p, "[Empty]\n[Next]\nk=1");
  ASSERT_EQ(ini_WriteString("Empty", "a", "b", p.c_str()), 0);
  EXPECT_EQ(avtest::readFile(p), "[Empty]\na=b\n[Next]\nk=1");
  ASSERT_EQ(ini_WriteString("Next", "m", "2", p.c_str()), 0);
  EXPECT_EQ(avtest::readFile(p), "[Empty]\na=b\n[Next]\nk=1\nm=2\n");
}

TEST(IniFileWrite, AddsMissingSectionAtEndAndKeepsCrLf) {
  std::string p = iniPath("addsec");
  avtest::writeFile(p, "[A]\r\nx=1\r\n; end");
  ASSERT_EQ(ini_WriteString("B", "k", "v", p.c_str()), 0);
  EXPECT_EQ(avtest::readFile(p), "[A]\r\nx=1\r\n; end\r\n[B]\r\nk=v\r\n");
  ASSERT_EQ(ini_WriteString("A", "x", "2", p.c_str()), 0);
  EXPECT_EQ(avtest::readFile(p), "[A]\r\nx=2\r\n; end\r\n[B]\r\nk=v\r\n");
}

TEST(IniFileWrite, NewFileIsPrivateAndValuesRoundTrip) {
  std::string p = iniPath("newfile");
  std::filesystem::remove(p);
  ASSERT_EQ(ini_WriteString("S", "Blanks", "  padded  ", p.c_str()), 0);
  ASSERT_EQ(ini_WriteString("S", "Quoted", "\"q\"", p.c_str()), 0);
  ASSERT_EQ(ini_WriteString("S", "Empty", "", p.c_str()), 0);
  struct stat st {};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(get("S", "Blanks", p), "  padded  ");
  EXPECT_EQ(get("S", "Quoted", p), "\"q\"");
  EXPECT_EQ(get("S", "Empty", p), "");
}

TEST(IniFileWrite, RefusesWhatCouldForgeLines) {
  std::string p = iniPath("refuse");
  const std::string before = "[S]\nk=v\n";
  avtest::writeFile(p, before);
  EXPECT_EQ(ini_WriteString("S", "k", "a\nPort=1", p.c_str()), -1);
  EXPECT_EQ(ini_WriteString("S", "k", "a\rb", p.c_str()), -1);
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

TEST(IniFileWrite, ReplacesByRenameKeepingPermissionBits) {
  std::string dir = avtest::scratchRoot() + "/tmp/inidir";
  std::filesystem::remove_all(dir);
  std::string p = dir + "/a.ini";
  avtest::writeFile(p, "[S]\nk=v\n");
  ASSERT_EQ(chmod(p.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(stat(p.c_str(), &before), 0);
  ASSERT_EQ(ini_WriteString("S", "k", "w", p.c_str()), 0);
  struct stat after {};
  ASSERT_EQ(stat(p.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_NE(after.st_ino, before.st_ino);  // a new file took the name
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);  // no temporary file left behind
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

// The pieces that read single header lines and judge the outcome.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "icap/icap_response.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

TEST(IcapStatusLine, KnownCodesAnywhereInTheLineAndTheWarning) {
  avtest::LogCapture log;
  struct Case {
    const char* line;
    int start, expected;
    bool warns;
  } cases[] = {
      {"ICAP/1.0 200 OK", 0, 200, false},        {"ICAP/1.0 201 Created", 0, 201, false},
      {"X-Note: said ICAP/1.0 502", 200, 502, false}, {"ICAP/1.0 204 No Content", 0, 0, true},
      {"Server: C-ICAP/0.5.10", 200, 200, true},  // mentions ICAP: warned, kept
      {"ISTag: \"abc\"", 403, 403, false},       {"ICAP/1.1 200 OK", 0, 0, true},
      {"icap/1.0 200 ok", 7, 7, false},  // case matters, and no "ICAP" at all
  };
  for (const auto& c : cases) {
    int state = c.start;
    size_t warnsBefore = log.count("invaild");
    EXPECT_EQ(getICAPReturnState(&state, c.line), 0) << c.line;
    EXPECT_EQ(state, c.expected) << c.line;
    EXPECT_EQ(log.count("invaild") - warnsBefore, c.warns ? 1u : 0u) << c.line;
  }
  EXPECT_TRUE(log.contains("Recv icap message (ICAP/1.0 204 No Content) invaild", AVLOG_WARN));
  int state = 0;
  EXPECT_EQ(getICAPReturnState(&state, nullptr), -1);
}

TEST(IcapIsTag, QuotesRemovedAndValueLimits) {
  const std::pair<std::string, std::string> good[] = {
      {"ISTag: \"CI0001-abc\"", "CI0001-abc"},
      {"ISTag: T1", "T1"},
      {"ISTag:\t\"a\"b\"", "ab"},  // any two characters skipped
      {"ISTag: \"" + std::string(70, 'x') + "\"", std::string(63, 'x')},  // 64 taken, the quote among them
      {"ISTag: " + std::string(64, 'y') + "zz", std::string(64, 'y')},
  };
  char out[65];
  for (const auto& [line, tag] : good) {
    EXPECT_EQ(getISTagValue(line.c_str(), out, sizeof(out)), 0) << line;
    EXPECT_EQ(std::string(out), tag);
  }
  avtest::LogCapture log;
  for (const char* bad : {"ISTag: \"\"", "ISTag: ", "ISTag:", "ISTag", "ISTag: \"\"\"\""}) {
    size_t before = log.count("The para istag is invalid.");
    EXPECT_EQ(getISTagValue(bad, out, sizeof(out)), -1) << bad;
    EXPECT_EQ(log.count("The para istag is invalid."), before + 1) << bad;
  }
}

TEST(IcapReplaceStr, ReplacesEveryOccurrenceWithinTheWorkArea) {
  struct Case {
    std::string text;
    size_t size;
    const char *from, *to;
    std::string want;
  } cases[] = {
      {"a\"b\"c", 80, "\"", "", "abc"},
      {"xyxyx", 80, "xy", "Q", "QQx"},
      {"ab", 2, "a", "A", "A"},                                 // copied back cut to size - 1
      {std::string(40, 'o'), 80, "o", "oo", std::string(64, 'o')},  // the work area holds 64
      {"same", 80, "", "x", "same"},                            // nothing to look for
  };
  for (const auto& c : cases) {
    char t[80];
    strcpy(t, c.text.c_str());
    ReplaceStr(t, c.size, c.from, c.to);
    EXPECT_EQ(std::string(t), c.want) << c.text;
  }
}

TEST(IcapResolutionAndCount, DigitsAfterTheName) {
  avtest::LogCapture log;
  const std::pair<const char*, int> resolutions[] = {
      {"X-Infection-Found: Type=0; Resolution=2; Threat=E;", 2}, {"Resolution=0", 0},
      {"Resolution:7;", 7},  // the sign itself is not checked
      {"Resolution=12", 1},  // one digit only
      {"Resolution= 2", -1}, {"Resolution=", -1}, {"X-Infection-Found: Type=0; Threat=E;", -1}};
  for (auto [line, want] : resolutions) {
    int v = 5;
    EXPECT_EQ(getResolutionValue(line, &v), want < 0 ? -1 : 0) << line;
    EXPECT_EQ(v, want < 0 ? 5 : want) << line;
  }
  EXPECT_EQ(log.count("Get resolution val failed."), 2u);
  EXPECT_TRUE(log.contains("There is no resolution string in lbuf.", AVLOG_ERR));
  const std::pair<const char*, int> counts[] = {
      {"X-Violations-Found: 1", 1}, {"X-Violations-Found:   12", 12},
      {"X-Violations-Found: 123456789", 123456},  // at most 7 characters after the skipped one
      {"X-Violations-Found: 0", -1}, {"X-Violations-Found: -3", -1},
      {"X-Violations-Found: many", -1}, {"X-Violations-Found:", -1}, {"X-Violations-Found", -1}};
  for (auto [line, want] : counts) {
    int n = 0;
    size_t before = log.count("The para tempVal is invalid.");
    EXPECT_EQ(getVirusNumValue(line, &n, "X-Violations-Found"), want < 0 ? -1 : 0) << line;
    if (want > 0) {
      EXPECT_EQ(n, want) << line;
    }
    EXPECT_EQ(log.count("The para tempVal is invalid."), before + (want < 0)) << line;
  }
}

TEST(IcapJudging, ResultTable) {
  avtest::LogCapture log;
  avtest::DebugLevel debug;
  struct Case {
    int state, resolution, result;
    bool logged;
  } cases[] = {
      {200, -1, 0, false}, {200, 0, 0, false},   {201, 5, 0, false},  {403, 2, 0, false},
      {403, 0, 403, true}, {403, -1, 403, true}, {502, 2, 502, true}, {505, -1, 505, true},
      {506, 2, 506, true}, {558, 0, 558, true},  {0, -1, 0, true},    {0, 2, 0, true},
  };
  for (const auto& c : cases) {
    int result = -99;
    size_t before = log.count("Icap scan result(");
    EXPECT_EQ(judgeICAPResult(c.state, c.resolution, &result), 0);
    EXPECT_EQ(result, c.result) << c.state << "/" << c.resolution;
    EXPECT_EQ(log.count("Icap scan result(") - before, c.logged ? 1u : 0u) << c.state;
  }
  EXPECT_TRUE(log.contains("Icap scan result(403).", AVLOG_DBG));
  EXPECT_EQ(judgeICAPResult(200, 0, nullptr), -1);
}

}  // namespace

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
      {"ICAP/1.0 200 OK", 0, 200, false},
      {"ICAP/1.0 201 Created", 0, 201, false},
      {"ICAP/1.0 403 Forbidden", 0, 403, false},
      {"ICAP/1.0 502 Bad Gateway", 0, 502, false},
      {"ICAP/1.0 505 x", 0, 505, false},
      {"ICAP/1.0 506 x", 0, 506, false},
      {"ICAP/1.0 558 x", 0, 558, false},
      {"X-Note: upstream said ICAP/1.0 502", 200, 502, false},  // later line overrides
      {"ICAP/1.0 204 No Content", 0, 0, true},
      {"ICAP/1.0 400 Bad request", 0, 0, true},
      {"Server: C-ICAP/0.5.10", 200, 200, true},  // mentions ICAP: warned, kept
      {"ISTag: \"abc\"", 403, 403, false},
      {"ICAP/1.1 200 OK", 0, 0, true},
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
  avtest::LogCapture log;
  char out[65];
  EXPECT_EQ(getISTagValue("ISTag: \"CI0001-abc\"", out, sizeof(out)), 0);
  EXPECT_STREQ(out, "CI0001-abc");
  EXPECT_EQ(getISTagValue("ISTag: T1", out, sizeof(out)), 0);
  EXPECT_STREQ(out, "T1");
  EXPECT_EQ(getISTagValue("ISTag:\t\"a\"b\"", out, sizeof(out)), 0);  // any two skipped
  EXPECT_STREQ(out, "ab");
  std::string longTag = "ISTag: \"" + std::string(70, 'x') + "\"";
  EXPECT_EQ(getISTagValue(longTag.c_str(), out, sizeof(out)), 0);
  EXPECT_EQ(std::string(out), std::string(63, 'x'));  // 64 taken, the quote among them
  std::string exact = "ISTag: " + std::string(64, 'y') + "zz";
  EXPECT_EQ(getISTagValue(exact.c_str(), out, sizeof(out)), 0);
  EXPECT_EQ(std::string(out), std::string(64, 'y'));

  for (const char* bad : {"ISTag: \"\"", "ISTag: ", "ISTag:", "ISTag", "ISTag: \"\"\"\""}) {
    size_t before = log.count("The para istag is invalid.");
    EXPECT_EQ(getISTagValue(bad, out, sizeof(out)), -1) << bad;
    EXPECT_EQ(log.count("The para istag is invalid."), before + 1) << bad;
  }
}

TEST(IcapReplaceStr, ReplacesEveryOccurrenceWithinTheWorkArea) {
  char t[80] = "a\"b\"c";
  EXPECT_EQ(ReplaceStr(t, sizeof(t), "\"", ""), 0);
  EXPECT_STREQ(t, "abc");
  strcpy(t, "xyxyx");
  ReplaceStr(t, sizeof(t), "xy", "Q");
  EXPECT_STREQ(t, "QQx");
  strcpy(t, "ab");
  ReplaceStr(t, 2, "a", "A");  // copied back cut to size - 1
  EXPECT_STREQ(t, "A");
  std::string grow(40, 'o');
  strcpy(t, grow.c_str());
  ReplaceStr(t, sizeof(t), "o", "oo");  // 80 wanted, the work area holds 64
  EXPECT_EQ(std::string(t), std::string(64, 'o'));
  strcpy(t, "same");
  ReplaceStr(t, sizeof(t), "", "x");  // nothing to look for: unchanged
  EXPECT_STREQ(t, "same");
}

TEST(IcapResolution, DigitAfterTheEqualsSign) {
  avtest::LogCapture log;
  int v = -1;
  EXPECT_EQ(getResolutionValue("X-Infection-Found: Type=0; Resolution=2; Threat=E;", &v), 0);
  EXPECT_EQ(v, 2);
  EXPECT_EQ(getResolutionValue("Resolution=0", &v), 0);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(getResolutionValue("Resolution:7;", &v), 0);  // the sign itself is not checked
  EXPECT_EQ(v, 7);
  EXPECT_EQ(getResolutionValue("Resolution=12", &v), 0);  // one digit only
  EXPECT_EQ(v, 1);
  v = 5;
  EXPECT_EQ(getResolutionValue("Resolution= 2", &v), -1);
  EXPECT_EQ(getResolutionValue("Resolution=", &v), -1);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(log.count("Get resolution val failed."), 2u);
  EXPECT_EQ(getResolutionValue("X-Infection-Found: Type=0; Threat=E;", &v), -1);
  EXPECT_TRUE(log.contains("There is no resolution string in lbuf.", AVLOG_ERR));
}

TEST(IcapViolationCount, CountAfterTheHeaderName) {
  avtest::LogCapture log;
  const char* name = "X-Violations-Found";
  int n = 0;
  EXPECT_EQ(getVirusNumValue("X-Violations-Found: 1", &n, name), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(getVirusNumValue("X-Violations-Found:   12", &n, name), 0);
  EXPECT_EQ(n, 12);
  EXPECT_EQ(getVirusNumValue("X-Violations-Found: 123456789", &n, name), 0);
  EXPECT_EQ(n, 123456);  // at most 7 characters after the skipped one: " 123456"
  for (const char* bad : {"X-Violations-Found: 0", "X-Violations-Found: -3",
                          "X-Violations-Found: many", "X-Violations-Found:", "X-Violations-Found"}) {
    size_t before = log.count("The para tempVal is invalid.");
    EXPECT_EQ(getVirusNumValue(bad, &n, name), -1) << bad;
    EXPECT_EQ(log.count("The para tempVal is invalid."), before + 1) << bad;
  }
}

TEST(IcapJudging, ResultTable) {
  avtest::LogCapture log;
  avtest::DebugLevel debug;
  struct Case {
    int state, resolution, result;
    bool logged;
  } cases[] = {
      {200, -1, 0, false}, {200, 0, 0, false},    {201, 5, 0, false},
      {403, 2, 0, false},  {403, 0, 403, true},   {403, -1, 403, true},
      {502, 2, 502, true}, {505, -1, 505, true},  {506, 2, 506, true},
      {558, 0, 558, true}, {0, -1, 0, true},      {0, 2, 0, true},
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

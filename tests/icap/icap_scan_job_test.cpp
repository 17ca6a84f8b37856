// ICAP scan jobs end to end through job dispatch, against the scripted server:
// the request bytes it receives and the result text for each kind of answer.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "icap/icap_io.h"
#include "icap/icap_scan.h"
#include "icap/icap_status.h"
#include "icap_test_support.h"
#include "jobs/job_dispatch.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

const char* kErrorResult = "{\"status\": \"1\",\"avType\": \"1\",\"result\": \"1\",\"isTag\": \"\"}";

std::string scanResult(int result, const std::string& tag) {
  return "{\"status\": \"0\",\"avType\": \"1\",\"result\": \"" + std::to_string(result) +
         "\",\"isTag\": \"" + tag + "\"}";
}

struct ScanJob {
  std::string method = "RESPMOD";
  std::string pathKey = "X-File-Path";
  std::string filePath = "\\\\\\\\nas1\\\\share\\\\dir\\\\a.txt";  // JSON-escaped \\nas1\share\dir\a.txt
  std::string lifIp = "127.0.0.9";
  std::string servIp = "127.0.0.1";
  std::string infection = "X-Infection-Found";
  std::string violation = "X-Violations-Found";
  std::string json() const {
    return "{\"opCode\":\"1\",\"avType\":\"1\",\"Method\":\"" + method + "\",\"PathKey\":\"" +
           pathKey + "\",\"FilePath\":\"" + filePath + "\",\"LifIp\":\"" + lifIp + "\",\"ServIp\":\"" + servIp +
           "\",\"ServPort\":\"1\",\"Infection\":\"" + infection + "\",\"Violation\":\"" +
           violation + "\"}\r\n\r\n";
  }
};

std::string runJob(const ScanJob& job) {
  char result[AV_SCAN_RESULT_ROOM] = {0};
  const std::string body = job.json();
  EXPECT_EQ(doJob_ScanFile(body.c_str(), static_cast<uint32_t>(body.size()), result, sizeof(result)), 1);
  return result;
}

class IcapScanJob : public ::testing::Test {
 protected:
  void SetUp() override { startFree_ = avtest::poolFreeCounts(); }
  void TearDown() override {
    setIcapReadyWaitForTest(0);
    EXPECT_EQ(avtest::poolFreeCounts(), startFree_) << "pool blocks not returned";
  }
  std::vector<uint32_t> startFree_;
};

TEST_F(IcapScanJob, RequestIsByteExactOnTheConfiguredPort) {
  icaptest::ScriptServer server("ICAP/1.0 200 OK\r\nISTag: \"T1\"\r\n\r\n");
  ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
  ScanJob job;
  job.filePath = "\\\\\\\\nas1\\\\sh\\u00e9re\\\\b.txt";  // non-ASCII: sent as UTF-8
  EXPECT_EQ(runJob(job), scanResult(0, "T1"));
  std::string p = std::to_string(server.port());
  EXPECT_EQ(server.received(),
            "RESPMOD icap://127.0.0.1:" + p + "/AVSCAN ICAP/1.0\r\n"
            "Host: 127.0.0.1:" + p + "\r\n"
            "X-File-Path: \\\\nas1\\sh\xc3\xa9re\\b.txt\r\n"
            "Connection: close\r\n"
            "Encapsulated: null-body=0\r\n\r\n");
}

struct Logged {
  std::string text;
  uint32_t level = AVLOG_ERR;
};

struct AnswerCase {
  std::string answer, expected;
  std::vector<Logged> logs = {};
  std::string absent = "";          // a text no log record may hold
  std::vector<std::string> flags = {};  // how the server behaves after the answer
  int readyWaitMs = 0;
  ScanJob job = {};
};

TEST_F(IcapScanJob, AnswersJudged) {
  const std::string pad = "X-Pad: " + std::string(503, 'p');  // a 510-byte line
  const std::string lastViolation = "ICAP/1.0 200 OK\r\nISTag: x1\r\nX-Violations-Found: 1\r\n\r\n";
  auto lines = [](int n, const std::string& line) {
    std::string out;
    for (int i = 0; i < n; ++i) out += line + "\r\n";
    return out;
  };
  // The block may hold 200 lines and 65536 bytes (text + CR LF), its ends included:
  // status (17) + 127 pads (512 each) = 65041; the empty line takes 2 more.
  const std::string pads = "ICAP/1.0 200 OK\r\n" + lines(127, pad);
  const std::string tooLong = "Icap answer header is too long(";
  ScanJob noInfection, blankViolation;
  noInfection.infection = "";
  blankViolation.violation = " \t ";  // trimmed to empty: reading stops after one line
  const std::vector<AnswerCase> cases = {
      {"ICAP/1.0 403 Forbidden\r\nISTag: \"T1\"\r\nX-Infection-Found: Type=0; Resolution=2; Threat=EICAR;\r\n\r\n",
       scanResult(0, "T1")},
      {"ICAP/1.0 403 Forbidden\r\nISTag: \"T1\"\r\nX-Infection-Found: Type=0; Resolution=0; Threat=EICAR;\r\n\r\n",
       scanResult(403, "T1")},
      {"ICAP/1.0 403 Forbidden\r\nISTag: T2\r\n\r\n", scanResult(403, "T2")},
      // The two description lines after the count are never judged; later folded lines are.
      {"ICAP/1.0 403 Forbidden\r\nX-Infection-Found: Type=0; Resolution=0; Threat=Eicar;\r\n"
       "X-Violations-Found: 1\r\n\tICAP/1.0 200 ISTag: \"hidden\"\r\n\tEicar-Test-Signature.UNOFFICIAL\r\n"
       "\t0\r\n\t0\r\nISTag: \"CI0001-after\"\r\n\r\n",
       scanResult(403, "CI0001-after"), {{"Recv icap message (\t0)", AVLOG_DBG}}, "hidden"},
      {"ICAP/1.0 403 Forbidden\r\nX-Violations-Found: 0\r\n\t-\r\n\tE\r\n\r\n", kErrorResult,
       {{"The para tempVal is invalid."}, {"Get VirusNum failed."},
        {"Icap get scan result failed(-1)."}, {"Execute scan failed(-1), type(1)."}}},
      // The empty line is taken as the description; then the server closes, or stays silent.
      {lastViolation, kErrorResult, {{"recv error code(0)"}}},
      {lastViolation, kErrorResult, {{"Select time out, error code(0)"}}, "", {"--hold"}, 300},
      {"ICAP/1.0 502 Trouble\r\nISTag: \"S\"\r\n\r\n", scanResult(502, "S")},
      {"ICAP/1.0 505 Trouble\r\nISTag: \"S\"\r\n\r\n", scanResult(505, "S")},
      {"ICAP/1.0 506 Trouble\r\nISTag: \"S\"\r\n\r\n", scanResult(506, "S")},
      {"ICAP/1.0 558 Trouble\r\nISTag: \"S\"\r\n\r\n", scanResult(558, "S")},
      // An unlisted code is warned and counts as clean (a body-only scanner's answer).
      {"ICAP/1.0 400 Bad request\r\nServer: C-ICAP/0.5\r\nConnection: close\r\nISTag: \"CI0001-XX\"\r\n\r\n",
       scanResult(0, "CI0001-XX"),
       {{"Recv icap message (ICAP/1.0 400 Bad request) invaild", AVLOG_WARN},
        {"Recv icap message (Server: C-ICAP/0.5) invaild", AVLOG_WARN}}},
      {"ICAP/1.0 200 OK\r\nISTag: \"T\"\r\nVia: gateway ICAP/1.0 502\r\n\r\n", scanResult(502, "T")},
      {"ICAP/1.0 403 Forbidden\r\nISTag: T\r\nX-Infection-Found: Type=0;\rResolution=2; Threat=E;\r\n\r\n",
       scanResult(0, "T")},
      {"ICAP/1.0 200 OK\r\n" + pad + "\r\nISTag: L\r\n\r\n", scanResult(0, "L"), {}, "Readline error."},
      {"ICAP/1.0 200 OK\r\n" + pad + "p\r\nISTag: L\r\n\r\n", kErrorResult, {{"Readline error."}}},
      {"ICAP/1.0 200 OK\r\nISTag: \"ab", kErrorResult, {{"recv error code(0)"}}},  // closes mid-line
      {"ICAP/1.0 200 OK\r\nISTag: \"\"\"\r\n\r\n", kErrorResult,
       {{"The para istag is invalid."}, {"Get ISTag failed."}}},
      {"ICAP/1.0 403 Forbidden\r\nX-Infection-Found: Type=0; Threat=E;\r\n\r\n", kErrorResult,
       {{"There is no resolution string in lbuf."}, {"Get Resolution failed."}}},
      {"", kErrorResult},  // closes without a byte
      {"", kErrorResult, {{"Select time out, error code(0)"}, {"Icap get scan result failed(-1)."}}, "",
       {"--silent"}, 300},  // never answers
      // A backslash or a control character in an ISTag must not break the JSON text.
      {"ICAP/1.0 200 OK\r\nISTag: \"W\\q\x01\"\r\n\r\n", scanResult(0, "W\\\\q\\u0001")},
      // Without an infection name only the status line is read.
      {"ICAP/1.0 403 Forbidden\r\nISTag: \"never\"\r\n\r\n", scanResult(403, ""), {}, "", {}, 0, noInfection},
      {"ICAP/1.0 200 OK\r\nISTag: \"T\"\r\nX-Violations-Found: 0\r\n\r\n", scanResult(0, ""), {}, "", {}, 0,
       blankViolation},
      // Header names match whatever their case; the status text itself is exact.
      {"ICAP/1.0 403 Forbidden\r\nistag: \"lower\"\r\nx-INFECTION-found: Type=0; resolution=2;\r\n\r\n",
       scanResult(0, "lower")},
      {"ICAP/1.0 200 OK\r\nx-violations-FOUND: 0\r\n\t-\r\n\tE\r\n\r\n", kErrorResult,
       {{"The para tempVal is invalid."}}},
      // Bounds of the header block: lines, violation description lines among them, bytes.
      {"ICAP/1.0 200 OK\r\nISTag: N\r\n" + lines(197, "X-A: a") + "\r\n", scanResult(0, "N"), {}, tooLong},
      {"ICAP/1.0 200 OK\r\nISTag: N\r\n" + lines(198, "X-A: a") + "\r\n", kErrorResult,
       {{tooLong + "201 lines, "}, {"Icap get scan result failed(-1)."}}},
      {"ICAP/1.0 200 OK\r\n" + lines(196, "X-A: a") + "X-Violations-Found: 1\r\n\tf\r\n\tE\r\n\r\n",
       kErrorResult, {{tooLong + "201 lines, "}}},
      {pads + "X-B: " + std::string(486, 'b') + "\r\n\r\n", scanResult(0, ""), {}, tooLong},
      {pads + "X-B: " + std::string(487, 'b') + "\r\n\r\n", kErrorResult, {{tooLong + "130 lines, 65537 bytes)."}}},
      // Bytes count as received, NUL bytes inside a line too.
      {"ICAP/1.0 200 OK\r\n" + lines(128, "X-Pad: " + std::string(1, '\0') + std::string(502, 'p')) + "\r\n",
       kErrorResult, {{tooLong + "129 lines, 65553 bytes)."}}},
  };
  avtest::DebugLevel debug;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    setIcapReadyWaitForTest(c.readyWaitMs);
    icaptest::ScriptServer server(c.answer, c.flags);
    ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
    avtest::LogCapture log;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(runJob(c.job), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    for (const auto& l : c.logs) EXPECT_TRUE(log.contains(l.text, l.level)) << l.text;
    if (!c.absent.empty()) { EXPECT_FALSE(log.contains(c.absent)); }
  }
}

TEST_F(IcapScanJob, ConnectionFailuresAndRejectedPaths) {
  avtest::LogCapture log;
  ScanJob job;
  job.servIp = "a..b";  // rejected by the resolver itself: nothing leaves the machine
  EXPECT_EQ(runJob(job), kErrorResult);
  EXPECT_TRUE(log.contains("Run getaddrinfo() failed.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Connect avserver failed(-1).", AVLOG_ERR));
  ASSERT_TRUE(icaptest::setIcapPortForTest(icaptest::closedPort()));
  job.servIp = "localhost";
  EXPECT_EQ(runJob(job), kErrorResult);
  EXPECT_TRUE(log.contains("Could not connect AV server.", AVLOG_ERR));
  job.servIp = "  ";
  EXPECT_EQ(runJob(job), kErrorResult);
  EXPECT_TRUE(log.contains("IP para is err, IP address(:", AVLOG_ERR));
  // 3000 bytes that are not UTF-8 grow to 9000 once replaced: more than the path buffer.
  icaptest::ScriptServer server("ICAP/1.0 200 OK\r\n\r\n");
  ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
  ScanJob bad;
  bad.filePath = std::string(3000, '\xff');
  EXPECT_EQ(runJob(bad), kErrorResult);
  EXPECT_EQ(server.received(), "");
  EXPECT_FALSE(log.contains("Start to connect av server"));
}

TEST_F(IcapScanJob, ControlCharacterInJobTextSendsNothing) {
  icaptest::ScriptServer server("ICAP/1.0 200 OK\r\n\r\n", {}, 0);
  ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
  const std::pair<const char*, std::string ScanJob::*> members[] = {
      {"Method", &ScanJob::method},   {"PathKey", &ScanJob::pathKey},
      {"FilePath", &ScanJob::filePath}, {"LifIp", &ScanJob::lifIp},
      {"ServIp", &ScanJob::servIp},   {"Infection", &ScanJob::infection},
      {"Violation", &ScanJob::violation}};
  // JSON escapes: CR LF, bare LF, bare CR, NUL, DEL, each inside the value.
  const char* inserts[] = {"\\r\\nX-Added: 1", "\\nX-Added: 1", "\\rX", "\\u0000X", "\\u007fX"};
  avtest::LogCapture log;
  for (const auto& [key, field] : members) {
    for (const char* insert : inserts) {
      ScanJob job;
      job.*field += insert;
      SCOPED_TRACE(job.json());
      size_t before = log.count(std::string("Member ") + key + " holds a control character.");
      EXPECT_EQ(runJob(job), kErrorResult);
      EXPECT_EQ(log.count(std::string("Member ") + key + " holds a control character."), before + 1);
      EXPECT_EQ(server.received(), "");
    }
  }
  EXPECT_FALSE(log.contains("Start to connect av server"));
}

TEST_F(IcapScanJob, Ipv6ServerIsBracketedInUriAndHost) {
  icaptest::ScriptServer server("ICAP/1.0 200 OK\r\nISTag: T6\r\n\r\n", {"--ipv6"});
  if (server.port() == 0) GTEST_SKIP() << "no IPv6 loopback";
  ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
  ScanJob job;
  job.servIp = "::1";
  EXPECT_EQ(runJob(job), scanResult(0, "T6"));
  std::string p = std::to_string(server.port());
  std::string head = "RESPMOD icap://[::1]:" + p + "/AVSCAN ICAP/1.0\r\nHost: [::1]:" + p + "\r\n";
  EXPECT_EQ(server.received().substr(0, head.size()), head);
}

TEST(IcapRequestText, PieceWithControlCharacterIsRefusedByTheBuilders) {
  avtest::LogCapture log;
  const char* names[] = {"Method", "ServIp", "PathKey", "FilePath"};
  for (int which = 0; which < 4; ++which) {
    IcapScanRecord rec{};
    strcpy(rec.Method, "RESPMOD");
    strcpy(rec.ServIp, "127.0.0.1");
    strcpy(rec.PathKey, "X-Path");
    strcpy(rec.FilePath, "\\\\s\\f");
    char* fields[] = {rec.Method, rec.ServIp, rec.PathKey, rec.FilePath};
    strcat(fields[which], "\r\nX: 1");
    char buf[9112] = {0};
    EXPECT_EQ(buidlIcapMsg(&rec, buf, sizeof(buf)), -1) << names[which];
    EXPECT_STREQ(buf, "") << names[which];
    EXPECT_TRUE(log.contains(std::string("The request's ") + names[which] +
                             " holds a control character.", AVLOG_ERR));
  }
  AvServerAddr addr{};
  strcpy(addr.ip, "h\nX");
  char buf[256] = {0};
  EXPECT_EQ(buildOptionsHeader(buf, sizeof(buf), &addr), -1);
  EXPECT_STREQ(buf, "");
}

class IcapScanDecode : public ::testing::Test {
 protected:
  int decode(const std::string& text, size_t size = sizeof(IcapScanRecord)) {
    json_object* obj = json_tokener_parse(text.c_str());
    EXPECT_NE(obj, nullptr) << text;
    memset(&rec, 0x5a, sizeof(rec));
    int rc = decodeIcapMsg(obj, &rec, size);
    json_object_put(obj);
    return rc;
  }
  IcapScanRecord rec;
};

TEST_F(IcapScanDecode, TrimsCutsAndKeepsLowPortBits) {
  ASSERT_EQ(decode("{\"Method\":\" " + std::string(40, 'M') + "\",\"PathKey\":\"\\tX-Path\\r\\n\","
                   "\"FilePath\":\"\\\\\\\\s\\\\f\",\"LifIp\":7,\"ServIp\":\"\\f host \",\"ServPort\":70000,"
                   "\"Infection\":\"\",\"Violation\":\" X-V \"}"),
            0);
  EXPECT_EQ(std::string(rec.Method), std::string(30, 'M'));  // cut to 31, then the blank trimmed
  EXPECT_STREQ(rec.PathKey, "X-Path");
  EXPECT_STREQ(rec.FilePath, "\\\\s\\f");
  EXPECT_STREQ(rec.LifIp, "7");  // a number gives its JSON rendering
  EXPECT_STREQ(rec.ServIp, "host");
  EXPECT_EQ(rec.ServPort, 70000 & 0xffff);
  EXPECT_STREQ(rec.Infection, "");
  EXPECT_STREQ(rec.Violation, "X-V");
  EXPECT_EQ(rec.status, 0);
  EXPECT_EQ(rec.result, -1);
  EXPECT_STREQ(rec.isTag, "");
}

TEST_F(IcapScanDecode, MissingOrNullMembersNameTheirMember) {
  const std::pair<std::string, std::string> members[] = {
      {"Method", "\"M\""}, {"PathKey", "\"K\""}, {"FilePath", "\"F\""}, {"LifIp", "\"L\""},
      {"ServIp", "\"S\""}, {"ServPort", "1"},    {"Infection", "\"I\""}, {"Violation", "\"V\""}};
  const char* messages[] = {
      "Get method object failed.",       "Get file path key object failed.",
      "Get file path object failed.",    "Get lif ip object failed.",
      "Get antivirus server ip object failed.", "Get antivirus server ip port object failed.",
      "Get infection object failed.",    "Get violation object failed."};
  // The member at index skip is left out (mode 0) or set to null (mode 1).
  auto body = [&](size_t skip, int mode) {
    std::string out = "{";
    for (size_t k = 0; k < 8; ++k) {
      if (k == skip && mode == 0) continue;
      out += (out.size() > 1 ? ",\"" : "\"") + members[k].first + "\":" + (k == skip ? "null" : members[k].second);
    }
    return out + "}";
  };
  ASSERT_EQ(decode(body(8, 0)), 0);
  for (size_t k = 0; k < 8; ++k) {
    for (int mode : {0, 1}) {
      SCOPED_TRACE(body(k, mode));
      avtest::LogCapture log;
      EXPECT_EQ(decode(body(k, mode)), -1);
      EXPECT_TRUE(log.contains(messages[k], AVLOG_ERR));
      EXPECT_EQ(log.count("Get "), 1u);
      if (k > 0) {
        EXPECT_STREQ(rec.Method, "M");  // fields read so far stay filled
      }
    }
  }
  avtest::LogCapture log;
  EXPECT_EQ(decode(body(8, 0), sizeof(IcapScanRecord) - 1), -1);
  EXPECT_TRUE(log.contains("Buff is too small(" + std::to_string(sizeof(IcapScanRecord) - 1) +
                               "), real size(" + std::to_string(sizeof(IcapScanRecord)) + ").",
                           AVLOG_ERR));
}

}  // namespace

// ICAP scan jobs end to end through job dispatch, against the scripted server:
// the request bytes it receives and the result text for each kind of answer.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "icap/icap_io.h"
#include "icap/icap_scan.h"
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
  std::string servIp = "127.0.0.1";
  std::string method = "RESPMOD";
  std::string pathKey = "X-File-Path";
  std::string filePath = "\\\\\\\\nas1\\\\share\\\\dir\\\\a.txt";  // JSON-escaped \\nas1\share\dir\a.txt
  std::string infection = "X-Infection-Found";
  std::string violation = "X-Violations-Found";
  std::string json() const {
    return "{\"opCode\":\"1\",\"avType\":\"1\",\"Method\":\"" + method + "\",\"PathKey\":\"" +
           pathKey + "\",\"FilePath\":\"" + filePath + "\",\"LifIp\":\"127.0.0.9\",\"ServIp\":\"" +
           servIp + "\",\"ServPort\":\"1\",\"Infection\":\"" + infection +
           "\",\"Violation\":\"" + violation + "\"}\r\n\r\n";
  }
};

class IcapScanJob : public ::testing::Test {
 protected:
  void SetUp() override { startFree_ = avtest::poolFreeCounts(); }
  void TearDown() override {
    setIcapReadyWaitForTest(0);
    EXPECT_EQ(avtest::poolFreeCounts(), startFree_) << "pool blocks not returned";
  }
  // Runs the job against a scripted server that answers with `answer`.
  std::string run(const std::string& answer, const ScanJob& job = ScanJob(),
                  std::vector<std::string> flags = {}) {
    icaptest::ScriptServer server(answer, flags);
    EXPECT_NE(server.port(), 0);
    EXPECT_TRUE(icaptest::setIcapPortForTest(server.port()));
    char result[AV_SCAN_RESULT_ROOM] = {0};
    EXPECT_EQ(doJob_ScanFile(job.json().c_str(), result, sizeof(result)), 1);
    received_ = server.received();
    return result;
  }
  std::string received_;
  std::vector<uint32_t> startFree_;
};

TEST_F(IcapScanJob, RequestIsByteExactOnTheConfiguredPort) {
  icaptest::ScriptServer server("ICAP/1.0 200 OK\r\nISTag: \"T1\"\r\n\r\n");
  ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
  ScanJob job;
  job.filePath = "\\\\\\\\nas1\\\\sh\\u00e9re\\\\b.txt";  // non-ASCII: sent as UTF-8
  char result[AV_SCAN_RESULT_ROOM] = {0};
  ASSERT_EQ(doJob_ScanFile(job.json().c_str(), result, sizeof(result)), 1);
  EXPECT_EQ(std::string(result), scanResult(0, "T1"));
  std::string p = std::to_string(server.port());
  EXPECT_EQ(server.received(),
            "RESPMOD icap://127.0.0.1:" + p + "/AVSCAN ICAP/1.0\r\n"
            "Host: 127.0.0.1:" + p + "\r\n"
            "X-File-Path: \\\\nas1\\sh\xc3\xa9re\\b.txt\r\n"
            "Connection: close\r\n"
            "Encapsulated: null-body=0\r\n\r\n");
}

TEST_F(IcapScanJob, ForbiddenJudgedByResolution) {
  EXPECT_EQ(run("ICAP/1.0 403 Forbidden\r\nISTag: \"T1\"\r\n"
                "X-Infection-Found: Type=0; Resolution=2; Threat=EICAR;\r\n\r\n"),
            scanResult(0, "T1"));
  EXPECT_EQ(run("ICAP/1.0 403 Forbidden\r\nISTag: \"T1\"\r\n"
                "X-Infection-Found: Type=0; Resolution=0; Threat=EICAR;\r\n\r\n"),
            scanResult(403, "T1"));
  EXPECT_EQ(run("ICAP/1.0 403 Forbidden\r\nISTag: T2\r\n\r\n"), scanResult(403, "T2"));
}

TEST_F(IcapScanJob, FoldedViolationBlockIsSkippedAndReadingGoesOn) {
  avtest::LogCapture log;
  avtest::DebugLevel debug;
  // The two description lines right after the count skip every check: a
  // status text or an ISTag in them is not taken. The folded lines after them
  // go through the checks like any header.
  EXPECT_EQ(run("ICAP/1.0 403 Forbidden\r\n"
                "X-Infection-Found: Type=0; Resolution=0; Threat=Eicar;\r\n"
                "X-Violations-Found: 1\r\n"
                "\tICAP/1.0 200 ISTag: \"hidden\"\r\n"
                "\tEicar-Test-Signature.UNOFFICIAL\r\n"
                "\t0\r\n"
                "\t0\r\n"
                "ISTag: \"CI0001-after\"\r\n"
                "\r\n"),
            scanResult(403, "CI0001-after"));
  EXPECT_FALSE(log.contains("hidden"));
  EXPECT_TRUE(log.contains("Recv icap message (\t0)", AVLOG_DBG));
}

TEST_F(IcapScanJob, ViolationCountOfZeroFailsTheJob) {
  avtest::LogCapture log;
  EXPECT_EQ(run("ICAP/1.0 403 Forbidden\r\nX-Violations-Found: 0\r\n\t-\r\n\tE\r\n\r\n"),
            kErrorResult);
  EXPECT_TRUE(log.contains("The para tempVal is invalid.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Get VirusNum failed.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Icap get scan result failed(-1).", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Execute scan failed(-1), type(1).", AVLOG_ERR));
}

TEST_F(IcapScanJob, ViolationHeaderAsLastLineSwallowsTheEnd) {
  avtest::LogCapture log;
  const std::string answer = "ICAP/1.0 200 OK\r\nISTag: x1\r\nX-Violations-Found: 1\r\n\r\n";
  // The empty line is taken as the violation description; the server then closes.
  EXPECT_EQ(run(answer), kErrorResult);
  EXPECT_TRUE(log.contains("recv error code(0)", AVLOG_ERR));
  // A server that stays silent instead fails the job at the readiness wait.
  setIcapReadyWaitForTest(300);
  EXPECT_EQ(run(answer, ScanJob(), {"--hold"}), kErrorResult);
  EXPECT_TRUE(log.contains("Select time out, error code(0)", AVLOG_ERR));
}

TEST_F(IcapScanJob, ListedErrorCodesBecomeTheResult) {
  for (int code : {502, 505, 506, 558}) {
    EXPECT_EQ(run("ICAP/1.0 " + std::to_string(code) + " Trouble\r\nISTag: \"S\"\r\n\r\n"),
              scanResult(code, "S"));
  }
}

TEST_F(IcapScanJob, UnlistedCodeIsWarnedAndCountsAsClean) {
  avtest::LogCapture log;
  // This is what a server that only scans bodies says to a body-less request.
  EXPECT_EQ(run("ICAP/1.0 400 Bad request\r\nServer: C-ICAP/0.5\r\nConnection: close\r\n"
                "ISTag: \"CI0001-XX\"\r\n\r\n"),
            scanResult(0, "CI0001-XX"));
  EXPECT_TRUE(log.contains("Recv icap message (ICAP/1.0 400 Bad request) invaild", AVLOG_WARN));
  EXPECT_TRUE(log.contains("Recv icap message (Server: C-ICAP/0.5) invaild", AVLOG_WARN));
}

TEST_F(IcapScanJob, LaterStatusTextOverridesTheStatusLine) {
  EXPECT_EQ(run("ICAP/1.0 200 OK\r\nISTag: \"T\"\r\nVia: gateway ICAP/1.0 502\r\n\r\n"),
            scanResult(502, "T"));
}

TEST_F(IcapScanJob, WithoutInfectionNameOnlyTheStatusLineIsRead) {
  ScanJob job;
  job.infection = "";
  EXPECT_EQ(run("ICAP/1.0 403 Forbidden\r\nISTag: \"never\"\r\n\r\n", job), scanResult(403, ""));
  job.infection = "X-Infection-Found";
  job.violation = " \t ";  // blanks only: trimmed to empty, reading stops after one line
  EXPECT_EQ(run("ICAP/1.0 200 OK\r\nISTag: \"T\"\r\nX-Violations-Found: 0\r\n\r\n", job),
            scanResult(0, ""));
}

TEST_F(IcapScanJob, CarriageReturnInsideALineStaysInIt) {
  EXPECT_EQ(run("ICAP/1.0 403 Forbidden\r\nISTag: T\r\n"
                "X-Infection-Found: Type=0;\rResolution=2; Threat=E;\r\n\r\n"),
            scanResult(0, "T"));
}

TEST_F(IcapScanJob, LongestLineFitsAndOneMoreFails) {
  avtest::LogCapture log;
  std::string head = "X-Pad: ";
  std::string line510 = head + std::string(510 - head.size(), 'p');
  EXPECT_EQ(run("ICAP/1.0 200 OK\r\n" + line510 + "\r\nISTag: L\r\n\r\n"), scanResult(0, "L"));
  EXPECT_FALSE(log.contains("Readline error."));
  EXPECT_EQ(run("ICAP/1.0 200 OK\r\n" + line510 + "p\r\nISTag: L\r\n\r\n"), kErrorResult);
  EXPECT_TRUE(log.contains("Readline error.", AVLOG_ERR));
}

TEST_F(IcapScanJob, BrokenAnswersFailTheJob) {
  avtest::LogCapture log;
  EXPECT_EQ(run("ICAP/1.0 200 OK\r\nISTag: \"ab"), kErrorResult);  // closes mid-line
  EXPECT_TRUE(log.contains("recv error code(0)", AVLOG_ERR));
  EXPECT_EQ(run("ICAP/1.0 200 OK\r\nISTag: \"\"\"\r\n\r\n"), kErrorResult);  // quotes only
  EXPECT_TRUE(log.contains("The para istag is invalid.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Get ISTag failed.", AVLOG_ERR));
  EXPECT_EQ(run("ICAP/1.0 403 Forbidden\r\nX-Infection-Found: Type=0; Threat=E;\r\n\r\n"),
            kErrorResult);
  EXPECT_TRUE(log.contains("There is no resolution string in lbuf.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Get Resolution failed.", AVLOG_ERR));
  EXPECT_EQ(run(""), kErrorResult);  // closes without a byte
}

TEST_F(IcapScanJob, SilentServerFailsAfterTheReadinessWait) {
  avtest::LogCapture log;
  setIcapReadyWaitForTest(300);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(run("", ScanJob(), {"--silent"}), kErrorResult);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(ms, 5000);
  EXPECT_TRUE(log.contains("Select time out, error code(0)", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Icap get scan result failed(-1).", AVLOG_ERR));
  EXPECT_FALSE(received_.empty());  // the request was sent before the wait
}

TEST_F(IcapScanJob, ConnectionFailures) {
  avtest::LogCapture log;
  ScanJob job;
  job.servIp = "a..b";  // rejected by the resolver itself: nothing leaves the machine
  char result[AV_SCAN_RESULT_ROOM] = {0};
  EXPECT_EQ(doJob_ScanFile(job.json().c_str(), result, sizeof(result)), 1);
  EXPECT_STREQ(result, kErrorResult);
  EXPECT_TRUE(log.contains("Run getaddrinfo() failed.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Connect avserver failed(-1).", AVLOG_ERR));

  ASSERT_TRUE(icaptest::setIcapPortForTest(icaptest::closedPort()));
  job.servIp = "localhost";
  char again[AV_SCAN_RESULT_ROOM] = {0};
  EXPECT_EQ(doJob_ScanFile(job.json().c_str(), again, sizeof(again)), 1);
  EXPECT_STREQ(again, kErrorResult);
  EXPECT_TRUE(log.contains("Could not connect AV server.", AVLOG_ERR));

  job.servIp = "  ";
  char blanks[AV_SCAN_RESULT_ROOM] = {0};
  EXPECT_EQ(doJob_ScanFile(job.json().c_str(), blanks, sizeof(blanks)), 1);
  EXPECT_STREQ(blanks, kErrorResult);
  EXPECT_TRUE(log.contains("IP para is err, IP address(:", AVLOG_ERR));
}

TEST_F(IcapScanJob, PathTheConversionRejectsSendsNothing) {
  avtest::LogCapture log;
  ScanJob job;
  // 3000 bytes that are not UTF-8 grow to 9000 once replaced: more than the path buffer.
  job.filePath = std::string(3000, '\xff');
  EXPECT_EQ(run("ICAP/1.0 200 OK\r\n\r\n", job), kErrorResult);
  EXPECT_EQ(received_, "");
  EXPECT_FALSE(log.contains("Start to connect av server"));
}

// --- decoding ---------------------------------------------------------------

class IcapScanDecode : public ::testing::Test {
 protected:
  int decode(const std::string& text) {
    json_object* obj = json_tokener_parse(text.c_str());
    EXPECT_NE(obj, nullptr) << text;
    memset(&rec, 0x5a, sizeof(rec));
    int rc = decodeIcapMsg(obj, &rec, sizeof(rec));
    json_object_put(obj);
    return rc;
  }
  IcapScanRecord rec;
};

TEST_F(IcapScanDecode, TrimsCutsAndKeepsLowPortBits) {
  std::string longMethod(40, 'M');
  ASSERT_EQ(decode("{\"Method\":\" " + longMethod + "\",\"PathKey\":\"\\tX-Path\\r\\n\","
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
  const std::vector<std::pair<std::string, std::string>> members = {
      {"Method", "\"M\""},  {"PathKey", "\"K\""}, {"FilePath", "\"F\""},
      {"LifIp", "\"L\""},   {"ServIp", "\"S\""},  {"ServPort", "1"},
      {"Infection", "\"I\""}, {"Violation", "\"V\""},
  };
  const char* messages[] = {
      "Get method object failed.",       "Get file path key object failed.",
      "Get file path object failed.",    "Get lif ip object failed.",
      "Get antivirus server ip object failed.", "Get antivirus server ip port object failed.",
      "Get infection object failed.",    "Get violation object failed.",
  };
  // skip: index of the member left out (mode 0) or set to null (mode 1)
  auto body = [&](size_t skip, int mode) {
    std::string out = "{";
    for (size_t k = 0; k < members.size(); ++k) {
      if (k == skip && mode == 0) continue;
      if (out.size() > 1) out += ",";
      out += "\"" + members[k].first + "\":" + (k == skip ? "null" : members[k].second);
    }
    return out + "}";
  };
  ASSERT_EQ(decode(body(members.size(), 0)), 0);
  for (size_t k = 0; k < members.size(); ++k) {
    for (int mode : {0, 1}) {
      avtest::LogCapture log;
      EXPECT_EQ(decode(body(k, mode)), -1) << body(k, mode);
      EXPECT_TRUE(log.contains(messages[k], AVLOG_ERR)) << body(k, mode);
      EXPECT_EQ(log.count("Get "), 1u) << body(k, mode);
      if (k > 0) {
        EXPECT_STREQ(rec.Method, "M");  // fields read so far stay filled
      }
    }
  }
  const std::string full = body(members.size(), 0).substr(1, body(members.size(), 0).size() - 2);
  avtest::LogCapture log;
  json_object* obj = json_tokener_parse(("{" + full + "}").c_str());
  EXPECT_EQ(decodeIcapMsg(obj, &rec, sizeof(IcapScanRecord) - 1), -1);
  json_object_put(obj);
  EXPECT_TRUE(log.contains("Buff is too small(" + std::to_string(sizeof(IcapScanRecord) - 1) +
                               "), real size(" + std::to_string(sizeof(IcapScanRecord)) + ").",
                           AVLOG_ERR));
}

TEST(IcapScanResult, TextsAndNullArguments) {
  avtest::LogCapture log;
  IcapScanRecord rec{};
  rec.status = 0;
  rec.result = 403;
  strcpy(rec.isTag, "T1");
  char out[512];
  EXPECT_EQ(buildIcapScanRespMsg(&rec, sizeof(rec), out, sizeof(out)), 0);
  EXPECT_STREQ(out, "{\"status\": \"0\",\"avType\": \"1\",\"result\": \"403\",\"isTag\": \"T1\"}");
  char tiny[10];
  EXPECT_EQ(buildIcapScanRespMsg(&rec, sizeof(rec), tiny, sizeof(tiny)), 0);
  EXPECT_EQ(strlen(tiny), 9u);  // cut, still terminated
  EXPECT_EQ(buildIcapScanRespMsg(nullptr, sizeof(rec), out, sizeof(out)), -1);
  EXPECT_EQ(buildIcapScanRespMsg(&rec, sizeof(rec), nullptr, 512), -1);
  EXPECT_EQ(buildIcapErrRespMsg(nullptr, 512), -1);
  EXPECT_EQ(log.count("Null pointer"), 3u);
  EXPECT_EQ(buildIcapErrRespMsg(out, sizeof(out)), 0);
  EXPECT_STREQ(out, kErrorResult);
}

}  // namespace

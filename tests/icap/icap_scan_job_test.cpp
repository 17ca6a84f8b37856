// Both ICAP job types through job dispatch against the scripted server: the
// request bytes, the result for each kind of answer, what job text may not put
// into a request; the result writer and the job decoder.
#include <json-c/json.h>

#include "icap/icap_io.h"
#include "icap/icap_scan.h"
#include "icap/icap_status.h"
#include "icap_test_support.h"

namespace {

const std::string kError = R"({"status": "1","avType": "1","result": "1","isTag": ""})";
std::string result(int r, const std::string& tag, int avType = 1) {
  return R"({"status": "0","avType": ")" + std::to_string(avType) + R"(","result": ")" + std::to_string(r) +
         R"(","isTag": ")" + tag + "\"}";
}

struct ScanJob {
  std::string method = "RESPMOD", pathKey = "X-File-Path", filePath = R"(\\\\nas1\\share\\a.txt)",
              lifIp = "127.0.0.9", servIp = "127.0.0.1", infection = "X-Infection-Found", violation = "X-Violations-Found";
  std::string json() const {
    return R"({"opCode":"1","avType":"1","Method":")" + method + R"(","PathKey":")" + pathKey + R"(","FilePath":")" +
           filePath + R"(","LifIp":")" + lifIp + R"(","ServIp":")" + servIp + R"(","ServPort":"1","Infection":")" +
           infection + R"(","Violation":")" + violation + "\"}\r\n\r\n";
  }
};
std::string statusJob(const std::string& servIp) { return R"({"opCode":"1","avType":2,"ServIp":")" + servIp + R"(","ServPort":1344})"; }

std::string runJob(const std::string& body) {
  auto r = jobstest::scanJob(body);
  EXPECT_EQ(r.rc, 1);
  return r.text;
}

// Byte-exact requests on the configured port, both job types and families.
TEST(IcapJob, RequestsAreByteExact) {
  for (const char* ip : {"127.0.0.1", "::1"}) {
    std::vector<std::string> flags = {"--hold", ip[0] == ':' ? "--ipv6" : "--hold"};
    icaptest::ScriptServer scan("ICAP/1.0 200 OK\r\nISTag: \"T1\"\r\n\r\n", flags), status("ICAP/1.0 200 OK\r\nISTag: X\r\n\r\n", flags);
    if (scan.port() == 0 || status.port() == 0) GTEST_SKIP() << "no IPv6 loopback";
    ASSERT_TRUE(icaptest::setIcapPortForTest(scan.port()));
    ScanJob job;
    job.servIp = ip;
    job.filePath = R"(\\\\nas1\\sh\u00e9re\\b.txt)";  // non-ASCII: sent as UTF-8
    EXPECT_EQ(runJob(job.json()), result(0, "T1"));
    std::string host = (ip[0] == ':' ? "[::1]:" : "127.0.0.1:") + std::to_string(scan.port());
    EXPECT_EQ(scan.received(), "RESPMOD icap://" + host + "/AVSCAN ICAP/1.0\r\nHost: " + host +
                                   "\r\nX-File-Path: \\\\nas1\\sh\xc3\xa9re\\b.txt\r\nConnection: close\r\n"
                                   "Encapsulated: null-body=0\r\n\r\n");
    ASSERT_TRUE(icaptest::setIcapPortForTest(status.port()));
    EXPECT_EQ(runJob(statusJob(std::string(" ") + ip)), result(0, "", 2));
    host = (ip[0] == ':' ? "[::1]:" : "127.0.0.1:") + std::to_string(status.port());
    EXPECT_EQ(status.received(), "OPTIONS icap://" + host + "/avscan ICAP/1.0\r\n\r\n");
  }
}

TEST(IcapJob, AnswersJudged) {
  const std::string pad = "X-Pad: " + std::string(503, 'p'), tooLong = "Icap answer header is too long(";
  auto lines = [](int n, const std::string& line) {
    std::string out;
    for (; n > 0; --n) out += line + "\r\n";
    return out;
  };
  // The block may hold 200 lines and 65536 bytes, its ends included: status
  // (17) + 127 pads (512 each) = 65041; the empty line takes 2 more.
  const std::string pads = "ICAP/1.0 200 OK\r\n" + lines(127, pad), ok = "ICAP/1.0 200 OK\r\nISTag: N\r\n";
  const std::string infected = "ICAP/1.0 403 Forbidden\r\nISTag: \"T1\"\r\nX-Infection-Found: Type=0; Resolution=";
  std::string scan = ScanJob().json(), status = statusJob("127.0.0.1");
  ScanJob noInfection;
  noInfection.infection = " \t ";  // trimmed to empty: only the status line is read
  ScanJob latin1;
  latin1.filePath = "\\\\\\\\nas1\\\\share\\\\r\xE9sum\xE9.doc";  // no request goes out for a name that is not UTF-8
  struct Case { std::string answer, expected, log = "", absent = ""; std::vector<std::string> flags = {}; std::string job = ""; } cases[] = {
      {infected + "2; Threat=E;\r\n\r\n", result(0, "T1")}, {infected + "0; Threat=E;\r\n\r\n", result(403, "T1")},
      {"ICAP/1.0 403 Forbidden\r\nISTag: T2\r\n\r\n", result(403, "T2")},
      {"ICAP/1.0 558 Trouble\r\nISTag: \"S\"\r\n\r\n", result(558, "S")},
      // Only the first line is a status line; a violation listing's lines name files and never
      // read as headers; clean by resolution only when every infection header says 2.
      {"ICAP/1.0 403 Forbidden\r\nISTag: \"T\"\r\nX-Infection-Found: Type=0; Resolution=0;\r\nX-Violations-Found: 2\r\n"
       "\tf\r\n\tE\r\n\tICAP/1.0 200 a.zip/ISTag: x\r\nX-Infection-Found: Resolution=2;\r\n\r\n", result(403, "T")},
      {"ICAP/1.0 403 Forbidden\r\nX-Violations-Found: 1\r\n\tf\r\n\tE\r\n\tX-Infection-Found: Resolution=2\r\n"
       "X-Blocked: a.zip/X-Infection-Found Resolution=2\r\n\r\n", result(403, "")},
      // The two description lines after the count are never judged; later folded lines are.
      {"ICAP/1.0 403 Forbidden\r\nX-Infection-Found: Type=0; Resolution=0;\r\nX-Violations-Found: 1\r\n"
       "\tICAP/1.0 200 ISTag: \"hidden\"\r\n\tEicar\r\n\t0\r\nISTag: \"after\"\r\n\r\n", result(403, "after"), "", "hidden"},
      {"ICAP/1.0 403 Forbidden\r\nX-Violations-Found: 0\r\n\t-\r\n\r\n", kError, "Get VirusNum failed."},
      {"ICAP/1.0 200 OK\r\nISTag: x1\r\nX-Violations-Found: 1\r\n\r\n", kError, "Select time out, error code(0)", "", {"--hold"}},
      {"ICAP/1.0 400 Bad request\r\nISTag: \"CI0001-XX\"\r\n\r\n", result(0, "CI0001-XX"),
       "Recv icap message (ICAP/1.0 400 Bad request) invaild"},
      {"ICAP/1.0 200 OK\r\n" + pad + "\r\nISTag: L\r\n\r\n", result(0, "L"), "", "Readline error."},
      {"ICAP/1.0 200 OK\r\n" + pad + "p\r\nISTag: L\r\n\r\n", kError, "Readline error."},
      {"ICAP/1.0 200 OK\r\nISTag: \"ab", kError, "recv error code(0)"},  // closes mid-line
      {"ICAP/1.0 200 OK\r\nISTag: \"\"\"\r\n\r\n", kError, "Get ISTag failed."},
      {"ICAP/1.0 403 Forbidden\r\nX-Infection-Found: Type=0;\r\n\r\n", kError, "Get Resolution failed."},
      {"", kError, "Icap get scan result failed(-1).", "", {"--silent"}},  // never answers
      // A backslash or a control character in an ISTag must not break the JSON text.
      {"ICAP/1.0 200 OK\r\nISTag: \"W\\q\x01\"\r\n\r\n", result(0, "W\\\\q\\u0001")},
      {"ICAP/1.0 403 Forbidden\r\nISTag: \"never\"\r\n\r\n", result(403, ""), "", "", {}, noInfection.json()},
      {"ICAP/1.0 200 OK\r\nISTag: \"T\"\r\n\r\n", kError, "The request's FilePath is not UTF-8.", "", {}, latin1.json()},
      // Header names match whatever their case; the status text itself is exact.
      {"ICAP/1.0 403 Forbidden\r\nistag: \"lower\"\r\nx-INFECTION-found: resolution=2;\r\n\r\n", result(0, "lower")},
      {"icap/1.0 403 forbidden\r\nISTag: T\r\n\r\n", result(0, "T")},
      // Bounds of the header block: lines, violation description lines among them, bytes.
      {ok + lines(197, "X-A: a") + "\r\n", result(0, "N"), "", tooLong},
      {ok + lines(198, "X-A: a") + "\r\n", kError, tooLong + "201 lines, "},
      {"ICAP/1.0 200 OK\r\n" + lines(196, "X-A: a") + "X-Violations-Found: 1\r\n\tf\r\n\tE\r\n\r\n", kError, tooLong + "201 lines, "},
      {pads + "X-B: " + std::string(486, 'b') + "\r\n\r\n", result(0, ""), "", tooLong},
      {pads + "X-B: " + std::string(487, 'b') + "\r\n\r\n", kError, tooLong + "130 lines, 65537 bytes)."},
      {"ICAP/1.0 200 OK\r\n" + lines(128, "X-Pad: " + std::string(1, '\0') + std::string(502, 'p')) + "\r\n", kError,
       tooLong + "129 lines, 65553 bytes)."},  // NUL bytes inside a line count too
      // The status job reads the first line only and reports no ISTag.
      {"ICAP/1.0 403 Forbidden\r\nISTag: \"S\"\r\nX-Infection-Found: Resolution=2;\r\n\r\n", result(403, "", 2), "", "", {"--hold"}, status},
      {"\r\nICAP/1.0 502 Bad\r\n\r\n", result(0, "", 2), "", "", {}, status},
      {"ICAP/1.0 20", kError, "Execute scan failed(-1), type(2).", "", {}, status}};
  setIcapReadyWaitForTest(300);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.substr(0, 200));
    icaptest::ScriptServer server(c.answer, c.flags);
    ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
    avtest::LogCapture log;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(runJob(c.job.empty() ? scan : c.job), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    if (!c.log.empty()) { EXPECT_TRUE(log.contains(c.log)) << c.log; }
    if (!c.absent.empty()) { EXPECT_FALSE(log.contains(c.absent)); }
  }
  setIcapReadyWaitForTest(0);
}

// An answer without a known status is clean as described, and an error with
// IcapStrict (a WARN naming its status line, made printable and cut); 204 and
// the known rows keep their result under both, for both job types.
TEST(IcapJob, StrictJudgingOfUnknownStatus) {
  const std::string garbled = std::string("\x01") + "garbage \xff" + std::string(100, 'g');
  const struct { std::string answer, lax; bool strictFails; std::string statusLine; } cases[] = {
      {"ICAP/1.0 400 Bad request\r\nISTag: \"CI1\"\r\n\r\n", result(0, "CI1"), true, "ICAP/1.0 400 Bad request"},
      {"ICAP/1.0 500 Server error\r\n\r\n", result(0, ""), true, "ICAP/1.0 500 Server error"},
      {garbled + "\r\n\r\n", result(0, ""), true, "?garbage ?" + std::string(70, 'g')},
      {"x ICAP/1.0 204 Unmodified\r\n\r\n", result(0, ""), true, "x ICAP/1.0 204 Unmodified"},
      {"ICAP/1.0 204 Unmodified\r\nISTag: \"T\"\r\n\r\n", result(0, "T"), false, ""},
      {"ICAP/1.0 200 OK\r\nISTag: \"T\"\r\n\r\n", result(0, "T"), false, ""},
      {"ICAP/1.0 506 Busy\r\n\r\n", result(506, ""), false, ""},
  };
  for (bool strict : {false, true}) {
    for (const auto& c : cases) {
      for (bool statusJobToo : {false, true}) {
        SCOPED_TRACE(c.answer + (strict ? " strict" : " lax") + (statusJobToo ? " status" : " scan"));
        icaptest::ScriptServer server(c.answer);
        ASSERT_TRUE(icaptest::setIcapPortForTest(server.port(), strict));
        avtest::LogCapture log;
        std::string lax = c.lax;
        if (statusJobToo) lax = result(std::stoi(lax.substr(lax.find("result") + 10)), "", 2);
        EXPECT_EQ(runJob(statusJobToo ? statusJob("127.0.0.1") : ScanJob().json()), strict && c.strictFails ? kError : lax);
        EXPECT_EQ(log.contains("Icap answer without a known status(" + c.statusLine + "): error result (IcapStrict).", AVLOG_WARN),
                  strict && c.strictFails);
      }
    }
  }
  ASSERT_TRUE(icaptest::setIcapPortForTest(1344));
}

// Job text never shapes the request beyond its field; a request that cannot be built sends nothing.
TEST(IcapJob, RefusedBeforeAnythingIsSent) {
  icaptest::ScriptServer server("ICAP/1.0 200 OK\r\n\r\n", {}, 0);
  ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
  avtest::LogCapture log;
  for (auto field : {&ScanJob::method, &ScanJob::pathKey, &ScanJob::filePath, &ScanJob::lifIp, &ScanJob::servIp,
                     &ScanJob::infection, &ScanJob::violation}) {
    for (const char* insert : {"\\r\\nX-Added: 1", "\\rX", "\\u0000X", "\\u007fX"}) {
      ScanJob job;
      job.*field += insert;
      size_t before = log.count(" holds a control character.");
      EXPECT_EQ(runJob(job.json()), kError) << job.json();
      EXPECT_EQ(log.count(" holds a control character."), before + 1) << job.json();
    }
  }
  ScanJob bad;
  bad.filePath = std::string(3000, '\xff');  // grows to 9000 bytes once replaced: past the path buffer
  EXPECT_EQ(runJob(bad.json()), kError);
  EXPECT_EQ(runJob(statusJob(" \\t\\r\\n ")), kError);
  EXPECT_TRUE(log.contains("IP adress is empty.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Call buildOptionsHeader failed.", AVLOG_ERR));
  EXPECT_EQ(server.received(), "");
  EXPECT_FALSE(log.contains("Start to connect av server"));
  ScanJob unresolvable;
  unresolvable.servIp = "a..b";  // rejected by the resolver itself: nothing leaves the machine
  EXPECT_EQ(runJob(unresolvable.json()), kError);
  EXPECT_TRUE(log.contains("Connect avserver failed(-1).", AVLOG_ERR));
  IcapScanRecord rec{};
  strcpy(rec.Method, "RESPMOD"), strcpy(rec.PathKey, "X-Path"), strcpy(rec.FilePath, "f");
  strcpy(rec.ServIp, "127.0.0.1\r\nX: 1");
  char buf[9112] = {0};
  EXPECT_EQ(buidlIcapMsg(&rec, buf, sizeof(buf)), -1);
  EXPECT_TRUE(log.contains("The request's ServIp holds a control character.", AVLOG_ERR));
  EXPECT_STREQ(buf, "");
}

// The OPTIONS request is cut at its buffer's last byte, never past it.
TEST(IcapJob, OptionsHeaderBounds) {
  AvServerAddr addr{};
  addr.port = 11344;
  memset(addr.ip, 'h', ICAP_ADDR_TEXT_MAX);  // the longest address still fits 256
  char buf[256 + 1];
  memset(buf, 0, sizeof(buf));
  ASSERT_EQ(buildOptionsHeader(buf, 256, &addr), 0);
  EXPECT_EQ(std::string(buf), "OPTIONS icap://" + std::string(64, 'h') + ":11344/avscan ICAP/1.0\r\n\r\n");
  for (uint32_t size : {16u, 79u, 80u}) {
    memset(buf, 0, sizeof(buf));
    memset(buf + size, 'G', sizeof(buf) - size);
    ASSERT_EQ(buildOptionsHeader(buf, size, &addr), 0);
    EXPECT_EQ(strlen(buf), size - 1);
    EXPECT_EQ(buf[size], 'G') << size;
  }
}

struct IcapDecode : ::testing::Test {
  int decode(const std::string& text, size_t size = sizeof(IcapScanRecord), bool status = false) {
    json_object* obj = json_tokener_parse(text.c_str());
    memset(&rec, 0x5a, sizeof(rec));
    int rc = (status ? decodeIcapServStaus : decodeIcapMsg)(obj, &rec, static_cast<uint32_t>(size));
    json_object_put(obj);
    return rc;
  }
  IcapScanRecord rec;
};

TEST_F(IcapDecode, TrimsCutsAndKeepsLowPortBits) {
  ASSERT_EQ(decode("{\"Method\":\" " + std::string(40, 'M') + R"(","PathKey":"\tX-Path\r\n","FilePath":"f",)"
                   R"("LifIp":7,"ServIp":"\f host ","ServPort":70000,"Infection":"","Violation":" X-V "})"), 0);
  // Method cut to 31, then the blank trimmed; a number gives its JSON rendering; the port's low 16 bits.
  EXPECT_EQ(std::string(rec.Method) + "|" + rec.PathKey + "|" + rec.FilePath + "|" + rec.LifIp + "|" + rec.ServIp + "|" +
                std::to_string(rec.ServPort) + "|" + rec.Infection + "|" + rec.Violation + "|" + std::to_string(rec.status) +
                "|" + std::to_string(rec.result) + "|" + rec.isTag,
            std::string(30, 'M') + "|X-Path|f|7|host|" + std::to_string(70000 & 0xffff) + "||X-V|0|-1|");
  ASSERT_EQ(decode(R"({"ServIp":"h","ServPort":1})", sizeof(rec), true), 0);
  EXPECT_EQ(std::string(rec.Infection) + "|" + rec.Violation, "|");  // the status job reads the first line only
}

TEST_F(IcapDecode, MissingOrNullMembersNameTheirMember) {
  const std::tuple<std::string, std::string, const char*> members[] = {
      {"Method", "\"M\"", "Get method object failed."}, {"PathKey", "\"K\"", "Get file path key object failed."},
      {"FilePath", "\"F\"", "Get file path object failed."}, {"LifIp", "\"L\"", "Get lif ip object failed."},
      {"ServIp", "\"S\"", "Get antivirus server ip object failed."},
      {"ServPort", "1", "Get antivirus server ip port object failed."},
      {"Infection", "\"I\"", "Get infection object failed."}, {"Violation", "\"V\"", "Get violation object failed."}};
  auto body = [&](size_t skip, bool asNull) {  // the member at skip left out, or null
    std::string out = "{";
    for (size_t k = 0; k < 8; ++k)
      if (k != skip || asNull)
        out += (out.size() > 1 ? ",\"" : "\"") + std::get<0>(members[k]) + "\":" + (k == skip ? "null" : std::get<1>(members[k]));
    return out + "}";
  };
  ASSERT_EQ(decode(body(8, false)), 0);
  for (size_t k = 0; k < 8; ++k) {
    for (bool asNull : {false, true}) {
      avtest::LogCapture log;
      EXPECT_EQ(decode(body(k, asNull)), -1) << body(k, asNull);
      EXPECT_TRUE(log.contains(std::get<2>(members[k]), AVLOG_ERR)) << body(k, asNull);
      EXPECT_EQ(log.count("Get "), 1u);
      if (k > 0) { EXPECT_STREQ(rec.Method, "M"); }  // fields read so far stay filled
    }
  }
  avtest::LogCapture log;
  EXPECT_EQ(decode(body(8, false), sizeof(IcapScanRecord) - 1), -1);
  EXPECT_EQ(decode(body(8, false), sizeof(IcapScanRecord) - 1, true), -1);
  EXPECT_EQ(log.count("Buff is too small(" + std::to_string(sizeof(IcapScanRecord) - 1) + "), real size("), 2u);
}

}  // namespace

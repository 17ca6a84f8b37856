// ICAP server status jobs through job dispatch, against the scripted server.
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

std::string statusResult(int result) {
  return "{\"status\": \"0\",\"avType\": \"2\",\"result\": \"" + std::to_string(result) +
         "\",\"isTag\": \"\"}";
}
std::string statusJob(const std::string& servIp, const std::string& port = "\"1344\"") {
  return "{\"opCode\":\"1\",\"avType\":2,\"ServIp\":\"" + servIp + "\",\"ServPort\":" + port + "}";
}
std::string runJob(const std::string& job) {
  char result[AV_SCAN_RESULT_ROOM] = {0};
  EXPECT_EQ(doJob_ScanFile(job.c_str(), static_cast<uint32_t>(job.size()), result, sizeof(result)), 1);
  return result;
}

class IcapStatusJob : public ::testing::Test {
 protected:
  void SetUp() override { startFree_ = avtest::poolFreeCounts(); }
  void TearDown() override {
    EXPECT_EQ(avtest::poolFreeCounts(), startFree_) << "pool blocks not returned";
  }
  std::string run(const std::string& answer, std::vector<std::string> flags = {},
                  const std::string& job = statusJob("127.0.0.1")) {
    icaptest::ScriptServer server(answer, flags);
    EXPECT_TRUE(icaptest::setIcapPortForTest(server.port()));
    std::string result = runJob(job);
    received_ = server.received();
    port_ = server.port();
    return result;
  }
  std::string received_;
  uint16_t port_ = 0;
  std::vector<uint32_t> startFree_;
};

TEST_F(IcapStatusJob, OptionsRequestAndFirstLineDecides) {
  avtest::LogCapture log;
  avtest::DebugLevel debug;
  // The server keeps the connection open, as real ones do: only the first line is waited for.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(run("ICAP/1.0 200 OK\r\nISTag: \"CI0001-x\"\r\nOptions-TTL: 3600\r\n\r\n", {"--hold"},
                statusJob(" 127.0.0.1 ", "1344")),
            statusResult(0));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(received_, "OPTIONS icap://127.0.0.1:" + std::to_string(port_) + "/avscan ICAP/1.0\r\n\r\n");
  EXPECT_TRUE(log.contains("Server IP 127.0.0.1:1344", AVLOG_DBG));
  EXPECT_TRUE(log.contains("Recv icap message (ICAP/1.0 200 OK)", AVLOG_DBG));
  EXPECT_FALSE(log.contains("CI0001"));  // the ISTag line is never read
  const std::pair<const char*, std::string> cases[] = {
      {"ICAP/1.0 201 Created\r\n\r\n", statusResult(0)},
      {"ICAP/1.0 403 Forbidden\r\nX-Infection-Found: Resolution=2;\r\n\r\n", statusResult(403)},
      {"\r\nICAP/1.0 502 Bad\r\n\r\n", statusResult(0)},  // empty first line
      {"ICAP/1.0 20", kErrorResult},                            // closes mid-line
  };
  for (auto& [answer, result] : cases) EXPECT_EQ(run(answer), result) << answer;
  EXPECT_TRUE(log.contains("Icap get scan result failed(-1).", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Execute scan failed(-1), type(2).", AVLOG_ERR));
}

TEST_F(IcapStatusJob, BlankOrMissingServerIsRefusedBeforeConnecting) {
  avtest::LogCapture log;
  EXPECT_EQ(runJob(statusJob(" \\t\\r\\n ")), kErrorResult);
  EXPECT_TRUE(log.contains("IP adress is empty.", AVLOG_ERR));
  EXPECT_TRUE(log.contains("Call buildOptionsHeader failed.", AVLOG_ERR));
  EXPECT_FALSE(log.contains("Connect socket"));
  const char* broken[][2] = {
      {"{\"avType\":2,\"ServPort\":1}", "Get antivirus server ip object failed."},
      {"{\"avType\":2,\"ServIp\":\"h\",\"ServPort\":null}", "Get antivirus server ip port object failed."},
  };
  for (auto& b : broken) {
    EXPECT_EQ(runJob(b[0]), kErrorResult) << b[0];
    EXPECT_TRUE(log.contains(b[1], AVLOG_ERR)) << b[0];
  }
  EXPECT_EQ(log.count("Decode message failed(-1), type(2)."), 2u);
}

TEST_F(IcapStatusJob, Ipv6ServerIsBracketedInTheUri) {
  std::string result = run("ICAP/1.0 200 OK\r\n\r\n", {"--ipv6"}, statusJob("::1"));
  if (port_ == 0) GTEST_SKIP() << "no IPv6 loopback";
  EXPECT_EQ(result, statusResult(0));
  EXPECT_EQ(received_, "OPTIONS icap://[::1]:" + std::to_string(port_) + "/avscan ICAP/1.0\r\n\r\n");
}

// Both ICAP result texts come from one writer: whatever an ISTag holds, the
// storage system gets a JSON object that gives the ISTag back.
TEST(IcapResultText, IsTagIsEscapedInScanAndStatusResults) {
  const std::string tags[] = {"plain", "q\"uo\"te", "back\\slash", "ctl\x01\x1f\x7f\t\n",
                              "\",\"avType\": \"0", std::string(64, '\\')};
  for (const auto& tag : tags) {
    IcapScanRecord rec{};
    rec.result = 403;
    memcpy(rec.isTag, tag.data(), tag.size());
    for (int avType : {1, 2}) {
      char out[512] = {0};
      int rc = avType == 1 ? buildIcapScanRespMsg(&rec, sizeof(rec), out, sizeof(out))
                           : buildIcapServStatusRespMsg(&rec, sizeof(rec), out, sizeof(out));
      ASSERT_EQ(rc, 0);
      json_object* obj = json_tokener_parse(out);
      ASSERT_NE(obj, nullptr) << out;
      json_object *isTag = nullptr, *type = nullptr;
      ASSERT_TRUE(json_object_object_get_ex(obj, "isTag", &isTag)) << out;
      ASSERT_TRUE(json_object_object_get_ex(obj, "avType", &type)) << out;
      EXPECT_EQ(json_object_get_string(isTag), tag) << out;
      EXPECT_EQ(json_object_get_string(type), std::to_string(avType)) << out;
      EXPECT_EQ(json_object_object_length(obj), 4) << out;
      json_object_put(obj);
    }
  }
}

TEST(IcapStatusParts, OptionsHeaderResultTextAndDecode) {
  avtest::LogCapture log;
  AvServerAddr addr{};
  addr.port = 11344;
  char buf[256] = {0};
  memset(addr.ip, 'h', ICAP_ADDR_TEXT_MAX);  // longest address still fits 256
  ASSERT_EQ(buildOptionsHeader(buf, sizeof(buf), &addr), 0);
  EXPECT_EQ(std::string(buf), "OPTIONS icap://" + std::string(64, 'h') + ":11344/avscan ICAP/1.0\r\n\r\n");
  IcapScanRecord rec{};
  rec.result = 505;
  rec.status = 9;  // the status job always reports 0
  char out[512];
  EXPECT_EQ(buildIcapServStatusRespMsg(&rec, sizeof(rec), out, sizeof(out)), 0);
  EXPECT_EQ(std::string(out), statusResult(505));
  json_object* obj = json_tokener_parse("{\"ServIp\":\"h\",\"ServPort\":1}");
  EXPECT_EQ(decodeIcapServStaus(obj, &rec, sizeof(rec) - 1), -1);
  EXPECT_EQ(getServStatusIcap(&rec, sizeof(rec) - 1), -1);
  EXPECT_EQ(log.count("Buff is too small("), 2u);
  strcpy(rec.Infection, "X");
  strcpy(rec.Violation, "Y");
  ASSERT_EQ(decodeIcapServStaus(obj, &rec, sizeof(rec)), 0);
  EXPECT_STREQ(rec.Infection, "");
  EXPECT_STREQ(rec.Violation, "");
  json_object_put(obj);
}

}  // namespace

// Storage port probes on loopback: listeners the test opens on port 445, a
// refused port answered without waiting for the time-out, the list's order,
// limits and malformed "lifIps".
#include <chrono>

#include "jobs/port_check.h"
#include "jobs_test_support.h"
#include "runtime/log.h"

namespace {

using jobstest::statusJob;

std::string statusRequest(const std::string& lifs) {
  return R"({"opCode":"0","avType":"0","message":"none.exe","vendorName":"V","lifIps":)" + lifs +
         "}";
}

std::string lif(const std::string& id, const std::string& ip) {
  return R"({"lifid":")" + id + R"(","ip":")" + ip + "\"}";
}

class PortCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(jobstest::loadConfig({{"V", "none.exe"}}, 3000));
  }
};

TEST_F(PortCheck, ListenersAnswer) {
  jobstest::Listener v4(AF_INET, 445);
  jobstest::Listener v6(AF_INET6, 445);
  if (!v4.ok() || !v6.ok()) GTEST_SKIP() << "port 445 on loopback cannot be bound here";
  auto r = statusJob(statusRequest("[" + lif("7", "127.0.0.1") + "," + lif("9", "::1") + "," +
                                   lif("11", "localhost") + "]"));
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.text, R"({"status": "1","avType": "0","isTag": "","lifIpsStatus":[{"lifid":"7","status":"0"}, {"lifid":"9","status":"0"}, {"lifid":"11","status":"0"}]})");
}

TEST_F(PortCheck, RefusedPortDoesNotWaitAndOrderHolds) {
  // Nothing may listen on 127.0.0.1:445 for this test: bind it and let it go.
  {
    jobstest::Listener probe(AF_INET, 445);
    if (!probe.ok()) GTEST_SKIP() << "port 445 on 127.0.0.1 is in use here";
  }
  jobstest::Listener v6(AF_INET6, 445);
  if (!v6.ok()) GTEST_SKIP() << "port 445 on ::1 cannot be bound here";
  std::string lifs = "[";
  for (int i = 0; i < 16; ++i) {
    if (i) lifs += ",";
    lifs += lif(i % 2 ? "18446744073709551615" : std::to_string(i), i % 2 ? "::1" : "127.0.0.1");
  }
  lifs += "]";
  auto t0 = std::chrono::steady_clock::now();
  auto r = statusJob(statusRequest(lifs));
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, std::chrono::milliseconds(1500)) << "8 refused probes with a 3000 ms time-out";
  ASSERT_EQ(r.rc, 1);
  std::string want = R"({"status": "1","avType": "0","isTag": "","lifIpsStatus":[)";
  for (int i = 0; i < 16; ++i) {
    want += R"({"lifid":")" + std::string(i % 2 ? "18446744073709551615" : std::to_string(i)) +
            R"(","status":")" + (i % 2 ? "0" : "1") + (i < 15 ? "\"}, " : "\"}]}");
  }
  EXPECT_EQ(r.text, want);
  EXPECT_LT(r.text.size(), AV_STATUS_RESULT_ROOM);
}

TEST_F(PortCheck, ListLimitsAndMalformedElements) {
  std::string seventeen = "[";
  for (int i = 0; i < 17; ++i) seventeen += std::string(i ? "," : "") + lif("1", "127.0.0.1");
  seventeen += "]";
  std::string longIp(64, '1');
  struct Case {
    std::string lifs;
    std::string message;
  } cases[] = {
      {seventeen, "too many lifIps"},
      {"[" + lif("1", "127.0.0.1") + R"(,{"lifid":"2"}])", "parse lif IP failed."},
      {R"([{"ip":"127.0.0.1"}])", "parse lif ID failed."},
      {"[" + lif("1", longIp) + "]", "parse lif IP failed."},
      {R"({"lifid":"1","ip":"127.0.0.1"})", "lifIps is not an array."},
      {R"("127.0.0.1")", "lifIps is not an array."},
      {R"([["127.0.0.1"]])", "is not an object."},
      {R"([7])", "is not an object."},
  };
  for (const auto& c : cases) {
    avtest::DebugLevel dbg;
    avtest::LogCapture log;
    auto r = statusJob(statusRequest(c.lifs));
    EXPECT_EQ(r.rc, 0) << c.lifs;
    EXPECT_EQ(r.text, "") << c.lifs;
    EXPECT_TRUE(log.contains(c.message, AVLOG_ERR)) << c.lifs;
    // Nothing was probed.
    EXPECT_FALSE(log.contains("Could not connect")) << c.lifs;
    EXPECT_FALSE(log.contains("Get address info failed")) << c.lifs;
  }
  // 63 characters fit the slot (and fail only to resolve).
  auto r = statusJob(statusRequest("[" + lif("1", std::string(63, 'a')) + "]"));
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.text.find(R"({"lifid":"1","status":"1"})"), std::string::npos);
}

TEST_F(PortCheck, EmptyAndAbsentLists) {
  const char* plain = R"({"status": "1","avType": "0","isTag": ""})";
  EXPECT_EQ(statusJob(statusRequest("[]")).text, plain);
  EXPECT_EQ(statusJob(R"({"opCode":"0","avType":"0","vendorName":"V"})").text, plain);
}

TEST_F(PortCheck, ProbeMessagesAndIds) {
  avtest::LogCapture log;
  EXPECT_EQ(detectNasCifsPort(nullptr), 0);
  EXPECT_TRUE(log.contains("Param is NULL.", AVLOG_ERR));
  EXPECT_EQ(detectNasCifsPort(""), 0);
  EXPECT_TRUE(log.contains("Ip param err.", AVLOG_ERR));
  EXPECT_EQ(detectNasCifsPort("no such host.invalid"), 0);
  EXPECT_TRUE(log.contains("Get address info failed, ret(", AVLOG_ERR));
  // IDs: hexadecimal accepted, a non-digit stops the conversion with its message.
  auto r = statusJob(statusRequest("[" + lif("0x10", "") + "," + lif("12a", "") + "]"));
  EXPECT_EQ(r.text, R"({"status": "1","avType": "0","isTag": "","lifIpsStatus":[{"lifid":"16","status":"1"}, {"lifid":"12","status":"1"}]})");
  EXPECT_TRUE(log.contains("Not a numbric str: (12a)."));
}

// A port whose accept queue is full drops the SYN: the probe waits for the
// configured time-out, and a negative time-out is bounded instead of endless.
TEST_F(PortCheck, UnansweredPortWaitsForTheTimeOut) {
  jobstest::Listener full(AF_INET, 445, 0);
  if (!full.ok()) GTEST_SKIP() << "port 445 on 127.0.0.1 cannot be bound here";
  if (!full.fillBacklog(445)) GTEST_SKIP() << "the accept queue does not drop SYNs here";
  std::string req = statusRequest("[" + lif("1", "127.0.0.1") + "]");
  {
    ASSERT_TRUE(jobstest::loadConfig({{"V", "none.exe"}}, 300));
    auto t0 = std::chrono::steady_clock::now();
    auto r = statusJob(req);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0).count();
    EXPECT_NE(r.text.find(R"({"lifid":"1","status":"1"})"), std::string::npos);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 2000);
  }
  {
    ASSERT_TRUE(jobstest::loadConfig({{"V", "none.exe"}}, -5));
    avtest::LogCapture log;
    auto t0 = std::chrono::steady_clock::now();
    auto r = statusJob(req);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0).count();
    EXPECT_NE(r.text.find(R"({"lifid":"1","status":"1"})"), std::string::npos);
    EXPECT_GE(ms, AV_DEFAULT_PROBE_TIMEOUT_MS - 10);
    EXPECT_LT(ms, AV_DEFAULT_PROBE_TIMEOUT_MS + 2000);
    EXPECT_TRUE(log.contains("PortConnectTimeOut(-5) is negative", AVLOG_ERR));
  }
}

}  // namespace

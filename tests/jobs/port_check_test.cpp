// Storage port probes on loopback: listeners the test opens on port 445, a
// refused port answered without waiting for the time-out, the list's order,
// limits and malformed "lifIps".
#include <chrono>

#include "jobs/port_check.h"
#include "jobs_test_support.h"
#include "runtime/log.h"

namespace {

using jobstest::statusJob;
using Clock = std::chrono::steady_clock;

std::string statusRequest(const std::string& lifs) {
  return R"({"opCode":"0","avType":"0","message":"none.exe","vendorName":"V","lifIps":)" + lifs + "}";
}
std::string lif(const std::string& id, const std::string& ip) {
  return R"({"lifid":")" + id + R"(","ip":")" + ip + "\"}";
}
std::string lifs(int n, std::string (*one)(int)) {
  std::string out = "[";
  for (int i = 0; i < n; ++i) out += (i ? "," : "") + one(i);
  return out + "]";
}
long msSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}
const std::string kHead = R"({"status": "1","avType": "0","isTag": "","lifIpsStatus":[)";

class PortCheck : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(jobstest::loadConfig({{"V", "none.exe"}}, 3000)); }
};

TEST_F(PortCheck, ListenersAnswer) {
  jobstest::Listener v4(AF_INET, 445), v6(AF_INET6, 445);
  if (!v4.ok() || !v6.ok()) GTEST_SKIP() << "port 445 on loopback cannot be bound here";
  auto r = statusJob(statusRequest("[" + lif("7", "127.0.0.1") + "," + lif("9", "::1") + "," +
                                   lif("11", "localhost") + "]"));
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.text, kHead + R"({"lifid":"7","status":"0"}, {"lifid":"9","status":"0"}, {"lifid":"11","status":"0"}]})");
}

// 16 ports alternating a refused 127.0.0.1 and a listening ::1, 20-digit IDs.
TEST_F(PortCheck, RefusedPortDoesNotWaitAndOrderHolds) {
  if (!jobstest::Listener(AF_INET, 445).ok()) GTEST_SKIP() << "127.0.0.1:445 is in use here";
  jobstest::Listener v6(AF_INET6, 445);
  if (!v6.ok()) GTEST_SKIP() << "port 445 on ::1 cannot be bound here";
  auto id = [](int i) { return i % 2 ? std::string("18446744073709551615") : std::to_string(i); };
  std::string list = "[", want = kHead;
  for (int i = 0; i < 16; ++i) {
    list += (i ? "," : "") + lif(id(i), i % 2 ? "::1" : "127.0.0.1");
    want += R"({"lifid":")" + id(i) + R"(","status":")" + (i % 2 ? "0" : "1") + (i < 15 ? "\"}, " : "\"}]}");
  }
  auto t0 = Clock::now();
  auto r = statusJob(statusRequest(list + "]"));
  EXPECT_LT(msSince(t0), 1500) << "8 refused probes with a 3000 ms time-out";
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.text, want);
}

TEST_F(PortCheck, ListLimitsAndMalformedElements) {
  struct Case {
    std::string lifs, message;
  } cases[] = {
      {lifs(17, [](int) { return lif("1", "127.0.0.1"); }), "too many lifIps"},
      {"[" + lif("1", "127.0.0.1") + R"(,{"lifid":"2"}])", "parse lif IP failed."},
      {R"([{"ip":"127.0.0.1"}])", "parse lif ID failed."},
      {"[" + lif("1", std::string(64, '1')) + "]", "parse lif IP failed."},
      {R"({"lifid":"1","ip":"127.0.0.1"})", "lifIps is not an array."},
      {R"("127.0.0.1")", "lifIps is not an array."},
      {R"([["127.0.0.1"]])", "is not an object."},
      {R"([7])", "is not an object."},
  };
  avtest::DebugLevel dbg;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lifs);
    avtest::LogCapture log;
    auto r = statusJob(statusRequest(c.lifs));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "");
    EXPECT_TRUE(log.contains(c.message, AVLOG_ERR));
    EXPECT_FALSE(log.contains("Could not connect"));  // nothing was probed
    EXPECT_FALSE(log.contains("Get address info failed"));
  }
  // 63 characters fit the slot (and fail only to resolve); empty and absent lists.
  EXPECT_EQ(statusJob(statusRequest("[" + lif("1", std::string(63, 'a')) + "]")).text,
            kHead + R"({"lifid":"1","status":"1"}]})");
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
  EXPECT_EQ(statusJob(statusRequest("[" + lif("0x10", "") + "," + lif("12a", "") + "]")).text,
            kHead + R"({"lifid":"16","status":"1"}, {"lifid":"12","status":"1"}]})");
  EXPECT_TRUE(log.contains("Not a numbric str: (12a)."));
}

// A port whose accept queue is full drops the SYN: the probe waits for the
// configured time-out, and a negative time-out is bounded instead of endless.
TEST_F(PortCheck, UnansweredPortWaitsForTheTimeOut) {
  jobstest::Listener full(AF_INET, 445, 0);
  if (!full.ok()) GTEST_SKIP() << "port 445 on 127.0.0.1 cannot be bound here";
  if (!full.fillBacklog(445)) GTEST_SKIP() << "the accept queue does not drop SYNs here";
  for (int timeout : {300, -5}) {
    ASSERT_TRUE(jobstest::loadConfig({{"V", "none.exe"}}, timeout));
    long wait = timeout > 0 ? timeout : AV_DEFAULT_PROBE_TIMEOUT_MS;
    avtest::LogCapture log;
    auto t0 = Clock::now();
    EXPECT_EQ(statusJob(statusRequest("[" + lif("1", "127.0.0.1") + "]")).text,
              kHead + R"({"lifid":"1","status":"1"}]})");
    long ms = msSince(t0);
    EXPECT_GE(ms, wait - 10);
    EXPECT_LT(ms, timeout > 0 ? 2000 : wait + 2000);
    EXPECT_EQ(log.contains("PortConnectTimeOut(-5) is negative", AVLOG_ERR), timeout < 0);
  }
}

}  // namespace

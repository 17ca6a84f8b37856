// Storage port probes on loopback port 445: order, refusals without waiting,
// limits, malformed "lifIps" and the time-out bound.
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
std::string lif(const std::string& id, const std::string& ip) { return R"({"lifid":")" + id + R"(","ip":")" + ip + "\"}"; }
std::string lifs(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& i : items) out += (out.empty() ? "[" : ",") + i;
  return (out.empty() ? "[" : out) + "]";
}
std::string statuses(const std::vector<std::pair<std::string, int>>& items) {
  std::string out;
  for (const auto& [id, st] : items) out += std::string(out.empty() ? "" : ", ") + R"({"lifid":")" + id + R"(","status":")" + std::to_string(st) + "\"}";
  return R"({"status": "1","avType": "0","isTag": "","lifIpsStatus":[)" + out + "]}";
}
struct PortCheck : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(jobstest::loadConfig({{"V", "none.exe"}}, 3000)); }
};

// 16 ports alternating refused 127.0.0.1 and listening ::1; 20-digit and hex IDs.
TEST_F(PortCheck, AnsweredRefusedAndOrder) {
  if (!jobstest::Listener(NET_IPV4, 445).ok()) GTEST_SKIP() << "port 445 is in use here";
  jobstest::Listener v6(NET_IPV6, 445);
  if (!v6.ok()) GTEST_SKIP() << "port 445 on ::1 cannot be bound here";
  std::vector<std::string> list;
  std::vector<std::pair<std::string, int>> want;
  for (int i = 0; i < 16; ++i) {
    std::string id = i % 2 ? "18446744073709551615" : std::to_string(i);
    list.push_back(lif(i == 2 ? "0x10" : id, i % 2 ? "::1" : "127.0.0.1"));
    want.push_back({i == 2 ? "16" : id, i % 2 ? 0 : 1});
  }
  auto t0 = Clock::now();
  auto r = statusJob(statusRequest(lifs(list)));
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500)) << "8 refused probes, 3000 ms time-out";
  EXPECT_EQ(r.text, statuses(want));
}

TEST_F(PortCheck, ListLimitsAndMalformedElements) {
  const std::pair<std::string, std::string> cases[] = {
      {lifs(std::vector<std::string>(17, lif("1", "127.0.0.1"))), "too many lifIps"},
      {lifs({lif("1", "127.0.0.1"), R"({"lifid":"2"})"}), "parse lif IP failed."},
      {R"([{"ip":"127.0.0.1"}])", "parse lif ID failed."},
      {lifs({lif("1", std::string(64, '1'))}), "parse lif IP failed."},
      {lif("1", "127.0.0.1"), "lifIps is not an array."},
      {R"([7])", "is not an object."},
  };
  for (const auto& [list, message] : cases) {
    avtest::LogCapture log;
    auto r = statusJob(statusRequest(list));
    EXPECT_EQ(r.rc, 0) << list;
    EXPECT_TRUE(log.contains(message, AVLOG_ERR)) << list;
    EXPECT_FALSE(log.contains("Could not connect")) << list;  // nothing was probed
  }
  avtest::LogCapture log;
  // 63 characters fit the slot (and fail only to resolve); a non-digit ends the ID.
  EXPECT_EQ(statusJob(statusRequest(lifs({lif("12a", std::string(63, 'a'))}))).text, statuses({{"12", 1}}));
  EXPECT_TRUE(log.contains("Not a numbric str: (12a)."));
  EXPECT_TRUE(log.contains("Get address info failed, ret(", AVLOG_ERR));
  EXPECT_EQ(statusJob(statusRequest(lifs({lif("1", "")}))).text, statuses({{"1", 1}}));
  EXPECT_TRUE(log.contains("Ip param err.", AVLOG_ERR));
  EXPECT_EQ(statusJob(statusRequest("[]")).text, R"({"status": "1","avType": "0","isTag": ""})");  // nothing to probe
}

// A full accept queue drops the SYN: the probe waits the time-out; a negative one is bounded.
TEST_F(PortCheck, UnansweredPortWaitsForTheTimeOut) {
  jobstest::Listener full(NET_IPV4, 445, 0);
  if (!full.ok() || !full.fillBacklog()) GTEST_SKIP() << "no full accept queue on 127.0.0.1:445 here";
  for (int timeout : {300, -5}) {
    ASSERT_TRUE(jobstest::loadConfig({{"V", "none.exe"}}, timeout));
    long wait = timeout > 0 ? timeout : AV_DEFAULT_PROBE_TIMEOUT_MS;
    avtest::LogCapture log;
    auto t0 = Clock::now();
    EXPECT_EQ(statusJob(statusRequest(lifs({lif("1", "127.0.0.1")}))).text, statuses({{"1", 1}}));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(ms, wait - 10);
    EXPECT_LT(ms, wait + 1500);
    EXPECT_EQ(log.contains("PortConnectTimeOut(-5) is negative", AVLOG_ERR), timeout < 0);
  }
}

}  // namespace

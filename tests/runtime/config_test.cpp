// Configuration: defaults and cuts, refused files that change nothing, the Pwd
// reset, the watcher, and the real agent's start-up.
#include "runtime/config.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "channel/peer_guard.h"
#include "channel/shared_key.h"
#include "runtime/log.h"
#include "support/agent_process.h"
#include "support/test_env.h"

namespace {

std::string cfgPath() { return avtest::scratchRoot() + "/cfg/agentConfig.ini"; }

std::string vendors(uint32_t num, const std::string& tag) {
  std::string s = "[AV_GENERAL]\nVendorNum=" + std::to_string(num) + "\n";
  for (uint32_t i = 1; i <= num; ++i)
    s += "[AV_VENDOR" + std::to_string(i) + "]\nVendorName=V" + std::to_string(i) + tag + "\n";
  return s;
}

struct Cfg {
  std::map<std::string, std::string> agent = {
      {"Port", "5000"}, {"MaxJobNo", "100"}, {"FlowJobNo", "50"}, {"PortConnectTimeOut", "3000"}};
  std::string vendorText = vendors(1, "-0");
  Cfg& set(const std::string& k, const std::string& v) { return agent[k] = v, *this; }
  Cfg& drop(const std::string& k) { return agent.erase(k), *this; }
  std::string text() const {
    std::string s = "[AGENT_SETTING]\n";
    for (const auto& [k, v] : agent) s += k + "=" + v + "\n";
    return s + vendorText;
  }
};

// Renamed over the file, so a concurrent reload never reads half of it.
void writeCfg(const Cfg& c) {
  avtest::writeFile(avtest::scratchRoot() + "/tmp/cfg.new", c.text());
  ASSERT_EQ(rename((avtest::scratchRoot() + "/tmp/cfg.new").c_str(), cfgPath().c_str()), 0);
}

std::string uncRoot(uint32_t size = 300) {
  char buf[300];
  getUncRoot(buf, size);
  return buf;
}

bool dbgPasses() {
  avtest::LogCapture cap;
  BRIM_Log(AV_MODULE_AGENT, AVLOG_DBG, "probe", __LINE__, 0, "level probe");
  return cap.contains("level probe");
}

// What readers see: Port/MaxJobNo/FlowJobNo/PortConnectTimeOut/IcapPort/UncRoot/
// vendor count and first name/HandshakeBanTime/AllowedPeers count/DBG passes/CanaryPath IcapStrict.
std::string liveState() {
  auto t = getVendorTable();
  return std::to_string(g_avAgentPort) + "/" + std::to_string(g_maxJobsNo) + "/" +
         std::to_string(g_flowJobsNo) + "/" + std::to_string(g_portConnectTimeOut) + "/" +
         std::to_string(getIcapPort()) + "/" + uncRoot() + "/" + std::to_string(t->count) +
         t->records[0].vendorName + "/" + std::to_string(g_handshakeBanTime) + "/" +
         std::to_string(getAllowedPeers()->count) + "/" + std::to_string(dbgPasses()) + "/" +
         *getCanaryPath() + std::to_string(getIcapStrict());
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { stopCfgMonitorThreadForTest(); }
  void TearDown() override { load(Cfg(), 1); }
  avtest::LogCapture* load(const Cfg& c, int result) {
    writeCfg(c);
    cap_.reset();  // one capture at a time
    cap_ = std::make_unique<avtest::LogCapture>();
    EXPECT_EQ(initSettingFromCfg(), result) << c.text();
    return cap_.get();
  }
  std::unique_ptr<avtest::LogCapture> cap_;
};

TEST_F(ConfigTest, DefaultsBoundsAndCuts) {
  auto* log = load(Cfg(), 1);
  EXPECT_TRUE(log->contains("g_maxJobsNo: 100, g_flowJobsNo: 50, g_portConnectTimeOut: 3000"));
  EXPECT_TRUE(log->contains("built-in default pre-shared key", AVLOG_WARN));
  EXPECT_EQ(liveState(), "5000/100/50/3000/1344//mnt/unc/1V1-0/60/0/0/0");  // LogLevel 4, no canary, lax
  Cfg edge = Cfg().set("Port", "65535").set("MaxJobNo", "0").set("FlowJobNo", "0").set("MetricsFile", "/" + std::string(254, 'm'));
  edge.vendorText = vendors(128, "");
  edge.vendorText.insert(edge.vendorText.find("=V1\n") + 4, "ProcessNameList=" + std::string(99, 'p') + "\n");
  EXPECT_TRUE(load(edge, 1)->contains("Load vendor more times.", AVLOG_WARN));
  ASSERT_EQ(liveState(), "65535/0/0/3000/1344//mnt/unc/128V1/60/0/0/0");
  EXPECT_STREQ(getVendorTable()->records[127].vendorName, "V128");
  EXPECT_EQ(getVendorTable()->records[0].processNameList, std::string(64, 'p'));
  // IcapPort keeps its low 16 bits; texts are cut; an empty UncRoot is the default.
  edge = Cfg().set("Port", "0").set("IcapPort", "66881").set("LogLevel", "5").set("UncRoot", "/" + std::string(299, 'u'));
  edge.vendorText = "[AV_GENERAL]\nVendorNum=2\n[av_vendor1]\nVendorName=" + std::string(200, 'n');
  load(edge, 1);
  EXPECT_EQ(liveState(), "0/100/50/3000/1345//" + std::string(254, 'u') + "/2" + std::string(128, 'n') + "/60/0/1/0");
  EXPECT_EQ(uncRoot(5), "/uuu");
  EXPECT_STREQ(getVendorTable()->records[1].vendorName, "");  // section missing
  load(Cfg().set("UncRoot", ""), 1);
  EXPECT_EQ(uncRoot(), "/mnt/unc");
}

// A refused reload changes nothing a reader can see nor the file (no Pwd reset),
// whichever step refuses it: deleting FlowJobNo keeps the running flow limit.
TEST_F(ConfigTest, RefusedReloadKeepsEveryRunningValue) {
  const struct { Cfg cfg; const char* message; uint32_t vendorNum = 3; } cases[] = {
      {Cfg().drop("FlowJobNo"), "Get private is failed."},
      {Cfg().drop("Port"), "Get private is failed."},
      {Cfg().set("Port", "65536"), "Port is invalid."},
      {Cfg().set("Port", "-1"), "Port is invalid."},
      {Cfg().set("MaxJobNo", "-1"), "MaxJobNo is invalid."},
      {Cfg().set("FlowJobNo", "-1"), "FlowJobNo is invalid."},
      {Cfg().set("FlowJobNo", "abc"), "Refused FlowJobNo=abc in "},  // never read as 0
      {Cfg().set("Port", "5000x"), "Refused Port=5000x in "},  // nor as its leading digits
      {Cfg().set("MaxJobNo", "99999999999"), "Refused MaxJobNo=99999999999 in "},
      {Cfg().set("MaxJobNo", std::string(70, '0') + "5"), "Refused MaxJobNo=000"},  // never read as its cut text
      {Cfg().set("LogFileNum", "1e3"), "Refused LogFileNum=1e3 in "},
      {Cfg().set("HandshakeTimeOut", "50"), "Refused HandshakeTimeOut=50 in "},
      {Cfg().set("ListenAddress", "localhost"), "Refused ListenAddress=localhost in "},
      {Cfg().set("HandshakeFailWindow", "0"), "HandshakeFailWindow is invalid(0)."},
      {Cfg().set("AllowedPeers", "10.0.0.0/33"), "AllowedPeers is invalid(10.0.0.0/33)."},
      {Cfg().set("AllowedPeers", "10.0.0.1" + std::string(4100, ' ') + ",10.0.0.2"), "AllowedPeers is invalid(too long: "},
      {Cfg().set("IcapStrict", "2"), "Refused IcapStrict=2 in "},
      {Cfg().set("CanaryPath", "av/canary.com"), "CanaryPath is invalid(not an absolute path: av/canary.com)."},
      {Cfg().set("UncRoot", "."), "Refused UncRoot=. in "},  // share paths would name the agent's files
      {Cfg().set("CanaryPath", "/" + std::string(255, 'c')), "CanaryPath is invalid(too long: 256)."},
      {Cfg().set("MetricsFile", "/" + std::string(255, 'm')), "MetricsFile is invalid(too long: 256)."},  // never cut
      {Cfg().set("Pwd", "short"), "Failed to reset the antivirus pre-shared key"},
      {Cfg().set("Pwd", "abcdefghijklmnopq1"), ": it has no special character"},
      {Cfg().set("Credential", "00"), "Failed to reset the antivirus pre-shared key"},
      {Cfg(), "Get vendors is failed.", 129},
      {Cfg(), "Get vendors is failed.", 0},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.message);
    Cfg good = Cfg().set("FlowJobNo", "7").set("AllowedPeers", "10.0.0.0/8");
    good.vendorText = vendors(2, "a");
    load(good, 1);
    const std::string before = liveState();
    const auto table = getVendorTable();
    // Every other value differs too, so a partial store would show.
    c.cfg.set("IcapPort", "99").set("LogLevel", "5").set("HandshakeBanTime", "5");
    if (!c.cfg.agent.count("UncRoot")) c.cfg.set("UncRoot", "/o");
    if (!c.cfg.agent.count("IcapStrict")) c.cfg.set("IcapStrict", "1");
    if (!c.cfg.agent.count("CanaryPath")) c.cfg.set("CanaryPath", "/o/c");
    if (!c.cfg.agent.count("Credential") && !c.cfg.agent.count("Pwd")) c.cfg.set("Pwd", "correct-horse-42");
    c.cfg.vendorText = vendors(c.vendorNum, "b");
    EXPECT_TRUE(load(c.cfg, 0)->contains(c.message, AVLOG_ERR));
    EXPECT_EQ(liveState(), before);
    EXPECT_EQ(getVendorTable(), table);
    EXPECT_EQ(avtest::readFile(cfgPath()), c.cfg.text());
  }
}

// An accepted Pwd is rewritten as "null" and becomes the key.
TEST_F(ConfigTest, PwdResetRewritesAnAcceptedFile) {
  const char* pwd = "correct-horse-42";
  uint8_t key[32], want[32] = {0};
  ASSERT_EQ(deriveSharedKey(pwd, want), 0);
  EXPECT_TRUE(load(Cfg().set("Pwd", pwd), 1)->contains("Succeeded in setting the antivirus pre-shared key. "));
  getAvAgentSharedKey(key);
  EXPECT_EQ(std::memcmp(key, want, 32), 0);
  const std::string text = avtest::readFile(cfgPath());
  EXPECT_NE(text.find("Pwd=null\n"), std::string::npos) << text;
  EXPECT_NE(text.find("VendorName=V1-0\n"), std::string::npos);
}

// Readers walk the table while the watcher reloads: every table is one
// generation's, its count matching its records.
TEST(ConfigConcurrency, WatcherReloadsWholeTables) {
  stopCfgMonitorThreadForTest();
  writeCfg(Cfg());
  ASSERT_EQ(initSettingFromCfg(), 1);
  ASSERT_EQ(createCfgMonitorThread(), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!stop) {
      auto t = getVendorTable();
      std::string tag = std::string(t->records[0].vendorName).substr(2);
      for (uint32_t i = 0; i < t->count; ++i) bad += t->records[i].vendorName != "V" + std::to_string(i + 1) + tag;
    }
  });
  for (uint32_t gen = 1; gen <= 20; ++gen) {
    Cfg c = Cfg().set("FlowJobNo", std::to_string(gen));
    c.vendorText = vendors(gen % 5 + 1, "-" + std::to_string(gen));
    writeCfg(c);
  }
  for (int i = 0; i < 1000 && g_flowJobsNo.load() != 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  reader.join();
  stopCfgMonitorThreadForTest();
  EXPECT_EQ(g_flowJobsNo.load(), 20);
  EXPECT_EQ(bad.load(), 0);
  writeCfg(Cfg());
  EXPECT_EQ(initSettingFromCfg(), 1);
}

// The real agent raises its open-file limit at start, and ends with ENOENT
// as its exit code once its configuration folder can no longer be watched.
TEST(AgentRuntime, RaisesFileLimitAndEndsWhenCfgWatchIsLost) {
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max <= 64) GTEST_SKIP() << "hard limit too low to lower";
  struct rlimit low = {64, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  avtest::AgentProcess agent;
  const bool started = agent.start();
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(started) << agent.stderrText();
  const std::string limits = avtest::readFile("/proc/" + std::to_string(agent.pid()) + "/limits");
  const std::string hard = saved.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(saved.rlim_max);
  EXPECT_NE(limits.find("Max open files            " + hard), std::string::npos) << limits;
  std::filesystem::rename(agent.root() + "/cfg", agent.root() + "/cfg.moved");
  EXPECT_EQ(agent.waitExit(10000), ENOENT);
  EXPECT_NE(agent.logText().find("Watching the folder cfg failed(2)."), std::string::npos);
}

}  // namespace

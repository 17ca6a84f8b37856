#include "runtime/config.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "channel/shared_key.h"
#include "platform/ini_file.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

std::string cfgPath() { return avtest::scratchRoot() + "/cfg/agentConfig.ini"; }

// AGENT_SETTING key/value pairs plus the vendor sections after them.
struct Cfg {
  std::map<std::string, std::string> agent = {
      {"Port", "5000"}, {"MaxJobNo", "100"}, {"FlowJobNo", "50"}, {"PortConnectTimeOut", "3000"}};
  std::string vendors = "[AV_GENERAL]\nVendorNum=1\n[AV_VENDOR1]\nVendorName=Engine\n"
                        "ProcessNameList=engined\n";
  Cfg& set(const std::string& k, const std::string& v) { return agent[k] = v, *this; }
  std::string text() const {
    std::string s = "; agent configuration\n[AGENT_SETTING]\n";
    for (const auto& [k, v] : agent) s += k + "=" + v + "\n";
    return s + vendors;
  }
};

// Renamed over the file, so a concurrent reload never reads half of it.
void writeCfg(const Cfg& c) {
  std::string tmp = avtest::scratchRoot() + "/tmp/agentConfig.ini.new";
  avtest::writeFile(tmp, c.text());
  ASSERT_EQ(rename(tmp.c_str(), cfgPath().c_str()), 0);
}

std::string vendorSections(uint32_t num, const std::function<std::string(uint32_t)>& name,
                           const std::function<std::string(uint32_t)>& list) {
  std::string s = "[AV_GENERAL]\nVendorNum=" + std::to_string(num) + "\n";
  for (uint32_t i = 1; i <= num; ++i)
    s += "[AV_VENDOR" + std::to_string(i) + "]\nVendorName=" + name(i) +
         "\nProcessNameList=" + list(i) + "\n";
  return s;
}

std::vector<uint8_t> sharedKey() {
  uint8_t k[32];
  getAvAgentSharedKey(k);
  return {k, k + 32};
}

std::vector<uint8_t> derived(const char* preshared) {
  uint8_t k[32] = {0};
  EXPECT_EQ(deriveSharedKey(preshared, k), 0);
  return {k, k + 32};
}

bool dbgPasses() {
  avtest::LogCapture cap;
  BRIM_Log(AV_MODULE_AGENT, AVLOG_DBG, "probe", __LINE__, 0, "level probe");
  return cap.contains("level probe");
}

std::string uncRoot(uint32_t size = 300) {
  char buf[300];
  getUncRoot(buf, size);
  return buf;
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { stopCfgMonitorThreadForTest(); }
  void TearDown() override {
    stopCfgMonitorThreadForTest();
    writeCfg(Cfg());
    EXPECT_EQ(initSettingFromCfg(), 1);
    BRIM_SetModuleLogLevel(AV_MODULE_AGENT, 0);
  }
  // Loads c expecting result, and returns what was logged.
  std::vector<avtest::LogRecord> load(const Cfg& c, int result) {
    writeCfg(c);
    avtest::LogCapture cap;
    EXPECT_EQ(initSettingFromCfg(), result) << c.text();
    return cap.records();
  }
  static bool logged(const std::vector<avtest::LogRecord>& recs, const std::string& text,
                     uint32_t level = ~0u) {
    return std::any_of(recs.begin(), recs.end(), [&](const avtest::LogRecord& r) {
      return r.message.find(text) != std::string::npos && (level == ~0u || r.level == level);
    });
  }
};

TEST_F(ConfigTest, DefaultsAndTextCuts) {
  // No IcapPort, LogFileNum, LogLevel, UncRoot or key entries.
  auto recs = load(Cfg(), 1);
  EXPECT_EQ(getIcapPort(), 1344);
  EXPECT_EQ(uncRoot(), "/mnt/unc");
  EXPECT_EQ(g_avAgentPort.load(), 5000);
  EXPECT_EQ(g_maxJobsNo.load(), 100);
  EXPECT_EQ(g_flowJobsNo.load(), 50);
  EXPECT_EQ(g_portConnectTimeOut.load(), 3000);
  EXPECT_TRUE(logged(recs, "built-in default pre-shared key", AVLOG_WARN));
  EXPECT_EQ(sharedKey(), derived(AV_DEFAULT_PRESHARED_KEY));
  EXPECT_TRUE(logged(recs, "g_avAgentPort: 5000", AVLOG_INFO));
  EXPECT_TRUE(logged(recs, "g_maxJobsNo: 100, g_flowJobsNo: 50, g_portConnectTimeOut: 3000"));
  EXPECT_FALSE(dbgPasses());  // LogLevel 4

  // IcapPort keeps its low 16 bits; UncRoot is cut to 255 and to the buffer;
  // an empty UncRoot reads as the default, never as "relative".
  load(Cfg().set("IcapPort", std::to_string(65536 + 1345)).set("LogLevel", "5")
           .set("UncRoot", "/" + std::string(300, 'u')), 1);
  EXPECT_EQ(getIcapPort(), 1345);
  EXPECT_TRUE(dbgPasses());
  EXPECT_EQ(uncRoot().size(), 255u);
  EXPECT_EQ(uncRoot(5), "/uuu");
  load(Cfg().set("UncRoot", ""), 1);
  EXPECT_EQ(uncRoot(), "/mnt/unc");
}

TEST_F(ConfigTest, PortBoundsAndFailedCheckKeepsTheVendorTable) {
  for (const char* port : {"0", "65535"}) {
    load(Cfg().set("Port", port), 1);
    EXPECT_EQ(g_avAgentPort.load(), std::stoi(port));
  }
  auto before = getVendorTable();
  for (const char* port : {"65536", "-1", "99999999999"}) {
    Cfg c = Cfg().set("Port", port).set("FlowJobNo", "7");
    c.vendors = vendorSections(3, [](uint32_t) { return "x"; }, [](uint32_t) { return "y"; });
    EXPECT_TRUE(logged(load(c, 0), "Port is invalid.", AVLOG_ERR)) << port;
    EXPECT_EQ(getVendorTable(), before) << port;
    EXPECT_EQ(g_flowJobsNo.load(), 50);  // nothing of a refused file is applied
  }
}

TEST_F(ConfigTest, MissingRequiredKeyFailsBeforeAnythingIsApplied) {
  for (const char* key : {"Port", "MaxJobNo", "FlowJobNo", "PortConnectTimeOut"}) {
    SCOPED_TRACE(key);
    load(Cfg(), 1);  // LogLevel 4
    Cfg c = Cfg().set("LogLevel", "5");
    c.agent.erase(key);
    auto recs = load(c, 0);
    EXPECT_TRUE(logged(recs, "Get private is failed.", AVLOG_ERR));
    EXPECT_FALSE(logged(recs, "Load vendor num"));
    EXPECT_FALSE(dbgPasses());  // the log level was not applied
  }
}

TEST_F(ConfigTest, PwdResetWritesBackAndReloadDerivesSameKey) {
  const char* pwd = "correct-horse-42";
  writeCfg(Cfg().set("Pwd", pwd));
  ASSERT_EQ(chmod(cfgPath().c_str(), 0640), 0);
  {
    avtest::LogCapture cap;
    ASSERT_EQ(initSettingFromCfg(), 1);
    EXPECT_TRUE(cap.contains("Succeeded in setting the antivirus pre-shared key. ", AVLOG_INFO));
    EXPECT_FALSE(cap.contains("built-in default pre-shared key"));
  }
  const auto key = sharedKey();
  EXPECT_EQ(key, derived(pwd));

  const std::string p = cfgPath();
  char buf[256];
  ini_GetString("AGENT_SETTING", "Pwd", "", buf, sizeof buf, p.c_str());
  EXPECT_STREQ(buf, "null");
  ini_GetString("AGENT_SETTING", "Credential", "", buf, sizeof buf, p.c_str());
  EXPECT_EQ(std::strlen(buf), 64u);
  EXPECT_STRNE(buf, AV_DEFAULT_CREDENTIAL);
  for (const char* k : {"Iv", "Salt", "RootKey"})
    EXPECT_EQ(ini_GetString("AGENT_SETTING", k, "", buf, sizeof buf, p.c_str()), 15) << k;
  const std::string text = avtest::readFile(p);
  EXPECT_EQ(text.rfind("; agent configuration\n[AGENT_SETTING]\n", 0), 0u);
  EXPECT_NE(text.find("VendorName=Engine\n"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // The next load takes the Credential path and lands on the same key.
  avtest::LogCapture cap;
  ASSERT_EQ(initSettingFromCfg(), 1);
  EXPECT_FALSE(cap.contains("Succeeded in setting"));
  EXPECT_EQ(sharedKey(), key);
}

// The length in the file decides, not the 63 characters a cut read would keep.
TEST_F(ConfigTest, OverlongPwdIsRefusedByItsTrueLength) {
  for (size_t len : {63u, 64u, 300u}) {
    SCOPED_TRACE(len);
    const std::string pwd = "Aa1!" + std::string(len - 4, 'x');
    const Cfg c = Cfg().set("Pwd", pwd);
    auto recs = load(c, len == 63 ? 1 : 0);
    if (len == 63) {
      EXPECT_EQ(sharedKey(), derived(pwd.c_str()));
      continue;
    }
    EXPECT_TRUE(logged(recs, "Shared key length(" + std::to_string(len) + ") invalid.", AVLOG_ERR));
    EXPECT_TRUE(logged(recs, "Failed to reset the antivirus pre-shared key, error-code(-1).",
                       AVLOG_ERR));
    EXPECT_EQ(avtest::readFile(cfgPath()), c.text());  // Pwd left in place
  }
}

TEST_F(ConfigTest, VendorTableLimits) {
  load(Cfg(), 1);
  Cfg c;
  c.vendors = vendorSections(
      128, [](uint32_t i) { return "Vendor" + std::to_string(i); },
      [](uint32_t i) { return "proc" + std::to_string(i) + ",other"; });
  auto recs = load(c, 1);
  EXPECT_TRUE(logged(recs, "Load vendor num 128.", AVLOG_INFO));
  EXPECT_TRUE(logged(recs, "Load vendor more times.", AVLOG_WARN));
  EXPECT_TRUE(logged(recs, "Load vendor128 Vendor128, process proc128,other.", AVLOG_INFO));
  auto table = getVendorTable();
  ASSERT_EQ(table->count, 128u);
  for (uint32_t i = 0; i < 128; ++i) {
    EXPECT_EQ(std::string(table->records[i].vendorName), "Vendor" + std::to_string(i + 1));
    EXPECT_EQ(std::string(table->records[i].processNameList),
              "proc" + std::to_string(i + 1) + ",other");
  }
  for (const char* num : {"129", "0", "-1", "abc"}) {
    SCOPED_TRACE(num);
    c.vendors = "[AV_GENERAL]\nVendorNum=" + std::string(num) + "\n[AV_VENDOR1]\nVendorName=X\n";
    recs = load(c, 0);
    EXPECT_TRUE(logged(recs, "Get vendors is failed.", AVLOG_ERR));
    EXPECT_FALSE(logged(recs, "Load vendor1 "));
    EXPECT_EQ(getVendorTable(), table);  // the old table stays published
  }

  // Long texts are cut; a missing section gives empty texts; names ignore case.
  c.vendors = "[AV_GENERAL]\nVendorNum=3\n[av_vendor1]\nVendorName=" + std::string(200, 'n') +
              "\nProcessNameList=" + std::string(100, 'p') + "\n[AV_VENDOR3]\nvendorname=Third\n";
  recs = load(c, 1);
  auto t = getVendorTable();
  ASSERT_EQ(t->count, 3u);
  EXPECT_EQ(std::string(t->records[0].vendorName), std::string(128, 'n'));
  EXPECT_EQ(std::string(t->records[0].processNameList), std::string(64, 'p'));
  EXPECT_STREQ(t->records[1].vendorName, "");
  EXPECT_STREQ(t->records[1].processNameList, "");
  EXPECT_STREQ(t->records[2].vendorName, "Third");
  EXPECT_TRUE(logged(recs, "Load vendor2 , process .", AVLOG_INFO));
}

// Readers walk the vendor table and UncRoot while the watcher and direct calls reload them:
// every table held is one generation's, its count matching its records.
TEST(ConfigConcurrency, ReadersSeeWholeTablesDuringReloads) {
  stopCfgMonitorThreadForTest();
  auto genCfg = [](uint32_t gen) {
    Cfg c = Cfg().set("FlowJobNo", std::to_string(gen))
                .set("UncRoot", "/g" + std::string(200, static_cast<char>('a' + gen % 26)));
    c.vendors = vendorSections(
        gen % 6 + 1, [gen](uint32_t i) { return "V" + std::to_string(i) + "-" + std::to_string(gen); },
        [gen](uint32_t i) { return "p" + std::to_string(i) + "-" + std::to_string(gen); });
    return c;
  };
  writeCfg(genCfg(0));
  ASSERT_EQ(initSettingFromCfg(), 1);
  ASSERT_EQ(createCfgMonitorThread(), 0);

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<long> walked{0};
  auto reader = [&] {
    while (!stop.load()) {
      auto t = getVendorTable();
      std::string gen = t->count && t->records ? t->records[0].vendorName : "";
      gen = gen.substr(gen.find('-') + 1);  // no dash: the whole name, which is no number
      if (gen.empty() || gen.find_first_not_of("0123456789") != std::string::npos ||
          t->count != std::stoul(gen) % 6 + 1) {
        bad.fetch_add(1);
        continue;
      }
      for (uint32_t i = 0; i < t->count; ++i)
        if ("V" + std::to_string(i + 1) + "-" + gen != t->records[i].vendorName ||
            "p" + std::to_string(i + 1) + "-" + gen != t->records[i].processNameList)
          bad.fetch_add(1);
      std::string root = uncRoot(256);
      if (root.size() != 202 || root.substr(2) != std::string(200, root[2])) bad.fetch_add(1);
      (void)getIcapPort();
      walked.fetch_add(1);
      std::this_thread::yield();  // leave the shared cores to the reloads
    }
  };
  std::thread r1(reader), r2(reader);
  for (uint32_t gen = 1; gen <= 24; ++gen) {
    writeCfg(genCfg(gen));  // wakes the watcher
    if (gen % 2 == 0) {
      EXPECT_EQ(initSettingFromCfg(), 1);
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((g_flowJobsNo.load() != 24 || getVendorTable()->count != 1) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(g_flowJobsNo.load(), 24);
  EXPECT_EQ(getVendorTable()->count, 1u);
  while (walked.load() < 100) std::this_thread::yield();
  stop = true;
  r1.join();
  r2.join();
  stopCfgMonitorThreadForTest();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(getCfgMonitorReloadCount(), 0u);
  writeCfg(Cfg());
  EXPECT_EQ(initSettingFromCfg(), 1);
  BRIM_SetModuleLogLevel(AV_MODULE_AGENT, 0);
}

}  // namespace

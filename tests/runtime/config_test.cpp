#include "runtime/config.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel/shared_key.h"
#include "platform/ini_file.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

std::string cfgPath() { return avtest::scratchRoot() + "/cfg/agentConfig.ini"; }

// The configuration as AGENT_SETTING key/value pairs plus free text appended
// after it (vendor sections and the like).
struct Cfg {
  std::map<std::string, std::string> agent = {
      {"Port", "5000"}, {"MaxJobNo", "100"}, {"FlowJobNo", "50"}, {"PortConnectTimeOut", "3000"}};
  std::string vendors = "[AV_GENERAL]\nVendorNum=1\n[AV_VENDOR1]\nVendorName=Engine\n"
                        "ProcessNameList=engined\n";
  std::string text() const {
    std::string s = "; agent configuration\n[AGENT_SETTING]\n";
    for (const auto& [k, v] : agent) s += k + "=" + v + "\n";
    return s + vendors;
  }
};

// Written beside the file and renamed over it, so a concurrent reload never
// reads a half-written file.
void writeCfg(const std::string& text) {
  std::string tmp = avtest::scratchRoot() + "/tmp/agentConfig.ini.new";
  avtest::writeFile(tmp, text);
  ASSERT_EQ(rename(tmp.c_str(), cfgPath().c_str()), 0);
}
void writeCfg(const Cfg& c) { writeCfg(c.text()); }

std::string vendorSections(uint32_t num, const std::function<std::string(uint32_t)>& name,
                           const std::function<std::string(uint32_t)>& list) {
  std::string s = "[AV_GENERAL]\nVendorNum=" + std::to_string(num) + "\n";
  for (uint32_t i = 1; i <= num; ++i)
    s += "[AV_VENDOR" + std::to_string(i) + "]\nVendorName=" + name(i) +
         "\nProcessNameList=" + list(i) + "\n";
  return s;
}

bool waitFor(const std::function<bool()>& cond, int ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
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

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { stopCfgMonitorThreadForTest(); }
  void TearDown() override {
    stopCfgMonitorThreadForTest();
    writeCfg(Cfg());
    EXPECT_EQ(initSettingFromCfg(), 1);
    BRIM_SetModuleLogLevel(AV_MODULE_AGENT, 0);
  }
};

TEST_F(ConfigTest, FilePathUnderTheRoot) {
  char out[260];
  ASSERT_EQ(getCfgFilePath(out, sizeof out), 0u);
  EXPECT_EQ(std::string(out), cfgPath());
  char small[8];
  EXPECT_NE(getCfgFilePath(small, sizeof small), 0u);
  EXPECT_NE(getCfgFilePath(nullptr, 260), 0u);
}

TEST_F(ConfigTest, OptionalKeysTakeTheirDefaults) {
  Cfg c;
  c.agent["IcapPort"] = "1";
  c.agent["UncRoot"] = "/srv/shares";
  writeCfg(c);
  ASSERT_EQ(initSettingFromCfg(), 1);
  ASSERT_EQ(getIcapPort(), 1);
  char before[256];
  getUncRoot(before, sizeof before);
  ASSERT_STREQ(before, "/srv/shares");
  c.agent["UncRoot"] = "";  // empty reads as the default, never as "relative"
  writeCfg(c);
  ASSERT_EQ(initSettingFromCfg(), 1);
  getUncRoot(before, sizeof before);
  EXPECT_STREQ(before, "/mnt/unc");

  writeCfg(Cfg());  // no IcapPort, LogFileNum, LogLevel, UncRoot, key entries
  auto cap = std::make_unique<avtest::LogCapture>();
  ASSERT_EQ(initSettingFromCfg(), 1);
  EXPECT_EQ(getIcapPort(), 1344);
  char root[256];
  getUncRoot(root, sizeof root);
  EXPECT_STREQ(root, "/mnt/unc");
  EXPECT_EQ(g_avAgentPort.load(), 5000);
  EXPECT_EQ(g_maxJobsNo.load(), 100);
  EXPECT_EQ(g_flowJobsNo.load(), 50);
  EXPECT_EQ(g_portConnectTimeOut.load(), 3000);
  // The built-in credential decrypts and is flagged as the default key.
  EXPECT_TRUE(cap->contains("built-in default pre-shared key", AVLOG_WARN));
  EXPECT_EQ(sharedKey(), derived(AV_DEFAULT_PRESHARED_KEY));
  // LogLevel 4: INFO passes, DBG does not.
  EXPECT_TRUE(cap->contains("g_avAgentPort: 5000", AVLOG_INFO));
  EXPECT_TRUE(cap->contains("g_maxJobsNo: 100, g_flowJobsNo: 50, g_portConnectTimeOut: 3000"));
  cap.reset();
  EXPECT_FALSE(dbgPasses());
}

TEST_F(ConfigTest, IcapPortLow16BitsAndUncRootCut) {
  Cfg c;
  c.agent["IcapPort"] = std::to_string(65536 + 1345);
  c.agent["LogLevel"] = "5";
  c.agent["UncRoot"] = "/" + std::string(300, 'u');
  writeCfg(c);
  ASSERT_EQ(initSettingFromCfg(), 1);
  EXPECT_EQ(getIcapPort(), 1345);
  EXPECT_TRUE(dbgPasses());
  char root[300];
  getUncRoot(root, sizeof root);
  EXPECT_EQ(std::strlen(root), 255u);
  char small[5];
  getUncRoot(small, sizeof small);
  EXPECT_STREQ(small, "/uuu");
}

TEST_F(ConfigTest, PortBounds) {
  for (const char* port : {"0", "65535"}) {
    Cfg c;
    c.agent["Port"] = port;
    writeCfg(c);
    EXPECT_EQ(initSettingFromCfg(), 1) << port;
    EXPECT_EQ(g_avAgentPort.load(), std::stoi(port));
  }
  for (const char* port : {"65536", "-1", "99999999999"}) {
    Cfg c;
    c.agent["Port"] = port;
    writeCfg(c);
    avtest::LogCapture cap;
    EXPECT_EQ(initSettingFromCfg(), 0) << port;
    EXPECT_TRUE(cap.contains("Port is invalid.", AVLOG_ERR)) << port;
  }
}

TEST_F(ConfigTest, MissingRequiredKeyFailsBeforeAnythingIsApplied) {
  for (const char* key : {"Port", "MaxJobNo", "FlowJobNo", "PortConnectTimeOut"}) {
    writeCfg(Cfg());
    ASSERT_EQ(initSettingFromCfg(), 1);  // LogLevel 4
    Cfg c;
    c.agent.erase(key);
    c.agent["LogLevel"] = "5";
    writeCfg(c);
    {
      avtest::LogCapture cap;
      EXPECT_EQ(initSettingFromCfg(), 0) << key;
      EXPECT_TRUE(cap.contains("Get private is failed.", AVLOG_ERR)) << key;
      EXPECT_FALSE(cap.contains("Load vendor num")) << key;
    }
    EXPECT_FALSE(dbgPasses()) << key;  // the log level was not applied
  }
}

TEST_F(ConfigTest, JobLimits) {
  Cfg zero;
  zero.agent["MaxJobNo"] = "0";
  zero.agent["FlowJobNo"] = "0";
  writeCfg(zero);
  ASSERT_EQ(initSettingFromCfg(), 1);
  EXPECT_EQ(g_maxJobsNo.load(), 0);
  EXPECT_EQ(g_flowJobsNo.load(), 0);

  const std::pair<const char*, const char*> bad[] = {{"MaxJobNo", "MaxJobNo is invalid."},
                                                     {"FlowJobNo", "FlowJobNo is invalid."}};
  for (const auto& [key, message] : bad) {
    writeCfg(Cfg());
    ASSERT_EQ(initSettingFromCfg(), 1);
    ASSERT_FALSE(dbgPasses());
    Cfg c;
    c.agent[key] = "-1";
    c.agent["LogLevel"] = "5";
    writeCfg(c);
    {
      avtest::LogCapture cap;
      EXPECT_EQ(initSettingFromCfg(), 0) << key;
      EXPECT_TRUE(cap.contains(message, AVLOG_ERR)) << key;
      EXPECT_FALSE(cap.contains("Load vendor num")) << key;
    }
    EXPECT_TRUE(dbgPasses()) << key;  // log settings are applied before the checks
  }
}

TEST_F(ConfigTest, FailedCheckKeepsTheVendorTable) {
  writeCfg(Cfg());
  ASSERT_EQ(initSettingFromCfg(), 1);
  auto before = getVendorTable();
  Cfg c;
  c.agent["Port"] = "70000";
  c.agent["FlowJobNo"] = "7";
  c.vendors = vendorSections(3, [](uint32_t) { return "x"; }, [](uint32_t) { return "y"; });
  writeCfg(c);
  EXPECT_EQ(initSettingFromCfg(), 0);
  EXPECT_EQ(getVendorTable(), before);
  EXPECT_EQ(g_flowJobsNo.load(), 7);  // values read before the check stay
}

TEST_F(ConfigTest, PwdResetWritesBackAndReloadDerivesSameKey) {
  const char* pwd = "correct-horse-42";
  Cfg c;
  c.agent["Pwd"] = pwd;
  writeCfg(c);
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

TEST_F(ConfigTest, RejectedPwdLeavesFileAndKey) {
  writeCfg(Cfg());
  ASSERT_EQ(initSettingFromCfg(), 1);
  const auto key = sharedKey();
  const std::pair<const char*, int> cases[] = {
      {"OnlyLettersAnd123", AV_PWD_ILLEGAL}, {"short-1", -1}, {"", -1}};
  for (const auto& [pwd, code] : cases) {
    Cfg c;
    c.agent["Pwd"] = pwd;
    writeCfg(c);
    const std::string before = avtest::readFile(cfgPath());
    avtest::LogCapture cap;
    EXPECT_EQ(initSettingFromCfg(), 0) << pwd;
    EXPECT_TRUE(cap.contains("Failed to reset the antivirus pre-shared key, error-code(" +
                                 std::to_string(code) + ").",
                             AVLOG_ERR))
        << pwd;
    EXPECT_FALSE(cap.contains("Load vendor num")) << pwd;
    EXPECT_EQ(avtest::readFile(cfgPath()), before) << pwd;
    EXPECT_EQ(sharedKey(), key) << pwd;
  }
}

TEST_F(ConfigTest, BadCredentialFailsTheLoad) {
  Cfg c;
  c.agent["Credential"] = "00112233";
  writeCfg(c);
  avtest::LogCapture cap;
  EXPECT_EQ(initSettingFromCfg(), 0);
  EXPECT_TRUE(cap.contains("Failed to reset the antivirus pre-shared key, error-code(-1).",
                           AVLOG_ERR));
}

TEST_F(ConfigTest, VendorTableLimits) {
  writeCfg(Cfg());
  ASSERT_EQ(initSettingFromCfg(), 1);
  Cfg c;
  c.vendors = vendorSections(
      128, [](uint32_t i) { return "Vendor" + std::to_string(i); },
      [](uint32_t i) { return "proc" + std::to_string(i) + ",other"; });
  writeCfg(c);
  {
    avtest::LogCapture cap;
    ASSERT_EQ(initSettingFromCfg(), 1);
    EXPECT_TRUE(cap.contains("Load vendor num 128.", AVLOG_INFO));
    EXPECT_TRUE(cap.contains("Load vendor more times.", AVLOG_WARN));
    EXPECT_TRUE(cap.contains("Load vendor128 Vendor128, process proc128,other.", AVLOG_INFO));
  }
  auto table = getVendorTable();
  ASSERT_EQ(table->count, 128u);
  for (uint32_t i = 0; i < 128; ++i) {
    EXPECT_EQ(std::string(table->records[i].vendorName), "Vendor" + std::to_string(i + 1));
    EXPECT_EQ(std::string(table->records[i].processNameList),
              "proc" + std::to_string(i + 1) + ",other");
  }

  for (const char* num : {"129", "0", "-1", "abc"}) {
    c.vendors = "[AV_GENERAL]\nVendorNum=" + std::string(num) + "\n[AV_VENDOR1]\nVendorName=X\n";
    writeCfg(c);
    avtest::LogCapture cap;
    EXPECT_EQ(initSettingFromCfg(), 0) << num;
    EXPECT_TRUE(cap.contains("Get vendors is failed.", AVLOG_ERR)) << num;
    EXPECT_FALSE(cap.contains("Load vendor1 ")) << num;
    EXPECT_EQ(getVendorTable(), table) << num;  // the old table stays published
  }
}

TEST_F(ConfigTest, VendorTextsAreCutAndMissingSectionsEmpty) {
  Cfg c;
  c.vendors = "[AV_GENERAL]\nVendorNum=3\n[av_vendor1]\nVendorName=" + std::string(200, 'n') +
              "\nProcessNameList=" + std::string(100, 'p') +
              "\n[AV_VENDOR3]\nvendorname=Third\n";
  writeCfg(c);
  avtest::LogCapture cap;
  ASSERT_EQ(initSettingFromCfg(), 1);
  auto t = getVendorTable();
  ASSERT_EQ(t->count, 3u);
  EXPECT_EQ(std::string(t->records[0].vendorName), std::string(128, 'n'));
  EXPECT_EQ(std::string(t->records[0].processNameList), std::string(64, 'p'));
  EXPECT_STREQ(t->records[1].vendorName, "");
  EXPECT_STREQ(t->records[1].processNameList, "");
  EXPECT_STREQ(t->records[2].vendorName, "Third");
  EXPECT_STREQ(t->records[2].processNameList, "");
  EXPECT_TRUE(cap.contains("Load vendor2 , process .", AVLOG_INFO));
}

TEST_F(ConfigTest, ReplacedTableStaysReadableAndReturnsItsRecords) {
  writeCfg(Cfg());
  ASSERT_EQ(initSettingFromCfg(), 1);
  const auto baseline = avtest::poolFreeCounts();
  auto held = getVendorTable();
  Cfg c;
  c.vendors = vendorSections(1, [](uint32_t) { return "Other"; }, [](uint32_t) { return "o"; });
  writeCfg(c);
  ASSERT_EQ(initSettingFromCfg(), 1);
  EXPECT_STREQ(getVendorTable()->records[0].vendorName, "Other");
  EXPECT_STREQ(held->records[0].vendorName, "Engine");  // still intact for its reader
  EXPECT_NE(avtest::poolFreeCounts(), baseline);         // both tables hold a block
  held.reset();
  EXPECT_EQ(avtest::poolFreeCounts(), baseline);
}

TEST_F(ConfigTest, WatcherReloadsAfterWrites) {
  writeCfg(Cfg());
  ASSERT_EQ(initSettingFromCfg(), 1);
  ASSERT_EQ(createCfgMonitorThread(), 0);
  ASSERT_EQ(createCfgMonitorThread(), 0);  // one watcher only

  avtest::LogCapture cap;
  const uint32_t reloads = getCfgMonitorReloadCount();
  Cfg c;
  c.agent["FlowJobNo"] = "77";
  c.vendors = vendorSections(
      2, [](uint32_t i) { return "W" + std::to_string(i); }, [](uint32_t) { return "w"; });
  avtest::writeFile(cfgPath(), c.text());  // an in-place write (close after write)
  ASSERT_TRUE(waitFor([] { return getVendorTable()->count == 2 && g_flowJobsNo.load() == 77; }));
  EXPECT_STREQ(getVendorTable()->records[1].vendorName, "W2");
  EXPECT_GT(getCfgMonitorReloadCount(), reloads);
  EXPECT_TRUE(cap.contains("Load vendor more times.", AVLOG_WARN));

  // Any file in cfg triggers a full reload, and a rename into it does too.
  c.agent["FlowJobNo"] = "78";
  std::string other = avtest::scratchRoot() + "/tmp/staged.ini";
  avtest::writeFile(other, c.text());
  ASSERT_EQ(rename(other.c_str(), cfgPath().c_str()), 0);
  ASSERT_TRUE(waitFor([] { return g_flowJobsNo.load() == 78; }));
  stopCfgMonitorThreadForTest();
  c.agent["FlowJobNo"] = "79";
  writeCfg(c);  // not seen: nobody watches
  ASSERT_EQ(createCfgMonitorThread(), 0);
  avtest::writeFile(avtest::scratchRoot() + "/cfg/notes.txt", "unrelated");
  ASSERT_TRUE(waitFor([] { return g_flowJobsNo.load() == 79; }));

  stopCfgMonitorThreadForTest();
  const uint32_t stopped = getCfgMonitorReloadCount();
  c.agent["FlowJobNo"] = "80";
  writeCfg(c);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(getCfgMonitorReloadCount(), stopped);
  EXPECT_EQ(g_flowJobsNo.load(), 79);
}

TEST_F(ConfigTest, WatcherCompletesPwdReset) {
  writeCfg(Cfg());
  ASSERT_EQ(initSettingFromCfg(), 1);
  ASSERT_EQ(createCfgMonitorThread(), 0);
  avtest::LogCapture cap;
  const char* pwd = "Watcher key 2024";
  Cfg c;
  c.agent["Pwd"] = pwd;
  writeCfg(c);
  // The reset writes the file, which wakes the watcher again; that reload
  // reads Pwd=null and decrypts the new Credential into the same key.
  ASSERT_TRUE(waitFor([&] {
    return cap.contains("Succeeded in setting the antivirus pre-shared key. ") &&
           cap.count("Load vendor num 1.") >= 2;
  }));
  stopCfgMonitorThreadForTest();
  EXPECT_EQ(cap.count("Succeeded in setting the antivirus pre-shared key. "), 1u);
  EXPECT_FALSE(cap.contains("Failed to reset"));
  EXPECT_EQ(sharedKey(), derived(pwd));
  char buf[8];
  ini_GetString("AGENT_SETTING", "Pwd", "", buf, sizeof buf, cfgPath().c_str());
  EXPECT_STREQ(buf, "null");
}

// Readers walk the vendor table and copy UncRoot while the watcher and direct
// calls reload them. Every table a reader holds must be one generation's
// table: its count matches its records and every record belongs to it.
TEST(ConfigConcurrency, ReadersSeeWholeTablesDuringReloads) {
  stopCfgMonitorThreadForTest();
  auto genCfg = [](uint32_t gen) {
    Cfg c;
    c.agent["FlowJobNo"] = std::to_string(gen);
    c.agent["UncRoot"] = "/g" + std::string(200, static_cast<char>('a' + gen % 26));
    uint32_t num = gen % 6 + 1;
    c.vendors = vendorSections(
        num, [gen](uint32_t i) { return "V" + std::to_string(i) + "-" + std::to_string(gen); },
        [gen](uint32_t i) { return "p" + std::to_string(i) + "-" + std::to_string(gen); });
    return c;
  };
  writeCfg(genCfg(0));
  ASSERT_EQ(initSettingFromCfg(), 1);
  ASSERT_EQ(createCfgMonitorThread(), 0);

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<long> walked{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        auto t = getVendorTable();
        if (t->count == 0 || t->count > 6 || t->records == nullptr) {
          bad.fetch_add(1);
          continue;
        }
        std::string name0 = t->records[0].vendorName;
        size_t dash = name0.find('-');
        std::string gen = dash == std::string::npos ? "" : name0.substr(dash + 1);
        if (gen.empty() || gen.find_first_not_of("0123456789") != std::string::npos ||
            t->count != std::stoul(gen) % 6 + 1) {
          bad.fetch_add(1);
          continue;
        }
        for (uint32_t i = 0; i < t->count; ++i) {
          std::string n = "V" + std::to_string(i + 1) + "-" + gen;
          std::string p = "p" + std::to_string(i + 1) + "-" + gen;
          if (n != t->records[i].vendorName || p != t->records[i].processNameList)
            bad.fetch_add(1);
        }
        char root[256];
        getUncRoot(root, sizeof root);
        if (std::strlen(root) != 202 || std::string(root + 2) != std::string(200, root[2]))
          bad.fetch_add(1);
        (void)getIcapPort();
        (void)g_flowJobsNo.load();
        walked.fetch_add(1);
        std::this_thread::yield();  // leave the shared cores to the reloads
      }
    });
  }
  for (uint32_t gen = 1; gen <= 24; ++gen) {
    writeCfg(genCfg(gen));  // wakes the watcher
    if (gen % 2 == 0) {
      EXPECT_EQ(initSettingFromCfg(), 1);
    }
  }
  EXPECT_TRUE(waitFor([] { return g_flowJobsNo.load() == 24 && getVendorTable()->count == 1; }));
  while (walked.load() < 100) std::this_thread::yield();
  stop = true;
  for (auto& t : readers) t.join();
  stopCfgMonitorThreadForTest();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(getCfgMonitorReloadCount(), 0u);
  writeCfg(Cfg());
  EXPECT_EQ(initSettingFromCfg(), 1);
  BRIM_SetModuleLogLevel(AV_MODULE_AGENT, 0);
}

}  // namespace

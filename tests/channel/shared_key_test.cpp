// Pre-shared key: legality, reset by password, load from the stored credential, the default set.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channel/crypto.h"
#include "channel/shared_key.h"
#include "platform/ini_file.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

std::string cfgPath(const std::string& name) { return avtest::scratchRoot() + "/cfg/" + name; }

std::string iniValue(const std::string& path, const char* key) {
  char buf[256] = {};
  ini_GetString("AGENT_SETTING", key, "<missing>", buf, sizeof buf, path.c_str());
  return buf;
}

std::vector<uint8_t> sharedKey() {
  std::vector<uint8_t> k(32);
  getAvAgentSharedKey(k.data());
  return k;
}

std::vector<uint8_t> derived(const std::string& psk) {
  std::vector<uint8_t> k(32, 0xEE);
  EXPECT_EQ(deriveSharedKey(psk.c_str(), k.data()), 0);
  return k;
}

int loadDefault() {
  return updateAvAgentSharedKeyByCfg(AV_DEFAULT_CREDENTIAL, AV_DEFAULT_IV, AV_DEFAULT_ROOTKEY, AV_DEFAULT_SALT);
}

}  // namespace

TEST(SharedKeyLegality, SpecialCharacterAndTwoClasses) {
  struct { const char* text; int want; } rows[] = {
      {"abcdefgh12345678!", 0}, {"abcdefghABCDEFGH ", 0} /* a blank counts as special */,
      {"abcdEFGH1234wxyz", -1} /* no special */, {"abcdefghijklmno!", -1} /* one class */,
      {"abcdefgh12345678\xC3\xA9", -1} /* non-ASCII is not special */, {"", -1},
  };
  for (const auto& r : rows) EXPECT_EQ(checkPwdLegality(r.text), r.want) << r.text;
  for (char c : std::string("~!#$%^&*()=+-_.|[{}]:;'<,>/?`@ \"\\"))  // each of the 33 specials
    EXPECT_EQ(checkPwdLegality((std::string("abcd1234") + c).c_str()), 0) << c;
  avtest::LogCapture log;
  EXPECT_EQ(checkPwdLegality(nullptr), -1);
  EXPECT_TRUE(log.contains("The input para in null.", AVLOG_ERR));
}

TEST(SharedKeyDefault, BuiltInCredentialDecryptsToTheDefaultKey) {
  EXPECT_EQ(checkPwdLegality(AV_DEFAULT_PRESHARED_KEY), 0);
  // The load lands on the key derived from the default key (value from an independent PBKDF2).
  ASSERT_EQ(loadDefault(), 0);
  const uint8_t want[32] = {0xa6, 0xe4, 0xde, 0x91, 0xce, 0x0c, 0x34, 0xa4, 0x74, 0x19, 0x9b,
                            0xf3, 0x47, 0x7c, 0x21, 0xdc, 0x52, 0xaf, 0xf9, 0x0b, 0xbb, 0x8e,
                            0x0c, 0xba, 0xc4, 0x48, 0x54, 0x1b, 0xe4, 0xed, 0xb4, 0x00};
  EXPECT_EQ(sharedKey(), std::vector<uint8_t>(want, want + 32));
  EXPECT_EQ(derived(AV_DEFAULT_PRESHARED_KEY), sharedKey());
}

TEST(SharedKeyReset, RejectedPasswordsWriteNothingAndKeepTheKey) {
  ASSERT_EQ(loadDefault(), 0);
  const std::vector<uint8_t> before = sharedKey();
  const std::string path = cfgPath("rejected.ini"), text = "[AGENT_SETTING]\nPort=5000\nPwd=keep\n";
  avtest::writeFile(path, text);
  const std::string len64 = "Aa1!" + std::string(60, 'x');
  struct { const char* pwd; int want; const char* message; } rows[] = {
      {"Abcdefgh123456!", -1, "Shared key length(15) invalid."},
      {len64.c_str(), -1, "Shared key length(64) invalid."},
      {"", -1, "Shared key length(0) invalid."},
      {"abcdEFGH1234wxyz", AV_PWD_ILLEGAL, "Shared key is invalid, ret(-1)."},
      {nullptr, -1, "The input para is null."},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.message);
    avtest::LogCapture log;
    EXPECT_EQ(updateAvAgentSharedKeyBypwd(r.pwd, path.c_str()), r.want);
    EXPECT_TRUE(log.contains(r.message, AVLOG_ERR));
  }
  EXPECT_EQ(avtest::readFile(path), text);
  EXPECT_EQ(sharedKey(), before);
}

TEST(SharedKeyReset, WritesTheStoredFormAndReloadGivesTheSameKey) {
  for (auto [len, hexDigits] : {std::pair{16u, 64u}, {31u, 64u}, {32u, 96u}, {47u, 96u}, {48u, 128u}, {63u, 128u}}) {
    SCOPED_TRACE(len);
    std::string pwd = "Ab1 ";
    while (pwd.size() < len) pwd += static_cast<char>('a' + pwd.size() % 26);
    std::string path = cfgPath("reset" + std::to_string(len) + ".ini");
    avtest::writeFile(path, "; agent\n[AGENT_SETTING]\nPort=5000\nPwd=" + pwd + "\n");
    ASSERT_EQ(updateAvAgentSharedKeyBypwd(pwd.c_str(), path.c_str()), 0);
    const std::vector<uint8_t> afterReset = sharedKey();
    EXPECT_EQ(afterReset, derived(pwd));
    EXPECT_EQ(iniValue(path, "Pwd"), "null");
    EXPECT_EQ(iniValue(path, "Port"), "5000");
    const std::string credential = iniValue(path, "Credential"), iv = iniValue(path, "Iv"),
                      salt = iniValue(path, "Salt"), root = iniValue(path, "RootKey");
    EXPECT_EQ(credential.size(), hexDigits);
    EXPECT_EQ(credential.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    for (const std::string& t : {iv, salt, root}) EXPECT_EQ(t.size(), 15u) << t;
    EXPECT_EQ(avtest::readFile(path).find(pwd), std::string::npos) << "password left in clear";
    // Reload through the stored form, as the watcher does after the write.
    ASSERT_EQ(loadDefault(), 0);
    ASSERT_NE(sharedKey(), afterReset);
    ASSERT_EQ(updateAvAgentSharedKeyByCfg(credential.c_str(), iv.c_str(), root.c_str(), salt.c_str()), 0);
    EXPECT_EQ(sharedKey(), afterReset);
  }
}

TEST(SharedKeyConcurrency, ReadsNeverSeeAHalfWrittenKey) {
  std::string path = cfgPath("concurrency.ini");
  avtest::writeFile(path, "[AGENT_SETTING]\nPwd=x\n");
  const char* other = "Other key, 16+ chars";
  ASSERT_EQ(updateAvAgentSharedKeyBypwd(other, path.c_str()), 0);
  std::string cred = iniValue(path, "Credential"), iv = iniValue(path, "Iv"),
              root = iniValue(path, "RootKey"), salt = iniValue(path, "Salt");
  std::vector<uint8_t> a = derived(AV_DEFAULT_PRESHARED_KEY), b = derived(other);
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&] {
      while (!done.load()) {
        std::vector<uint8_t> k = sharedKey();
        if (k != a && k != b) ++torn;
        ++reads;
      }
    });
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(i % 2 == 0 ? loadDefault()
                         : updateAvAgentSharedKeyByCfg(cred.c_str(), iv.c_str(), root.c_str(), salt.c_str()),
              0);
  done = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

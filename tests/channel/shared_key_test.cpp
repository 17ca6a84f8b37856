// Pre-shared key: the legality rule, the reset by password that rewrites the
// configuration, the load from the stored credential, and the built-in default
// credential set.
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

const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./";

std::string cfgPath(const std::string& name) {
  return avtest::scratchRoot() + "/cfg/" + name;
}

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

}  // namespace

TEST(SharedKeyLegality, SpecialCharacterAndTwoClasses) {
  EXPECT_EQ(checkPwdLegality("abcdefgh12345678!"), 0);
  EXPECT_EQ(checkPwdLegality("abcdefghABCDEFGH "), 0) << "a blank counts as special";
  EXPECT_EQ(checkPwdLegality("ABCD1234\\efgh"), 0);
  EXPECT_EQ(checkPwdLegality("ABCDEFGH1234567`"), 0);
  EXPECT_EQ(checkPwdLegality("abcdEFGH1234wxyz"), -1) << "no special character";
  EXPECT_EQ(checkPwdLegality("abcdefghijklmno!"), -1) << "one class only";
  EXPECT_EQ(checkPwdLegality("1234567890123@@@"), -1);
  EXPECT_EQ(checkPwdLegality("abcdefgh12345678\xC3\xA9"), -1) << "non-ASCII is not special";
  EXPECT_EQ(checkPwdLegality(""), -1);
  // Every one of the 33 specials qualifies on its own.
  for (char c : std::string("~!#$%^&*()=+-_.|[{}]:;'<,>/?`@ \"\\")) {
    std::string text = "abcd1234";
    text += c;
    EXPECT_EQ(checkPwdLegality(text.c_str()), 0) << c;
  }
  avtest::LogCapture log;
  EXPECT_EQ(checkPwdLegality(nullptr), -1);
  EXPECT_TRUE(log.contains("The input para in null.", AVLOG_ERR));
}

TEST(SharedKeyDefault, BuiltInCredentialDecryptsToTheDefaultKey) {
  EXPECT_EQ(strlen(AV_SHARED_KEY_SALT), 16u);
  EXPECT_EQ(strlen(AV_CREDENTIAL_SUFFIX), 16u);
  for (const char* p = AV_SHARED_KEY_SALT; *p; ++p) EXPECT_TRUE(*p > ' ' && *p < 127);
  for (const char* t : {AV_DEFAULT_ROOTKEY, AV_DEFAULT_IV, AV_DEFAULT_SALT}) {
    EXPECT_EQ(strlen(t), 15u) << t;
    EXPECT_EQ(strspn(t, kAlphabet), 15u) << t;
  }
  EXPECT_EQ(strlen(AV_DEFAULT_CREDENTIAL), 96u);
  size_t len = strlen(AV_DEFAULT_PRESHARED_KEY);
  EXPECT_TRUE(len >= 32 && len <= 47) << "96 hex digits need 32..47 characters";
  EXPECT_EQ(checkPwdLegality(AV_DEFAULT_PRESHARED_KEY), 0);

  // By hand: credential key from RootKey + suffix and Salt, then decryption.
  char pwd[32] = {};
  snprintf(pwd, sizeof pwd, "%s%s", AV_DEFAULT_ROOTKEY, AV_CREDENTIAL_SUFFIX);
  uint8_t credKey[32] = {};
  ASSERT_EQ(mc_Pbkdf2HmacSha256(reinterpret_cast<const uint8_t*>(pwd), 31,
                                reinterpret_cast<const uint8_t*>(AV_DEFAULT_SALT), 15,
                                AV_PBKDF2_ITERATIONS, 31, credKey),
            0);
  uint8_t iv[16] = {};
  memcpy(iv, AV_DEFAULT_IV, 15);
  char plain[256] = {};
  ASSERT_EQ(mc_DecryptAesHEX(AV_DEFAULT_CREDENTIAL, iv, credKey, sizeof plain, plain), 0);
  EXPECT_STREQ(plain, AV_DEFAULT_PRESHARED_KEY);

  // And through the load path, which must land on the key a storage system
  // derives from the default key (value from an independent PBKDF2).
  ASSERT_EQ(updateAvAgentSharedKeyByCfg(AV_DEFAULT_CREDENTIAL, AV_DEFAULT_IV,
                                        AV_DEFAULT_ROOTKEY, AV_DEFAULT_SALT),
            0);
  const uint8_t want[32] = {0xa6, 0xe4, 0xde, 0x91, 0xce, 0x0c, 0x34, 0xa4, 0x74, 0x19, 0x9b,
                            0xf3, 0x47, 0x7c, 0x21, 0xdc, 0x52, 0xaf, 0xf9, 0x0b, 0xbb, 0x8e,
                            0x0c, 0xba, 0xc4, 0x48, 0x54, 0x1b, 0xe4, 0xed, 0xb4, 0x00};
  EXPECT_EQ(sharedKey(), std::vector<uint8_t>(want, want + 32));
  EXPECT_EQ(derived(AV_DEFAULT_PRESHARED_KEY), sharedKey());
}

TEST(SharedKeyReset, RejectedPasswordsWriteNothingAndKeepTheKey) {
  ASSERT_EQ(updateAvAgentSharedKeyByCfg(AV_DEFAULT_CREDENTIAL, AV_DEFAULT_IV,
                                        AV_DEFAULT_ROOTKEY, AV_DEFAULT_SALT),
            0);
  std::vector<uint8_t> before = sharedKey();
  std::string path = cfgPath("rejected.ini");
  avtest::writeFile(path, "[AGENT_SETTING]\nPort=5000\nPwd=keep\n");
  avtest::LogCapture log;

  EXPECT_EQ(updateAvAgentSharedKeyBypwd("Abcdefgh123456!", path.c_str()), -1);
  EXPECT_TRUE(log.contains("Shared key length(15) invalid.", AVLOG_ERR));
  std::string len64 = "Aa1!" + std::string(60, 'x');
  EXPECT_EQ(updateAvAgentSharedKeyBypwd(len64.c_str(), path.c_str()), -1);
  EXPECT_TRUE(log.contains("Shared key length(64) invalid."));
  EXPECT_EQ(updateAvAgentSharedKeyBypwd("", path.c_str()), -1);
  EXPECT_TRUE(log.contains("Shared key length(0) invalid."));

  EXPECT_EQ(updateAvAgentSharedKeyBypwd("abcdEFGH1234wxyz", path.c_str()), AV_PWD_ILLEGAL);
  EXPECT_TRUE(log.contains("Shared key is invalid, ret(-1).", AVLOG_ERR));
  EXPECT_EQ(updateAvAgentSharedKeyBypwd(nullptr, path.c_str()), -1);
  EXPECT_TRUE(log.contains("The input para is null."));

  EXPECT_EQ(avtest::readFile(path), "[AGENT_SETTING]\nPort=5000\nPwd=keep\n");
  EXPECT_EQ(sharedKey(), before);
}

TEST(SharedKeyReset, WritesTheStoredFormAndReloadGivesTheSameKey) {
  struct Case {
    size_t len;
    size_t hexDigits;
  } cases[] = {{16, 64}, {31, 64}, {32, 96}, {47, 96}, {48, 128}, {63, 128}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.len);
    std::string pwd = "Ab1 ";
    while (pwd.size() < c.len) pwd += static_cast<char>('a' + pwd.size() % 26);
    std::string path = cfgPath("reset" + std::to_string(c.len) + ".ini");
    avtest::writeFile(path, "; agent\n[AGENT_SETTING]\nPort=5000\nPwd=" + pwd + "\n");

    ASSERT_EQ(updateAvAgentSharedKeyBypwd(pwd.c_str(), path.c_str()), 0);
    std::vector<uint8_t> afterReset = sharedKey();
    EXPECT_EQ(afterReset, derived(pwd));
    EXPECT_EQ(afterReset[31], 0);

    EXPECT_EQ(iniValue(path, "Pwd"), "null");
    EXPECT_EQ(iniValue(path, "Port"), "5000");
    std::string credential = iniValue(path, "Credential");
    EXPECT_EQ(credential.size(), c.hexDigits);
    EXPECT_EQ(credential.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    std::string iv = iniValue(path, "Iv"), salt = iniValue(path, "Salt"),
                root = iniValue(path, "RootKey");
    for (const std::string& t : {iv, salt, root}) {
      EXPECT_EQ(t.size(), 15u) << t;
      EXPECT_EQ(t.find_first_not_of(kAlphabet), std::string::npos) << t;
    }
    EXPECT_EQ(avtest::readFile(path).find(pwd), std::string::npos) << "password left in clear";

    // Reload through the stored form, as the watcher does after the write.
    ASSERT_EQ(updateAvAgentSharedKeyByCfg(AV_DEFAULT_CREDENTIAL, AV_DEFAULT_IV,
                                          AV_DEFAULT_ROOTKEY, AV_DEFAULT_SALT),
              0);
    ASSERT_NE(sharedKey(), afterReset);
    ASSERT_EQ(updateAvAgentSharedKeyByCfg(credential.c_str(), iv.c_str(), root.c_str(),
                                          salt.c_str()),
              0);
    EXPECT_EQ(sharedKey(), afterReset);
  }
}

TEST(SharedKeyReset, SamePasswordTwiceChangesTheStoredForm) {
  std::string path = cfgPath("twice.ini");
  avtest::writeFile(path, "[AGENT_SETTING]\nPwd=x\n");
  const char* pwd = "Same password 2x";
  ASSERT_EQ(updateAvAgentSharedKeyBypwd(pwd, path.c_str()), 0);
  std::string first = iniValue(path, "Credential") + iniValue(path, "Iv") +
                      iniValue(path, "Salt") + iniValue(path, "RootKey");
  std::vector<uint8_t> key1 = sharedKey();
  ASSERT_EQ(updateAvAgentSharedKeyBypwd(pwd, path.c_str()), 0);
  std::string second = iniValue(path, "Credential") + iniValue(path, "Iv") +
                       iniValue(path, "Salt") + iniValue(path, "RootKey");
  EXPECT_NE(first, second);
  EXPECT_EQ(sharedKey(), key1);
}

TEST(SharedKeyLoad, BadStoredFormsFailAndKeepTheKey) {
  ASSERT_EQ(updateAvAgentSharedKeyByCfg(AV_DEFAULT_CREDENTIAL, AV_DEFAULT_IV,
                                        AV_DEFAULT_ROOTKEY, AV_DEFAULT_SALT),
            0);
  std::vector<uint8_t> before = sharedKey();
  avtest::LogCapture log;

  EXPECT_EQ(updateAvAgentSharedKeyByCfg(nullptr, AV_DEFAULT_IV, AV_DEFAULT_ROOTKEY,
                                        AV_DEFAULT_SALT),
            -1);
  EXPECT_TRUE(log.contains("The input para is null.", AVLOG_ERR));

  std::string odd(AV_DEFAULT_CREDENTIAL);
  odd.pop_back();
  EXPECT_EQ(updateAvAgentSharedKeyByCfg(odd.c_str(), AV_DEFAULT_IV, AV_DEFAULT_ROOTKEY,
                                        AV_DEFAULT_SALT),
            -1);
  EXPECT_TRUE(log.contains("The input pcInputEncryptStr lenth is (95)."));
  EXPECT_TRUE(log.contains("Failed to Decrypt sharekey, result(-1).", AVLOG_ERR));

  EXPECT_EQ(updateAvAgentSharedKeyByCfg(AV_DEFAULT_CREDENTIAL, AV_DEFAULT_IV,
                                        AV_DEFAULT_ROOTKEY, ""),
            -1);
  EXPECT_TRUE(log.contains("Failed to set shared key(1929445409)."));  // 0x73010021

  // A credential that decrypts to an empty text fails the shared-key derivation.
  uint8_t credKey[32] = {};
  char pwd[32] = {};
  snprintf(pwd, sizeof pwd, "%s%s", AV_DEFAULT_ROOTKEY, AV_CREDENTIAL_SUFFIX);
  ASSERT_EQ(mc_Pbkdf2HmacSha256(reinterpret_cast<const uint8_t*>(pwd), 31,
                                reinterpret_cast<const uint8_t*>(AV_DEFAULT_SALT), 15,
                                AV_PBKDF2_ITERATIONS, 31, credKey),
            0);
  // One CBC block by hand: a zero byte, then fifteen bytes of padding 15.
  uint8_t block[16] = {0};
  memset(block + 1, 15, 15);
  AesBlockKey enc;
  ASSERT_EQ(mc_AesSetEncryptKey(credKey, &enc), 0);
  uint8_t ivBytes[16] = {};
  memcpy(ivBytes, AV_DEFAULT_IV, 15);
  for (int i = 0; i < 16; ++i) block[i] ^= ivBytes[i];
  ASSERT_EQ(mc_AesEncryptBlocks(&enc, block, 1), 0);
  mc_AesFreeKey(&enc);
  char emptyCred[33] = {};
  mc_BytesToHex(block, 16, emptyCred);
  EXPECT_EQ(updateAvAgentSharedKeyByCfg(emptyCred, AV_DEFAULT_IV, AV_DEFAULT_ROOTKEY,
                                        AV_DEFAULT_SALT),
            -1);
  EXPECT_TRUE(log.contains("Failed to set shared key, result(1929445409).", AVLOG_ERR));

  EXPECT_EQ(sharedKey(), before);
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
  for (int i = 0; i < 6; ++i) {
    if (i % 2 == 0)
      EXPECT_EQ(updateAvAgentSharedKeyByCfg(AV_DEFAULT_CREDENTIAL, AV_DEFAULT_IV,
                                            AV_DEFAULT_ROOTKEY, AV_DEFAULT_SALT),
                0);
    else
      EXPECT_EQ(updateAvAgentSharedKeyByCfg(cred.c_str(), iv.c_str(), root.c_str(),
                                            salt.c_str()),
                0);
  }
  done = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

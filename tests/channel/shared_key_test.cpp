// Pre-shared key: legality, reset by password, load from the stored credential, the default set.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "channel/crypto.h"
#include "channel/shared_key.h"
#include "platform/ini_file.h"
#include "runtime/log.h"
#include "support/agent_process.h"
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

// Pre-shared keys whose shared key has its first zero byte at the given offset,
// found offline over "Weak-Key-NNNN!ab" (a search here would take seconds).
const char kZeroAt0[] = "Weak-Key-0459!ab";
const char kZeroAt15[] = "Weak-Key-0052!ab";
const char kZeroAt16[] = "Weak-Key-0256!ab";  // long enough before its zero: accepted

// Replaces of name in dir while fn runs, counted as renames away from the
// temporaries ".name.XXXXXX" (unique names: the kernel cannot fold their events).
int replacesOf(const std::string& dir, const std::string& name, const std::function<void()>& fn) {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_GE(inotify_add_watch(fd, dir.c_str(), IN_MOVED_FROM), 0);
  fn();
  int count = 0;
  alignas(inotify_event) char buf[8192];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
    for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
      count += std::string(reinterpret_cast<inotify_event*>(p)->name).rfind("." + name + ".", 0) == 0;
  close(fd);
  return count;
}

int loadDefault() {
  return updateAvAgentSharedKeyByCfg(AV_DEFAULT_CREDENTIAL, AV_DEFAULT_IV, AV_DEFAULT_ROOTKEY, AV_DEFAULT_SALT);
}

}  // namespace

TEST(SharedKeyLegality, SpecialCharacterAndTwoClasses) {
  // A blank counts as special, non-ASCII does not; two classes besides.
  for (const char* ok : {"abcdefgh12345678!", "abcdefghABCDEFGH ", AV_DEFAULT_PRESHARED_KEY})
    EXPECT_EQ(checkPwdLegality(ok), 0) << ok;
  for (const char* bad : {"abcdEFGH1234wxyz", "abcdefghijklmno!", "abcdefgh12345678\xC3\xA9", ""})
    EXPECT_EQ(checkPwdLegality(bad), -1) << bad;
  for (char c : std::string("~!#$%^&*()=+-_.|[{}]:;'<,>/?`@ \"\\"))  // each of the 33 specials
    EXPECT_EQ(checkPwdLegality((std::string("abcd1234") + c).c_str()), 0) << c;
  avtest::LogCapture log;
  EXPECT_EQ(checkPwdLegality(nullptr), -1);
  EXPECT_TRUE(log.contains("The input para in null.", AVLOG_ERR));
}

// The load lands on the key derived from the default key (value from an independent PBKDF2).
TEST(SharedKeyDefault, BuiltInCredentialDecryptsToTheDefaultKey) {
  ASSERT_EQ(loadDefault(), 0);
  const uint8_t want[32] = {0xa6, 0xe4, 0xde, 0x91, 0xce, 0x0c, 0x34, 0xa4, 0x74, 0x19, 0x9b, 0xf3, 0x47, 0x7c, 0x21, 0xdc,
                            0x52, 0xaf, 0xf9, 0x0b, 0xbb, 0x8e, 0x0c, 0xba, 0xc4, 0x48, 0x54, 0x1b, 0xe4, 0xed, 0xb4, 0x00};
  EXPECT_EQ(sharedKey(), std::vector<uint8_t>(want, want + 32));
  EXPECT_EQ(derived(AV_DEFAULT_PRESHARED_KEY), sharedKey());
  EXPECT_EQ(sharedKeyWeakAt(sharedKey().data()), -1);
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
      {kZeroAt0, AV_PWD_ILLEGAL, "Shared key is weak, zero byte at 0;"},
      {kZeroAt15, AV_PWD_ILLEGAL, "Shared key is weak, zero byte at 15;"},
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

// Readers meanwhile see one whole key or another, never a half-written one.
TEST(SharedKeyConcurrency, ResetWritesTheStoredFormAndReloadGivesTheSameKey) {
  const std::pair<uint32_t, size_t> lengths[] = {{16, 64}, {31, 64}, {32, 96}, {63, 128}};
  std::vector<std::vector<uint8_t>> keys = {sharedKey(), derived(AV_DEFAULT_PRESHARED_KEY)};
  auto pwdOf = [](uint32_t len) {
    std::string pwd = "Ab1 ";
    while (pwd.size() < len) pwd += static_cast<char>('a' + pwd.size() % 26);
    return pwd;
  };
  for (auto [len, hexDigits] : lengths) keys.push_back(derived(pwdOf(len)));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&] {
      for (; !done.load(); ++reads) torn += std::find(keys.begin(), keys.end(), sharedKey()) == keys.end();
    });
  for (auto [len, hexDigits] : lengths) {
    SCOPED_TRACE(len);
    const std::string pwd = pwdOf(len);
    std::string path = cfgPath("reset" + std::to_string(len) + ".ini");
    avtest::writeFile(path, "; agent\n[AGENT_SETTING]\nPort=5000\nPwd=" + pwd + "\n");
    // All five keys in one replace: no reader or failure sees a mixed set.
    int rc = -1;
    const int replaces = replacesOf(cfgPath(""), path.substr(path.rfind('/') + 1), [&] {
      rc = updateAvAgentSharedKeyBypwd(pwd.c_str(), path.c_str());
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(replaces, 1);
    const std::vector<uint8_t> afterReset = sharedKey();
    EXPECT_EQ(afterReset, derived(pwd));
    EXPECT_EQ(iniValue(path, "Pwd") + iniValue(path, "Port"), "null5000");
    const std::string credential = iniValue(path, "Credential"), iv = iniValue(path, "Iv"),
                      salt = iniValue(path, "Salt"), root = iniValue(path, "RootKey");
    EXPECT_EQ(credential.size(), hexDigits);
    EXPECT_EQ(credential.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(iv.size() + salt.size() + root.size(), 45u);
    EXPECT_EQ(avtest::readFile(path).find(pwd), std::string::npos) << "password left in clear";
    // Reload through the stored form, as the watcher does after the write.
    EXPECT_EQ(loadDefault(), 0);
    EXPECT_NE(sharedKey(), afterReset);
    EXPECT_EQ(updateAvAgentSharedKeyByCfg(credential.c_str(), iv.c_str(), root.c_str(), salt.c_str()), 0);
    EXPECT_EQ(sharedKey(), afterReset);
  }
  done = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

// A stored key from an agent that took weak keys is refused at load; the
// credential is made here the way a reset stores it.
TEST(SharedKeyLoad, StoredWeakKeyIsRefused) {
  const char root[] = "rootKEYrootKEY1", salt[] = "saltSALTsaltSAL", iv[16] = "ivIVivIVivIVivI";
  uint8_t credKey[32] = {};
  const std::string pw = root + std::string(AV_CREDENTIAL_SUFFIX);  // 31 bytes
  ASSERT_EQ(mc_Pbkdf2HmacSha256(reinterpret_cast<const uint8_t*>(pw.data()), 31,
                                reinterpret_cast<const uint8_t*>(salt), 15, AV_PBKDF2_ITERATIONS,
                                AV_DERIVED_KEY_LEN, credKey), 0);
  struct { const char* key; int want; const char* message; } rows[] = {
      {kZeroAt0, -1, "Stored pre-shared key is weak: its shared key has a zero byte at 0;"},
      {kZeroAt15, -1, "Stored pre-shared key is weak: its shared key has a zero byte at 15;"},
      {kZeroAt16, 0, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.key);
    uint8_t ivWork[16];
    memcpy(ivWork, iv, 16);
    char credential[256] = {};
    ASSERT_EQ(mc_EncrypAesHEX(r.key, ivWork, credKey, sizeof credential, credential), 0);
    ASSERT_EQ(loadDefault(), 0);
    const std::vector<uint8_t> before = sharedKey();
    avtest::LogCapture log;
    EXPECT_EQ(updateAvAgentSharedKeyByCfg(credential, iv, root, salt), r.want);
    EXPECT_TRUE(!r.message || log.contains(r.message, AVLOG_ERR));
    EXPECT_EQ(sharedKey(), r.message ? before : derived(r.key));
  }
}

// The client derives the same shared key and refuses a weak one before
// connecting; a sound key goes on to connect (port 1: nobody listens).
TEST(SharedKeyClient, WeakKeyIsRefusedWithAWarning) {
  const struct { const char* key; int exitCode; const char* err; } rows[] = {
      {kZeroAt0, 1, "weak pre-shared key: its shared key has a zero byte at 0"}, {kZeroAt16, 6, "cannot connect"}};
  for (const auto& r : rows) {
    auto res = avtest::runClient({"--port", "1", "--key", r.key, "job", "2015", "{}"});
    EXPECT_EQ(res.exitCode, r.exitCode) << r.key;
    EXPECT_NE(res.err.find(r.err), std::string::npos) << res.err;
  }
}

// Pre-shared key management. The agent keeps only the 32-byte shared key derived
// from the pre-shared key; the key itself, the credential key and the password
// they come from live in stack buffers that are cleansed on every way out. The
// stored credential is reproducible from RootKey, Salt and Iv plus the built-in
// suffix, which never reaches the file.
#include "channel/shared_key.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "channel/crypto.h"
#include "platform/ini_file.h"
#include "runtime/log.h"

const char AV_SHARED_KEY_SALT[17] = "N(|WF~lOta#,u!c}";
const char AV_CREDENTIAL_SUFFIX[17] = "n2<DY*k82>JuK|Ht";

// The default set below was produced by this module's own reset path and is
// checked by the unit tests: decrypting it gives AV_DEFAULT_PRESHARED_KEY.
const char AV_DEFAULT_PRESHARED_KEY[] = "Default-PreShared-Key!Replace-At-Install";
const char AV_DEFAULT_ROOTKEY[16] = "H0d2Thl2/EqIZkC";
const char AV_DEFAULT_IV[16] = "M3i..i3v0N1VZFw";
const char AV_DEFAULT_SALT[16] = "NJJdPxaWfkbEnOM";
const char AV_DEFAULT_CREDENTIAL[] =
    "AEF74AE2075E6EBDB25133CAD0559C6810F1487F2D212149A915212426A0BDF8"
    "3863A4DD1E0D6E8A941154F33D708AE5";

namespace {

constexpr uint32_t kKeyLen = 32;
constexpr uint32_t kTextRoom = 16;  // 15 characters of Iv, Salt, RootKey and a zero
constexpr uint32_t kPlainRoom = 256;
constexpr uint32_t kCredentialRoom = 256;
constexpr size_t kMinPwdLen = 16;
constexpr size_t kMaxPwdLen = 63;
const char kSection[] = "AGENT_SETTING";
const char kSpecials[] = "~!#$%^&*()=+-_.|[{}]:;'<,>/?`@ \"\\";

std::mutex g_sharedKeyMutex;
uint8_t g_sharedKey[kKeyLen];

template <size_t N>
using Wiped = CleansedBuffer<N>;

int derive(const char* pwd, size_t pwdLen, const char* salt, size_t saltLen, uint8_t out[32]) {
  memset(out, 0, kKeyLen);
  return mc_Pbkdf2HmacSha256(reinterpret_cast<const uint8_t*>(pwd), static_cast<uint32_t>(pwdLen),
                             reinterpret_cast<const uint8_t*>(salt),
                             static_cast<uint32_t>(saltLen), AV_PBKDF2_ITERATIONS,
                             AV_DERIVED_KEY_LEN, out);
}

int deriveShared(const char* presharedKey, uint8_t out[32]) {
  return derive(presharedKey, strlen(presharedKey), AV_SHARED_KEY_SALT, 16, out);
}

// Password: RootKey followed by the suffix, cut to 31 bytes.
int deriveCredentialKey(const char* rootKey, const char* salt, uint8_t out[32]) {
  Wiped<32> pwd;
  snprintf(pwd.c(), sizeof pwd.b, "%s%s", rootKey, AV_CREDENTIAL_SUFFIX);
  return derive(pwd.c(), strlen(pwd.c()), salt, strlen(salt), out);
}

void storeSharedKey(const uint8_t key[32]) {
  std::lock_guard<std::mutex> lock(g_sharedKeyMutex);
  memcpy(g_sharedKey, key, kKeyLen);
}

}  // namespace

int sharedKeyWeakAt(const uint8_t key[32]) {
  if (key == nullptr) return 0;
  const void* zero = memchr(key, 0, AV_SHARED_KEY_MIN_TEXT);
  return zero ? static_cast<int>(static_cast<const uint8_t*>(zero) - key) : -1;
}

int checkPwdLegality(const char* text) {
  if (text == nullptr) {
    AV_ERR("The input para in null.");
    return -1;
  }
  bool lower = false, upper = false, digit = false, special = false;
  for (const char* p = text; *p; ++p) {
    char ch = *p;
    if (ch >= 'a' && ch <= 'z') lower = true;
    else if (ch >= 'A' && ch <= 'Z') upper = true;
    else if (ch >= '0' && ch <= '9') digit = true;
    else if (strchr(kSpecials, ch) != nullptr) special = true;
  }
  int classes = int{lower} + int{upper} + int{digit};
  return (special && classes >= 2) ? 0 : -1;
}

void pwdRefusalReason(const char* pwd, size_t valueLength, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  bool lower = false, upper = false, digit = false, special = false;
  for (const char* p = pwd ? pwd : ""; *p; ++p) {
    lower |= *p >= 'a' && *p <= 'z';
    upper |= *p >= 'A' && *p <= 'Z';
    digit |= *p >= '0' && *p <= '9';
    special |= strchr(kSpecials, *p) != nullptr;
  }
  Wiped<kKeyLen> shared;
  int weakAt = -1;
  if (pwd == nullptr || valueLength < kMinPwdLen || valueLength > kMaxPwdLen ||
      strlen(pwd) != valueLength)
    snprintf(out, size, "it has %u characters, 16 to 63 are needed",
             static_cast<unsigned>(valueLength));
  else if (!special)
    snprintf(out, size, "it has no special character (one of %s)", kSpecials);
  else if (int{lower} + int{upper} + int{digit} < 2)
    snprintf(out, size, "it needs two of lower case, upper case and digits");
  else if (deriveShared(pwd, shared.b) == 0 && (weakAt = sharedKeyWeakAt(shared.b)) >= 0)
    snprintf(out, size, "it is weak (zero byte at %d of its shared key); choose another", weakAt);
  else
    snprintf(out, size, "storing it failed (see the lines before)");
}

int updateAvAgentSharedKeyByCfg(const char* credential, const char* iv,
                                const char* rootKey, const char* salt) {
  if (credential == nullptr || iv == nullptr || rootKey == nullptr || salt == nullptr) {
    AV_ERR("The input para is null.");
    return -1;
  }
  Wiped<kKeyLen> credKey;
  int rc = deriveCredentialKey(rootKey, salt, credKey.b);
  if (rc != 0) {
    AV_ERR("Failed to set shared key(%d).", rc);
    return -1;
  }
  Wiped<kTextRoom> ivBuf;
  strncpy(ivBuf.c(), iv, kTextRoom - 1);
  Wiped<kPlainRoom> plain;
  rc = mc_DecryptAesHEX(credential, ivBuf.b, credKey.b, kPlainRoom, plain.c());
  if (rc != 0) {
    AV_ERR("Failed to Decrypt sharekey, result(%d).", rc);
    return -1;
  }
  Wiped<kKeyLen> shared;
  rc = deriveShared(plain.c(), shared.b);
  if (rc != 0) {
    AV_ERR("Failed to set shared key, result(%d).", rc);
    return -1;
  }
  // A stored key from before the reset refused weak keys: serving it would
  // let a guesser in, so the load fails and the old shared key stays.
  if (int at = sharedKeyWeakAt(shared.b); at >= 0) {
    AV_ERR("Stored pre-shared key is weak: its shared key has a zero byte at %d; set a new "
           "key through Pwd.", at);
    return -1;
  }
  storeSharedKey(shared.b);
  return 0;
}

int updateAvAgentSharedKeyBypwd(const char* pwd, const char* cfgPath) {
  return updateAvAgentSharedKeyBypwdRead(pwd, pwd ? strlen(pwd) : 0, cfgPath);
}

int updateAvAgentSharedKeyBypwdRead(const char* pwd, size_t valueLength, const char* cfgPath) {
  if (pwd == nullptr || cfgPath == nullptr) {
    AV_ERR("The input para is null.");
    return -1;
  }
  // The true length decides: a cut head of an overlong value would become a
  // key that the storage system does not hold. A value with a zero byte inside
  // is refused the same way, for the same reason.
  if (valueLength < kMinPwdLen || valueLength > kMaxPwdLen || strlen(pwd) != valueLength) {
    AV_ERR("Shared key length(%u) invalid.", static_cast<unsigned>(valueLength));
    return -1;
  }
  int rc = checkPwdLegality(pwd);
  if (rc != 0) {
    AV_ERR("Shared key is invalid, ret(%d).", rc);
    return AV_PWD_ILLEGAL;
  }
  Wiped<kKeyLen> shared;
  rc = deriveShared(pwd, shared.b);
  if (rc != 0) {
    AV_ERR("Failed to set shared key, ret(%d).", rc);
    return -1;
  }
  // The handshake keys its HMAC with the shared key up to its first zero
  // byte; an early zero leaves a key short enough to guess.
  if (int at = sharedKeyWeakAt(shared.b); at >= 0) {
    AV_ERR("Shared key is weak, zero byte at %d; choose another pre-shared key.", at);
    return AV_PWD_ILLEGAL;
  }

  // A short random text would weaken the stored credential, so a failed draw
  // fails the reset instead of being used.
  Wiped<kTextRoom> salt, rootKey, iv;
  rc = getAvRandomString(salt.c(), kTextRoom - 1);
  if (rc == 0) rc = getAvRandomString(rootKey.c(), kTextRoom - 1);
  if (rc != 0) {
    AV_ERR("Failed to get random text, ret(%d).", rc);
    return -1;
  }
  Wiped<kKeyLen> credKey;
  rc = deriveCredentialKey(rootKey.c(), salt.c(), credKey.b);
  if (rc != 0) {
    AV_ERR("Failed to set shared key, ret(%d).", rc);
    return -1;
  }
  rc = getAvRandomString(iv.c(), kTextRoom - 1);
  if (rc != 0) {
    AV_ERR("Failed to get random text, ret(%d).", rc);
    return -1;
  }
  Wiped<kTextRoom> ivText;  // the encryption overwrites the IV buffer
  memcpy(ivText.b, iv.b, kTextRoom);

  char credential[kCredentialRoom] = {};
  rc = mc_EncrypAesHEX(pwd, iv.b, credKey.b, kCredentialRoom, credential);
  if (rc != 0) {
    AV_ERR("Failed to encryp aes, ret(%d).", rc);
    return -1;
  }

  // One replace of the file: a failure can only leave the old file, never a
  // Credential beside the Iv or Salt of another key. The watcher reloads
  // after it and derives the same key again.
  const IniKeyValue settings[] = {{"Pwd", "null"},
                                  {"Credential", credential},
                                  {"Iv", ivText.c()},
                                  {"Salt", salt.c()},
                                  {"RootKey", rootKey.c()}};
  if (ini_WriteStrings(kSection, settings, sizeof settings / sizeof settings[0], cfgPath) != 0)
    AV_WARN("Failed to write the pre-shared key to %s.", cfgPath);

  storeSharedKey(shared.b);
  return 0;
}

void getAvAgentSharedKey(uint8_t out[32]) {
  if (out == nullptr) return;
  std::lock_guard<std::mutex> lock(g_sharedKeyMutex);
  memcpy(out, g_sharedKey, kKeyLen);
}

int deriveSharedKey(const char* presharedKey, uint8_t out[32]) {
  if (presharedKey == nullptr || out == nullptr) {
    AV_ERR("The input para is null.");
    return -1;
  }
  return deriveShared(presharedKey, out) == 0 ? 0 : -1;
}

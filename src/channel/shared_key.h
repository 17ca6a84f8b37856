// Pre-shared key: the administrator's key (Pwd in agentConfig.ini) is checked,
// stored encrypted (Credential, Iv, Salt, RootKey) and replaced by "null"; the
// agent keeps only the 32-byte shared key derived from it (31 PBKDF2 bytes and
// a zero byte), which the message server turns into the handshake's HMAC key.
// A failed random draw fails a reset (nothing written); the reset rewrites the
// five keys in one replace of the file, and a failed write is logged at WARN.
// The shared key is copied in and out under a mutex.
// Weak keys: the HMAC key is made from the shared key up to its first zero
// byte, so a pre-shared key whose shared key has a zero among its first
// AV_SHARED_KEY_MIN_TEXT bytes (about one in sixteen) is refused, at reset
// (AV_PWD_ILLEGAL) and at load from Credential (-1).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int AV_PWD_ILLEGAL = 0x3000003;
constexpr uint32_t AV_SHARED_KEY_MIN_TEXT = 16;

// Protocol constants. The shared-key salt is a fact storage systems need.
extern const char AV_SHARED_KEY_SALT[17];
extern const char AV_CREDENTIAL_SUFFIX[17];
// Built-in credential set: the default pre-shared key encrypted under the
// default RootKey, Iv and Salt.
extern const char AV_DEFAULT_PRESHARED_KEY[];
extern const char AV_DEFAULT_CREDENTIAL[];
extern const char AV_DEFAULT_ROOTKEY[16];
extern const char AV_DEFAULT_IV[16];
extern const char AV_DEFAULT_SALT[16];

int updateAvAgentSharedKeyByCfg(const char* credential, const char* iv,
                                const char* rootKey, const char* salt);  // 0 / -1
// 0; AV_PWD_ILLEGAL; -1. Rewrites the configuration file on success.
int updateAvAgentSharedKeyBypwd(const char* pwd, const char* cfgPath);
// The same for a Pwd value read into a buffer that may have cut it:
// valueLength is the value's length in the file, which the length rule uses.
int updateAvAgentSharedKeyBypwdRead(const char* pwd, size_t valueLength, const char* cfgPath);
int checkPwdLegality(const char* text);  // 0 / -1
// The rule a refused Pwd broke, in the operator's words (cut to size - 1):
// its length, a missing special character, too few character classes, a
// weak derived key, or else that storing it failed.
void pwdRefusalReason(const char* pwd, size_t valueLength, char* out, size_t size);
// Copies the current shared key.
void getAvAgentSharedKey(uint8_t out[32]);
// Derives the shared key for a pre-shared key text (what a storage system does).
int deriveSharedKey(const char* presharedKey, uint8_t out[32]);  // 0 / -1
// Offset of the first zero byte among the first AV_SHARED_KEY_MIN_TEXT bytes
// of a shared key, or -1 when there is none (the key is not weak).
int sharedKeyWeakAt(const uint8_t key[32]);

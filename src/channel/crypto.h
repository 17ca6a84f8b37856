// The agent's cryptographic operations, over OpenSSL 3's EVP interfaces:
// AES-256-CBC of short texts to and from the agent's hex form (low nibble
// first), PBKDF2-HMAC-SHA-256 with argument checks, random bytes and random text
// over a 64-character alphabet, and AES-256 single-block (ECB) keys for frames.
// All operations are reentrant; work buffers come from the memory pool.
// Inputs that would not fit the work buffers (a plaintext above 495 bytes, a hex
// text above 1022 characters or not whole 16-byte blocks) are refused, not cut.
#pragma once
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

constexpr int AV_PBKDF2_BAD_ARG = 0x73010021;
constexpr int AV_PBKDF2_ITERATIONS = 50000;
constexpr uint32_t AV_DERIVED_KEY_LEN = 31;

// 0 / -1. Writes the hex text without a terminator; capacity must exceed 2 x padded.
int mc_EncrypAesHEX(const char* plain, uint8_t iv[16], const uint8_t key[32],
                    uint32_t capacity, char* out);
// 0 / -1. Writes the plaintext and a terminator.
int mc_DecryptAesHEX(const char* hex, uint8_t iv[16], const uint8_t key[32],
                     uint32_t capacity, char* out);
// PBKDF2 with HMAC-SHA-256 (the only PRF the agent uses); 0, or a nonzero code
// (AV_PBKDF2_BAD_ARG for a missing or empty input). iterations <= 0 means 2048.
int mc_Pbkdf2HmacSha256(const uint8_t* pwd, uint32_t pwdLen, const uint8_t* salt,
                        uint32_t saltLen, int iterations, uint32_t outLen,
                        uint8_t* out);
// 1 when count (>= 2) random bytes were written.
int agentMsg_GenRamdomBytes(void* buf, uint32_t count);
// 0 / -1: count characters of "a-zA-Z0-9./", no terminator written.
int getAvRandomString(char* buf, uint32_t count);
// Hex form helpers: every byte as two digits, low four bits first.
void mc_BytesToHex(const uint8_t* in, uint32_t n, char* out);  // 2n chars, no NUL
void mc_HexToBytes(const char* hex, uint32_t hexLen, uint8_t* out);  // hexLen / 2

// A zero-filled stack buffer for key material, cleansed when its scope ends,
// whichever way the function leaves.
template <size_t N>
struct CleansedBuffer {
  uint8_t b[N] = {};
  CleansedBuffer() = default;
  CleansedBuffer(const CleansedBuffer&) = delete;
  CleansedBuffer& operator=(const CleansedBuffer&) = delete;
  ~CleansedBuffer() { OPENSSL_cleanse(b, N); }
  char* c() { return reinterpret_cast<char*>(b); }
};

// AES-256 in single-block mode, one schedule per direction of a connection.
struct AesBlockKey {
  EVP_CIPHER_CTX* ctx = nullptr;
};
int mc_AesSetEncryptKey(const uint8_t key[32], AesBlockKey* k);  // 0, or -1
int mc_AesSetDecryptKey(const uint8_t key[32], AesBlockKey* k);  // 0, or -1
// In place over nBlocks consecutive 16-byte blocks, each block on its own.
int mc_AesEncryptBlocks(AesBlockKey* k, uint8_t* buf, uint32_t nBlocks);  // 0/-1
int mc_AesDecryptBlocks(AesBlockKey* k, uint8_t* buf, uint32_t nBlocks);  // 0/-1
void mc_AesFreeKey(AesBlockKey* k);

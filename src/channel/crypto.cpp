// Cryptographic operations of the channel. Everything goes through OpenSSL's EVP
// layer; padding is done here by hand (EVP padding off) because decryption must
// not check the pad bytes, only read the last one. Work buffers come from the
// pool and are cleansed before they go back, since they hold the pre-shared key
// in clear. The IV buffer ends up holding the last ciphertext block in both
// directions, as chained CBC calls expect. The ciphers are fetched once per
// process: every frame key set-up would otherwise search the algorithm table.
#include "channel/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "platform/random.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {

constexpr uint32_t kAesBlock = 16;
constexpr uint32_t kPlainRoom = 512;       // padded plaintext
constexpr uint32_t kCipherRoom = 1024;     // ciphertext
constexpr uint32_t kHexRoom = 1024;        // hex text, 1023 characters usable
constexpr uint32_t kMaxPlain = 495;        // pads to at most 496 bytes
constexpr uint32_t kDecryptRoom = 512;     // each of the two decryption buffers
constexpr uint32_t kMaxHex = 1022;         // decodes into 511 bytes
constexpr uint16_t kDecryptErrCode = 8192;
constexpr int kDefaultIterations = 2048;
const char kHexDigits[] = "0123456789ABCDEF";
const char kRandomAlphabet[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./";

#define DEC_ERR(fmt, ...) \
  BRIM_Log(AV_MODULE_AGENT, AVLOG_ERR, __func__, __LINE__, kDecryptErrCode, fmt, ##__VA_ARGS__)

// A pooled work buffer that is wiped before it is returned.
class SecretBuf {
 public:
  explicit SecretBuf(uint32_t size) : buf_(size), size_(size) {
    if (buf_) memset(buf_.get(), 0, size_);
  }
  ~SecretBuf() {
    if (buf_) OPENSSL_cleanse(buf_.get(), size_);
  }
  SecretBuf(const SecretBuf&) = delete;
  SecretBuf& operator=(const SecretBuf&) = delete;
  explicit operator bool() const { return static_cast<bool>(buf_); }
  uint8_t* bytes() const { return static_cast<uint8_t*>(buf_.get()); }
  char* chars() const { return buf_.chars(); }

 private:
  PoolBuf buf_;
  uint32_t size_;
};

// Fetched once, kept for the life of the process; the built-in descriptions
// (which fetch per use) stand in if a fetch failed.
const EVP_CIPHER* aes256Ecb() {
  static EVP_CIPHER* const c = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
  return c ? c : EVP_aes_256_ecb();
}

const EVP_CIPHER* aes256Cbc() {
  static EVP_CIPHER* const c = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  return c ? c : EVP_aes_256_cbc();
}

struct CipherCtx {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }  // wipes the key schedule
  CipherCtx() = default;
  CipherCtx(const CipherCtx&) = delete;
  CipherCtx& operator=(const CipherCtx&) = delete;
};

// CBC over n bytes (a multiple of the block) with the padding of EVP switched off.
// 1 on success. The IV buffer receives the last ciphertext block.
int cbcRun(EVP_CIPHER_CTX* ctx, const uint8_t* in, uint32_t n, uint8_t* out,
           uint8_t iv[16], bool encrypt) {
  int outl = 0;
  int finl = 0;
  int ok = encrypt ? EVP_EncryptUpdate(ctx, out, &outl, in, static_cast<int>(n))
                   : EVP_DecryptUpdate(ctx, out, &outl, in, static_cast<int>(n));
  if (ok != 1) return 0;
  ok = encrypt ? EVP_EncryptFinal_ex(ctx, out + outl, &finl)
               : EVP_DecryptFinal_ex(ctx, out + outl, &finl);
  if (ok != 1 || static_cast<uint32_t>(outl + finl) != n) return 0;
  memcpy(iv, (encrypt ? out : in) + n - kAesBlock, kAesBlock);
  return 1;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

}  // namespace

void mc_BytesToHex(const uint8_t* in, uint32_t n, char* out) {
  for (uint32_t i = 0; i < n; ++i) {
    out[2 * i] = kHexDigits[in[i] & 0x0F];
    out[2 * i + 1] = kHexDigits[in[i] >> 4];
  }
}

void mc_HexToBytes(const char* hex, uint32_t hexLen, uint8_t* out) {
  for (uint32_t i = 0; i + 1 < hexLen; i += 2)
    out[i / 2] = static_cast<uint8_t>(hexValue(hex[i]) | (hexValue(hex[i + 1]) << 4));
}

int mc_EncrypAesHEX(const char* plain, uint8_t iv[16], const uint8_t key[32],
                    uint32_t capacity, char* out) {
  if (plain == nullptr || out == nullptr || iv == nullptr || key == nullptr) {
    AV_ERR("The input para in null.");
    return -1;
  }
  size_t len = strlen(plain);
  if (len == 0) {
    AV_ERR("The input buf lenth is zero.");
    return -1;
  }
  if (len > kMaxPlain) {
    AV_ERR("The input buf lenth(%zu) is too long.", len);
    return -1;
  }
  SecretBuf padded(kPlainRoom);
  if (!padded) {
    AV_ERR("Malloc failed,len(%d).", static_cast<int>(kPlainRoom));
    return -1;
  }
  SecretBuf cipher(kCipherRoom);
  if (!cipher) {
    AV_ERR("Malloc failed,len(%d).", static_cast<int>(kCipherRoom));
    return -1;
  }
  SecretBuf hex(kHexRoom);
  if (!hex) {
    AV_ERR("Malloc failed,len(%d).", static_cast<int>(kHexRoom));
    return -1;
  }

  auto pad = static_cast<uint8_t>(kAesBlock - len % kAesBlock);
  auto total = static_cast<uint32_t>(len + pad);
  memcpy(padded.bytes(), plain, len);
  memset(padded.bytes() + len, pad, pad);

  CipherCtx c;
  int rc = c.ctx ? EVP_EncryptInit_ex(c.ctx, aes256Cbc(), nullptr, key, iv) : 0;
  if (rc == 1) rc = EVP_CIPHER_CTX_set_padding(c.ctx, 0);
  if (rc != 1) {
    AV_ERR("Set encrypt key failed(%d).", rc);
    return -1;
  }
  if (cbcRun(c.ctx, padded.bytes(), total, cipher.bytes(), iv, true) != 1) {
    AV_ERR("Encrypt aes failed(len:%u).", total);
    return -1;
  }
  mc_BytesToHex(cipher.bytes(), total, hex.chars());

  if (capacity > 2 * total) {
    memcpy(out, hex.chars(), 2 * total);
    return 0;
  }
  AV_ERR("Set encrypt key failed(outlen:%d, ilen:%d).", static_cast<int>(capacity),
         static_cast<int>(total));
  return -1;
}

int mc_DecryptAesHEX(const char* hexText, uint8_t iv[16], const uint8_t key[32],
                     uint32_t capacity, char* out) {
  if (hexText == nullptr || out == nullptr || iv == nullptr || key == nullptr) {
    DEC_ERR("The input para in null.");
    return -1;
  }
  size_t len = strlen(hexText);
  if (len == 0) {
    DEC_ERR("The input pcInputEncryptStr lenth is zero.");
    return -1;
  }
  SecretBuf encrypted(kDecryptRoom);
  if (!encrypted) {
    AV_ERR("Malloc failed,len(%d).", static_cast<int>(kDecryptRoom));
    return -1;
  }
  SecretBuf decrypted(kDecryptRoom);
  if (!decrypted) {
    AV_ERR("Malloc failed,len(%d).", static_cast<int>(kDecryptRoom));
    return -1;
  }

  CipherCtx c;
  int rc = c.ctx ? EVP_DecryptInit_ex(c.ctx, aes256Cbc(), nullptr, key, iv) : 0;
  if (rc == 1) rc = EVP_CIPHER_CTX_set_padding(c.ctx, 0);
  if (rc != 1) {
    DEC_ERR("Set decrypt key failed(%d).", rc);
    return -1;
  }
  // Besides an odd length, a text that does not decode to whole blocks or does
  // not fit the work buffer is refused here: CBC cannot decrypt part of a block.
  if (len % 2 != 0 || len > kMaxHex || (len / 2) % kAesBlock != 0) {
    DEC_ERR("The input pcInputEncryptStr lenth is (%d).", static_cast<int>(len));
    return -1;
  }
  auto total = static_cast<uint32_t>(len / 2);
  mc_HexToBytes(hexText, static_cast<uint32_t>(len), encrypted.bytes());
  if (cbcRun(c.ctx, encrypted.bytes(), total, decrypted.bytes(), iv, false) != 1) {
    DEC_ERR("Decrypt aes failed(len:%u).", total);
    return -1;
  }

  // Only the last byte is read as the pad length; a wrong key shows up as a
  // length that does not fit, or as meaningless text.
  int n = static_cast<int>(total) - decrypted.bytes()[total - 1];
  if (capacity > static_cast<uint32_t>(n)) {
    memcpy(out, decrypted.bytes(), static_cast<size_t>(n));
    out[n] = '\0';
    return 0;
  }
  DEC_ERR("The input lenth is (outlen: %d, nopadlen: %d).", static_cast<int>(capacity), n);
  return -1;
}

int mc_Pbkdf2HmacSha256(const uint8_t* pwd, uint32_t pwdLen, const uint8_t* salt,
                        uint32_t saltLen, int iterations, uint32_t outLen,
                        uint8_t* out) {
  if (pwd == nullptr || salt == nullptr || out == nullptr || pwdLen == 0 ||
      saltLen == 0 || outLen == 0 || pwdLen > INT_MAX || saltLen > INT_MAX ||
      outLen > INT_MAX) {
    AV_ERR("The input para is invalid(pwdlen:%u, saltlen:%u, outlen:%u).", pwdLen,
           saltLen, outLen);
    return AV_PBKDF2_BAD_ARG;
  }
  if (iterations <= 0) iterations = kDefaultIterations;
  if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(pwd), static_cast<int>(pwdLen), salt,
                        static_cast<int>(saltLen), iterations, EVP_sha256(),
                        static_cast<int>(outLen), out) != 1) {
    AV_ERR("PKCS5_PBKDF2_HMAC failed(outlen:%u).", outLen);
    return -1;
  }
  return 0;
}

int agentMsg_GenRamdomBytes(void* buf, uint32_t count) {
  if (buf == nullptr || count < 2) return 0;
  // Acquiring the generator: at once if it is seeded, else waiting for the
  // seed. Once seeded it stays seeded, so the probe is made until it succeeds.
  static std::atomic<bool> seeded{false};
  if (!seeded.load(std::memory_order_relaxed) && avRandomOpen(false) != 0) {
    AV_ERR("CryptAcquireContext FAIL -1.");
    if (avRandomOpen(true) != 0) {
      AV_ERR("CryptAcquireContext FAIL -2.");
      return 0;
    }
  }
  seeded.store(true, std::memory_order_relaxed);
  if (avRandomFill(buf, count) != 0) {
    AV_ERR("CryptGenRandom FAIL");
    return 0;
  }
  return 1;
}

int getAvRandomString(char* buf, uint32_t count) {
  if (buf == nullptr) {
    AV_ERR("The input para in null.");
    return -1;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t b[4] = {0, 0, 0, 0};
    if (agentMsg_GenRamdomBytes(b, sizeof b) != 1) {
      AV_ERR("Get genRandomBytes failed.");
      return -1;
    }
    uint32_t v = b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
    buf[i] = kRandomAlphabet[v % 64];
  }
  return 0;
}

namespace {

int setBlockKey(const uint8_t key[32], AesBlockKey* k, bool encrypt) {
  if (key == nullptr || k == nullptr) {
    AV_ERR("The input para in null.");
    return -1;
  }
  mc_AesFreeKey(k);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int rc = ctx ? EVP_CipherInit_ex(ctx, aes256Ecb(), nullptr, key, nullptr,
                                   encrypt ? 1 : 0)
               : 0;
  if (rc == 1) rc = EVP_CIPHER_CTX_set_padding(ctx, 0);
  if (rc != 1) {
    AV_ERR("Set %s key failed(%d).", encrypt ? "encrypt" : "decrypt", rc);
    EVP_CIPHER_CTX_free(ctx);
    return -1;
  }
  k->ctx = ctx;
  return 0;
}

int runBlocks(AesBlockKey* k, uint8_t* buf, uint32_t nBlocks, bool encrypt) {
  if (k == nullptr || k->ctx == nullptr || buf == nullptr) {
    AV_ERR("The input para in null.");
    return -1;
  }
  // A schedule of the other direction would silently garble the frame.
  if ((EVP_CIPHER_CTX_is_encrypting(k->ctx) == 1) != encrypt) {
    AV_ERR("The key is not a%s key.", encrypt ? "n encrypt" : " decrypt");
    return -1;
  }
  if (nBlocks == 0) return 0;
  if (nBlocks > static_cast<uint32_t>(INT_MAX) / kAesBlock) {
    AV_ERR("Too many blocks(%u).", nBlocks);
    return -1;
  }
  int len = static_cast<int>(nBlocks * kAesBlock);
  int outl = 0;
  // ECB without padding holds no state between calls, so no final call is due.
  if (EVP_CipherUpdate(k->ctx, buf, &outl, buf, len) != 1 || outl != len) {
    AV_ERR("AES block operation failed(blocks:%u).", nBlocks);
    return -1;
  }
  return 0;
}

}  // namespace

int mc_AesSetEncryptKey(const uint8_t key[32], AesBlockKey* k) { return setBlockKey(key, k, true); }
int mc_AesSetDecryptKey(const uint8_t key[32], AesBlockKey* k) { return setBlockKey(key, k, false); }
int mc_AesEncryptBlocks(AesBlockKey* k, uint8_t* buf, uint32_t nBlocks) {
  return runBlocks(k, buf, nBlocks, true);
}
int mc_AesDecryptBlocks(AesBlockKey* k, uint8_t* buf, uint32_t nBlocks) {
  return runBlocks(k, buf, nBlocks, false);
}

void mc_AesFreeKey(AesBlockKey* k) {
  if (k == nullptr) return;
  EVP_CIPHER_CTX_free(k->ctx);
  k->ctx = nullptr;
}

// Client verification handshake, agent side.
//
// Design: one RSA-1024 key pair is made at start and shared read-only by every
// connection thread; only the private-key decryption (which may touch the key's
// blinding state) runs under the process-wide RSA lock. That lock also guards
// the one decryption context, set up once for the key and reused, so a
// handshake pays for the RSA operation and not for building a context. Digest
// and MAC algorithms are fetched once per process: a fetch by name per call
// costs a table search. The HMAC is compared in constant time, and every buffer
// that held key material is wiped before the function that owns it returns.
// The verification key itself is never written to the log: its debug line
// names the length only.
#include "channel/handshake.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <mutex>

#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/os_helper.h"

namespace {

constexpr uint32_t kDigestLen = 32;
constexpr uint32_t kKeyMaterialLen = 64;
constexpr uint32_t kAesKeyLen = 32;
constexpr uint32_t kChallengeMax = AV_CHALLENGE_RANDOM_LEN + 256;

RSAServerInfo g_rsaInfo;
std::mutex g_rsaLock;
// Decryption context of the key it was made for; both only under g_rsaLock.
// The context holds a reference on its key, so the address cannot be reused
// by another key while the pair is cached.
EVP_PKEY_CTX* g_decryptCtx = nullptr;
EVP_PKEY* g_decryptKey = nullptr;

// Fetched once and kept for the life of the process (never freed: connection
// threads may still use them while the process ends). Null when the fetch
// failed; callers then take the slower path that fetches per call.
const EVP_MD* sha256Md() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

// An HMAC-SHA-256 context with its digest already chosen (keyed with zeros, a
// placeholder): each call copies it and sets its own key, which skips both
// the MAC and the digest look-up by name. Read-only once built.
const EVP_MAC_CTX* hmacTemplate() {
  static EVP_MAC_CTX* const tmpl = [] {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
    EVP_MAC_free(mac);  // the context keeps its own reference
    const uint8_t zeros[kDigestLen] = {};
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end()};
    if (ctx && EVP_MAC_init(ctx, zeros, sizeof zeros, params) != 1) {
      EVP_MAC_CTX_free(ctx);
      ctx = nullptr;
    }
    return ctx;
  }();
  return tmpl;
}

// A PKCS#1 v1.5 decryption context for key. Implicit rejection is switched
// off on OpenSSL builds that have it: only a peer that already proved the
// pre-shared key gets this far, and a broken key part must fail the handshake
// rather than yield a random key. Caller holds g_rsaLock.
EVP_PKEY_CTX* newDecryptCtx(EVP_PKEY* key) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  if (ctx && EVP_PKEY_decrypt_init(ctx) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1) {
    (void)EVP_PKEY_CTX_ctrl_str(ctx, "rsa_pkcs1_implicit_rejection", "0");
    return ctx;
  }
  EVP_PKEY_CTX_free(ctx);
  return nullptr;
}

// One HMAC-SHA-256 through the template; false when any step fails.
bool hmacFromTemplate(const uint8_t* data, size_t dataLength, const uint8_t* key,
                      size_t keyLength, uint8_t* out, size_t outLength, size_t* n) {
  const EVP_MAC_CTX* tmpl = hmacTemplate();
  if (!tmpl) return false;
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_dup(tmpl);
  bool ok = ctx && EVP_MAC_init(ctx, key, keyLength, nullptr) == 1 &&
            EVP_MAC_update(ctx, data, dataLength) == 1 &&
            EVP_MAC_final(ctx, out, n, outLength) == 1;
  EVP_MAC_CTX_free(ctx);  // frees and cleanses the keyed state
  return ok;
}

// Bounds the thread's frame I/O by a deadline for as long as it lives.
struct ScopedDeadline {
  int64_t before;
  explicit ScopedDeadline(int64_t deadlineMs) : before(agentMsg_SetThreadDeadline(deadlineMs)) {}
  ~ScopedDeadline() { agentMsg_SetThreadDeadline(before); }
};

// Wipes a stack buffer when the scope ends, whatever path leaves it.
struct Cleanse {
  void* p;
  size_t n;
  ~Cleanse() { OPENSSL_cleanse(p, n); }
};

}  // namespace

RSAServerInfo* agentMsg_ServerRSAInfo() { return &g_rsaInfo; }

void agentMsg_InitRSALock() {
  // std::mutex needs no run-time set-up; kept so start-up has one place that
  // orders "key pair, then lock" as the rest of the agent expects.
}

int agentMsg_GenRSAServerInfoInit(RSAServerInfo* info) {
  if (!info) {
    AV_ERR("Null pointer.");
    return 0;
  }
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  if (ctx && EVP_PKEY_keygen_init(ctx) == 1 &&
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 1024) == 1) {
    // 65537 is the default public exponent of the key generator.
    if (EVP_PKEY_keygen(ctx, &key) != 1) key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  if (!key) {
    AV_ERR("Rsa buffer is null.");
    return 0;
  }
  // i2d_PublicKey of an RSA key writes the PKCS#1 RSAPublicKey SEQUENCE.
  int len = i2d_PublicKey(key, nullptr);
  if (len <= 0 || len > static_cast<int>(sizeof info->publicKey)) {
    AV_ERR("Buffer too small, buff len(%u), public key len(%d).",
           static_cast<unsigned>(sizeof info->publicKey), len);
    EVP_PKEY_free(key);
    return 0;
  }
  unsigned char* out = info->publicKey;
  memset(info->publicKey, 0, sizeof info->publicKey);
  len = i2d_PublicKey(key, &out);
  info->key = key;
  info->publicKeyLen = static_cast<uint32_t>(len);
  if (info != &g_rsaInfo) g_rsaInfo = *info;
  {
    // The new key's decryption context is made now rather than by the first
    // handshake; a failure here only means the first handshake makes it.
    std::lock_guard<std::mutex> lock(g_rsaLock);
    EVP_PKEY_CTX_free(g_decryptCtx);
    g_decryptCtx = newDecryptCtx(key);
    g_decryptKey = g_decryptCtx ? key : nullptr;
  }
  AV_INFO("Public key len(%d).", len);
  return 1;
}

int agentMsg_GenRSAServerInfo(RSAServerInfo* rsaInfo) {
  if (!rsaInfo) return 0;
  *rsaInfo = g_rsaInfo;
  return 1;
}

void agentMsg_ReleaseRSAInfo(RSAServerInfo* rsaInfo) {
  if (rsaInfo) rsaInfo->key = nullptr;  // the process-wide key lives on
}

int msg_HaskKey(const uint8_t* text, uint8_t* out, uint32_t outLength) {
  if (!text || !out || text[0] == 0 || outLength != kDigestLen) {
    AV_ERR("Param is NULL!");
    return 0;
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned int n = 0;
  const size_t len = strlen(reinterpret_cast<const char*>(text));
  const EVP_MD* md = sha256Md();
  int ok = ctx && EVP_DigestInit_ex(ctx, md ? md : EVP_sha256(), nullptr) == 1 &&
           EVP_DigestUpdate(ctx, text, len) == 1 &&
           EVP_DigestFinal_ex(ctx, out, &n) == 1 && n == kDigestLen;
  EVP_MD_CTX_free(ctx);  // frees and cleanses the digest state
  if (!ok) {
    OPENSSL_cleanse(out, outLength);
    AV_ERR("SHA-256 failed.");
    return 0;
  }
  return 1;
}

int msg_HmacHash(const uint8_t* data, uint32_t dataLength, const uint8_t* key,
                 uint32_t keyLength, uint8_t* out, uint32_t outLength) {
  if (!data || !key || !out || dataLength < 1 || keyLength != kDigestLen ||
      outLength != kDigestLen) {
    AV_ERR("Param is NULL!");
    return 0;
  }
  size_t n = 0;
  bool ok = hmacFromTemplate(data, dataLength, key, keyLength, out, outLength, &n);
  if (!ok && !hmacTemplate()) {
    n = 0;
    ok = EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key, keyLength, data,
                   dataLength, out, outLength, &n) != nullptr;
  }
  if (!ok || n != kDigestLen) {
    OPENSSL_cleanse(out, outLength);
    AV_ERR("HMAC-SHA-256 failed.");
    return 0;
  }
  return 1;
}

int agentMsg_VerifyFirst(MsgLink* link, const uint8_t* key, uint32_t keyLength,
                         RSAServerInfo* rsaInfo, uint8_t* randBuf, uint32_t randLength,
                         uint8_t* digestBuf, uint32_t digestLength) {
  if (!link || !key || !rsaInfo || !randBuf || !digestBuf ||
      randLength != AV_CHALLENGE_RANDOM_LEN || digestLength != kDigestLen) {
    AV_ERR("Null pointer.");
    return 0;
  }
  if (agentMsg_GenRamdomBytes(randBuf, randLength) != 1) {
    AV_ERR("agentMsg_VerifyFirst->msg_GenRamdomBytes FAIL.");
    return 0;
  }
  agentMsg_GenRSAServerInfo(rsaInfo);
  if (!rsaInfo->key || rsaInfo->publicKeyLen == 0 ||
      rsaInfo->publicKeyLen > sizeof rsaInfo->publicKey) {
    AV_ERR("Rsa buffer is null.");
    return 0;
  }
  uint8_t challenge[kChallengeMax] = {};
  const uint32_t challengeLen = randLength + rsaInfo->publicKeyLen;
  memcpy(challenge, randBuf, randLength);
  memcpy(challenge + randLength, rsaInfo->publicKey, rsaInfo->publicKeyLen);

  AV_DBG("key len:%d, key: %s", static_cast<int>(keyLength), "(not shown)");
  AV_DBG("randnum len:%d, randnum Buf: %s", static_cast<int>(randLength),
         AvLogHex(randBuf, randLength).text);

  if (agentMsg_DoRequest(link, MSG_HANDSHAKE_CHALLENGE, challenge, challengeLen) != 1) {
    AV_ERR("agentMsg_VerifyFirst->msg_DoRequest FAIL.");
    return 0;
  }
  if (link->RecvHead.MessageType != MSG_HANDSHAKE_ANSWER) {
    AV_ERR("agentMsg_VerifyFirst->MessageType or Length FAIL.");
    return 0;
  }
  const bool withCipher = link->RecvHead.Version >= AV_PROTOCOL_VERSION;
  // A v17 answer must carry at least one byte of key part behind the digest.
  const uint32_t minLen = withCipher ? kDigestLen + 1 : kDigestLen;
  if (link->RecvHead.Length < minLen) {
    AV_ERR("agentMsg_VerifyFirst->MessageType or Length FAIL.");
    return 0;
  }
  AV_DBG("rcv digestBuf: %s", AvLogHex(link->RecvBody, kDigestLen).text);

  int ok;
  if (!withCipher) {
    ok = msg_HmacHash(challenge, challengeLen, key, keyLength, digestBuf, digestLength);
    if (ok == 1)
      AV_DBG("digestBuf: %s", AvLogHex(digestBuf, kDigestLen).text);
  } else {
    ok = msg_HmacHash(randBuf, randLength, key, keyLength, digestBuf, digestLength);
  }
  if (ok != 1) {
    AV_ERR("msg_HmacHash FAIL.");
    return 0;
  }
  if (CRYPTO_memcmp(link->RecvBody, digestBuf, kDigestLen) != 0) {
    AV_ERR("agentMsg_VerifyFirst->Client digestBuf not match");
    return 0;
  }
  return 1;
}

namespace {

// PKCS#1 v1.5 private decryption under the RSA lock, through the cached
// context. Returns the plaintext length, or -1.
int rsaPrivateDecrypt(EVP_PKEY* key, const uint8_t* in, uint32_t inLen, uint8_t* out,
                      size_t outCap) {
  std::lock_guard<std::mutex> lock(g_rsaLock);
  if (!g_decryptCtx || g_decryptKey != key) {
    EVP_PKEY_CTX_free(g_decryptCtx);
    g_decryptCtx = newDecryptCtx(key);
    g_decryptKey = g_decryptCtx ? key : nullptr;
    if (!g_decryptCtx) return -1;
  }
  size_t n = outCap;
  if (EVP_PKEY_decrypt(g_decryptCtx, out, &n, in, inLen) == 1) return static_cast<int>(n);
  // A refused key part is the peer's fault, not the context's, but a fresh
  // context for the next handshake costs little and rules out left-over state.
  EVP_PKEY_CTX_free(g_decryptCtx);
  g_decryptCtx = nullptr;
  g_decryptKey = nullptr;
  return -1;
}

}  // namespace

int agentMsg_VerifySecond(MsgLink* link, RSAServerInfo* rsaInfo, uint32_t digestLength) {
  if (!link || !rsaInfo || !rsaInfo->key || !link->RecvBody ||
      link->RecvHead.Length <= digestLength) {
    AV_ERR("Null pointer.");
    return 0;
  }
  // The whole modulus size, so OpenSSL never refuses for lack of room; the
  // key material proper is then held to 64 bytes.
  uint8_t plain[512] = {};
  uint8_t randBytes[kKeyMaterialLen] = {};
  Cleanse wipePlain{plain, sizeof plain};
  Cleanse wipeRand{randBytes, sizeof randBytes};
  if (static_cast<size_t>(EVP_PKEY_get_size(rsaInfo->key)) > sizeof plain) {
    AV_ERR("Decrypt rsa data failed(%d).", -1);
    return 0;
  }
  const int n = rsaPrivateDecrypt(rsaInfo->key, link->RecvBody + digestLength,
                                  link->RecvHead.Length - digestLength, plain,
                                  sizeof plain);
  if (n < 0) {
    AV_ERR("Decrypt rsa data failed(%d).", n);
    return 0;
  }
  if (static_cast<uint32_t>(n) > kKeyMaterialLen) {
    AV_ERR("Decrypted key material too long(%d).", n);
    return 0;
  }
  memcpy(randBytes, plain, static_cast<size_t>(n));
  int rc = mc_AesSetEncryptKey(randBytes, &link->encryptKey);
  if (rc == 0) rc = mc_AesSetDecryptKey(randBytes, &link->decryptKey);
  if (rc != 0) {
    AV_ERR("Set AES decrypt key failed(%d).", rc);
    return 0;
  }
  static_assert(kAesKeyLen <= kKeyMaterialLen);
  if (agentMsg_CreateEmptyResponse(link, MSG_HANDSHAKE_ANSWER, RET_OK) != 1) {
    AV_ERR("msg_VerifyClient > msg_CreateEmptyResponse FAIL.");
    return 0;
  }
  if (agentMsg_DoSend(link->socket, link->SendPackage, link->SendLength) != 1) {
    AV_ERR("msg_VerifyClient > msg_DoSend FAIL.");
    return 0;
  }
  return 1;
}

int agentMsg_VerifySecond_NoCipher(MsgLink* link) {
  if (!link) {
    AV_ERR("Null pointer.");
    return 0;
  }
  if (agentMsg_CreateEmptyResponse(link, MSG_HANDSHAKE_ANSWER, RET_OK) != 1) {
    AV_ERR("agentMsg_VerifySecond_NoCipher > msg_CreateEmptyResponse FAIL.");
    return 0;
  }
  if (agentMsg_DoSend(link->socket, link->SendPackage, link->SendLength) != 1) {
    AV_ERR("agentMsg_VerifySecond_NoCipher > msg_DoSend FAIL.");
    return 0;
  }
  return 1;
}

int ms_VerifyClient(MsgLink* link, const uint8_t* key, uint32_t keyLength) {
  if (!link || !key) {
    AV_ERR("Null pointer.");
    return 0;
  }
  link->status = LINK_UNVERIFIED;
  // The whole handshake has one deadline on top of the bound of each wait, so
  // a peer that trickles its answer cannot hold the connection's thread.
  ScopedDeadline deadline(BRIM_MonotonicMs() + g_handshakeTimeOut.load());
  RSAServerInfo rsaInfo;
  uint8_t randBuf[AV_CHALLENGE_RANDOM_LEN] = {};
  uint8_t digestBuf[kDigestLen] = {};
  Cleanse wipeRand{randBuf, sizeof randBuf};
  Cleanse wipeDigest{digestBuf, sizeof digestBuf};
  int ok = agentMsg_VerifyFirst(link, key, keyLength, &rsaInfo, randBuf, sizeof randBuf,
                                digestBuf, sizeof digestBuf);
  if (ok == 1) {
    ok = link->RecvHead.Version >= AV_PROTOCOL_VERSION
             ? agentMsg_VerifySecond(link, &rsaInfo, kDigestLen)
             : agentMsg_VerifySecond_NoCipher(link);
  }
  link->status = ok == 1 ? LINK_NORMAL : LINK_FAULT;
  agentMsg_ReleaseRSAInfo(&rsaInfo);
  agentMsg_ReleaseLink(link);
  return ok == 1 ? 1 : 0;
}

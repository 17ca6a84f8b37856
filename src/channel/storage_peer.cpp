// Storage-side peer of the channel.
//
// Design: this side reuses the agent's frame code, so both ends agree on the
// wire byte for byte. Only the link's status differs in meaning: it is set to 1
// when the connection encrypts (a v17 handshake), which is exactly the
// condition under which the agent's frames must be decrypted here; a v16 peer
// keeps status 0 and talks plain although the agent's frames say version 17.
// An agent offers the same public key on every connection, so each thread
// keeps the last key it parsed, with its encryption context, and reuses them
// while the DER bytes stay equal: a load run then parses the key once.
// Every read here follows a send or the connect, so it waits before it reads
// and takes header and tail in one call (an empty answer costs one read).
#include "channel/storage_peer.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>

#include "channel/crypto.h"
#include "channel/shared_key.h"
#include "platform/net.h"
#include "runtime/log.h"

namespace {

constexpr uint32_t kDigestLen = 32;

// The last public key this thread parsed and its PKCS#1 v1.5 encryption
// context. Per thread because an encryption context is not shared safely;
// released when the thread ends.
struct PeerKeyCache {
  uint8_t der[AV_CHALLENGE_MAX_BODY] = {};
  uint32_t derLen = 0;
  EVP_PKEY_CTX* ctx = nullptr;
  PeerKeyCache() = default;
  PeerKeyCache(const PeerKeyCache&) = delete;
  PeerKeyCache& operator=(const PeerKeyCache&) = delete;
  ~PeerKeyCache() { drop(); }
  void drop() {
    EVP_PKEY_CTX_free(ctx);  // releases the key it holds
    ctx = nullptr;
    derLen = 0;
  }
  // The context for these DER bytes, parsing them only when they differ from
  // the cached ones; null when they do not hold a usable RSA key.
  EVP_PKEY_CTX* get(const uint8_t* bytes, uint32_t len) {
    if (ctx && len == derLen && memcmp(bytes, der, len) == 0) return ctx;
    drop();
    if (len == 0 || len > sizeof der) return nullptr;
    const unsigned char* p = bytes;
    EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(len));
    if (!key) return nullptr;
    EVP_PKEY_CTX* c = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    EVP_PKEY_free(key);  // the context keeps its own reference
    if (!c || EVP_PKEY_encrypt_init(c) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_PADDING) != 1) {
      EVP_PKEY_CTX_free(c);
      return nullptr;
    }
    memcpy(der, bytes, len);
    derLen = len;
    ctx = c;
    return ctx;
  }
};

thread_local PeerKeyCache t_peerKey;

// RSA PKCS#1 v1.5 encryption under the agent's DER RSAPublicKey.
int rsaEncrypt(const uint8_t* der, uint32_t derLen, const uint8_t* in, uint32_t inLen,
               uint8_t* out, uint32_t room, uint32_t* outLen) {
  EVP_PKEY_CTX* ctx = t_peerKey.get(der, derLen);
  if (!ctx) return 0;
  size_t n = room;
  int ok = EVP_PKEY_encrypt(ctx, nullptr, &n, in, inLen) == 1 && n <= room &&
           EVP_PKEY_encrypt(ctx, out, &n, in, inLen) == 1;
  if (!ok) {
    t_peerKey.drop();  // the next call starts from a fresh parse
    return 0;
  }
  *outLen = static_cast<uint32_t>(n);
  return 1;
}

}  // namespace

int sp_DeriveVerificationKey(const char* presharedKey, uint8_t out[32]) {
  uint8_t shared[32] = {};
  int ok = presharedKey && out && deriveSharedKey(presharedKey, shared) == 0 &&
           msg_HaskKey(shared, out, 32) == 1;
  OPENSSL_cleanse(shared, sizeof shared);
  return ok ? 1 : 0;
}

int sp_Connect(StoragePeer* peer, const char* host, const char* port, int timeoutMs) {
  if (!peer || !host || !port) return SP_CONNECT_FAILED;
  std::vector<NetEndpoint> list;
  int fd = -1;
  if (net_Resolve(host, port, NET_ANY, &list) != 0 || net_Connect(list, timeoutMs, &fd) != 0)
    return SP_CONNECT_FAILED;
  peer->link.socket = fd;
  return SP_OK;
}

void sp_Attach(StoragePeer* peer, int sock, uint32_t version) {
  peer->link.socket = sock;
  peer->version = version;
}

int sp_RecvChallenge(StoragePeer* peer) {
  if (agentMsg_RecvPackage_Awaited(&peer->link) != 0) return SP_REFUSED;
  const MsgHeader& h = peer->link.RecvHead;
  if (h.MessageType != MSG_HANDSHAKE_CHALLENGE || h.Length <= AV_CHALLENGE_RANDOM_LEN ||
      h.Length > AV_CHALLENGE_MAX_BODY)
    return SP_REFUSED;
  memcpy(peer->challenge, peer->link.RecvBody, h.Length);
  peer->challengeLen = h.Length;
  return SP_OK;
}

int sp_BuildAnswer(StoragePeer* peer, const uint8_t verificationKey[32], uint8_t* body,
                   uint32_t room, uint32_t* bodyLen) {
  if (!peer || !verificationKey || !body || !bodyLen || room < kDigestLen ||
      peer->challengeLen <= AV_CHALLENGE_RANDOM_LEN)
    return SP_LOCAL_ERROR;
  if (peer->version < AV_PROTOCOL_VERSION) {
    if (msg_HmacHash(peer->challenge, peer->challengeLen, verificationKey, 32, body,
                     kDigestLen) != 1)
      return SP_LOCAL_ERROR;
    *bodyLen = kDigestLen;
    return SP_OK;
  }
  if (msg_HmacHash(peer->challenge, AV_CHALLENGE_RANDOM_LEN, verificationKey, 32, body,
                   kDigestLen) != 1)
    return SP_LOCAL_ERROR;
  if (agentMsg_GenRamdomBytes(peer->keyMaterial, sizeof peer->keyMaterial) != 1)
    return SP_LOCAL_ERROR;
  uint32_t ctLen = 0;
  if (!rsaEncrypt(peer->challenge + AV_CHALLENGE_RANDOM_LEN,
                  peer->challengeLen - AV_CHALLENGE_RANDOM_LEN, peer->keyMaterial,
                  sizeof peer->keyMaterial, body + kDigestLen, room - kDigestLen, &ctLen))
    return SP_LOCAL_ERROR;
  *bodyLen = kDigestLen + ctLen;
  return SP_OK;
}

int sp_SendFrame(StoragePeer* peer, uint32_t messageType, const void* body, uint32_t len) {
  const int encrypt = agentMsg_LinkEncrypts(&peer->link, peer->version);
  if (agentMsg_BuildFrame(&peer->link, messageType, body, len, peer->version, encrypt) != 1)
    return SP_LOCAL_ERROR;
  if (agentMsg_DoSend(peer->link.socket, peer->link.SendPackage, peer->link.SendLength) != 1)
    return SP_CLOSED;
  return SP_OK;
}

int sp_RecvResult(StoragePeer* peer) {
  if (agentMsg_RecvPackage_Awaited(&peer->link) != 0) return SP_REFUSED;
  const MsgHeader& h = peer->link.RecvHead;
  if (h.MessageType != MSG_HANDSHAKE_ANSWER || h.ReturnStatus != RET_OK) return SP_REFUSED;
  if (peer->version >= AV_PROTOCOL_VERSION) {
    if (mc_AesSetEncryptKey(peer->keyMaterial, &peer->link.encryptKey) != 0 ||
        mc_AesSetDecryptKey(peer->keyMaterial, &peer->link.decryptKey) != 0)
      return SP_LOCAL_ERROR;
    peer->link.status = LINK_NORMAL;
  }
  peer->verified = 1;
  agentMsg_ReleaseLink(&peer->link);
  return SP_OK;
}

int sp_Handshake(StoragePeer* peer, const uint8_t verificationKey[32]) {
  if (!peer || !verificationKey) return SP_LOCAL_ERROR;
  int rc = sp_RecvChallenge(peer);
  if (rc != SP_OK) return rc;
  uint8_t body[kDigestLen + 256] = {};
  uint32_t len = 0;
  rc = sp_BuildAnswer(peer, verificationKey, body, sizeof body, &len);
  if (rc != SP_OK) return rc;
  rc = sp_SendFrame(peer, MSG_HANDSHAKE_ANSWER, body, len);
  if (rc != SP_OK) return rc == SP_CLOSED ? SP_REFUSED : rc;
  return sp_RecvResult(peer);
}

int sp_Request(StoragePeer* peer, uint32_t messageType, const void* body, uint32_t len) {
  if (!peer) return SP_LOCAL_ERROR;
  agentMsg_ReleaseLink(&peer->link);
  int rc = sp_SendFrame(peer, messageType, body, len);
  if (rc != SP_OK) return rc;
  if (agentMsg_RecvPackage_Awaited(&peer->link) != 0) return SP_CLOSED;
  return SP_OK;
}

void sp_Close(StoragePeer* peer) {
  if (!peer) return;
  agentMsg_ReleaseLink(&peer->link);
  agentMsg_FreeLinkKeys(&peer->link);
  OPENSSL_cleanse(peer->keyMaterial, sizeof peer->keyMaterial);
  net_Close(peer->link.socket);
  peer->link.socket = -1;
  peer->link.status = LINK_UNVERIFIED;
  peer->verified = 0;
}

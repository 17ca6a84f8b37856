// Client verification handshake, agent side. The agent sends 2000 (43 random
// bytes + DER PKCS#1 public key); the peer answers 2001 with HMAC-SHA-256 under
// the verification key (over the random bytes, v>=17; over the whole challenge,
// v<17) and, from v17, 64 bytes of key material under RSA PKCS#1 v1.5, whose
// first 32 bytes become the connection's AES-256 key; the agent confirms with an
// empty 2001 / 100. One RSA-1024 key pair serves every connection.
// Decisions: the HMAC is compared in constant time; an answer body under 32
// bytes (33 for v>=17) fails as "MessageType or Length FAIL.", key material over
// 64 bytes as "Decrypted key material too long(%d)."; PKCS#1 v1.5 implicit
// rejection is switched off where OpenSSL has it, so a broken key part fails
// the handshake; the verification key is never written to the debug log; the
// whole handshake (challenge sent, answer received, result sent) must end
// within HandshakeTimeOut (30 s), whatever the bound of each wait.
#pragma once
#include <cstdint>

#include "channel/frame.h"

typedef struct evp_pkey_st EVP_PKEY;

struct RSAServerInfo {
  EVP_PKEY* key = nullptr;
  uint8_t publicKey[256] = {};
  uint32_t publicKeyLen = 0;
};

constexpr uint32_t AV_CHALLENGE_RANDOM_LEN = 43;

int agentMsg_GenRSAServerInfoInit(RSAServerInfo* info);  // 1 / 0, once at start
void agentMsg_InitRSALock();
int ms_VerifyClient(MsgLink* link, const uint8_t* key, uint32_t keyLength);  // 1 verified
int agentMsg_VerifyFirst(MsgLink* link, const uint8_t* key, uint32_t keyLength,
                         RSAServerInfo* rsaInfo, uint8_t* randBuf,
                         uint32_t randLength, uint8_t* digestBuf,
                         uint32_t digestLength);
int agentMsg_VerifySecond(MsgLink* link, RSAServerInfo* rsaInfo, uint32_t digestLength);
int agentMsg_VerifySecond_NoCipher(MsgLink* link);
int agentMsg_GenRSAServerInfo(RSAServerInfo* rsaInfo);  // copies the process-wide info
void agentMsg_ReleaseRSAInfo(RSAServerInfo* rsaInfo);
// SHA-256 of text up to its first zero byte; 1 / 0.
int msg_HaskKey(const uint8_t* text, uint8_t* out, uint32_t outLength);
int msg_HmacHash(const uint8_t* data, uint32_t dataLength, const uint8_t* key,
                 uint32_t keyLength, uint8_t* out, uint32_t outLength);  // 1 / 0
// The process-wide key pair (after agentMsg_GenRSAServerInfoInit).
RSAServerInfo* agentMsg_ServerRSAInfo();

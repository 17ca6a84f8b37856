// The storage system's side of the channel: connect to an agent, answer its
// 2000 challenge as version 17 (HMAC over the 43 random bytes plus 64 bytes of
// key material under the agent's RSA key, whose first 32 bytes become the AES
// key) or as version 16 (HMAC over the whole challenge, plain frames), check the
// 2001 / 100 result, then send requests and receive answers. Frames sent carry
// the peer's own version. The step functions are public so tests can play a
// misbehaving peer.
#pragma once
#include <cstdint>

#include "channel/frame.h"
#include "channel/handshake.h"

// 43 random bytes and at most 256 bytes of public key.
constexpr uint32_t AV_CHALLENGE_MAX_BODY = AV_CHALLENGE_RANDOM_LEN + 256;

struct StoragePeer {
  MsgLink link;             // status 1 only once an encrypting (v17) link is set up
  uint32_t version = AV_PROTOCOL_VERSION;
  int verified = 0;         // 1 after a 2001 / 100 result, for any version
  uint8_t challenge[AV_CHALLENGE_MAX_BODY] = {};
  uint32_t challengeLen = 0;
  uint8_t keyMaterial[64] = {};  // what this side sent (v17), wiped at close
};

enum SpResult : int {
  SP_OK = 0,
  SP_LOCAL_ERROR = 1,      // bad arguments, no memory, crypto failure
  SP_REFUSED = 2,          // handshake: closed, or not 2001 / 100
  SP_CLOSED = 3,           // connection closed (or silent) before an answer
  SP_CONNECT_FAILED = 6,
};

// SHA-256 of the shared key derived from the pre-shared key text: the HMAC key.
int sp_DeriveVerificationKey(const char* presharedKey, uint8_t out[32]);  // 1 / 0

// host may be a name, an IPv4 or an IPv6 address. SP_OK or SP_CONNECT_FAILED.
int sp_Connect(StoragePeer* peer, const char* host, const char* port, int timeoutMs);
// Adopts an already connected socket (tests: socketpair).
void sp_Attach(StoragePeer* peer, int sock, uint32_t version);

// Steps of the handshake.
int sp_RecvChallenge(StoragePeer* peer);  // SP_OK, SP_REFUSED
// Fills body (room >= 32 + 256) with the answer for peer->version; SP_OK or
// SP_LOCAL_ERROR. For v17 the key material is kept in the peer.
int sp_BuildAnswer(StoragePeer* peer, const uint8_t verificationKey[32], uint8_t* body,
                   uint32_t room, uint32_t* bodyLen);
// Sends one plain frame of the peer's version; SP_OK or SP_CLOSED.
int sp_SendFrame(StoragePeer* peer, uint32_t messageType, const void* body, uint32_t len);
// Receives the 2001 result; installs the AES key (v17). SP_OK or SP_REFUSED.
int sp_RecvResult(StoragePeer* peer);
// All of the above.
int sp_Handshake(StoragePeer* peer, const uint8_t verificationKey[32]);

// One request and its answer (in peer->link.RecvHead / RecvBody, decrypted).
// SP_OK, SP_CLOSED or SP_LOCAL_ERROR.
int sp_Request(StoragePeer* peer, uint32_t messageType, const void* body, uint32_t len);

// Frees buffers and keys, wipes the key material, closes the socket.
void sp_Close(StoragePeer* peer);

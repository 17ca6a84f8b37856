// Verification handshake between the agent side (ms_VerifyClient on one end of
// a socket pair) and the storage side (storage_peer, or hand-made answers).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel/crypto.h"
#include "channel/handshake.h"
#include "channel/storage_peer.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

void ensureKeyPair() {
  static bool made = [] {
    bool ok = agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()) == 1;
    agentMsg_InitRSALock();
    return ok;
  }();
  ASSERT_TRUE(made);
}

const uint8_t* verificationKey() {
  static uint8_t key[32];
  static bool made = sp_DeriveVerificationKey("Test-PreShared-Key!0123", key) == 1;
  EXPECT_TRUE(made);
  return key;
}

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The agent's side of one connection, run on its own thread.
struct AgentEnd {
  MsgLink link;
  int result = -1;
  std::thread thread;
  explicit AgentEnd(int sock) {
    link.socket = sock;
    thread = std::thread([this] { result = ms_VerifyClient(&link, verificationKey(), 32); });
  }
  int finish() {
    if (thread.joinable()) thread.join();
    return result;
  }
  ~AgentEnd() {
    finish();
    agentMsg_ReleaseLink(&link);
    agentMsg_FreeLinkKeys(&link);
    if (link.socket >= 0) close(link.socket);
  }
  // What the server does after a failed handshake: close the connection.
  void closeSocket() {
    finish();
    close(link.socket);
    link.socket = -1;
  }
};

struct Conn {
  StoragePeer peer;
  std::unique_ptr<AgentEnd> agent;
  explicit Conn(uint32_t version) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    sp_Attach(&peer, sv[0], version);
    agent = std::make_unique<AgentEnd>(sv[1]);
  }
  ~Conn() {
    agent.reset();
    sp_Close(&peer);
  }
};

class Handshake : public ::testing::Test {
 protected:
  void SetUp() override { ensureKeyPair(); }
};

// Sends a hand-made answer and expects the agent to refuse it with the message.
void expectRefused(uint32_t version, uint32_t type, const std::vector<uint8_t>& body,
                   const char* message) {
  avtest::LogCapture cap;
  Conn c(version);
  ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
  ASSERT_EQ(sp_SendFrame(&c.peer, type, body.data(), static_cast<uint32_t>(body.size())),
            SP_OK);
  EXPECT_EQ(c.agent->finish(), 0);
  EXPECT_EQ(c.agent->link.status, LINK_FAULT);
  EXPECT_TRUE(cap.contains(message, AVLOG_ERR)) << message;
  // No failure frame: the peer only sees the connection close.
  c.agent->closeSocket();
  EXPECT_EQ(sp_RecvResult(&c.peer), SP_REFUSED);
  EXPECT_EQ(c.agent->link.SendPackage, nullptr);
  EXPECT_EQ(c.agent->link.RecvBody, nullptr);
}

std::vector<uint8_t> digestOver(const uint8_t* data, uint32_t len, const uint8_t* key) {
  std::vector<uint8_t> d(32);
  EXPECT_EQ(msg_HmacHash(data, len, key, 32, d.data(), 32), 1);
  return d;
}

std::vector<uint8_t> rsaEncrypt(const StoragePeer& p, const std::vector<uint8_t>& in) {
  const unsigned char* der = p.challenge + AV_CHALLENGE_RANDOM_LEN;
  EVP_PKEY* k = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &der,
                              p.challengeLen - AV_CHALLENGE_RANDOM_LEN);
  EXPECT_NE(k, nullptr);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, k, nullptr);
  std::vector<uint8_t> out(256);
  size_t n = out.size();
  EVP_PKEY_encrypt_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  EXPECT_EQ(EVP_PKEY_encrypt(ctx, out.data(), &n, in.data(), in.size()), 1);
  out.resize(n);
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(k);
  return out;
}

}  // namespace

TEST(HandshakeDigests, HashKeyAndHmacRules) {
  uint8_t out[32];
  const uint8_t ab[] = {'a', 'b', 0, 'c', 'd'};
  // Only the bytes before the first zero count: SHA-256("ab").
  ASSERT_EQ(msg_HaskKey(ab, out, 32), 1);
  const uint8_t shaAb[32] = {0xfb, 0x8e, 0x20, 0xfc, 0x2e, 0x4c, 0x3f, 0x24, 0x8c, 0x60, 0xc3,
                             0x9b, 0xd6, 0x52, 0xf3, 0xc1, 0x34, 0x72, 0x98, 0xbb, 0x97, 0x7b,
                             0x8b, 0x4d, 0x59, 0x03, 0xb8, 0x50, 0x55, 0x62, 0x06, 0x03};
  EXPECT_EQ(0, memcmp(out, shaAb, 32));
  const uint8_t zeroFirst[] = {0, 'a'};
  EXPECT_EQ(msg_HaskKey(zeroFirst, out, 32), 0);
  EXPECT_EQ(msg_HaskKey(nullptr, out, 32), 0);
  EXPECT_EQ(msg_HaskKey(ab, out, 31), 0);

  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  const uint8_t hmacAbc[32] = {0xf0, 0x13, 0x37, 0x29, 0xc4, 0x16, 0x3d, 0xed, 0xe8, 0x1e, 0x21,
                               0xcd, 0x47, 0x83, 0x92, 0x56, 0xda, 0x58, 0x17, 0x12, 0x38, 0xc8,
                               0xa0, 0xd8, 0x74, 0x39, 0x7c, 0x73, 0xb1, 0x4e, 0x1e, 0x47};
  ASSERT_EQ(msg_HmacHash(reinterpret_cast<const uint8_t*>("abc"), 3, key, 32, out, 32), 1);
  EXPECT_EQ(0, memcmp(out, hmacAbc, 32));
  EXPECT_EQ(msg_HmacHash(reinterpret_cast<const uint8_t*>("abc"), 0, key, 32, out, 32), 0);
  EXPECT_EQ(msg_HmacHash(reinterpret_cast<const uint8_t*>("abc"), 3, key, 16, out, 32), 0);
  EXPECT_EQ(msg_HmacHash(reinterpret_cast<const uint8_t*>("abc"), 3, key, 32, out, 64), 0);
  EXPECT_EQ(msg_HmacHash(nullptr, 3, key, 32, out, 32), 0);
}

TEST_F(Handshake, KeyPairIsRsa1024WithExponent65537) {
  const RSAServerInfo* info = agentMsg_ServerRSAInfo();
  ASSERT_EQ(info->publicKeyLen, 140u);
  EXPECT_EQ(info->publicKey[0], 0x30);  // SEQUENCE of modulus and exponent
  const uint8_t e[] = {0x02, 0x03, 0x01, 0x00, 0x01};
  EXPECT_EQ(0, memcmp(info->publicKey + 135, e, 5));
  EXPECT_EQ(EVP_PKEY_get_bits(info->key), 1024);
}

TEST_F(Handshake, Version17EncryptsLaterFrames) {
  auto before = avtest::poolFreeCounts();
  {
    Conn c(17);
    ASSERT_EQ(sp_Handshake(&c.peer, verificationKey()), SP_OK);
    ASSERT_EQ(c.agent->finish(), 1);
    EXPECT_EQ(c.agent->link.status, LINK_NORMAL);
    EXPECT_EQ(c.peer.link.status, LINK_NORMAL);
    EXPECT_EQ(c.peer.challengeLen, 183u);

    // Storage side to agent: encrypted on the wire, decrypted by the agent.
    const char req[] = "{\"opCode\":\"1\",\"avType\":\"0\",\"FilePath\":\"\\\\\\\\srv\\\\s\\\\f\"}";
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_SCAN_FILE, req, sizeof req), SP_OK);
    EXPECT_NE(0, memcmp(c.peer.link.SendPackage + 32, req, 16));
    MsgLink& a = c.agent->link;
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&a), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(a.RecvBody), req);

    // Agent to storage side.
    const char res[] = "{\"status\": \"0\",\"avType\": \"0\",\"result\": \"0\",\"isTag\": \"\"}";
    ASSERT_EQ(agentMsg_CombinSendingMessage(&a, MSG_SCAN_FILE, res, sizeof res), 1);
    EXPECT_NE(0, memcmp(a.SendPackage + 32, res, 16));
    ASSERT_EQ(agentMsg_DoSend(a.socket, a.SendPackage, a.SendLength), 1);
    agentMsg_ReleaseLink(&a);
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&c.peer.link), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(c.peer.link.RecvBody), res);
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

TEST_F(Handshake, Version16IsVerifiedAndStaysPlain) {
  Conn c(16);
  ASSERT_EQ(sp_Handshake(&c.peer, verificationKey()), SP_OK);
  ASSERT_EQ(c.agent->finish(), 1);
  EXPECT_EQ(c.agent->link.status, LINK_NORMAL);
  EXPECT_EQ(c.peer.link.status, LINK_UNVERIFIED);  // this side never encrypts
  const char req[] = "{\"opCode\":\"0\"}";
  ASSERT_EQ(sp_SendFrame(&c.peer, MSG_ENGINE_STATUS, req, sizeof req), SP_OK);
  EXPECT_EQ(le32(c.peer.link.SendPackage + 4), 16u);
  EXPECT_STREQ(reinterpret_cast<char*>(c.peer.link.SendPackage + 32), req);
  MsgLink& a = c.agent->link;
  ASSERT_EQ(agentMsg_RecvPackage_Compatible(&a), 0);
  EXPECT_EQ(a.RecvHead.Version, 16u);
  EXPECT_STREQ(reinterpret_cast<char*>(a.RecvBody), req);
  ASSERT_EQ(agentMsg_CombinSendingMessage(&a, MSG_ENGINE_STATUS, req, sizeof req), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(a.SendPackage + 32), req);  // plain reply
}

TEST_F(Handshake, ResultFrameIsExactly48Bytes) {
  Conn c(17);
  ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
  uint8_t body[300];
  uint32_t len = 0;
  ASSERT_EQ(sp_BuildAnswer(&c.peer, verificationKey(), body, sizeof body, &len), SP_OK);
  EXPECT_EQ(len, 32u + 128u);
  ASSERT_EQ(sp_SendFrame(&c.peer, MSG_HANDSHAKE_ANSWER, body, len), SP_OK);
  ASSERT_EQ(c.agent->finish(), 1);
  uint8_t raw[64] = {};
  ASSERT_EQ(agentMsg_DoRecv(c.peer.link.socket, raw, 48), 0);
  pollfd pfd{c.peer.link.socket, POLLIN, 0};
  EXPECT_EQ(poll(&pfd, 1, 100), 0);  // nothing behind it
  EXPECT_EQ(le32(raw), AV_BEGIN_TAG);
  EXPECT_EQ(le32(raw + 4), 17u);
  EXPECT_EQ(le32(raw + 8), 2001u);
  EXPECT_EQ(le32(raw + 12), 0u);
  EXPECT_EQ(le32(raw + 16), 100u);
  EXPECT_EQ(le32(raw + 44), AV_END_TAG);
}

TEST_F(Handshake, WrongKeyOrWrongDigestFormIsRefused) {
  {
    uint8_t otherKey[32];
    ASSERT_EQ(sp_DeriveVerificationKey("Another-PreShared-Key!9", otherKey), 1);
    avtest::LogCapture cap;
    Conn c(17);
    EXPECT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
    uint8_t body[300];
    uint32_t len = 0;
    ASSERT_EQ(sp_BuildAnswer(&c.peer, otherKey, body, sizeof body, &len), SP_OK);
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_HANDSHAKE_ANSWER, body, len), SP_OK);
    EXPECT_EQ(c.agent->finish(), 0);
    EXPECT_EQ(c.agent->link.status, LINK_FAULT);
    EXPECT_TRUE(cap.contains("agentMsg_VerifyFirst->Client digestBuf not match", AVLOG_ERR));
    c.agent->closeSocket();
    EXPECT_EQ(sp_RecvResult(&c.peer), SP_REFUSED);
  }
  {
    // A v17 peer sending the v16 form (HMAC over the whole challenge).
    avtest::LogCapture cap;
    Conn c(17);
    ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
    auto d = digestOver(c.peer.challenge, c.peer.challengeLen, verificationKey());
    d.resize(32 + 128, 0x11);
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_HANDSHAKE_ANSWER, d.data(), 160), SP_OK);
    EXPECT_EQ(c.agent->finish(), 0);
    EXPECT_TRUE(cap.contains("agentMsg_VerifyFirst->Client digestBuf not match"));
  }
}

TEST_F(Handshake, MalformedAnswersAreRefused) {
  std::vector<uint8_t> digest(32, 0);
  expectRefused(17, 2002, digest, "agentMsg_VerifyFirst->MessageType or Length FAIL.");
  expectRefused(17, MSG_HANDSHAKE_CHALLENGE, digest,
                "agentMsg_VerifyFirst->MessageType or Length FAIL.");
  // Too short: under 32 bytes, or a v17 answer with no key part.
  expectRefused(16, MSG_HANDSHAKE_ANSWER, std::vector<uint8_t>(31),
                "agentMsg_VerifyFirst->MessageType or Length FAIL.");
  expectRefused(17, MSG_HANDSHAKE_ANSWER, std::vector<uint8_t>(32),
                "agentMsg_VerifyFirst->MessageType or Length FAIL.");
  expectRefused(17, MSG_HANDSHAKE_ANSWER, {}, "agentMsg_VerifyFirst->MessageType or Length FAIL.");
}

TEST_F(Handshake, KeyPartMustDecryptToAtMost64Bytes) {
  {
    // A ciphertext above the modulus can never decrypt.
    avtest::LogCapture cap;
    Conn c(17);
    ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
    auto body = digestOver(c.peer.challenge, AV_CHALLENGE_RANDOM_LEN, verificationKey());
    body.resize(32 + 128, 0xFF);
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_HANDSHAKE_ANSWER, body.data(), 160), SP_OK);
    EXPECT_EQ(c.agent->finish(), 0);
    EXPECT_TRUE(cap.contains("Decrypt rsa data failed(", AVLOG_ERR));
    EXPECT_EQ(c.agent->link.status, LINK_FAULT);
  }
  {
    avtest::LogCapture cap;
    Conn c(17);
    ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
    auto body = digestOver(c.peer.challenge, AV_CHALLENGE_RANDOM_LEN, verificationKey());
    auto ct = rsaEncrypt(c.peer, std::vector<uint8_t>(65, 0x42));
    body.insert(body.end(), ct.begin(), ct.end());
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_HANDSHAKE_ANSWER, body.data(),
                           static_cast<uint32_t>(body.size())),
              SP_OK);
    EXPECT_EQ(c.agent->finish(), 0);
    EXPECT_TRUE(cap.contains("Decrypted key material too long(65).", AVLOG_ERR));
  }
  {
    // Shorter key material is accepted: the unwritten rest of the key is zero.
    Conn c(17);
    ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
    auto body = digestOver(c.peer.challenge, AV_CHALLENGE_RANDOM_LEN, verificationKey());
    auto ct = rsaEncrypt(c.peer, std::vector<uint8_t>(16, 0x42));
    body.insert(body.end(), ct.begin(), ct.end());
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_HANDSHAKE_ANSWER, body.data(),
                           static_cast<uint32_t>(body.size())),
              SP_OK);
    memset(c.peer.keyMaterial, 0, 64);
    memset(c.peer.keyMaterial, 0x42, 16);
    ASSERT_EQ(sp_RecvResult(&c.peer), SP_OK);
    ASSERT_EQ(c.agent->finish(), 1);
    const char req[] = "{\"k\":\"v\"}";
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_SCAN_FILE, req, sizeof req), SP_OK);
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&c.agent->link), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(c.agent->link.RecvBody), req);
  }
}

TEST_F(Handshake, SilentPeerTimesOutTheChallengeWait) {
  avtest::LogCapture cap;
  agentMsg_SetIoWaitMs(150);
  {
    Conn c(17);
    EXPECT_EQ(c.agent->finish(), 0);
    EXPECT_TRUE(cap.contains("agentMsg_VerifyFirst->msg_DoRequest FAIL.", AVLOG_ERR));
  }
  agentMsg_SetIoWaitMs(0);
  EXPECT_EQ(agentMsg_IoWaitMs(), 30000);
}

TEST(HandshakeConcurrency, SamePublicKeyDifferentChallenges) {
  ensureKeyPair();
  constexpr int kPeers = 4;
  std::vector<std::unique_ptr<Conn>> conns;
  for (int i = 0; i < kPeers; ++i) conns.push_back(std::make_unique<Conn>(17));
  std::vector<std::thread> peers;
  std::vector<int> rc(kPeers, -1);
  for (int i = 0; i < kPeers; ++i)
    peers.emplace_back([&, i] { rc[i] = sp_Handshake(&conns[i]->peer, verificationKey()); });
  for (auto& t : peers) t.join();
  for (int i = 0; i < kPeers; ++i) {
    EXPECT_EQ(rc[i], SP_OK) << i;
    EXPECT_EQ(conns[i]->agent->finish(), 1) << i;
    ASSERT_EQ(conns[i]->peer.challengeLen, 183u);
    for (int j = 0; j < i; ++j) {
      EXPECT_EQ(0, memcmp(conns[i]->peer.challenge + 43, conns[j]->peer.challenge + 43, 140));
      EXPECT_NE(0, memcmp(conns[i]->peer.challenge, conns[j]->peer.challenge, 43));
      EXPECT_NE(0, memcmp(conns[i]->peer.keyMaterial, conns[j]->peer.keyMaterial, 32));
    }
  }
}

TEST_F(Handshake, StoragePeerOverLoopbackListeners) {
  int lst = -1;
  ASSERT_EQ(agentMsg_ListenMessageClient(1, &lst, "0", 2), 1);
  sockaddr_in6 a{};
  socklen_t al = sizeof a;
  ASSERT_EQ(getsockname(lst, reinterpret_cast<sockaddr*>(&a), &al), 0);
  const std::string port = std::to_string(ntohs(a.sin6_port));

  MsgLink agent;
  int verified = -1;
  std::thread t([&] {
    agent.socket = accept(lst, nullptr, nullptr);
    verified = ms_VerifyClient(&agent, verificationKey(), 32);
  });
  StoragePeer peer;
  ASSERT_EQ(sp_Connect(&peer, "::1", port.c_str(), 2000), SP_OK);
  EXPECT_EQ(sp_Handshake(&peer, verificationKey()), SP_OK);
  t.join();
  EXPECT_EQ(verified, 1);
  sp_Close(&peer);
  agentMsg_FreeLinkKeys(&agent);
  close(agent.socket);

  // The IPv6 listener does not take IPv4 connections, and a closed port fails.
  StoragePeer other;
  EXPECT_EQ(sp_Connect(&other, "127.0.0.1", port.c_str(), 2000), SP_CONNECT_FAILED);
  close(lst);
  EXPECT_EQ(sp_Connect(&other, "::1", port.c_str(), 2000), SP_CONNECT_FAILED);
}

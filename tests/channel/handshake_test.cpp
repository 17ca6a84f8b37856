// Verification handshake between the agent side (ms_VerifyClient on one end of
// a socket pair) and the storage side (storage_peer, or hand-made answers).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel/crypto.h"
#include "channel/handshake.h"
#include "channel/storage_peer.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

const uint8_t* verificationKey() {
  static uint8_t key[32];
  static bool made = sp_DeriveVerificationKey("Test-PreShared-Key!0123", key) == 1;
  EXPECT_TRUE(made);
  return key;
}

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A socket pair: the storage peer on one end, ms_VerifyClient on its own thread on the other.
struct Conn {
  StoragePeer peer;
  MsgLink link;
  int result = -1;
  std::thread thread;
  explicit Conn(uint32_t version) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    sp_Attach(&peer, sv[0], version);
    link.socket = sv[1];
    thread = std::thread([this] { result = ms_VerifyClient(&link, verificationKey(), 32); });
  }
  int finish() {
    if (thread.joinable()) thread.join();
    return result;
  }
  // The digest answer over the challenge's random part, then the key part.
  std::vector<uint8_t> answer(const std::vector<uint8_t>& keyPart) {
    std::vector<uint8_t> d(32);
    EXPECT_EQ(msg_HmacHash(peer.challenge, AV_CHALLENGE_RANDOM_LEN, verificationKey(), 32, d.data(), 32), 1);
    d.insert(d.end(), keyPart.begin(), keyPart.end());
    return d;
  }
  std::vector<uint8_t> rsaEncrypt(const std::vector<uint8_t>& in) {
    const unsigned char* der = peer.challenge + AV_CHALLENGE_RANDOM_LEN;
    EVP_PKEY* k = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &der, peer.challengeLen - AV_CHALLENGE_RANDOM_LEN);
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
  ~Conn() {
    finish();
    agentMsg_ReleaseLink(&link);
    agentMsg_FreeLinkKeys(&link);
    if (link.socket >= 0) close(link.socket);
    sp_Close(&peer);
  }
};

class Handshake : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool made = [] {
      bool ok = agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()) == 1;
      agentMsg_InitRSALock();
      return ok;
    }();
    ASSERT_TRUE(made);
  }
};

}  // namespace

TEST_F(Handshake, Version17EncryptsLaterFramesVersion16StaysPlain) {
  auto before = avtest::poolFreeCounts();
  for (uint32_t version : {17u, 16u}) {
    SCOPED_TRACE(version);
    const bool enc = version == 17;
    Conn c(version);
    ASSERT_EQ(sp_Handshake(&c.peer, verificationKey()), SP_OK);
    ASSERT_EQ(c.finish(), 1);
    EXPECT_EQ(c.link.status, LINK_NORMAL);
    EXPECT_EQ(c.peer.link.status, enc ? LINK_NORMAL : LINK_UNVERIFIED);  // a v16 side never encrypts
    EXPECT_EQ(c.peer.challengeLen, 183u);  // 43 random + 140 public key (RSA-1024)
    const char req[] = "{\"opCode\":\"1\",\"avType\":\"0\",\"FilePath\":\"\\\\\\\\srv\\\\s\\\\f\"}";
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_SCAN_FILE, req, sizeof req), SP_OK);
    EXPECT_EQ(le32(c.peer.link.SendPackage + 4), version);
    EXPECT_EQ(memcmp(c.peer.link.SendPackage + 32, req, 16) != 0, enc);
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&c.link), 0);
    EXPECT_EQ(c.link.RecvHead.Version, version);
    EXPECT_STREQ(reinterpret_cast<char*>(c.link.RecvBody), req);
    const char res[] = "{\"status\": \"0\",\"avType\": \"0\",\"result\": \"0\",\"isTag\": \"\"}";
    ASSERT_EQ(agentMsg_CombinSendingMessage(&c.link, MSG_SCAN_FILE, res, sizeof res), 1);
    EXPECT_EQ(le32(c.link.SendPackage + 4), 17u);  // the agent's frames always say 17
    EXPECT_EQ(memcmp(c.link.SendPackage + 32, res, 16) != 0, enc);
    ASSERT_EQ(agentMsg_DoSend(c.link.socket, c.link.SendPackage, c.link.SendLength), 1);
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&c.peer.link), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(c.peer.link.RecvBody), res);
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

TEST_F(Handshake, ResultFrameIsExactly48Bytes) {
  Conn c(17);
  ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
  uint8_t body[300];
  uint32_t len = 0;
  ASSERT_EQ(sp_BuildAnswer(&c.peer, verificationKey(), body, sizeof body, &len), SP_OK);
  EXPECT_EQ(len, 32u + 128u);
  ASSERT_EQ(sp_SendFrame(&c.peer, MSG_HANDSHAKE_ANSWER, body, len), SP_OK);
  ASSERT_EQ(c.finish(), 1);
  uint8_t raw[48] = {};
  ASSERT_EQ(agentMsg_DoRecv(c.peer.link.socket, raw, 48), 0);
  pollfd pfd{c.peer.link.socket, POLLIN, 0};
  EXPECT_EQ(poll(&pfd, 1, 100), 0);  // nothing behind it
  const uint32_t head[] = {AV_BEGIN_TAG, 17, 2001, 0, 100};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(le32(raw + 4 * i), head[i]) << "word " << i;
  EXPECT_EQ(le32(raw + 44), AV_END_TAG);
}

TEST_F(Handshake, BadAnswersAreRefusedByClosing) {
  const char* kLength = "agentMsg_VerifyFirst->MessageType or Length FAIL.";
  const char* kDigest = "agentMsg_VerifyFirst->Client digestBuf not match";
  uint8_t otherKey[32];
  ASSERT_EQ(sp_DeriveVerificationKey("Another-PreShared-Key!9", otherKey), 1);
  struct Case {
    const char* name;
    uint32_t version, type;
    std::function<std::vector<uint8_t>(Conn&)> body;
    const char* message;
  } cases[] = {
      {"wrong key", 17, MSG_HANDSHAKE_ANSWER, [&](Conn& c) {
         std::vector<uint8_t> b(300);
         uint32_t len = 0;
         EXPECT_EQ(sp_BuildAnswer(&c.peer, otherKey, b.data(), 300, &len), SP_OK);
         b.resize(len);
         return b; }, kDigest},
      {"type 2002", 17, 2002, [](Conn&) { return std::vector<uint8_t>(32); }, kLength},
      {"v16 short", 16, MSG_HANDSHAKE_ANSWER, [](Conn&) { return std::vector<uint8_t>(31); }, kLength},
      {"key part above the modulus", 17, MSG_HANDSHAKE_ANSWER,
       [](Conn& c) { return c.answer(std::vector<uint8_t>(128, 0xFF)); }, "Decrypt rsa data failed("},
      {"key material of 65 bytes", 17, MSG_HANDSHAKE_ANSWER,
       [](Conn& c) { return c.answer(c.rsaEncrypt(std::vector<uint8_t>(65, 0x42))); },
       "Decrypted key material too long(65)."},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.name);
    avtest::LogCapture cap;
    Conn c(k.version);
    ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
    const std::vector<uint8_t> body = k.body(c);
    ASSERT_EQ(sp_SendFrame(&c.peer, k.type, body.data(), static_cast<uint32_t>(body.size())), SP_OK);
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.link.status, LINK_FAULT);
    EXPECT_TRUE(cap.contains(k.message, AVLOG_ERR)) << k.message;
    close(c.link.socket);  // as the server does: no failure frame, the peer only sees the close
    c.link.socket = -1;
    EXPECT_EQ(sp_RecvResult(&c.peer), SP_REFUSED);
    EXPECT_EQ(c.link.SendPackage, nullptr);
    EXPECT_EQ(c.link.RecvBody, nullptr);
  }
}

TEST_F(Handshake, TricklingAnswerIsDroppedAtTheWholeHandshakeDeadline) {
  // Each byte comes well inside the bound of one wait; only the deadline of
  // the whole handshake can end it.
  const int32_t saved = g_handshakeTimeOut.load();
  g_handshakeTimeOut.store(1000);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  StoragePeer peer;
  sp_Attach(&peer, sv[0], 17);
  MsgLink link;
  link.socket = sv[1];
  std::atomic<int> result{-1};
  const auto t0 = std::chrono::steady_clock::now();
  std::thread agent([&] { result = ms_VerifyClient(&link, verificationKey(), 32); });
  ASSERT_EQ(sp_RecvChallenge(&peer), SP_OK);
  uint8_t body[300];
  uint32_t len = 0;
  ASSERT_EQ(sp_BuildAnswer(&peer, verificationKey(), body, sizeof body, &len), SP_OK);
  ASSERT_EQ(agentMsg_BuildFrame(&peer.link, MSG_HANDSHAKE_ANSWER, body, len, 17, 0), 1);
  for (uint32_t i = 0; i < peer.link.SendLength && result.load() == -1 &&
                       std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3);
       ++i) {
    ASSERT_EQ(send(sv[0], peer.link.SendPackage + i, 1, MSG_NOSIGNAL), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  shutdown(sv[0], SHUT_RDWR);  // ends a handshake the deadline did not
  agent.join();
  g_handshakeTimeOut.store(saved);
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(link.status, LINK_FAULT);
  EXPECT_LT(elapsed, std::chrono::milliseconds(1800));
  agentMsg_ReleaseLink(&link);
  close(sv[1]);
  sp_Close(&peer);
}

class HandshakeConcurrency : public Handshake {};

TEST_F(HandshakeConcurrency, SamePublicKeyDifferentChallenges) {
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
    EXPECT_EQ(conns[i]->finish(), 1) << i;
    ASSERT_EQ(conns[i]->peer.challengeLen, 183u);
    for (int j = 0; j < i; ++j) {
      EXPECT_EQ(0, memcmp(conns[i]->peer.challenge + 43, conns[j]->peer.challenge + 43, 140));
      EXPECT_NE(0, memcmp(conns[i]->peer.challenge, conns[j]->peer.challenge, 43));
      EXPECT_NE(0, memcmp(conns[i]->peer.keyMaterial, conns[j]->peer.keyMaterial, 32));
    }
  }
}

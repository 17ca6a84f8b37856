// Verification handshake: ms_VerifyClient on one end of a socket pair, the
// storage side (storage_peer, or hand-made answers) on the other.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "channel/channel_test.h"
#include "channel/handshake.h"
#include "channel/storage_peer.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "support/test_env.h"

using namespace chtest;
namespace {

const uint8_t* vkey() {
  static uint8_t key[32];
  static bool made = sp_DeriveVerificationKey("Test-PreShared-Key!0123", key) == 1;
  EXPECT_TRUE(made);
  return key;
}
bool quiet(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 50) == 0;
}

struct Conn {
  StoragePeer peer;
  MsgLink link;
  std::atomic<int> result{-1};
  std::thread thread;
  explicit Conn(uint32_t version) {
    int a, b;
    socketPair(&a, &b);
    sp_Attach(&peer, a, version);
    link.socket = b;
    thread = std::thread([this] { result = ms_VerifyClient(&link, vkey(), 32); });
  }
  int finish() {
    if (thread.joinable()) thread.join();
    return result;
  }
  // The digest over the challenge's random part, then the key part as it is
  // or under the agent's RSA key.
  std::vector<uint8_t> answer(std::vector<uint8_t> part, bool encrypt) {
    std::vector<uint8_t> d(32), out(256);
    EXPECT_EQ(msg_HmacHash(peer.challenge, AV_CHALLENGE_RANDOM_LEN, vkey(), 32, d.data(), 32), 1);
    const unsigned char* der = peer.challenge + AV_CHALLENGE_RANDOM_LEN;
    EVP_PKEY* k = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &der, peer.challengeLen - AV_CHALLENGE_RANDOM_LEN);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, k, nullptr);
    size_t n = out.size();
    if (encrypt && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_encrypt(ctx, out.data(), &n, part.data(), part.size()) == 1)
      part.assign(out.begin(), out.begin() + static_cast<long>(n));
    EVP_PKEY_CTX_free(ctx), EVP_PKEY_free(k);
    d.insert(d.end(), part.begin(), part.end());
    return d;
  }
  ~Conn() {
    finish();
    agentMsg_ReleaseLink(&link), agentMsg_FreeLinkKeys(&link);
    close(link.socket);
    sp_Close(&peer);
  }
};

struct Handshake : ::testing::Test {
  static void SetUpTestSuite() {
    static bool made = agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()) == 1;
    agentMsg_InitRSALock();
    ASSERT_TRUE(made);
  }
};

}  // namespace

// From 17 on later frames are encrypted both ways, 16 stays plain; the agent's
// frames say 17, its result frame is exactly 48 bytes; each challenge has its
// own random part before the one public key.
TEST_F(Handshake, Version17EncryptsLaterFramesVersion16StaysPlain) {
  const auto before = avtest::poolFreeCounts();
  std::vector<uint8_t> challenges[3];
  for (uint32_t version : {17u, 18u, 16u}) {
    SCOPED_TRACE(version);
    const bool enc = version >= 17;
    Conn c(version);
    ASSERT_EQ(sp_Handshake(&c.peer, vkey()), SP_OK);
    ASSERT_EQ(c.finish(), 1);
    ASSERT_EQ(c.peer.challengeLen, 183u);  // 43 random + 140 public key (RSA-1024)
    challenges[version - 16].assign(c.peer.challenge, c.peer.challenge + 183);
    EXPECT_TRUE(quiet(c.peer.link.socket));  // nothing behind the 48-byte result
    EXPECT_EQ(c.peer.link.status, enc ? LINK_NORMAL : LINK_UNVERIFIED);
    const char req[] = R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\\s\\f"})";
    ASSERT_EQ(sp_SendFrame(&c.peer, MSG_SCAN_FILE, req, sizeof req), SP_OK);
    EXPECT_EQ(le32(c.peer.link.SendPackage + 4), version);
    EXPECT_EQ(memcmp(c.peer.link.SendPackage + 32, req, 16) != 0, enc);
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&c.link), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(c.link.RecvBody), req);
    const char res[] = R"({"status": "0","avType": "0","result": "0","isTag": ""})";
    ASSERT_EQ(agentMsg_CombinSendingMessage(&c.link, MSG_SCAN_FILE, res, sizeof res), 1);
    EXPECT_EQ(le32(c.link.SendPackage + 4), 17u);
    EXPECT_EQ(memcmp(c.link.SendPackage + 32, res, 16) != 0, enc);
    ASSERT_EQ(agentMsg_DoSend(c.link.socket, c.link.SendPackage, c.link.SendLength), 1);
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&c.peer.link), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(c.peer.link.RecvBody), res);
  }
  EXPECT_EQ(0, memcmp(challenges[0].data() + 43, challenges[1].data() + 43, 140));
  EXPECT_NE(0, memcmp(challenges[0].data(), challenges[1].data(), 43));
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

// Refused by closing, with no failure frame; the link is a fault.
TEST_F(Handshake, BadAnswersAreRefusedByClosing) {
  const char* kLength = "agentMsg_VerifyFirst->MessageType or Length FAIL.";
  uint8_t otherKey[32];
  ASSERT_EQ(sp_DeriveVerificationKey("Another-PreShared-Key!9", otherKey), 1);
  const struct {
    uint32_t version, type;
    std::function<std::vector<uint8_t>(Conn&)> body;
    const char* message;
  } cases[] = {
      {17, MSG_HANDSHAKE_ANSWER, [&](Conn& c) {
         std::vector<uint8_t> b(300);
         uint32_t len = 0;
         EXPECT_EQ(sp_BuildAnswer(&c.peer, otherKey, b.data(), 300, &len), SP_OK);
         return b.resize(len), b; }, "agentMsg_VerifyFirst->Client digestBuf not match"},
      {17, 2002, [](Conn&) { return std::vector<uint8_t>(32); }, kLength},
      {16, MSG_HANDSHAKE_ANSWER, [](Conn&) { return std::vector<uint8_t>(31); }, kLength},
      {17, MSG_HANDSHAKE_ANSWER, [](Conn& c) { return c.answer(std::vector<uint8_t>(128, 0xFF), false); },
       "Decrypt rsa data failed("},  // above the modulus
      {17, MSG_HANDSHAKE_ANSWER, [](Conn& c) { return c.answer(std::vector<uint8_t>(65, 0x42), true); },
       "Decrypted key material too long(65)."},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.message);
    avtest::LogCapture cap;
    Conn c(k.version);
    ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
    const std::vector<uint8_t> body = k.body(c);
    ASSERT_EQ(sp_SendFrame(&c.peer, k.type, body.data(), static_cast<uint32_t>(body.size())), SP_OK);
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.link.status, LINK_FAULT);
    EXPECT_TRUE(cap.contains(k.message, AVLOG_ERR));
    EXPECT_TRUE(quiet(c.peer.link.socket));  // nothing sent back
    EXPECT_TRUE(c.link.SendPackage == nullptr && c.link.RecvBody == nullptr);
  }
}

// Each byte comes well inside one wait; only the whole-handshake deadline ends it.
TEST_F(Handshake, TricklingAnswerIsDroppedAtTheWholeHandshakeDeadline) {
  const int32_t saved = g_handshakeTimeOut.exchange(1000);
  Conn c(17);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(sp_RecvChallenge(&c.peer), SP_OK);
  uint8_t body[300];
  uint32_t len = 0;
  ASSERT_EQ(sp_BuildAnswer(&c.peer, vkey(), body, sizeof body, &len), SP_OK);
  ASSERT_EQ(agentMsg_BuildFrame(&c.peer.link, MSG_HANDSHAKE_ANSWER, body, len, 17, 0), 1);
  for (uint32_t i = 0; i < c.peer.link.SendLength && c.result.load() == -1 &&
                       std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3); ++i) {
    ASSERT_EQ(send(c.peer.link.socket, c.peer.link.SendPackage + i, 1, MSG_NOSIGNAL), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  shutdown(c.peer.link.socket, SHUT_RDWR);  // ends a handshake the deadline did not
  EXPECT_EQ(c.finish(), 0);
  g_handshakeTimeOut.store(saved);
  EXPECT_LT(elapsed, std::chrono::milliseconds(1800));
}

// The message server in this process on an ephemeral port, driven by the storage-side peer:
// the handshake by version and its refusals, answers by type, the flow limit at its edge,
// deadlines, bans, and pool blocks back after every kind of ending.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <vector>
#include <thread>

#include "channel/handshake.h"
#include "channel/message_server.h"
#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "support/agent_process.h"
#include "support/test_env.h"

namespace {

constexpr const char* kPsk = "Server-Test#Key-2026";
const char kStatusJob[] = R"({"opCode":"0","avType":"0","message":"no-such-proc","vendorName":"NoVendor"})";
const char kScanJob[] = R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\missing.txt"})";
int g_port = 0;
uint8_t g_vkey[32];

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }
bool waitIdle() {
  for (int i = 0; i < 2000 && ms_ConnectionCount() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return ms_ConnectionCount() == 0;
}
bool connect(StoragePeer* p, const uint8_t* key = g_vkey, const char* host = "127.0.0.1") {
  return sp_Connect(p, host, std::to_string(g_port).c_str(), 5000) == SP_OK &&
         (!key || sp_Handshake(p, key) == SP_OK);
}
int request(StoragePeer* p, uint32_t type, const char* json) {
  return sp_Request(p, type, json, static_cast<uint32_t>(std::strlen(json) + 1));
}
bool closedByAgent(int sock, int waitMs = 5000) {
  pollfd p{sock, POLLIN, 0};
  char c;
  return poll(&p, 1, waitMs) == 1 && recv(sock, &c, 1, 0) <= 0;
}
// The digest over the challenge's random part, then the key part as it is or
// under the agent's RSA key.
std::vector<uint8_t> answer(const StoragePeer& peer, std::vector<uint8_t> part, bool encrypt) {
  std::vector<uint8_t> d(32), out(256);
  EXPECT_EQ(msg_HmacHash(peer.challenge, AV_CHALLENGE_RANDOM_LEN, g_vkey, 32, d.data(), 32), 1);
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
// Sends bytes one by one, each well inside one wait; true when the agent closed
// within the 1000 ms deadline the test set (the loop gives up after 3 s).
bool closedWhileTrickling(int sock, const uint8_t* bytes, size_t n) {
  const auto t0 = std::chrono::steady_clock::now();
  bool closed = false;
  for (size_t i = 0; i < n && !closed && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3); ++i)
    closed = send(sock, bytes + i, 1, MSG_NOSIGNAL) != 1 || closedByAgent(sock, 150);
  return closed && std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(1800);
}
const uint8_t* wrongKey() {
  static uint8_t k[32];
  EXPECT_EQ(sp_DeriveVerificationKey("Another#Key-0000", k), 1);
  return k;
}

struct MessageServerTest : ::testing::Test {
  static void SetUpTestSuite() {
    g_flowJobsNo.store(100);  // ctest runs each test alone: no earlier test's TearDown set it
    if (g_port) return;
    if (!agentMsg_ServerRSAInfo()->key) {
      ASSERT_EQ(agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()), 1);
      agentMsg_InitRSALock();
    }
    uint8_t key[32];
    ASSERT_EQ(deriveSharedKey(kPsk, key), 0);
    const int port = avtest::freeTcpPort();
    ASSERT_EQ(ms_CreateMessageServerThread(key, std::to_string(port).c_str(), 100), 1);
    ASSERT_EQ(sp_DeriveVerificationKey(kPsk, g_vkey), 1);
    g_port = port;
  }
  void SetUp() override { ASSERT_NE(g_port, 0); }
  void TearDown() override {
    g_flowJobsNo.store(100), g_handshakeFailLimit.store(20), g_handshakeBanTime.store(60), g_handshakeTimeOut.store(30000);
    ms_ResetPeerGuardForTest(), agentMsg_SetIoWaitMs(0), ms_SetRequestWaitMsForTest(0);
    EXPECT_TRUE(waitIdle());
  }
};

}  // namespace

// From 17 on frames after the handshake are encrypted both ways, 16 stays plain;
// the agent's frames say 17. Every challenge has its own random part before the
// one public key. 2015 is unknown; 2000 and 2001 are unsupported once verified.
TEST_F(MessageServerTest, HandshakeVersionDecidesEncryptionAndAnswersByType) {
  std::vector<uint8_t> challenges[3];
  for (uint32_t version : {16u, 17u, 18u}) {
    SCOPED_TRACE(version);
    StoragePeer peer;
    ASSERT_TRUE(connect(&peer, nullptr));
    peer.version = version;
    uint8_t raw[48], answer[300];
    uint32_t len = 0;
    auto peek = [&] { return recv(peer.link.socket, raw, sizeof raw, MSG_PEEK | MSG_WAITALL) == 48; };
    ASSERT_EQ(sp_RecvChallenge(&peer), SP_OK);
    ASSERT_EQ(sp_BuildAnswer(&peer, g_vkey, answer, sizeof answer, &len), SP_OK);
    ASSERT_EQ(sp_SendFrame(&peer, MSG_HANDSHAKE_ANSWER, answer, len), SP_OK);
    ASSERT_TRUE(peek());
    EXPECT_EQ(le32(raw + 4), 17u);  // the 2001 result says 17 too
    ASSERT_EQ(sp_RecvResult(&peer), SP_OK);
    ASSERT_EQ(peer.challengeLen, 183u);  // 43 random + 140 public key (RSA-1024)
    challenges[version - 16].assign(peer.challenge, peer.challenge + 183);
    for (uint32_t type : {2015u, 2000u, 2001u}) {
      ASSERT_EQ(request(&peer, type, "{}"), SP_OK);
      const MsgHeader want = {AV_BEGIN_TAG, AV_PROTOCOL_VERSION, type, 0, RET_NOT_SUPPORTED, {}};
      EXPECT_EQ(std::memcmp(&peer.link.RecvHead, &want, sizeof want), 0) << type;
    }
    agentMsg_ReleaseLink(&peer.link);
    ASSERT_EQ(sp_SendFrame(&peer, MSG_ENGINE_STATUS, kStatusJob, sizeof kStatusJob), SP_OK);
    ASSERT_TRUE(peek());
    EXPECT_EQ(std::memcmp(raw + 32, R"({"status")", 9) != 0, version >= 17) << "encrypted on the wire";
    EXPECT_EQ(le32(raw + 4), 17u);
    ASSERT_EQ(agentMsg_RecvPackage_Awaited(&peer.link), 0);
    EXPECT_EQ(peer.link.RecvHead.ReturnStatus, RET_OK);
    const char* body = reinterpret_cast<const char*>(peer.link.RecvBody);
    EXPECT_EQ(peer.link.RecvHead.Length, std::strlen(body) + 1);  // the NUL is sent and counted
    EXPECT_EQ(std::string(body).rfind(R"({"status": "1","avType": "0")", 0), 0u) << body;
    sp_Close(&peer);
  }
  EXPECT_EQ(0, memcmp(challenges[0].data() + 43, challenges[1].data() + 43, 140));
  EXPECT_NE(0, memcmp(challenges[0].data(), challenges[1].data(), 43));
}

// Refused by closing, with no failure frame.
TEST_F(MessageServerTest, BadHandshakeAnswersAreRefusedByClosing) {
  const char* kLength = "agentMsg_VerifyFirst->MessageType or Length FAIL.";
  const struct {
    uint32_t version, type;
    std::function<std::vector<uint8_t>(StoragePeer&)> body;
    const char* message;
  } cases[] = {
      {17, MSG_HANDSHAKE_ANSWER, [](StoragePeer& p) {
         std::vector<uint8_t> b(300);
         uint32_t len = 0;
         EXPECT_EQ(sp_BuildAnswer(&p, wrongKey(), b.data(), 300, &len), SP_OK);
         b.resize(len);
         return b; }, "agentMsg_VerifyFirst->Client digestBuf not match"},
      {17, 2002, [](StoragePeer&) { return std::vector<uint8_t>(32); }, kLength},
      {16, MSG_HANDSHAKE_ANSWER, [](StoragePeer&) { return std::vector<uint8_t>(31); }, kLength},
      {17, MSG_HANDSHAKE_ANSWER, [](StoragePeer&) { return std::vector<uint8_t>(32); }, kLength},  // no key part
      {17, MSG_HANDSHAKE_ANSWER, [](StoragePeer& p) { auto b = answer(p, std::vector<uint8_t>(32, 0x42), true);
         b[31] ^= 1;  // the digest's last byte counts too
         return b; }, "agentMsg_VerifyFirst->Client digestBuf not match"},
      {17, MSG_HANDSHAKE_ANSWER, [](StoragePeer& p) { return answer(p, std::vector<uint8_t>(128, 0xFF), false); },
       "Decrypt rsa data failed("},  // above the modulus
      {17, MSG_HANDSHAKE_ANSWER, [](StoragePeer& p) { return answer(p, std::vector<uint8_t>(65, 0x42), true); },
       "Decrypted key material too long(65)."},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.message);
    avtest::LogCapture cap;
    StoragePeer p;
    ASSERT_TRUE(connect(&p, nullptr));
    p.version = k.version;
    ASSERT_EQ(sp_RecvChallenge(&p), SP_OK);
    const std::vector<uint8_t> body = k.body(p);
    ASSERT_EQ(sp_SendFrame(&p, k.type, body.data(), static_cast<uint32_t>(body.size())), SP_OK);
    EXPECT_TRUE(closedByAgent(p.link.socket));  // closed, nothing sent back
    sp_Close(&p);
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(cap.contains(k.message, AVLOG_ERR));
  }
}

// Each byte comes well inside one wait; the deadline of the whole handshake,
// and of a whole request frame, ends it.
TEST_F(MessageServerTest, TricklingHandshakeAndRequestAreDroppedAtTheirDeadlines) {
  g_handshakeTimeOut.store(1000);
  StoragePeer hs, peer;
  ASSERT_TRUE(connect(&hs, nullptr));
  ASSERT_EQ(sp_RecvChallenge(&hs), SP_OK);
  uint8_t body[300];
  uint32_t len = 0;
  ASSERT_EQ(sp_BuildAnswer(&hs, g_vkey, body, sizeof body, &len), SP_OK);
  ASSERT_EQ(agentMsg_BuildFrame(&hs.link, MSG_HANDSHAKE_ANSWER, body, len, 17, 0), 1);
  EXPECT_TRUE(closedWhileTrickling(hs.link.socket, hs.link.SendPackage, hs.link.SendLength));
  g_handshakeTimeOut.store(30000);
  ASSERT_TRUE(connect(&peer));
  agentMsg_SetIoWaitMs(1000);
  const uint32_t head[8] = {AV_BEGIN_TAG, 17, MSG_ENGINE_STATUS, 64};
  EXPECT_TRUE(closedWhileTrickling(peer.link.socket, reinterpret_cast<const uint8_t*>(head), sizeof head));
  sp_Close(&hs), sp_Close(&peer);
}

// The limit counts the requesting connection, spares status jobs and is read
// at every request.
TEST_F(MessageServerTest, FlowLimitAtItsEdge) {
  StoragePeer a, b;
  g_flowJobsNo.store(1);
  ASSERT_TRUE(connect(&a));
  ASSERT_EQ(request(&a, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
  EXPECT_EQ(request(&a, MSG_SCAN_FILE, kScanJob), SP_CLOSED);
  sp_Close(&a);
  ASSERT_TRUE(waitIdle());
  g_flowJobsNo.store(2);
  ASSERT_TRUE(connect(&a));
  ASSERT_EQ(request(&a, MSG_SCAN_FILE, kScanJob), SP_OK);
  EXPECT_EQ(a.link.RecvHead.ReturnStatus, RET_OK);
  ASSERT_TRUE(connect(&b));
  EXPECT_EQ(request(&b, MSG_SCAN_FILE, kScanJob), SP_CLOSED);
  g_flowJobsNo.store(3);
  EXPECT_EQ(request(&a, MSG_SCAN_FILE, kScanJob), SP_OK);
  sp_Close(&a), sp_Close(&b);
}

TEST_F(MessageServerTest, PoolIsWholeAfterConnectionsEndedEveryWay) {
  avtest::DebugLevel dbg;
  avtest::LogCapture capture;
  ms_SetRequestWaitMsForTest(300);
  auto sendWords = [](StoragePeer& p, std::vector<uint32_t> words, size_t size) {
    words.resize(size / 4, 0);
    return connect(&p) && send(p.link.socket, words.data(), size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  };
  const std::vector<std::function<void(StoragePeer&)>> endings = {
      [](StoragePeer& p) {  // good requests, then the peer closes
        ASSERT_TRUE(connect(&p));
        for (uint32_t type : {uint32_t{MSG_SCAN_FILE}, uint32_t{MSG_ENGINE_STATUS}, 2015u})
          ASSERT_EQ(request(&p, type, type == MSG_SCAN_FILE ? kScanJob : kStatusJob), SP_OK);
      },
      [](StoragePeer& p) {  // idle: the agent closes after the request wait
        ASSERT_TRUE(connect(&p));
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(closedByAgent(p.link.socket));
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
      },
      [&](StoragePeer& p) {  // begin tag in the other byte order
        EXPECT_TRUE(sendWords(p, {0x98BADCFE, 17, 2010, 0}, 48) && closedByAgent(p.link.socket));
      },
      [](StoragePeer& p) { EXPECT_TRUE(connect(&p, nullptr) && sp_Handshake(&p, wrongKey()) == SP_REFUSED); },
      [&](StoragePeer& p) { EXPECT_TRUE(sendWords(p, {AV_BEGIN_TAG, 17, 2010, 40}, 16)); },  // closed mid-frame
      [](StoragePeer& p) {  // scan refused by the flow limit
        g_flowJobsNo.store(0);
        EXPECT_TRUE(connect(&p) && request(&p, MSG_SCAN_FILE, kScanJob) == SP_CLOSED);
        g_flowJobsNo.store(100);
      },
      [](StoragePeer& p) { EXPECT_TRUE(connect(&p, nullptr) && sp_RecvChallenge(&p) == SP_OK); },  // closed in the handshake
  };
  std::vector<uint32_t> before;
  uint32_t seq = 0;
  for (int round = 0; round < 3; ++round) {  // the first round warms up what is made once
    if (round == 1) before = avtest::poolFreeCounts(), seq = ms_ConnectionSequence();
    for (size_t i = 0; i < endings.size(); ++i) {
      StoragePeer peer;
      endings[i](peer);
      sp_Close(&peer);
    }
    ASSERT_TRUE(waitIdle());
  }
  EXPECT_EQ(ms_ConnectionSequence(), seq + 2 * endings.size());
  EXPECT_EQ(avtest::poolFreeCounts(), before);
  EXPECT_TRUE(capture.contains("msg_Waiting socket error", AVLOG_DBG));
}

// Closed at accept while banned: no challenge, no connection thread; another
// address is served meanwhile, and the address again once the ban ends.
TEST_F(MessageServerTest, RepeatedFailedHandshakesBanOneAddressForTheBanTime) {
  avtest::LogCapture capture;
  g_handshakeFailLimit.store(3);
  g_handshakeBanTime.store(1);
  uint32_t seq = 0;
  for (int i = 0; i < 5; ++i) {
    StoragePeer p;
    ASSERT_TRUE(connect(&p, nullptr));
    EXPECT_TRUE(i < 3 ? sp_Handshake(&p, wrongKey()) == SP_REFUSED : closedByAgent(p.link.socket));
    sp_Close(&p);
    if (i == 2) waitIdle(), seq = ms_ConnectionSequence();
  }
  EXPECT_EQ(ms_ConnectionSequence(), seq);
  EXPECT_EQ(capture.count("Peer 127.0.0.1 failed 3 handshakes within 60 s; its connections are refused for 1 s."), 1u);
  EXPECT_EQ(capture.count("ms_VerifyClient FAIL"), 3u);  // the banned ones were not served at all
  StoragePeer other, again;
  EXPECT_TRUE(connect(&other, g_vkey, "::1"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(connect(&again));
  sp_Close(&other), sp_Close(&again);
}

class MessageServerConcurrency : public MessageServerTest {};

TEST_F(MessageServerConcurrency, ManyPeersAtOnceAreAllServed) {
  constexpr int kPeers = 12;
  std::vector<std::thread> threads;
  std::vector<int> served(kPeers, 0);
  for (int i = 0; i < kPeers; ++i)
    threads.emplace_back([i, &served] {
      StoragePeer peer;
      for (int r = 0; r < 3 && (r > 0 || connect(&peer)); ++r) {
        const bool scan = (i + r) % 2 == 0;
        served[i] += request(&peer, scan ? MSG_SCAN_FILE : MSG_ENGINE_STATUS, scan ? kScanJob : kStatusJob) == SP_OK &&
                     peer.link.RecvHead.ReturnStatus == RET_OK;
      }
      sp_Close(&peer);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(served, std::vector<int>(kPeers, 3));
}

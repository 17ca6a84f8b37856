// The message server run in this process on an ephemeral port, driven by the
// storage-side peer: answers by type, the flow limit at its edge, the idle
// time-out, draining, and that every way a connection ends gives back what it
// took from the pool.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channel/handshake.h"
#include "channel/message_server.h"
#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "support/agent_process.h"
#include "support/test_env.h"

namespace {

constexpr const char* kPresharedKey = "Server-Test#Key-2026";
const char kStatusJob[] = R"({"opCode":"0","avType":"0","message":"no-such-proc","vendorName":"NoVendor"})";
const char kScanJob[] = R"({"opCode":"1","avType":"0","FilePath":"\\\\srv\\share\\missing.txt"})";

class MessageServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (port_ != 0) return;
    if (!agentMsg_ServerRSAInfo()->key) {
      ASSERT_EQ(agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()), 1);
      agentMsg_InitRSALock();
    }
    uint8_t key[32];
    ASSERT_EQ(deriveSharedKey(kPresharedKey, key), 0);
    int port = avtest::freeTcpPort();
    ASSERT_GT(port, 0);
    ASSERT_EQ(ms_CreateMessageServerThread(key, std::to_string(port).c_str(), 100), 1);
    port_ = port;
    ASSERT_EQ(sp_DeriveVerificationKey(kPresharedKey, verifyKey_), 1);
  }

  void SetUp() override {
    ASSERT_NE(port_, 0);
    savedFlow_ = g_flowJobsNo.load();
    g_flowJobsNo.store(100);
    ASSERT_TRUE(waitIdle());
  }
  void TearDown() override {
    g_flowJobsNo.store(savedFlow_);
    ms_SetRequestWaitMsForTest(0);
    EXPECT_TRUE(waitIdle());
  }

  // Every connection of the server released.
  static bool waitIdle(int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ms_ConnectionCount() != 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  static bool connect(StoragePeer* peer, const char* host = "127.0.0.1") {
    return sp_Connect(peer, host, std::to_string(port_).c_str(), 5000) == SP_OK;
  }

  static bool connectVerified(StoragePeer* peer) {
    return connect(peer) && sp_Handshake(peer, verifyKey_) == SP_OK;
  }

  static int request(StoragePeer* peer, uint32_t type, const char* json) {
    return sp_Request(peer, type, json, static_cast<uint32_t>(std::strlen(json) + 1));
  }

  // True when the agent closed the socket (EOF) within timeoutMs.
  static bool closedByAgent(int sock, int timeoutMs = 5000) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return false;
    char c;
    return recv(sock, &c, 1, 0) <= 0;
  }

  static int port_;
  static uint8_t verifyKey_[32];
  int32_t savedFlow_ = 0;
};

int MessageServerTest::port_ = 0;
uint8_t MessageServerTest::verifyKey_[32] = {};

TEST_F(MessageServerTest, UnsupportedTypesGet203AndTheConnectionServesOn) {
  StoragePeer peer;
  ASSERT_TRUE(connectVerified(&peer));
  // 2015 is unknown; 2000 and 2001 are handshake types, unsupported once verified.
  for (uint32_t type : {2015u, 2000u, 2001u}) {
    ASSERT_EQ(request(&peer, type, "{}"), SP_OK) << type;
    EXPECT_EQ(peer.link.RecvHead.MessageType, type);
    EXPECT_EQ(peer.link.RecvHead.ReturnStatus, RET_NOT_SUPPORTED);
    EXPECT_EQ(peer.link.RecvHead.Length, 0u);
    EXPECT_EQ(peer.link.RecvHead.Version, AV_PROTOCOL_VERSION);
  }
  ASSERT_EQ(request(&peer, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
  EXPECT_EQ(peer.link.RecvHead.ReturnStatus, RET_OK);
  const char* body = reinterpret_cast<const char*>(peer.link.RecvBody);
  // The NUL is sent and counted.
  EXPECT_EQ(peer.link.RecvHead.Length, std::strlen(body) + 1);
  EXPECT_EQ(std::string(body).rfind("{\"status\": \"1\",\"avType\": \"0\"", 0), 0u) << body;
  sp_Close(&peer);
}

TEST_F(MessageServerTest, ServesIPv6Peers) {
  StoragePeer peer;
  ASSERT_TRUE(connect(&peer, "::1"));
  ASSERT_EQ(sp_Handshake(&peer, verifyKey_), SP_OK);
  ASSERT_EQ(request(&peer, MSG_SCAN_FILE, kScanJob), SP_OK);
  EXPECT_EQ(peer.link.RecvHead.ReturnStatus, RET_OK);
  const std::string body = reinterpret_cast<const char*>(peer.link.RecvBody);
  EXPECT_EQ(body.rfind("{\"status\": \"0\",\"avType\": \"0\",\"result\": \"", 0), 0u) << body;
  sp_Close(&peer);
}

TEST_F(MessageServerTest, IndexesFollowTheSequenceAndAreNeverReused) {
  avtest::DebugLevel dbg;
  avtest::LogCapture capture;
  const uint32_t first = ms_ConnectionSequence();
  for (int i = 0; i < 3; ++i) {
    StoragePeer peer;
    ASSERT_TRUE(connectVerified(&peer));
    sp_Close(&peer);
    ASSERT_TRUE(waitIdle());
  }
  EXPECT_EQ(ms_ConnectionSequence(), first + 3);
  for (uint32_t idx = first + 1; idx <= first + 3; ++idx) {
    EXPECT_EQ(capture.count("new connection join, index = " + std::to_string(idx)), 1u);
    EXPECT_EQ(capture.count("connection exit, index = " + std::to_string(idx)), 1u);
    EXPECT_EQ(capture.count("socket (" + std::to_string(idx) + ") released"), 1u);
  }
}

TEST_F(MessageServerTest, FlowLimitCountsTheRequesterAndSparesStatusJobs) {
  avtest::DebugLevel dbg;
  avtest::LogCapture capture;
  // Limit 1: the requesting connection alone reaches it.
  g_flowJobsNo.store(1);
  StoragePeer scan;
  ASSERT_TRUE(connectVerified(&scan));
  EXPECT_EQ(request(&scan, MSG_SCAN_FILE, kScanJob), SP_CLOSED);
  EXPECT_TRUE(capture.contains("Connect too many, close it.", AVLOG_DBG));
  sp_Close(&scan);
  StoragePeer status;
  ASSERT_TRUE(connectVerified(&status));
  ASSERT_EQ(request(&status, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
  EXPECT_EQ(status.link.RecvHead.ReturnStatus, RET_OK);
  sp_Close(&status);
  ASSERT_TRUE(waitIdle());

  // Limit 2: served with one connection registered, refused with two.
  g_flowJobsNo.store(2);
  StoragePeer alone;
  ASSERT_TRUE(connectVerified(&alone));
  ASSERT_EQ(request(&alone, MSG_SCAN_FILE, kScanJob), SP_OK);
  EXPECT_EQ(alone.link.RecvHead.ReturnStatus, RET_OK);
  StoragePeer second;
  ASSERT_TRUE(connectVerified(&second));
  EXPECT_EQ(request(&second, MSG_SCAN_FILE, kScanJob), SP_CLOSED);
  sp_Close(&second);
  // The limit is read at every request: raising it serves the same connection.
  g_flowJobsNo.store(3);
  ASSERT_EQ(request(&alone, MSG_SCAN_FILE, kScanJob), SP_OK);
  EXPECT_EQ(alone.link.RecvHead.ReturnStatus, RET_OK);
  sp_Close(&alone);
}

TEST_F(MessageServerTest, SilentConnectionIsClosedAfterTheRequestWait) {
  avtest::DebugLevel dbg;
  avtest::LogCapture capture;
  ms_SetRequestWaitMsForTest(300);
  StoragePeer peer;
  ASSERT_TRUE(connectVerified(&peer));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(closedByAgent(peer.link.socket));
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  sp_Close(&peer);
  ASSERT_TRUE(waitIdle());
  EXPECT_TRUE(capture.contains("msg_Waiting socket error", AVLOG_DBG));
}

TEST_F(MessageServerTest, BytesBehindAFrameAreDiscarded) {
  StoragePeer peer;
  ASSERT_TRUE(connectVerified(&peer));
  ASSERT_EQ(agentMsg_BuildFrame(&peer.link, 2015, "{}", 3, AV_PROTOCOL_VERSION, 1), 1);
  std::vector<uint8_t> burst(peer.link.SendPackage, peer.link.SendPackage + peer.link.SendLength);
  burst.insert(burst.end(), 300, 0x5A);
  ASSERT_EQ(send(peer.link.socket, burst.data(), burst.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(burst.size()));
  ASSERT_EQ(agentMsg_RecvPackage_Compatible(&peer.link), 0);
  EXPECT_EQ(peer.link.RecvHead.ReturnStatus, RET_NOT_SUPPORTED);
  // The garbage was not taken as the next request.
  ASSERT_EQ(request(&peer, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
  EXPECT_EQ(peer.link.RecvHead.ReturnStatus, RET_OK);
  sp_Close(&peer);
}

// Each way a connection can end, once; the pool must be back where it was.
void runEveryEnding(uint16_t port, const uint8_t verifyKey[32]) {
  const std::string portText = std::to_string(port);
  {  // good: requests, then the peer closes
    StoragePeer peer;
    ASSERT_EQ(sp_Connect(&peer, "127.0.0.1", portText.c_str(), 5000), SP_OK);
    ASSERT_EQ(sp_Handshake(&peer, verifyKey), SP_OK);
    ASSERT_EQ(sp_Request(&peer, MSG_SCAN_FILE, kScanJob, sizeof(kScanJob)), SP_OK);
    ASSERT_EQ(sp_Request(&peer, MSG_ENGINE_STATUS, kStatusJob, sizeof(kStatusJob)), SP_OK);
    ASSERT_EQ(sp_Request(&peer, 2015, "{}", 3), SP_OK);
    sp_Close(&peer);
  }
  {  // idle: the agent closes after the request wait
    StoragePeer peer;
    ASSERT_EQ(sp_Connect(&peer, "127.0.0.1", portText.c_str(), 5000), SP_OK);
    ASSERT_EQ(sp_Handshake(&peer, verifyKey), SP_OK);
    pollfd p{peer.link.socket, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    sp_Close(&peer);
  }
  {  // bad frame: begin tag in the other byte order
    StoragePeer peer;
    ASSERT_EQ(sp_Connect(&peer, "127.0.0.1", portText.c_str(), 5000), SP_OK);
    ASSERT_EQ(sp_Handshake(&peer, verifyKey), SP_OK);
    uint8_t frame[48] = {};
    const uint32_t words[4] = {0x98BADCFE, 17, 2010, 0};
    std::memcpy(frame, words, sizeof(words));
    ASSERT_EQ(send(peer.link.socket, frame, sizeof(frame), MSG_NOSIGNAL), 48);
    pollfd p{peer.link.socket, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    sp_Close(&peer);
  }
  {  // failed handshake: another pre-shared key
    StoragePeer peer;
    uint8_t wrong[32];
    ASSERT_EQ(sp_DeriveVerificationKey("Another#Key-0000", wrong), 1);
    ASSERT_EQ(sp_Connect(&peer, "127.0.0.1", portText.c_str(), 5000), SP_OK);
    EXPECT_EQ(sp_Handshake(&peer, wrong), SP_REFUSED);
    sp_Close(&peer);
  }
  {  // peer closes in the middle of a frame
    StoragePeer peer;
    ASSERT_EQ(sp_Connect(&peer, "127.0.0.1", portText.c_str(), 5000), SP_OK);
    ASSERT_EQ(sp_Handshake(&peer, verifyKey), SP_OK);
    const uint32_t words[4] = {AV_BEGIN_TAG, 17, 2010, 40};
    ASSERT_EQ(send(peer.link.socket, words, sizeof(words), MSG_NOSIGNAL), 16);
    sp_Close(&peer);
  }
  {  // scan refused by the flow limit: the request is held when the connection ends
    const int32_t flow = g_flowJobsNo.load();
    g_flowJobsNo.store(0);
    StoragePeer peer;
    ASSERT_EQ(sp_Connect(&peer, "127.0.0.1", portText.c_str(), 5000), SP_OK);
    ASSERT_EQ(sp_Handshake(&peer, verifyKey), SP_OK);
    EXPECT_EQ(sp_Request(&peer, MSG_SCAN_FILE, kScanJob, sizeof(kScanJob)), SP_CLOSED);
    g_flowJobsNo.store(flow);
    sp_Close(&peer);
  }
  {  // peer closes during the handshake
    StoragePeer peer;
    ASSERT_EQ(sp_Connect(&peer, "127.0.0.1", portText.c_str(), 5000), SP_OK);
    ASSERT_EQ(sp_RecvChallenge(&peer), SP_OK);
    sp_Close(&peer);
  }
}

TEST_F(MessageServerTest, PoolIsWholeAfterConnectionsEndedEveryWay) {
  ms_SetRequestWaitMsForTest(200);
  // A first round warms up whatever is made once per process.
  runEveryEnding(static_cast<uint16_t>(port_), verifyKey_);
  ASSERT_TRUE(waitIdle());
  const auto before = avtest::poolFreeCounts();
  const uint32_t seq = ms_ConnectionSequence();
  for (int round = 0; round < 2; ++round) {
    runEveryEnding(static_cast<uint16_t>(port_), verifyKey_);
    ASSERT_TRUE(waitIdle());
  }
  EXPECT_EQ(ms_ConnectionSequence(), seq + 14);
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}

TEST_F(MessageServerTest, StartRefusesASharedKeyWithoutBytes) {
  avtest::LogCapture capture;
  uint8_t empty[32] = {};
  // Same limit as the running server: a refused start must leave it serving.
  EXPECT_EQ(ms_CreateMessageServerThread(empty, "0", 100), 0);
  EXPECT_TRUE(capture.contains("msg_HaskKey FAIL", AVLOG_ERR));
  EXPECT_TRUE(capture.contains("ms_InitMessageClient FAIL", AVLOG_ERR));
  StoragePeer peer;
  ASSERT_TRUE(connectVerified(&peer));
  sp_Close(&peer);
}

class MessageServerConcurrency : public MessageServerTest {};

TEST_F(MessageServerConcurrency, ManyPeersAtOnceAreAllServed) {
  constexpr int kPeers = 12;
  const uint32_t seq = ms_ConnectionSequence();
  std::vector<std::thread> threads;
  std::vector<int> served(kPeers, 0);
  for (int i = 0; i < kPeers; ++i)
    threads.emplace_back([i, &served] {
      StoragePeer peer;
      if (!connectVerified(&peer)) return;
      int ok = 0;
      for (int r = 0; r < 3; ++r) {
        const bool scan = (i + r) % 2 == 0;
        int rc = scan ? request(&peer, MSG_SCAN_FILE, kScanJob)
                      : request(&peer, MSG_ENGINE_STATUS, kStatusJob);
        if (rc == SP_OK && peer.link.RecvHead.ReturnStatus == RET_OK) ++ok;
      }
      served[i] = ok;
      sp_Close(&peer);
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kPeers; ++i) EXPECT_EQ(served[i], 3) << "peer " << i;
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ(ms_ConnectionSequence(), seq + kPeers);
}

}  // namespace

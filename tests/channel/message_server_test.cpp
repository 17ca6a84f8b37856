// The message server in this process on an ephemeral port, driven by the storage-side peer:
// answers by type, the flow limit at its edge, pool blocks back after every kind of ending.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
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
    g_handshakeFailLimit.store(20);
    g_handshakeBanTime.store(60);
    ms_ResetPeerGuardForTest();
    agentMsg_SetIoWaitMs(0);
    ms_SetRequestWaitMsForTest(0);
    EXPECT_TRUE(waitIdle());
  }
  static bool waitIdle() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ms_ConnectionCount() != 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  static bool connect(StoragePeer* peer, bool verify = true, const char* host = "127.0.0.1") {
    return sp_Connect(peer, host, std::to_string(port_).c_str(), 5000) == SP_OK &&
           (!verify || sp_Handshake(peer, verifyKey_) == SP_OK);
  }
  static int request(StoragePeer* peer, uint32_t type, const char* json) {
    return sp_Request(peer, type, json, static_cast<uint32_t>(std::strlen(json) + 1));
  }
  static bool closedByAgent(int sock) {
    pollfd p{sock, POLLIN, 0};
    char c;
    return poll(&p, 1, 5000) == 1 && recv(sock, &c, 1, 0) <= 0;
  }
  static int port_;
  static uint8_t verifyKey_[32];
  int32_t savedFlow_ = 0;
};

int MessageServerTest::port_ = 0;
uint8_t MessageServerTest::verifyKey_[32] = {};

TEST_F(MessageServerTest, UnsupportedTypesGet203AndTheConnectionServesOn) {
  StoragePeer peer;
  ASSERT_TRUE(connect(&peer));
  // 2015 is unknown; 2000 and 2001 are handshake types, unsupported once verified.
  for (uint32_t type : {2015u, 2000u, 2001u}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(request(&peer, type, "{}"), SP_OK);
    EXPECT_EQ(peer.link.RecvHead.MessageType, type);
    EXPECT_EQ(peer.link.RecvHead.ReturnStatus, RET_NOT_SUPPORTED);
    EXPECT_EQ(peer.link.RecvHead.Length, 0u);
    EXPECT_EQ(peer.link.RecvHead.Version, AV_PROTOCOL_VERSION);
  }
  ASSERT_EQ(request(&peer, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
  EXPECT_EQ(peer.link.RecvHead.ReturnStatus, RET_OK);
  const char* body = reinterpret_cast<const char*>(peer.link.RecvBody);
  EXPECT_EQ(peer.link.RecvHead.Length, std::strlen(body) + 1);  // the NUL is sent and counted
  EXPECT_EQ(std::string(body).rfind("{\"status\": \"1\",\"avType\": \"0\"", 0), 0u) << body;
  sp_Close(&peer);
}

TEST_F(MessageServerTest, FlowLimitCountsTheRequesterAndSparesStatusJobs) {
  avtest::DebugLevel dbg;
  avtest::LogCapture capture;
  g_flowJobsNo.store(1);  // the requesting connection alone reaches it
  StoragePeer scan, status;
  ASSERT_TRUE(connect(&scan));
  EXPECT_EQ(request(&scan, MSG_SCAN_FILE, kScanJob), SP_CLOSED);
  EXPECT_TRUE(capture.contains("Connect too many, close it.", AVLOG_DBG));
  sp_Close(&scan);
  ASSERT_TRUE(connect(&status));
  ASSERT_EQ(request(&status, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
  EXPECT_EQ(status.link.RecvHead.ReturnStatus, RET_OK);
  sp_Close(&status);
  ASSERT_TRUE(waitIdle());

  g_flowJobsNo.store(2);  // served with one connection registered, refused with two
  StoragePeer alone, second;
  ASSERT_TRUE(connect(&alone));
  ASSERT_EQ(request(&alone, MSG_SCAN_FILE, kScanJob), SP_OK);
  EXPECT_EQ(alone.link.RecvHead.ReturnStatus, RET_OK);
  ASSERT_TRUE(connect(&second));
  EXPECT_EQ(request(&second, MSG_SCAN_FILE, kScanJob), SP_CLOSED);
  sp_Close(&second);
  g_flowJobsNo.store(3);  // read at every request: the same connection is served
  ASSERT_EQ(request(&alone, MSG_SCAN_FILE, kScanJob), SP_OK);
  EXPECT_EQ(alone.link.RecvHead.ReturnStatus, RET_OK);
  sp_Close(&alone);
}

TEST_F(MessageServerTest, PoolIsWholeAfterConnectionsEndedEveryWay) {
  avtest::DebugLevel dbg;
  avtest::LogCapture capture;
  ms_SetRequestWaitMsForTest(300);
  auto sendWords = [](StoragePeer& p, std::vector<uint32_t> words, size_t size) {
    words.resize(size / 4, 0);
    ASSERT_EQ(send(p.link.socket, words.data(), size, MSG_NOSIGNAL), static_cast<ssize_t>(size));
  };
  // One connection per way to end; each leaves the connection to close.
  const std::vector<std::function<void(StoragePeer&)>> endings = {
      [](StoragePeer& p) {  // good requests, then the peer closes
        ASSERT_TRUE(connect(&p));
        ASSERT_EQ(request(&p, MSG_SCAN_FILE, kScanJob), SP_OK);
        ASSERT_EQ(request(&p, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
        ASSERT_EQ(request(&p, 2015, "{}"), SP_OK);
      },
      [](StoragePeer& p) {  // idle: the agent closes after the request wait
        ASSERT_TRUE(connect(&p));
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(closedByAgent(p.link.socket));
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
      },
      [&](StoragePeer& p) {  // begin tag in the other byte order
        ASSERT_TRUE(connect(&p));
        sendWords(p, {0x98BADCFE, 17, 2010, 0}, 48);
        EXPECT_TRUE(closedByAgent(p.link.socket));
      },
      [](StoragePeer& p) {  // failed handshake: another pre-shared key
        uint8_t wrong[32];
        ASSERT_EQ(sp_DeriveVerificationKey("Another#Key-0000", wrong), 1);
        ASSERT_TRUE(connect(&p, false));
        EXPECT_EQ(sp_Handshake(&p, wrong), SP_REFUSED);
      },
      [&](StoragePeer& p) {  // peer closes in the middle of a frame
        ASSERT_TRUE(connect(&p));
        sendWords(p, {AV_BEGIN_TAG, 17, 2010, 40}, 16);
      },
      [](StoragePeer& p) {  // scan refused by the flow limit: the request is held at the end
        g_flowJobsNo.store(0);
        ASSERT_TRUE(connect(&p));
        EXPECT_EQ(request(&p, MSG_SCAN_FILE, kScanJob), SP_CLOSED);
        g_flowJobsNo.store(100);
      },
      [](StoragePeer& p) {  // peer closes during the handshake
        ASSERT_TRUE(connect(&p, false));
        ASSERT_EQ(sp_RecvChallenge(&p), SP_OK);
      },
  };
  std::vector<uint32_t> before;
  uint32_t seq = 0;
  for (int round = 0; round < 3; ++round) {  // the first round warms up what is made once
    if (round == 1) {
      before = avtest::poolFreeCounts();
      seq = ms_ConnectionSequence();
    }
    for (size_t i = 0; i < endings.size(); ++i) {
      SCOPED_TRACE(i);
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

TEST_F(MessageServerTest, RepeatedFailedHandshakesBanOneAddressForTheBanTime) {
  avtest::LogCapture capture;
  g_handshakeFailLimit.store(3);
  g_handshakeBanTime.store(1);
  uint8_t wrong[32];
  ASSERT_EQ(sp_DeriveVerificationKey("Another#Key-0000", wrong), 1);
  for (int i = 0; i < 3; ++i) {
    StoragePeer p;
    ASSERT_TRUE(connect(&p, false));
    EXPECT_EQ(sp_Handshake(&p, wrong), SP_REFUSED);
    sp_Close(&p);
  }
  ASSERT_TRUE(waitIdle());
  const uint32_t seq = ms_ConnectionSequence();
  for (int i = 0; i < 2; ++i) {  // closed at accept: no challenge, no connection thread
    StoragePeer p;
    ASSERT_TRUE(connect(&p, false));
    EXPECT_TRUE(closedByAgent(p.link.socket));
    sp_Close(&p);
  }
  EXPECT_EQ(ms_ConnectionSequence(), seq);
  EXPECT_EQ(capture.count("Peer 127.0.0.1 failed 3 handshakes within 60 s; its connections are refused for 1 s."), 1u);
  StoragePeer other;  // another address is served meanwhile
  ASSERT_TRUE(connect(&other, true, "::1"));
  ASSERT_EQ(request(&other, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
  sp_Close(&other);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  StoragePeer again;
  ASSERT_TRUE(connect(&again));
  ASSERT_EQ(request(&again, MSG_ENGINE_STATUS, kStatusJob), SP_OK);
  sp_Close(&again);
}

TEST_F(MessageServerTest, TricklingRequestFrameIsDroppedAtOneWaitBound) {
  StoragePeer peer;
  ASSERT_TRUE(connect(&peer));
  agentMsg_SetIoWaitMs(1000);  // each byte below comes well inside one wait
  const uint32_t head[8] = {AV_BEGIN_TAG, 17, MSG_ENGINE_STATUS, 64};
  const auto* bytes = reinterpret_cast<const uint8_t*>(head);
  const auto t0 = std::chrono::steady_clock::now();
  bool closed = false;
  for (size_t i = 0; i < sizeof head && !closed &&
                     std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3); ++i) {
    closed = send(peer.link.socket, bytes + i, 1, MSG_NOSIGNAL) != 1;
    pollfd p{peer.link.socket, POLLIN, 0};
    char c;
    closed = closed || (poll(&p, 1, 150) == 1 && recv(peer.link.socket, &c, 1, 0) <= 0);
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1800));
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
      if (!connect(&peer)) return;
      for (int r = 0; r < 3; ++r) {
        const bool scan = (i + r) % 2 == 0;
        int rc = scan ? request(&peer, MSG_SCAN_FILE, kScanJob) : request(&peer, MSG_ENGINE_STATUS, kStatusJob);
        if (rc == SP_OK && peer.link.RecvHead.ReturnStatus == RET_OK) ++served[i];
      }
      sp_Close(&peer);
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kPeers; ++i) EXPECT_EQ(served[i], 3) << "peer " << i;
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ(ms_ConnectionSequence(), seq + kPeers);
}

}  // namespace

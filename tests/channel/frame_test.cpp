// Frame layout, encryption regions, receive checks, draining and stalls, over socket pairs.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channel/crypto.h"
#include "channel/frame.h"
#include "jobs/job_dispatch.h"
#include "platform/net.h"
#include "runtime/log.h"
#include "support/test_env.h"

using std::chrono::milliseconds;
namespace {

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// Body bytes 'a', 'b', ... behind a version 17 header.
std::vector<uint8_t> rawFrame(uint32_t len, uint32_t tag = AV_BEGIN_TAG, uint32_t endTag = AV_END_TAG) {
  std::vector<uint8_t> f(len + 48, 0);
  const uint32_t head[] = {tag, 17, MSG_SCAN_FILE, len};
  for (int i = 0; i < 4; ++i) put32(f.data() + 4 * i, head[i]);
  for (uint32_t i = 0; i < len; ++i) f[32 + i] = static_cast<uint8_t>('a' + i % 26);
  put32(f.data() + 32 + len + 12, endTag);
  return f;
}
bool writeAll(int fd, const std::vector<uint8_t>& v) {
  size_t done = 0;
  return net_Send(fd, v.data(), v.size(), 0, &done) == 0 && done == v.size();
}

const uint8_t kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::vector<uint8_t> ecbDecrypt(const uint8_t* in) {  // independent AES-256-ECB, one block
  std::vector<uint8_t> out(16);
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_CipherInit_ex(c, EVP_aes_256_ecb(), nullptr, kKey, nullptr, 0);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_CipherUpdate(c, out.data(), &n, in, 16);
  EVP_CIPHER_CTX_free(c);
  return out;
}

// Links on both ends of a connected pair over IPv4 loopback (-1 when that
// fails); secure: a verified v17 link with keys.
struct Pair {
  int a = -1, b = -1;
  MsgLink tx, rx;
  explicit Pair(bool secure = false) {
    int lfd = -1, port = 0;
    NetStep step;
    std::vector<NetEndpoint> to;
    if (net_Listen(NET_IPV4, "0", 1, &lfd, &step) == 0 && net_LocalPort(lfd, &port) == 0 &&
        net_Resolve("127.0.0.1", std::to_string(port).c_str(), NET_IPV4, &to) == 0 && net_Connect(to, 5000, &a) == 0) {
      NetAccepted acc;
      if (net_Accept(lfd, &acc) == 0) b = acc.fd;
    }
    net_Close(lfd);
    tx.socket = a, rx.socket = b;
    for (MsgLink* l : {&tx, &rx})
      if (secure) {
        l->status = LINK_NORMAL, l->RecvHead.Version = 17;
        EXPECT_EQ(mc_AesSetEncryptKey(kKey, &l->encryptKey) | mc_AesSetDecryptKey(kKey, &l->decryptKey), 0);
      }
  }
  bool send(uint32_t type, const void* body, uint32_t len) {
    return agentMsg_CombinSendingMessage(&tx, type, body, len) == 1 && sendTx();
  }
  bool sendTx() { return agentMsg_DoSend(a, tx.SendPackage, tx.SendLength) == 1; }
  ~Pair() {
    for (MsgLink* l : {&tx, &rx}) agentMsg_ReleaseLink(l), agentMsg_FreeLinkKeys(l);
    net_Close(a), net_Close(b);
  }
};

}  // namespace

// Header words little-endian and plain; ceil(Length/16) blocks of body+tail
// encrypted; EndTag and zero padding behind them.
TEST(FrameBuild, SizesAndEncryptedRegions) {
  uint8_t body[32] = {'{', '"', 'a', '"', ':', '1', '}', 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  const auto before = avtest::poolFreeCounts();
  const struct { bool secure; uint32_t len, sent; } rows[] = {{false, 20, 68}, {true, 20, 80}, {true, 16, 64}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.sent);
    Pair s(r.secure);
    ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_SCAN_FILE, body, r.len), 1);
    ASSERT_EQ(s.tx.SendLength, r.sent);
    const uint8_t* p = s.tx.SendPackage;
    const uint32_t head[] = {AV_BEGIN_TAG, 17, 2020, r.len, 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(le32(p + 4 * i), head[i]) << "word " << i;
    uint8_t plain[32] = {};
    memcpy(plain, body, r.len);
    const uint32_t blocks = r.secure ? (r.len + 15) / 16 : 0;
    for (uint32_t k = 0; k < blocks; ++k)
      EXPECT_EQ(ecbDecrypt(p + 32 + 16 * k), std::vector<uint8_t>(plain + 16 * k, plain + 16 * k + 16));
    EXPECT_TRUE(r.secure || memcmp(p + 32, body, r.len) == 0);
    for (uint32_t i = std::max(32 + 16 * blocks, 32 + r.len); i < r.sent; ++i)  // zeros around the EndTag
      EXPECT_TRUE(i - (32 + r.len + 12) < 4 || p[i] == 0) << i;
    EXPECT_EQ(le32(p + 32 + r.len + 12), AV_END_TAG);
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

// The ready reader may take the first encrypted block with the header; the
// tail is checked after decryption (at 18 the EndTag straddles the last block)
// and a plain frame behind stays whole. Another key: refused, body freed.
TEST(FrameRecv, EncryptedRoundTripAndWrongKey) {
  for (uint32_t len : {0u, 1u, 16u, 18u, 1000u}) {
    SCOPED_TRACE(len);
    Pair s(true);
    std::vector<uint8_t> body(len);
    for (uint32_t i = 0; i < len; ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_TRUE(s.send(MSG_SCAN_FILE, body.data(), len) && writeAll(s.a, rawFrame(0)));
    ASSERT_EQ(agentMsg_RecvPackage_Ready(&s.rx), 0);
    EXPECT_EQ(std::vector<uint8_t>(s.rx.RecvBody, s.rx.RecvBody + len), body);
    EXPECT_EQ(le32(s.rx.RecvBody + len), 0u);
    s.rx.status = LINK_UNVERIFIED;
    EXPECT_EQ(agentMsg_RecvPackage_Awaited(&s.rx), 0);
    EXPECT_EQ(s.rx.RecvLength, 0u);
  }
  avtest::LogCapture cap;
  Pair s(true);
  agentMsg_FreeLinkKeys(&s.rx);
  const uint8_t other[32] = {0xEE};
  ASSERT_EQ(mc_AesSetDecryptKey(other, &s.rx.decryptKey), 0);
  const char hello[18] = "hello";
  ASSERT_TRUE(s.send(MSG_SCAN_FILE, hello, sizeof hello));
  EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 2);
  EXPECT_TRUE(cap.contains("msg_DoRecv(tail) FAIL.", AVLOG_ERR));
  EXPECT_EQ(s.rx.RecvBody, nullptr);
}

// Length bytes without a NUL and text in the tail's zero word: a reader of
// the body as text stops at Length (2032 fills a pool block, 4080 is heap).
TEST(FrameRecv, UnterminatedBodyEndsAtLength) {
  avtest::LogCapture cap;
  size_t refused = 0;
  for (uint32_t len : {2032u, 4080u})
    for (bool secure : {false, true}) {
      SCOPED_TRACE(::testing::Message() << len << secure);
      Pair s(secure);
      std::string body = R"({"opCode": "0", "avType": "0", "message": ")";
      body.resize(len, 'x');
      ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_ENGINE_STATUS, body.data(), len), 1);
      memset(s.tx.SendPackage + 32 + len, '"', 12);
      ASSERT_TRUE(s.sendTx());
      ASSERT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 0);
      EXPECT_EQ(s.rx.RecvBody[len], 0);
      char result[AV_STATUS_RESULT_ROOM] = {};
      EXPECT_EQ(doJob_GetEngineStatus(reinterpret_cast<char*>(s.rx.RecvBody), len, result, sizeof result), 0);
      EXPECT_EQ(cap.count("parse buf to jsonObj err!"), ++refused);
    }
}

// A stalling peer (64 bytes of a 40-byte body's frame) is dropped after one wait.
TEST(FrameRecv, TagsLengthLimitStallAndFramesBackToBack) {
  const auto before = avtest::poolFreeCounts();
  avtest::LogCapture cap;
  avtest::DebugLevel dbg;
  agentMsg_SetIoWaitMs(200);
  const struct { uint32_t len, tag, endTag; int rc; const char* message; } rows[] = {
      {5, 0x98BADCFE, AV_END_TAG, 1, "recv begin tag error"},  // the other byte order
      {5, AV_BEGIN_TAG, 0x10325476, 2, "msg_DoRecv(tail) FAIL."},
      {8793, AV_BEGIN_TAG, AV_END_TAG, 1, "recv message length error"},
      {40, AV_BEGIN_TAG, AV_END_TAG, 1, "msg_DoRecv(body) FAIL. 1"},
  };
  for (const auto& r : rows) {
    Pair s;
    auto f = rawFrame(r.len, r.tag, r.endTag);
    f.resize(std::min<size_t>(f.size(), 64));
    ASSERT_TRUE(writeAll(s.a, f));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), r.rc);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(r.len != 40 || (waited >= milliseconds(180) && waited < milliseconds(5000)));
    EXPECT_TRUE(cap.contains(r.message, AVLOG_ERR)) << r.message;
    EXPECT_EQ(s.rx.RecvBody, nullptr);
    char rest[64];  // refused from the header: the body stays unread
    size_t got = 0;
    EXPECT_TRUE(r.len <= AV_MAX_BODY || (net_Recv(s.b, rest, sizeof rest, NET_DONTWAIT, &got) == 0 && got == 32));
  }
  EXPECT_TRUE(cap.contains("msg_Waiting(recv) timeout", AVLOG_DBG));
  agentMsg_SetIoWaitMs(0);
  Pair s;  // several frames in one late write: no read takes a byte of the next
  std::vector<uint8_t> all;
  for (uint32_t len : {0u, 7u, 8792u, 0u}) {
    auto f = rawFrame(len);
    all.insert(all.end(), f.begin(), f.end());
  }
  std::thread late([&] { std::this_thread::sleep_for(milliseconds(50)), writeAll(s.a, all); });
  for (uint32_t len : {0u, 7u, 8792u, 0u}) {
    if (agentMsg_RecvPackage_Awaited(&s.rx) != 0) {
      ADD_FAILURE() << len;
      break;
    }
    EXPECT_EQ(s.rx.RecvLength, len);
    EXPECT_TRUE(!len || s.rx.RecvBody[len - 1] == 'a' + (len - 1) % 26);
  }
  late.join();
  agentMsg_ReleaseLink(&s.rx);
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

// What trails a frame is drained and the next frame arrives whole; a peer
// that keeps sending makes the drain give up at its bound.
TEST(FrameSocket, DrainingBehindAFrameAndItsBound) {
  for (size_t extra : {0u, 99u, 100u, 300u, 1234u}) {
    SCOPED_TRACE(extra);
    Pair s;
    auto f = rawFrame(0);
    f.resize(48 + extra, 'z');
    ASSERT_TRUE(writeAll(s.a, f));
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 0);
    EXPECT_EQ(agentMsg_EmptySocket(s.b), 1);
    ASSERT_TRUE(writeAll(s.a, rawFrame(7)));
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 0);
    EXPECT_EQ(s.rx.RecvLength, 7u);
  }
  avtest::LogCapture cap;
  Pair s;
  std::atomic<size_t> sent{0};
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    const std::vector<char> junk(4096, 'j');
    const auto t0 = std::chrono::steady_clock::now();
    while (!stop && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3)) {
      size_t n = 0;
      net_Send(s.a, junk.data(), junk.size(), NET_DONTWAIT, &n) == 0 && n > 0 ? void(sent += n) : std::this_thread::yield();
    }
  });
  while (sent.load() < 2 * AV_DRAIN_MAX_BYTES) std::this_thread::yield();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(agentMsg_EmptySocket(s.b), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(AV_DRAIN_MAX_MS + 400));
  stop = true;
  peer.join();
  EXPECT_TRUE(cap.contains("Peer keeps sending", AVLOG_ERR));
}

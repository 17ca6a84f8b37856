// Frame layout, encryption regions, receive checks, draining and stalls, over socket pairs.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channel/crypto.h"
#include "channel/frame.h"
#include "jobs/job_dispatch.h"
#include "runtime/log.h"
#include "support/test_env.h"

namespace {

const uint8_t kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A raw frame as a foreign peer would write it.
std::vector<uint8_t> rawFrame(uint32_t len, uint32_t tag = AV_BEGIN_TAG, uint32_t endTag = AV_END_TAG) {
  std::vector<uint8_t> f(len + 48, 0);
  put32(f.data(), tag);
  put32(f.data() + 4, 17);
  put32(f.data() + 8, MSG_SCAN_FILE);
  put32(f.data() + 12, len);
  for (uint32_t i = 0; i < len; ++i) f[32 + i] = static_cast<uint8_t>('a' + i % 26);
  put32(f.data() + 32 + len + 12, endTag);
  return f;
}

// Independent AES-256-ECB decryption of one block, to check what went on the wire.
std::vector<uint8_t> ecbDecrypt(const uint8_t* in) {
  std::vector<uint8_t> out(16);
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_CipherInit_ex(c, EVP_aes_256_ecb(), nullptr, kKey, nullptr, 0);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_CipherUpdate(c, out.data(), &n, in, 16);
  EVP_CIPHER_CTX_free(c);
  return out;
}

// A socket pair with a receiving link on b; secure = verified v17 link with keys.
struct Pair {
  int a = -1, b = -1;
  MsgLink tx, rx;
  explicit Pair(bool secure = false) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    a = tx.socket = sv[0];
    b = rx.socket = sv[1];
    if (secure) for (MsgLink* l : {&tx, &rx}) makeSecure(l);
  }
  static void makeSecure(MsgLink* l) {
    l->status = LINK_NORMAL;
    l->RecvHead.Version = 17;
    ASSERT_EQ(mc_AesSetEncryptKey(kKey, &l->encryptKey), 0);
    ASSERT_EQ(mc_AesSetDecryptKey(kKey, &l->decryptKey), 0);
  }
  bool write(const std::vector<uint8_t>& v) const {
    return send(a, v.data(), v.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(v.size());
  }
  ~Pair() {
    for (MsgLink* l : {&tx, &rx}) { agentMsg_ReleaseLink(l); agentMsg_FreeLinkKeys(l); }
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
};

}  // namespace

TEST(FrameBuild, PlainAndEncryptedSizesAndRegions) {
  const uint8_t body[20] = {'{', '"', 'a', '"', ':', '1', '}', 0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  auto before = avtest::poolFreeCounts();
  {
    Pair s;  // plain: 20 -> 68
    ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_SCAN_FILE, body, 20), 1);
    ASSERT_EQ(s.tx.SendLength, 68u);
    const uint8_t* p = s.tx.SendPackage;
    const uint32_t head[] = {AV_BEGIN_TAG, 17, 2020, 20, 0};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(le32(p + 4 * i), head[i]) << "word " << i;
    EXPECT_EQ(0, memcmp(p + 32, body, 20));
    EXPECT_EQ(le32(p + 52), 0u);  // zero word of the tail
    EXPECT_EQ(le32(p + 64), AV_END_TAG);
  }
  {
    Pair s(true);  // encrypted: 20 -> 80, bytes 0..31 of body+tail encrypted
    ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_SCAN_FILE, body, 20), 1);
    ASSERT_EQ(s.tx.SendLength, 80u);
    const uint8_t* p = s.tx.SendPackage;
    EXPECT_EQ(le32(p + 12), 20u);  // header stays plain
    uint8_t plain[32] = {};
    memcpy(plain, body, 20);
    for (int blk = 0; blk < 2; ++blk)
      EXPECT_EQ(ecbDecrypt(p + 32 + 16 * blk), std::vector<uint8_t>(plain + 16 * blk, plain + 16 * blk + 16));
    EXPECT_EQ(le32(p + 64), AV_END_TAG);  // then plain EndTag and zero padding
    for (int i = 68; i < 80; ++i) EXPECT_EQ(p[i], 0) << i;
    // 16 -> 64: one encrypted block, the tail stays plain.
    ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_SCAN_FILE, body, 16), 1);
    ASSERT_EQ(s.tx.SendLength, 64u);
    EXPECT_EQ(ecbDecrypt(s.tx.SendPackage + 32), std::vector<uint8_t>(body, body + 16));
    for (int i = 48; i < 60; ++i) EXPECT_EQ(s.tx.SendPackage[i], 0) << i;
    EXPECT_EQ(le32(s.tx.SendPackage + 60), AV_END_TAG);
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

TEST(FrameRecv, EncryptedRoundTripChecksTailAfterDecryption) {
  // Length 18: the EndTag straddles the last encrypted block, so only a check on decrypted bytes passes.
  for (uint32_t len : {1u, 18u, 20u, 32u, 1000u}) {
    SCOPED_TRACE(len);
    Pair s(true);
    std::vector<uint8_t> body(len);
    for (uint32_t i = 0; i < len; ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_SCAN_FILE, body.data(), len), 1);
    ASSERT_EQ(agentMsg_DoSend(s.a, s.tx.SendPackage, s.tx.SendLength), 1);
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 0);
    EXPECT_EQ(s.rx.RecvLength, len);
    EXPECT_EQ(0, memcmp(s.rx.RecvBody, body.data(), len));
    EXPECT_EQ(le32(s.rx.RecvBody + len), 0u);  // zero word terminates a text body
  }
  // With another key the decrypted tail is wrong: refused, body freed.
  avtest::LogCapture cap;
  Pair s(true);
  agentMsg_FreeLinkKeys(&s.rx);
  s.rx.status = LINK_NORMAL;
  uint8_t other[32] = {0xEE};
  ASSERT_EQ(mc_AesSetDecryptKey(other, &s.rx.decryptKey), 0);
  const uint8_t body[18] = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_SCAN_FILE, body, sizeof body), 1);
  ASSERT_EQ(agentMsg_DoSend(s.a, s.tx.SendPackage, s.tx.SendLength), 1);
  EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 2);
  EXPECT_TRUE(cap.contains("msg_DoRecv(tail) FAIL.", AVLOG_ERR));
  EXPECT_EQ(s.rx.RecvBody, nullptr);
}

// A body that fills Length with no NUL, the zero word and reserved bytes of
// the tail filled with text: whoever reads the body as text stops at Length.
// 2032 fills a pooled block to its end, 4080 comes from the heap.
TEST(FrameRecv, UnterminatedBodyEndsAtLength) {
  avtest::LogCapture cap;
  auto before = avtest::poolFreeCounts();
  size_t refused = 0;
  for (uint32_t len : {2032u, 4080u}) {
    for (bool secure : {false, true}) {
      SCOPED_TRACE(::testing::Message() << len << (secure ? " encrypted" : " plain"));
      Pair s(secure);
      std::string body = "{\"opCode\": \"0\", \"avType\": \"0\", \"message\": \"";
      body.resize(len, 'x');
      ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_ENGINE_STATUS, body.data(), len), 1);
      memset(s.tx.SendPackage + 32 + len, '"', 12);  // plain: Length is a multiple of 16
      ASSERT_EQ(agentMsg_DoSend(s.a, s.tx.SendPackage, s.tx.SendLength), 1);
      ASSERT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 0);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(s.rx.RecvBody), len), body);
      EXPECT_EQ(s.rx.RecvBody[len], 0);
      char result[AV_STATUS_RESULT_ROOM] = {};
      EXPECT_EQ(doJob_GetEngineStatus(reinterpret_cast<char*>(s.rx.RecvBody), len, result,
                                      sizeof result), 0);
      EXPECT_EQ(cap.count("parse buf to jsonObj err!"), ++refused);
    }
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

TEST(FrameRecv, TagsAndLengthLimit) {
  auto before = avtest::poolFreeCounts();
  avtest::LogCapture cap;
  struct { uint32_t tag, endTag; int rc; const char* message; } bad[] = {
      {0x98BADCFE, AV_END_TAG, 1, "recv begin tag error"},  // the other byte order
      {AV_BEGIN_TAG, 0x10325476, 2, "msg_DoRecv(tail) FAIL."},
  };
  for (const auto& b : bad) {
    Pair s;
    ASSERT_TRUE(s.write(rawFrame(5, b.tag, b.endTag)));
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), b.rc);
    EXPECT_TRUE(cap.contains(b.message, AVLOG_ERR)) << b.message;
    EXPECT_EQ(s.rx.RecvBody, nullptr);
  }
  {
    Pair s;
    std::thread t([&] { s.write(rawFrame(8792)); });
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 0);
    t.join();
    EXPECT_EQ(s.rx.RecvLength, 8792u);
    EXPECT_EQ(s.rx.RecvBody[8791], 'a' + 8791 % 26);
  }
  {
    // 8793 is refused from the header alone: the body bytes behind it stay unread.
    Pair s;
    auto f = rawFrame(8793);
    ASSERT_EQ(send(s.a, f.data(), 32 + 10, 0), 42);
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 1);
    EXPECT_TRUE(cap.contains("recv message length error", AVLOG_ERR));
    char rest[64];
    EXPECT_EQ(recv(s.b, rest, sizeof rest, MSG_DONTWAIT), 10);
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

TEST(FrameRecv, AwaitedReaderWaitsThenTakesNoMoreThanItsFrame) {
  auto before = avtest::poolFreeCounts();
  {
    // Frames back to back in one write: a read never takes a byte of the next frame.
    Pair s;
    std::vector<uint8_t> all;
    for (uint32_t len : {0u, 7u, 0u, 40u}) {
      auto f = rawFrame(len);
      all.insert(all.end(), f.begin(), f.end());
    }
    std::thread late([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      s.write(all);
    });
    for (uint32_t len : {0u, 7u, 0u, 40u}) {
      ASSERT_EQ(agentMsg_RecvPackage_Awaited(&s.rx), 0) << len;
      EXPECT_EQ(s.rx.RecvLength, len);
      if (len) {
        EXPECT_EQ(s.rx.RecvBody[len - 1], 'a' + (len - 1) % 26);
      }
    }
    late.join();
  }
  for (uint32_t len : {0u, 1u, 16u, 18u}) {  // encrypted: early bytes are the first block
    SCOPED_TRACE(len);
    Pair s(true);
    std::vector<uint8_t> body(len, 0x5A);
    ASSERT_EQ(agentMsg_CombinSendingMessage(&s.tx, MSG_SCAN_FILE, body.data(), len), 1);
    ASSERT_EQ(agentMsg_DoSend(s.a, s.tx.SendPackage, s.tx.SendLength), 1);
    ASSERT_TRUE(s.write(rawFrame(0)));
    ASSERT_EQ(agentMsg_RecvPackage_Awaited(&s.rx), 0);
    EXPECT_EQ(std::vector<uint8_t>(s.rx.RecvBody, s.rx.RecvBody + len), body);
    s.rx.status = LINK_UNVERIFIED;  // the plain frame behind it is still whole
    EXPECT_EQ(agentMsg_RecvPackage_Awaited(&s.rx), 0);
    EXPECT_EQ(s.rx.RecvLength, 0u);
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

TEST(FrameRecv, StallingPeerMidFrame) {
  avtest::LogCapture cap;
  avtest::DebugLevel dbg;
  agentMsg_SetIoWaitMs(200);
  Pair s;
  auto f = rawFrame(40);
  ASSERT_EQ(send(s.a, f.data(), 32 + 5, 0), 37);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 1);
  auto waited = std::chrono::steady_clock::now() - t0;
  agentMsg_SetIoWaitMs(0);  // back to the default
  EXPECT_GE(waited, std::chrono::milliseconds(180));
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
  EXPECT_TRUE(cap.contains("msg_Waiting(recv) timeout", AVLOG_DBG));
  EXPECT_TRUE(cap.contains("msg_DoRecv(body) FAIL. 1", AVLOG_ERR));
  EXPECT_EQ(s.rx.RecvBody, nullptr);
}

TEST(FrameSocket, DrainingBehindAFrame) {
  for (size_t extra : {0u, 99u, 100u, 300u, 1234u}) {
    SCOPED_TRACE(extra);
    Pair s;
    auto f = rawFrame(0);
    f.resize(48 + extra, 'z');
    ASSERT_TRUE(s.write(f));
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 0);
    EXPECT_EQ(s.rx.RecvLength, 0u);
    EXPECT_EQ(agentMsg_EmptySocket(s.b), 1);
    char c;
    EXPECT_EQ(recv(s.b, &c, 1, MSG_DONTWAIT), -1);
    ASSERT_TRUE(s.write(rawFrame(7)));  // the next frame arrives whole
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&s.rx), 0);
    EXPECT_EQ(s.rx.RecvLength, 7u);
  }
}

// A peer that keeps sending behind its request: the drain gives up at its
// bound instead of following the peer for as long as it sends.
TEST(FrameSocket, DrainStopsAtItsBoundWhileThePeerKeepsSending) {
  avtest::LogCapture cap;
  Pair s;
  std::atomic<size_t> sent{0};
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    const std::vector<char> junk(4096, 'j');
    auto t0 = std::chrono::steady_clock::now();
    while (!stop && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3)) {
      ssize_t n = send(s.a, junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
      else std::this_thread::yield();
    }
  });
  while (sent.load() < 2 * AV_DRAIN_MAX_BYTES) std::this_thread::yield();
  auto t0 = std::chrono::steady_clock::now();
  int rc = agentMsg_EmptySocket(s.b);
  auto took = std::chrono::steady_clock::now() - t0;
  stop = true;
  peer.join();
  EXPECT_EQ(rc, 0);
  EXPECT_LT(took, std::chrono::milliseconds(AV_DRAIN_MAX_MS + 400));
  EXPECT_TRUE(cap.contains("Peer keeps sending", AVLOG_ERR));
}

// Frame layout, encryption regions, receive checks, draining and waits, over
// socket pairs and loopback listeners.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "channel/crypto.h"
#include "channel/frame.h"
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
std::vector<uint8_t> rawFrame(uint32_t len, uint32_t tag = AV_BEGIN_TAG,
                              uint32_t endTag = AV_END_TAG, uint32_t version = 17) {
  std::vector<uint8_t> f(len + 48, 0);
  put32(f.data(), tag);
  put32(f.data() + 4, version);
  put32(f.data() + 8, MSG_SCAN_FILE);
  put32(f.data() + 12, len);
  for (uint32_t i = 0; i < len; ++i) f[32 + i] = static_cast<uint8_t>('a' + i % 26);
  put32(f.data() + 32 + len + 12, endTag);
  return f;
}

// Independent AES-256-ECB of one block, to check what went on the wire.
void ecb(const uint8_t* in, uint8_t* out, bool enc) {
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_CipherInit_ex(c, EVP_aes_256_ecb(), nullptr, kKey, nullptr, enc ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_CipherUpdate(c, out, &n, in, 16);
  EVP_CIPHER_CTX_free(c);
}

struct Pair {
  int a = -1, b = -1;
  Pair() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    a = sv[0];
    b = sv[1];
  }
  ~Pair() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
};

// A link that encrypts: verified, last peer version 17, keys set.
void makeSecure(MsgLink* l) {
  l->status = LINK_NORMAL;
  l->RecvHead.Version = 17;
  ASSERT_EQ(mc_AesSetEncryptKey(kKey, &l->encryptKey), 0);
  ASSERT_EQ(mc_AesSetDecryptKey(kKey, &l->decryptKey), 0);
}

void dropLink(MsgLink* l) {
  agentMsg_ReleaseLink(l);
  agentMsg_FreeLinkKeys(l);
}

bool writeAll(int fd, const std::vector<uint8_t>& v) {
  return send(fd, v.data(), v.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(v.size());
}

}  // namespace

TEST(FrameBuild, PlainAndEncryptedSizesAndRegions) {
  const uint8_t body[20] = {'{', '"', 'a', '"', ':', '1', '}', 0, 9, 9,
                            9,   9,   9,   9,   9,   9,   9,   9, 9, 9};
  auto before = avtest::poolFreeCounts();
  {
    MsgLink l;
    ASSERT_EQ(agentMsg_CombinSendingMessage(&l, MSG_SCAN_FILE, body, 20), 1);
    ASSERT_EQ(l.SendLength, 68u);
    const uint8_t* p = l.SendPackage;
    EXPECT_EQ(le32(p), AV_BEGIN_TAG);
    EXPECT_EQ(le32(p + 4), 17u);
    EXPECT_EQ(le32(p + 8), 2020u);
    EXPECT_EQ(le32(p + 12), 20u);
    EXPECT_EQ(le32(p + 16), 0u);
    EXPECT_EQ(0, memcmp(p + 32, body, 20));
    EXPECT_EQ(le32(p + 52), 0u);  // zero word of the tail
    EXPECT_EQ(le32(p + 64), AV_END_TAG);
    agentMsg_ReleaseLink(&l);
  }
  {
    MsgLink l;
    makeSecure(&l);
    ASSERT_EQ(agentMsg_CombinSendingMessage(&l, MSG_SCAN_FILE, body, 20), 1);
    ASSERT_EQ(l.SendLength, 80u);
    const uint8_t* p = l.SendPackage;
    EXPECT_EQ(le32(p + 12), 20u);  // header stays plain
    // Two encrypted blocks: 20 body bytes and the first 12 tail bytes.
    uint8_t plain[32] = {};
    memcpy(plain, body, 20);
    for (int blk = 0; blk < 2; ++blk) {
      uint8_t dec[16];
      ecb(p + 32 + 16 * blk, dec, false);
      EXPECT_EQ(0, memcmp(dec, plain + 16 * blk, 16)) << "block " << blk;
    }
    EXPECT_EQ(le32(p + 64), AV_END_TAG);  // then plain EndTag and zero padding
    for (int i = 68; i < 80; ++i) EXPECT_EQ(p[i], 0) << i;
    dropLink(&l);
  }
  {
    MsgLink l;
    makeSecure(&l);
    ASSERT_EQ(agentMsg_CombinSendingMessage(&l, MSG_SCAN_FILE, body, 16), 1);
    ASSERT_EQ(l.SendLength, 64u);
    uint8_t dec[16];
    ecb(l.SendPackage + 32, dec, false);
    EXPECT_EQ(0, memcmp(dec, body, 16));
    for (int i = 48; i < 60; ++i) EXPECT_EQ(l.SendPackage[i], 0) << i;  // plain tail
    EXPECT_EQ(le32(l.SendPackage + 60), AV_END_TAG);
    dropLink(&l);
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

TEST(FrameBuild, EmptyFramesAndOldPeersStayPlain) {
  MsgLink l;
  makeSecure(&l);
  ASSERT_EQ(agentMsg_CreateEmptyResponse(&l, 2015, RET_NOT_SUPPORTED), 1);
  std::vector<uint8_t> copy(l.SendPackage, l.SendPackage + 48);
  ASSERT_EQ(agentMsg_EncrypMessage(&l), 1);
  EXPECT_EQ(l.SendLength, 48u);
  EXPECT_EQ(0, memcmp(copy.data(), l.SendPackage, 48));
  EXPECT_EQ(le32(l.SendPackage + 8), 2015u);
  EXPECT_EQ(le32(l.SendPackage + 12), 0u);
  EXPECT_EQ(le32(l.SendPackage + 16), 203u);
  EXPECT_EQ(le32(l.SendPackage + 44), AV_END_TAG);

  // A verified peer of version 16 never sees encryption; frames still say 17.
  l.RecvHead.Version = 16;
  const char text[] = "{\"x\":\"y\"}";
  ASSERT_EQ(agentMsg_CombinSendingMessage(&l, MSG_ENGINE_STATUS, text, sizeof text), 1);
  EXPECT_EQ(l.SendLength, sizeof text + 48);
  EXPECT_STREQ(reinterpret_cast<char*>(l.SendPackage + 32), text);
  EXPECT_EQ(le32(l.SendPackage + 4), 17u);
  dropLink(&l);
}

TEST(FrameRecv, EncryptedRoundTripChecksTailAfterDecryption) {
  // Length 18: the EndTag straddles the last encrypted block, so the check
  // only passes if it runs on decrypted bytes.
  for (uint32_t len : {1u, 18u, 20u, 32u, 1000u}) {
    Pair s;
    MsgLink tx, rx;
    makeSecure(&tx);
    makeSecure(&rx);
    tx.socket = s.a;
    rx.socket = s.b;
    std::vector<uint8_t> body(len);
    for (uint32_t i = 0; i < len; ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(agentMsg_CombinSendingMessage(&tx, MSG_SCAN_FILE, body.data(), len), 1);
    ASSERT_EQ(agentMsg_DoSend(s.a, tx.SendPackage, tx.SendLength), 1);
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&rx), 0) << len;
    EXPECT_EQ(rx.RecvLength, len);
    EXPECT_EQ(0, memcmp(rx.RecvBody, body.data(), len));
    EXPECT_EQ(le32(rx.RecvBody + len), 0u);  // zero word terminates a text body
    dropLink(&tx);
    dropLink(&rx);
  }
}

TEST(FrameRecv, WrongKeyFailsTailCheckAndFreesBody) {
  avtest::LogCapture cap;
  Pair s;
  MsgLink tx, rx;
  makeSecure(&tx);
  rx.status = LINK_NORMAL;
  uint8_t other[32] = {0xEE};
  ASSERT_EQ(mc_AesSetDecryptKey(other, &rx.decryptKey), 0);
  tx.socket = s.a;
  rx.socket = s.b;
  const uint8_t body[18] = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(agentMsg_CombinSendingMessage(&tx, MSG_SCAN_FILE, body, sizeof body), 1);
  ASSERT_EQ(agentMsg_DoSend(s.a, tx.SendPackage, tx.SendLength), 1);
  EXPECT_EQ(agentMsg_RecvPackage_Compatible(&rx), 2);
  EXPECT_TRUE(cap.contains("msg_DoRecv(tail) FAIL.", AVLOG_ERR));
  EXPECT_EQ(rx.RecvBody, nullptr);
  dropLink(&tx);
  dropLink(&rx);
}

TEST(FrameRecv, HeaderChecksAndLengthLimit) {
  auto before = avtest::poolFreeCounts();
  {
    avtest::LogCapture cap;
    Pair s;
    MsgLink rx;
    rx.socket = s.b;
    ASSERT_TRUE(writeAll(s.a, rawFrame(4, 0x98BADCFE)));
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&rx), 1);
    EXPECT_TRUE(cap.contains("recv begin tag error", AVLOG_ERR));
    EXPECT_EQ(rx.RecvBody, nullptr);
  }
  {
    Pair s;
    MsgLink rx;
    rx.socket = s.b;
    std::thread t([&] { writeAll(s.a, rawFrame(8792)); });
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&rx), 0);
    t.join();
    EXPECT_EQ(rx.RecvLength, 8792u);
    EXPECT_EQ(rx.RecvBody[8791], 'a' + 8791 % 26);
    agentMsg_ReleaseLink(&rx);
  }
  {
    // Refused from the header alone: the body bytes behind it stay unread.
    avtest::LogCapture cap;
    Pair s;
    MsgLink rx;
    rx.socket = s.b;
    auto f = rawFrame(8793);
    ASSERT_EQ(send(s.a, f.data(), 32 + 10, 0), 42);
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&rx), 1);
    EXPECT_TRUE(cap.contains("recv message length error", AVLOG_ERR));
    char rest[64];
    EXPECT_EQ(recv(s.b, rest, sizeof rest, MSG_DONTWAIT), 10);
  }
  {
    avtest::LogCapture cap;
    Pair s;
    MsgLink rx;
    rx.socket = s.b;
    ASSERT_TRUE(writeAll(s.a, rawFrame(5, AV_BEGIN_TAG, 0x10325476)));
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&rx), 2);
    EXPECT_TRUE(cap.contains("msg_DoRecv(tail) FAIL."));
  }
  EXPECT_EQ(before, avtest::poolFreeCounts());
}

TEST(FrameRecv, StallingOrClosingPeerMidFrame) {
  EXPECT_EQ(agentMsg_IoWaitMs(), 30000);
  {
    avtest::LogCapture cap;
    avtest::DebugLevel dbg;
    agentMsg_SetIoWaitMs(200);
    Pair s;
    MsgLink rx;
    rx.socket = s.b;
    auto f = rawFrame(40);
    ASSERT_EQ(send(s.a, f.data(), 32 + 5, 0), 37);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&rx), 1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t0)
                  .count();
    agentMsg_SetIoWaitMs(0);  // back to the default
    EXPECT_GE(ms, 180);
    EXPECT_LT(ms, 5000);
    EXPECT_TRUE(cap.contains("msg_Waiting(recv) timeout", AVLOG_DBG));
    EXPECT_TRUE(cap.contains("msg_DoRecv(body) FAIL. 1", AVLOG_ERR));
    EXPECT_EQ(rx.RecvBody, nullptr);
  }
  EXPECT_EQ(agentMsg_IoWaitMs(), 30000);
  {
    avtest::LogCapture cap;
    avtest::DebugLevel dbg;
    Pair s;
    MsgLink rx;
    rx.socket = s.b;
    auto f = rawFrame(40);
    ASSERT_EQ(send(s.a, f.data(), 20, 0), 20);
    close(s.a);
    s.a = -1;
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&rx), 1);
    EXPECT_TRUE(cap.contains("recv zero, maybe remote socket closed"));
    EXPECT_TRUE(cap.contains("msg_DoRecv(head) FAIL. 1"));
  }
}

TEST(FrameSocket, DrainingBehindAFrame) {
  for (size_t extra : {0u, 99u, 100u, 300u, 1234u}) {
    Pair s;
    MsgLink rx;
    rx.socket = s.b;
    auto f = rawFrame(0);
    f.resize(48 + extra, 'z');
    ASSERT_TRUE(writeAll(s.a, f));
    ASSERT_EQ(agentMsg_RecvPackage_Compatible(&rx), 0);
    EXPECT_EQ(rx.RecvLength, 0u);
    EXPECT_EQ(agentMsg_EmptySocket(s.b), 1) << extra;
    char c;
    EXPECT_EQ(recv(s.b, &c, 1, MSG_DONTWAIT), -1) << extra;
    // The next frame arrives whole.
    ASSERT_TRUE(writeAll(s.a, rawFrame(7)));
    EXPECT_EQ(agentMsg_RecvPackage_Compatible(&rx), 0);
    EXPECT_EQ(rx.RecvLength, 7u);
    agentMsg_ReleaseLink(&rx);
  }
  avtest::LogCapture cap;
  Pair s;
  ASSERT_EQ(send(s.a, "abc", 3, 0), 3);
  close(s.a);
  s.a = -1;
  EXPECT_EQ(agentMsg_EmptySocket(s.b), 1);  // 3 bytes: a short read ends the drain
  EXPECT_EQ(agentMsg_EmptySocket(s.b), 0);  // now only the close is waiting
  EXPECT_TRUE(cap.contains("Socket is closed, errno", AVLOG_INFO));
}

TEST(FrameSocket, WaitsAndSends) {
  avtest::LogCapture cap;
  avtest::DebugLevel dbg;
  Pair s;
  EXPECT_EQ(agentMsg_Waiting(s.b, 0, 0), 0);
  EXPECT_FALSE(cap.contains("msg_Waiting > select time out"));
  EXPECT_EQ(agentMsg_Waiting(s.b, 0, 30), 0);
  EXPECT_TRUE(cap.contains("msg_Waiting > select time out", AVLOG_DBG));
  EXPECT_EQ(agentMsg_Waiting(s.b, 1, 0), 1);
  // Descriptors above 1023 work (poll, not select).
  int high = dup2(s.b, 1500);
  ASSERT_EQ(high, 1500);
  ASSERT_EQ(send(s.a, "x", 1, 0), 1);
  EXPECT_EQ(agentMsg_Waiting(high, 0, 1000), 1);
  close(high);
  EXPECT_EQ(agentMsg_Waiting(high, 0, 10), 2);
  EXPECT_TRUE(cap.contains("select FAIL, SOCKET error code is", AVLOG_ERR));

  // Sending to a closed peer fails without SIGPIPE killing the test.
  close(s.b);
  s.b = -1;
  std::vector<uint8_t> big(1 << 20, 1);
  EXPECT_EQ(agentMsg_DoSend(s.a, big.data(), big.size()), 0);
  EXPECT_TRUE(cap.contains("send FAIL, SOCKET error code is"));
}

TEST(FrameListen, DualListenersOnOnePort) {
  avtest::LogCapture cap;
  int v4 = -1, v6 = -1;
  // Find a free port from the kernel first.
  ASSERT_EQ(agentMsg_ListenMessageClient(0, &v4, "0", 4), 1);
  sockaddr_in a{};
  socklen_t al = sizeof a;
  ASSERT_EQ(getsockname(v4, reinterpret_cast<sockaddr*>(&a), &al), 0);
  std::string port = std::to_string(ntohs(a.sin_port));
  close(v4);
  ASSERT_EQ(agentMsg_ListenMessageClient(1, &v6, port.c_str(), 4), 1);
  ASSERT_EQ(agentMsg_ListenMessageClient(0, &v4, port.c_str(), 4), 1);
  int on = 0;
  socklen_t ol = sizeof on;
  ASSERT_EQ(getsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &on, &ol), 0);
  EXPECT_EQ(on, 1);
  ASSERT_EQ(getsockopt(v4, SOL_SOCKET, SO_REUSEADDR, &on, &ol), 0);
  EXPECT_EQ(on, 1);
  // A second live listener on the port is refused despite SO_REUSEADDR.
  int again = -1;
  EXPECT_EQ(agentMsg_ListenMessageClient(0, &again, port.c_str(), 4), 0);
  EXPECT_TRUE(cap.contains("bind FAIL, SOCKET error code is", AVLOG_ERR));
  // Both families connect.
  for (int fam : {AF_INET, AF_INET6}) {
    int c = socket(fam, SOCK_STREAM, 0);
    int rc;
    if (fam == AF_INET) {
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      rc = connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } else {
      sockaddr_in6 sa{};
      sa.sin6_family = AF_INET6;
      sa.sin6_port = htons(static_cast<uint16_t>(std::stoi(port)));
      sa.sin6_addr = in6addr_loopback;
      rc = connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    EXPECT_EQ(rc, 0) << fam;
    int srv = accept(fam == AF_INET ? v4 : v6, nullptr, nullptr);
    EXPECT_GE(srv, 0);
    if (srv >= 0) close(srv);
    close(c);
  }
  close(v4);
  close(v6);
  EXPECT_EQ(agentMsg_ListenMessageClient(0, &again, "no-such-port", 4), 0);
  EXPECT_TRUE(cap.contains("msg_ParseBindPort FAIL.", AVLOG_ERR));
}

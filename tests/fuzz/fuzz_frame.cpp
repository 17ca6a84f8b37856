// Frame receiver: the bytes of one input are what a storage system wrote on a
// connection; they sit in a socketpair whose peer side is shut, and the agent
// receives frames from it until one fails. Byte 0 picks the link:
//   0  unverified link (plain frames)
//   1  verified link, fixed AES key: the bytes go as they are (headers of
//      version 17 or above mean encrypted blocks follow)
//   2  verified link, peer version 17: the first frame's Version is set to 17
//      and its blocks are encrypted here, so the fuzzer steers the plaintext
// Checks besides the sanitizers: an accepted plain (or decrypted) body equals
// what was sent, every pool block is back after the link is released.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "channel/crypto.h"
#include "channel/frame.h"
#include "runtime/mem_pool.h"

void fuzzSetUp();
std::array<uint32_t, AV_POOL_PARTITIONS> fuzzPoolCounts();
void fuzzCheckPool(const std::array<uint32_t, AV_POOL_PARTITIONS>& before, const char* where);

namespace {

constexpr uint8_t kKey[32] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 0x01, 0x23, 0x45,
                              0x67, 0x89, 0xab, 0xcd, 0xef, 0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5,
                              0x96, 0x87, 0x78, 0x69, 0x5a, 0x4b, 0x3c, 0x2d, 0x1e, 0x0f};
constexpr int kMaxFrames = 4;

uint32_t le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "frame fuzz: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzSetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64 * 1024) return -1;  // the socket buffer holds it all
  const int mode = data[0] % 3;
  std::vector<uint8_t> wire(data + 1, data + size);

  // Plaintext of the first frame's body, when this input lets us know it.
  bool knowBody = false;
  std::vector<uint8_t> plainBody;
  if (mode == 2 && wire.size() >= AV_HEADER_SIZE) {
    wire[4] = 17;
    wire[5] = wire[6] = wire[7] = 0;
    uint32_t len = le32(&wire[12]);
    if (len > 0 && len <= AV_MAX_BODY) {
      size_t avail = (wire.size() - AV_HEADER_SIZE) / 16;
      size_t blocks = (len + 15) / 16;
      if (blocks > avail) blocks = avail;
      if (wire.size() >= AV_HEADER_SIZE + len) {
        plainBody.assign(wire.begin() + AV_HEADER_SIZE, wire.begin() + AV_HEADER_SIZE + len);
        knowBody = true;
      }
      AesBlockKey enc;
      if (mc_AesSetEncryptKey(kKey, &enc) != 0) fail("encrypt key");
      if (blocks > 0 &&
          mc_AesEncryptBlocks(&enc, &wire[AV_HEADER_SIZE], static_cast<uint32_t>(blocks)) != 0)
        fail("encrypt blocks");
      mc_AesFreeKey(&enc);
    }
  } else if (wire.size() >= AV_HEADER_SIZE) {
    uint32_t len = le32(&wire[12]);
    bool encrypted = mode == 1 && le32(&wire[4]) >= AV_PROTOCOL_VERSION && len > 0;
    if (!encrypted && len <= AV_MAX_BODY && wire.size() >= AV_HEADER_SIZE + len) {
      plainBody.assign(wire.begin() + AV_HEADER_SIZE, wire.begin() + AV_HEADER_SIZE + len);
      knowBody = true;
    }
  }

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair");
  int sndbuf = 256 * 1024;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  if (!wire.empty() && agentMsg_DoSend(sv[1], wire.data(), static_cast<uint32_t>(wire.size())) != 1)
    fail("feeding the socket");
  shutdown(sv[1], SHUT_WR);

  auto before = fuzzPoolCounts();
  MsgLink link;
  link.socket = sv[0];
  if (mode != 0) {
    if (mc_AesSetDecryptKey(kKey, &link.decryptKey) != 0 ||
        mc_AesSetEncryptKey(kKey, &link.encryptKey) != 0)
      fail("link keys");
    link.status = LINK_NORMAL;
  }
  for (int i = 0; i < kMaxFrames; ++i) {
    int rc = agentMsg_RecvPackage_Compatible(&link);
    if (rc != 0) {
      if (rc != 1 && rc != 2) fail("result other than 0, 1, 2");
      if (link.RecvBody != nullptr) fail("failed receive kept its body");
      break;
    }
    if (link.RecvBody == nullptr) fail("accepted frame without a body");
    if (link.RecvHead.Length > AV_MAX_BODY || link.RecvLength != link.RecvHead.Length)
      fail("accepted length");
    if (i == 0 && knowBody &&
        (plainBody.size() != link.RecvLength ||
         (link.RecvLength > 0 && memcmp(plainBody.data(), link.RecvBody, link.RecvLength) != 0)))
      fail("accepted body differs from the body sent");
    agentMsg_ReleaseLink(&link);
  }
  agentMsg_ReleaseLink(&link);
  agentMsg_FreeLinkKeys(&link);
  fuzzCheckPool(before, "frame");
  close(sv[0]);
  close(sv[1]);
  return 0;
}

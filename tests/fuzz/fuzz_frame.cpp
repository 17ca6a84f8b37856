// Frame receiver on what a storage system wrote. Byte 0: 0 unverified link; 1
// verified, bytes as they are; 2 verified, first frame set to version 17 and
// encrypted here so the fuzzer steers the plaintext. Oracle: an accepted body
// equals the body sent; pool blocks return.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "channel/crypto.h"
#include "channel/frame.h"
#include "fuzz_env.h"

namespace {

constexpr uint8_t kKey[32] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                              0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87, 0x78, 0x69, 0x5a, 0x4b, 0x3c, 0x2d, 0x1e, 0x0f};

[[noreturn]] void fail(const char* what) { fuzzFail("frame", what); }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzzSetUp(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64 * 1024) return -1;  // the socket buffer holds it all
  const int mode = data[0] % 3;
  std::vector<uint8_t> wire(data + 1, data + size);
  std::vector<uint8_t> plainBody;  // of the first frame, when known
  bool knowBody = false;
  if (wire.size() >= AV_HEADER_SIZE) {
    if (mode == 2) wire[4] = 17, wire[5] = wire[6] = wire[7] = 0;
    const uint32_t len = fuzzLe32(&wire[12]);
    const bool encrypted = mode != 0 && fuzzLe32(&wire[4]) >= AV_PROTOCOL_VERSION && len > 0;
    if ((mode == 2 || !encrypted) && len <= AV_MAX_BODY && wire.size() >= AV_HEADER_SIZE + len) {
      plainBody.assign(wire.begin() + AV_HEADER_SIZE, wire.begin() + AV_HEADER_SIZE + len);
      knowBody = true;
    }
    const size_t blocks = std::min<size_t>((len + 15) / 16, (wire.size() - AV_HEADER_SIZE) / 16);
    if (mode == 2 && len > 0 && len <= AV_MAX_BODY && blocks > 0) {
      AesBlockKey enc;
      if (mc_AesSetEncryptKey(kKey, &enc) != 0 || mc_AesEncryptBlocks(&enc, &wire[AV_HEADER_SIZE], static_cast<uint32_t>(blocks)) != 0)
        fail("encrypting the body");
      mc_AesFreeKey(&enc);
    }
  }
  int sv[2];
  fuzzFeed(wire.data(), wire.size(), sv);
  {
    FuzzPoolGuard pool("frame");
    MsgLink link;
    link.socket = sv[0];
    if (mode != 0) {
      if (mc_AesSetDecryptKey(kKey, &link.decryptKey) != 0 || mc_AesSetEncryptKey(kKey, &link.encryptKey) != 0) fail("link keys");
      link.status = LINK_NORMAL;
    }
    for (int i = 0; i < 4; ++i) {
      int rc = agentMsg_RecvPackage_Compatible(&link);
      if (rc != 0) {
        if (rc != 1 && rc != 2) fail("result other than 0, 1, 2");
        if (link.RecvBody != nullptr) fail("failed receive kept its body");
        break;
      }
      if (link.RecvBody == nullptr) fail("accepted frame without a body");
      if (link.RecvHead.Length > AV_MAX_BODY || link.RecvLength != link.RecvHead.Length) fail("accepted length");
      if (i == 0 && knowBody && (plainBody.size() != link.RecvLength ||
                                 (link.RecvLength > 0 && memcmp(plainBody.data(), link.RecvBody, link.RecvLength) != 0)))
        fail("accepted body differs from the body sent");
      agentMsg_ReleaseLink(&link);
    }
    agentMsg_ReleaseLink(&link);
    agentMsg_FreeLinkKeys(&link);
  }
  close(sv[0]), close(sv[1]);
  return 0;
}

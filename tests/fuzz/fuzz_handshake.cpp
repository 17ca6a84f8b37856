// Handshake: ms_VerifyClient against a peer thread answering the challenge.
// Byte 0: 0 raw input; 1 a 2001 frame with the right v17 HMAC, then the key part;
// 2 the v16 HMAC over the whole challenge. Byte 1 flags: 1 RSA-encrypt the key
// part, 2 spoil the HMAC, 4 byte 2 as Length. Oracle: raw or spoiled answers are
// refused; honest v16, and v17 with at most 64 key bytes, accepted; LINK_NORMAL
// exactly when verified, 2001 / 100 sent then; pool blocks return.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "channel/frame.h"
#include "channel/handshake.h"
#include "fuzz_env.h"

namespace {

const uint8_t* const kVerifyKey = reinterpret_cast<const uint8_t*>("fuzz-verify-key-0123456789abcdef");
[[noreturn]] void fail(const char* what) { fuzzFail("handshake", what); }
bool readAll(int fd, uint8_t* buf, size_t n) { return recv(fd, buf, n, MSG_WAITALL) == static_cast<ssize_t>(n); }
void put32(std::vector<uint8_t>& f, uint32_t v) {
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> rsaEncrypt(const std::vector<uint8_t>& in) {
  EVP_PKEY* key = agentMsg_ServerRSAInfo()->key;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  std::vector<uint8_t> out(static_cast<size_t>(EVP_PKEY_get_size(key)));
  size_t outLen = out.size();
  if (!ctx || EVP_PKEY_encrypt_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx, out.data(), &outLen, in.data(), in.size()) != 1)
    fail("RSA encryption");
  EVP_PKEY_CTX_free(ctx);
  return out.resize(outLen), out;
}

struct PeerPlan {
  int mode = 0;
  uint8_t flags = 0, lengthLie = 0;
  std::vector<uint8_t> rest;
};

void peer(int fd, const PeerPlan& plan, int* gotResult) {
  uint8_t head[AV_HEADER_SIZE];
  if (!readAll(fd, head, sizeof head)) fail("no challenge");
  const uint32_t len = fuzzLe32(head + 12);
  if (fuzzLe32(head + 8) != MSG_HANDSHAKE_CHALLENGE || len > 512 || len <= AV_CHALLENGE_RANDOM_LEN) fail("challenge header");
  std::vector<uint8_t> challenge(len + AV_TAIL_SIZE);
  if (!readAll(fd, challenge.data(), challenge.size())) fail("challenge body");
  std::vector<uint8_t> answer = plan.rest;
  if (plan.mode != 0) {
    uint8_t digest[32];
    if (msg_HmacHash(challenge.data(), plan.mode == 1 ? AV_CHALLENGE_RANDOM_LEN : len, kVerifyKey, 32, digest, 32) != 1) fail("HMAC");
    if (plan.flags & 2) digest[plan.rest.empty() ? 0 : plan.rest[0] % 32] ^= 0x01;
    std::vector<uint8_t> body(digest, digest + 32), part = (plan.flags & 1) ? rsaEncrypt(plan.rest) : plan.rest;
    body.insert(body.end(), part.begin(), part.end());
    answer.clear();
    put32(answer, AV_BEGIN_TAG), put32(answer, plan.mode == 1 ? AV_PROTOCOL_VERSION : 16), put32(answer, MSG_HANDSHAKE_ANSWER);
    put32(answer, (plan.flags & 4) ? plan.lengthLie : static_cast<uint32_t>(body.size()));
    answer.resize(AV_HEADER_SIZE);
    answer.insert(answer.end(), body.begin(), body.end());
    answer.resize(answer.size() + AV_TAIL_SIZE - 4);
    put32(answer, AV_END_TAG);
  }
  if (!answer.empty()) (void)send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  uint8_t r[AV_HEADER_SIZE + AV_TAIL_SIZE];
  *gotResult = readAll(fd, r, sizeof r) && fuzzLe32(r) == AV_BEGIN_TAG && fuzzLe32(r + 8) == MSG_HANDSHAKE_ANSWER &&
               fuzzLe32(r + 16) == RET_OK && fuzzLe32(r + 12) == 0;
  for (uint8_t sink[256]; recv(fd, sink, sizeof sink, 0) > 0;) {
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzSetUp();
  if (agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()) != 1) fail("RSA key pair");
  return agentMsg_InitRSALock(), 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 16 * 1024) return -1;
  PeerPlan plan;
  plan.mode = data[0] % 3;
  const size_t skip = plan.mode == 0 ? 1 : 3;
  if (plan.mode != 0) plan.flags = size > 1 ? data[1] : 0, plan.lengthLie = size > 2 ? data[2] : 0;
  if (size > skip) plan.rest.assign(data + skip, data + size);
  const bool rsa = plan.mode != 0 && (plan.flags & 1), honest = plan.mode != 0 && !(plan.flags & 6);
  if (rsa && plan.rest.size() > 117) return -1;  // RSA-1024 room
  const bool expectRefuse = plan.mode == 0 || (plan.flags & 2) || (honest && plan.mode == 1 && rsa && plan.rest.size() > 64);
  const bool expectAccept = honest && ((plan.mode == 2 && 32 + (rsa ? 128 : plan.rest.size()) <= AV_MAX_BODY) ||
                                       (plan.mode == 1 && rsa && plan.rest.size() <= 64));
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair");
  FuzzPoolGuard pool("handshake");
  int gotResult = 0;
  std::thread t(peer, sv[1], std::cref(plan), &gotResult);
  MsgLink link;
  link.socket = sv[0];
  int ok = ms_VerifyClient(&link, kVerifyKey, 32);
  shutdown(sv[0], SHUT_WR);
  t.join();
  if (ok != 0 && ok != 1) fail("result other than 0 or 1");
  if ((ok == 1) != (link.status == LINK_NORMAL)) fail("link status disagrees with the result");
  if (ok == 0 && link.status != LINK_FAULT) fail("refused link not marked LINK_FAULT");
  if (expectRefuse && ok == 1) fail("forged or spoiled answer accepted");
  if (expectAccept && ok != 1) fail("honest answer refused");
  if (ok == 1 && !gotResult) fail("verified without sending 2001 / 100");
  if (link.RecvBody != nullptr || link.SendPackage != nullptr) fail("frame buffers kept");
  agentMsg_FreeLinkKeys(&link);
  close(sv[0]), close(sv[1]);
  return 0;
}

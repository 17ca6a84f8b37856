// Handshake answer: the agent side (ms_VerifyClient) runs on one end of a
// socketpair; a peer thread on the other end reads the 2000 challenge and
// answers with bytes taken from the input. Byte 0 picks how:
//   0  raw: the rest of the input is written as it is (header, body, tail)
//   1  assisted v17: a well-formed 2001 frame with the right HMAC over the 43
//      random bytes, followed by the key part built from the input
//   2  assisted v16: the right HMAC over the whole challenge, then the input
// In the assisted modes byte 1 holds flags: bit 0 RSA-encrypt the key part
// under the agent's public key, bit 1 spoil the HMAC, bit 2 put byte 2 into
// Length instead of the true length. The rest is the key part.
// Checks: a raw answer or a spoiled HMAC is never accepted; an honest v16
// answer, and an honest v17 answer with at most 64 bytes of key material, are;
// the link ends LINK_NORMAL exactly when it was verified; pool blocks return.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "channel/frame.h"
#include "channel/handshake.h"
#include "fuzz_env.h"

namespace {

const uint8_t* const kVerifyKey = reinterpret_cast<const uint8_t*>("fuzz-verify-key-0123456789abcdef");

[[noreturn]] void fail(const char* what) { fuzzFail("handshake", what); }

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool readAll(int fd, uint8_t* buf, size_t n) { return recv(fd, buf, n, MSG_WAITALL) == static_cast<ssize_t>(n); }

std::vector<uint8_t> rsaEncrypt(const uint8_t* in, size_t n) {
  EVP_PKEY* key = agentMsg_ServerRSAInfo()->key;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  std::vector<uint8_t> out(static_cast<size_t>(EVP_PKEY_get_size(key)));
  size_t outLen = out.size();
  if (!ctx || EVP_PKEY_encrypt_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx, out.data(), &outLen, in, n) != 1)
    fail("RSA encryption");
  EVP_PKEY_CTX_free(ctx);
  out.resize(outLen);
  return out;
}

struct PeerPlan {
  int mode = 0;
  uint8_t flags = 0, lengthLie = 0;
  std::vector<uint8_t> rest;
  bool expectAccept = false, expectRefuse = false;  // a known honest answer / one that cannot pass
};

std::vector<uint8_t> buildFrame(uint32_t version, const std::vector<uint8_t>& body, uint32_t length) {
  std::vector<uint8_t> f(AV_HEADER_SIZE + body.size() + AV_TAIL_SIZE, 0);
  const uint32_t head[] = {AV_BEGIN_TAG, version, MSG_HANDSHAKE_ANSWER, length};
  for (int i = 0; i < 4; ++i) put32(&f[4 * i], head[i]);
  std::copy(body.begin(), body.end(), f.begin() + AV_HEADER_SIZE);
  put32(&f[f.size() - 4], AV_END_TAG);
  return f;
}

// The storage system's side: read the challenge, answer, read what comes back.
void peer(int fd, const PeerPlan& plan, int* gotResult) {
  uint8_t head[AV_HEADER_SIZE];
  if (!readAll(fd, head, sizeof head)) fail("no challenge");
  const uint32_t len = fuzzLe32(head + 12);
  if (fuzzLe32(head + 8) != MSG_HANDSHAKE_CHALLENGE || len > 512 || len <= AV_CHALLENGE_RANDOM_LEN) fail("challenge header");
  std::vector<uint8_t> challenge(len + AV_TAIL_SIZE);
  if (!readAll(fd, challenge.data(), challenge.size())) fail("challenge body");
  challenge.resize(len);

  std::vector<uint8_t> answer;
  if (plan.mode == 0) {
    answer = plan.rest;
  } else {
    bool v17 = plan.mode == 1;
    uint8_t digest[32];
    uint32_t hmacLen = v17 ? AV_CHALLENGE_RANDOM_LEN : static_cast<uint32_t>(challenge.size());
    if (msg_HmacHash(challenge.data(), hmacLen, kVerifyKey, 32, digest, 32) != 1) fail("HMAC");
    if (plan.flags & 2) digest[plan.rest.empty() ? 0 : plan.rest[0] % 32] ^= 0x01;
    std::vector<uint8_t> body(digest, digest + 32);
    std::vector<uint8_t> part = plan.rest;
    if (plan.flags & 1) part = rsaEncrypt(plan.rest.data(), plan.rest.size());
    body.insert(body.end(), part.begin(), part.end());
    uint32_t length = (plan.flags & 4) ? plan.lengthLie : static_cast<uint32_t>(body.size());
    answer = buildFrame(v17 ? AV_PROTOCOL_VERSION : 16, body, length);
  }
  if (!answer.empty()) (void)send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  // The agent's confirmation, an empty 2001 / 100, if it sends one.
  uint8_t result[AV_HEADER_SIZE + AV_TAIL_SIZE];
  *gotResult = readAll(fd, result, sizeof result) && fuzzLe32(result) == AV_BEGIN_TAG &&
               fuzzLe32(result + 8) == MSG_HANDSHAKE_ANSWER && fuzzLe32(result + 16) == RET_OK && fuzzLe32(result + 12) == 0;
  for (uint8_t sink[256]; recv(fd, sink, sizeof sink, 0) > 0;) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzSetUp();
  if (agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()) != 1) fail("RSA key pair");
  agentMsg_InitRSALock();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 16 * 1024) return -1;
  PeerPlan plan;
  plan.mode = data[0] % 3;
  size_t skip = plan.mode == 0 ? 1 : 3;
  if (plan.mode != 0) {
    plan.flags = size > 1 ? data[1] : 0;
    plan.lengthLie = size > 2 ? data[2] : 0;
  }
  if (size > skip) plan.rest.assign(data + skip, data + size);
  const bool honestHmac = plan.mode != 0 && !(plan.flags & 2) && !(plan.flags & 4);
  if (plan.mode != 0 && (plan.flags & 1) && plan.rest.size() > 117) return -1;  // RSA-1024 room
  if (plan.mode == 0 || (plan.flags & 2)) plan.expectRefuse = true;
  const size_t partLen = (plan.mode != 0 && (plan.flags & 1)) ? 128 : plan.rest.size();
  if (honestHmac && plan.mode == 2 && 32 + partLen <= AV_MAX_BODY) plan.expectAccept = true;
  if (honestHmac && plan.mode == 1 && (plan.flags & 1)) (plan.rest.size() <= 64 ? plan.expectAccept : plan.expectRefuse) = true;

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
  if (plan.expectRefuse && ok == 1) fail("forged or spoiled answer accepted");
  if (plan.expectAccept && ok != 1) fail("honest answer refused");
  if (ok == 1 && !gotResult) fail("verified without sending 2001 / 100");
  if (link.RecvBody != nullptr || link.SendPackage != nullptr) fail("frame buffers kept");
  agentMsg_FreeLinkKeys(&link);
  close(sv[0]), close(sv[1]);
  return 0;
}

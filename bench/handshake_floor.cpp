// The floor under the agent's handshake rate on this machine: a bare
// thread-per-connection server that moves the same bytes as a version-17
// handshake (a 231-byte challenge with a real RSA-1024 public key, a 208-byte
// answer, a 48-byte result, then the client's close) and makes the one RSA
// private decryption per connection under one process-wide lock, as the agent
// does, with nothing else: no log, no pool, no peer checks, no MAC, and
// threads that wait in accept() themselves instead of being handed a socket.
// Its clients are as bare: one public-key encryption per connection, no MAC.
// What the bare pair reaches over the sign rate is what the agent could reach
// at best with its clients on the same CPUs.
// Usage: handshake_floor serve --port-file F [--threads N]
//        handshake_floor load --port P [--connections C] [--count N]
//   load prints "ok=N failed=M seconds=S" like the client's load command.
#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"

namespace {

constexpr size_t kHeader = 32, kTail = 16, kRandom = 43, kDigest = 32;
constexpr size_t kPublicKey = 140;  // RSAPublicKey DER of a 1024-bit modulus, exponent 65537
constexpr size_t kRsaBlock = 128;
constexpr size_t kChallengeFrame = kHeader + kRandom + kPublicKey + kTail;   // 231
constexpr size_t kAnswerFrame = kHeader + kDigest + kRsaBlock + kTail;       // 208
constexpr size_t kResultFrame = kHeader + kTail;                             // 48

struct Server {
  uint8_t challenge[kChallengeFrame];  // header, random bytes, public key, tail
  EVP_PKEY_CTX* decrypt = nullptr;
  std::mutex rsaLock;
};

void serveConnections(int listener, Server* s) {
  uint8_t answer[kAnswerFrame], result[kResultFrame] = {}, plain[kRsaBlock], scratch[64];
  for (;;) {
    const int c = accept(listener, nullptr, nullptr);
    if (c < 0) continue;
    setNoDelay(c);
    if (writeAll(c, s->challenge, sizeof s->challenge) && readAll(c, answer, sizeof answer)) {
      size_t n = sizeof plain;
      int ok;
      {
        std::lock_guard<std::mutex> lock(s->rsaLock);
        ok = EVP_PKEY_decrypt(s->decrypt, plain, &n, answer + kHeader + kDigest, kRsaBlock);
      }
      if (ok == 1 && writeAll(c, result, sizeof result))
        while (recv(c, scratch, sizeof scratch, 0) > 0) {
        }
    }
    close(c);
  }
}

int serve(const char* portFile, int threads) {
  Server s;
  EVP_PKEY* key = EVP_RSA_gen(1024);
  if (!key || i2d_PublicKey(key, nullptr) != static_cast<int>(kPublicKey)) return 1;
  memset(s.challenge, 0x5a, sizeof s.challenge);
  unsigned char* out = s.challenge + kHeader + kRandom;
  i2d_PublicKey(key, &out);
  s.decrypt = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  if (!s.decrypt || EVP_PKEY_decrypt_init(s.decrypt) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(s.decrypt, RSA_PKCS1_PADDING) != 1)
    return 1;
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1024) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return 1;
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back(serveConnections, listener, &s);
  FILE* f = fopen(portFile, "w");
  if (!f) return 1;
  fprintf(f, "%d\n", ntohs(a.sin_port));
  fclose(f);
  for (auto& t : pool) t.join();  // served until killed
  return 0;
}

// One connection after another: connect, take the challenge, answer with
// fresh key material under the server's public key, take the result, close.
void loadThread(int port, long count, long* ok) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  uint8_t challenge[kChallengeFrame], answer[kAnswerFrame] = {}, result[kResultFrame];
  uint8_t material[64] = {};
  EVP_PKEY_CTX* encrypt = nullptr;
  for (long i = 0; i < count; ++i) {
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    bool good = c >= 0 && connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                readAll(c, challenge, sizeof challenge);
    if (good) setNoDelay(c);
    if (good && !encrypt) {  // the key is the same in every challenge
      const unsigned char* p = challenge + kHeader + kRandom;
      EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, kPublicKey);
      encrypt = key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr) : nullptr;
      good = encrypt && EVP_PKEY_encrypt_init(encrypt) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(encrypt, RSA_PKCS1_PADDING) == 1;
    }
    size_t n = kRsaBlock;
    material[i % sizeof material]++;
    good = good && EVP_PKEY_encrypt(encrypt, answer + kHeader + kDigest, &n, material,
                                    sizeof material) == 1 &&
           writeAll(c, answer, sizeof answer) && readAll(c, result, sizeof result);
    if (c >= 0) close(c);
    if (good) ++*ok;
  }
}

int load(int port, int connections, long count) {
  std::vector<long> ok(static_cast<size_t>(connections), 0);
  std::vector<std::thread> threads;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < connections; ++i) threads.emplace_back(loadThread, port, count, &ok[i]);
  for (auto& t : threads) t.join();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  long total = 0;
  for (long v : ok) total += v;
  printf("ok=%ld failed=%ld seconds=%.3f\n", total, connections * count - total, s);
  return total == connections * count ? 0 : 1;
}

std::string arg(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 2; i + 1 < argc; i += 2)
    if (!strcmp(argv[i], name)) return argv[i + 1];
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "serve" && !arg(argc, argv, "--port-file", "").empty())
    return serve(arg(argc, argv, "--port-file", "").c_str(), atoi(arg(argc, argv, "--threads", "8").c_str()));
  if (mode == "load" && !arg(argc, argv, "--port", "").empty())
    return load(atoi(arg(argc, argv, "--port", "").c_str()),
                atoi(arg(argc, argv, "--connections", "2").c_str()),
                atol(arg(argc, argv, "--count", "1500").c_str()));
  fprintf(stderr, "usage: handshake_floor serve --port-file F [--threads N] | load --port P "
                  "[--connections C] [--count N]\n");
  return 2;
}

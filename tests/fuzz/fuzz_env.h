// Shared by the fuzz targets: a scratch root and loopback-only configuration,
// a pool check, an abort that keeps the input, a socket pre-filled with it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

void fuzzSetUp();
const std::string& fuzzRoot();
[[noreturn]] void fuzzFail(const char* target, const char* what, const std::string& detail = "");
// Pool blocks live where the leak checker cannot see: one not returned while
// the guard lived aborts when it ends.
class FuzzPoolGuard {
 public:
  explicit FuzzPoolGuard(const char* target);
  ~FuzzPoolGuard();
 private:
  const char* target_;
  uint32_t free_[16];
};
// sv[1] has sent the n bytes and shut its write side; sv[0] is the agent's end.
void fuzzFeed(const void* data, size_t n, int sv[2]);
inline uint32_t fuzzLe32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

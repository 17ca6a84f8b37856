// What every fuzz target shares (fuzz_env.cpp): the scratch root and
// configuration, the pool check, the abort with a reason, and a socket pair
// whose peer has written the input and shut its side.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

void fuzzSetUp();
const std::string& fuzzRoot();
// Aborts (so libFuzzer keeps the input) with "<target>: <what>" and the detail.
[[noreturn]] void fuzzFail(const char* target, const char* what, const std::string& detail = "");
// Pool blocks live in one region the leak checker cannot see into: a block
// not returned while the guard lived aborts when it ends.
class FuzzPoolGuard {
 public:
  explicit FuzzPoolGuard(const char* target);
  ~FuzzPoolGuard();

 private:
  const char* target_;
  uint32_t free_[16];
};
// A socket pair whose second end has sent the n bytes and shut its write side;
// sv[0] is the agent's end. Both ends are the caller's to close.
void fuzzFeed(const void* data, size_t n, int sv[2]);
inline uint32_t fuzzLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

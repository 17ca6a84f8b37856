// Helpers of the channel tests: wire words, raw frames as a foreign peer writes them.
#pragma once
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "channel/frame.h"

namespace chtest {

inline uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }
inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// Body bytes 'a', 'b', ... behind a version 17 header.
inline std::vector<uint8_t> rawFrame(uint32_t len, uint32_t tag = AV_BEGIN_TAG, uint32_t endTag = AV_END_TAG) {
  std::vector<uint8_t> f(len + 48, 0);
  const uint32_t head[] = {tag, 17, MSG_SCAN_FILE, len};
  for (int i = 0; i < 4; ++i) put32(f.data() + 4 * i, head[i]);
  for (uint32_t i = 0; i < len; ++i) f[32 + i] = static_cast<uint8_t>('a' + i % 26);
  put32(f.data() + 32 + len + 12, endTag);
  return f;
}
inline bool writeAll(int fd, const std::vector<uint8_t>& v) {
  return send(fd, v.data(), v.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(v.size());
}
inline void socketPair(int* a, int* b) {
  int sv[2] = {-1, -1};
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  *a = sv[0], *b = sv[1];
}

}  // namespace chtest

// Helpers of the channel tests: wire words, raw frames as a foreign peer writes them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "channel/frame.h"
#include "platform/net.h"

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
  size_t done = 0;
  return net_Send(fd, v.data(), v.size(), 0, &done) == 0 && done == v.size();
}
// A connected pair over IPv4 loopback (-1, -1 when that fails).
inline void socketPair(int* a, int* b) {
  *a = *b = -1;
  int lfd = -1, port = 0;
  NetStep step;
  std::vector<NetEndpoint> to;
  if (net_Listen(NET_IPV4, "0", 1, &lfd, &step) != 0) return;
  if (net_LocalPort(lfd, &port) == 0 &&
      net_Resolve("127.0.0.1", std::to_string(port).c_str(), NET_IPV4, &to) == 0 &&
      net_Connect(to, 5000, a) == 0) {
    NetAccepted acc;
    if (net_Accept(lfd, &acc) == 0) *b = acc.fd;
  }
  net_Close(lfd);
}

}  // namespace chtest

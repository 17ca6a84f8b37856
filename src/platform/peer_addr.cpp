// Shared by every platform: only where the address conversions are declared differs.
#include "platform/peer_addr.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

void mapV4(const void* v4, PeerAddr* out) {
  std::memcpy(out->bytes, kMappedPrefix, sizeof kMappedPrefix);
  std::memcpy(out->bytes + 12, v4, 4);
}

}  // namespace

int peerAddr_FromV4(const uint8_t v4[4], PeerAddr* out) {
  mapV4(v4, out);
  return 0;
}

int peerAddr_FromText(const char* text, PeerAddr* out, bool* wasV4) {
  if (!text || !out) return EINVAL;
  in_addr v4{};
  if (inet_pton(AF_INET, text, &v4) == 1) {
    mapV4(&v4, out);
    if (wasV4) *wasV4 = true;
    return 0;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, text, &v6) == 1) {
    std::memcpy(out->bytes, &v6, 16);
    if (wasV4) *wasV4 = false;
    return 0;
  }
  return EINVAL;
}

bool peerAddr_IsV4(const PeerAddr* addr) {
  return addr && std::memcmp(addr->bytes, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

void peerAddr_ToText(const PeerAddr* addr, char* out, uint32_t size) {
  if (!out || size == 0) return;
  out[0] = '\0';
  if (!addr) return;
  char text[PEER_ADDR_TEXT_SIZE] = {};
  const bool ok = peerAddr_IsV4(addr)
                      ? inet_ntop(AF_INET, addr->bytes + 12, text, sizeof text) != nullptr
                      : inet_ntop(AF_INET6, addr->bytes, text, sizeof text) != nullptr;
  if (!ok) return;
  const size_t n = std::min<size_t>(std::strlen(text), size - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

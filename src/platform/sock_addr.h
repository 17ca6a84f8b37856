// Address records as both socket layers read them: included by each
// platform's net.cpp after its own socket headers, which declare sockaddr,
// addrinfo and the byte-order calls under the same names.
#pragma once
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/net.h"
#include "platform/peer_addr.h"

namespace sockaddr_shared {

inline const sockaddr* sockAddrOf(const NetEndpoint* ep) {
  return reinterpret_cast<const sockaddr*>(ep->addr);
}

template <class Len>
int peerFromSockaddr(const sockaddr_storage& sa, Len len, PeerAddr* out) {
  if (sa.ss_family == AF_INET) {
    if (len < static_cast<Len>(sizeof(sockaddr_in))) return EINVAL;
    const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
    return peerAddr_FromV4(reinterpret_cast<const uint8_t*>(&in.sin_addr), out);
  }
  if (sa.ss_family == AF_INET6) {
    if (len < static_cast<Len>(sizeof(sockaddr_in6))) return EINVAL;
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    std::memcpy(out->bytes, &in6.sin6_addr, 16);
    return 0;
  }
  return EAFNOSUPPORT;
}

inline int portOf(const sockaddr_storage& sa, int* port) {
  if (sa.ss_family == AF_INET)
    *port = ntohs(reinterpret_cast<const sockaddr_in&>(sa).sin_port);
  else if (sa.ss_family == AF_INET6)
    *port = ntohs(reinterpret_cast<const sockaddr_in6&>(sa).sin6_port);
  else
    return EAFNOSUPPORT;
  return 0;
}

inline addrinfo resolveHints(const char* host, NetFamily family) {
  addrinfo hints{};
  hints.ai_flags = host ? 0 : AI_PASSIVE;
  hints.ai_family = family == NET_IPV4 ? AF_INET : family == NET_IPV6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  return hints;
}

// Takes the resolver's list and frees it.
inline void takeEndpoints(addrinfo* list, std::vector<NetEndpoint>* out) {
  for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(NetEndpoint::addr)) continue;
    NetEndpoint ep;
    ep.family = ai->ai_family;
    ep.socktype = ai->ai_socktype;
    ep.protocol = ai->ai_protocol;
    ep.addrLen = static_cast<uint32_t>(ai->ai_addrlen);
    std::memcpy(ep.addr, ai->ai_addr, ai->ai_addrlen);
    out->push_back(ep);
  }
  freeaddrinfo(list);
}

}  // namespace sockaddr_shared

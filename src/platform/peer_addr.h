// Peer addresses as one 16-byte form: IPv6 as it is, IPv4 as the IPv4-mapped
// IPv6 address ::ffff:a.b.c.d, so that a peer reaching the IPv6 listener
// through a mapped address and the same peer on the IPv4 listener are one
// address. The scope of a link-local IPv6 address is not kept.
#pragma once
#include <cstdint>

struct PeerAddr {
  uint8_t bytes[16] = {};
};

constexpr uint32_t PEER_ADDR_TEXT_SIZE = 46;  // INET6_ADDRSTRLEN

// The mapped form of four IPv4 address bytes (network order). 0.
int peerAddr_FromV4(const uint8_t v4[4], PeerAddr* out);
// Numeric text only: dotted IPv4 or IPv6 (mapped forms included); no names, no
// zone ids, no brackets. 0, or EINVAL. *wasV4 (optional) tells the dotted form.
int peerAddr_FromText(const char* text, PeerAddr* out, bool* wasV4);
// True for ::ffff:a.b.c.d.
bool peerAddr_IsV4(const PeerAddr* addr);
// Dotted for IPv4 (mapped included), else IPv6 text; cut to size - 1.
void peerAddr_ToText(const PeerAddr* addr, char* out, uint32_t size);

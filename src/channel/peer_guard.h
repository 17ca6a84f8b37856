// Who may hold a connection of the message server: the AllowedPeers list
// (addresses and CIDR ranges, IPv4 and IPv6) and the table of failed
// handshakes per address that refuses an address for a while after too many.
// Both are pure: time comes in as monotonic milliseconds, the policy as a
// record, so that the message server decides and the tests can drive them.
//
// Matching works on the 16-byte form of platform/peer_addr.h: an IPv4 entry
// a.b.c.d/N is ::ffff:a.b.c.d/(96+N), so IPv4-mapped peers match IPv4 entries
// and "::/0" matches every peer, IPv4 included. Host bits set below the prefix
// are ignored (10.1.2.3/8 is 10.0.0.0/8).
//
// The failure table holds at most its capacity of addresses (fixed storage,
// no allocation). A failure from an untracked address takes a free slot, else
// the slot whose record ends first among those without a running ban; a
// running ban is never forgotten, and when every slot holds one the failure is
// not counted. Failures are counted per fixed window that opens at the first
// failure; reaching the limit bans the address for the ban time and starts a
// new count. A verified handshake forgets the address's failures.
#pragma once
#include <cstdint>
#include <mutex>

#include "platform/peer_addr.h"

constexpr uint32_t PEER_ALLOW_MAX = 64;        // entries in AllowedPeers
constexpr uint32_t PEER_FAIL_TABLE_MAX = 512;  // addresses tracked at once

struct PeerRange {
  PeerAddr base;       // host bits cleared
  uint8_t prefix = 0;  // 0..128 bits of the 16-byte form
};

struct PeerAllowList {
  uint32_t count = 0;  // 0: every address is allowed
  PeerRange ranges[PEER_ALLOW_MAX];
};

// Comma-separated entries, blanks around each dropped; an empty or blank text
// is the empty list. 0, or -1 for a malformed or empty entry, or more than
// PEER_ALLOW_MAX entries; the first offending entry is then copied into bad
// (cut to badSize - 1) and out is left empty.
int pg_ParseAllowList(const char* text, PeerAllowList* out, char* bad, uint32_t badSize);
bool pg_IsAllowed(const PeerAllowList* list, const PeerAddr* addr);

struct PeerGuardPolicy {
  int32_t failLimit = 20;  // failures that start a ban; 0 or less: never ban
  int64_t windowMs = 60000;
  int64_t banMs = 60000;
};

struct PeerFailEntry {
  PeerAddr addr;
  bool used = false;
  uint32_t failures = 0;
  int64_t windowEnd = 0;    // failures counted while now < windowEnd
  int64_t bannedUntil = 0;  // ban runs while now < bannedUntil
  int64_t quietUntil = 0;   // refusals of this address are not logged again before
};

struct PeerFailTable {
  std::mutex lock;
  uint32_t capacity = PEER_FAIL_TABLE_MAX;
  uint32_t inUse = 0;  // entries at and past this index were never used
  PeerFailEntry entries[PEER_FAIL_TABLE_MAX];
};

// Empties the table; capacity is bounded to 1..PEER_FAIL_TABLE_MAX.
void pg_ResetFailTable(PeerFailTable* table, uint32_t capacity);
// True while a ban of addr runs.
bool pg_IsBanned(PeerFailTable* table, const PeerAddr* addr, int64_t nowMs);
// Counts a failed handshake; true when it starts a ban.
bool pg_RecordFailure(PeerFailTable* table, const PeerAddr* addr, int64_t nowMs,
                      const PeerGuardPolicy* policy);
void pg_RecordSuccess(PeerFailTable* table, const PeerAddr* addr);
// True when a refusal of addr is the first of its episode and is to be logged;
// later refusals stay quiet for quietMs (a ban's start counts as logged).
bool pg_FirstRefusal(PeerFailTable* table, const PeerAddr* addr, int64_t nowMs,
                     int64_t quietMs);

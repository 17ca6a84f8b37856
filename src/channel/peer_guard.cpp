#include "channel/peer_guard.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kEntryText = PEER_ADDR_TEXT_SIZE + 4;  // address, '/', 3 digits

void copyCut(const char* from, size_t len, char* out, uint32_t size) {
  if (!out || size == 0) return;
  const size_t n = std::min<size_t>(len, size - 1);
  std::memcpy(out, from, n);
  out[n] = '\0';
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void clearHostBits(PeerAddr* a, uint32_t prefix) {
  for (uint32_t i = 0; i < 16; ++i) {
    const uint32_t bitsHere = prefix > i * 8 ? std::min<uint32_t>(prefix - i * 8, 8) : 0;
    a->bytes[i] &= static_cast<uint8_t>(0xFF00u >> bitsHere);
  }
}

bool inRange(const PeerRange& r, const PeerAddr& a) {
  PeerAddr masked = a;
  clearHostBits(&masked, r.prefix);
  return std::memcmp(masked.bytes, r.base.bytes, 16) == 0;
}

// One entry: an address, optionally "/N" with 1 to 3 digits.
bool parseEntry(const char* s, size_t len, PeerRange* out) {
  if (len == 0 || len >= kEntryText) return false;
  char text[kEntryText] = {};
  std::memcpy(text, s, len);
  char* slash = std::strchr(text, '/');
  int prefix = -1;
  if (slash) {
    *slash = '\0';
    const char* digits = slash + 1;
    const size_t n = std::strlen(digits);
    if (n == 0 || n > 3 || std::strspn(digits, "0123456789") != n) return false;
    prefix = std::atoi(digits);
  }
  bool wasV4 = false;
  if (peerAddr_FromText(text, &out->base, &wasV4) != 0) return false;
  const int width = wasV4 ? 32 : 128;
  if (prefix < 0) prefix = width;
  if (prefix > width) return false;
  out->prefix = static_cast<uint8_t>(wasV4 ? prefix + 96 : prefix);
  clearHostBits(&out->base, out->prefix);
  return true;
}

// Every handshake looks its address up twice; with no failures recorded the
// look-up ends at once instead of walking the whole table.
PeerFailEntry* findEntry(PeerFailTable* t, const PeerAddr* addr) {
  for (uint32_t i = 0; i < t->inUse; ++i) {
    PeerFailEntry& e = t->entries[i];
    if (e.used && std::memcmp(e.addr.bytes, addr->bytes, 16) == 0) return &e;
  }
  return nullptr;
}

int64_t entryEnd(const PeerFailEntry& e) {
  return std::max({e.windowEnd, e.bannedUntil, e.quietUntil});
}

// The entry of addr, made when missing: a free or ended slot first, else the
// slot ending first among those without a running ban. Null when every slot
// holds a running ban.
PeerFailEntry* takeEntry(PeerFailTable* t, const PeerAddr* addr, int64_t now) {
  if (PeerFailEntry* e = findEntry(t, addr)) return e;
  PeerFailEntry* victim = nullptr;
  for (uint32_t i = 0; i < t->capacity; ++i) {
    PeerFailEntry& e = t->entries[i];
    if (!e.used || entryEnd(e) <= now) {
      victim = &e;
      break;
    }
    if (e.bannedUntil > now) continue;
    if (!victim || entryEnd(e) < entryEnd(*victim)) victim = &e;
  }
  if (!victim) return nullptr;
  t->inUse = std::max(t->inUse, static_cast<uint32_t>(victim - t->entries) + 1);
  *victim = PeerFailEntry{};
  victim->addr = *addr;
  victim->used = true;
  return victim;
}

}  // namespace

int pg_ParseAllowList(const char* text, PeerAllowList* out, char* bad, uint32_t badSize) {
  if (!out) return -1;
  out->count = 0;
  if (bad && badSize > 0) bad[0] = '\0';
  if (!text) return 0;
  const char* p = text;
  while (isBlank(*p)) ++p;
  if (*p == '\0') return 0;  // empty: everyone, as without the key
  PeerAllowList list;
  for (;;) {
    const char* end = std::strchr(p, ',');
    const size_t rawLen = end ? static_cast<size_t>(end - p) : std::strlen(p);
    size_t b = 0, e = rawLen;
    while (b < e && isBlank(p[b])) ++b;
    while (e > b && isBlank(p[e - 1])) --e;
    if (list.count == PEER_ALLOW_MAX || !parseEntry(p + b, e - b, &list.ranges[list.count])) {
      copyCut(p + b, e - b, bad, badSize);
      return -1;
    }
    ++list.count;
    if (!end) break;
    p = end + 1;
  }
  *out = list;
  return 0;
}

bool pg_IsAllowed(const PeerAllowList* list, const PeerAddr* addr) {
  if (!list || list->count == 0) return true;
  if (!addr) return false;
  for (uint32_t i = 0; i < list->count; ++i)
    if (inRange(list->ranges[i], *addr)) return true;
  return false;
}

void pg_ResetFailTable(PeerFailTable* table, uint32_t capacity) {
  if (!table) return;
  std::lock_guard<std::mutex> guard(table->lock);
  table->capacity = std::clamp<uint32_t>(capacity, 1, PEER_FAIL_TABLE_MAX);
  table->inUse = 0;
  std::fill(std::begin(table->entries), std::end(table->entries), PeerFailEntry{});
}

bool pg_IsBanned(PeerFailTable* table, const PeerAddr* addr, int64_t nowMs) {
  if (!table || !addr) return false;
  std::lock_guard<std::mutex> guard(table->lock);
  const PeerFailEntry* e = findEntry(table, addr);
  return e && e->bannedUntil > nowMs;
}

bool pg_RecordFailure(PeerFailTable* table, const PeerAddr* addr, int64_t nowMs,
                      const PeerGuardPolicy* policy) {
  if (!table || !addr || !policy || policy->failLimit <= 0) return false;
  std::lock_guard<std::mutex> guard(table->lock);
  PeerFailEntry* e = takeEntry(table, addr, nowMs);
  if (!e || e->bannedUntil > nowMs) return false;  // untracked, or refused already
  if (e->windowEnd <= nowMs) {
    e->failures = 0;
    e->windowEnd = nowMs + policy->windowMs;
  }
  if (++e->failures < static_cast<uint32_t>(policy->failLimit)) return false;
  e->failures = 0;
  e->windowEnd = 0;
  e->bannedUntil = e->quietUntil = nowMs + policy->banMs;
  return true;
}

void pg_RecordSuccess(PeerFailTable* table, const PeerAddr* addr) {
  if (!table || !addr) return;
  std::lock_guard<std::mutex> guard(table->lock);
  if (PeerFailEntry* e = findEntry(table, addr)) {
    e->failures = 0;
    e->windowEnd = 0;
  }
}

bool pg_FirstRefusal(PeerFailTable* table, const PeerAddr* addr, int64_t nowMs,
                     int64_t quietMs) {
  if (!table || !addr) return false;
  std::lock_guard<std::mutex> guard(table->lock);
  PeerFailEntry* e = takeEntry(table, addr, nowMs);
  if (!e) return false;  // every slot holds a running ban: stay quiet
  if (e->quietUntil > nowMs) return false;
  e->quietUntil = nowMs + quietMs;
  return true;
}

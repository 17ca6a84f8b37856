// Address policy of the message server: the AllowedPeers matcher, and the
// bounded table of failed handshakes that bans an address for a while.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel/peer_guard.h"
#include "platform/peer_addr.h"

namespace {

// An address from its text, passed where the guard takes a pointer.
struct Addr {
  PeerAddr a;
  explicit Addr(const char* text) { EXPECT_EQ(peerAddr_FromText(text, &a, nullptr), 0) << text; }
  operator const PeerAddr*() const { return &a; }
};

TEST(PeerAllowList, MatchesAddressesAndRangesOfBothFamilies) {
  const struct { const char *list, *peer; bool allowed; } cases[] = {
      {"", "203.0.113.9", true}, {"  ", "2001:db8::1", true},  // empty: everyone
      {"192.168.1.7", "192.168.1.7", true}, {"192.168.1.7", "192.168.1.8", false},  // bare: /32
      {"192.168.1.7/32", "192.168.1.6", false},
      {"10.0.0.0/9", "10.127.255.255", true}, {"10.0.0.0/9", "10.128.0.0", false},  // inside a byte
      {"10.1.2.3/8", "10.200.0.1", true},  // host bits below the prefix ignored
      {"0.0.0.0/0", "255.255.255.255", true}, {"0.0.0.0/0", "::1", false},  // every IPv4, no IPv6
      {"::/0", "2001:db8::1", true}, {"::/0", "198.51.100.1", true},
      {"2001:db8::/32", "2001:db8:ffff::1", true}, {"2001:db8::/32", "2001:db9::", false},
      {"::1/128", "::1", true}, {"::1", "::2", false},
      {"10.0.0.0/8", "::ffff:10.9.8.7", true}, {"::ffff:10.0.0.1", "10.0.0.1", true},  // mapped
      {"::ffff:0:0/96", "172.16.0.1", true}, {"10.0.0.0/8", "::a00:1", false},  // compatible is not mapped
      {" 10.0.0.1 ,\t::1 ", "::1", true}, {" 10.0.0.1 ,\t::1 ", "10.0.0.2", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " / " + c.peer);
    PeerAllowList list;
    char bad[64] = "x";
    ASSERT_EQ(pg_ParseAllowList(c.list, &list, bad, sizeof bad), 0);
    EXPECT_STREQ(bad, "");
    EXPECT_EQ(pg_IsAllowed(&list, Addr(c.peer)), c.allowed);
  }
}

TEST(PeerAllowList, MalformedEntriesAreRefusedAndNamed) {
  std::string many;
  for (uint32_t i = 0; i <= PEER_ALLOW_MAX; ++i) many += (i ? ",10.0.0." : "10.0.0.") + std::to_string(i);
  const struct { std::string list; const char* bad = nullptr; } cases[] = {  // bad: the list itself
      {"10.0.0.0/33"}, {"::/129"}, {"10.0.0.1/"}, {"10.0.0.1/-1"}, {"10.0.0.1/0008"}, {"10.0.0/8"}, {"host.example"},
      {"fe80::1%eth0"}, {"[::1]"}, {"10.0.0.1/8/8"}, {"1.2.3.4 5.6.7.8"},
      {"10.0.0.1,,10.0.0.2", ""}, {"10.0.0.1,", ""}, {"::1, bad", "bad"},
      {many, "10.0.0.64"},  // one entry too many
  };
  for (const auto& c : cases) {
    PeerAllowList list;
    char bad[64] = "x";
    EXPECT_EQ(pg_ParseAllowList(c.list.c_str(), &list, bad, sizeof bad), -1) << c.list;
    EXPECT_EQ(std::string(bad), c.bad ? c.bad : c.list);
    EXPECT_EQ(list.count, 0u) << c.list;
  }
}

struct PeerFailTableTest : ::testing::Test {
  std::unique_ptr<PeerFailTable> table = std::make_unique<PeerFailTable>();
  PeerGuardPolicy policy;  // 20 within 60 s ban for 60 s
  bool fail(const char* who, int64_t now) { return pg_RecordFailure(table.get(), Addr(who), now, &policy); }
  bool banned(const char* who, int64_t now) { return pg_IsBanned(table.get(), Addr(who), now); }
  bool firstRefusal(const char* who, int64_t now) { return pg_FirstRefusal(table.get(), Addr(who), now, 1000); }
};

// The limit within the window bans for the ban time only; refusals are logged once per episode.
TEST_F(PeerFailTableTest, LimitWithinTheWindowBansForTheBanTimeOnly) {
  for (int i = 0; i < 19; ++i) EXPECT_FALSE(fail("192.0.2.1", 1000 + i));
  EXPECT_FALSE(banned("192.0.2.1", 1100));
  EXPECT_TRUE(fail("192.0.2.1", 1100));  // the 20th, within 60 s of the first
  EXPECT_TRUE(banned("192.0.2.1", 1100) && banned("::ffff:192.0.2.1", 61099));  // mapped: the same peer
  EXPECT_FALSE(banned("192.0.2.2", 1100) || banned("192.0.2.1", 61100));  // no other address; over after 60 s
  EXPECT_FALSE(firstRefusal("192.0.2.1", 1101));  // the ban's start was logged
  EXPECT_TRUE(firstRefusal("192.0.2.1", 61100));
  for (int i = 0; i < 40; ++i) EXPECT_FALSE(fail("192.0.2.3", 1000 + i * 3200));  // spread over more than the window
  for (int i = 0; i < 19; ++i) fail("192.0.2.4", 1000);
  for (int i = 0; i < 19; ++i) fail("192.0.2.6", 1000);
  EXPECT_FALSE(fail("192.0.2.6", 61000));  // the window ends 60 s after its first failure
  pg_RecordSuccess(table.get(), Addr("192.0.2.4"));  // a verified handshake forgets the count
  EXPECT_FALSE(fail("192.0.2.4", 1001));
  EXPECT_TRUE(firstRefusal("198.51.100.7", 0) && !firstRefusal("198.51.100.7", 999));
  EXPECT_TRUE(firstRefusal("198.51.100.8", 999) && firstRefusal("198.51.100.7", 1000));
  policy.failLimit = 0;  // off
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(fail("192.0.2.5", 1000));
}

TEST_F(PeerFailTableTest, BoundedTableKeepsRunningBansAndDropsTheOldestCount) {
  pg_ResetFailTable(table.get(), 2);
  policy.failLimit = 3;
  fail("2001:db8::a", 0), fail("2001:db8::a", 0), fail("2001:db8::b", 10), fail("2001:db8::b", 10);
  fail("2001:db8::c", 20);                // takes the slot that ends first
  EXPECT_FALSE(fail("2001:db8::a", 30));  // forgotten: counting again from 1 (b goes)
  EXPECT_FALSE(fail("2001:db8::c", 31));
  EXPECT_TRUE(fail("2001:db8::c", 32));
  fail("2001:db8::d", 40), fail("2001:db8::d", 40);
  EXPECT_TRUE(fail("2001:db8::d", 40));  // both slots hold running bans: new addresses are not tracked
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(fail("2001:db8::e", 50));
  EXPECT_TRUE(banned("2001:db8::c", 50) && banned("2001:db8::d", 50));
  fail("2001:db8::e", 60100), fail("2001:db8::e", 60100);  // once a ban ends its slot is free again
  EXPECT_TRUE(fail("2001:db8::e", 60100));
}

TEST(PeerGuardConcurrency, FailuresFromManyThreadsStartOneBan) {
  auto table = std::make_unique<PeerFailTable>();
  PeerGuardPolicy policy;
  policy.failLimit = 8 * 500;
  const Addr a("192.0.2.77");
  std::vector<std::thread> threads;
  std::atomic<int> bans{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) bans += pg_RecordFailure(table.get(), a, 1000, &policy);
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(bans.load(), 1);
  EXPECT_TRUE(pg_IsBanned(table.get(), a, 1000));
}

}  // namespace

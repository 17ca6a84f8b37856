// The liveness check behind the watchdog: every serving thread holds its slot,
// none hangs between two waits.
#include <gtest/gtest.h>

#include "runtime/service_watch.h"

namespace {

TEST(ServiceWatch, LivenessNeedsEveryThreadRunningAndNoneStuck) {
  constexpr int64_t t0 = 1000000;
  // releaseSlot: -1 none released; busySlot: left busy since t0, -1 all parked.
  struct Case { const char* what; int releaseSlot, busySlot; int64_t checkAt; int expected; };
  const Case cases[] = {
      {"all parked, long after", -1, -1, t0 + 3600000, 0},
      {"accept thread busy just under the limit", -1, 0, t0 + AV_BEAT_STUCK_MS - 1, 0},
      {"accept thread busy up to the limit", -1, 0, t0 + AV_BEAT_STUCK_MS, 3},
      {"watcher stuck in a reload", -1, 2, t0 + AV_BEAT_STUCK_MS + 5, 3},
      {"one accept thread ended", 1, -1, t0, 1},
      {"watcher ended", 2, -1, t0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AvBeats beats;
    const int slots[3] = {beat_Claim(&beats, AvBeatGroup::kAccept, t0),
                          beat_Claim(&beats, AvBeatGroup::kAccept, t0),
                          beat_Claim(&beats, AvBeatGroup::kCfgWatcher, t0)};
    for (int s : slots) beat_Park(&beats, s);
    if (c.busySlot >= 0) beat_Busy(&beats, slots[c.busySlot], t0);
    if (c.releaseSlot >= 0) beat_Release(&beats, slots[c.releaseSlot]);
    EXPECT_EQ(beat_Check(&beats, c.checkAt, 2, 1), c.expected);
  }
}

}  // namespace

// Telling the service manager how the agent is: ready once both listeners and
// the configuration watcher run, alive while the threads that serve are, and
// stopping when it ends.
//
// What "alive" proves: every long-lived serving thread (the two accept threads
// and the configuration watcher) holds a beat slot from its start to its end,
// and marks itself parked right before its blocking wait (accept, the folder
// notification) and busy right after it. The agent is alive when at least two
// accept threads and one watcher hold a slot and none of them has been busy
// for AV_BEAT_STUCK_MS or more. A thread that ended (an accept thread halted
// by an error, say) or that hangs between two waits (a lock never released, a
// log write that never returns) stops the liveness message, and the manager
// restarts the agent after its watchdog time. A thread parked in its wait is
// alive: the kernel hands it the next connection or change.
#pragma once
#include <atomic>
#include <cstdint>

enum class AvBeatGroup : int32_t { kAccept = 0, kCfgWatcher = 1, kCount = 2 };

constexpr int AV_BEAT_SLOTS = 16;
constexpr int64_t AV_BEAT_STUCK_MS = 10000;
constexpr int64_t AV_BEAT_PARKED = -1;

// Slot i is free while owner[i] is 0, else it belongs to group owner[i] - 1;
// since[i] is AV_BEAT_PARKED or the monotonic ms at which the thread left its wait.
struct AvBeats {
  std::atomic<int32_t> owner[AV_BEAT_SLOTS] = {};
  std::atomic<int64_t> since[AV_BEAT_SLOTS] = {};
};

int beat_Claim(AvBeats* b, AvBeatGroup group, int64_t nowMs);  // slot, or -1 when all are taken
void beat_Release(AvBeats* b, int slot);
void beat_Park(AvBeats* b, int slot);
void beat_Busy(AvBeats* b, int slot, int64_t nowMs);
// 0 alive; 1 fewer accept threads than needed; 2 no watcher; 3 a thread busy too long.
int beat_Check(const AvBeats* b, int64_t nowMs, int neededAccept, int neededWatchers);


// The process's beats, held by a serving thread for its whole run:
//   AvBeatGuard beat(AvBeatGroup::kAccept);
//   for (;;) { beat.park(); accept(...); beat.busy(); ... }
class AvBeatGuard {
 public:
  explicit AvBeatGuard(AvBeatGroup group);
  ~AvBeatGuard();
  AvBeatGuard(const AvBeatGuard&) = delete;
  AvBeatGuard& operator=(const AvBeatGuard&) = delete;
  void park();
  void busy();

 private:
  int slot_;
};

// Both are no-ops for an agent that no manager started. service_Ready also
// starts the liveness thread when the manager asks for one; it sends its
// message every half of the manager's interval, and only when the check
// above passes. After service_Stopping nothing but "STOPPING=1" is sent.
// acceptThreads: how many accept threads the liveness check expects.
void service_Ready(int acceptThreads = 2);
void service_Stopping();

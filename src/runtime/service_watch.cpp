#include "runtime/service_watch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/service_notify.h"
#include "runtime/log.h"
#include "runtime/os_helper.h"

namespace {

std::atomic<int> g_neededAcceptThreads{2};
constexpr int kNeededWatchers = 1;

// Never destroyed: detached threads beat until the process ends.
AvBeats& processBeats() {
  static AvBeats* b = new AvBeats();
  return *b;
}

// Held around every message, so that once "STOPPING=1" is out no liveness
// message can follow it.
struct NotifyState {
  std::mutex m;
  bool stopping = false;
};

NotifyState& notifyState() {
  static NotifyState* s = new NotifyState();
  return *s;
}

void sendState(const char* state) {
  int err = svcNotify_Send(state);
  if (err != 0) AV_ERR("Telling the service manager %s failed(%d).", state, err);
}

void watchdogThread(uint64_t intervalUsec) {
  const auto step = std::chrono::microseconds(std::max<uint64_t>(intervalUsec / 2, 1000));
  int lastProblem = 0;
  for (;;) {
    std::this_thread::sleep_for(step);
    const int problem =
        beat_Check(&processBeats(), BRIM_MonotonicMs(), g_neededAcceptThreads.load(),
                   kNeededWatchers);
    if (problem != lastProblem) {
      if (problem != 0)
        AV_ERR("Liveness check failed(%d); the service manager is no longer told the agent "
               "is alive.", problem);
      else
        AV_INFO("Liveness check passes again.");
      lastProblem = problem;
    }
    NotifyState& s = notifyState();
    std::lock_guard<std::mutex> lock(s.m);
    if (s.stopping) return;
    if (problem == 0) sendState("WATCHDOG=1");
  }
}

}  // namespace

int beat_Claim(AvBeats* b, AvBeatGroup group, int64_t nowMs) {
  for (int i = 0; i < AV_BEAT_SLOTS; ++i) {
    int32_t free = 0;
    if (b->owner[i].compare_exchange_strong(free, static_cast<int32_t>(group) + 1)) {
      b->since[i].store(nowMs);
      return i;
    }
  }
  return -1;
}

void beat_Release(AvBeats* b, int slot) {
  if (slot < 0 || slot >= AV_BEAT_SLOTS) return;
  b->since[slot].store(AV_BEAT_PARKED);
  b->owner[slot].store(0);
}

void beat_Park(AvBeats* b, int slot) {
  if (slot >= 0 && slot < AV_BEAT_SLOTS) b->since[slot].store(AV_BEAT_PARKED);
}

void beat_Busy(AvBeats* b, int slot, int64_t nowMs) {
  if (slot >= 0 && slot < AV_BEAT_SLOTS) b->since[slot].store(nowMs);
}

int beat_Check(const AvBeats* b, int64_t nowMs, int neededAccept, int neededWatchers) {
  int held[static_cast<int>(AvBeatGroup::kCount)] = {};
  bool stuck = false;
  for (int i = 0; i < AV_BEAT_SLOTS; ++i) {
    const int32_t owner = b->owner[i].load();
    if (owner <= 0 || owner > static_cast<int32_t>(AvBeatGroup::kCount)) continue;
    ++held[owner - 1];
    const int64_t since = b->since[i].load();
    if (since != AV_BEAT_PARKED && nowMs - since >= AV_BEAT_STUCK_MS) stuck = true;
  }
  if (held[static_cast<int>(AvBeatGroup::kAccept)] < neededAccept) return 1;
  if (held[static_cast<int>(AvBeatGroup::kCfgWatcher)] < neededWatchers) return 2;
  return stuck ? 3 : 0;
}

AvBeatGuard::AvBeatGuard(AvBeatGroup group)
    : slot_(beat_Claim(&processBeats(), group, BRIM_MonotonicMs())) {}
AvBeatGuard::~AvBeatGuard() { beat_Release(&processBeats(), slot_); }
void AvBeatGuard::park() { beat_Park(&processBeats(), slot_); }
void AvBeatGuard::busy() { beat_Busy(&processBeats(), slot_, BRIM_MonotonicMs()); }

void service_Ready(int acceptThreads) {
  g_neededAcceptThreads.store(acceptThreads);
  {
    NotifyState& s = notifyState();
    std::lock_guard<std::mutex> lock(s.m);
    sendState("READY=1");
  }
  const uint64_t usec = svcNotify_WatchdogUsec();
  if (usec == 0) return;
  try {
    std::thread(watchdogThread, usec).detach();
  } catch (const std::system_error&) {
    // Without it the manager stops the agent after its watchdog time: say why.
    AV_ERR("Starting the liveness thread failed.");
    return;
  }
  AV_INFO("Service liveness message every %llu ms.",
          static_cast<unsigned long long>(usec / 2000));
}

void service_Stopping() {
  NotifyState& s = notifyState();
  std::lock_guard<std::mutex> lock(s.m);
  s.stopping = true;
  sendState("STOPPING=1");
}

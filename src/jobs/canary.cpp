// One canary state for the process: the verdict of the last probe, the probe
// in flight and what was last logged. Jobs of every connection share it under
// one mutex; the open itself runs outside it.
#include "jobs/canary.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "jobs/trigger_scan.h"
#include "platform/file.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/metrics.h"
#include "runtime/os_helper.h"

TriggerOpenResult (*g_canaryOpen)(const char* absPath) = triggerOpenLocal;

namespace {

// Read by the collector and by administrators checking it; not secret.
// Codes of a failed open as the storage system is told them.
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kScannerRefused = 225;
constexpr FileReplaceMode kCanaryMode = {0644, false, true};

// Reversed and masked, so the text stands whole only in memory, at run time.
constexpr unsigned char kMask = 0x5A;
constexpr unsigned char kMasked[AV_CANARY_SIZE] = {
    0x70, 0x12, 0x71, 0x12, 0x7e, 0x7b, 0x1f, 0x16, 0x13, 0x1c, 0x77, 0x0e, 0x09, 0x1f,
    0x0e, 0x77, 0x09, 0x0f, 0x08, 0x13, 0x0c, 0x13, 0x0e, 0x14, 0x1b, 0x77, 0x1e, 0x08,
    0x1b, 0x1e, 0x14, 0x1b, 0x0e, 0x09, 0x77, 0x08, 0x1b, 0x19, 0x13, 0x1f, 0x7e, 0x27,
    0x6d, 0x73, 0x19, 0x19, 0x6d, 0x73, 0x04, 0x0a, 0x72, 0x6e, 0x6f, 0x02, 0x00, 0x0a,
    0x06, 0x6e, 0x01, 0x0a, 0x1b, 0x1a, 0x7f, 0x0a, 0x7b, 0x15, 0x6f, 0x02};

struct Probe {
  TriggerOpenResult open;
  int writeErr;  // -1: no write tried; 0 written; else errno of the failed write
};

struct CanaryState {
  std::mutex m;
  std::condition_variable probed;
  bool probing = false;
  uint64_t probes = 0;  // finished probes, so a waiter knows the one it waited for ended
  std::string path;     // the canary the fields below describe
  bool haveVerdict = false;
  bool isProtected = false;
  int64_t atMs = 0;
  std::string logged;   // the last verdict logged, as its message
  int loggedWriteErr = -1;
  bool hangLogged = false;
  int64_t reuseMs = 2000;  // a verdict this young is reused
  int64_t waitMs = 5000;   // longest wait for a probe in flight
};

// Never destroyed: connection threads may ask until the process ends.
CanaryState& state() {
  static CanaryState* s = new CanaryState();
  return *s;
}

bool refusedByScanner(const TriggerOpenResult& r) {
  return r.kind == TriggerOpenKind::kFailed && triggerOpen_StatusCode(r.err) == kScannerRefused;
}

bool missing(const TriggerOpenResult& r) {
  return r.kind == TriggerOpenKind::kFailed && triggerOpen_StatusCode(r.err) == kFileNotFound;
}

// Never throws: the state's probe flag must always be cleared after it.
Probe probeCanary(const std::string& path) {
  try {
    Probe p{g_canaryOpen(path.c_str()), -1};
    if (!missing(p.open)) return p;
    char content[AV_CANARY_SIZE];
    buildCanaryContent(content);
    p.writeErr = file_Replace(path.c_str(), content, sizeof content, kCanaryMode);
    if (p.writeErr == 0) p.open = g_canaryOpen(path.c_str());
    return p;
  } catch (...) {
    return {{TriggerOpenKind::kFailed, ENOMEM, 0}, -1};
  }
}

// What the verdict is logged as; a change of this text is what gets logged.
std::string describe(const std::string& path, const TriggerOpenResult& r) {
  char cause[64];
  switch (r.kind) {
    case TriggerOpenKind::kOpened:
      return "The canary " + path +
             " opened: the on-access scanner does not protect, status jobs report the engine "
             "not running.";
    case TriggerOpenKind::kNoFolder: snprintf(cause, sizeof cause, "its folder is missing"); break;
    case TriggerOpenKind::kDirectory: snprintf(cause, sizeof cause, "a folder"); break;
    case TriggerOpenKind::kSpecial: snprintf(cause, sizeof cause, "not a regular file"); break;
    case TriggerOpenKind::kFailed:
      if (refusedByScanner(r))
        return "The canary " + path + " is refused by the on-access scanner(225): protection works.";
      const uint32_t code = triggerOpen_StatusCode(r.err);
      snprintf(cause, sizeof cause, "%s, errno %d, error code %u",
               code == kFileNotFound   ? "missing"
               : code == kAccessDenied ? "permission denied"
                                       : "open failed",
               r.err, static_cast<unsigned>(code));
      break;
  }
  return "The canary " + path + " cannot be probed(" + cause +
         "): status jobs report the engine not running.";
}

// Called with the state locked, for the canary the state describes.
void logProbe(CanaryState& s, const Probe& p) {
  if (p.writeErr >= 0 && p.writeErr != s.loggedWriteErr) {
    if (p.writeErr == 0)
      AV_INFO("The canary %s was missing and has been written.", s.path.c_str());
    else
      AV_ERR("Writing the canary %s failed(%d); place it by hand.", s.path.c_str(), p.writeErr);
  }
  if (p.writeErr >= 0) s.loggedWriteErr = p.writeErr;
  std::string text = describe(s.path, p.open);
  if (text == s.logged) return;
  if (s.isProtected)
    AV_INFO("%s", text.c_str());
  else
    AV_WARN("%s", text.c_str());
  s.logged = std::move(text);
}

CanaryVerdict verdictOf(const CanaryState& s) {
  return s.isProtected ? CanaryVerdict::kProtected : CanaryVerdict::kUnprotected;
}

CanaryVerdict check(const std::string& path) {
  CanaryState& s = state();
  std::unique_lock<std::mutex> lock(s.m);
  if (s.path != path) {  // a reload named another canary: nothing known of it
    s.path = path;
    s.haveVerdict = false;
    s.logged.clear();
    s.loggedWriteErr = -1;
  }
  while (!s.haveVerdict || BRIM_MonotonicMs() - s.atMs >= s.reuseMs) {
    if (!s.probing) {
      s.probing = true;
      lock.unlock();
      Probe p = probeCanary(path);
      lock.lock();
      s.probing = false;
      s.hangLogged = false;
      ++s.probes;
      s.probed.notify_all();
      if (s.path != path) return CanaryVerdict::kUnprotected;  // replaced meanwhile
      s.haveVerdict = true;
      s.isProtected = refusedByScanner(p.open);
      s.atMs = BRIM_MonotonicMs();
      logProbe(s, p);
      metrics_SetCanaryProtected(s.isProtected ? 1 : 0);
      return verdictOf(s);
    }
    const uint64_t seen = s.probes;
    if (!s.probed.wait_for(lock, std::chrono::milliseconds(s.waitMs), [&] { return s.probes != seen; })) {
      if (!s.hangLogged)
        AV_WARN("The canary probe of %s has not finished after %lld ms: status jobs report the "
                "engine not running.", s.path.c_str(), static_cast<long long>(s.waitMs));
      s.hangLogged = true;
      return CanaryVerdict::kUnprotected;
    }
  }
  return verdictOf(s);
}

}  // namespace

void buildCanaryContent(char (&out)[AV_CANARY_SIZE]) {
  for (size_t i = 0; i < AV_CANARY_SIZE; ++i)
    out[i] = static_cast<char>(kMasked[AV_CANARY_SIZE - 1 - i] ^ kMask);
}

CanaryVerdict checkCanary() {
  std::shared_ptr<const std::string> path = getCanaryPath();
  if (path->empty()) return CanaryVerdict::kOff;
  try {
    return check(*path);
  } catch (...) {  // no memory for a path copy or a log text: fail closed
    AV_ERR("The canary probe failed: no memory.");
    return CanaryVerdict::kUnprotected;
  }
}

void resetCanaryForTest(int64_t reuseMs, int64_t waitMs) {
  CanaryState& s = state();
  std::lock_guard<std::mutex> lock(s.m);
  s.reuseMs = reuseMs;
  s.waitMs = waitMs;
  s.path.clear();
  s.haveVerdict = false;
  s.logged.clear();
  s.loggedWriteErr = -1;
}

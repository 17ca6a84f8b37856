#include "runtime/metrics.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/file.h"
#include "runtime/log.h"

namespace {

using Counter = std::atomic<uint64_t>;

std::atomic<const char*> g_buildVersion{"unknown"};
std::atomic<int> g_canaryProtected{-1};

constexpr int kTypes = 3;  // 2010, 2020, other
constexpr const char* kTypeLabel[kTypes] = {"2010", "2020", "other"};
constexpr int kStatuses = 3;
constexpr uint32_t kStatusValue[kStatuses] = {100, 201, 203};
constexpr int kReasons = static_cast<int>(AvRefusal::kCount);
constexpr const char* kReasonLabel[kReasons] = {"not_allowed", "banned", "max_jobs",
                                                "flow_jobs", "error"};
constexpr int kAvTypes = 2;
constexpr int kVerdicts = static_cast<int>(AvScanVerdict::kCount);
constexpr const char* kVerdictLabel[kVerdicts] = {"clean", "infected", "error"};
// Upper bounds in ns; a job above the last one is only in +Inf.
constexpr int kBuckets = 10;
constexpr uint64_t kBucketNs[kBuckets] = {1000000,   5000000,    10000000,   50000000,
                                          100000000, 500000000,  1000000000, 5000000000,
                                          10000000000, 30000000000};
constexpr const char* kBucketLabel[kBuckets] = {"0.001", "0.005", "0.01", "0.05", "0.1",
                                                "0.5",   "1",     "5",    "10",   "30"};
constexpr int kWriteEverySeconds = 10;
// Read by the collector's own user; rewritten every 10 s and worthless after a
// crash, so not synced.
constexpr FileReplaceMode kFileMode = {0644, false, false};

struct Counters {
  Counter handshakes[2];  // failed, ok
  std::atomic<int64_t> connectionsOpen{0};
  Counter refused[kReasons];
  Counter jobs[kTypes][kStatuses];
  Counter scans[kAvTypes][kVerdicts];
  Counter durationBucket[kTypes][kBuckets + 1];  // per bucket, not cumulative; last: above all
  Counter durationSumNs[kTypes];
  Counter logWriteFailures;
};

// Never destroyed: connection threads count until the process ends.
Counters& counters() {
  static Counters* c = new Counters();
  return *c;
}

void add(Counter& c) { c.fetch_add(1, std::memory_order_relaxed); }

int typeIndex(uint32_t messageType) {
  return messageType == 2010 ? 0 : messageType == 2020 ? 1 : 2;
}

struct Writer {
  std::mutex m;
  std::condition_variable cv;
  std::string path;     // as configured
  bool changed = false;
  bool started = false;
};

Writer& writer() {
  static Writer* w = new Writer();
  return *w;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void sample(std::string& out, const char* name, const char* labels, uint64_t value) {
  char line[256];
  std::snprintf(line, sizeof line, "%s%s%s%s %llu\n", name, labels[0] ? "{" : "", labels,
                labels[0] ? "}" : "", static_cast<unsigned long long>(value));
  out += line;
}

void writeFile(const std::string& path, std::string* lastWritten, int* lastError) {
  if (!lastWritten->empty() && *lastWritten != path) (void)file_Remove(lastWritten->c_str());
  lastWritten->clear();
  if (path.empty()) return;
  const std::string text = metrics_Render();
  const int err = file_Replace(path.c_str(), text.data(), text.size(), kFileMode);
  // Logged when the outcome changes, not every 10 s.
  if (err != 0 && err != *lastError)
    AV_ERR("Writing the metrics file %s failed(%d).", path.c_str(), err);
  else if (err == 0 && *lastError != 0)
    AV_INFO("Writing the metrics file %s works again.", path.c_str());
  *lastError = err;
  if (err == 0) *lastWritten = path;
}

void writerThread() {
  Writer& w = writer();
  std::string lastWritten;
  int lastError = 0;
  for (;;) {
    std::string path;
    {
      std::unique_lock<std::mutex> lock(w.m);
      w.cv.wait_for(lock, std::chrono::seconds(kWriteEverySeconds), [&] { return w.changed; });
      w.changed = false;
      path = w.path;
    }
    writeFile(path, &lastWritten, &lastError);
  }
}

}  // namespace

void metrics_CountHandshake(bool verified) { add(counters().handshakes[verified ? 1 : 0]); }

void metrics_AddOpenConnections(int delta) {
  counters().connectionsOpen.fetch_add(delta, std::memory_order_relaxed);
}

void metrics_CountRefused(AvRefusal reason) {
  const int i = static_cast<int>(reason);
  if (i >= 0 && i < kReasons) add(counters().refused[i]);
}

void metrics_CountJob(uint32_t messageType, uint32_t returnStatus, uint64_t durationNs) {
  int s = 0;
  while (s < kStatuses && kStatusValue[s] != returnStatus) ++s;
  if (s == kStatuses) return;
  Counters& c = counters();
  const int t = typeIndex(messageType);
  add(c.jobs[t][s]);
  int b = 0;
  while (b < kBuckets && durationNs > kBucketNs[b]) ++b;
  add(c.durationBucket[t][b]);
  c.durationSumNs[t].fetch_add(durationNs, std::memory_order_relaxed);
}

void metrics_CountScan(int32_t avType, bool completed, int32_t result, int32_t infectedCode) {
  if (avType < 0 || avType >= kAvTypes) return;
  AvScanVerdict v = !completed         ? AvScanVerdict::kError
                    : result == 0      ? AvScanVerdict::kClean
                    : result == infectedCode ? AvScanVerdict::kInfected
                                       : AvScanVerdict::kError;
  add(counters().scans[avType][static_cast<int>(v)]);
}

void metrics_CountLogWriteFailure() { add(counters().logWriteFailures); }

void metrics_SetCanaryProtected(int state) {
  g_canaryProtected.store(state == 0 || state == 1 ? state : -1, std::memory_order_relaxed);
}

std::string metrics_Render() {
  Counters& c = counters();
  std::string out;
  out.reserve(8192);
  char labels[160];
  family(out, "avagent_build_info", "gauge", "Version of the running agent.");
  std::snprintf(labels, sizeof labels, "version=\"%s\"", g_buildVersion.load());
  sample(out, "avagent_build_info", labels, 1);

  family(out, "avagent_handshakes_total", "counter", "Verification handshakes by outcome.");
  sample(out, "avagent_handshakes_total", "result=\"ok\"", c.handshakes[1].load());
  sample(out, "avagent_handshakes_total", "result=\"failed\"", c.handshakes[0].load());

  family(out, "avagent_connections_open", "gauge", "Storage-system connections open now.");
  const int64_t open = c.connectionsOpen.load();
  sample(out, "avagent_connections_open", "", open > 0 ? static_cast<uint64_t>(open) : 0);

  family(out, "avagent_connections_refused_total", "counter",
         "Connections closed unserved, by reason.");
  for (int r = 0; r < kReasons; ++r) {
    std::snprintf(labels, sizeof labels, "reason=\"%s\"", kReasonLabel[r]);
    sample(out, "avagent_connections_refused_total", labels, c.refused[r].load());
  }

  family(out, "avagent_jobs_total", "counter", "Jobs answered, by MessageType and ReturnStatus.");
  for (int t = 0; t < kTypes; ++t)
    for (int s = 0; s < kStatuses; ++s) {
      std::snprintf(labels, sizeof labels, "type=\"%s\",status=\"%u\"", kTypeLabel[t],
                    kStatusValue[s]);
      sample(out, "avagent_jobs_total", labels, c.jobs[t][s].load());
    }

  family(out, "avagent_scans_total", "counter", "File scans by avType and verdict.");
  for (int a = 0; a < kAvTypes; ++a)
    for (int v = 0; v < kVerdicts; ++v) {
      std::snprintf(labels, sizeof labels, "av_type=\"%d\",result=\"%s\"", a, kVerdictLabel[v]);
      sample(out, "avagent_scans_total", labels, c.scans[a][v].load());
    }

  family(out, "avagent_job_duration_seconds", "histogram",
         "Time from a received request to its response, by MessageType.");
  for (int t = 0; t < kTypes; ++t) {
    uint64_t cumulative = 0;
    for (int b = 0; b <= kBuckets; ++b) {
      cumulative += c.durationBucket[t][b].load();
      std::snprintf(labels, sizeof labels, "type=\"%s\",le=\"%s\"", kTypeLabel[t],
                    b < kBuckets ? kBucketLabel[b] : "+Inf");
      sample(out, "avagent_job_duration_seconds_bucket", labels, cumulative);
    }
    std::snprintf(labels, sizeof labels, "avagent_job_duration_seconds_sum{type=\"%s\"} %.9f\n",
                  kTypeLabel[t], static_cast<double>(c.durationSumNs[t].load()) / 1e9);
    out += labels;
    std::snprintf(labels, sizeof labels, "type=\"%s\"", kTypeLabel[t]);
    sample(out, "avagent_job_duration_seconds_count", labels, cumulative);
  }

  family(out, "avagent_log_write_failures_total", "counter", "Log records that were not written.");
  sample(out, "avagent_log_write_failures_total", "", c.logWriteFailures.load());

  const int canary = g_canaryProtected.load(std::memory_order_relaxed);
  if (canary >= 0) {
    family(out, "avagent_canary_protected", "gauge",
           "1 while the on-access scanner refuses the canary file, 0 when it does not.");
    sample(out, "avagent_canary_protected", "", static_cast<uint64_t>(canary));
  }
  return out;
}

void metrics_SetBuildVersion(const char* version) {
  if (version != nullptr) g_buildVersion.store(version);
}

void metrics_SetFile(const char* path) {
  Writer& w = writer();
  std::lock_guard<std::mutex> lock(w.m);
  const std::string next = path ? path : "";
  if (next == w.path) return;
  w.path = next;
  w.changed = true;
  w.cv.notify_all();
}

int metrics_StartWriter() {
  Writer& w = writer();
  {
    std::lock_guard<std::mutex> lock(w.m);
    if (w.started) return 0;
    w.started = true;
    w.changed = true;  // first file at once
  }
  try {
    std::thread(writerThread).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(w.m);
    w.started = false;
    return -1;
  }
  return 0;
}

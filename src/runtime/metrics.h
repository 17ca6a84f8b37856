// Counters for a metrics scraper, without a network listener of their own:
// when MetricsFile names a path, a writer thread renders them in the Prometheus
// text format there every 10 seconds, replacing the file whole (temporary +
// rename), for node_exporter's textfile collector.
//
// The counting calls run on connection threads for every request: each is one
// relaxed atomic add into fixed arrays indexed by small enums, with no lock and
// no allocation. The writer reads them one by one, so a file can hold a job in
// avagent_jobs_total that its duration histogram shows only in the next file;
// each family is consistent in itself (the histogram's _count is the sum of its
// buckets). Jobs of a MessageType other than 2010 and 2020 share type="other",
// so a peer cannot grow the file with made-up types.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum class AvRefusal : uint8_t {
  kNotAllowed,   // address outside AllowedPeers
  kBanned,       // address banned for failed handshakes
  kMaxJobs,      // MaxJobNo connections already open
  kFlowJobs,     // scan job above FlowJobNo (the connection is closed)
  kError,        // unknown peer address, no thread for the connection
  kCount
};

enum class AvScanVerdict : uint8_t { kClean, kInfected, kError, kCount };

void metrics_CountHandshake(bool verified);
void metrics_AddOpenConnections(int delta);
void metrics_CountRefused(AvRefusal reason);
// returnStatus 100, 201 or 203; other values are not counted.
void metrics_CountJob(uint32_t messageType, uint32_t returnStatus, uint64_t durationNs);
// A scan of avType 0 (local engine) or 1 (ICAP); other types are not scans.
// Clean when it completed with result 0, infected when it completed with
// infectedCode (225 for a local open the engine denied, 403 for ICAP), an
// error otherwise.
void metrics_CountScan(int32_t avType, bool completed, int32_t result, int32_t infectedCode);
void metrics_CountLogWriteFailure();
// The last canary verdict: 1 protected, 0 not, -1 no verdict (no canary, or a
// new one not yet probed) leaves avagent_canary_protected out of the file.
void metrics_SetCanaryProtected(int state);

// The version avagent_build_info names ("unknown" until set). Passed in by the
// entry, so that a new version rebuilds only main.cpp; the text must outlive
// the process's threads (a literal).
void metrics_SetBuildVersion(const char* version);
// The whole text as it is now.
std::string metrics_Render();
// MetricsFile as read at the last (re)load; empty turns the file off. The
// writer picks it up at its next round and removes the file it wrote before
// under another name.
void metrics_SetFile(const char* path);
// Starts the writer thread (once); it writes at once and then every 10 s.
// 0, or -1 when the thread could not start.
int metrics_StartWriter();

// "load": C threads, each with its own connection(s), measuring either whole
// handshakes (connect + verify + close) or requests on one verified
// connection. A connection the agent closes is re-opened so the run goes on;
// the failed request counts as failed. Latencies are of successful operations.
#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "channel/frame.h"
#include "channel/storage_peer.h"
#include "client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct LoadPlan {
  long connections = 0;
  long count = 0;
  bool handshakeMode = false;
  uint32_t type = MSG_ENGINE_STATUS;
  std::string json = "{\"opCode\":\"0\",\"avType\":\"0\",\"message\":\"\",\"vendorName\":\"\"}";
};

struct ThreadResult {
  long ok = 0;
  long failed = 0;
  std::vector<double> latencyMs;
};

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

bool openVerified(const ClientOptions& opts, const uint8_t* vkey, StoragePeer* peer) {
  *peer = StoragePeer();
  peer->version = opts.proto;
  if (sp_Connect(peer, opts.host.c_str(), opts.port.c_str(), opts.timeoutSec * 1000) != SP_OK)
    return false;
  if (sp_Handshake(peer, vkey) != SP_OK) {
    sp_Close(peer);
    return false;
  }
  return true;
}

void runThread(const ClientOptions& opts, const LoadPlan& plan, const uint8_t* vkey,
               ThreadResult* out) {
  out->latencyMs.reserve(static_cast<size_t>(plan.count));
  if (plan.handshakeMode) {
    for (long i = 0; i < plan.count; ++i) {
      StoragePeer peer;
      auto t0 = Clock::now();
      bool ok = openVerified(opts, vkey, &peer);
      if (ok) sp_Close(&peer);
      if (ok) {
        out->latencyMs.push_back(msSince(t0));
        ++out->ok;
      } else {
        ++out->failed;
      }
    }
    return;
  }
  StoragePeer peer;
  bool open = false;
  for (long i = 0; i < plan.count; ++i) {
    if (!open && !(open = openVerified(opts, vkey, &peer))) {
      ++out->failed;
      continue;
    }
    auto t0 = Clock::now();
    int rc = sp_Request(&peer, plan.type, plan.json.c_str(),
                        static_cast<uint32_t>(plan.json.size() + 1));
    if (rc == SP_OK && peer.link.RecvHead.ReturnStatus == 100) {
      out->latencyMs.push_back(msSince(t0));
      ++out->ok;
    } else {
      ++out->failed;
      if (rc != SP_OK) {
        sp_Close(&peer);
        open = false;
      }
    }
  }
  if (open) sp_Close(&peer);
}

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0.0;
  size_t idx = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(idx, sorted.size() - 1)];
}

int runLoad(const ClientOptions& opts, int argc, char** argv) {
  LoadPlan plan;
  bool haveMode = false;
  const char* usage =
      "usage: avagent-client load --connections C --count N --mode handshake|request"
      " [--type T] [--json TEXT]\n";
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) {
      fputs(usage, stderr);
      return EXIT_USAGE;
    }
    const char* name = argv[i];
    const char* value = argv[i + 1];
    long n = 0;
    if (strcmp(name, "--connections") == 0 && parseNumber(value, 1, 10000, &n)) {
      plan.connections = n;
    } else if (strcmp(name, "--count") == 0 && parseNumber(value, 1, 100000000, &n)) {
      plan.count = n;
    } else if (strcmp(name, "--mode") == 0 &&
               (strcmp(value, "handshake") == 0 || strcmp(value, "request") == 0)) {
      plan.handshakeMode = strcmp(value, "handshake") == 0;
      haveMode = true;
    } else if (strcmp(name, "--type") == 0 && parseNumber(value, 0, 0xFFFFFFFFL, &n)) {
      plan.type = static_cast<uint32_t>(n);
    } else if (strcmp(name, "--json") == 0) {
      plan.json = value;
    } else {
      fputs(usage, stderr);
      return EXIT_USAGE;
    }
  }
  if (!haveMode || plan.connections == 0 || plan.count == 0) {
    fputs(usage, stderr);
    return EXIT_USAGE;
  }
  uint8_t vkey[32];
  if (!clientVerificationKey(opts, vkey)) return EXIT_USAGE;
  std::vector<ThreadResult> results(static_cast<size_t>(plan.connections));
  std::vector<std::thread> threads;
  auto t0 = Clock::now();
  for (long c = 0; c < plan.connections; ++c)
    threads.emplace_back(runThread, std::cref(opts), std::cref(plan), vkey, &results[c]);
  for (auto& t : threads) t.join();
  OPENSSL_cleanse(vkey, sizeof vkey);
  double seconds = msSince(t0) / 1000.0;

  long ok = 0, failed = 0;
  std::vector<double> all;
  for (auto& r : results) {
    ok += r.ok;
    failed += r.failed;
    all.insert(all.end(), r.latencyMs.begin(), r.latencyMs.end());
  }
  std::sort(all.begin(), all.end());
  printf("connections=%ld count=%ld ok=%ld failed=%ld seconds=%.3f rate=%.1f/s "
         "p50=%.2fms p90=%.2fms p99=%.2fms max=%.2fms\n",
         plan.connections, plan.count, ok, failed, seconds,
         seconds > 0 ? static_cast<double>(ok) / seconds : 0.0, percentile(all, 0.50),
         percentile(all, 0.90), percentile(all, 0.99), all.empty() ? 0.0 : all.back());
  fflush(stdout);
  return failed == 0 ? EXIT_ANSWER_OK : EXIT_OTHER_STATUS;
}

}  // namespace

AV_CLIENT_COMMAND(load, "load",
                  "--connections C --count N --mode handshake|request [--type T] [--json TEXT]",
                  runLoad);

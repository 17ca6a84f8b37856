// "icap-scan" and "icap-status": scan jobs (2020) that send the agent to an
// ICAP server instead of the local engine (avType 1), or ask it whether that
// server answers (avType 2). The header names default to the ones common ICAP
// antivirus servers use; the storage system would take them from its vendor
// settings. The agent connects to its own configured ICAP port: the port given
// here only travels in the job.
#include <cstdio>
#include <cstring>
#include <string>

#include "channel/frame.h"
#include "client.h"

namespace {

struct IcapArgs {
  std::string server, servPort = "1344", method = "RESPMOD", pathKey = "X-File-Path";
  std::string infection = "X-Infection-Found", violation = "X-Violations-Found";
  std::string lifIp = "127.0.0.1", path;
  bool havePath = false;
};

// Parses "--name VALUE" pairs (and, for the scan, one PATH). 0 or EXIT_USAGE.
int parseIcapArgs(const char* cmd, bool scan, int argc, char** argv, IcapArgs* a) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strncmp(arg, "--", 2) != 0) {
      if (!scan || a->havePath) {
        fprintf(stderr, "avagent-client %s: unexpected argument %s\n", cmd, arg);
        return EXIT_USAGE;
      }
      a->path = arg;
      a->havePath = true;
      continue;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "avagent-client %s: %s needs a value\n", cmd, arg);
      return EXIT_USAGE;
    }
    const char* value = argv[++i];
    std::string* field = nullptr;
    if (strcmp(arg, "--server") == 0) field = &a->server;
    else if (strcmp(arg, "--serv-port") == 0) field = &a->servPort;
    else if (scan && strcmp(arg, "--method") == 0) field = &a->method;
    else if (scan && strcmp(arg, "--path-key") == 0) field = &a->pathKey;
    else if (scan && strcmp(arg, "--infection") == 0) field = &a->infection;
    else if (scan && strcmp(arg, "--violation") == 0) field = &a->violation;
    else if (scan && strcmp(arg, "--lif-ip") == 0) field = &a->lifIp;
    if (field == nullptr) {
      fprintf(stderr, "avagent-client %s: unknown option %s\n", cmd, arg);
      return EXIT_USAGE;
    }
    *field = value;
  }
  long port = 0;
  if (!parseNumber(a->servPort.c_str(), 0, 65535, &port)) {
    fprintf(stderr, "avagent-client %s: bad --serv-port '%s'\n", cmd, a->servPort.c_str());
    return EXIT_USAGE;
  }
  if (a->server.empty() || (scan && !a->havePath)) {
    fprintf(stderr, "usage: avagent-client %s\n",
            scan ? "icap-scan --server IP [--serv-port N] [--method M] [--path-key K] "
                   "[--infection H] [--violation H] [--lif-ip IP] PATH"
                 : "icap-status --server IP [--serv-port N]");
    return EXIT_USAGE;
  }
  return 0;
}

int runIcapScan(const ClientOptions& opts, int argc, char** argv) {
  IcapArgs a;
  if (int rc = parseIcapArgs("icap-scan", true, argc, argv, &a)) return rc;
  std::string json = "{\"opCode\":\"1\",\"avType\":\"1\",\"Method\":" + jsonString(a.method) +
                     ",\"PathKey\":" + jsonString(a.pathKey) +
                     ",\"FilePath\":" + jsonString(a.path) + ",\"LifIp\":" + jsonString(a.lifIp) +
                     ",\"ServIp\":" + jsonString(a.server) + ",\"ServPort\":" +
                     jsonString(a.servPort) + ",\"Infection\":" + jsonString(a.infection) +
                     ",\"Violation\":" + jsonString(a.violation) + "}";
  return runOneRequest(opts, MSG_SCAN_FILE, json, AnswerKind::kIcapScan);
}

int runIcapStatus(const ClientOptions& opts, int argc, char** argv) {
  IcapArgs a;
  if (int rc = parseIcapArgs("icap-status", false, argc, argv, &a)) return rc;
  std::string json = "{\"opCode\":\"1\",\"avType\":\"2\",\"ServIp\":" + jsonString(a.server) +
                     ",\"ServPort\":" + jsonString(a.servPort) + "}";
  return runOneRequest(opts, MSG_SCAN_FILE, json);
}

}  // namespace

AV_CLIENT_COMMAND(icapScan, "icap-scan",
                  "--server IP [--serv-port N] [--method M] [--path-key K] [--infection H] "
                  "[--violation H] [--lif-ip IP] PATH",
                  runIcapScan);
AV_CLIENT_COMMAND(icapStatus, "icap-status", "--server IP [--serv-port N]", runIcapStatus);

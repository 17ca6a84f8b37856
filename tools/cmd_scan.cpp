// "scan PATH": a local-engine scan job (2020) for one UNC path.
#include <cstdio>

#include "channel/frame.h"
#include "client.h"

namespace {
int runScan(const ClientOptions& opts, int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: avagent-client scan PATH\n");
    return EXIT_USAGE;
  }
  std::string json = "{\"opCode\":\"1\",\"avType\":\"0\",\"FilePath\":" +
                     jsonString(argv[1]) + "}";
  return runOneRequest(opts, MSG_SCAN_FILE, json, AnswerKind::kLocalScan);
}
}  // namespace

AV_CLIENT_COMMAND(scan, "scan", "PATH", runScan);

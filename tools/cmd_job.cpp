// "job TYPE JSON": any MessageType with any JSON text.
#include <cstdio>

#include "client.h"

namespace {
int runJob(const ClientOptions& opts, int argc, char** argv) {
  long type = 0;
  if (argc != 3 || !parseNumber(argv[1], 0, 0xFFFFFFFFL, &type)) {
    fprintf(stderr, "usage: avagent-client job TYPE JSON\n");
    return EXIT_USAGE;
  }
  return runOneRequest(opts, static_cast<uint32_t>(type), argv[2]);
}
}  // namespace

AV_CLIENT_COMMAND(job, "job", "TYPE JSON", runJob);

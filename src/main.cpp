#include <cstdio>
#include <cstring>

#include "runtime/metrics.h"
#include "runtime/startup.h"

int main(int argc, char** argv) {
  // Lets an operator or a package check name the installed build without
  // starting the agent; the agent itself takes no options.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("avagent %s\n", AV_VERSION);
    return 0;
  }
  metrics_SetBuildVersion(AV_VERSION);
  return agentMain();
}

#include <cstdio>
#include <cstring>

#include "runtime/metrics.h"
#include "runtime/startup.h"

namespace {

void printHelp() {
  std::printf(
      "usage: avagent [--version | --help]\n"
      "The antivirus agent. It takes no options: it runs from the folder of its own\n"
      "program file (the installation root) and reads cfg/agentConfig.ini there,\n"
      "logs to log/ and keeps its level settings in tmp/dbglog.cfg.\n"
      "Stop it with a /quit line on standard input, SIGTERM or Ctrl-C.\n"
      "  --version  print the version and exit\n"
      "  --help     print this text and exit\n"
      "Exit codes: 0 after /quit or a stop signal; 2 a bad argument (nothing started);\n"
      "255 a start-up failure (the reason is printed as \"Tips: ...\" and logged).\n");
}

}  // namespace

int main(int argc, char** argv) {
  // An operator or a package check can name the installed build or read the
  // usage without starting the agent; any other argument starts nothing, so a
  // mistyped option never leaves a live agent behind.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("avagent %s\n", AV_VERSION);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    printHelp();
    return 0;
  }
  if (argc > 1) {
    std::fprintf(stderr, "avagent: unknown argument '%s'; nothing started (see avagent --help)\n",
                 argv[1]);
    return 2;
  }
  metrics_SetBuildVersion(AV_VERSION);
  return agentMain();
}

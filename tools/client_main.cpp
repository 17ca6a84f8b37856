// avagent-client entry: quiet the agent library's log, build the pool, parse
// the global options and run one registered command.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/frame.h"
#include "client.h"
#include "platform/net.h"
#include "platform/quiet_call.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {

// The log module maps "./tmp/dbglog.cfg" of the working directory on first
// use. A client started inside an agent's root must not write into that
// agent's log, so the module is initialised once from an empty scratch
// directory (no settings file: records reach only the observer) with its
// start-up notice kept off standard output, which carries the answer.
void initLogQuietly() { BRIM_SetModuleLogLevel(AV_MODULE_AGENT, AVLOG_ERR); }

void detachFromAgentLog() {
  // The first call initialises the module.
  if (int err = quiet_CallInScratchDir(initLogQuietly); err != 0)
    fprintf(stderr, "avagent-client: cannot restore the working directory or output: errno %d\n", err);
}

void printRecord(uint32_t, uint32_t level, const char* func, const char* message) {
  if (level <= AVLOG_WARN) fprintf(stderr, "agent-lib: %s: %s\n", func, message);
}

}  // namespace

int main(int argc, char** argv) {
  net_IgnoreBrokenPipe();
  detachFromAgentLog();
  ClientOptions opts;
  // The pre-shared key text is wiped however main returns.
  struct KeyWipe {
    std::string& key;
    ~KeyWipe() { OPENSSL_cleanse(key.data(), key.size()); }
  } keyWipe{opts.key};
  int next = 0;
  if (int rc = parseGlobalOptions(argc, argv, &opts, &next); rc != 0) return rc < 0 ? 0 : rc;
  if (opts.verbose) BRIM_SetLogObserver(printRecord);
  if (initAVPool(getAVPool()) != 0) {
    fprintf(stderr, "avagent-client: cannot build the memory pool\n");
    return EXIT_USAGE;
  }
  agentMsg_SetIoWaitMs(opts.timeoutSec * 1000);
  for (const auto& cmd : clientCommands())
    if (strcmp(cmd.name, argv[next]) == 0) return cmd.run(opts, argc - next, argv + next);
  fprintf(stderr, "avagent-client: unknown command '%s'\n", argv[next]);
  printUsage(stderr);
  return EXIT_USAGE;
}

// Global option parsing of avagent-client.
#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client.h"

bool parseNumber(const char* text, long min, long max, long* out) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

void printUsage() {
  fprintf(stderr,
          "usage: avagent-client [--host H] [--port P] [--key PRESHARED] [--proto 17|16]\n"
          "                      [--timeout SEC] [--verbose] CMD ...\n"
          "commands:\n");
  for (const auto& c : clientCommands()) fprintf(stderr, "  %s %s\n", c.name, c.usage);
}

int parseGlobalOptions(int argc, char** argv, ClientOptions* opts, int* next) {
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
    const char* name = argv[i];
    if (strcmp(name, "--verbose") == 0) {
      opts->verbose = true;
      continue;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "avagent-client: %s needs a value\n", name);
      return EXIT_USAGE;
    }
    const char* value = argv[++i];
    long n = 0;
    if (strcmp(name, "--host") == 0) {
      opts->host = value;
    } else if (strcmp(name, "--port") == 0) {
      if (!parseNumber(value, 1, 65535, &n)) {
        fprintf(stderr, "avagent-client: bad port '%s'\n", value);
        return EXIT_USAGE;
      }
      opts->port = value;
    } else if (strcmp(name, "--key") == 0) {
      if (!*value) {
        fprintf(stderr, "avagent-client: empty key\n");
        return EXIT_USAGE;
      }
      opts->key.reserve(64);  // one heap block that main wipes, not a trail of regrown ones
      opts->key = value;
      // Off the process's command line, where other local users can read it.
      OPENSSL_cleanse(argv[i], strlen(argv[i]));
    } else if (strcmp(name, "--proto") == 0) {
      if (!parseNumber(value, 16, 17, &n)) {
        fprintf(stderr, "avagent-client: --proto is 16 or 17\n");
        return EXIT_USAGE;
      }
      opts->proto = static_cast<uint32_t>(n);
    } else if (strcmp(name, "--timeout") == 0) {
      if (!parseNumber(value, 1, 3600, &n)) {
        fprintf(stderr, "avagent-client: bad timeout '%s'\n", value);
        return EXIT_USAGE;
      }
      opts->timeoutSec = static_cast<int>(n);
    } else {
      fprintf(stderr, "avagent-client: unknown option %s\n", name);
      return EXIT_USAGE;
    }
  }
  if (i >= argc) {
    printUsage();
    return EXIT_USAGE;
  }
  *next = i;
  return 0;
}

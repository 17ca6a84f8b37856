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

void printUsage(FILE* out) {
  fprintf(out,
          "usage: avagent-client [OPTION]... CMD [ARG]...\n"
          "Talks to an antivirus agent as the storage system does: connect, handshake, one job.\n"
          "options (defaults in brackets):\n"
          "  --host H          agent address or name [127.0.0.1]\n"
          "  --port P          agent port [5000]\n"
          "  --key-file F      pre-shared key: first line of F\n"
          "  --key K           pre-shared key on the command line (ps and shell history see it)\n"
          "                    [AVAGENT_KEY from the environment, else the built-in default\n"
          "                    Default-PreShared-Key!Replace-At-Install]\n"
          "  --proto 17|16     protocol version; 16 keeps the connection plain [17]\n"
          "  --timeout SEC     connect wait and each wait for the agent [30]\n"
          "  --json            print only the result JSON (nothing when there is none)\n"
          "  --verbose         print the channel library's errors\n"
          "  --help, -h, help  print this text\n"
          "commands:\n");
  for (const auto& c : clientCommands()) fprintf(out, "  %s %s\n", c.name, c.usage);
  fprintf(out,
          "output: \"status: N\" (the answer's ReturnStatus: 100 done, 201 job failed, 203 type\n"
          "not supported), then the result JSON.\n"
          "exit codes:\n"
          "  0 answer 100 (scans: clean)      1 usage or local error\n"
          "  2 handshake refused (key, AllowedPeers, ban, MaxJobNo)\n"
          "  3 closed or silent before an answer (a scan above FlowJobNo is closed)\n"
          "  4 answer 201    5 answer 203    6 cannot connect (refused, unreachable, timed out)\n"
          "  7 other ReturnStatus    8 no such host    9 the peer is not an agent\n"
          "  scan and icap-scan, answer 100: 10 not found (result 2 or 3),\n"
          "  11 refused otherwise or not completed, 225 infected (result 225; ICAP 403)\n"
          "scan results: 0 clean, 2 file not found, 3 path not found, 5 access denied (also a\n"
          "folder), 123 invalid name (. or ..), 225 infected; ICAP: 0 clean, 403 infected,\n"
          "502/505/506/558 the server's error, status 1 not completed.\n");
}

namespace {

// The first line of a key file, without its line end. False after saying why.
bool readKeyFile(const char* path, std::string* key) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) {
    fprintf(stderr, "avagent-client: cannot read key file %s: %s\n", path, strerror(errno));
    return false;
  }
  char buf[256];
  const bool got = fgets(buf, sizeof buf, f) != nullptr;
  fclose(f);
  size_t len = got ? strcspn(buf, "\r\n") : 0;
  if (len > 0) {
    key->reserve(sizeof buf);  // one heap block that main wipes
    key->assign(buf, len);
  }
  OPENSSL_cleanse(buf, sizeof buf);
  if (len == 0) fprintf(stderr, "avagent-client: key file %s holds no key on its first line\n", path);
  return len > 0;
}

bool isHelp(const char* arg) {
  return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "help") == 0;
}

}  // namespace

int parseGlobalOptions(int argc, char** argv, ClientOptions* opts, int* next) {
  int i = 1;
  const char* keyFile = nullptr;
  bool keyGiven = false;
  for (; i < argc && (strncmp(argv[i], "--", 2) == 0 || isHelp(argv[i])); ++i) {
    const char* name = argv[i];
    if (isHelp(name)) {
      printUsage(stdout);
      return -1;
    }
    if (strcmp(name, "--verbose") == 0 || strcmp(name, "--json") == 0) {
      (name[2] == 'v' ? opts->verbose : opts->json) = true;
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
      keyGiven = true;
      // Off the process's command line, where other local users can read it.
      OPENSSL_cleanse(argv[i], strlen(argv[i]));
    } else if (strcmp(name, "--key-file") == 0) {
      keyFile = value;
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
    printUsage(stderr);
    return EXIT_USAGE;
  }
  if (keyGiven && keyFile != nullptr) {
    fprintf(stderr, "avagent-client: give --key or --key-file, not both\n");
    return EXIT_USAGE;
  }
  if (keyFile != nullptr && !readKeyFile(keyFile, &opts->key)) return EXIT_USAGE;
  if (!keyGiven && keyFile == nullptr) {
    if (const char* env = getenv("AVAGENT_KEY"); env != nullptr && *env != '\0') {
      opts->key.reserve(64);
      opts->key = env;
    }
  }
  *next = i;
  return 0;
}

// "status": an engine-status job (2010), members in the storage system's order.
#include <cstdio>
#include <cstring>

#include "channel/frame.h"
#include "client.h"

namespace {
int runStatus(const ClientOptions& opts, int argc, char** argv) {
  std::string vendor, process;
  bool haveVendor = false, haveProcess = false;
  std::vector<std::pair<std::string, std::string>> lifs;
  for (int i = 1; i < argc; ++i) {
    if (i + 1 >= argc) {
      fprintf(stderr, "avagent-client status: %s needs a value\n", argv[i]);
      return EXIT_USAGE;
    }
    const char* value = argv[++i];
    if (strcmp(argv[i - 1], "--vendor") == 0) {
      vendor = value;
      haveVendor = true;
    } else if (strcmp(argv[i - 1], "--message") == 0) {
      process = value;
      haveProcess = true;
    } else if (strcmp(argv[i - 1], "--lif") == 0) {
      const char* eq = strchr(value, '=');
      if (!eq || eq == value || !eq[1]) {
        fprintf(stderr, "avagent-client status: --lif wants ID=IP\n");
        return EXIT_USAGE;
      }
      lifs.emplace_back(std::string(value, eq), std::string(eq + 1));
    } else {
      fprintf(stderr, "avagent-client status: unknown option %s\n", argv[i - 1]);
      return EXIT_USAGE;
    }
  }
  if (!haveVendor && !haveProcess) {
    fprintf(stderr, "usage: avagent-client status --vendor NAME | --message PROC [--lif ID=IP]...\n");
    return EXIT_USAGE;
  }
  // The agent prefers "vendorName" over "message", so it is sent only when given.
  std::string json = "{\"opCode\":\"0\",\"avType\":\"0\"";
  if (haveProcess) json += ",\"message\":" + jsonString(process);
  if (haveVendor) json += ",\"vendorName\":" + jsonString(vendor);
  if (!lifs.empty()) {
    json += ",\"lifIps\":[";
    for (size_t k = 0; k < lifs.size(); ++k) {
      if (k) json += ",";
      json += "{\"lifid\":" + jsonString(lifs[k].first) + ",\"ip\":" + jsonString(lifs[k].second) + "}";
    }
    json += "]";
  }
  json += "}";
  return runOneRequest(opts, MSG_ENGINE_STATUS, json);
}
}  // namespace

AV_CLIENT_COMMAND(status, "status", "--vendor NAME | --message PROC [--lif ID=IP]...", runStatus);

// avagent-client: the storage system's side of the channel as a command-line
// tool, for operators and tests. Global options, then one command:
//   avagent-client [--host H] [--port P] [--key PRESHARED] [--proto 17|16]
//                  [--timeout SEC] [--verbose] CMD ...
// Exit codes: 0 answer 100; 1 usage or local error; 2 handshake refused;
// 3 closed before an answer; 4 answer 201; 5 answer 203; 6 cannot connect;
// 7 any other ReturnStatus. Commands live in their own files and register
// themselves with AV_CLIENT_COMMAND, so new job kinds need no edit elsewhere.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ClientOptions {
  std::string host = "127.0.0.1";
  std::string port = "5000";
  std::string key;          // pre-shared key text; empty: the built-in default; wiped by main
  uint32_t proto = 17;
  int timeoutSec = 30;      // connect wait and each socket wait
  bool verbose = false;     // agent-library ERR records to stderr
};

enum ClientExit : int {
  EXIT_ANSWER_OK = 0,
  EXIT_USAGE = 1,
  EXIT_HANDSHAKE_REFUSED = 2,
  EXIT_CLOSED = 3,
  EXIT_ANSWER_201 = 4,
  EXIT_ANSWER_203 = 5,
  EXIT_NO_CONNECT = 6,
  EXIT_OTHER_STATUS = 7,
};

// argv[0] is the command name; returns an exit code.
using ClientCommandFn = int (*)(const ClientOptions& opts, int argc, char** argv);
struct ClientCommand {
  const char* name;
  const char* usage;  // arguments after the name
  ClientCommandFn run;
};
struct ClientCommandRegistrar {
  explicit ClientCommandRegistrar(const ClientCommand& cmd);
};
#define AV_CLIENT_COMMAND(ident, name, usage, fn) \
  static const ClientCommandRegistrar ident##_registrar({name, usage, fn})
const std::vector<ClientCommand>& clientCommands();

// Global options from argv[1..]; *next is the index of the command name.
// 0, or EXIT_USAGE after printing why.
int parseGlobalOptions(int argc, char** argv, ClientOptions* opts, int* next);
void printUsage();
// A decimal number in [min, max]; false otherwise.
bool parseNumber(const char* text, long min, long max, long* out);

// A JSON string literal (quotes included) for text.
std::string jsonString(const std::string& text);

// The HMAC key for opts.key (or the built-in default). false, after saying why
// on stderr, when it cannot be derived or the key is weak (refused).
bool clientVerificationKey(const ClientOptions& opts, uint8_t out[32]);
// Connect, handshake, one request; prints "status: N" and the JSON body.
int runOneRequest(const ClientOptions& opts, uint32_t messageType, const std::string& json);
// Exit code for an answer's ReturnStatus.
int exitCodeForStatus(uint32_t returnStatus);

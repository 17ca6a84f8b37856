// avagent-client: the storage system's side of the channel as a command-line
// tool, for operators, scripts and tests. Global options, then one command
// (printUsage gives the whole text: options and defaults, exit codes, result
// codes). The key comes from --key, --key-file or AVAGENT_KEY, in that order,
// else the built-in default. Scan commands exit with their verdict (0 clean,
// 225 infected, 10 not found, 11 refused otherwise), so a script can tell
// them apart without reading the answer. Commands live in their own files and
// register themselves with AV_CLIENT_COMMAND, so new job kinds need no edit
// elsewhere.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ClientOptions {
  std::string host = "127.0.0.1";
  std::string port = "5000";
  std::string key;          // pre-shared key text; empty: the built-in default; wiped by main
  uint32_t proto = 17;
  int timeoutSec = 30;      // connect wait and each socket wait
  bool verbose = false;     // agent-library ERR records to stderr
  bool json = false;        // standard output: the result JSON alone
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
  EXIT_NO_SUCH_HOST = 8,
  EXIT_NOT_AN_AGENT = 9,
  EXIT_SCAN_NOT_FOUND = 10,  // scan result 2 or 3
  EXIT_SCAN_REFUSED = 11,    // any other refusal, or a scan that did not complete
  EXIT_SCAN_INFECTED = 225,  // local result 225, ICAP result 403
};

// How an answer of 100 turns into the exit code: as it is, or by the scan's verdict.
enum class AnswerKind { kPlain, kLocalScan, kIcapScan };

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
// 0; EXIT_USAGE after printing why; or -1 after printing the help (exit 0).
int parseGlobalOptions(int argc, char** argv, ClientOptions* opts, int* next);
void printUsage(FILE* out);
// A decimal number in [min, max]; false otherwise.
bool parseNumber(const char* text, long min, long max, long* out);

// A JSON string literal (quotes included) for text.
std::string jsonString(const std::string& text);

// The HMAC key for opts.key (or the built-in default). false, after saying why
// on stderr, when it cannot be derived or the key is weak (refused).
bool clientVerificationKey(const ClientOptions& opts, uint8_t out[32]);
// Connect, handshake, one request; prints "status: N" and the JSON body (the
// body alone with --json). Every failure is said on stderr in the operator's
// words: no such host, refused, timed out, not an agent, key refused, ...
int runOneRequest(const ClientOptions& opts, uint32_t messageType, const std::string& json,
                  AnswerKind kind = AnswerKind::kPlain);
// Exit code for an answer's ReturnStatus.
int exitCodeForStatus(uint32_t returnStatus);

// One request of avagent-client: connect, verify, send, print the answer.
#include <openssl/crypto.h>

#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "client.h"
#include "jobs/trigger_scan.h"
#include "platform/net.h"

bool clientVerificationKey(const ClientOptions& opts, uint8_t out[32]) {
  const char* key = opts.key.empty() ? AV_DEFAULT_PRESHARED_KEY : opts.key.c_str();
  // An agent refuses a weak key at reset and at load, so an agent holding it
  // is an old one whose handshake a guesser passes: say so rather than use it.
  uint8_t shared[32] = {};
  int weakAt = deriveSharedKey(key, shared) == 0 ? sharedKeyWeakAt(shared) : 0;
  OPENSSL_cleanse(shared, sizeof shared);
  if (weakAt >= 0) {
    fprintf(stderr,
            "avagent-client: weak pre-shared key: its shared key has a zero byte at %d, so "
            "the handshake key is short enough to guess; the agent refuses such a key. "
            "Choose another key.\n",
            weakAt);
    return false;
  }
  if (sp_DeriveVerificationKey(key, out) != 1) {
    fprintf(stderr, "avagent-client: cannot derive the verification key\n");
    return false;
  }
  return true;
}

int exitCodeForStatus(uint32_t returnStatus) {
  switch (returnStatus) {
    case 100: return EXIT_ANSWER_OK;
    case 201: return EXIT_ANSWER_201;
    case 203: return EXIT_ANSWER_203;
    default: return EXIT_OTHER_STATUS;
  }
}

namespace {

constexpr int kChallengeWaitMs = 10000;

// Connects and says why not: the host's name, the refusal, the silence.
int connectTo(const ClientOptions& opts, StoragePeer* peer) {
  std::vector<NetEndpoint> list;
  if (int rc = net_Resolve(opts.host.c_str(), opts.port.c_str(), NET_ANY, &list); rc != 0) {
    fprintf(stderr, "avagent-client: cannot look up host %s: %s\n", opts.host.c_str(),
            net_ResolveErrorText(rc));
    return EXIT_NO_SUCH_HOST;
  }
  int fd = -1;
  if (int err = net_Connect(list, opts.timeoutSec * 1000, &fd); err != 0) {
    const char* why = err == ECONNREFUSED ? "connection refused (is the agent running on this port?)"
                      : err == ETIMEDOUT  ? "no answer within the time-out (a firewall, or "
                                            "ListenAddress on another address?)"
                                          : strerror(err);
    fprintf(stderr, "avagent-client: cannot connect to %s port %s: %s\n", opts.host.c_str(),
            opts.port.c_str(), why);
    return EXIT_NO_CONNECT;
  }
  sp_Attach(peer, fd, opts.proto);
  return 0;
}

// An agent sends its challenge frame as soon as it accepts, so the first
// bytes tell an agent from another server without waiting the whole time-out.
int probeChallenge(const ClientOptions& opts, int fd) {
  const int waitMs = std::min(opts.timeoutSec * 1000, kChallengeWaitMs);
  uint8_t head[4] = {};
  size_t got = 0;
  if (net_Wait(fd, NET_READABLE, waitMs, nullptr) != 0) {
    fprintf(stderr, "avagent-client: %s port %s sent no challenge within %d s: not an agent "
            "(an agent sends one at once)\n", opts.host.c_str(), opts.port.c_str(), waitMs / 1000);
    return EXIT_NOT_AN_AGENT;
  }
  if (net_Recv(fd, head, sizeof head, NET_PEEK, &got) != 0 || got == 0) {
    fprintf(stderr, "avagent-client: the agent closed the connection before its challenge: this "
            "address is not in AllowedPeers, is banned after failed handshakes, or MaxJobNo "
            "connections are open (the agent's log names which)\n");
    return EXIT_HANDSHAKE_REFUSED;
  }
  const uint8_t tag[4] = {0x98, 0xBA, 0xDC, 0xFE};  // BeginTag, little-endian
  if (memcmp(head, tag, got) != 0) {
    fprintf(stderr, "avagent-client: %s port %s is not an agent: its first bytes are not a frame\n",
            opts.host.c_str(), opts.port.c_str());
    return EXIT_NOT_AN_AGENT;
  }
  return 0;
}

// The member's text (or number) as an integer; -1 when absent.
long memberNumber(json_object* o, const char* name) {
  json_object* m = nullptr;
  if (!json_object_object_get_ex(o, name, &m)) return -1;
  return json_object_get_int64(m);
}

// A scan's verdict from its result JSON, said on stderr unless --json.
int scanExit(const ClientOptions& opts, AnswerKind kind, const char* body) {
  json_object* o = json_tokener_parse(body);
  const long status = o ? memberNumber(o, "status") : -1;
  const long result = o ? memberNumber(o, "result") : -1;
  json_object_put(o);
  int code = EXIT_SCAN_REFUSED;
  const char* word = "not completed";
  if (status == 0 && result == 0) {
    code = EXIT_ANSWER_OK;
    word = "clean";
  } else if (status == 0 && result == (kind == AnswerKind::kIcapScan ? 403 : 225)) {
    code = EXIT_SCAN_INFECTED;
    word = "infected";
  } else if (status == 0 && kind == AnswerKind::kLocalScan && (result == 2 || result == 3)) {
    code = EXIT_SCAN_NOT_FOUND;
    word = triggerResultWord(static_cast<int32_t>(result));
  } else if (status == 0) {
    const char* w = kind == AnswerKind::kLocalScan ? triggerResultWord(static_cast<int32_t>(result))
                                                   : nullptr;
    word = w != nullptr ? w : "refused";
  }
  if (!opts.json) fprintf(stderr, "verdict: %s\n", word);
  return code;
}

// 201 carries no text; the agent's log has the reason. What a client can see
// itself is whether the request was JSON at all.
void explain201(const std::string& request) {
  json_object* o = json_tokener_parse(request.c_str());
  if (o == nullptr)
    fprintf(stderr, "avagent-client: the job failed (201): the request is not valid JSON\n");
  else
    fprintf(stderr, "avagent-client: the job failed (201): a member is missing or wrong (avType, "
            "FilePath, vendorName/message, lifIps: at most 16 with lifid and ip), or FilePath "
            "is over 4299 bytes; the agent's log names the reason in an ERR line\n");
  json_object_put(o);
}

}  // namespace

int runOneRequest(const ClientOptions& opts, uint32_t messageType, const std::string& json,
                  AnswerKind kind) {
  uint8_t vkey[32];
  if (!clientVerificationKey(opts, vkey)) return EXIT_USAGE;
  StoragePeer peer;
  peer.version = opts.proto;
  int exitCode = connectTo(opts, &peer);
  if (exitCode == 0) exitCode = probeChallenge(opts, peer.link.socket);
  int rc = exitCode == 0 ? sp_Handshake(&peer, vkey) : SP_OK;
  OPENSSL_cleanse(vkey, sizeof vkey);
  if (exitCode != 0) {
    // said already
  } else if (rc != SP_OK && peer.challengeLen == 0) {
    fprintf(stderr, "avagent-client: %s port %s is not an agent: its first frame is not a "
            "challenge\n", opts.host.c_str(), opts.port.c_str());
    exitCode = EXIT_NOT_AN_AGENT;
  } else if (rc != SP_OK) {
    if (rc == SP_REFUSED)
      fprintf(stderr, "avagent-client: handshake refused: the agent closed the connection after "
              "our answer; the pre-shared key (--key, --key-file, AVAGENT_KEY) is not the "
              "agent's\n");
    else
      fprintf(stderr, "avagent-client: handshake failed locally\n");
    exitCode = rc == SP_REFUSED ? EXIT_HANDSHAKE_REFUSED : EXIT_USAGE;
  } else {
    // The JSON text travels with its NUL, as the agent expects.
    rc = sp_Request(&peer, messageType, json.c_str(), static_cast<uint32_t>(json.size() + 1));
    if (rc == SP_CLOSED) {
      fprintf(stderr, "avagent-client: connection closed or silent for %d s before an answer "
              "(a scan job above FlowJobNo is closed unanswered; see the agent's log)\n",
              opts.timeoutSec);
      exitCode = EXIT_CLOSED;
    } else if (rc != SP_OK) {
      exitCode = EXIT_USAGE;
    } else {
      const MsgHeader& h = peer.link.RecvHead;
      if (!opts.json) printf("status: %u\n", h.ReturnStatus);
      std::string body;
      if (h.Length > 0) {
        const char* text = reinterpret_cast<const char*>(peer.link.RecvBody);
        body.assign(text, strnlen(text, h.Length));
        printf("%s\n", body.c_str());
      }
      fflush(stdout);
      exitCode = exitCodeForStatus(h.ReturnStatus);
      if (h.ReturnStatus == 201) explain201(json);
      if (h.ReturnStatus == 203)
        fprintf(stderr, "avagent-client: message type %u is not supported (203)\n", messageType);
      if (h.ReturnStatus == 100 && kind != AnswerKind::kPlain)
        exitCode = scanExit(opts, kind, body.c_str());
    }
  }
  sp_Close(&peer);
  return exitCode;
}

// One request of avagent-client: connect, verify, send, print the answer.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>

#include "channel/shared_key.h"
#include "channel/storage_peer.h"
#include "client.h"

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

int runOneRequest(const ClientOptions& opts, uint32_t messageType, const std::string& json) {
  uint8_t vkey[32];
  if (!clientVerificationKey(opts, vkey)) return EXIT_USAGE;
  StoragePeer peer;
  peer.version = opts.proto;
  int rc = sp_Connect(&peer, opts.host.c_str(), opts.port.c_str(), opts.timeoutSec * 1000);
  if (rc != SP_OK) {
    OPENSSL_cleanse(vkey, sizeof vkey);
    fprintf(stderr, "avagent-client: cannot connect to %s port %s\n", opts.host.c_str(),
            opts.port.c_str());
    return EXIT_NO_CONNECT;
  }
  rc = sp_Handshake(&peer, vkey);
  OPENSSL_cleanse(vkey, sizeof vkey);
  int exitCode;
  if (rc != SP_OK) {
    fprintf(stderr, "avagent-client: handshake %s\n",
            rc == SP_REFUSED ? "refused" : "failed locally");
    exitCode = rc == SP_REFUSED ? EXIT_HANDSHAKE_REFUSED : EXIT_USAGE;
  } else {
    // The JSON text travels with its NUL, as the agent expects.
    rc = sp_Request(&peer, messageType, json.c_str(), static_cast<uint32_t>(json.size() + 1));
    if (rc == SP_CLOSED) {
      fprintf(stderr, "avagent-client: connection closed before an answer\n");
      exitCode = EXIT_CLOSED;
    } else if (rc != SP_OK) {
      exitCode = EXIT_USAGE;
    } else {
      const MsgHeader& h = peer.link.RecvHead;
      printf("status: %u\n", h.ReturnStatus);
      if (h.Length > 0) {
        const char* body = reinterpret_cast<const char*>(peer.link.RecvBody);
        printf("%.*s\n", static_cast<int>(strnlen(body, h.Length)), body);
      }
      fflush(stdout);
      exitCode = exitCodeForStatus(h.ReturnStatus);
    }
  }
  sp_Close(&peer);
  return exitCode;
}

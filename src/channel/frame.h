// Wire frame and socket I/O of the storage-system channel.
//
// Frame: 32-byte header (BeginTag 0xFEDCBA98, Version, MessageType, Length,
// ReturnStatus, 12 reserved), Length body bytes, 16-byte tail (zero word, 8
// reserved, EndTag 0x76543210); every field little-endian. On a verified link
// with a peer of version >= 17 the first ceil(Length/16) 16-byte blocks of
// body+tail (padded with zeros to roundLen) are AES-256 encrypted one by one.
// Every wait is bounded (net_Wait): 30 s per wait while a frame moves.
// Draining after a frame discards what the peer sent behind it, but at most
// AV_DRAIN_MAX_BYTES (32 KiB) or AV_DRAIN_MAX_MS (100 ms) of reading, whichever
// ends first; a peer still sending then fails the drain (the connection ends).
// A received body is terminated: the tail's zero word is cleared on arrival.
// Decisions: any descriptor >= 0 is a valid socket (0 included, as on any
// Unix); a signal during a wait resumes the wait instead of failing it.
#pragma once
#include <cstdint>

#include "channel/crypto.h"

constexpr uint32_t AV_BEGIN_TAG = 0xFEDCBA98;
constexpr uint32_t AV_END_TAG = 0x76543210;
constexpr uint32_t AV_PROTOCOL_VERSION = 17;
constexpr uint32_t AV_MAX_BODY = 8792;
constexpr uint32_t AV_HEADER_SIZE = 32;
constexpr uint32_t AV_TAIL_SIZE = 16;
constexpr uint32_t AV_DRAIN_MAX_BYTES = 32768;
constexpr int64_t AV_DRAIN_MAX_MS = 100;

enum : uint32_t {
  MSG_HANDSHAKE_CHALLENGE = 2000,
  MSG_HANDSHAKE_ANSWER = 2001,
  MSG_ENGINE_STATUS = 2010,
  MSG_SCAN_FILE = 2020,
};
enum : uint32_t {
  RET_OK = 100,
  RET_JOB_FAILED = 201,
  RET_NOT_SUPPORTED = 203,
};

struct MsgHeader {
  uint32_t BeginTag;
  uint32_t Version;
  uint32_t MessageType;
  uint32_t Length;
  uint32_t ReturnStatus;
  uint32_t Reserved[3];
};
static_assert(sizeof(MsgHeader) == 32);

enum : int32_t { LINK_UNVERIFIED = 0, LINK_NORMAL = 1, LINK_FAULT = 2 };

struct MsgLink {
  int socket = -1;
  MsgHeader RecvHead{};
  AesBlockKey decryptKey;
  AesBlockKey encryptKey;
  uint32_t RecvLength = 0;
  uint8_t* RecvBody = nullptr;  // pool memory: body + tail (+ padding)
  uint32_t SendCapacity = 0;
  uint8_t* SendPackage = nullptr;  // pool memory: the whole outgoing frame
  uint32_t SendLength = 0;
  int32_t status = LINK_UNVERIFIED;
};

int agentMsg_Waiting(int sock, int forWrite, int timeoutMs);  // 0 timeout, 1 ready, 2 error
int agentMsg_DoRecv(int sock, void* buf, uint32_t len);  // 0 ok, 1 timeout/closed, 2 error
int agentMsg_DoSend(int sock, const void* buf, uint32_t len);  // 1 all sent, else 0
int agentMsg_EmptySocket(int sock);  // 1 drained (within the bound) and writable
int agentMsg_RecvPackage_Compatible(MsgLink* link);    // 0 good frame, else 1 or 2
// The same for a caller that has just seen the socket readable (the agent after
// its request wait): the header read tries the socket before it waits, and may
// take the first 16 bytes behind the header with it (every frame has them).
int agentMsg_RecvPackage_Ready(MsgLink* link);
// The same for a peer that has just sent a request (or connected): nothing can
// be there yet, so it waits once, then takes the header and the 16 bytes
// behind it in one read. A frame refused from its header may lose those bytes.
int agentMsg_RecvPackage_Awaited(MsgLink* link);
// The one encryption rule: frames are encrypted on a verified link whose peer
// speaks version 17 or later (the agent reads the peer's version from its
// last frame; the storage side knows its own).
bool agentMsg_LinkEncrypts(const MsgLink* link, uint32_t peerVersion);
// The frame encoder: header and tail around the len body bytes already at
// SendPackage + 32 (SendCapacity must hold len + 48); sets SendLength. 1 / 0.
int agentMsg_SealFrame(MsgLink* link, uint32_t version, uint32_t messageType, uint32_t len,
                       uint32_t returnStatus);
int agentMsg_CombinSendingMessage(MsgLink* link, uint32_t messageType,
                                  const void* body, uint32_t len);  // 1 / 0
int agentMsg_CreateEmptyResponse(MsgLink* link, uint32_t messageType,
                                 uint32_t returnStatus);  // 1 / 0
int agentMsg_DoRequest(MsgLink* link, uint32_t messageType, const void* body,
                       uint32_t len);                  // 1 / 0
int agentMsg_EncrypMessage(MsgLink* link);             // 1
int agentMsg_DecryptMessage(MsgLink* link);            // 1
void agentMsg_ReleaseLink(MsgLink* link);  // frees the buffers; keys and status stay
void agentMsg_FreeLinkKeys(MsgLink* link);  // at connection end
// familyFlag 1: IPv6 (IPV6_V6ONLY), else IPv4; on address (numeric) when
// given, else every address. 1 with a listening socket, else 0 with *err
// (optional) set to the errno of the failed step.
int agentMsg_ListenMessageClient(int familyFlag, int* sock, const char* port,
                                 int backlog, const char* address = nullptr, int* err = nullptr);

// Builds a frame with an explicit Version and encryption choice (the storage
// side's frames carry its own version); 1 / 0 like agentMsg_CombinSendingMessage.
int agentMsg_BuildFrame(MsgLink* link, uint32_t messageType, const void* body,
                        uint32_t len, uint32_t version, int encrypt);
// Limit of each wait while a frame moves (default 30000 ms). Changed only by
// tests and by the storage-side client's --timeout; process-wide.
void agentMsg_SetIoWaitMs(int ms);
int agentMsg_IoWaitMs();
// Bounds every wait of the calling thread (agentMsg_Waiting, and so every byte
// mover) by an absolute deadline in BRIM_MonotonicMs() time, so that a whole
// transfer, not only each wait, has a limit; 0 removes it. Returns the
// deadline it replaces, for the caller to restore.
int64_t agentMsg_SetThreadDeadline(int64_t deadlineMs);

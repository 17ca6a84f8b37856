// Frame and socket I/O of the storage-system channel.
//
// Design: every byte mover first tries its call without blocking and waits
// (net_Wait) only when nothing can move yet, so a request that is already there
// costs no wait (a descriptor above 1023 works; a silent peer costs at most one
// bounded wait per call). Frames
// live in pool buffers owned by the link; a received body is always allocated
// at roundLen, and the tail's zero word is cleared once the frame is accepted,
// so a text body is terminated within Length + 1 bytes whatever the sender put
// there. Every frame sent, the job answers included, gets its header and tail
// from agentMsg_SealFrame, little-endian. Encryption works in place, one 16-byte block at a time, and never
// touches the header.
#include "channel/frame.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/net.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"
#include "runtime/os_helper.h"

namespace {

constexpr int kDefaultIoWaitMs = 30000;
constexpr int kMaxRetries = 3;
constexpr uint32_t kDrainChunk = 100;

std::atomic<int> g_ioWaitMs{kDefaultIoWaitMs};
thread_local int64_t t_deadlineMs = 0;

uint32_t roundUp16(uint32_t n) { return (n + 15u) & ~15u; }
uint32_t blocksOf(uint32_t len) { return (len + 15u) / 16u; }

void putU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Header fields are little-endian on the wire whatever the host order.
void readHeader(const uint8_t raw[32], MsgHeader* h) {
  h->BeginTag = getU32(raw);
  h->Version = getU32(raw + 4);
  h->MessageType = getU32(raw + 8);
  h->Length = getU32(raw + 12);
  h->ReturnStatus = getU32(raw + 16);
  for (int i = 0; i < 3; ++i) h->Reserved[i] = getU32(raw + 20 + 4 * i);
}

bool retryable(int err) { return err == EINTR || err == EAGAIN || err == EWOULDBLOCK; }

// After a non-blocking attempt: the errors that the bounded wait (and, for a
// bad descriptor, its own report) handles exactly as a wait-first call would.
// Any other error is what the call after a ready wait would have returned.
bool mustWait(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == EBADF;
}

void freePoolPtr(uint8_t** p) {
  if (*p) freeAVPoolMem(getAVPool(), *p);
  *p = nullptr;
}

}  // namespace

void agentMsg_SetIoWaitMs(int ms) { g_ioWaitMs.store(ms > 0 ? ms : kDefaultIoWaitMs); }
int agentMsg_IoWaitMs() { return g_ioWaitMs.load(); }

int64_t agentMsg_SetThreadDeadline(int64_t deadlineMs) {
  const int64_t before = t_deadlineMs;
  t_deadlineMs = deadlineMs > 0 ? deadlineMs : 0;
  return before;
}


int agentMsg_Waiting(int sock, int forWrite, int timeoutMs) {
  int64_t waitMs = timeoutMs > 0 ? timeoutMs : 0;
  if (t_deadlineMs > 0) {
    const int64_t left = t_deadlineMs - BRIM_MonotonicMs();
    if (left < waitMs) waitMs = left > 0 ? left : 0;
  }
  const int err = net_Wait(sock, forWrite ? NET_WRITABLE : NET_READABLE,
                           static_cast<int>(waitMs), nullptr);
  if (err == ETIMEDOUT) {
    if (timeoutMs > 0) AV_DBG("msg_Waiting > select time out");
    return 0;
  }
  if (err != 0) {
    AV_ERR("select FAIL, SOCKET error code is %d", err);
    return 2;
  }
  return 1;
}

namespace {

// Receives at least `need` and at most `room` bytes into p (*got: how many).
// Without waitFirst each round tries the call without blocking and waits only
// when nothing has arrived; with it the first round waits first, which saves
// the useless attempt when the caller knows the answer is still on its way.
int recvRange(int sock, uint8_t* p, uint32_t need, uint32_t room, bool waitFirst,
              uint32_t* got) {
  uint32_t done = 0;
  int retries = 0;
  *got = 0;
  while (done < need) {
    size_t n = 0;
    int err = 0;
    bool wait = waitFirst;
    waitFirst = false;
    if (!wait) {
      err = net_Recv(sock, p + done, room - done, NET_DONTWAIT, &n);
      wait = err != 0 && mustWait(err);
    }
    if (wait) {
      int w = agentMsg_Waiting(sock, 0, agentMsg_IoWaitMs());
      if (w == 0) {
        AV_DBG("msg_Waiting(recv) timeout");
        return 1;
      }
      if (w != 1) {
        AV_ERR("msg_Waiting(recv) socket error");
        return 2;
      }
      err = net_Recv(sock, p + done, room - done, 0, &n);
    }
    if (err == 0 && n == 0) {
      AV_DBG("recv zero, maybe remote socket closed");
      return 1;
    }
    if (err != 0) {
      if (retryable(err) && retries < kMaxRetries) {
        ++retries;
        BRIM_Sleep(1);
        continue;
      }
      AV_ERR("Recv failed, socket error code is %d.", err);
      return 2;
    }
    done += static_cast<uint32_t>(n);
    *got = done;
  }
  return 0;
}

}  // namespace

int agentMsg_DoRecv(int sock, void* buf, uint32_t len) {
  uint32_t got = 0;
  return recvRange(sock, static_cast<uint8_t*>(buf), len, len, false, &got);
}

int agentMsg_DoSend(int sock, const void* buf, uint32_t len) {
  const auto* p = static_cast<const uint8_t*>(buf);
  uint32_t done = 0;
  int retries = 0;
  while (done < len) {
    size_t n = 0;
    int err = net_Send(sock, p + done, len - done, NET_DONTWAIT, &n);
    if (err != 0 && mustWait(err)) {
      if (agentMsg_Waiting(sock, 1, agentMsg_IoWaitMs()) != 1) {
        AV_ERR("msg_Waiting(send) not ready");
        return 0;
      }
      err = net_Send(sock, p + done, len - done, 0, &n);
    }
    if (err == 0 && n == 0) {
      AV_ERR("Socket may be closed, errno %d", errno);
      return 0;
    }
    if (err != 0) {
      if (retryable(err) && retries < kMaxRetries) {
        ++retries;
        BRIM_Sleep(1);
        continue;
      }
      AV_ERR("send FAIL, SOCKET error code is %d", err);
      return 0;
    }
    done += static_cast<uint32_t>(n);
  }
  return 1;
}

int agentMsg_EmptySocket(int sock) {
  uint8_t scratch[kDrainChunk];
  int retries = 0;
  bool writable = false;  // known from the look that found nothing to drain
  uint32_t drained = 0;
  const int64_t start = BRIM_MonotonicMs();
  for (;;) {
    // One look answers both questions: is anything behind the frame, and can
    // the answer go out. Reading is asked first, as a read-only wait would.
    unsigned ready = 0;
    int err = net_Wait(sock, NET_READABLE | NET_WRITABLE, 0, &ready);
    if (err != 0 && err != ETIMEDOUT) {
      AV_ERR("select FAIL, SOCKET error code is %d", err);
      AV_ERR("msg_Waiting(recv), socket error");
      return 0;
    }
    if (!(ready & NET_READABLE)) {
      writable = (ready & NET_WRITABLE) != 0;
      break;
    }
    size_t n = 0;
    err = net_Recv(sock, scratch, sizeof scratch, 0, &n);
    if (err == 0 && n == kDrainChunk) {
      // A peer that keeps sending would hold the connection thread here for
      // ever; past the bound it is no storage system waiting for an answer.
      drained += kDrainChunk;
      if (drained >= AV_DRAIN_MAX_BYTES || BRIM_MonotonicMs() - start >= AV_DRAIN_MAX_MS) {
        AV_ERR("Peer keeps sending, %u bytes drained.", drained);
        return 0;
      }
      continue;
    }
    if (err == 0 && n > 0) break;
    if (err == 0) {
      AV_INFO("Socket is closed, errno %d.", errno);
      return 0;
    }
    if (retryable(err) && retries < kMaxRetries) {
      ++retries;
      BRIM_Sleep(1);
      continue;
    }
    AV_ERR("Recv failed, errno %d.", err);
    return 0;
  }
  if (!writable && agentMsg_Waiting(sock, 1, 0) != 1) {
    AV_ERR("msg_Waiting(send) not ready");
    return 0;
  }
  return 1;
}

namespace {

// Reads and checks the header. Every frame is at least a header and a tail
// long, so the agent's header read may take up to that much without touching
// the next frame: an empty-body request then arrives in one call. The
// compatible reader takes the header alone, so that a frame refused from its
// header leaves its body unread. *early: bytes taken behind the header.
int recvHeader(MsgLink* link, bool waitFirst, bool takeTail, uint8_t* early,
               uint32_t* earlyLen) {
  uint8_t raw[AV_HEADER_SIZE + AV_TAIL_SIZE];
  uint32_t got = 0;
  const int rc = recvRange(link->socket, raw, AV_HEADER_SIZE,
                           takeTail ? sizeof raw : AV_HEADER_SIZE, waitFirst, &got);
  if (rc != 0) {
    AV_DBG("msg_DoRecv(head) FAIL. %d", rc);
    return rc;
  }
  readHeader(raw, &link->RecvHead);
  if (link->RecvHead.BeginTag != AV_BEGIN_TAG) {
    AV_ERR("recv begin tag error");
    return 1;
  }
  if (link->RecvHead.Length > AV_MAX_BODY) {
    AV_ERR("recv message length error");
    return 1;
  }
  *earlyLen = got - AV_HEADER_SIZE;  // <= AV_TAIL_SIZE
  memcpy(early, raw + AV_HEADER_SIZE, *earlyLen);
  return 0;
}

// Body and tail into a fresh zeroed buffer of roundLen bytes: all of it when
// the frame is encrypted (whole blocks), else Length + 16 bytes.
int recvBody(MsgLink* link, const uint8_t* early, uint32_t earlyLen, bool encrypted) {
  const uint32_t len = link->RecvHead.Length;
  link->RecvLength = len;
  freePoolPtr(&link->RecvBody);
  const uint32_t remainLen = len + AV_TAIL_SIZE;
  const uint32_t roundLen = roundUp16(remainLen);
  link->RecvBody = static_cast<uint8_t*>(allocAVPoolMem(getAVPool(), roundLen));
  if (!link->RecvBody) {
    AV_ERR("malloc memory failed,len(%d)", static_cast<int>(remainLen));
    return 2;
  }
  memset(link->RecvBody, 0, roundLen);
  AV_DBG("remain_len(%d), roundLen(%d).", static_cast<int>(remainLen),
         static_cast<int>(roundLen));
  const uint32_t toRead = encrypted ? roundLen : remainLen;
  memcpy(link->RecvBody, early, earlyLen);  // earlyLen <= AV_TAIL_SIZE <= toRead
  const int rc = earlyLen < toRead
                     ? agentMsg_DoRecv(link->socket, link->RecvBody + earlyLen, toRead - earlyLen)
                     : 0;
  if (rc != 0) {
    AV_ERR("msg_DoRecv(body) FAIL. %d", rc);
    freePoolPtr(&link->RecvBody);
    return rc;
  }
  AV_DBG("link->status(%d), usr version(0x%x)", link->status, link->RecvHead.Version);
  AV_DBG("before dec:link->RecvHead.Length:%d   link->RecvBodytail:%s .",
         static_cast<int>(len), AvLogHex(link->RecvBody, toRead).text);
  return 0;
}

// Decrypts (when due) and checks the tail; 0, or the code with the body freed.
int openBody(MsgLink* link, bool encrypted) {
  const uint32_t len = link->RecvHead.Length;
  if (encrypted) {
    if (agentMsg_DecryptMessage(link) != 1) {
      AV_ERR("Decrypt message failed, length(%d).", static_cast<int>(len));
      freePoolPtr(&link->RecvBody);
      return 1;
    }
    AV_DBG("after dec:link->RecvHead.Length:%d   link->RecvBodytail:%s .",
           static_cast<int>(len), AvLogHex(link->RecvBody, roundUp16(len + AV_TAIL_SIZE)).text);
  }
  if (getU32(link->RecvBody + len + 12) != AV_END_TAG) {
    AV_ERR("msg_DoRecv(tail) FAIL.");
    freePoolPtr(&link->RecvBody);
    return 2;
  }
  // The zero word is the peer's to fill and nobody checks it, so it is made
  // zero here: every reader of the body then finds a terminator at Length at
  // the latest, whatever the peer sent there.
  putU32(link->RecvBody + len, 0);
  return 0;
}

// waitFirst: the caller knows nothing has arrived yet (it has just sent or
// connected), so the first read waits instead of trying. takeTail: the header
// read may take the 16 bytes behind it too.
int recvPackage(MsgLink* link, bool waitFirst, bool takeTail) {
  if (!link) {
    AV_ERR("Null pointer.");
    return 2;
  }
  uint8_t early[AV_TAIL_SIZE];
  uint32_t earlyLen = 0;
  int rc = recvHeader(link, waitFirst, takeTail, early, &earlyLen);
  if (rc != 0) return rc;
  const bool encrypted =
      agentMsg_LinkEncrypts(link, link->RecvHead.Version) && link->RecvHead.Length > 0;
  rc = recvBody(link, early, earlyLen, encrypted);
  if (rc != 0) return rc;
  return openBody(link, encrypted);
}

}  // namespace

int agentMsg_RecvPackage_Compatible(MsgLink* link) { return recvPackage(link, true, false); }

int agentMsg_RecvPackage_Ready(MsgLink* link) { return recvPackage(link, false, true); }

int agentMsg_RecvPackage_Awaited(MsgLink* link) { return recvPackage(link, true, true); }

bool agentMsg_LinkEncrypts(const MsgLink* link, uint32_t peerVersion) {
  return link && link->status == LINK_NORMAL && peerVersion >= AV_PROTOCOL_VERSION;
}

int agentMsg_SealFrame(MsgLink* link, uint32_t version, uint32_t messageType, uint32_t len,
                       uint32_t returnStatus) {
  if (!link || !link->SendPackage || len > 0x7FFFFFFFu ||
      link->SendCapacity < len + AV_HEADER_SIZE + AV_TAIL_SIZE) {
    AV_ERR("Null pointer.");
    return 0;
  }
  uint8_t* p = link->SendPackage;
  const uint32_t words[8] = {AV_BEGIN_TAG, version, messageType, len, returnStatus, 0, 0, 0};
  for (int i = 0; i < 8; ++i) putU32(p + 4 * i, words[i]);
  uint8_t* tail = p + AV_HEADER_SIZE + len;
  memset(tail, 0, AV_TAIL_SIZE);
  putU32(tail + 12, AV_END_TAG);
  link->SendLength = len + AV_HEADER_SIZE + AV_TAIL_SIZE;
  return 1;
}

int agentMsg_BuildFrame(MsgLink* link, uint32_t messageType, const void* body,
                        uint32_t len, uint32_t version, int encrypt) {
  if (!link || (len > 0 && !body)) {
    AV_ERR("Null pointer.");
    return 0;
  }
  if (len > 0x7FFFFFFFu) {  // keeps len + 48 and its rounding from wrapping
    AV_ERR("Malloc memory failed, len(%d).", -1);
    return 0;
  }
  link->SendCapacity = link->SendLength = len + AV_HEADER_SIZE + AV_TAIL_SIZE;
  freePoolPtr(&link->SendPackage);
  const uint32_t size = roundUp16(link->SendCapacity);
  link->SendPackage = static_cast<uint8_t*>(allocAVPoolMem(getAVPool(), size));
  if (!link->SendPackage) {
    AV_ERR("Malloc memory failed, len(%d).", static_cast<int>(size));
    link->SendCapacity = link->SendLength = 0;
    return 0;
  }
  memset(link->SendPackage, 0, size);
  if (len > 0) memcpy(link->SendPackage + AV_HEADER_SIZE, body, len);
  agentMsg_SealFrame(link, version, messageType, len, 0);
  if (encrypt && agentMsg_EncrypMessage(link) != 1) {
    AV_ERR("EncrypMessage failed, len(%d).", static_cast<int>(link->SendCapacity));
    freePoolPtr(&link->SendPackage);
    link->SendCapacity = link->SendLength = 0;
    return 0;
  }
  return 1;
}

int agentMsg_CombinSendingMessage(MsgLink* link, uint32_t messageType,
                                  const void* body, uint32_t len) {
  if (!link) {
    AV_ERR("Null pointer.");
    return 0;
  }
  const int encrypt = agentMsg_LinkEncrypts(link, link->RecvHead.Version);
  return agentMsg_BuildFrame(link, messageType, body, len, AV_PROTOCOL_VERSION, encrypt);
}

int agentMsg_CreateEmptyResponse(MsgLink* link, uint32_t messageType,
                                 uint32_t returnStatus) {
  if (!link) {
    AV_ERR("Null pointer.");
    return 0;
  }
  constexpr uint32_t kEmpty = AV_HEADER_SIZE + AV_TAIL_SIZE;
  link->SendCapacity = link->SendLength = kEmpty;
  freePoolPtr(&link->SendPackage);
  link->SendPackage = static_cast<uint8_t*>(allocAVPoolMem(getAVPool(), kEmpty));
  if (!link->SendPackage) {
    AV_ERR("Malloc memory failed, len(%d).", static_cast<int>(kEmpty));
    link->SendCapacity = link->SendLength = 0;
    return 0;
  }
  return agentMsg_SealFrame(link, AV_PROTOCOL_VERSION, messageType, 0, returnStatus);
}

int agentMsg_EncrypMessage(MsgLink* link) {
  if (!link || !link->SendPackage) return 0;
  const uint32_t len = getU32(link->SendPackage + 12);
  if (len == 0) return 1;
  link->SendLength = roundUp16(link->SendLength);
  // The package was allocated at a multiple of 16 covering Length + 48, so the
  // ceil(Length/16) blocks after the header always lie inside it.
  if (mc_AesEncryptBlocks(&link->encryptKey, link->SendPackage + AV_HEADER_SIZE,
                          blocksOf(len)) != 0)
    return 0;
  return 1;
}

int agentMsg_DecryptMessage(MsgLink* link) {
  if (!link || !link->RecvBody) return 0;
  const uint32_t len = link->RecvHead.Length;
  if (len == 0) return 1;
  if (mc_AesDecryptBlocks(&link->decryptKey, link->RecvBody, blocksOf(len)) != 0)
    return 0;
  return 1;
}

int agentMsg_DoRequest(MsgLink* link, uint32_t messageType, const void* body,
                       uint32_t len) {
  if (agentMsg_CombinSendingMessage(link, messageType, body, len) != 1) {
    AV_ERR("CombinSendingMessage FAIL.");
    return 0;
  }
  if (agentMsg_DoSend(link->socket, link->SendPackage, link->SendLength) != 1) {
    AV_ERR("doSend FAIL.");
    return 0;
  }
  if (agentMsg_RecvPackage_Compatible(link) != 0) {
    AV_ERR("RecvMessage FAIL.");
    return 0;
  }
  return 1;
}

void agentMsg_ReleaseLink(MsgLink* link) {
  if (!link) return;
  memset(&link->RecvHead, 0, sizeof link->RecvHead);
  freePoolPtr(&link->RecvBody);
  freePoolPtr(&link->SendPackage);
  link->RecvLength = 0;
  link->SendCapacity = 0;
  link->SendLength = 0;
}

void agentMsg_FreeLinkKeys(MsgLink* link) {
  if (!link) return;
  mc_AesFreeKey(&link->encryptKey);
  mc_AesFreeKey(&link->decryptKey);
}

int agentMsg_ListenMessageClient(int familyFlag, int* sock, const char* port,
                                 int backlog, const char* address, int* errOut) {
  if (!sock || !port) {
    AV_ERR("Null pointer.");
    return 0;
  }
  int fd = -1;
  NetStep step = NET_AT_NONE;
  const int err =
      net_Listen(familyFlag == 1 ? NET_IPV6 : NET_IPV4, port, backlog, &fd, &step, address);
  if (errOut) *errOut = err;
  if (err == 0) {
    *sock = fd;
    return 1;
  }
  switch (step) {
    case NET_AT_RESOLVE:
      if (err == EADDRNOTAVAIL)
        AV_ERR("getaddrinfo fail, list is null.");
      else
        AV_ERR("getaddrinfo FAIL, SOCKET error code is %d", err);
      AV_ERR("msg_ParseBindPort FAIL.");
      break;
    case NET_AT_SOCKET:
      AV_ERR("socket FAIL, SOCKET error code is %d", err);
      break;
    case NET_AT_BIND:
      AV_ERR("bind FAIL, SOCKET error code is %d", err);
      break;
    default:
      AV_ERR("listen FAIL, SOCKET error code is %d", err);
      break;
  }
  return 0;
}

// Message server. Two listeners (IPv6 only, IPv4) on the configured port, each
// with a detached accept thread; every accepted socket gets a detached thread
// of its own that registers its connection record, runs the handshake and then
// serves one request at a time until the peer goes quiet, misbehaves or the
// flow limit refuses a scan. A thread whose connection has ended parks for a
// while and takes the next accepted socket, so a connection still has a
// thread to itself but seldom pays for starting one. The socket home (list,
// count, sequence) is shared under one mutex; everything inside a connection
// record belongs to its thread. Every ending path of a connection goes through ms_ReleaseConnect,
// which gives back the frame buffers, the AES keys, the socket and the record.
#include "channel/message_server.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "channel/handshake.h"
#include "channel/peer_guard.h"
#include "jobs/job_dispatch.h"
#include "platform/net.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"
#include "runtime/metrics.h"
#include "runtime/os_helper.h"
#include "runtime/service_watch.h"

namespace {

constexpr int kDefaultRequestWaitMs = 60000;
constexpr uint32_t kStatusPackage = AV_HEADER_SIZE + AV_STATUS_RESULT_ROOM + AV_TAIL_SIZE;  // 1072
constexpr uint32_t kScanPackage = AV_HEADER_SIZE + AV_SCAN_RESULT_ROOM + AV_TAIL_SIZE;      // 560
constexpr uint32_t kEmfileBackoffTicks = 10;  // 100 ms
constexpr int kFlowRefused = 2;               // ms_CompleteOneJob: closed by the flow limit
// Connection threads whose connection has ended wait this long for the next
// accepted socket before they end; at most kMaxParked wait at once. Starting
// a thread and ending it (stack, TLS, the crypto library's per-thread state)
// costs as much as the rest of a handshake bar the RSA decryption.
constexpr auto kParkTime = std::chrono::seconds(10);
constexpr int kMaxParked = 16;

}  // namespace

struct ClientConnect {
  ClientConnect* next;
  ClientConnect* prev;
  uint32_t index;
  MsgLink link;
  PeerAddr peer;
  void* poolBlock;  // the pool block holding this record (see allocRecord)
};

struct SocketHome {
  std::mutex lock;
  ClientConnect* head = nullptr;
  ClientConnect* tail = nullptr;
  int32_t count = 0;
  uint32_t sequence = 0;
  int listen6 = -1;
  int listen4 = -1;
  std::atomic<int32_t> running{0};
  uint8_t verifyKey[32] = {};
};

namespace {

// Hand-over from the accept threads to parked connection threads: a socket's
// record is only queued while more threads are parked than records wait, so
// every queued record has a thread that takes it.
struct ThreadPark {
  std::mutex lock;
  std::condition_variable ready;
  ClientConnect* queue[kMaxParked] = {};
  int first = 0;
  int queued = 0;
  int parked = 0;
};

SocketHome g_home;
std::atomic<int32_t> g_connectLimit{0};
std::atomic<int> g_requestWaitMs{kDefaultRequestWaitMs};
std::atomic<int> g_listenerCount{2};
// Failed handshakes per address; never destroyed, as detached connection
// threads may still record into it while the process ends.
PeerFailTable& failTable() {
  static PeerFailTable* t = new PeerFailTable();
  return *t;
}

PeerGuardPolicy currentPolicy() {
  PeerGuardPolicy p;
  p.failLimit = g_handshakeFailLimit.load();
  p.windowMs = int64_t{g_handshakeFailWindow.load()} * 1000;
  p.banMs = int64_t{g_handshakeBanTime.load()} * 1000;
  return p;
}

// Decided at accept, before any thread or RSA work: an address outside
// AllowedPeers, or one serving a ban for failed handshakes, is closed unread.
// A ban was logged when it began; an address outside the list is logged at
// its first refusal and then once per ban time at most.
bool admitPeer(const PeerAddr& peer) {
  const int64_t now = BRIM_MonotonicMs();
  char text[PEER_ADDR_TEXT_SIZE] = {};
  std::shared_ptr<const PeerAllowList> allowed = getAllowedPeers();
  if (!pg_IsAllowed(allowed.get(), &peer)) {
    if (pg_FirstRefusal(&failTable(), &peer, now, currentPolicy().banMs)) {
      peerAddr_ToText(&peer, text, sizeof text);
      AV_WARN("Peer %s is not in AllowedPeers; its connections are refused.", text);
    }
    metrics_CountRefused(AvRefusal::kNotAllowed);
    return false;
  }
  const bool banned = pg_IsBanned(&failTable(), &peer, now);
  if (banned) metrics_CountRefused(AvRefusal::kBanned);
  return !banned;
}

void noteHandshake(const ClientConnect* conn, bool verified) {
  metrics_CountHandshake(verified);
  if (verified) {
    pg_RecordSuccess(&failTable(), &conn->peer);
    return;
  }
  char text[PEER_ADDR_TEXT_SIZE] = {};
  peerAddr_ToText(&conn->peer, text, sizeof text);
  AV_WARN("Handshake with %s failed; connection closed.", text);
  const PeerGuardPolicy policy = currentPolicy();
  if (pg_RecordFailure(&failTable(), &conn->peer, BRIM_MonotonicMs(), &policy)) {
    AV_WARN("Peer %s failed %d handshakes within %d s; its connections are refused for %d s.",
            text, policy.failLimit, static_cast<int>(policy.windowMs / 1000),
            static_cast<int>(policy.banMs / 1000));
  }
}

void closeListener(int* sock) {
  if (*sock >= 0) {
    // shutdown wakes an accept thread already blocked on the listener.
    net_Shutdown(*sock);
    net_Close(*sock);
  }
  *sock = -1;
}

}  // namespace

int ms_InitSocketHome(const uint8_t* key);
void* ms_RunMessageServer(void* listenSocket);
int ms_CreateClientThread(int sock, const PeerAddr* peer);
void* ms_ClientMsgThread(void* connection);
int ms_CompleteOneJob(MsgLink* link);
uint32_t ms_PrepareResponse(MsgLink* link);
uint32_t ms_BuildJobResponse(MsgLink* link);
int ms_CheckFlowLimit(MsgLink* link);
void ms_AddConnect(std::mutex* lock, SocketHome* list, ClientConnect* conn);
void ms_DelConnect(std::mutex* lock, SocketHome* list, ClientConnect* conn);
void ms_ReleaseConnect(ClientConnect* conn);

namespace {

int startDetached(void* (*proc)(void*), void* arg) {
  try {
    std::thread(proc, arg).detach();
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  }
  return 0;
}

}  // namespace

int ms_InitSocketHome(const uint8_t* key) {
  // The platform layer starts its socket library itself. The key is made aside first,
  // and the list, count and sequence are only reset by the first start: a
  // second start inside one process (tests) must not disturb connections that
  // are still registered.
  uint8_t verifyKey[32] = {};
  if (msg_HaskKey(key, verifyKey, sizeof(verifyKey)) != 1) {
    AV_ERR("msg_HaskKey FAIL");
    return 0;
  }
  std::lock_guard<std::mutex> guard(g_home.lock);
  if (g_home.running.load() == 0) {
    g_home.head = g_home.tail = nullptr;
    g_home.count = 0;
    g_home.sequence = 0;
  }
  g_home.listen6 = -1;
  g_home.listen4 = -1;
  std::memcpy(g_home.verifyKey, verifyKey, sizeof(verifyKey));
  OPENSSL_cleanse(verifyKey, sizeof(verifyKey));
  g_home.running.store(1);
  return 1;
}

int ms_CreateMessageServerThread(const uint8_t key[32], const char* port,
                                 int32_t maxJobs, const char* listenAddress, int* listenErr) {
  if (listenErr) *listenErr = 0;
  g_connectLimit.store(maxJobs);
  if (ms_InitSocketHome(key) != 1) {
    AV_ERR("ms_InitMessageClient FAIL");
    return 0;
  }
  int* listeners[2] = {&g_home.listen6, &g_home.listen4};
  int families[2] = {1, 0};
  int count = 2;
  // One address is one family: a colon marks IPv6.
  if (listenAddress != nullptr && *listenAddress != '\0') {
    count = 1;
    if (std::strchr(listenAddress, ':') == nullptr) {
      listeners[0] = &g_home.listen4;
      families[0] = 0;
    }
  } else {
    listenAddress = nullptr;
  }
  g_listenerCount.store(count);
  for (int i = 0; i < count; ++i) {
    if (agentMsg_ListenMessageClient(families[i], listeners[i], port, maxJobs, listenAddress,
                                     listenErr) != 1) {
      AV_ERR("ms_InitMessageClient FAIL");
      closeListener(&g_home.listen6);
      closeListener(&g_home.listen4);
      return 0;
    }
    // The accept thread gets the descriptor by value: the home's field may be
    // reset by a later start while the thread runs.
    intptr_t sock = *listeners[i];
    if (startDetached(ms_RunMessageServer, reinterpret_cast<void*>(sock)) != 0) {
      AV_ERR("CreateThread(ms_RunMessageServer) FAIL");
      closeListener(&g_home.listen6);
      closeListener(&g_home.listen4);
      return 0;
    }
  }
  return 1;
}

int ms_ListenerCount() { return g_listenerCount.load(); }

void* ms_RunMessageServer(void* listenSocket) {
  const int listenFd = static_cast<int>(reinterpret_cast<intptr_t>(listenSocket));
  AvBeatGuard beat(AvBeatGroup::kAccept);  // liveness: parked in accept, busy in between
  do {
    NetAccepted accepted;
    beat.park();
    const int err = net_Accept(listenFd, &accepted);
    beat.busy();
    if (err != 0) {
      AV_ERR("listen FAIL, SOCKET error code is %d", err);
      switch (err) {
        case ECONNRESET:
        case ECONNABORTED:
        case EINTR:
        // Errors of the pending connection that a system may report from accept.
        case EPROTO:
        case ENOPROTOOPT:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
          continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
          // Out of descriptors or memory for a moment: keep serving.
          BRIM_Sleep(kEmfileBackoffTicks);
          continue;
        default:
          AV_ERR("listen FAIL, thread must halt");
          return nullptr;
      }
    }
    AV_DBG("a client connect");
    const int sock = accepted.fd;
    const PeerAddr& peer = accepted.peer;
    if (accepted.peerErr != 0) {
      AV_ERR("Peer address unknown(%d), connection refused.", accepted.peerErr);
      metrics_CountRefused(AvRefusal::kError);
      net_Close(sock);
      continue;
    }
    if (!admitPeer(peer)) {
      net_Close(sock);
      continue;
    }
    int32_t count;
    {
      std::lock_guard<std::mutex> guard(g_home.lock);
      count = g_home.count;
    }
    if (count > g_connectLimit.load()) {
      AV_ERR("connect too many, close it, cur number is %d", count);
      char text[PEER_ADDR_TEXT_SIZE] = {};
      peerAddr_ToText(&peer, text, sizeof text);
      AV_WARN("Connection from %s refused: %d connections open, MaxJobNo %d.", text, count,
              g_connectLimit.load());
      metrics_CountRefused(AvRefusal::kMaxJobs);
      net_Close(sock);
      continue;
    }
    if (ms_CreateClientThread(sock, &peer) != 1) {
      AV_ERR("ms_CreateClientThread FAIL");
      char text[PEER_ADDR_TEXT_SIZE] = {};
      peerAddr_ToText(&peer, text, sizeof text);
      AV_WARN("Connection from %s refused: no thread or memory for it.", text);
      metrics_CountRefused(AvRefusal::kError);
      net_Close(sock);
    }
  } while (g_home.running.load() != 0);
  return nullptr;
}

namespace {

// Pool blocks are only guaranteed 4-byte alignment; the record holds pointers,
// so it is placed at the first suitably aligned address inside its block.
ClientConnect* allocRecord() {
  constexpr size_t kAlign = alignof(ClientConnect);
  void* block = allocAVPoolMem(getAVPool(), sizeof(ClientConnect) + kAlign);
  if (!block) return nullptr;
  std::memset(block, 0, sizeof(ClientConnect) + kAlign);
  auto addr = (reinterpret_cast<uintptr_t>(block) + kAlign - 1) & ~(uintptr_t{kAlign} - 1);
  auto* conn = new (reinterpret_cast<void*>(addr)) ClientConnect();
  conn->poolBlock = block;
  return conn;
}

void freeRecord(ClientConnect* conn) {
  void* block = conn->poolBlock;
  conn->~ClientConnect();
  freeAVPoolMem(getAVPool(), block);
}

}  // namespace

namespace {

ThreadPark& park() {
  static ThreadPark* p = new ThreadPark();  // never destroyed, like the fail table
  return *p;
}

// Gives conn to a parked connection thread; false when none is free.
bool handToParked(ClientConnect* conn) {
  ThreadPark& p = park();
  {
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.parked <= p.queued) return false;
    p.queue[(p.first + p.queued) % kMaxParked] = conn;
    ++p.queued;
  }
  p.ready.notify_one();
  return true;
}

// Parks the calling thread until an accepted socket's record is handed over
// (returned) or the park time ends (null: the thread ends).
ClientConnect* waitParked() {
  ThreadPark& p = park();
  std::unique_lock<std::mutex> guard(p.lock);
  if (p.parked >= kMaxParked) return nullptr;
  ++p.parked;
  p.ready.wait_for(guard, kParkTime, [&p] { return p.queued > 0; });
  --p.parked;
  if (p.queued == 0) return nullptr;
  ClientConnect* conn = p.queue[p.first];
  p.first = (p.first + 1) % kMaxParked;
  --p.queued;
  return conn;
}

void serveConnection(ClientConnect* conn);

}  // namespace

int ms_CreateClientThread(int sock, const PeerAddr* peer) {
  ClientConnect* conn = allocRecord();
  if (!conn) return 0;
  conn->link.socket = sock;
  if (peer) conn->peer = *peer;
  if (handToParked(conn)) return 1;
  if (startDetached(ms_ClientMsgThread, conn) != 0) {
    AV_ERR("CreateThread FAIL");
    freeRecord(conn);
    return 0;
  }
  // From here the record belongs to the connection thread.
  return 1;
}

void ms_AddConnect(std::mutex* lock, SocketHome* list, ClientConnect* conn) {
  std::lock_guard<std::mutex> guard(*lock);
  conn->next = nullptr;
  conn->prev = list->tail;
  if (list->tail)
    list->tail->next = conn;
  else
    list->head = conn;
  list->tail = conn;
  list->count += 1;
  list->sequence += 1;
  conn->index = list->sequence;
  metrics_AddOpenConnections(1);
}

void ms_DelConnect(std::mutex* lock, SocketHome* list, ClientConnect* conn) {
  {
    std::lock_guard<std::mutex> guard(*lock);
    if (conn->prev)
      conn->prev->next = conn->next;
    else
      list->head = conn->next;
    if (conn->next)
      conn->next->prev = conn->prev;
    else
      list->tail = conn->prev;
    list->count -= 1;
  }
  metrics_AddOpenConnections(-1);
  freeRecord(conn);
}

void ms_ReleaseConnect(ClientConnect* conn) {
  AV_DBG("socket (%d) released", conn->index);
  agentMsg_ReleaseLink(&conn->link);
  agentMsg_FreeLinkKeys(&conn->link);
  net_Close(conn->link.socket);
  conn->link.socket = -1;
  ms_DelConnect(&g_home.lock, &g_home, conn);
}

// A connection thread serves the connection it was started for, then parks
// and serves whichever accepted connection is handed to it, one at a time.
void* ms_ClientMsgThread(void* connection) {
  for (auto* conn = static_cast<ClientConnect*>(connection); conn; conn = waitParked())
    serveConnection(conn);
  return nullptr;
}

namespace {

// One connection from registration to release, on the thread that owns it.
void serveConnection(ClientConnect* conn) {
  ms_AddConnect(&g_home.lock, &g_home, conn);
  AV_DBG("new connection join, index = %d", conn->index);
  MsgLink* link = &conn->link;
  const bool verified =
      ms_VerifyClient(link, g_home.verifyKey, sizeof(g_home.verifyKey)) == 1;
  noteHandshake(conn, verified);
  if (!verified) {
    AV_ERR("ms_VerifyClient FAIL");
  } else {
    do {
      if (agentMsg_Waiting(link->socket, 0, g_requestWaitMs.load()) != 1) {
        AV_DBG("msg_Waiting socket error");
        break;
      }
      AV_DBG("socket (%d) recv a message", conn->index);
      if (int rc = ms_CompleteOneJob(link); rc != 0) {
        AV_DBG("ms_CompleteOneJob FAIL");
        if (rc == kFlowRefused) {
          char text[PEER_ADDR_TEXT_SIZE] = {};
          peerAddr_ToText(&conn->peer, text, sizeof text);
          AV_WARN("Scan job from %s refused: FlowJobNo %d connections or more are open; "
                  "connection closed.", text, g_flowJobsNo.load());
        }
        break;
      }
      agentMsg_ReleaseLink(link);
    } while (g_home.running.load() != 0);
  }
  AV_DBG("connection exit, index = %d", conn->index);
  ms_ReleaseConnect(conn);
}

}  // namespace

int ms_CheckFlowLimit(MsgLink* link) {
  if (link->RecvHead.MessageType != MSG_SCAN_FILE) return 0;
  std::lock_guard<std::mutex> guard(g_home.lock);
  if (g_home.count >= g_flowJobsNo.load()) {
    AV_DBG("Connect too many, close it.");
    metrics_CountRefused(AvRefusal::kFlowJobs);
    return 1;
  }
  return 0;
}

uint32_t ms_PrepareResponse(MsgLink* link) {
  uint32_t planned;
  switch (link->RecvHead.MessageType) {
    case MSG_ENGINE_STATUS:
      planned = kStatusPackage;
      break;
    case MSG_SCAN_FILE:
      planned = kScanPackage;
      break;
    default:
      AV_ERR("message type not support");
      return RET_NOT_SUPPORTED;
  }
  if (link->SendPackage) freeAVPoolMem(getAVPool(), link->SendPackage);
  link->SendPackage = nullptr;
  link->SendLength = 0;
  link->SendCapacity = planned;
  link->SendPackage = static_cast<uint8_t*>(allocAVPoolMem(getAVPool(), planned));
  if (!link->SendPackage) return RET_JOB_FAILED;
  std::memset(link->SendPackage, 0, planned);
  return RET_OK;
}

uint32_t ms_BuildJobResponse(MsgLink* link) {
  const uint32_t type = link->RecvHead.MessageType;
  const char* request = link->RecvBody ? reinterpret_cast<const char*>(link->RecvBody) : "";
  const uint32_t requestLen = link->RecvBody ? link->RecvLength : 0;
  char* result = reinterpret_cast<char*>(link->SendPackage + AV_HEADER_SIZE);
  const uint32_t room = link->SendCapacity - AV_HEADER_SIZE - AV_TAIL_SIZE;
  int rc = type == MSG_ENGINE_STATUS
               ? doJob_GetEngineStatus(request, requestLen, result, room)
               : doJob_ScanFile(request, requestLen, result, room);
  if (rc != 1) return RET_JOB_FAILED;
  // The room was zero-filled; a result without its NUL inside the room is a
  // handler fault and must not be sent.
  const size_t len = strnlen(result, room);
  if (len >= room) return RET_JOB_FAILED;
  if (agentMsg_SealFrame(link, AV_PROTOCOL_VERSION, type, static_cast<uint32_t>(len) + 1,
                         RET_OK) != 1)
    return RET_JOB_FAILED;
  return RET_OK;
}

int ms_CompleteOneJob(MsgLink* link) {
  // The request wait has just seen the socket readable. The whole frame must
  // then arrive within one I/O wait bound (30 s): a peer that trickles a frame
  // byte by byte would otherwise hold the thread for 30 s per byte.
  const int64_t before = agentMsg_SetThreadDeadline(BRIM_MonotonicMs() + agentMsg_IoWaitMs());
  const int received = agentMsg_RecvPackage_Ready(link);
  agentMsg_SetThreadDeadline(before);
  if (received != 0) {
    AV_DBG("ms_RecvMessage, package error");
    return 1;
  }
  if (agentMsg_EmptySocket(link->socket) != 1) {
    AV_ERR("Clear Socket Recv Buffer FAIL");
    return 1;
  }
  if (ms_CheckFlowLimit(link) != 0) return kFlowRefused;
  const uint64_t jobStart = BRIM_MonotonicNs();
  uint32_t result = ms_PrepareResponse(link);
  if (result == RET_OK) result = ms_BuildJobResponse(link);
  if (result != RET_OK) {
    if (agentMsg_CreateEmptyResponse(link, link->RecvHead.MessageType, result) != 1) {
      AV_ERR("msg_CreateEmptyResponse FAIL");
      return 1;
    }
  }
  metrics_CountJob(link->RecvHead.MessageType, result, BRIM_MonotonicNs() - jobStart);
  AV_DBG("link->status:%d  link->SendLength:%d  head->len:%d  link->SendPackage:%s .",
         link->status, static_cast<int>(link->SendLength),
         static_cast<int>(link->SendLength - AV_HEADER_SIZE - AV_TAIL_SIZE),
         AvLogHex(link->SendPackage, link->SendLength).text);
  if (agentMsg_LinkEncrypts(link, link->RecvHead.Version)) {
    if (agentMsg_EncrypMessage(link) != 1) {
      AV_ERR("EncrypMessage failed, len(%d).", static_cast<int>(link->SendCapacity));
      return 1;
    }
  }
  AV_DBG("after enc:link->SendLength:%d   link->SendPackage:%s .",
         static_cast<int>(link->SendLength), AvLogHex(link->SendPackage, link->SendLength).text);
  if (agentMsg_DoSend(link->socket, link->SendPackage, link->SendLength) != 1) {
    AV_ERR("mc_DoSend, socket error");
    return 1;
  }
  return 0;
}

int32_t ms_ConnectionCount() {
  std::lock_guard<std::mutex> guard(g_home.lock);
  return g_home.count;
}

uint32_t ms_ConnectionSequence() {
  std::lock_guard<std::mutex> guard(g_home.lock);
  return g_home.sequence;
}

void ms_ResetPeerGuardForTest() { pg_ResetFailTable(&failTable(), PEER_FAIL_TABLE_MAX); }

void ms_SetRequestWaitMsForTest(int ms) {
  g_requestWaitMs.store(ms > 0 ? ms : kDefaultRequestWaitMs);
}

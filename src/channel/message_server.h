// Message server: IPv6 and IPv4 listeners on one port, one accept thread each,
// one thread per connection. A connection is verified by the handshake, then
// carries one request at a time: receive a frame, drain, check the flow limit,
// run the job, answer 100 / 201 / 203, release the frame buffers.
//
// Decisions: accept errors of a reset or aborted pending connection (and the
// other per-connection errors a system may report from accept) keep the
// loop going; EMFILE / ENFILE / ENOBUFS / ENOMEM are logged and retried after
// 100 ms, because an agent must not stop serving when descriptors run out for a
// moment. Only a failed accept (< 0) is an error: descriptor 0 is a valid socket.
// The job handlers receive the size of their result room (1024 / 512 bytes).
// Peers: at accept, before any thread or handshake work, an address outside
// AllowedPeers or serving a ban is closed unread (see channel/peer_guard.h);
// HandshakeFailLimit failed handshakes within HandshakeFailWindow seconds ban
// the address for HandshakeBanTime seconds (logged once, when the ban begins).
// A request frame, once its first byte is there, must arrive whole within one
// I/O wait bound (30 s), not 30 s per wait.
#pragma once
#include <cstdint>

#include "channel/frame.h"

// listenAddress: a numeric IPv4 or IPv6 address for one listener of its
// family, or null / empty for both families on every address. On failure
// *listenErr (optional) gets the errno of the listener that failed (0 when
// something else failed).
int ms_CreateMessageServerThread(const uint8_t key[32], const char* port,
                                 int32_t maxJobs, const char* listenAddress = nullptr,
                                 int* listenErr = nullptr);  // 1 / 0
// Listeners (and accept threads) the last start opened: 2, or 1 for one address.
int ms_ListenerCount();
// Diagnostics: connections registered now, and since start.
int32_t ms_ConnectionCount();
uint32_t ms_ConnectionSequence();
// Test seam: how long a verified connection may stay silent before it is closed
// (60000 ms; a value <= 0 restores it).
void ms_SetRequestWaitMsForTest(int ms);
// Test seam: forgets every failed handshake and ban.
void ms_ResetPeerGuardForTest();

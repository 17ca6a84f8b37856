// Message server: IPv6 and IPv4 listeners on one port, one accept thread each,
// one thread per connection. A connection is verified by the handshake, then
// carries one request at a time: receive a frame, drain, check the flow limit,
// run the job, answer 100 / 201 / 203, release the frame buffers.
#pragma once
#include <cstdint>

#include "channel/frame.h"

int ms_CreateMessageServerThread(const uint8_t key[32], const char* port,
                                 int32_t maxJobs);  // 1 / 0
// Diagnostics: connections registered now, and since start.
int32_t ms_ConnectionCount();
uint32_t ms_ConnectionSequence();

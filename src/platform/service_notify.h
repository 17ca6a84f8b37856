// Notifications to the service manager that started the agent, sent as
// datagrams to the socket it names in the environment. An agent started any
// other way (a console, a test, a plain init script) has no such socket and
// sends nothing; nothing above this file knows which manager is listening.
#pragma once
#include <cstdint>

// Sends one state text, such as "READY=1", "WATCHDOG=1" or "STOPPING=1".
// 0 when it was sent or when no manager listens; an errno value otherwise.
int svcNotify_Send(const char* state);
// How often the manager wants to hear that the agent is alive, in
// microseconds; 0 when it does not ask (or asks another process).
uint64_t svcNotify_WatchdogUsec();

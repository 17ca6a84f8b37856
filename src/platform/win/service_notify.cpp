// Windows has no notification socket: an agent started by the service control
// manager, a scheduled task or a console sends nothing, as a Linux agent
// without a manager does.
#include "platform/service_notify.h"

int svcNotify_Send(const char*) { return 0; }
uint64_t svcNotify_WatchdogUsec() { return 0; }

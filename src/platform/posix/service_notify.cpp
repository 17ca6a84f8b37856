// The environment is left as it is (unset_environment 0): the settings stay
// readable for the whole life of the process, and the agent starts no child
// that could mistake them for its own.
#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cerrno>

int svcNotify_Send(const char* state) {
  if (state == nullptr) return EINVAL;
  int rc = sd_notify(0, state);
  return rc < 0 ? -rc : 0;
}

uint64_t svcNotify_WatchdogUsec() {
  uint64_t usec = 0;
  return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}

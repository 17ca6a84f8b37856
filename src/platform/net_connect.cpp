// The connect over a resolved list, the same on every platform: each address
// in the resolver's order, each within the whole time-out, the first that
// answers kept.
#include <cerrno>
#include <vector>

#include "platform/net.h"

int net_Connect(const std::vector<NetEndpoint>& list, int timeoutMs, int* fd) {
  int err = EADDRNOTAVAIL;
  for (const NetEndpoint& ep : list) {
    int s = -1;
    err = net_Socket(&ep, &s);
    if (err != 0) continue;
    NetStep step;
    err = net_ConnectWithin(s, &ep, timeoutMs, &step);
    if (err == 0) {
      *fd = s;
      return 0;
    }
    net_Close(s);
  }
  return err;
}

// The listen and the connect over a resolved list, the same on every
// platform; the socket options, bind and listen are each platform's own.
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

int net_Listen(NetFamily family, const char* port, int backlog, int* fd, NetStep* failedAt,
               const char* address) {
  std::vector<NetEndpoint> list;
  *failedAt = NET_AT_RESOLVE;
  if (address != nullptr && *address == '\0') address = nullptr;
  if (int rc = net_Resolve(address, port, family, &list); rc != 0) return rc;
  if (list.empty()) return EADDRNOTAVAIL;
  int s = -1;
  *failedAt = NET_AT_SOCKET;
  if (int rc = net_Socket(&list.front(), &s); rc != 0) return rc;
  if (int err = net_BindListen(s, &list.front(), backlog, failedAt); err != 0) {
    net_Close(s);
    return err;
  }
  *failedAt = NET_AT_NONE;
  *fd = s;
  return 0;
}

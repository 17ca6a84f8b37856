// A probe is a non-blocking connect followed by a bounded wait for
// writability and a read of SO_ERROR: a refused connection may show as
// writable, so the error word is what tells "answered" from "refused", and a
// refused port is known at once instead of after the time-out.
#include "jobs/port_check.h"

#include <json-c/json.h>

#include <cerrno>
#include <cstring>

#include "jobs/json_member.h"
#include "platform/net.h"
#include "runtime/config.h"
#include "runtime/log.h"

namespace {

constexpr int32_t kMaxLifs = 16;
constexpr size_t kIpSlot = 64;

int probeTimeoutMs() {
  int32_t t = g_portConnectTimeOut.load(std::memory_order_relaxed);
  if (t < 0) {
    AV_ERR("PortConnectTimeOut(%d) is negative, using %d ms.", t, AV_DEFAULT_PROBE_TIMEOUT_MS);
    return AV_DEFAULT_PROBE_TIMEOUT_MS;
  }
  return t;
}

// 1 when the address answered.
int tryAddress(const NetEndpoint& ep) {
  int s = -1;
  if (net_Socket(&ep, &s) != 0) {
    AV_ERR("The socket create failed, family(%d), type(%d), protoclo(%d).", ep.family,
           ep.socktype, ep.protocol);
    return 0;
  }
  const int timeoutMs = probeTimeoutMs();
  NetStep step = NET_AT_NONE;
  const int err = net_ConnectWithin(s, &ep, timeoutMs, &step);
  net_Close(s);
  if (err == 0) return 1;
  if (step == NET_AT_MODE) {
    AV_ERR("The socket set fionbio failed(%d).", -1);
  } else if (step != NET_AT_WAIT) {
    AV_ERR("Connect failed.");
  } else if (err == ETIMEDOUT) {
    if (timeoutMs > 0) AV_DBG("msg_Waiting > select time out");
    AV_DBG("The connect not ready(%d).", 0);
  } else {
    AV_ERR("select FAIL, SOCKET error code is %d", err);
    AV_DBG("The connect not ready(%d).", 2);
  }
  return 0;
}

}  // namespace

int detectNasCifsPort(const char* ip) {
  if (ip == nullptr) {
    AV_ERR("Param is NULL.");
    return 0;
  }
  if (ip[0] == '\0') {
    AV_ERR("Ip param err.");
    return 0;
  }
  char service[6];
  snprintf(service, sizeof(service), "%d", 445);
  std::vector<NetEndpoint> list;
  int rc = net_Resolve(ip, service, NET_ANY, &list);
  if (rc != 0) {
    AV_ERR("Get address info failed, ret(%d).", rc);
    return 0;
  }
  if (list.empty()) {
    AV_ERR("Not addr.");
    return 0;
  }
  int answered = 0;
  for (size_t i = 0; i < list.size() && !answered; ++i) answered = tryAddress(list[i]);
  if (!answered) {
    AV_ERR("Could not connect, nas ip(%s)", ip);
    return 0;
  }
  return 1;
}

int parseLifsJsonObjAndDetectThePort(json_object* request, int32_t* jobResult,
                                     int32_t* portCount, char (*ipSlots)[64],
                                     uint64_t* portIds, int32_t* portStatus) {
  if (jobResult == nullptr) return 0;
  if (portCount == nullptr || ipSlots == nullptr || portIds == nullptr ||
      portStatus == nullptr) {
    *jobResult = 0;
    return 0;
  }
  json_object* lifs = request ? json_object_object_get(request, "lifIps") : nullptr;
  if (lifs == nullptr) {
    *portCount = 0;
    *jobResult = 1;
    return 0;
  }
  if (!json_object_is_type(lifs, json_type_array)) {
    AV_ERR("lifIps is not an array.");
    *jobResult = 0;
    return 0;
  }
  size_t n = json_object_array_length(lifs);
  if (n > static_cast<size_t>(kMaxLifs)) {
    AV_ERR("too many lifIps");
    *jobResult = 0;
    return 0;
  }
  *portCount = static_cast<int32_t>(n);
  for (size_t i = 0; i < n; ++i) {
    json_object* lif = json_object_array_get_idx(lifs, i);
    if (!json_object_is_type(lif, json_type_object)) {
      AV_ERR("lifIps element(%zu) is not an object.", i);
      *jobResult = 0;
      return 0;
    }
    MemberText ip;
    if (!getMemberText(lif, "ip", &ip)) {
      AV_ERR("parse lif IP failed.");
      *jobResult = 0;
      return 0;
    }
    if (ip.len >= kIpSlot) {
      AV_ERR("lif IP too long, len(%zu).", ip.len);
      AV_ERR("parse lif IP failed.");
      *jobResult = 0;
      return 0;
    }
    memcpy(ipSlots[i], ip.text, ip.len);
    ipSlots[i][ip.len] = '\0';
    MemberText id;
    if (!getMemberText(lif, "lifid", &id)) {
      AV_ERR("parse lif ID failed.");
      *jobResult = 0;
      return 0;
    }
    portIds[i] = memberTextToU64(id);
  }
  for (size_t i = 0; i < n; ++i) portStatus[i] = detectNasCifsPort(ipSlots[i]) == 1 ? 0 : 1;
  *jobResult = 1;
  return 1;
}

// Job bodies, unterminated, through both entry points into their rooms with a
// guard zone behind. Inputs naming any "ServIp" or "lifIps" "ip" but 127.0.0.1
// or ::1 are dropped, so no fuzzed name is looked up. Oracle: guard zones
// untouched, a successful job leaves a terminated JSON object (or nothing for
// a pair without a shape), pool blocks return.
#include <json-c/json.h>

#include <cstring>
#include <vector>

#include "fuzz_env.h"
#include "icap/icap_scan.h"
#include "jobs/job_dispatch.h"
#include "jobs/json_member.h"

namespace {

[[noreturn]] void fail(const char* what, const char* request) { fuzzFail("jobs", what, request); }

bool isLoopback(const char* text, size_t len) {
  return (len == 9 && memcmp(text, "127.0.0.1", 9) == 0) || (len == 3 && memcmp(text, "::1", 3) == 0);
}

bool onlyLoopback(const char* request) {
  json_object* req = json_tokener_parse(request);
  if (req == nullptr) return true;  // both entry points stop at the parse
  bool safe = true;
  if (json_object_object_get(req, "ServIp") != nullptr) {
    char ip[sizeof(IcapScanRecord{}.ServIp)] = {0};
    safe = readIcapTextMember(req, "ServIp", ip, sizeof ip) && isLoopback(ip, strlen(ip));
  }
  json_object* lifs = json_object_object_get(req, "lifIps");
  if (safe && lifs != nullptr && json_object_is_type(lifs, json_type_array)) {
    size_t n = json_object_array_length(lifs);
    for (size_t i = 0; safe && i < n; ++i) {
      json_object* lif = json_object_array_get_idx(lifs, i);
      if (!json_object_is_type(lif, json_type_object)) continue;
      MemberText ip;
      if (getMemberText(lif, "ip", &ip)) safe = isLoopback(ip.text, ip.len);
    }
  }
  json_object_put(req);
  return safe;
}

void runJob(bool scan, const char* body, uint32_t len, const char* request) {
  const uint32_t roomSize = scan ? AV_SCAN_RESULT_ROOM : AV_STATUS_RESULT_ROOM;
  std::vector<char> room(roomSize + 64, '\0');
  memset(room.data() + roomSize, 0x5A, 64);
  int rc;
  {
    FuzzPoolGuard pool(scan ? "doJob_ScanFile" : "doJob_GetEngineStatus");
    rc = (scan ? doJob_ScanFile : doJob_GetEngineStatus)(body, len, room.data(), roomSize);
  }
  for (size_t i = roomSize; i < room.size(); ++i)
    if (room[i] != 0x5A) fail("result written past its room", request);
  if (rc != 0 && rc != 1) fail("result other than 0 or 1", request);
  if (rc != 1 || room[0] == '\0') return;
  if (memchr(room.data(), '\0', roomSize) == nullptr) fail("result not terminated", request);
  json_object* out = json_tokener_parse(room.data());
  const bool object = out != nullptr && json_object_is_type(out, json_type_object);
  json_object_put(out);
  if (!object) fail("result is not a JSON object", room.data());
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzzSetUp(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return -1;
  std::string request(reinterpret_cast<const char*>(data), size);  // adds the NUL
  if (!onlyLoopback(request.c_str())) return -1;
  const char* body = reinterpret_cast<const char*>(data);
  runJob(true, body, static_cast<uint32_t>(size), request.c_str());
  runJob(false, body, static_cast<uint32_t>(size), request.c_str());
  return 0;
}

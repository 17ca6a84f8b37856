// ICAP answer reader: the input is what an ICAP server answered, written into
// a socketpair whose server side is then shut; receiveResultFromServer reads
// and judges its header block. Byte 0 picks the header names the job gave:
//   even  "X-Infection-Found" / "X-Violations-Found"
//   odd   "Infection" / "Violation" (short names that match more lines)
// Checks: the ISTag kept is terminated within its field and carries no quote,
// a judged answer has a result, the scan job's result text built from the
// record is a JSON object whose "isTag" is the ISTag read, pool blocks return.
#include <json-c/json.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/frame.h"
#include "icap/icap_scan.h"
#include "runtime/mem_pool.h"

void fuzzSetUp();
std::array<uint32_t, AV_POOL_PARTITIONS> fuzzPoolCounts();
void fuzzCheckPool(const std::array<uint32_t, AV_POOL_PARTITIONS>& before, const char* where);

namespace {
[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "icap answer fuzz: %s\n", what);
  abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzSetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64 * 1024) return -1;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail("socketpair");
  int sndbuf = 256 * 1024;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  if (size > 1 && agentMsg_DoSend(sv[1], data + 1, static_cast<uint32_t>(size - 1)) != 1)
    fail("feeding the socket");
  shutdown(sv[1], SHUT_WR);

  auto before = fuzzPoolCounts();
  IcapScanRecord rec;
  memset(&rec, 0, sizeof rec);
  memset(rec.isTag, 0x5A, sizeof rec.isTag);  // the reader must terminate what it keeps
  rec.isTag[0] = '\0';
  const bool shortNames = data[0] & 1;
  strcpy(rec.Infection, shortNames ? "Infection" : "X-Infection-Found");
  strcpy(rec.Violation, shortNames ? "Violation" : "X-Violations-Found");
  rec.result = -12345;
  int rc = receiveResultFromServer(sv[0], &rec);
  if (rc != 0 && rc != -1) fail("result other than 0 or -1");
  if (memchr(rec.isTag, '\0', sizeof rec.isTag) == nullptr) fail("ISTag not terminated");
  if (strchr(rec.isTag, '"') != nullptr) fail("ISTag kept a quote");
  if (rc == 0 && rec.result == -12345) fail("judged without a result");
  if (rc == 0) {
    // What the scan job would answer the storage system from this record.
    char result[512] = {0};
    if (buildIcapScanRespMsg(&rec, sizeof rec, result, sizeof result) != 0) fail("encode");
    json_object* out = json_tokener_parse(result);
    if (out == nullptr || !json_object_is_type(out, json_type_object)) {
      fprintf(stderr, "result: %s\n", result);
      fail("scan result is not a JSON object");
    }
    json_object* tag = json_object_object_get(out, "isTag");
    if (tag == nullptr || strcmp(json_object_get_string(tag), rec.isTag) != 0) {
      fprintf(stderr, "result: %s\nISTag kept: %s\n", result, rec.isTag);
      json_object_put(out);
      fail("scan result does not carry the ISTag read");
    }
    json_object_put(out);
  }
  fuzzCheckPool(before, "icap answer");
  close(sv[0]);
  close(sv[1]);
  return 0;
}

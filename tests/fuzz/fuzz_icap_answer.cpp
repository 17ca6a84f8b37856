// receiveResultFromServer on what an ICAP server answered. Byte 0: bit 0 short
// header names ("Infection" / "Violation"), bit 1 the answer repeated to ~70 KB
// to reach the byte bound. Oracle: ISTag terminated, quote-free, and given back
// by both result texts as JSON; a judged answer has a result; nothing taken
// beyond the line / byte bounds, nothing accepted past them; header names in
// other letter case judged the same; pool blocks return.
#include <json-c/json.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "fuzz_env.h"
#include "icap/icap_response.h"
#include "icap/icap_scan.h"
#include "icap/icap_status.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") { fuzzFail("icap answer", what, detail); }

struct Outcome {
  int rc;
  IcapScanRecord rec;
  size_t consumed;  // bytes of the answer the reader took
};

Outcome readAnswer(const std::string& answer, const char* infection, const char* violation) {
  int sv[2];
  fuzzFeed(answer.data(), answer.size(), sv);
  Outcome o{};
  memset(o.rec.isTag + 1, 0x5A, sizeof o.rec.isTag - 1);  // the reader must terminate what it keeps
  strcpy(o.rec.Infection, infection), strcpy(o.rec.Violation, violation);
  o.rec.result = -12345;
  o.rc = receiveResultFromServer(sv[0], &o.rec);
  o.consumed = answer.size();
  char sink[4096];
  for (ssize_t n; (n = recv(sv[0], sink, sizeof sink, MSG_DONTWAIT)) > 0;) o.consumed -= static_cast<size_t>(n);
  close(sv[0]), close(sv[1]);
  return o;
}

void checkResultText(const IcapScanRecord& rec, bool status) {
  char result[512] = {0};
  if ((status ? buildIcapServStatusRespMsg : buildIcapScanRespMsg)(const_cast<IcapScanRecord*>(&rec), sizeof rec, result,
                                                                   sizeof result) != 0)
    fail("encode");
  json_object* out = json_tokener_parse(result);
  json_object* tag = out ? json_object_object_get(out, "isTag") : nullptr;
  const bool same = tag != nullptr && strcmp(json_object_get_string(tag), rec.isTag) == 0;
  json_object_put(out);
  if (!same) fail("result is no JSON object carrying the ISTag read", std::string(result) + "\nISTag kept: " + rec.isTag);
}

std::string swapCase(std::string s, size_t from = 0, size_t to = std::string::npos) {
  for (size_t i = from; i < std::min(to, s.size()); ++i)
    if ((s[i] | 0x20) >= 'a' && (s[i] | 0x20) <= 'z') s[i] ^= 0x20;
  return s;
}

// Only letters the reader compares without case change are swapped.
std::string swapWords(std::string answer) {
  for (const char* word : {"istag", "resolution"})
    for (size_t i = 0, n = strlen(word); i + n <= answer.size(); ++i)
      if (strncasecmp(answer.data() + i, word, n) == 0) answer = swapCase(answer, i, i + n), i += n - 1;
  return answer;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzzSetUp(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64 * 1024) return -1;
  std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);
  for (const std::string once = answer; (data[0] & 2) && !once.empty() && answer.size() < 70000;) answer += once;
  const std::string infection = (data[0] & 1) ? "Infection" : "X-Infection-Found";
  const std::string violation = (data[0] & 1) ? "Violation" : "X-Violations-Found";

  FuzzPoolGuard pool("icap answer");
  Outcome a = readAnswer(answer, infection.c_str(), violation.c_str());
  const IcapScanRecord& rec = a.rec;
  if (a.rc != 0 && a.rc != -1) fail("result other than 0 or -1");
  if (memchr(rec.isTag, '\0', sizeof rec.isTag) == nullptr) fail("ISTag not terminated");
  if (strchr(rec.isTag, '"') != nullptr) fail("ISTag kept a quote");
  if (a.rc == 0 && rec.result == -12345) fail("judged without a result");

  const size_t lines = static_cast<size_t>(std::count(answer.begin(), answer.begin() + static_cast<long>(a.consumed), '\n'));
  if (lines > ICAP_ANSWER_MAX_LINES + 1u) fail("read past the line bound");
  if (a.consumed > ICAP_ANSWER_MAX_BYTES + ICAP_LINE_CAPACITY + 1u) fail("read past the byte bound");
  if (a.rc == 0 && (lines > static_cast<size_t>(ICAP_ANSWER_MAX_LINES) || a.consumed > ICAP_ANSWER_MAX_BYTES))
    fail("accepted a header block beyond its bounds");
  if (a.rc == 0) checkResultText(rec, false), checkResultText(rec, true);
  Outcome b = readAnswer(swapWords(answer), swapCase(infection).c_str(), swapCase(violation).c_str());
  if (b.rc != a.rc || b.consumed != a.consumed ||
      (a.rc == 0 && (b.rec.result != rec.result || strcasecmp(b.rec.isTag, rec.isTag) != 0)))
    fail("header names in other letter case judged differently",
         std::to_string(a.rc) + "/" + std::to_string(b.rc) + " " + rec.isTag + "/" + b.rec.isTag);
  return 0;
}

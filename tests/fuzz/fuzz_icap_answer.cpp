// ICAP answer reader: the input is what an ICAP server answered, written into
// a socketpair whose server side is then shut; receiveResultFromServer reads
// and judges its header block. Byte 0:
//   bit 0  the header names the job gave: clear "X-Infection-Found" /
//          "X-Violations-Found"; set "Infection" / "Violation" (short names
//          that match more lines)
//   bit 1  the answer is repeated up to about 70 KB, so the block's byte
//          bound is reached too (inputs stay small)
// Checks: the ISTag kept is terminated within its field and carries no quote;
// a judged answer has a result; the reader never takes more than the header
// block's bounds allow, and an answer it accepted lies within them; the scan
// and status result texts built from the record are JSON objects whose "isTag"
// is the ISTag read; the same answer with the header names in other letter case
// (the job's names and "ISTag" / "Resolution" in the answer) is judged the
// same; pool blocks return.
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

constexpr size_t kInflateTo = 70 * 1000;

[[noreturn]] void fail(const char* what, const std::string& detail = "") { fuzzFail("icap answer", what, detail); }

struct Outcome {
  int rc;
  IcapScanRecord rec;
  size_t consumed;  // bytes of the answer the reader took
};

// Feeds the answer to a fresh socket pair and reads it as a job with the given
// header names would.
Outcome readAnswer(const std::string& answer, const char* infection, const char* violation) {
  int sv[2];
  fuzzFeed(answer.data(), answer.size(), sv);
  Outcome o;
  memset(&o.rec, 0, sizeof o.rec);
  memset(o.rec.isTag, 0x5A, sizeof o.rec.isTag);  // the reader must terminate what it keeps
  o.rec.isTag[0] = '\0';
  strcpy(o.rec.Infection, infection);
  strcpy(o.rec.Violation, violation);
  o.rec.result = -12345;
  o.rc = receiveResultFromServer(sv[0], &o.rec);
  size_t left = 0;
  char sink[4096];
  for (ssize_t n; (n = recv(sv[0], sink, sizeof sink, MSG_DONTWAIT)) > 0;)
    left += static_cast<size_t>(n);
  o.consumed = answer.size() - left;
  close(sv[0]), close(sv[1]);
  return o;
}

void checkResultText(const IcapScanRecord& rec, bool status) {
  char result[512] = {0};
  auto* r = const_cast<IcapScanRecord*>(&rec);
  if ((status ? buildIcapServStatusRespMsg : buildIcapScanRespMsg)(r, sizeof rec, result, sizeof result) != 0) fail("encode");
  json_object* out = json_tokener_parse(result);
  json_object* tag = out ? json_object_object_get(out, "isTag") : nullptr;
  const bool same = tag != nullptr && strcmp(json_object_get_string(tag), rec.isTag) == 0;
  json_object_put(out);
  if (!same) fail("result is no JSON object carrying the ISTag read", std::string(result) + "\nISTag kept: " + rec.isTag);
}

// ASCII letters in swapped case, from..to of s.
std::string swapCase(std::string s, size_t from = 0, size_t to = std::string::npos) {
  for (size_t i = from; i < std::min(to, s.size()); ++i)
    if ((s[i] | 0x20) >= 'a' && (s[i] | 0x20) <= 'z') s[i] ^= 0x20;
  return s;
}

// The answer with every occurrence of the words, found regardless of case, in
// swapped case: only letters the reader compares without case change.
std::string swapWords(std::string answer) {
  for (const char* word : {"istag", "resolution"})
    for (size_t i = 0, n = strlen(word); i + n <= answer.size(); ++i)
      if (strncasecmp(answer.data() + i, word, n) == 0) answer = swapCase(answer, i, i + n), i += n - 1;
  return answer;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzSetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64 * 1024) return -1;
  std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 2) && !answer.empty()) {
    const std::string once = answer;
    while (answer.size() < kInflateTo) answer += once;
  }
  const bool shortNames = data[0] & 1;
  const std::string infection = shortNames ? "Infection" : "X-Infection-Found";
  const std::string violation = shortNames ? "Violation" : "X-Violations-Found";

  FuzzPoolGuard pool("icap answer");
  Outcome a = readAnswer(answer, infection.c_str(), violation.c_str());
  const IcapScanRecord& rec = a.rec;
  if (a.rc != 0 && a.rc != -1) fail("result other than 0 or -1");
  if (memchr(rec.isTag, '\0', sizeof rec.isTag) == nullptr) fail("ISTag not terminated");
  if (strchr(rec.isTag, '"') != nullptr) fail("ISTag kept a quote");
  if (a.rc == 0 && rec.result == -12345) fail("judged without a result");

  // Every line the reader took ended with LF; a line counts at least its text
  // and its line end, so what it took never exceeds the counted bytes.
  const size_t lines = static_cast<size_t>(std::count(answer.begin(),
                                                      answer.begin() + static_cast<long>(a.consumed), '\n'));
  if (lines > ICAP_ANSWER_MAX_LINES + 1u) fail("read past the line bound");
  if (a.consumed > ICAP_ANSWER_MAX_BYTES + ICAP_LINE_CAPACITY + 1u) fail("read past the byte bound");
  if (a.rc == 0 && (lines > static_cast<size_t>(ICAP_ANSWER_MAX_LINES) ||
                    a.consumed > ICAP_ANSWER_MAX_BYTES))
    fail("accepted a header block beyond its bounds");

  if (a.rc == 0) {
    // What the scan and the status job would answer the storage system.
    checkResultText(rec, false);
    checkResultText(rec, true);
  }

  Outcome b = readAnswer(swapWords(answer), swapCase(infection).c_str(),
                         swapCase(violation).c_str());
  if (b.rc != a.rc || b.consumed != a.consumed ||
      (a.rc == 0 && (b.rec.result != rec.result || strcasecmp(b.rec.isTag, rec.isTag) != 0))) {
    fail("header names in other letter case judged differently",
         std::to_string(a.rc) + "/" + std::to_string(b.rc) + " " + rec.isTag + "/" + b.rec.isTag);
  }
  return 0;
}

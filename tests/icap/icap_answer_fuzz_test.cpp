// Randomised answers for the header-block reader: pieces of real headers, line
// ends, quotes, digits and long runs in random order. Whatever arrives, the
// reader ends (the peer closes), stays inside its buffers, and a judged result
// is always one of the values judging can give.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <string>

#include "icap/icap_scan.h"

namespace {

TEST(IcapAnswerFuzz, RandomHeaderBlocksNeverBreakTheReader) {
  const char* pieces[] = {"ICAP/1.0 200 OK", "ICAP/1.0 403 Forbidden", "ICAP/1.0 502",
                          "ICAP/1.0 558", "ICAP/1.0 204", "ICAP", "ISTag: ", "ISTag",
                          "\"", "\"\"", "X-Infection-Found: Type=0; Resolution=",
                          "Resolution=", "X-Violations-Found: ", "X-Violations-Found",
                          "0", "1", "2", "7", "-", " ", "\t", "\r", "\n", "\r\n", "\r\n\r\n",
                          "\xff", "%s%n", "Server: C-ICAP"};
  const std::set<int> judged = {0, 403, 502, 505, 506, 558};
  std::mt19937 rng(20261206);
  int completed = 0;
  for (int round = 0; round < 1500; ++round) {
    std::string answer;
    int n = static_cast<int>(rng() % 40);
    for (int k = 0; k < n; ++k) {
      if (rng() % 25 == 0) {
        answer += std::string(200 + rng() % 400, 'x');  // lines around the 510-byte limit
      } else {
        answer += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
      }
    }
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(write(sv[1], answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    close(sv[1]);  // the reader can always end

    IcapScanRecord rec{};
    strcpy(rec.Infection, "X-Infection-Found");
    strcpy(rec.Violation, "X-Violations-Found");
    rec.result = -1;
    int rc = receiveResultFromServer(sv[0], &rec);
    close(sv[0]);
    ASSERT_TRUE(rc == 0 || rc == -1) << answer;
    ASSERT_LE(strnlen(rec.isTag, sizeof(rec.isTag)), 64u);
    ASSERT_EQ(strchr(rec.isTag, '"'), nullptr) << answer;
    if (rc == 0) {
      ++completed;
      ASSERT_TRUE(judged.count(rec.result)) << rec.result << " from " << answer;
    } else {
      ASSERT_EQ(rec.result, -1) << answer;  // a failed read never judges
    }
  }
  EXPECT_GT(completed, 50);  // the generator reaches the judging, not only failures
}

}  // namespace

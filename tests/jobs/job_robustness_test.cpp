// Mutated job texts through both entry points: whatever the bytes, a job
// answers or fails cleanly, writes a terminated text inside its room and
// returns every pool block. Seeds hold no "lifIps", so no mutation can make
// a job resolve or probe a host.
#include <random>

#include "jobs_test_support.h"

namespace {

TEST(JobRobustness, MutatedRequests) {
  ASSERT_TRUE(jobstest::loadConfig({{"V", "a.exe,,b.exe"}}));
  std::filesystem::create_directories(jobstest::uncRoot() + "/s/h");
  avtest::writeFile(jobstest::uncRoot() + "/s/h/f.txt", "x");
  const std::string seeds[] = {
      R"({"opCode":"1","avType":"0","FilePath":"\\\\s\\h\\f.txt"})",
      R"({"opCode":0,"avType":"0","FilePath":"\\\\s\/h\/f.txt"}  )",
      R"({"opCode":"0","avType":"0","message":"b.exe","vendorName":"V"})",
      R"({"opCode":"1","avType":0,"message":"a.exe"})",
  };
  const char alphabet[] = "{}[]\":,\\/0123456789-xabcnu \x01\xC3\xA9\xFF";
  std::mt19937 rng(20261206);
  auto before = avtest::poolFreeCounts();
  int answered = 0;
  for (int iter = 0; iter < 4000; ++iter) {
    std::string s = seeds[iter % 4];
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !s.empty(); ++e) {
      size_t pos = rng() % s.size();
      char c = alphabet[rng() % (sizeof(alphabet) - 1)];
      switch (rng() % 4) {
        case 0: s[pos] = c; break;
        case 1: s.insert(pos, 1, c); break;
        case 2: s.erase(pos, 1); break;
        default: s.resize(pos); break;
      }
    }
    auto r = iter % 2 ? jobstest::statusJob(s) : jobstest::scanJob(s);
    ASSERT_TRUE(r.rc == 0 || r.rc == 1) << s;
    if (r.rc == 0) {
      EXPECT_EQ(r.text, "") << s;
    }
    answered += r.rc;
  }
  EXPECT_EQ(avtest::poolFreeCounts(), before);
  EXPECT_GT(answered, 0);
}

}  // namespace

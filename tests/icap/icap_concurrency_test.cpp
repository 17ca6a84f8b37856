// ICAP jobs from several threads at once: each has its own socket, record and
// pool buffers, so results never mix and nothing leaks.
#include <gtest/gtest.h>

#include <thread>

#include "icap_test_support.h"

namespace {

TEST(IcapJobConcurrency, ScanAndStatusJobsFromManyThreads) {
  constexpr int kThreads = 4, kJobs = 6;
  icaptest::setIcapPortForTest(1344);  // the first load's vendor table stays, replaced by later ones
  const auto startFree = avtest::poolFreeCounts();
  icaptest::ScriptServer server("ICAP/1.0 403 Forbidden\r\nISTag: \"CT\"\r\nX-Infection-Found: Type=0; Resolution=0; Threat=E;\r\n\r\n",
                                {}, kThreads * kJobs);
  ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
  const std::pair<std::string, std::string> jobs[] = {
      {R"({"opCode":"1","avType":1,"Method":"RESPMOD","PathKey":"X-File-Path","FilePath":"\\\\nas\\s\\f","LifIp":"127.0.0.1",)"
       R"("ServIp":"127.0.0.1","ServPort":1,"Infection":"X-Infection-Found","Violation":"X-Violations-Found"})",
       R"({"status": "0","avType": "1","result": "403","isTag": "CT"})"},
      {R"({"opCode":"1","avType":2,"ServIp":"127.0.0.1","ServPort":1})", R"({"status": "0","avType": "2","result": "403","isTag": ""})"}};
  std::vector<std::string> results(kThreads * kJobs);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int j = 0; j < kJobs; ++j) {
        char result[AV_SCAN_RESULT_ROOM] = {0};
        const std::string& body = jobs[(t + j) % 2].first;
        int rc = doJob_ScanFile(body.data(), static_cast<uint32_t>(body.size()), result, sizeof(result));
        results[t * kJobs + j] = rc == 1 ? result : "<job failed>";
      }
    });
  for (auto& th : threads) th.join();
  for (int i = 0; i < kThreads * kJobs; ++i) EXPECT_EQ(results[i], jobs[(i / kJobs + i % kJobs) % 2].second) << i;
  EXPECT_EQ(avtest::poolFreeCounts(), startFree);
}

}  // namespace

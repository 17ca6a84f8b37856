// ICAP jobs from several connection threads at once: each job has its own
// socket, record and pool buffers, so results never mix and nothing leaks.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "icap_test_support.h"
#include "jobs/job_dispatch.h"
#include "support/test_env.h"

namespace {

TEST(IcapJobConcurrency, ScanAndStatusJobsFromManyThreads) {
  constexpr int kThreads = 4, kJobsPerThread = 6;
  icaptest::setIcapPortForTest(1344);  // the first load's vendor table stays, replaced by later ones
  const auto startFree = avtest::poolFreeCounts();
  icaptest::ScriptServer server("ICAP/1.0 403 Forbidden\r\nISTag: \"CT\"\r\n"
                                "X-Infection-Found: Type=0; Resolution=0; Threat=E;\r\n\r\n",
                                {}, kThreads * kJobsPerThread);
  ASSERT_TRUE(icaptest::setIcapPortForTest(server.port()));
  const std::pair<std::string, std::string> jobs[] = {
      {"{\"opCode\":\"1\",\"avType\":1,\"Method\":\"RESPMOD\",\"PathKey\":\"X-File-Path\","
       "\"FilePath\":\"\\\\\\\\nas\\\\s\\\\f\",\"LifIp\":\"127.0.0.1\",\"ServIp\":\"127.0.0.1\","
       "\"ServPort\":1,\"Infection\":\"X-Infection-Found\",\"Violation\":\"X-Violations-Found\"}",
       "{\"status\": \"0\",\"avType\": \"1\",\"result\": \"403\",\"isTag\": \"CT\"}"},
      {"{\"opCode\":\"1\",\"avType\":2,\"ServIp\":\"127.0.0.1\",\"ServPort\":1}",
       "{\"status\": \"0\",\"avType\": \"2\",\"result\": \"403\",\"isTag\": \"\"}"},
  };
  std::vector<std::vector<std::string>> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int j = 0; j < kJobsPerThread; ++j) {
        char result[AV_SCAN_RESULT_ROOM] = {0};
        const std::string& body = jobs[(t + j) % 2].first;
        int rc = doJob_ScanFile(body.data(), static_cast<uint32_t>(body.size()), result, sizeof(result));
        results[t].push_back(rc == 1 ? result : "<job failed>");
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    for (int j = 0; j < kJobsPerThread; ++j)
      EXPECT_EQ(results[t][j], jobs[(t + j) % 2].second) << "thread " << t << " job " << j;
  EXPECT_EQ(avtest::poolFreeCounts(), startFree);
}

}  // namespace

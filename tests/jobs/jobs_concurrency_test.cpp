// Many jobs on many threads while the configuration is reloaded over and over:
// every answer must be one a single-threaded run could give, and nothing may
// leak or race (this suite runs under ThreadSanitizer).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "jobs_test_support.h"

namespace {

TEST(JobsConcurrency, JobsWhileTheVendorTableIsReloaded) {
  std::string eng = "avjt" + std::to_string(getpid()) + "conc";
  jobstest::NamedProcess proc(eng);
  std::vector<jobstest::Vendor> a = {{"Stable", "x.exe," + eng}, {"Coming", "nothing.exe"}};
  std::vector<jobstest::Vendor> b = {{"Coming", eng}, {"Filler", "f.exe"}, {"Stable", eng}};
  ASSERT_TRUE(jobstest::loadConfig(a));
  std::filesystem::create_directories(jobstest::uncRoot() + "/s/h");
  avtest::writeFile(jobstest::uncRoot() + "/s/h/f.txt", "x");
  auto before = avtest::poolFreeCounts();

  const std::string running = R"({"status": "0","avType": "0","isTag": ""})";
  const std::string stopped = R"({"status": "1","avType": "0","isTag": ""})";
  const std::string clean = R"({"status": "0","avType": "0","result": "0","isTag": ""})";
  // {job, request, accepted answers}: "nothing.exe" is listed by one table only.
  const std::vector<std::tuple<bool, std::string, std::vector<std::string>>> jobs = {
      {false, R"({"opCode":"0","avType":"0","vendorName":"stable"})", {running}},
      {false, R"({"opCode":"0","avType":"0","message":"nothing.exe"})", {stopped, running}},
      {false, R"({"opCode":"0","avType":"0","message":")" + eng + "\"}", {running}},
      {true, jobstest::scanRequest("\\\\s\\h\\f.txt"), {clean}},
  };
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, reloads{0};
  std::thread reloader([&] {
    for (int i = 0; !done.load(); ++i)
      if (jobstest::loadConfig(i % 2 ? a : b)) reloads.fetch_add(1);
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&, t] {
      // At least 60 jobs each, and on until the table has been replaced a few
      // times (a reload derives keys and is slow under the sanitizers).
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      for (int i = 0; i < 60 || (reloads.load() < 4 && std::chrono::steady_clock::now() < deadline);
           ++i) {
        const auto& [scan, request, answers] = jobs[(t + i) % 4];
        std::vector<char> room(AV_STATUS_RESULT_ROOM, '\0');
        int rc = (scan ? doJob_ScanFile : doJob_GetEngineStatus)(request.c_str(), static_cast<uint32_t>(request.size()), room.data(),
                                                                  scan ? AV_SCAN_RESULT_ROOM : AV_STATUS_RESULT_ROOM);
        if (rc != 1 || std::find(answers.begin(), answers.end(), room.data()) == answers.end())
          bad.fetch_add(1);
      }
    });
  }
  for (auto& w : workers) w.join();
  done.store(true);
  reloader.join();
  ASSERT_TRUE(jobstest::loadConfig(a));  // the table the counts were taken with
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GE(reloads.load(), 4);
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}

}  // namespace

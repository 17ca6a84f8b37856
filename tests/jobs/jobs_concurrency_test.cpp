// Jobs on many threads while the vendor table is reloaded over and over: every
// answer one a single-threaded run could give; nothing leaks or races (TSan).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "jobs/canary.h"
#include "jobs_test_support.h"

namespace {

TEST(JobsConcurrency, JobsWhileTheVendorTableIsReloaded) {
  std::string eng = "avjt" + std::to_string(getpid()) + "conc";
  jobstest::NamedProcess proc(eng);
  std::vector<jobstest::Vendor> a = {{"Stable", "x.exe," + eng}, {"Coming", "nothing.exe"}};
  std::vector<jobstest::Vendor> b = {{"Coming", eng}, {"Filler", "f.exe"}, {"Stable", eng}};
  ASSERT_TRUE(jobstest::loadConfig(a));
  avtest::writeFile(jobstest::uncRoot() + "/s/h/f.txt", "x");
  auto before = avtest::poolFreeCounts();
  const std::string running = R"({"status": "0","avType": "0","isTag": ""})", stopped = R"({"status": "1","avType": "0","isTag": ""})";
  // {scan, request, accepted answers}: "nothing.exe" is listed by one table only.
  const std::vector<std::tuple<bool, std::string, std::vector<std::string>>> jobs = {
      {false, R"({"opCode":"0","avType":"0","vendorName":"stable"})", {running}},
      {false, R"({"opCode":"0","avType":"0","message":"nothing.exe"})", {stopped, running}},
      {true, jobstest::scanRequest("\\\\s\\h\\f.txt"), {R"({"status": "0","avType": "0","result": "0","isTag": ""})"}}};
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, reloads{0};
  std::thread reloader([&] {
    for (int i = 0; !done.load(); ++i) reloads.fetch_add(jobstest::loadConfig(i % 2 ? a : b));
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t)
    workers.emplace_back([&, t] {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);  // slow under sanitizers
      for (int i = 0; i < 60 || (reloads.load() < 4 && std::chrono::steady_clock::now() < deadline); ++i) {
        const auto& [scan, request, answers] = jobs[(t + i) % 3];
        char room[AV_STATUS_RESULT_ROOM] = {0};  // runJob's pool check cannot hold while others run
        auto len = static_cast<uint32_t>(request.size());
        int rc = scan ? doJob_ScanFile(request.data(), len, room, AV_SCAN_RESULT_ROOM)
                      : doJob_GetEngineStatus(request.data(), len, room, sizeof room);
        bad.fetch_add(rc != 1 || std::find(answers.begin(), answers.end(), room) == answers.end());
      }
    });
  for (auto& w : workers) w.join();
  done.store(true);
  reloader.join();
  ASSERT_TRUE(jobstest::loadConfig(a));  // the table the counts were taken with
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GE(reloads.load(), 4);
  EXPECT_EQ(avtest::poolFreeCounts(), before);
}

// Jobs that find a probe in flight wait for its verdict instead of opening
// the canary again; past the wait bound they answer not protected.
std::atomic<int> g_canaryOpens{0};
TriggerOpenResult slowDeniedOpen(const char*) {
  ++g_canaryOpens;
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  return {TriggerOpenKind::kFailed, EPERM, 0};
}

TEST(JobsConcurrency, OneCanaryProbeAtATime) {
  ASSERT_TRUE(jobstest::loadConfig({{"V", "x.exe"}}, 1000, "CanaryPath = /nonexistent/c\n"));
  g_canaryOpen = slowDeniedOpen;
  for (int64_t waitMs : {5000, 100}) {
    resetCanaryForTest(2000, waitMs);
    g_canaryOpens = 0;
    std::atomic<int> isProtected{0};
    std::vector<std::thread> jobs;
    for (int t = 0; t < 4; ++t) jobs.emplace_back([&] { isProtected += checkCanary() == CanaryVerdict::kProtected; });
    for (auto& j : jobs) j.join();
    EXPECT_EQ(g_canaryOpens.load(), 1);
    EXPECT_EQ(isProtected.load(), waitMs == 5000 ? 4 : 1) << waitMs;
  }
  g_canaryOpen = triggerOpenLocal;
  resetCanaryForTest();
  ASSERT_TRUE(jobstest::loadConfig({{"V", "x.exe"}}));
}

}  // namespace

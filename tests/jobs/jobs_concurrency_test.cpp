// Many jobs on many threads while the configuration is reloaded over and over:
// every answer must be one a single-threaded run could give, and nothing may
// leak or race (this suite runs under ThreadSanitizer).
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

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
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<int> reloads{0};
  std::thread reloader([&] {
    for (int i = 0; !done.load(); ++i) {
      if (jobstest::loadConfig(i % 2 ? a : b)) reloads.fetch_add(1);
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&, t] {
      // At least 60 jobs each, and on until the table has been replaced a few
      // times (a reload derives keys and is slow under the sanitizers).
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      for (int i = 0; i < 60 || (reloads.load() < 4 && std::chrono::steady_clock::now() < deadline);
           ++i) {
        std::vector<char> room(AV_STATUS_RESULT_ROOM, '\0');
        switch ((t + i) % 4) {
          case 0:  // the stable vendor is listed by every table
            if (doJob_GetEngineStatus(
                    R"({"opCode":"0","avType":"0","vendorName":"stable"})", room.data(),
                    AV_STATUS_RESULT_ROOM) != 1 ||
                running != room.data())
              bad.fetch_add(1);
            break;
          case 1: {  // present in one table, absent in the other: either answer
            int rc = doJob_GetEngineStatus(
                R"({"opCode":"0","avType":"0","message":")" "nothing.exe" R"("})", room.data(),
                AV_STATUS_RESULT_ROOM);
            if (rc != 1 || (stopped != room.data() && running != room.data())) bad.fetch_add(1);
            break;
          }
          case 2: {
            std::string req = R"({"opCode":"0","avType":"0","message":")" + eng + "\"}";
            if (doJob_GetEngineStatus(req.c_str(), room.data(), AV_STATUS_RESULT_ROOM) != 1 ||
                running != room.data())
              bad.fetch_add(1);
            break;
          }
          default:
            if (doJob_ScanFile(jobstest::scanRequest("\\\\s\\h\\f.txt").c_str(), room.data(),
                               AV_SCAN_RESULT_ROOM) != 1 ||
                clean != room.data())
              bad.fetch_add(1);
        }
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

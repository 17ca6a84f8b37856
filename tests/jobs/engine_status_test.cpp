// Engine-status jobs against processes started under names of their own.
#include "jobs/engine_status.h"
#include "jobs_test_support.h"
#include "platform/proc_walk.h"
#include "runtime/log.h"

namespace {

using jobstest::statusJob;

const char* kRunning = R"({"status": "0","avType": "0","isTag": ""})";
const char* kNotRunning = R"({"status": "1","avType": "0","isTag": ""})";

std::string byVendor(const std::string& v) {
  return R"({"opCode":"0","avType":"0","message":"none","vendorName":")" + v + "\"}\r\n\r\n";
}
std::string byProcess(const std::string& p) { return R"({"opCode":"0","avType":"0","message":")" + p + "\"}"; }
// Unique per test process, so parallel test runs do not see each other's.
std::string ownName(const char* tag) { return "avjt" + std::to_string(getpid()) + tag; }

TEST(EngineStatus, LookupsTableOrderAndReload) {
  std::string eng = ownName("eng"), upper = eng;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  jobstest::NamedProcess proc(eng);
  ASSERT_TRUE(jobstest::loadConfig({{"Twin", "absent.exe"}, {"AcmeAV", ",," + upper + ",,helper.exe,"},
                                    {"Partial", eng.substr(1) + "," + eng + "x"}, {"twin", eng}}));
  const std::pair<std::string, const char*> cases[] = {
      {byVendor("acmeav"), kRunning},       // names ignore ASCII case; empty entries skipped
      {byVendor("Partial"), kNotRunning},   // parts of the running name do not match
      {byVendor("Acme"), kNotRunning},      {byVendor("Unknown"), kNotRunning},
      {byVendor("TWIN"), kNotRunning},      // the first of two equal vendor names
      {byProcess("HELPER.exe"), kRunning},  // by process name the vendor's whole list is searched
      {byProcess(eng.substr(0, eng.size() - 1)), kNotRunning},
      {R"({"opCode":"0","avType":"0","message":"helper.exe","vendorName":"Twin"})", kNotRunning},
  };
  for (const auto& [request, text] : cases) EXPECT_EQ(statusJob(request).text, text) << request;
  ASSERT_TRUE(jobstest::loadConfig({{"twin", eng}, {"Twin", "absent.exe"}}));
  EXPECT_EQ(statusJob(byVendor("Twin")).text, kRunning);  // the next job sees the reload
  proc.stop();
  EXPECT_EQ(statusJob(byVendor("Twin")).text, kNotRunning);
}

TEST(EngineStatus, ListCutTo64AndMessages) {
  ASSERT_TRUE(jobstest::loadConfig({{"V", std::string(70, 'n') + ",x"}, {"W", std::string(60, 'x') + ",late.exe"}}));
  avtest::DebugLevel dbg;
  avtest::LogCapture log;
  statusJob(byVendor("v"));
  EXPECT_TRUE(log.contains("Start find vendo v.", AVLOG_DBG));
  EXPECT_TRUE(log.contains("Find vendor v. process " + std::string(64, 'n'), AVLOG_DBG));
  findAvEngineProcess(std::string(70, 'y').c_str());
  EXPECT_TRUE(log.contains("The process name list string was truncated. The length(70) is "
                           "bigger than max length(64).", AVLOG_WARN));
  statusJob(byProcess("zz.exe"));
  EXPECT_TRUE(log.contains("End find process name zz.exe. process , ret 0", AVLOG_DBG));
  // The 65th character onwards takes no part: a name there is not found.
  statusJob(byProcess("late"));
  EXPECT_TRUE(log.contains("End find process name late. process , ret 0", AVLOG_DBG));
  statusJob(byProcess("lat"));
  EXPECT_TRUE(log.contains("Find process name lat. process " + std::string(60, 'x'), AVLOG_DBG));
}

bool findName(const char* name, void* want) { return *static_cast<std::string*>(want) == name; }

// A 255-byte name is seen whole; a binary removed on disk still names the program.
TEST(ProcWalk, NamesOfRunningProcesses) {
  std::string eng = ownName("gone");
  eng += std::string(255 - eng.size(), 'L');
  jobstest::NamedProcess proc(eng);
  EXPECT_EQ(walkProcessNames(findName, &eng), 1);
  std::filesystem::remove(avtest::scratchRoot() + "/bin/" + eng);
  EXPECT_EQ(walkProcessNames(findName, &eng), 1);
  proc.stop();
  EXPECT_EQ(walkProcessNames(findName, &eng), 0);
  std::string kthread = "kthreadd";  // kernel threads, when visible, are named by comm
  if (avtest::readFile("/proc/2/comm") == "kthreadd\n") { EXPECT_EQ(walkProcessNames(findName, &kthread), 1); }
}

}  // namespace

// Engine-status jobs against processes this test starts under names of its
// own, with vendor tables written to the configuration file and reloaded.
#include <cstring>

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
std::string byProcess(const std::string& p) {
  return R"({"opCode":"0","avType":"0","message":")" + p + "\"}";
}
// Unique per test process, so parallel test runs do not see each other's.
std::string ownName(const char* tag) { return "avjt" + std::to_string(getpid()) + tag; }

TEST(EngineStatus, VendorAndProcessLookups) {
  std::string eng = ownName("eng"), upper = eng;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  jobstest::NamedProcess proc(eng);
  ASSERT_TRUE(jobstest::loadConfig({{"Other", "nothing.exe"},
                                    {"AcmeAV", ",," + upper + ",,helper.exe,"},
                                    {"Partial", eng.substr(1) + "," + eng + "x"}}));
  const std::pair<std::string, const char*> cases[] = {
      // Names ignore ASCII case; empty list entries are skipped.
      {byVendor("acmeav"), kRunning}, {byVendor("ACMEAV"), kRunning},
      // Parts of the running name in a list, or of a vendor name, do not match.
      {byVendor("Partial"), kNotRunning}, {byVendor("Unknown"), kNotRunning},
      {byVendor("Acme"), kNotRunning},
      // By process name the vendor's whole list is searched.
      {byProcess("HELPER.exe"), kRunning}, {byProcess(eng), kRunning},
      {byProcess(eng.substr(0, eng.size() - 1)), kNotRunning},
      // "vendorName" wins over "message".
      {R"({"opCode":"0","avType":"0","message":"helper.exe","vendorName":"Other"})", kNotRunning},
  };
  for (const auto& [request, text] : cases) EXPECT_EQ(statusJob(request).text, text) << request;
  proc.stop();
  EXPECT_EQ(statusJob(byVendor("AcmeAV")).text, kNotRunning);
}

TEST(EngineStatus, FirstOfEqualVendorsAndReload) {
  std::string eng = ownName("dup");
  jobstest::NamedProcess proc(eng);
  ASSERT_TRUE(jobstest::loadConfig({{"Twin", "absent.exe"}, {"twin", eng}}));
  EXPECT_EQ(statusJob(byVendor("Twin")).text, kNotRunning);
  ASSERT_TRUE(jobstest::loadConfig({{"twin", eng}, {"Twin", "absent.exe"}}));
  EXPECT_EQ(statusJob(byVendor("Twin")).text, kRunning);
  // A vendor added by a configuration write is used by the next job.
  EXPECT_EQ(statusJob(byVendor("Newcomer")).text, kNotRunning);
  ASSERT_TRUE(jobstest::loadConfig({{"twin", eng}, {"Newcomer", "a.exe," + eng}}));
  EXPECT_EQ(statusJob(byVendor("Newcomer")).text, kRunning);
}

TEST(EngineStatus, ListCutTo64AndMessages) {
  ASSERT_TRUE(jobstest::loadConfig({{"V", std::string(70, 'n') + ",x"}}));
  avtest::DebugLevel dbg;
  avtest::LogCapture log;
  statusJob(byVendor("v"));
  EXPECT_TRUE(log.contains("Start find vendo v.", AVLOG_DBG));
  EXPECT_TRUE(log.contains("Find vendor v. process " + std::string(64, 'n'), AVLOG_DBG));
  EXPECT_TRUE(log.contains("End find vendo v. process " + std::string(64, 'n') + ", ret 1"));
  statusJob(byProcess("zz.exe"));
  EXPECT_TRUE(log.contains("End find process name zz.exe. process , ret 0", AVLOG_DBG));
  // The 65th character onwards takes no part: a name there is not found.
  VendorRecord rec{};
  strcpy(rec.vendorName, "V");
  strncpy(rec.processNameList, (std::string(60, 'x') + ",late.exe").c_str(), 64);
  VendorTable table;
  table.count = 1;
  table.records = &rec;
  const char* out = nullptr;
  EXPECT_EQ(getAvProcessNameListByProcessName(table, "late", &out), 0);
  EXPECT_EQ(getAvProcessNameListByProcessName(table, "lat", &out), 1);
  table.records = nullptr;  // not owned
  table.count = 0;
  EXPECT_EQ(findAvEngineProcess(std::string(70, 'y').c_str()), 0);
  EXPECT_TRUE(log.contains("The process name list string was truncated. The length(70) is "
                           "bigger than max length(64).", AVLOG_WARN));
}

TEST(EngineStatus, ShapesAndMalformedRequests) {
  ASSERT_TRUE(jobstest::loadConfig({{"V", "x.exe"}}));
  struct Case {
    std::string request;
    int rc;
    std::string text, message;
  } cases[] = {
      {R"({"opCode":"1","avType":"0","vendorName":"V"})", 1,
       R"({"status": "1","avType": "0","result": "-1","isTag": ""})", ""},
      {R"({"opCode":"0","avType":"1","vendorName":"V"})", 1, "", ""},
      {"{not json", 0, "", "parse buf to jsonObj err!"},
      {R"({"avType":"0","vendorName":"V"})", 0, "", "msg format error: lost opCode"},
      {R"({"opCode":"0","vendorName":"V"})", 0, "", "msg format error: lost avType"},
      {R"({"opCode":"0","avType":"0"})", 0, "", "msg format error: lost message"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    avtest::LogCapture log;
    auto r = statusJob(c.request);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.text, c.text);
    if (!c.message.empty()) { EXPECT_TRUE(log.contains(c.message, AVLOG_ERR)); }
  }
  avtest::LogCapture log;
  EXPECT_EQ(doJob_GetEngineStatus(nullptr, 0, nullptr, 1024), 0);
  EXPECT_TRUE(log.contains("Param is NULL!", AVLOG_ERR));
}

bool findName(const char* name, void* want) { return *static_cast<std::string*>(want) == name; }

TEST(ProcWalk, NamesOfRunningProcesses) {
  std::string eng = ownName("gone");
  jobstest::NamedProcess proc(eng);
  EXPECT_EQ(walkProcessNames(findName, &eng), 1);
  // A binary removed on disk still names the running program.
  std::filesystem::remove(avtest::scratchRoot() + "/bin/" + eng);
  EXPECT_EQ(walkProcessNames(findName, &eng), 1);
  proc.stop();
  EXPECT_EQ(walkProcessNames(findName, &eng), 0);
  std::string kthread = "kthreadd";  // kernel threads, when visible, are named by comm
  if (avtest::readFile("/proc/2/comm") == "kthreadd\n") {
    EXPECT_EQ(walkProcessNames(findName, &kthread), 1);
  }
}

}  // namespace

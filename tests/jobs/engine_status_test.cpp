// Engine-status jobs against processes this test starts under names of its
// own, with vendor tables written to the configuration file and reloaded.
#include <json-c/json.h>

#include <cstring>

#include "jobs/engine_status.h"
#include "platform/proc_walk.h"
#include "jobs_test_support.h"
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
std::string ownName(const char* tag) {
  return std::string("avjt") + std::to_string(getpid()) + tag;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

using EngineStatus = ::testing::Test;

TEST_F(EngineStatus, VendorAndProcessLookups) {
  std::string eng = ownName("eng");
  jobstest::NamedProcess proc(eng);
  ASSERT_TRUE(jobstest::loadConfig({{"Other", "nothing.exe"},
                                    {"AcmeAV", ",," + upper(eng) + ",,helper.exe,"},
                                    {"Partial", eng.substr(1) + "," + eng + "x"}}));
  // Vendor names and process names ignore ASCII case; empty list entries are skipped.
  EXPECT_EQ(statusJob(byVendor("acmeav")).text, kRunning);
  EXPECT_EQ(statusJob(byVendor("ACMEAV")).text, kRunning);
  // A vendor whose list holds only parts of the running name does not match.
  EXPECT_EQ(statusJob(byVendor("Partial")).text, kNotRunning);
  EXPECT_EQ(statusJob(byVendor("Unknown")).text, kNotRunning);
  EXPECT_EQ(statusJob(byVendor("Acme")).text, kNotRunning);
  // By process name: the vendor's whole list is searched, so any of its names works.
  EXPECT_EQ(statusJob(byProcess("HELPER.exe")).text, kRunning);
  EXPECT_EQ(statusJob(byProcess(eng)).text, kRunning);
  // A name that only some list holds as part of an entry finds no vendor.
  EXPECT_EQ(statusJob(byProcess(eng.substr(0, eng.size() - 1))).text, kNotRunning);
  // "vendorName" wins over "message".
  EXPECT_EQ(statusJob(R"({"opCode":"0","avType":"0","message":"helper.exe","vendorName":"Other"})")
                .text,
            kNotRunning);
  proc.stop();
  EXPECT_EQ(statusJob(byVendor("AcmeAV")).text, kNotRunning);
}

TEST_F(EngineStatus, FirstOfEqualVendorsAndReload) {
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

TEST_F(EngineStatus, LookupMessages) {
  ASSERT_TRUE(jobstest::loadConfig({{"V", std::string(70, 'n') + ",x"}}));
  avtest::DebugLevel dbg;
  avtest::LogCapture log;
  statusJob(byVendor("v"));
  EXPECT_TRUE(log.contains("Start find vendo v.", AVLOG_DBG));
  EXPECT_TRUE(log.contains("Find vendor v. process " + std::string(64, 'n'), AVLOG_DBG));
  EXPECT_TRUE(log.contains("End find vendo v. process " + std::string(64, 'n') + ", ret 1"));
  statusJob(byProcess("zz.exe"));
  EXPECT_TRUE(log.contains("End find process name zz.exe. process , ret 0", AVLOG_DBG));
}

TEST(EngineNameMatch, SplitsAndRestores) {
  char list[] = ",a.exe,,B.EXE,";
  EXPECT_EQ(matchProcessName("c.exe", list), 0);
  // A full walk leaves the same names in the list.
  EXPECT_EQ(matchProcessName("b.exe", list), 1);
  char again[] = ",a.exe,,B.EXE,";
  EXPECT_EQ(matchProcessName("zzz", again), 0);
  EXPECT_EQ(matchProcessName("A.EXE", again), 1);
  char empty[] = "";
  EXPECT_EQ(matchProcessName("", empty), 0);
  char commas[] = ",,,";
  EXPECT_EQ(matchProcessName("", commas), 0);
  EXPECT_EQ(matchProcessName(nullptr, commas), 0);
}

TEST(EngineNameMatch, ListCutTo64) {
  // The 65th character onwards takes no part: a name there is not found.
  std::string tail = "late.exe";
  std::string list = std::string(60, 'x') + "," + tail;
  VendorRecord rec{};
  strcpy(rec.vendorName, "V");
  strncpy(rec.processNameList, list.c_str(), 64);
  VendorTable table;
  table.count = 1;
  table.records = &rec;
  const char* out = nullptr;
  avtest::LogCapture log;
  EXPECT_EQ(getAvProcessNameListByProcessName(table, "late", &out), 0);
  EXPECT_EQ(getAvProcessNameListByProcessName(table, "lat", &out), 1);
  table.records = nullptr;  // not owned
  table.count = 0;
  EXPECT_EQ(findAvEngineProcess((std::string(70, 'y')).c_str()), 0);
  EXPECT_TRUE(log.contains("The process name list string was truncated. The length(70) is "
                           "bigger than max length(64).",
                           AVLOG_WARN));
}

TEST_F(EngineStatus, ShapesAndMalformedRequests) {
  ASSERT_TRUE(jobstest::loadConfig({{"V", "x.exe"}}));
  // opCode 1: scan shape with result -1.
  EXPECT_EQ(statusJob(R"({"opCode":"1","avType":"0","vendorName":"V"})").text,
            R"({"status": "1","avType": "0","result": "-1","isTag": ""})");
  // avType 1 runs the checks and answers with an empty text.
  auto r = statusJob(R"({"opCode":"0","avType":"1","vendorName":"V"})");
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.text, "");
  struct Case {
    std::string request;
    std::string message;
  } cases[] = {
      {"{not json", "parse buf to jsonObj err!"},
      {R"({"avType":"0","vendorName":"V"})", "msg format error: lost opCode"},
      {R"({"opCode":"0","vendorName":"V"})", "msg format error: lost avType"},
      {R"({"opCode":"0","avType":"0"})", "msg format error: lost message"},
  };
  for (const auto& c : cases) {
    avtest::LogCapture log;
    auto f = statusJob(c.request);
    EXPECT_EQ(f.rc, 0) << c.request;
    EXPECT_EQ(f.text, "") << c.request;
    EXPECT_TRUE(log.contains(c.message, AVLOG_ERR)) << c.request;
  }
  avtest::LogCapture log;
  EXPECT_EQ(doJob_GetEngineStatus(nullptr, nullptr, 1024), 0);
  EXPECT_TRUE(log.contains("Param is NULL!", AVLOG_ERR));
}

}  // namespace

namespace {

struct Finder {
  std::string want;
  bool found = false;
};

bool findName(const char* name, void* ctx) {
  auto* f = static_cast<Finder*>(ctx);
  f->found = f->want == name;
  return f->found;
}

TEST(ProcWalk, NamesOfRunningProcesses) {
  std::string eng = "avjt" + std::to_string(getpid()) + "gone";
  jobstest::NamedProcess proc(eng);
  Finder f{eng};
  EXPECT_EQ(walkProcessNames(findName, &f), 1);
  // A binary removed (or replaced) on disk still names the running program.
  std::filesystem::remove(avtest::scratchRoot() + "/bin/" + eng);
  Finder again{eng};
  EXPECT_EQ(walkProcessNames(findName, &again), 1);
  EXPECT_TRUE(again.found);
  proc.stop();
  Finder after{eng};
  EXPECT_EQ(walkProcessNames(findName, &after), 0);
  // Kernel threads, when visible, are named by comm.
  std::string comm2 = avtest::readFile("/proc/2/comm");
  if (!comm2.empty() && comm2 == "kthreadd\n") {
    Finder k{"kthreadd"};
    EXPECT_EQ(walkProcessNames(findName, &k), 1);
  }
}

}  // namespace

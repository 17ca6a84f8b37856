// Engine-status jobs against processes started under names of their own.
#include "jobs/canary.h"
#include "jobs/engine_status.h"
#include "jobs_test_support.h"
#include "platform/proc_walk.h"
#include "runtime/log.h"
#include "runtime/metrics.h"

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
  // The 65th character onwards takes no part: a name there is not found.
  statusJob(byProcess("late"));
  EXPECT_TRUE(log.contains("End find process name late. process , ret 0", AVLOG_DBG));
  statusJob(byProcess("lat"));
  EXPECT_TRUE(log.contains("Find process name lat. process " + std::string(60, 'x'), AVLOG_DBG));
}

// The probe's open as a test plays it: the real one, or a fixed outcome.
const TriggerOpenResult* g_playedOpen = nullptr;
std::atomic<int> g_opens{0};
TriggerOpenResult playedOpen(const char* path) {
  ++g_opens;
  return g_playedOpen ? *g_playedOpen : triggerOpenLocal(path);
}

std::string canaryMetric() {
  std::string text = metrics_Render();
  size_t at = text.find("\navagent_canary_protected ");
  return at == std::string::npos ? "absent" : text.substr(at + 26, 1);
}

// Each row is one status job while the engine's process runs: the canary's
// outcome decides, a verdict is logged only when it changes, and a missing
// canary is written (where its folder can take it) before it is probed.
TEST(EngineStatus, CanaryDecidesWhileProcessesRun) {
  std::string eng = ownName("can"), dir = avtest::scratchRoot() + "/canary" + std::to_string(getpid());
  jobstest::NamedProcess proc(eng);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string canary = dir + "/eicar.com";
  auto load = [&](const std::string& path) {
    return jobstest::loadConfig({{"Acme", eng}}, 1000, "CanaryPath = " + path + "\n");
  };
  ASSERT_TRUE(load(canary));
  resetCanaryForTest(0);
  g_canaryOpen = playedOpen;
  const TriggerOpenResult denied{TriggerOpenKind::kFailed, EPERM, 0}, folder{TriggerOpenKind::kDirectory, 0, 0},
      noAccess{TriggerOpenKind::kFailed, EACCES, 0};
  const std::string opened = "opened: the on-access scanner does not protect", works = "refused by the on-access scanner(225)";
  const struct { const TriggerOpenResult* open; const char* status; std::string log; uint32_t level; const char* metric; int opens; } rows[] = {
      {nullptr, kNotRunning, "The canary " + canary + " was missing and has been written.", AVLOG_INFO, "0", 2},
      {nullptr, kNotRunning, "", 0, "0", 1},  // the same verdict again: nothing logged
      {&denied, kRunning, "The canary " + canary + " is " + works + ": protection works.", AVLOG_INFO, "1", 1},
      {&denied, kRunning, "", 0, "1", 1},  // nor after an INFO one
      {&folder, kNotRunning, "The canary " + canary + " cannot be probed(a folder): status jobs report the engine not running.", AVLOG_WARN, "0", 1},
      {&noAccess, kNotRunning, "cannot be probed(permission denied, errno 13, error code 5)", AVLOG_WARN, "0", 1},
      {&denied, kRunning, works, AVLOG_INFO, "1", 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.log);
    g_playedOpen = r.open;
    g_opens = 0;
    avtest::LogCapture log;
    EXPECT_EQ(statusJob(byVendor("acme")).text, r.status);
    EXPECT_EQ(g_opens.load(), r.opens);
    EXPECT_EQ(canaryMetric(), r.metric);
    EXPECT_EQ(log.records().size(), r.log.empty() ? 0u : r.log.find("written") != std::string::npos ? 2u : 1u);
    if (!r.log.empty()) { EXPECT_TRUE(log.contains(r.log, r.level)); }
    if (r.log.find("written") != std::string::npos) { EXPECT_TRUE(log.contains(opened, AVLOG_WARN)); }
  }
  char content[AV_CANARY_SIZE];
  buildCanaryContent(content);
  std::string reversed(content, sizeof content);
  std::reverse(reversed.begin(), reversed.end());
  EXPECT_EQ(reversed, R"(*H+H$!ELIF-TSET-SURIVITNA-DRADNATS-RACIE$}7)CC7)^P(45XZP\4[PA@%P!O5X)");
  EXPECT_EQ(avtest::readFile(canary), std::string(content, sizeof content));
  // A verdict younger than the reuse age is reused: no second open.
  resetCanaryForTest(60000);
  g_opens = 0;
  statusJob(byVendor("acme"));
  EXPECT_EQ(statusJob(byVendor("acme")).text, kRunning);
  EXPECT_EQ(g_opens.load(), 1);
  proc.stop();  // a protected canary never makes a stopped engine run
  EXPECT_EQ(statusJob(byVendor("acme")).text, kNotRunning);
  // Another canary: no verdict until probed; one whose folder is missing is not written.
  g_playedOpen = nullptr;
  ASSERT_TRUE(load(dir + "/gone/eicar.com"));
  EXPECT_EQ(canaryMetric(), "absent");
  avtest::LogCapture log;
  statusJob(byVendor("acme"));
  EXPECT_TRUE(log.contains("cannot be probed(its folder is missing)", AVLOG_WARN));
  EXPECT_FALSE(std::filesystem::exists(dir + "/gone"));
  ASSERT_TRUE(load("/proc/avcanary.com"));  // a folder that takes no new file
  statusJob(byVendor("acme"));
  EXPECT_TRUE(log.contains("Writing the canary /proc/avcanary.com failed(", AVLOG_ERR));
  EXPECT_TRUE(log.contains("cannot be probed(missing, errno 2, error code 2)", AVLOG_WARN));
  ASSERT_TRUE(load(""));
  EXPECT_EQ(canaryMetric(), "absent");
  g_canaryOpen = triggerOpenLocal;
  resetCanaryForTest();
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
  std::string zombie = "avzomb" + std::to_string(getpid() % 100000);  // died unreaped: named, not running
  jobstest::NamedProcess z(zombie);
  EXPECT_EQ(walkProcessNames(findName, &zombie), 1);
  kill(z.pid(), SIGKILL);
  for (int i = 0; i < 500 && avtest::readFile("/proc/" + std::to_string(z.pid()) + "/stat").find(") Z") == std::string::npos; ++i) usleep(2000);
  EXPECT_EQ(walkProcessNames(findName, &zombie), 0);
  std::string kthread = "kthreadd";  // kernel threads, when visible, are named by comm
  if (avtest::readFile("/proc/2/comm") == "kthreadd\n") { EXPECT_EQ(walkProcessNames(findName, &kthread), 1); }
}

}  // namespace

// Engine-status job latency against one bare /proc walk (readdir + the exe
// link of every process), both measured in this run with 500 extra processes
// alive. The job searches for a vendor whose processes do not run, so it
// walks every process like the bare walk does.
// Usage: engine_status_bench [EXTRA_PROCESSES] [RUNS]
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "jobs/job_dispatch.h"
#include "platform/proc_walk.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {

using Clock = std::chrono::steady_clock;

double usSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

int bareWalk() {
  DIR* d = opendir("/proc");
  if (!d) return -1;
  int fd = dirfd(d);
  int n = 0;
  char rel[300], buf[4096];
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    snprintf(rel, sizeof(rel), "%s/exe", e->d_name);
    if (readlinkat(fd, rel, buf, sizeof(buf)) > 0) ++n;
  }
  closedir(d);
  return n;
}

double pct(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  int extra = argc > 1 ? atoi(argv[1]) : 500;
  int runs = argc > 2 ? atoi(argv[2]) : 200;
  char tmpl[] = "/tmp/avbench.XXXXXX";
  std::string root = mkdtemp(tmpl);
  mkdir((root + "/cfg").c_str(), 0755);
  mkdir((root + "/log").c_str(), 0755);
  mkdir((root + "/tmp").c_str(), 0755);
  if (chdir(root.c_str()) != 0) return 1;
  initAVPool(getAVPool());
  BRIM_SetLogDir((root + "/log").c_str());
  setCfgRootForTest(root.c_str());
  std::ofstream(root + "/cfg/agentConfig.ini")
      << "[AGENT_SETTING]\nPort=5000\nMaxJobNo=100\nFlowJobNo=100\nPortConnectTimeOut=1000\n"
         "LogLevel=2\nUncRoot=/mnt/unc\n[AV_GENERAL]\nVendorNum=1\n[AV_VENDOR1]\n"
         "VendorName=Bench\nProcessNameList=absent.exe,notthere,neither.exe\n";
  if (initSettingFromCfg() != 1) {
    fprintf(stderr, "configuration did not load\n");
    return 1;
  }

  std::vector<pid_t> kids;
  for (int i = 0; i < extra; ++i) {
    pid_t p = fork();
    if (p == 0) {
      execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
      _exit(127);
    }
    if (p > 0) kids.push_back(p);
  }
  usleep(300000);

  const char* req = R"({"opCode":"0","avType":"0","message":"","vendorName":"Bench"})";
  std::vector<double> walk, job, layer;
  int procs = 0;
  char room[AV_STATUS_RESULT_ROOM];
  for (int r = 0; r < runs; ++r) {  // interleaved, so both see the same machine load
    auto t0 = Clock::now();
    procs = bareWalk();
    walk.push_back(usSince(t0));
    t0 = Clock::now();
    walkProcessNames([](const char*, void*) { return false; }, nullptr);
    layer.push_back(usSince(t0));
    std::fill(room, room + sizeof(room), 0);
    t0 = Clock::now();
    int rc = doJob_GetEngineStatus(req, room, sizeof(room));
    job.push_back(usSince(t0));
    if (rc != 1) {
      fprintf(stderr, "job failed\n");
      break;
    }
  }
  for (pid_t p : kids) kill(p, SIGKILL);
  for (pid_t p : kids) waitpid(p, nullptr, 0);
  std::string rm = "rm -rf " + root;
  if (system(rm.c_str()) != 0) fprintf(stderr, "could not remove %s\n", root.c_str());

  double walkMed = pct(walk, 0.5), walkP99 = pct(walk, 0.99);
  double jobMed = pct(job, 0.5), jobP99 = pct(job, 0.99);
  printf("processes=%d runs=%d bare_walk median=%.1fus p99=%.1fus; job median=%.1fus "
         "p99=%.1fus\n",
         procs, runs, walkMed, walkP99, jobMed, jobP99);
  printf("the agent's walk alone: median %.1fus\n", pct(layer, 0.5));
  printf("job/walk: median %.2f, p99 %.2f (p99 against the walk's median %.2f)\n",
         jobMed / walkMed, jobP99 / walkP99, jobP99 / walkMed);
  printf("result: %s\n", room);
  return jobMed / walkMed <= 3.0 && jobP99 / walkP99 <= 3.0 ? 0 : 2;
}

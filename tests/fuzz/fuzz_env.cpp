// The ICAP port is 1, where nothing listens on loopback, so every ICAP connect
// is refused at once; port probes give up after 50 ms.
#include "fuzz_env.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "channel/frame.h"
#include "icap/icap_io.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

static_assert(AV_POOL_PARTITIONS <= 16, "FuzzPoolGuard counts 16 partitions at most");

namespace {

std::string g_root;

[[noreturn]] void die(const char* what) { fuzzFail("fuzz set-up", what); }

}  // namespace

const std::string& fuzzRoot() { return g_root; }

void fuzzFail(const char* target, const char* what, const std::string& detail) {
  fprintf(stderr, "%s fuzz: %s\n%s\n", target, what, detail.c_str());
  abort();
}

void fuzzSetUp() {
  const char* base = getenv("AVFUZZ_TMP");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/avfuzz.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) die("mkdtemp");
  g_root = tmpl;
  atexit([] { std::error_code ec; if (!getenv("AVFUZZ_KEEP_ROOT")) std::filesystem::remove_all(g_root, ec); });
  for (const char* sub : {"tmp", "log", "cfg", "unc/srv/share/dir", "unc/srv/empty"})
    std::filesystem::create_directories(g_root + "/" + sub);
  std::ofstream(g_root + "/unc/srv/share/clean.txt") << "clean\n";
  std::ofstream(g_root + "/unc/srv/share/dir/a.bin") << "x";
  if (chdir(g_root.c_str()) != 0) die("chdir");
  if (initAVPool(getAVPool()) != 0) die("initAVPool");
  BRIM_SetLogDir((g_root + "/log").c_str());
  setCfgRootForTest(g_root.c_str());
  const char* level = getenv("AVFUZZ_LOGLEVEL");
  std::ofstream(g_root + "/cfg/agentConfig.ini")
      << "[AGENT_SETTING]\nPort = 5000\nMaxJobNo = 100\nFlowJobNo = 100\nPortConnectTimeOut = 50\nLogLevel = "
      << (level && *level ? level : "5") << "\nLogFileNum = 2\nIcapPort = 1\nUncRoot = " << g_root
      << "/unc\n[AV_GENERAL]\nVendorNum = 2\n[AV_VENDOR1]\nVendorName = FuzzVendor\nProcessNameList = fuzzd,fuzz-engine.exe\n"
      << "[AV_VENDOR2]\nVendorName = Runner\nProcessNameList = init,bash,sh\n";
  if (initSettingFromCfg() != 1 || getIcapPort() != 1) die("configuration not taken");
  // Every input is in the socket already: these only bound a wait on a fault.
  agentMsg_SetIoWaitMs(2000);
  setIcapReadyWaitForTest(2000);
}

FuzzPoolGuard::FuzzPoolGuard(const char* target) : target_(target) {
  for (uint32_t p = 0; p < AV_POOL_PARTITIONS; ++p) free_[p] = avPoolFreeCount(getAVPool(), p);
}

FuzzPoolGuard::~FuzzPoolGuard() {
  for (uint32_t p = 0; p < AV_POOL_PARTITIONS; ++p)
    if (avPoolFreeCount(getAVPool(), p) != free_[p]) fuzzFail(target_, "pool block not returned", std::to_string(p));
}

void fuzzFeed(const void* data, size_t n, int sv[2]) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) die("socketpair");
  int sndbuf = 256 * 1024;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  if (n > 0 && agentMsg_DoSend(sv[1], static_cast<const uint8_t*>(data), static_cast<uint32_t>(n)) != 1)
    die("feeding the socket");
  shutdown(sv[1], SHUT_WR);
}

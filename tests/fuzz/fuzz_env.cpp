// Shared set-up of the fuzz targets: a scratch installation root made the
// current directory (tmp/, log/, cfg/, unc/), the pool, the log and a
// configuration whose every network-facing setting points at loopback: the
// ICAP port is a loopback port held bound but never listening (so every ICAP
// connect is refused at once), and port probes give up after 50 ms.
// Targets declare what they use from here themselves (no shared header).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "channel/frame.h"
#include "icap/icap_io.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {

std::string g_root;

void removeRoot() {
  std::error_code ec;
  if (!g_root.empty() && !getenv("AVFUZZ_KEEP_ROOT")) std::filesystem::remove_all(g_root, ec);
}

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "fuzz set-up failed: %s\n", what);
  abort();
}

// A loopback port nobody listens on, for both families: bound (so no other
// process takes it while we run) and never passed to listen().
uint16_t reserveClosedPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int s4 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a4;
    if (s4 < 0 || bind(s4, reinterpret_cast<sockaddr*>(&a4), sizeof a4) != 0 ||
        getsockname(s4, reinterpret_cast<sockaddr*>(&a4), &len) != 0)
      die("bind 127.0.0.1");
    int s6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    a6.sin6_port = a4.sin_port;
    int one = 1;
    if (s6 >= 0) setsockopt(s6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (s6 >= 0 && bind(s6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0)
      return ntohs(a4.sin_port);  // both descriptors stay open until exit
    if (s6 >= 0) close(s6);
    close(s4);
  }
  die("no free loopback port for both families");
}

}  // namespace

const std::string& fuzzRoot() { return g_root; }

void fuzzSetUp() {
  const char* base = getenv("AVFUZZ_TMP");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/avfuzz.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) die("mkdtemp");
  g_root = tmpl;
  atexit(removeRoot);
  for (const char* sub : {"tmp", "log", "cfg", "unc/srv/share/dir", "unc/srv/empty"})
    std::filesystem::create_directories(g_root + "/" + sub);
  std::ofstream(g_root + "/unc/srv/share/clean.txt") << "clean\n";
  std::ofstream(g_root + "/unc/srv/share/dir/a.bin") << "x";
  if (chdir(g_root.c_str()) != 0) die("chdir");
  if (initAVPool(getAVPool()) != 0) die("initAVPool");
  BRIM_SetLogDir((g_root + "/log").c_str());
  setCfgRootForTest(g_root.c_str());

  const char* level = getenv("AVFUZZ_LOGLEVEL");
  uint16_t icapPort = reserveClosedPort();
  std::ofstream cfg(g_root + "/cfg/agentConfig.ini");
  cfg << "[AGENT_SETTING]\nPort = 5000\nMaxJobNo = 100\nFlowJobNo = 100\n"
      << "PortConnectTimeOut = 50\nLogLevel = " << (level && *level ? level : "5")
      << "\nLogFileNum = 2\nIcapPort = " << icapPort << "\nUncRoot = " << g_root << "/unc\n"
      << "[AV_GENERAL]\nVendorNum = 2\n"
      << "[AV_VENDOR1]\nVendorName = FuzzVendor\nProcessNameList = fuzzd,fuzz-engine.exe\n"
      << "[AV_VENDOR2]\nVendorName = Runner\nProcessNameList = init,bash,sh\n";
  cfg.close();
  if (initSettingFromCfg() != 1) die("initSettingFromCfg");
  if (getIcapPort() != icapPort) die("IcapPort not taken");
  // Every byte a target feeds is already in the socket (or the peer has shut
  // its side), so these only bound a wait on a fault.
  agentMsg_SetIoWaitMs(2000);
  setIcapReadyWaitForTest(2000);
}

std::array<uint32_t, AV_POOL_PARTITIONS> fuzzPoolCounts() {
  std::array<uint32_t, AV_POOL_PARTITIONS> c{};
  for (uint32_t p = 0; p < AV_POOL_PARTITIONS; ++p) c[p] = avPoolFreeCount(getAVPool(), p);
  return c;
}

// Pool blocks live in one region that the leak checker cannot see into, so a
// block kept past the call is reported here.
void fuzzCheckPool(const std::array<uint32_t, AV_POOL_PARTITIONS>& before, const char* where) {
  auto after = fuzzPoolCounts();
  for (uint32_t p = 0; p < AV_POOL_PARTITIONS; ++p) {
    if (after[p] != before[p]) {
      fprintf(stderr, "%s: pool partition %u has %u free blocks, had %u\n", where, p, after[p],
              before[p]);
      abort();
    }
  }
}

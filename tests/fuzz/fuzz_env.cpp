// The ICAP port is bound on loopback on both families but never listens, so
// every ICAP connect is refused at once; port probes give up after 50 ms.
#include "fuzz_env.h"

#include <arpa/inet.h>
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

uint16_t reserveClosedPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int s4 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), s6 = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a4{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a4;
    if (bind(s4, reinterpret_cast<sockaddr*>(&a4), len) != 0 || getsockname(s4, reinterpret_cast<sockaddr*>(&a4), &len) != 0)
      die("bind 127.0.0.1");
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6, a6.sin6_addr = in6addr_loopback, a6.sin6_port = a4.sin_port;
    int one = 1;
    setsockopt(s6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(s6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0) return ntohs(a4.sin_port);  // both stay open
    close(s6), close(s4);
  }
  die("no free loopback port for both families");
}

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
  uint16_t icapPort = reserveClosedPort();
  std::ofstream(g_root + "/cfg/agentConfig.ini")
      << "[AGENT_SETTING]\nPort = 5000\nMaxJobNo = 100\nFlowJobNo = 100\nPortConnectTimeOut = 50\nLogLevel = "
      << (level && *level ? level : "5") << "\nLogFileNum = 2\nIcapPort = " << icapPort << "\nUncRoot = " << g_root
      << "/unc\n[AV_GENERAL]\nVendorNum = 2\n[AV_VENDOR1]\nVendorName = FuzzVendor\nProcessNameList = fuzzd,fuzz-engine.exe\n"
      << "[AV_VENDOR2]\nVendorName = Runner\nProcessNameList = init,bash,sh\n";
  if (initSettingFromCfg() != 1 || getIcapPort() != icapPort) die("configuration not taken");
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

// Start-up and lifecycle. The main thread brings the agent up in a fixed
// order (pool, root and log folder, configuration, RSA key pair, message
// server, configuration watcher) and then only waits: for a "/quit" line on
// standard input or for SIGTERM / SIGINT, which arrive through a signalfd so
// that poll() serves both at once. Standard input at end of file (a service
// started with /dev/null) is dropped from the poll set instead of spinning.
// Once threads serve connections the process ends with _exit, so detached
// threads never run into static objects being destroyed under them.
#include "runtime/startup.h"

#include <openssl/crypto.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "channel/handshake.h"
#include "channel/message_server.h"
#include "channel/shared_key.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {

constexpr uint32_t kPathSize = 260;
constexpr uint32_t kLogDirSize = 256;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr int kLoopStepMs = 10000;
constexpr size_t kMaxLineChars = 255;

char g_logDir[kPathSize] = {};

// The operator's message: there is no message box on Linux.
void showTips(const char* text) { std::fprintf(stderr, "Tips: %s\n", text); }

void endProcess(int code) {
  std::fflush(nullptr);
  _exit(code);
}

void raiseDescriptorLimit() {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// Reads what standard input holds; returns true on a "/quit" line. A line is
// cut to 255 characters; its end is "\n" or "\r\n". At end of file (or on a
// broken descriptor) *open becomes false and a pending last line is judged.
bool readQuitCommand(std::string& pending, bool* skipping, bool* open) {
  char buf[512];
  ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
  auto isQuit = [](std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line == "/quit";
  };
  if (n <= 0) {
    *open = false;
    return !*skipping && isQuit(pending);
  }
  for (ssize_t i = 0; i < n; ++i) {
    if (buf[i] == '\n') {
      bool quit = !*skipping && isQuit(pending);
      pending.clear();
      *skipping = false;
      if (quit) return true;
    } else if (!*skipping) {
      pending.push_back(buf[i]);
      // Keep one more character than the limit so a CR before the line end
      // of a full-length line is still recognised.
      if (pending.size() > kMaxLineChars + 1) *skipping = true;
    }
  }
  return false;
}

void waitForQuit(int sigFd) {
  std::string pending;
  bool skipping = false;
  bool stdinOpen = true;
  for (;;) {
    struct pollfd fds[2];
    nfds_t n = 0;
    fds[n++] = {sigFd, POLLIN, 0};
    if (stdinOpen) fds[n++] = {STDIN_FILENO, POLLIN, 0};
    int rc = poll(fds, n, kLoopStepMs);
    if (rc < 0 && errno != EINTR) {
      // Nothing left to wait on reliably; sleep in steps rather than spin.
      sleep(kLoopStepMs / 1000);
      continue;
    }
    if (rc <= 0) continue;
    if (fds[0].revents & POLLIN) {
      struct signalfd_siginfo info;
      if (read(sigFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) return;
    }
    if (n > 1 && fds[1].revents) {
      if (fds[1].revents & POLLNVAL) {
        stdinOpen = false;
        continue;
      }
      if (readQuitCommand(pending, &skipping, &stdinOpen)) return;
    }
  }
}

uint32_t queryNoDevice(const char*, char*, uint32_t) { return 2; }

}  // namespace

uint32_t getRealFilePath(const char* driveList, const char* devicePath, char* out,
                         uint32_t outSize, AvDeviceQuery queryDevice) {
  if (!out || outSize == 0) return AV_PATH_NO_OUTPUT;
  if (!driveList || !devicePath) return AV_PATH_NO_DRIVE;
  if (!queryDevice) queryDevice = queryNoDevice;
  PoolBuf device(kPathSize);
  if (!device) return AV_PATH_DEVICE_MEMORY;
  for (const char* drive = driveList; *drive; drive += std::strlen(drive) + 1) {
    const char name[3] = {drive[0], ':', '\0'};
    std::memset(device.get(), 0, kPathSize);
    uint32_t rc = queryDevice(name, device.chars(), kPathSize);
    if (rc == kErrorInsufficientBuffer) return AV_PATH_DEVICE_TOO_LONG;
    if (rc != 0) return rc;
    device.chars()[kPathSize - 1] = '\0';
    const size_t len = std::strlen(device.chars());
    // A drive without a device name would match every path.
    if (len == 0) continue;
    if (strncasecmp(devicePath, device.chars(), len) != 0) continue;
    // The device name must end at a separator, so volume1 is not taken for volume10.
    const char next = devicePath[len];
    if (next != '\0' && next != '\\' && next != '/') continue;
    std::snprintf(out, outSize, "%s%s", name, devicePath + len);
    BRIM_Log(AV_MODULE_BRIM, AVLOG_DBG, __func__, __LINE__, 0, "get file path (%s).", out);
    return 0;
  }
  return AV_PATH_NO_DRIVE;
}

uint32_t GetProcessFilePath(int pid, char* out, uint32_t outSize) {
  if (!out || outSize == 0) return AV_PATH_NO_OUTPUT;
  char link[64];
  if (pid == 0)
    std::snprintf(link, sizeof(link), "/proc/self/exe");
  else
    std::snprintf(link, sizeof(link), "/proc/%d/exe", pid);
  // On Linux the image path already is the path to use.
  char path[4096];
  ssize_t n = readlink(link, path, sizeof(path) - 1);
  if (n <= 0 || static_cast<size_t>(n) >= outSize) return AV_PATH_NO_IMAGE_NAME;
  std::memcpy(out, path, static_cast<size_t>(n));
  out[n] = '\0';
  return 0;
}

int setRootPath() {
  char path[kPathSize] = {};
  uint32_t rc = GetProcessFilePath(0, path, sizeof(path));
  if (rc != 0) {
    AV_ERR("GetProcessFilePath failed(%d).", static_cast<int>(rc));
    return 0;
  }
  char* slash = std::strrchr(path, '/');
  if (!slash) {
    AV_ERR("GetProcessFilePath failed(%d).", static_cast<int>(AV_PATH_NO_IMAGE_NAME));
    return 0;
  }
  if (slash == path)
    slash[1] = '\0';  // program in "/"
  else
    *slash = '\0';
  if (chdir(path) != 0) {
    AV_ERR("chdir(%s) failed(%d).", path, errno);
    return 0;
  }
  std::string logDir = std::string(path) + (slash == path ? "" : "/") + "log";
  std::strncpy(g_logDir, logDir.c_str(), sizeof(g_logDir) - 1);
  // A fresh installation has no log/ or tmp/ yet; the operator still expects
  // the agent to log, and the log settings file lives in tmp/.
  mkdir("log", 0755);
  mkdir("tmp", 0755);
  return 1;
}

int agentMain() {
  // SIGTERM / SIGINT are taken through a signalfd; blocking them before any
  // thread starts makes every thread inherit the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  int sigFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();

  int rc = initAVPool(getAVPool());
  if (rc != 0) {
    AV_ERR("Init memory pool failed(%d).", rc);
    return -1;
  }
  setRootPath();
  if (g_logDir[0]) {
    char logDir[kLogDirSize] = {};
    std::memcpy(logDir, g_logDir, strnlen(g_logDir, sizeof(logDir) - 1));  // a 256-byte copy, cut
    BRIM_SetLogDir(logDir);
  }
  AV_INFO("Antivirus agent start.");

  if (initSettingFromCfg() != 1) {
    showTips("Configuration file is bad.");
    AV_ERR("initSettingFromCfg FAIL");
    return -1;
  }
  if (agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()) != 1) {
    AV_ERR("Get rsa failed.");
    return -1;
  }
  agentMsg_InitRSALock();

  char port[6] = {};
  std::snprintf(port, sizeof(port), "%d", static_cast<int>(g_avAgentPort.load()));
  uint8_t key[32];
  getAvAgentSharedKey(key);
  int started = ms_CreateMessageServerThread(key, port, g_maxJobsNo.load());
  OPENSSL_cleanse(key, sizeof(key));
  if (started != 1) {
    showTips("Antivirus agent process is running in the backgroud.");
    AV_ERR("CreateMessageServer FAIL");
    endProcess(-1);
  }

  rc = createCfgMonitorThread();
  if (rc != 0) {
    AV_ERR("Create config file monitor thread failed(%d).", rc);
    endProcess(rc);
  }

  if (sigFd < 0) {
    // Without the signalfd the stop signals keep their default action; poll
    // ignores the negative descriptor.
    AV_ERR("signalfd failed(%d).", errno);
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  }
  waitForQuit(sigFd);

  AV_INFO("Program end.");
  // Connection threads may still use the pool: it is left to the end of the process.
  endProcess(0);
  return 0;
}

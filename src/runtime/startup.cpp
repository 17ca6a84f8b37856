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

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "channel/handshake.h"
#include "channel/message_server.h"
#include "channel/shared_key.h"
#include "platform/file.h"
#include "platform/peer_addr.h"
#include "platform/process.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"
#include "runtime/metrics.h"
#include "runtime/service_watch.h"

namespace {

constexpr uint32_t kPathSize = 260;
constexpr uint32_t kLogDirSize = 256;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr int kLoopStepMs = 10000;
constexpr size_t kMaxLineChars = 255;

// The operator's message, on standard error: a message box would hold a start
// at boot until someone closed it.
void showTips(const char* text) { std::fprintf(stderr, "Tips: %s\n", text); }

bool isQuit(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line == "/quit";
}

// Takes n bytes of standard input; returns true on a "/quit" line. A line is
// cut to 255 characters; its end is "\n" or "\r\n".
bool takeInput(const char* buf, size_t n, std::string& pending, bool* skipping) {
  for (size_t i = 0; i < n; ++i) {
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

// Returns on a stop signal or a "/quit" line. At the end of standard input a
// pending last line is judged, and from then on only signals are waited for.
void waitForQuit(int stopFd) {
  std::string pending;
  bool skipping = false;
  bool stdinOpen = true;
  char buf[512];
  for (;;) {
    size_t got = 0;
    switch (proc_WaitStopOrInput(stopFd, stdinOpen, kLoopStepMs, buf, sizeof buf, &got)) {
      case ProcWait::Stop:
        return;
      case ProcWait::Input:
        if (takeInput(buf, got, pending, &skipping)) return;
        break;
      case ProcWait::InputEnd:
        stdinOpen = false;
        if (!skipping && isQuit(pending)) return;
        pending.clear();
        break;
      case ProcWait::Failed:
        // Nothing left to wait on reliably; sleep in steps rather than spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(kLoopStepMs));
        break;
      case ProcWait::Timeout:
        break;
    }
  }
}

uint32_t queryNoDevice(const char*, char*, uint32_t) { return 2; }

bool startsWithNoCase(const char* text, const char* prefix, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '\0') return false;
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

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
    if (!startsWithNoCase(devicePath, device.chars(), len)) continue;
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
  std::string drives;
  if (int e = proc_DriveList(&drives))
    return e == ENOMEM ? AV_PATH_DRIVE_LIST_MEMORY : AV_PATH_DRIVE_LIST;
  // Without drive letters the image path already is the path to use.
  if (drives.empty()) return proc_ExePath(pid, out, outSize) == 0 ? 0 : AV_PATH_NO_IMAGE_NAME;
  char image[kPathSize + 2] = {};
  if (proc_ImageDevicePath(pid, image, sizeof image) != 0) return AV_PATH_NO_IMAGE_NAME;
  return getRealFilePath(drives.c_str(), image, out, outSize, proc_DriveDevice);
}

uint32_t getInstallRoot(char* out, uint32_t size) {
  if (!out || size == 0) return AV_PATH_NO_OUTPUT;
  uint32_t rc = GetProcessFilePath(0, out, size);
  if (rc != 0) return rc;
  char* slash = std::strrchr(out, '/');
  if (char* back = std::strrchr(out, '\\'); back && (!slash || back > slash)) slash = back;
  if (!slash) return AV_PATH_NO_IMAGE_NAME;
  if (slash == out || (slash == out + 2 && out[1] == ':'))
    slash[1] = '\0';  // program in "/" or in a drive's top folder
  else
    *slash = '\0';
  return 0;
}

int setRootPath(char* logDir, uint32_t logDirSize) {
  char path[kPathSize] = {};
  uint32_t rc = getInstallRoot(path, sizeof(path));
  if (rc != 0) {
    AV_ERR("GetProcessFilePath failed(%d).", static_cast<int>(rc));
    return 0;
  }
  if (int e = proc_ChangeDir(path)) {
    AV_ERR("chdir(%s) failed(%d).", path, e);
    return 0;
  }
  const size_t len = std::strlen(path);
  const char sep = len >= 2 && path[1] == ':' ? '\\' : '/';  // a drive-letter path
  const bool atTop = len > 0 && path[len - 1] == sep;
  std::snprintf(logDir, logDirSize, "%s%slog", path, atTop ? "" : (sep == '/' ? "/" : "\\"));
  // A fresh installation has no log/ or tmp/ yet; the operator still expects
  // the agent to log, and the log settings file lives in tmp/.
  file_MakeDir("log", 0755);
  file_MakeDir("tmp", 0755);
  char mutexName[128];
  std::snprintf(mutexName, sizeof mutexName, "Global\\%s - AvAgent", "AvAgentLogMutex");
  return proc_HoldNamedMutex(mutexName) == 0 ? 1 : 0;
}

namespace {

// The log folder moves under the installation root once it is known; until
// then records go to "./log".
void moveLogToRoot() {
  char logDir[kLogDirSize] = {};  // a 256-byte copy, cut
  // A mutex that could not be made (no right to the global namespace) leaves
  // the root and its log folder in force: the result is not acted on.
  setRootPath(logDir, sizeof(logDir));
  if (logDir[0] != '\0') BRIM_SetLogDir(logDir);
}

bool makeRsaKeyPair() {
  if (agentMsg_GenRSAServerInfoInit(agentMsg_ServerRSAInfo()) != 1) {
    AV_ERR("Get rsa failed.");
    return false;
  }
  agentMsg_InitRSALock();
  return true;
}

// One agent per installation root: a second one would share its log,
// configuration and key reset. The lock is a byte lock of tmp/avagent.lock,
// held (descriptor open) for the life of the process and gone with it, so a
// crashed agent leaves nothing stale. False when another process holds it.
bool holdInstanceLock() {
  int fd = -1;
  if (file_OpenReadWrite("tmp/avagent.lock", false, 0640, &fd) != 0) return true;  // no tmp/: unchecked
  const int err = file_LockRange(fd, true, false, 0, 1);
  if (err == 0) return true;  // the descriptor stays open: the lock lives with the process
  file_Close(fd);
  return err != EAGAIN && err != EACCES;
}

// What keeps the server from starting, in the operator's words.
void showServerFailure(int err, const char* port, const char* address) {
  char text[200];
  // A port another socket holds exclusively is refused as access, not as in use,
  // on some systems: below 1024 the privilege is the likelier cause.
  const bool privileged = std::atoi(port) < 1024;
  if (err == EADDRINUSE || (err == EACCES && !privileged))
    std::snprintf(text, sizeof text, "Port %s is already in use by another process.", port);
  else if (err == EACCES)
    std::snprintf(text, sizeof text, "Port %s needs a privilege to listen on (below 1024).", port);
  else if (err == EADDRNOTAVAIL && address[0] != '\0')
    std::snprintf(text, sizeof text, "ListenAddress %s is not an address of this host.", address);
  else
    std::snprintf(text, sizeof text, "The listeners on port %s could not start(%d).", port, err);
  showTips(text);
  AV_ERR("%s", text);
}

// The server takes the port, the listen address, the job limit and the shared
// key once, at start.
bool startMessageServer(const char* port, const char* address) {
  uint8_t key[32];
  getAvAgentSharedKey(key);
  int err = 0;
  int started = ms_CreateMessageServerThread(key, port, g_maxJobsNo.load(), address, &err);
  OPENSSL_cleanse(key, sizeof(key));
  if (started != 1) showServerFailure(err, port, address);
  return started == 1;
}

}  // namespace

int agentMain() {
  int stopFd = -1;
  const int stopErr = proc_CatchStopSignals(&stopFd);
  proc_IgnoreBrokenPipe();
  proc_RaiseOpenFileLimit();

  int rc = initAVPool(getAVPool());
  if (rc != 0) {
    AV_ERR("Init memory pool failed(%d).", rc);
    return -1;
  }
  moveLogToRoot();
  AV_INFO("Antivirus agent start.");
  if (!holdInstanceLock()) {
    showTips("Antivirus agent process is running in the backgroud.");
    AV_ERR("Another agent runs in this installation root (tmp/avagent.lock is held).");
    return -1;
  }

  if (initSettingFromCfg() != 1) {
    showTips("Configuration file is bad.");
    char why[256] = {};
    getCfgRefusal(why, sizeof why);
    if (why[0] != '\0') std::fprintf(stderr, "      %s\n", why);
    AV_ERR("initSettingFromCfg FAIL");
    return -1;
  }
  if (!makeRsaKeyPair()) return -1;
  char port[6] = {};
  std::snprintf(port, sizeof(port), "%d", static_cast<int>(g_avAgentPort.load()));
  char address[PEER_ADDR_TEXT_SIZE] = {};
  getListenAddress(address, sizeof address);
  // From here on threads run: the process ends through proc_Exit.
  if (!startMessageServer(port, address)) {
    AV_ERR("CreateMessageServer FAIL");
    proc_Exit(-1);
  }
  rc = createCfgMonitorThread();
  if (rc != 0) {
    AV_ERR("Create config file monitor thread failed(%d).", rc);
    proc_Exit(rc);
  }
  if (metrics_StartWriter() != 0) AV_ERR("Starting the metrics writer failed.");
  service_Ready(ms_ListenerCount());  // every listener accepts and the watcher runs
  // An operator who started it by hand sees where it serves; a service's
  // output (a journal) gets nothing beyond the log.
  const bool onTerminal = proc_StdoutIsTerminal();
  if (onTerminal) {
    char root[kPathSize] = {};
    getInstallRoot(root, sizeof root);
    std::printf("avagent listens on %s port %s; root %s, log in %s/log.\n"
                "Type /quit or press Ctrl-C to stop.\n",
                address[0] != '\0' ? address : "every address (IPv6 and IPv4)", port, root, root);
    std::fflush(stdout);
  }

  // Without the descriptor the stop signals keep their default action.
  if (stopErr != 0) AV_ERR("signalfd failed(%d).", stopErr);
  waitForQuit(stopFd);

  service_Stopping();
  AV_INFO("Program end.");
  if (onTerminal) std::printf("avagent ended.\n");
  // Connection threads may still use the pool: it is left to the end of the process.
  proc_Exit(0);
}

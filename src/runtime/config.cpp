// Configuration: reads cfg/agentConfig.ini into the live settings, loads or
// resets the pre-shared key and builds the vendor table; a watcher thread
// repeats the load after every write in cfg/.
//
// Design: each scalar setting is one atomic word stored as soon as it is read,
// so a reload that stops half-way leaves the values read so far, as the
// start-up load would. Texts that readers copy (UncRoot) and the vendor table
// are immutable objects published whole through a shared_ptr swapped under a
// small mutex: a reader keeps the object it got alive, and a reload never
// writes into anything a reader can see. Reloads themselves are serialised
// (the watcher and a direct call may overlap), since the key operations they
// call keep process-wide state without a lock of their own.
#include "runtime/config.h"

#include <cerrno>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "channel/crypto.h"
#include "channel/peer_guard.h"
#include "channel/shared_key.h"
#include "platform/dir_watch.h"
#include "platform/ini_file.h"
#include "platform/process.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"
#include "runtime/startup.h"

std::atomic<int32_t> g_avAgentPort{0};
std::atomic<int32_t> g_maxJobsNo{0};
std::atomic<int32_t> g_flowJobsNo{0};
std::atomic<int32_t> g_portConnectTimeOut{0};
std::atomic<int32_t> g_handshakeTimeOut{30000};
std::atomic<int32_t> g_handshakeFailLimit{20};
std::atomic<int32_t> g_handshakeFailWindow{60};
std::atomic<int32_t> g_handshakeBanTime{60};

static_assert(sizeof(VendorRecord) == 194, "vendor records are 194 bytes");

namespace {

constexpr int kMissing = -1000;
constexpr uint32_t kCfgPathSize = 260;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr const char* kAgentSection = "AGENT_SETTING";
constexpr const char* kDefaultUncRoot = "/mnt/unc";

std::atomic<int32_t> g_icapPort{1344};

// Published objects. The holder is never destroyed, so a detached thread that
// still reads at process exit never meets a destroyed mutex.
struct Published {
  std::mutex m;
  std::shared_ptr<const VendorTable> vendors = std::make_shared<const VendorTable>();
  std::shared_ptr<const std::string> uncRoot = std::make_shared<const std::string>(kDefaultUncRoot);
  std::shared_ptr<const PeerAllowList> allowedPeers = std::make_shared<const PeerAllowList>();
  std::string cfgRoot;  // set by tests and tools; empty: the executable's folder
};

Published& published() {
  static Published* p = new Published();
  return *p;
}

std::mutex& reloadMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}

void publishVendorTable(std::shared_ptr<const VendorTable> table) {
  Published& p = published();
  {
    std::lock_guard<std::mutex> lock(p.m);
    p.vendors.swap(table);
  }
  // The old table is released here, outside the lock, once its last reader lets go.
}

void publishUncRoot(const char* text) {
  std::shared_ptr<const std::string> s;
  try {
    s = std::make_shared<const std::string>(text);
  } catch (...) {
    return;  // keep the previous root rather than fail the load on memory
  }
  Published& p = published();
  std::lock_guard<std::mutex> lock(p.m);
  p.uncRoot.swap(s);
}

// The peer policy keys: all are checked before any is stored, so a bad value
// never half-applies. A cut AllowedPeers text could silently drop entries, so a
// value that fills its buffer is refused as too long.
bool loadPeerSettings(const char* path) {
  struct IntKey {
    const char* name;
    int def, min, max;
    std::atomic<int32_t>* live;
    int value;
  } keys[] = {
      {"HandshakeTimeOut", 30000, 100, 600000, &g_handshakeTimeOut, 0},
      {"HandshakeFailLimit", 20, 0, 1000000, &g_handshakeFailLimit, 0},
      {"HandshakeFailWindow", 60, 1, 86400, &g_handshakeFailWindow, 0},
      {"HandshakeBanTime", 60, 1, 86400, &g_handshakeBanTime, 0},
  };
  for (IntKey& k : keys) {
    k.value = ini_GetInt(kAgentSection, k.name, k.def, path);
    if (k.value < k.min || k.value > k.max) {
      AV_ERR("%s is invalid(%d).", k.name, k.value);
      return false;
    }
  }
  char text[4096] = {0};
  int len = ini_GetString(kAgentSection, "AllowedPeers", "", text, sizeof text, path);
  if (len >= static_cast<int>(sizeof text) - 1) {
    AV_ERR("AllowedPeers is invalid(too long: %d characters or more).", len);
    return false;
  }
  PeerAllowList parsed;
  char bad[64] = {0};
  if (pg_ParseAllowList(text, &parsed, bad, sizeof bad) != 0) {
    AV_ERR("AllowedPeers is invalid(%s).", bad);
    return false;
  }
  std::shared_ptr<const PeerAllowList> list;
  try {
    list = std::make_shared<const PeerAllowList>(parsed);
  } catch (...) {
    AV_ERR("AllowedPeers: no memory.");
    return false;
  }
  for (const IntKey& k : keys) k.live->store(k.value);
  Published& p = published();
  std::lock_guard<std::mutex> lock(p.m);
  p.allowedPeers.swap(list);
  return true;
}

// Watcher state; like the published objects, never destroyed.
struct Monitor {
  std::mutex m;
  std::condition_variable cv;
  bool running = false;
  bool stopRequested = false;
  DirWatch watch;
  bool watchOpen = false;
  std::atomic<uint32_t> reloads{0};
};

Monitor& monitor() {
  static Monitor* mon = new Monitor();
  return *mon;
}

void ThreadProcOfMonitorProcessExist() {
  Monitor& mon = monitor();
  DirWatch w;
  if (dirWatch_Open(&w, "cfg") != 0) {
    int code = errno != 0 ? errno : 1;
    AV_ERR("Watching the folder cfg failed(%d).", code);
    proc_Exit(code);
  }
  {
    std::lock_guard<std::mutex> lock(mon.m);
    mon.watch = w;
    mon.watchOpen = true;
    if (mon.stopRequested) dirWatch_Wake(&mon.watch);
    mon.cv.notify_all();
  }
  for (;;) {
    int r = dirWatch_Wait(&w);
    if (r == 1) {
      (void)initSettingFromCfg();
      mon.reloads.fetch_add(1);
      continue;
    }
    if (r == 0) break;  // asked to stop
    int code = errno != 0 ? errno : 1;
    AV_ERR("Watching the folder cfg failed(%d).", code);
    proc_Exit(code);
  }
  std::lock_guard<std::mutex> lock(mon.m);
  dirWatch_Close(&mon.watch);
  mon.watchOpen = false;
  mon.running = false;
  mon.cv.notify_all();
}

bool equalsNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

}  // namespace

VendorTable::~VendorTable() {
  if (records != nullptr) freeAVPoolMem(getAVPool(), records);
}

void setCfgRootForTest(const char* root) {
  Published& p = published();
  std::lock_guard<std::mutex> lock(p.m);
  p.cfgRoot = root ? root : "";
}

uint32_t getCfgFilePath(char* out, uint32_t size) {
  if (out == nullptr || size == 0) return AV_PATH_NO_OUTPUT;
  std::string root;
  {
    Published& p = published();
    std::lock_guard<std::mutex> lock(p.m);
    root = p.cfgRoot;
  }
  if (root.empty()) {
    char installRoot[4096];
    if (uint32_t rc = getInstallRoot(installRoot, sizeof installRoot)) return rc;
    root = installRoot;
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  std::string path = root + "/cfg/agentConfig.ini";
  if (path.size() >= size) return kErrorInsufficientBuffer;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return 0;
}

uint16_t getIcapPort() { return static_cast<uint16_t>(g_icapPort.load() & 0xFFFF); }

std::shared_ptr<const PeerAllowList> getAllowedPeers() {
  Published& p = published();
  std::lock_guard<std::mutex> lock(p.m);
  return p.allowedPeers;
}

std::shared_ptr<const VendorTable> getVendorTable() {
  Published& p = published();
  std::lock_guard<std::mutex> lock(p.m);
  return p.vendors;
}

void getUncRoot(char* out, uint32_t size) {
  if (out == nullptr || size == 0) return;
  std::shared_ptr<const std::string> root;
  {
    Published& p = published();
    std::lock_guard<std::mutex> lock(p.m);
    root = p.uncRoot;
  }
  size_t n = root->size() < size - 1 ? root->size() : size - 1;
  std::memcpy(out, root->data(), n);
  out[n] = '\0';
}

int loadVendorInfo(const char* cfgPath) {
  if (cfgPath == nullptr) {
    AV_ERR("Null pointer.");
    return 0;
  }
  uint32_t num = static_cast<uint32_t>(ini_GetInt("AV_GENERAL", "VendorNum", 0, cfgPath));
  AV_INFO("Load vendor num %d.", static_cast<int>(num));
  if (num == 0 || num > AV_MAX_VENDORS) return 0;

  if (getVendorTable()->records != nullptr) AV_WARN("Load vendor more times.");

  uint32_t bytes = num * static_cast<uint32_t>(sizeof(VendorRecord));
  auto* records = static_cast<VendorRecord*>(allocAVPoolMem(getAVPool(), bytes));
  if (records == nullptr) {
    AV_ERR("Load vendors failed. Memory(size %d) is not enough.", static_cast<int>(bytes));
    return 0;
  }
  std::memset(records, 0, bytes);
  // The table owns the records from here on, whatever happens next.
  VendorTable* raw = new (std::nothrow) VendorTable();
  if (raw == nullptr) {
    freeAVPoolMem(getAVPool(), records);
    AV_ERR("Load vendors failed. Memory(size %d) is not enough.", static_cast<int>(bytes));
    return 0;
  }
  raw->records = records;
  raw->count = num;
  std::shared_ptr<VendorTable> table;
  try {
    table.reset(raw);
  } catch (...) {  // reset deletes raw (and so the records) when it throws
    AV_ERR("Load vendors failed. Memory(size %d) is not enough.", static_cast<int>(bytes));
    return 0;
  }

  for (uint32_t i = 0; i < num; ++i) {
    char section[33] = {0};
    std::snprintf(section, sizeof section, "AV_VENDOR%u", i + 1);
    VendorRecord& rec = records[i];
    ini_GetString(section, "VendorName", "", rec.vendorName, sizeof rec.vendorName, cfgPath);
    ini_GetString(section, "ProcessNameList", "", rec.processNameList, sizeof rec.processNameList,
                  cfgPath);
    AV_INFO("Load vendor%d %s, process %s.", static_cast<int>(i + 1), rec.vendorName,
            rec.processNameList);
  }
  publishVendorTable(std::move(table));
  return 1;
}

int initSettingFromCfg() {
  std::lock_guard<std::mutex> reload(reloadMutex());

  char path[kCfgPathSize] = {0};
  uint32_t pathResult = getCfgFilePath(path, sizeof path);
  if (pathResult != 0) {
    AV_ERR("GetProcessFilePath failed(%d).", static_cast<int>(pathResult));
    return 0;
  }

  g_avAgentPort.store(ini_GetInt(kAgentSection, "Port", kMissing, path));
  g_icapPort.store(ini_GetInt(kAgentSection, "IcapPort", 1344, path));
  g_maxJobsNo.store(ini_GetInt(kAgentSection, "MaxJobNo", kMissing, path));
  g_flowJobsNo.store(ini_GetInt(kAgentSection, "FlowJobNo", kMissing, path));
  g_portConnectTimeOut.store(ini_GetInt(kAgentSection, "PortConnectTimeOut", kMissing, path));
  int logFileNum = ini_GetInt(kAgentSection, "LogFileNum", 100, path);
  int logLevel = ini_GetInt(kAgentSection, "LogLevel", 4, path);

  char credential[256] = {0};
  char rootKey[16] = {0};
  char iv[16] = {0};
  char salt[16] = {0};
  // A plain-text key in Pwd lives in this buffer until the function returns,
  // by whichever path: it is cleansed then.
  CleansedBuffer<64> pwdBuf;
  char* pwd = pwdBuf.c();
  uint32_t pwdLength = 0;
  ini_GetString(kAgentSection, "Credential", AV_DEFAULT_CREDENTIAL, credential, sizeof credential,
                path);
  ini_GetString(kAgentSection, "RootKey", AV_DEFAULT_ROOTKEY, rootKey, sizeof rootKey, path);
  ini_GetString(kAgentSection, "Iv", AV_DEFAULT_IV, iv, sizeof iv, path);
  ini_GetString(kAgentSection, "Salt", AV_DEFAULT_SALT, salt, sizeof salt, path);
  ini_GetStringLen(kAgentSection, "Pwd", "null", pwd, sizeof pwdBuf.b, path, &pwdLength);

  // An empty UncRoot would turn share paths into paths relative to the
  // installation root; it falls back to the default like a missing key.
  char uncRoot[256] = {0};
  ini_GetString(kAgentSection, "UncRoot", kDefaultUncRoot, uncRoot, sizeof uncRoot, path);
  publishUncRoot(uncRoot[0] != '\0' ? uncRoot : kDefaultUncRoot);

  if (g_avAgentPort.load() == kMissing || g_maxJobsNo.load() == kMissing ||
      g_flowJobsNo.load() == kMissing || g_portConnectTimeOut.load() == kMissing) {
    AV_ERR("Get private is failed.");
    return 0;
  }

  BRIM_SetModuleLogLevel(AV_MODULE_AGENT, static_cast<uint32_t>(logLevel) & 0xFF);
  BRIM_SetLogFileNum(static_cast<uint32_t>(logFileNum));

  int32_t port = g_avAgentPort.load();
  if (port > 65535 || port < 0) {
    AV_ERR("Port is invalid.");
    return 0;
  }
  if (g_maxJobsNo.load() < 0) {
    AV_ERR("MaxJobNo is invalid.");
    return 0;
  }
  if (g_flowJobsNo.load() < 0) {
    AV_ERR("FlowJobNo is invalid.");
    return 0;
  }
  if (!loadPeerSettings(path)) return 0;

  if (std::strcmp(pwd, "null") != 0 || pwdLength != 4) {
    // The length in the file, not the cut text, decides: an overlong Pwd is
    // refused rather than stored as its first 63 characters.
    int ret = updateAvAgentSharedKeyBypwdRead(pwd, pwdLength, path);
    bool isDefaultKey = std::strcmp(pwd, AV_DEFAULT_PRESHARED_KEY) == 0;
    if (ret != 0) {
      AV_ERR("Failed to reset the antivirus pre-shared key, error-code(%d).", ret);
      return 0;
    }
    AV_INFO("Succeeded in setting the antivirus pre-shared key. ");
    if (isDefaultKey)
      AV_WARN("The agent runs with the built-in default pre-shared key; set a key of your own "
              "through Pwd in agentConfig.ini.");
  } else {
    int ret = updateAvAgentSharedKeyByCfg(credential, iv, rootKey, salt);
    if (ret != 0) {
      AV_ERR("Failed to reset the antivirus pre-shared key, error-code(%d).", ret);
      return 0;
    }
    if (equalsNoCase(credential, AV_DEFAULT_CREDENTIAL))
      AV_WARN("The agent runs with the built-in default pre-shared key; set a key of your own "
              "through Pwd in agentConfig.ini.");
  }

  AV_INFO("g_avAgentPort: %d", g_avAgentPort.load());
  AV_INFO("g_maxJobsNo: %d, g_flowJobsNo: %d, g_portConnectTimeOut: %d", g_maxJobsNo.load(),
          g_flowJobsNo.load(), g_portConnectTimeOut.load());

  if (loadVendorInfo(path) == 0) {
    AV_ERR("Get vendors is failed.");
    return 0;
  }
  return 1;
}

int createCfgMonitorThread() {
  Monitor& mon = monitor();
  std::unique_lock<std::mutex> lock(mon.m);
  if (mon.running) return 0;
  mon.stopRequested = false;
  mon.running = true;
  try {
    std::thread(ThreadProcOfMonitorProcessExist).detach();
  } catch (const std::system_error& e) {
    mon.running = false;
    lock.unlock();
    AV_ERR("CreateThread(ThreadProcOfMonitorProcessExist) -> failed(%u)",
           static_cast<unsigned>(e.code().value()));
    return -1;
  }
  // Return once changes are watched, so that a write right after start-up is
  // not missed (a failure to watch ends the process instead).
  mon.cv.wait_for(lock, std::chrono::seconds(2), [&] { return mon.watchOpen || !mon.running; });
  return 0;
}

void stopCfgMonitorThreadForTest() {
  Monitor& mon = monitor();
  std::unique_lock<std::mutex> lock(mon.m);
  if (!mon.running) return;
  mon.stopRequested = true;
  if (mon.watchOpen) dirWatch_Wake(&mon.watch);
  mon.cv.wait_for(lock, std::chrono::seconds(5), [&] { return !mon.running; });
}

uint32_t getCfgMonitorReloadCount() { return monitor().reloads.load(); }

// Configuration: reads cfg/agentConfig.ini into a new settings value, checks
// it, loads or resets the pre-shared key and publishes the value whole; a
// watcher thread repeats the load after every write in cfg/.
//
// Design: parse, check, then publish. Nothing a reader can see changes until
// every key has been read and checked, the vendor table built and the key
// derived; a refused file is logged and leaves the running settings as they
// were. The order is: required keys, their checks, the peer policy, the vendor
// table, then the key (a reset by Pwd rewrites the file, so it runs only for a
// file that is otherwise accepted), then publication. Scalars are atomic words
// stored at publication; texts that readers copy (UncRoot), the peer allow list
// and the vendor table are immutable objects swapped in under a small mutex: a
// reader keeps the object it got alive. Reloads themselves are serialised (the
// watcher and a direct call may overlap), since the key operations they call
// keep process-wide state without a lock of their own.
#include "runtime/config.h"

#include <cerrno>
#include <cstdarg>
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
#include "platform/file.h"
#include "platform/ini_file.h"
#include "platform/peer_addr.h"
#include "platform/process.h"
#include "platform/trigger_open.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"
#include "runtime/metrics.h"
#include "runtime/service_watch.h"
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
constexpr int64_t kIntMin = INT32_MIN;
constexpr int64_t kIntMax = INT32_MAX;

std::atomic<int32_t> g_icapPort{1344};
std::atomic<int32_t> g_icapStrict{0};

// Published objects. The holder is never destroyed, so a detached thread that
// still reads at process exit never meets a destroyed mutex.
struct Published {
  std::mutex m;
  std::shared_ptr<const VendorTable> vendors = std::make_shared<const VendorTable>();
  std::shared_ptr<const std::string> uncRoot = std::make_shared<const std::string>(triggerOpen_DefaultRoot());
  std::shared_ptr<const PeerAllowList> allowedPeers = std::make_shared<const PeerAllowList>();
  std::shared_ptr<const std::string> canaryPath = std::make_shared<const std::string>();
  std::string cfgRoot;  // set by tests and tools; empty: the executable's folder
  std::string listenAddress;
};

Published& published() {
  static Published* p = new Published();
  return *p;
}

std::mutex& reloadMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}

// The first reason the current load was refused for, in words an operator
// can act on; start-up prints it under its "Configuration file is bad." line.
// Written only under the reload mutex.
char g_refusal[256];

void noteRefusal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void noteRefusal(const char* fmt, ...) {
  if (g_refusal[0] != '\0') return;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(g_refusal, sizeof g_refusal, fmt, ap);
  va_end(ap);
}

// The operator's record of a refused load: the log line and the start-up
// reason at once, naming the key, its value and the file.
#define CFG_REFUSE(fmt, ...)          \
  do {                                \
    AV_ERR(fmt, ##__VA_ARGS__);       \
    noteRefusal(fmt, ##__VA_ARGS__);  \
  } while (0)

// One load: the snapshot and the file it came from, for the refusal lines.
struct CfgFile {
  const IniSnapshot* ini;
  const char* path;
};

// An integer key, read as text so that a value that is not a decimal number
// is refused by name instead of being read as 0 (or as its leading digits).
// A missing key gives def; a value outside [min, max] is refused.
bool readIntKey(const CfgFile& f, const char* section, const char* key, int32_t def, int64_t min,
                int64_t max, int32_t* out) {
  static const char kAbsent[] = "\x01";  // never the value of a trimmed line
  char text[64] = {0};
  uint32_t len = 0;
  ini_SnapString(f.ini, section, key, kAbsent, text, sizeof text, &len);
  if (std::strcmp(text, kAbsent) == 0) {
    *out = def;
    return true;
  }
  const char* p = text + ((text[0] == '-' || text[0] == '+') ? 1 : 0);
  bool digits = *p != '\0' && len < sizeof text;
  int64_t value = 0;
  for (; digits && *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') digits = false;
    else if (value <= kIntMax) value = value * 10 + (*p - '0');  // stops growing past the range
  }
  if (!digits) {
    CFG_REFUSE("Refused %s=%s in %s: not a number.", key, text, f.path);
    return false;
  }
  if (text[0] == '-') value = -value;
  if (value < min || value > max) {
    CFG_REFUSE("Refused %s=%s in %s: out of range %lld to %lld.", key, text, f.path,
               static_cast<long long>(min), static_cast<long long>(max));
    return false;
  }
  *out = static_cast<int32_t>(value);
  return true;
}

// Publishes a whole, validated settings value: the objects readers hold are
// swapped under the lock, the words stored after them, the log settings last.
void publishSettings(const AgentSettings& s) {
  Published& p = published();
  std::shared_ptr<const VendorTable> oldVendors = s.vendors;
  std::shared_ptr<const std::string> oldRoot = s.uncRoot;
  std::shared_ptr<const PeerAllowList> oldPeers = s.allowedPeers;
  std::shared_ptr<const std::string> oldCanary = s.canaryPath;
  {
    std::lock_guard<std::mutex> lock(p.m);
    p.vendors.swap(oldVendors);
    p.uncRoot.swap(oldRoot);
    p.allowedPeers.swap(oldPeers);
    p.canaryPath.swap(oldCanary);
    p.listenAddress = s.listenAddress;
  }
  // A verdict about another canary (or none) no longer describes this one.
  if (*oldCanary != *s.canaryPath) metrics_SetCanaryProtected(-1);
  // The old objects are released here, outside the lock, once their last reader lets go.
  g_avAgentPort.store(s.port);
  g_icapPort.store(s.icapPort);
  g_maxJobsNo.store(s.maxJobs);
  g_flowJobsNo.store(s.flowJobs);
  g_portConnectTimeOut.store(s.portConnectTimeOut);
  g_handshakeTimeOut.store(s.handshakeTimeOut);
  g_handshakeFailLimit.store(s.handshakeFailLimit);
  g_handshakeFailWindow.store(s.handshakeFailWindow);
  g_handshakeBanTime.store(s.handshakeBanTime);
  g_icapStrict.store(s.icapStrict);
  BRIM_SetModuleLogLevel(AV_MODULE_AGENT, static_cast<uint32_t>(s.logLevel) & 0xFF);
  BRIM_SetLogFileNum(static_cast<uint32_t>(s.logFileNum));
  metrics_SetFile(s.metricsFile.c_str());
}

// The scalar keys, UncRoot, MetricsFile and ListenAddress. False (logged)
// when a value is not a number, a required key is missing or a text does not
// fit. Ranges the other checks give their own described lines for are only
// bounded to 32 bits here.
bool readAgentSettings(const CfgFile& f, AgentSettings* s) {
  const IniSnapshot* ini = f.ini;
  if (!readIntKey(f, kAgentSection, "Port", kMissing, kIntMin, kIntMax, &s->port) ||
      !readIntKey(f, kAgentSection, "IcapPort", 1344, kIntMin, kIntMax, &s->icapPort) ||
      !readIntKey(f, kAgentSection, "MaxJobNo", kMissing, kIntMin, kIntMax, &s->maxJobs) ||
      !readIntKey(f, kAgentSection, "FlowJobNo", kMissing, kIntMin, kIntMax, &s->flowJobs) ||
      !readIntKey(f, kAgentSection, "PortConnectTimeOut", kMissing, kIntMin, kIntMax,
                  &s->portConnectTimeOut) ||
      !readIntKey(f, kAgentSection, "LogFileNum", 100, kIntMin, kIntMax, &s->logFileNum) ||
      !readIntKey(f, kAgentSection, "LogLevel", 4, kIntMin, kIntMax, &s->logLevel))
    return false;
  // An empty UncRoot would turn share paths into paths relative to the
  // installation root; it falls back to the default like a missing key.
  char uncRoot[256] = {0};
  ini_SnapString(ini, kAgentSection, "UncRoot", triggerOpen_DefaultRoot(), uncRoot, sizeof uncRoot, nullptr);
  // A cut path would name another file, so an overlong MetricsFile is refused.
  char metricsFile[256] = {0};
  uint32_t metricsLen = 0;
  ini_SnapString(ini, kAgentSection, "MetricsFile", "", metricsFile, sizeof metricsFile,
                 &metricsLen);
  // A relative one would let a share path name the agent's own files.
  if (uncRoot[0] != '\0' && !file_IsAbsolutePath(uncRoot)) {
    CFG_REFUSE("Refused UncRoot=%s in %s: not an absolute path.", uncRoot, f.path);
    return false;
  }
  if (metricsLen >= sizeof metricsFile) {
    AV_ERR("MetricsFile is invalid(too long: %u).", metricsLen);
    noteRefusal("MetricsFile in %s is too long (%u characters; at most 255).", f.path, metricsLen);
    return false;
  }
  // Numeric only: the listeners bind it as it is, and a name could resolve
  // to another address at every start.
  char listen[PEER_ADDR_TEXT_SIZE] = {0};
  uint32_t listenLen = 0;
  ini_SnapString(ini, kAgentSection, "ListenAddress", "", listen, sizeof listen, &listenLen);
  PeerAddr parsed;
  if (listen[0] != '\0' &&
      (listenLen >= sizeof listen || peerAddr_FromText(listen, &parsed, nullptr) != 0)) {
    CFG_REFUSE("Refused ListenAddress=%s in %s: not an IPv4 or IPv6 address.", listen, f.path);
    return false;
  }
  try {
    s->uncRoot =
        std::make_shared<const std::string>(uncRoot[0] != '\0' ? uncRoot : triggerOpen_DefaultRoot());
    s->metricsFile = metricsFile;
    s->listenAddress = listen;
  } catch (...) {
    AV_ERR("UncRoot, MetricsFile: no memory.");
    return false;
  }
  bool missing = false;
  for (const auto& [name, value] :
       {std::pair{"Port", s->port}, std::pair{"MaxJobNo", s->maxJobs},
        std::pair{"FlowJobNo", s->flowJobs}, std::pair{"PortConnectTimeOut", s->portConnectTimeOut}})
    if (value == kMissing) {
      if (!missing) noteRefusal("%s is missing in [%s] of %s.", name, kAgentSection, f.path);
      missing = true;
    }
  if (missing) {
    AV_ERR("Get private is failed.");
    return false;
  }
  return true;
}

bool checkAgentSettings(const AgentSettings& s, const char* path) {
  if (s.port > 65535 || s.port < 0) {
    AV_ERR("Port is invalid.");
    CFG_REFUSE("Refused Port=%d in %s: out of range 0 to 65535.", s.port, path);
    return false;
  }
  if (s.maxJobs < 0) {
    AV_ERR("MaxJobNo is invalid.");
    CFG_REFUSE("Refused MaxJobNo=%d in %s: out of range 0 to 2147483647.", s.maxJobs, path);
    return false;
  }
  if (s.flowJobs < 0) {
    AV_ERR("FlowJobNo is invalid.");
    CFG_REFUSE("Refused FlowJobNo=%d in %s: out of range 0 to 2147483647.", s.flowJobs, path);
    return false;
  }
  return true;
}

// The peer policy keys. A cut AllowedPeers text could silently drop entries,
// so a value that fills its buffer is refused as too long.
bool readPeerSettings(const CfgFile& f, AgentSettings* s) {
  const IniSnapshot* ini = f.ini;
  struct IntKey {
    const char* name;
    int def, min, max;
    int32_t* out;
  } keys[] = {
      {"HandshakeTimeOut", 30000, 100, 600000, &s->handshakeTimeOut},
      {"HandshakeFailLimit", 20, 0, 1000000, &s->handshakeFailLimit},
      {"HandshakeFailWindow", 60, 1, 86400, &s->handshakeFailWindow},
      {"HandshakeBanTime", 60, 1, 86400, &s->handshakeBanTime},
  };
  for (IntKey& k : keys) {
    if (!readIntKey(f, kAgentSection, k.name, k.def, kIntMin, kIntMax, k.out)) return false;
    if (*k.out < k.min || *k.out > k.max) {
      AV_ERR("%s is invalid(%d).", k.name, *k.out);
      CFG_REFUSE("Refused %s=%d in %s: out of range %d to %d.", k.name, *k.out, f.path, k.min,
                 k.max);
      return false;
    }
  }
  char text[4096] = {0};
  int len = ini_SnapString(ini, kAgentSection, "AllowedPeers", "", text, sizeof text, nullptr);
  if (len >= static_cast<int>(sizeof text) - 1) {
    AV_ERR("AllowedPeers is invalid(too long: %d characters or more).", len);
    noteRefusal("AllowedPeers in %s is too long (at most 4095 characters).", f.path);
    return false;
  }
  PeerAllowList parsed;
  char bad[64] = {0};
  if (pg_ParseAllowList(text, &parsed, bad, sizeof bad) != 0) {
    AV_ERR("AllowedPeers is invalid(%s).", bad);
    noteRefusal("Refused AllowedPeers entry %s in %s: not an address or CIDR range.", bad, f.path);
    return false;
  }
  try {
    s->allowedPeers = std::make_shared<const PeerAllowList>(parsed);
  } catch (...) {
    AV_ERR("AllowedPeers: no memory.");
    return false;
  }
  return true;
}

// CanaryPath and IcapStrict. A canary must be named by an absolute path that
// fits whole (a cut or relative one would probe another file), and IcapStrict
// is 0 or 1; anything else refuses the load.
bool readProtectionSettings(const CfgFile& f, AgentSettings* s) {
  const IniSnapshot* ini = f.ini;
  if (!readIntKey(f, kAgentSection, "IcapStrict", 0, 0, 1, &s->icapStrict)) return false;
  char canary[256] = {0};
  uint32_t len = 0;
  ini_SnapString(ini, kAgentSection, "CanaryPath", "", canary, sizeof canary, &len);
  if (len >= sizeof canary) {
    AV_ERR("CanaryPath is invalid(too long: %u).", len);
    noteRefusal("CanaryPath in %s is too long (at most 255 characters).", f.path);
    return false;
  }
  if (canary[0] != '\0' && !file_IsAbsolutePath(canary)) {
    AV_ERR("CanaryPath is invalid(not an absolute path: %s).", canary);
    noteRefusal("Refused CanaryPath=%s in %s: not an absolute path.", canary, f.path);
    return false;
  }
  try {
    s->canaryPath = std::make_shared<const std::string>(canary);
  } catch (...) {
    AV_ERR("CanaryPath: no memory.");
    return false;
  }
  return true;
}

// The vendor table of the file, not yet published (its records are logged
// under this name); null when
// VendorNum is 0 or above 128 or memory runs out.
std::shared_ptr<const VendorTable> loadVendorInfo(const CfgFile& f) {
  const IniSnapshot* ini = f.ini;
  int32_t read = 0;
  if (!readIntKey(f, "AV_GENERAL", "VendorNum", 0, kIntMin, kIntMax, &read)) return nullptr;
  uint32_t num = static_cast<uint32_t>(read);
  AV_INFO("Load vendor num %d.", static_cast<int>(num));
  if (num == 0 || num > AV_MAX_VENDORS) {
    noteRefusal("VendorNum in [AV_GENERAL] of %s is %s; it must be 1 to 128.", f.path,
                read == 0 ? "0 or missing" : "out of range");
    return nullptr;
  }

  if (getVendorTable()->records != nullptr) AV_WARN("Load vendor more times.");

  uint32_t bytes = num * static_cast<uint32_t>(sizeof(VendorRecord));
  auto* records = static_cast<VendorRecord*>(allocAVPoolMem(getAVPool(), bytes));
  if (records == nullptr) {
    AV_ERR("Load vendors failed. Memory(size %d) is not enough.", static_cast<int>(bytes));
    return nullptr;
  }
  std::memset(records, 0, bytes);
  // The table owns the records from here on, whatever happens next.
  VendorTable* raw = new (std::nothrow) VendorTable();
  if (raw == nullptr) {
    freeAVPoolMem(getAVPool(), records);
    AV_ERR("Load vendors failed. Memory(size %d) is not enough.", static_cast<int>(bytes));
    return nullptr;
  }
  raw->records = records;
  raw->count = num;
  std::shared_ptr<VendorTable> table;
  try {
    table.reset(raw);
  } catch (...) {  // reset deletes raw (and so the records) when it throws
    AV_ERR("Load vendors failed. Memory(size %d) is not enough.", static_cast<int>(bytes));
    return nullptr;
  }
  for (uint32_t i = 0; i < num; ++i) {
    char section[33] = {0};
    std::snprintf(section, sizeof section, "AV_VENDOR%u", i + 1);
    VendorRecord& rec = records[i];
    ini_SnapString(ini, section, "VendorName", "", rec.vendorName, sizeof rec.vendorName, nullptr);
    ini_SnapString(ini, section, "ProcessNameList", "", rec.processNameList,
                   sizeof rec.processNameList, nullptr);
    AV_INFO("Load vendor%d %s, process %s.", static_cast<int>(i + 1), rec.vendorName,
            rec.processNameList);
  }
  return table;
}

bool equalsNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b)))
      return false;
  return *a == *b;
}

void warnIfDefaultKey(bool isDefault) {
  if (isDefault)
    AV_WARN("The agent runs with the built-in default pre-shared key; set a key of your own "
            "through Pwd in agentConfig.ini.");
}

// Resets the pre-shared key from Pwd (which rewrites the file) or loads it
// from Credential. False (logged) when that fails.
bool loadSharedKey(const CfgFile& f) {
  const IniSnapshot* ini = f.ini;
  const char* path = f.path;
  char credential[256] = {0};
  char rootKey[16] = {0};
  char iv[16] = {0};
  char salt[16] = {0};
  // A plain-text key in Pwd lives in this buffer until the function returns,
  // by whichever path: it is cleansed then.
  CleansedBuffer<64> pwdBuf;
  char* pwd = pwdBuf.c();
  uint32_t pwdLength = 0;
  ini_SnapString(ini, kAgentSection, "Pwd", "null", pwd, sizeof pwdBuf.b, &pwdLength);

  if (std::strcmp(pwd, "null") != 0 || pwdLength != 4) {
    // The length in the file, not the cut text, decides: an overlong Pwd is
    // refused rather than stored as its first 63 characters.
    int ret = updateAvAgentSharedKeyBypwdRead(pwd, pwdLength, path);
    if (ret != 0) {
      AV_ERR("Failed to reset the antivirus pre-shared key, error-code(%d).", ret);
      char rule[128] = {0};
      pwdRefusalReason(pwd, pwdLength, rule, sizeof rule);
      CFG_REFUSE("Refused Pwd in %s: %s. Nothing was stored; Pwd is left in the file.", path,
                 rule);
      return false;
    }
    AV_INFO("Succeeded in setting the antivirus pre-shared key. ");
    warnIfDefaultKey(std::strcmp(pwd, AV_DEFAULT_PRESHARED_KEY) == 0);
    return true;
  }
  ini_SnapString(ini, kAgentSection, "Credential", AV_DEFAULT_CREDENTIAL, credential,
                 sizeof credential, nullptr);
  ini_SnapString(ini, kAgentSection, "RootKey", AV_DEFAULT_ROOTKEY, rootKey, sizeof rootKey,
                 nullptr);
  ini_SnapString(ini, kAgentSection, "Iv", AV_DEFAULT_IV, iv, sizeof iv, nullptr);
  ini_SnapString(ini, kAgentSection, "Salt", AV_DEFAULT_SALT, salt, sizeof salt, nullptr);
  int ret = updateAvAgentSharedKeyByCfg(credential, iv, rootKey, salt);
  if (ret != 0) {
    AV_ERR("Failed to reset the antivirus pre-shared key, error-code(%d).", ret);
    noteRefusal("The stored key (Credential, Iv, RootKey, Salt) in %s is unusable or weak; set a "
                "new key through Pwd.", path);
    return false;
  }
  warnIfDefaultKey(equalsNoCase(credential, AV_DEFAULT_CREDENTIAL));
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
  AvBeatGuard beat(AvBeatGroup::kCfgWatcher);  // liveness: parked in the wait, busy reloading
  for (;;) {
    beat.park();
    int r = dirWatch_Wait(&w);
    beat.busy();
    if (r == 1) {
      (void)initSettingFromCfg();
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

void getCfgRefusal(char* out, uint32_t size) {
  if (out == nullptr || size == 0) return;
  std::lock_guard<std::mutex> reload(reloadMutex());
  std::snprintf(out, size, "%s", g_refusal);
}

void getListenAddress(char* out, uint32_t size) {
  if (out == nullptr || size == 0) return;
  Published& p = published();
  std::lock_guard<std::mutex> lock(p.m);
  std::snprintf(out, size, "%s", p.listenAddress.c_str());
}

uint16_t getIcapPort() { return static_cast<uint16_t>(g_icapPort.load() & 0xFFFF); }

std::shared_ptr<const PeerAllowList> getAllowedPeers() {
  Published& p = published();
  std::lock_guard<std::mutex> lock(p.m);
  return p.allowedPeers;
}

std::shared_ptr<const std::string> getCanaryPath() {
  Published& p = published();
  std::lock_guard<std::mutex> lock(p.m);
  return p.canaryPath;
}

bool getIcapStrict() { return g_icapStrict.load() == 1; }

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

int initSettingFromCfg() {
  std::lock_guard<std::mutex> reload(reloadMutex());

  char path[kCfgPathSize] = {0};
  uint32_t pathResult = getCfgFilePath(path, sizeof path);
  if (pathResult != 0) {
    AV_ERR("GetProcessFilePath failed(%d).", static_cast<int>(pathResult));
    return 0;
  }
  g_refusal[0] = '\0';
  // One reading of the file: a reload never mixes two versions of it.
  IniSnapshotPtr file = ini_Snapshot(path);
  const CfgFile f{file.get(), path};
  if (f.ini == nullptr) CFG_REFUSE("Configuration file %s is missing or unreadable.", path);
  AgentSettings next;
  if (!readAgentSettings(f, &next) || !checkAgentSettings(next, path) || !readPeerSettings(f, &next) ||
      !readProtectionSettings(f, &next))
    return 0;
  next.vendors = loadVendorInfo(f);
  if (!next.vendors) {
    AV_ERR("Get vendors is failed.");
    return 0;
  }
  // The key comes last of the fallible steps: a reset by Pwd rewrites the
  // file, which must not happen for a file that is refused anyway.
  if (!loadSharedKey(f)) return 0;

  publishSettings(next);
  AV_INFO("g_avAgentPort: %d", next.port);
  AV_INFO("g_maxJobsNo: %d, g_flowJobsNo: %d, g_portConnectTimeOut: %d", next.maxJobs,
          next.flowJobs, next.portConnectTimeOut);
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


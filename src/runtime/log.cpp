// Log module.
//
// Design: the hot path is filter -> observer -> format -> one locked append.
// The filter reads the shared settings block with relaxed atomic loads, so a
// dropped record costs a few loads and nothing else. Message, time and line are
// formatted before the writers' mutex is taken; the mutex only covers keeping the
// descriptor (rotation, pruning, opening) and the append, and the append itself
// also holds the byte-0 record lock that orders writers in other processes.
// Records logged from inside the writer (a failed lock or close reported by the
// OS helper layer) reach the observer but are not written: writing them would
// re-enter the writers' mutex. The byte-0 wait is bounded (100 ms, then the
// line is written without it, and later lines only try once until the byte is
// free again), so a reader holding the byte cannot stall the writers.

#include "runtime/log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "runtime/metrics.h"
#include "runtime/os_helper.h"

namespace {

constexpr uint32_t kMagic = 0x78ABC001u;
constexpr size_t kBlockSize = 1064;
constexpr size_t kOffDefault = 4;
constexpr size_t kOffLevels = 5;
constexpr size_t kResetBytes = 1032;
constexpr size_t kOffStamp = 1040;  // year, month, day, hour, minute
constexpr uint32_t kModules = 1024;
constexpr int64_t kRotateSize = 8388608;
constexpr uint8_t kDefaultLevel = 4;
constexpr const char* kSettingsPath = "./tmp/dbglog.cfg";
constexpr const char* kLevelNames[] = {"", "CRI", "ERR", "WARN", "INFO", "DBG"};

struct Stamp {
  uint32_t f[5];  // year, month, day, hour, minute
  bool operator==(const Stamp&) const = default;
  bool zero() const { return f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 0 && f[4] == 0; }
  // A stamp read back from a reset or foreign block can hold anything; only a
  // real calendar minute may name a file.
  bool valid() const {
    return f[0] >= 1970 && f[0] <= 9999 && f[1] >= 1 && f[1] <= 12 && f[2] >= 1 && f[2] <= 31 &&
           f[3] <= 23 && f[4] <= 59;
  }
};

// Initialisation state.
std::atomic<bool> g_ready{false};
std::mutex g_initMutex;
thread_local bool t_initialising = false;
std::atomic<uint8_t*> g_block{nullptr};
int g_settingsFd = -1;  // stays open for the life of the process
const char* g_moduleNames[kModules];
char g_processName[24] = "NoneProcess";


std::atomic<AvLogObserver> g_observer{nullptr};
std::atomic<uint32_t> g_logFileNum{100};

// Writer state, all guarded by g_writers.
std::mutex g_writers;
char g_logDir[256] = "./log";
int g_logFd = -1;
Stamp g_localStamp{};
int64_t g_lastCheckMinute = -1;
int64_t g_knownSize = 0;  // the open file's size as last read, plus this process's appends since
int64_t g_lastAttemptMinute = -1;
uint32_t g_failedOpens = 0;
bool g_byteLockStalled = false;  // the last bounded wait for byte 0 ran out
thread_local bool t_inWriter = false;

// Byte 0 only orders this module's writers, each holding it for one write;
// anyone who can open the file can hold it for ever, so the wait is bounded.
constexpr int kByteLockWaitMs = 100;
// Records and level settings are the operator's: whatever the umask or an
// older file allowed, nothing past owner read-write and group read remains.
// A file of another owner cannot be changed and is used as it is.
constexpr unsigned kFileMode = 0640;

// Opens a file of this module for read-write and takes its mode down to kFileMode.
int openOwnFile(const char* path, bool append) {
  int fd = -1;
  if (file_OpenReadWrite(path, append, kFileMode, &fd) != 0) return -1;
  file_RestrictMode(fd, kFileMode);
  return fd;
}

uint32_t load32(uint8_t* b, size_t off) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(b + off))
      .load(std::memory_order_seq_cst);
}
void store32(uint8_t* b, size_t off, uint32_t v) {
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(b + off)).store(v, std::memory_order_seq_cst);
}
uint8_t load8(uint8_t* b, size_t off) {
  return std::atomic_ref<uint8_t>(b[off]).load(std::memory_order_relaxed);
}
void store8(uint8_t* b, size_t off, uint8_t v) {
  std::atomic_ref<uint8_t>(b[off]).store(v, std::memory_order_relaxed);
}

Stamp loadSharedStamp(uint8_t* b) {
  Stamp s{};
  for (int i = 0; i < 5; ++i) s.f[i] = load32(b, kOffStamp + 4 * i);
  return s;
}
void storeSharedStamp(uint8_t* b, const Stamp& s) {
  for (int i = 0; i < 5; ++i) store32(b, kOffStamp + 4 * i, s.f[i]);
}

Stamp stampOf(const struct tm& tm) {
  return Stamp{{static_cast<uint32_t>(tm.tm_year + 1900), static_cast<uint32_t>(tm.tm_mon + 1),
                static_cast<uint32_t>(tm.tm_mday), static_cast<uint32_t>(tm.tm_hour),
                static_cast<uint32_t>(tm.tm_min)}};
}

// A new or foreign block gets the defaults; the year to hour of the name stamp
// survive, the minute is marked unset. The magic goes last so another process
// that sees it also sees the defaults.
void checkMagic(uint8_t* b) {
  if (load32(b, 0) == kMagic) return;
  for (size_t i = 0; i < kResetBytes; ++i) store8(b, i, 0);
  store8(b, kOffDefault, kDefaultLevel);
  store32(b, kOffStamp + 16, 0xFFFFFFFFu);
  store32(b, 0, kMagic);
}

enum MapResult { kMapped = 0, kCannotOpen = -1, kCannotMap = -2 };

MapResult mapSettingsFile(const char* path, uint8_t** blockOut, int* fdOut) {
  *blockOut = nullptr;
  *fdOut = -1;
  int fd = openOwnFile(path, false);
  if (fd < 0) return kCannotOpen;
  // A mapping past the end of the file faults on access: extend it first.
  void* p = nullptr;
  if (file_EnsureSize(fd, kBlockSize) != 0 || file_MapShared(fd, kBlockSize, &p) != 0) {
    BRIM_close(fd);
    return kCannotMap;
  }
  checkMagic(static_cast<uint8_t*>(p));
  *blockOut = static_cast<uint8_t*>(p);
  *fdOut = fd;
  return kMapped;
}

void loadProcessName() {
  char path[4096];
  if (proc_ExePath(0, path, sizeof(path)) != 0) return;  // keeps "NoneProcess"
  const char* slash = strrchr(path, '/');
  if (const char* back = strrchr(path, '\\'); back && (!slash || back > slash)) slash = back;
  const char* name = slash ? slash + 1 : path;
  size_t len = std::min(strlen(name), sizeof(g_processName) - 1);
  memcpy(g_processName, name, len);
  g_processName[len] = '\0';
}

// Caller holds g_initMutex.
MapResult mapSettings() {
  uint8_t* block = nullptr;
  int fd = -1;
  MapResult rc = mapSettingsFile(kSettingsPath, &block, &fd);
  if (rc == kMapped) {
    g_settingsFd = fd;
    g_block.store(block, std::memory_order_release);
  }
  return rc;
}

void doInit() {
  for (auto& name : g_moduleNames) name = "NONE";
  g_moduleNames[AV_MODULE_BRIM] = "BRIM";
  loadProcessName();
  if (mapSettings() == kCannotOpen) {
    static const char kStars[] = "**************************************************************";
    printf("%s\nCan not open print level config file, log will not write to log file\n%s\n", kStars,
           kStars);
    fflush(stdout);
  }
}

void ensureInit() {
  if (g_ready.load(std::memory_order_acquire)) return;
  if (t_initialising) return;  // a record logged by the initialisation itself
  std::lock_guard<std::mutex> lock(g_initMutex);
  if (g_ready.load(std::memory_order_relaxed)) return;
  t_initialising = true;
  doInit();
  t_initialising = false;
  g_ready.store(true, std::memory_order_release);
}

bool passesFilter(uint32_t module, uint32_t level) {
  if (level > AVLOG_DBG) return false;
  if (module >= kModules) return true;
  uint8_t* b = g_block.load(std::memory_order_acquire);
  if (!b) return true;
  uint8_t own = load8(b, kOffLevels + module);
  if (own >= 1 && own <= 5) return own >= level;
  return load8(b, kOffDefault) >= level;
}

// Calendar fields and the formatted time of the last second this thread
// logged in: records come in bursts, and the conversion (zone rules under the
// C library's lock) and the formatting only change once a second. The C
// library reads the zone once per process for localtime_r, so reusing a
// second's result gives exactly what a fresh call would.
struct SecondCache {
  time_t sec = -1;
  struct tm tm {};
  char text[64] = "";
};
thread_local SecondCache t_second;

const SecondCache& calendarOf(time_t now) {
  SecondCache& c = t_second;
  if (c.sec != now) {
    localtime_r(&now, &c.tm);
    snprintf(c.text, sizeof(c.text), "%d-%02d-%02d %02d:%02d:%02d", c.tm.tm_year + 1900,
             c.tm.tm_mon + 1, c.tm.tm_mday, c.tm.tm_hour, c.tm.tm_min, c.tm.tm_sec);
    c.sec = now;
  }
  return c;
}

void cutFunctionName(const char* func, char out[33]) {
  size_t len = strlen(func);
  if (len <= 32) {
    memcpy(out, func, len + 1);
    return;
  }
  memcpy(out, func, 29);
  out[29] = '.';
  out[30] = '.';
  out[31] = func[len - 1];
  out[32] = '\0';
}

struct WriterFlag {
  WriterFlag() { t_inWriter = true; }
  ~WriterFlag() { t_inWriter = false; }
};

// Closes the open log file; g_writers held.
void closeLogFile() {
  if (g_logFd < 0) return;
  WriterFlag inWriter;
  BRIM_close(g_logFd);
  g_logFd = -1;
}

bool stampBefore(const Stamp& a, const Stamp& b) {
  for (int i = 0; i < 5; ++i)
    if (a.f[i] != b.f[i]) return a.f[i] < b.f[i];
  return false;
}

// The stamp of the file after `full`: the current minute, or the minute after
// full's when that is not later (a file filled within its own minute).
Stamp nextStamp(const Stamp& now, const Stamp& full) {
  if (stampBefore(full, now)) return now;
  struct tm t {};
  t.tm_year = static_cast<int>(full.f[0]) - 1900;
  t.tm_mon = static_cast<int>(full.f[1]) - 1;
  t.tm_mday = static_cast<int>(full.f[2]);
  t.tm_hour = static_cast<int>(full.f[3]);
  t.tm_min = static_cast<int>(full.f[4]) + 1;
  t.tm_isdst = -1;
  time_t next = mktime(&t);
  struct tm out {};
  if (next == static_cast<time_t>(-1) || localtime_r(&next, &out) == nullptr) return now;
  Stamp s = stampOf(out);
  return stampBefore(full, s) ? s : now;
}

// Rotation check on the open file: true keeps it. g_writers held.
bool keepLogFile(uint8_t* b, const struct tm& tm, int64_t minute) {
  Stamp shared = loadSharedStamp(b);
  if (g_localStamp.zero()) {
    g_localStamp = shared;
    return true;
  }
  if (minute == g_lastCheckMinute && g_knownSize < kRotateSize) return true;
  g_lastCheckMinute = minute;
  if (g_localStamp == shared) {
    int64_t size = 0;
    if (file_Size(g_logFd, &size) != 0) return true;
    g_knownSize = size;
    if (size < kRotateSize) return true;
    g_localStamp = nextStamp(stampOf(tm), g_localStamp);
    storeSharedStamp(b, g_localStamp);
  } else {
    g_localStamp = shared;  // another process has rotated
  }
  closeLogFile();
  return false;
}

// "logYYYYMMDDHHMM.log": the names this module gives its files.
bool isLogFileName(const std::string& name) {
  if (name.size() != 19 || name.compare(0, 3, "log") != 0 || name.compare(15, 4, ".log") != 0)
    return false;
  for (size_t i = 3; i < 15; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

// Keeps LogFileNum - 1 of the log files, so the one about to be opened makes
// LogFileNum. Only regular files named as this module names them are counted
// and deleted: anything else an operator keeps in the folder is left alone.
// g_writers held.
void pruneLogFiles() {
  uint32_t keep = g_logFileNum.load(std::memory_order_relaxed);
  std::vector<FileEntry> entries;
  if (file_ListRegular(g_logDir, "log", &entries) != 0) return;
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [](const FileEntry& e) { return !isLogFileName(e.name); }),
                entries.end());
  uint32_t count = static_cast<uint32_t>(entries.size());
  if (count < keep) return;
  std::sort(entries.begin(), entries.end(), [](const FileEntry& a, const FileEntry& b) {
    if (a.mtimeSec != b.mtimeSec) return a.mtimeSec < b.mtimeSec;
    if (a.mtimeNsec != b.mtimeNsec) return a.mtimeNsec < b.mtimeNsec;
    return a.name < b.name;
  });
  size_t toDelete = std::min<size_t>(static_cast<size_t>(count - keep) + 1, entries.size());
  for (size_t i = 0; i < toDelete; ++i) {
    char path[4352];
    int n = snprintf(path, sizeof(path), "%s/%s", g_logDir, entries[i].name.c_str());
    if (n > 0 && static_cast<size_t>(n) < sizeof(path)) file_Remove(path);
  }
}

// The descriptor of the current log file, or -1. g_writers held.
int getLogFd(uint8_t* b) {
  time_t now = time(nullptr);
  const struct tm tm = calendarOf(now).tm;  // a copy: a record logged on the way may refill it
  int64_t minute = static_cast<int64_t>(now) / 60;
  if (g_failedOpens >= 4 && minute == g_lastAttemptMinute) return -1;
  g_lastAttemptMinute = minute;
  if (g_logFd >= 0 && keepLogFile(b, tm, minute)) return g_logFd;

  pruneLogFiles();
  Stamp current = stampOf(tm);
  Stamp shared = loadSharedStamp(b);
  if (shared.f[0] == current.f[0] && shared.valid()) {
    g_localStamp = shared;
  } else {
    storeSharedStamp(b, current);
    g_localStamp = current;
  }
  const Stamp& s = g_localStamp;
  char path[281];
  int n = snprintf(path, sizeof(path), "%s/log%04u%02u%02u%02u%02u.log", g_logDir, s.f[0], s.f[1],
                   s.f[2], s.f[3], s.f[4]);
  int fd = -1;
  if (n > 0 && static_cast<size_t>(n) < sizeof(path))
    fd = openOwnFile(path, true);
  if (fd < 0) {
    ++g_failedOpens;
    printf("Open log file[%s] failed.\n", path);
    fflush(stdout);
    return -1;
  }
  g_failedOpens = 0;
  g_logFd = fd;
  if (file_Size(fd, &g_knownSize) != 0) g_knownSize = 0;
  return fd;
}

void rawWrite(uint8_t* b, const char* data, size_t len) {
  if (t_inWriter) return;
  std::lock_guard<std::mutex> lock(g_writers);
  WriterFlag inWriter;
  int fd = getLogFd(b);
  if (fd < 0) {
    metrics_CountLogWriteFailure();
    return;
  }
  const BRIM_FILE_LOCK byteZero{1, 0, 1};
  // Once a wait has run out, the holder is taken to keep the byte: later lines
  // try once and go on, until a try succeeds again.
  int locked = BRIM_LockFileWithin(fd, &byteZero, g_byteLockStalled ? 0 : kByteLockWaitMs);
  g_byteLockStalled = locked != 0;
  // Written even when the lock failed.
  if (file_WriteAll(fd, data, len) != 0) metrics_CountLogWriteFailure();
  g_knownSize += static_cast<int64_t>(len);
  if (locked == 0) BRIM_UnLockFile(fd, &byteZero);
}

}  // namespace

void BRIM_Log(uint32_t module, uint32_t level, const char* func, int32_t line, uint16_t errCode,
              const char* fmt, ...) {
  ensureInit();
  if (!passesFilter(module, level)) return;

  if (!func) func = "";
  char funcName[33];
  cutFunctionName(func, funcName);
  char message[160];
  message[0] = '\0';
  if (fmt) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(message, sizeof(message), fmt, ap);
    va_end(ap);
  }
  if (AvLogObserver observer = g_observer.load(std::memory_order_acquire))
    observer(module, level, func, message);

  uint8_t* b = g_block.load(std::memory_order_acquire);
  if (!b) return;

  char timestamp[64];
  memcpy(timestamp, calendarOf(time(nullptr)).text, sizeof(timestamp));

  uint64_t first = static_cast<uint64_t>(BRIM_MonotonicMs());
  uint64_t ms = static_cast<uint64_t>(BRIM_MonotonicMs());
  if (ms - first > 1000) {
    char pending[96];
    int n = snprintf(pending, sizeof(pending), "printf pending too long time for %lld msec\n",
                     static_cast<long long>(ms - first));
    if (n > 0 && static_cast<size_t>(n) < sizeof(pending)) rawWrite(b, pending, n);
  }

  char moduleBuf[16];
  const char* moduleName;
  if (module >= kModules) {
    snprintf(moduleBuf, sizeof(moduleBuf), "<%u>", module & 0xFFFFu);
    moduleName = moduleBuf;
  } else {
    moduleName = g_moduleNames[module];
  }
  uint64_t code = (0x15000ULL << 32) | static_cast<uint32_t>((module << 16) | errCode);

  char out[320];
  int n = snprintf(out, sizeof(out), "[%s][%llu][%llx][%s][%s][%s][%s,%d][%s]\n", timestamp,
                   static_cast<unsigned long long>(ms), static_cast<unsigned long long>(code),
                   kLevelNames[level], message, moduleName, funcName, line, g_processName);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(out)) return;  // too long: lost
  rawWrite(b, out, static_cast<size_t>(n));
}

bool BRIM_LogPasses(uint32_t module, uint32_t level) {
  ensureInit();
  return passesFilter(module, level);
}

AvLogHex::AvLogHex(const void* data, size_t len) {
  text[0] = '\0';
  if (data == nullptr || !BRIM_LogPasses(AV_MODULE_AGENT, AVLOG_DBG)) return;
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const uint8_t*>(data);
  const size_t n = std::min(len, (sizeof text - 1) / 2);
  for (size_t i = 0; i < n; ++i) {
    text[2 * i] = kDigits[p[i] >> 4];
    text[2 * i + 1] = kDigits[p[i] & 0xF];
  }
  text[2 * n] = '\0';
}

AvLogText::AvLogText(const char* data, size_t len) {
  const size_t n = data == nullptr ? 0 : std::min(len, sizeof text - 1);
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    text[i] = c < 0x20 || c == 0x7F ? '?' : data[i];
  }
  text[n] = '\0';
}

void BRIM_SetModuleLogLevel(uint32_t module, uint32_t level) {
  ensureInit();
  if (module >= kModules) return;
  uint8_t* b = g_block.load(std::memory_order_acquire);
  if (!b) return;
  store8(b, kOffLevels + module, static_cast<uint8_t>(level & 0xFFu));
}

void BRIM_SetLogFileNum(uint32_t num) { g_logFileNum.store(num, std::memory_order_relaxed); }

void BRIM_SetLogDir(const char* dir) {
  if (!dir) return;
  {
    std::lock_guard<std::mutex> lock(g_writers);
    char next[sizeof(g_logDir)];
    snprintf(next, sizeof(next), "%s", dir);
    if (strcmp(next, g_logDir) == 0) return;
    memcpy(g_logDir, next, sizeof(g_logDir));
    closeLogFile();
    g_failedOpens = 0;
    g_lastAttemptMinute = -1;
  }
  // A record logged before start-up reached the installation root (and made
  // its tmp/) found no settings file; the move of the log folder is the time
  // to look again, or a fresh installation would run without a log.
  std::lock_guard<std::mutex> lock(g_initMutex);
  if (g_ready.load(std::memory_order_relaxed) && g_block.load(std::memory_order_acquire) == nullptr)
    mapSettings();
}

void BRIM_SetLogObserver(AvLogObserver observer) {
  g_observer.store(observer, std::memory_order_release);
}

// The request's path travels UTF-8 -> UTF-16 -> extended-length prefix before
// it is mapped back to a path beneath UncRoot: the intermediate forms are kept
// because the storage system's path rules (first unit dropped behind the
// prefix, unit limits) are defined on them.
// The "." / ".." check works on the mapped UTF-8 text, after the separators
// have been unified, so that "..", "\..\" and "/../" mixed forms are all caught
// by one rule; the open itself cannot leave UncRoot either, but a job naming
// such a path is refused before any open. Empty components (doubled
// separators) are harmless and kept.
#include "jobs/trigger_scan.h"

#include <json-c/json.h>

#include <cerrno>
#include <cstring>

#include "jobs/charset.h"
#include "jobs/json_member.h"
#include "platform/trigger_open.h"
#include "runtime/config.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {
time_t wallClock() { return time(nullptr); }
constexpr uint32_t kHalfUnits = AV_WIDE_BLOCK_SIZE / 2 / sizeof(char16_t);  // 4300
constexpr char16_t kPrefix[] = u"\\\\?\\UNC";
constexpr uint32_t kPrefixUnits = 7;

constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kGenFailure = 31;
constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kFilenameTooLong = 206;

bool hasDotComponent(const char* p) {
  while (*p) {
    while (*p == '/') ++p;
    const char* start = p;
    while (*p && *p != '/') ++p;
    size_t n = static_cast<size_t>(p - start);
    if ((n == 1 && start[0] == '.') || (n == 2 && start[0] == '.' && start[1] == '.'))
      return true;
  }
  return false;
}

// What the storage system is told for each outcome. A folder, FIFO, socket or
// device node is refused with 5 (ERROR_ACCESS_DENIED), as a share would refuse
// reading such an object as a file; a link that leads out of UncRoot finds
// nothing there and so reads as a missing file (2) or folder (3).
uint32_t triggerCode(const TriggerOpenResult& r) {
  switch (r.kind) {
    case TriggerOpenKind::kOpened: return 0;
    case TriggerOpenKind::kNoFolder: return kPathNotFound;
    case TriggerOpenKind::kDirectory:
    case TriggerOpenKind::kSpecial: return kAccessDenied;
    case TriggerOpenKind::kFailed: break;
  }
  uint32_t code = triggerOpen_StatusCode(r.err);
  if (code == kGenFailure) AV_ERR("Open failed, errno(%d).", r.err);
  return code;
}

uint32_t openBeneathUncRoot(const char16_t* prefixedPath) {
  char mapped[AV_MAPPED_PATH_SIZE];
  uint32_t refused = mapTriggerPath(prefixedPath, mapped, sizeof mapped);
  if (refused != 0) return refused;
  char root[256];
  getUncRoot(root, sizeof root);
  TriggerOpenResult r = triggerOpenBeneath(root, mapped);
  if (r.closeErr != 0) AV_ERR("CloseHandle failed!");
  return triggerCode(r);
}

// False when the job's FilePath would not come through the conversions as
// sent: bytes that are not UTF-8 become U+FFFD, and a control character comes
// back from the member reader as a letter. Either way another file than the
// one named would be opened and its verdict given. No share name holds a
// control character; a FilePath that is no string is left to the reader.
bool filePathIsExact(json_object* request) {
  json_object* member = json_object_object_get(request, "FilePath");
  if (member == nullptr || !json_object_is_type(member, json_type_string)) return true;
  const char* text = json_object_get_string(member);
  const int len = json_object_get_string_len(member);
  for (int i = 0; i < len; ++i)
    if (static_cast<unsigned char>(text[i]) < 0x20) return false;
  return utf8IsExact(text);
}

// The described line gives only the code; the operator needs the file and
// what the code means (an infected file and a missing one differ).
void logRefusal(const char* path, int32_t result) {
  const char* word = triggerResultWord(result);
  AV_WARN("Scan of %s: %s (%d).", AvLogText(path, strlen(path)).text,
          word != nullptr ? word : "refused", static_cast<int>(result));
}

}  // namespace

uint32_t mapTriggerPath(const char16_t* prefixedPath, char* out, uint32_t outSize) {
  if (prefixedPath == nullptr || out == nullptr || outSize == 0) return 87;
  for (uint32_t i = 0; i < kPrefixUnits; ++i)
    if (prefixedPath[i] != kPrefix[i]) return kInvalidName;
  const char16_t* rest = prefixedPath + kPrefixUnits;
  if (rest[0] != 0 && rest[0] != u'\\' && rest[0] != u'/') return kInvalidName;
  if (utf16ToUtf8(rest, out, outSize) == 0) return kFilenameTooLong;
  for (char* c = out; *c; ++c)
    if (*c == '\\') *c = '/';
  return hasDotComponent(out) ? kInvalidName : 0;
}

time_t (*g_triggerScanClock)() = wallClock;

const char* triggerResultWord(int32_t result) {
  switch (result) {
    case 0: return "clean";
    case 2: return "not found";
    case 3: return "path not found";
    case 4: return "too many open files";
    case 5: return "access denied";
    case 8: return "out of memory";
    case 31: return "failed";
    case 32: return "in use";
    case 53: return "share unreachable";
    case 87: return "invalid parameter";
    case 121: return "timed out";
    case 123: return "invalid name";
    case 206: return "name too long";
    case 225: return "infected";
    case 1117: return "I/O error";
    case 1921: return "unresolvable link";
    default: return nullptr;
  }
}

int parseValFromAvScanningMsg(json_object* request, int32_t* avType, char* pathBuf,
                              uint32_t pathBufSize) {
  if (request == nullptr || avType == nullptr || pathBuf == nullptr) return 0;
  if (!getMemberInt(request, "avType", avType)) {
    AV_ERR("msg format error: lost  avType");
    return 0;
  }
  MemberText path;
  if (!getMemberText(request, "FilePath", &path)) {
    AV_ERR("msg format error: lost message");
    return 0;
  }
  if (path.text == nullptr) {
    AV_ERR("delEscapeChar error");
    return 0;
  }
  if (delEscapeCharTo(path.text, path.len, pathBuf, pathBufSize) < 0) {
    AV_ERR("File path too long, max len(%u).", pathBufSize - 1);
    return 0;
  }
  AV_DBG("File path:%s", pathBuf);
  return 1;
}

int32_t openFileToTriggerScan(const char16_t* prefixedPath) {
  if (prefixedPath == nullptr) {
    AV_ERR("openFileToTriggerScan: msg is NULL!");
    return 0;
  }
  time_t start = g_triggerScanClock();
  int32_t outcome = static_cast<int32_t>(openBeneathUncRoot(prefixedPath));
  if (outcome != 0) AV_ERR("CreateFile failed, error code %d.", outcome);
  time_t end = g_triggerScanClock();
  if (end - start > 10) AV_INFO("Open file timeout(%lu)", static_cast<unsigned long>(end - start));
  return outcome;
}

int scanFile(int32_t avType, const char16_t* prefixedPath, int32_t* result) {
  if (prefixedPath == nullptr) {
    AV_ERR("para err1");
    return 0;
  }
  if (result == nullptr) {
    AV_ERR("para err2");
    return 0;
  }
  if (avType != 0 && avType != 1) {
    AV_ERR("avEngineType err");
    return 0;
  }
  *result = openFileToTriggerScan(prefixedPath);
  return 1;
}

int dealWithFileScanningMsg(json_object* request, int32_t* avType, int32_t* result,
                            int32_t* status) {
  if (request == nullptr || avType == nullptr || result == nullptr || status == nullptr)
    return 0;
  PoolBuf pathBuf(AV_PATH_BUF_SIZE);
  if (!pathBuf) {
    AV_ERR("Malloc failed, len(%d).", static_cast<int>(AV_PATH_BUF_SIZE));
    return 0;
  }
  pathBuf.chars()[0] = '\0';
  PoolBuf wideBlock(AV_WIDE_BLOCK_SIZE);
  if (!wideBlock) {
    AV_ERR("Malloc failed, len(%d).", static_cast<int>(AV_WIDE_BLOCK_SIZE));
    return 0;
  }
  auto* wide = static_cast<char16_t*>(wideBlock.get());
  char16_t* prefixed = wide + kHalfUnits;
  wide[0] = 0;
  prefixed[0] = 0;

  if (parseValFromAvScanningMsg(request, avType, pathBuf.chars(), AV_PATH_BUF_SIZE) != 1)
    return 0;

  if (!filePathIsExact(request)) {
    // Refused as a share refuses a name it cannot hold, before any open.
    *result = kInvalidName;
    *status = 0;
    logRefusal(pathBuf.chars(), *result);
    return 1;
  }
  uint32_t units = utf8ToUtf16(pathBuf.chars(), wide, kHalfUnits);
  if (units == 0) {
    AV_ERR("MultiByte to WideChar failed! %lu", 122ul);  // ERROR_INSUFFICIENT_BUFFER
    *status = 1;
    return 0;
  }
  // units counts the terminator; the first unit is dropped behind the prefix.
  uint32_t tailUnits = units >= 2 ? units - 2 : 0;
  if (kPrefixUnits + tailUnits + 1 > kHalfUnits) {
    AV_ERR("Prefixed path too long, units(%u).", kPrefixUnits + tailUnits + 1);
    *status = 1;
    return 0;
  }
  memcpy(prefixed, kPrefix, kPrefixUnits * sizeof(char16_t));
  if (tailUnits > 0) memcpy(prefixed + kPrefixUnits, wide + 1, tailUnits * sizeof(char16_t));
  prefixed[kPrefixUnits + tailUnits] = 0;

  if (scanFile(*avType, prefixed, result) == 0) {
    AV_ERR("scanFile failed!");
    *status = 1;
  } else {
    *status = 0;
    if (*result != 0) logRefusal(pathBuf.chars(), *result);
  }
  return 1;
}

// The request's path travels UTF-8 -> UTF-16 -> extended-length prefix before
// the platform layer maps it back under UncRoot: the intermediate forms are
// kept because the storage system's path rules (first unit dropped behind the
// prefix, unit limits) are defined on them.
#include "jobs/trigger_scan.h"

#include <json-c/json.h>

#include <cstring>

#include "jobs/charset.h"
#include "jobs/json_member.h"
#include "platform/trigger_open.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"

namespace {
time_t wallClock() { return time(nullptr); }
constexpr uint32_t kHalfUnits = AV_WIDE_BLOCK_SIZE / 2 / sizeof(char16_t);  // 4300
constexpr char16_t kPrefix[] = u"\\\\?\\UNC";
constexpr uint32_t kPrefixUnits = 7;
}  // namespace

time_t (*g_triggerScanClock)() = wallClock;

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
  int32_t outcome = static_cast<int32_t>(triggerOpenUncPath(prefixedPath));
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
  }
  return 1;
}

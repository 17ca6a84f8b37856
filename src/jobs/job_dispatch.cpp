// Both entry points own everything they take for the length of the call: the
// parsed request is held by a guard and pool blocks by PoolBuf, so every early
// return releases them. Results are written only through the bounded builders,
// with the caller's room size, so a small room can never be overrun. The
// request is handled as a counted text throughout (parsing and log lines), so
// a peer's body is never read past its Length, terminated or not.
#include "jobs/job_dispatch.h"

#include <json-c/json.h>

#include <cstring>

#include "icap/icap_scan.h"
#include "jobs/engine_status.h"
#include "jobs/json_member.h"
#include "jobs/result_text.h"
#include "jobs/scan_type.h"
#include "jobs/trigger_scan.h"
#include "runtime/log.h"
#include "runtime/mem_pool.h"
#include "runtime/metrics.h"

namespace {

constexpr uint32_t kWorkBlockSize = 1024;
// Far above any frame body; only keeps a counted text inside an int.
constexpr size_t kMaxRequest = 0x7FFFFFFF;

struct JsonGuard {
  json_object* obj;
  explicit JsonGuard(json_object* o) : obj(o) {}
  ~JsonGuard() {
    if (obj) json_object_put(obj);
  }
  JsonGuard(const JsonGuard&) = delete;
  JsonGuard& operator=(const JsonGuard&) = delete;
  void release() {
    if (obj) json_object_put(obj);
    obj = nullptr;
  }
};

// A request text and its length (at most a frame body, so an int for %.*s).
struct Request {
  const char* text;
  int len;
};

Request requestOf(const char* body, size_t bodyLen) {
  size_t bound = bodyLen < kMaxRequest ? bodyLen : kMaxRequest;
  return {body, static_cast<int>(requestTextLength(body, bound))};
}

// 0 when a table row took the request, -1 when the local path must serve it.
int scanTable(Request rq, char* result, uint32_t resultSize) {
  AV_DBG("Recv json message %.*s.", rq.len, rq.text);
  JsonGuard req(parseRequestText(rq.text, static_cast<size_t>(rq.len)));
  if (req.obj == nullptr) {
    AV_ERR("Message parse failed, message(%.*s).", rq.len, rq.text);
    return -1;
  }
  json_object* typeObj = json_object_object_get(req.obj, "avType");
  if (typeObj == nullptr) {
    req.release();
    AV_ERR("Get scan type failed.");
    return -1;
  }
  uint32_t avType = static_cast<uint32_t>(json_object_get_int(typeObj));
  PoolBuf record(AV_JOB_RECORD_SIZE);
  if (!record) {
    req.release();
    AV_ERR("Out of memory, size(%u).", AV_JOB_RECORD_SIZE);
    return -1;
  }
  uint32_t room = resultSize < AV_SCAN_RESULT_ROOM ? resultSize : AV_SCAN_RESULT_ROOM;
  const ScanTypeHandler* row = nullptr;
  bool failed = false;
  for (uint32_t i = 0; i < g_scanTypeHandlerCount; ++i) {
    if (g_scanTypeHandlers[i].avType != avType) continue;
    row = &g_scanTypeHandlers[i];
    int rc = row->decode(req.obj, record.get(), AV_JOB_RECORD_SIZE);
    if (rc != 0) {
      AV_ERR("Decode message failed(%d), type(%u).", rc, avType);
      failed = true;
    } else if ((rc = row->execute(record.get(), AV_JOB_RECORD_SIZE)) != 0) {
      AV_ERR("Execute scan failed(%d), type(%u).", rc, avType);
      failed = true;
    } else if ((rc = row->encode(record.get(), AV_JOB_RECORD_SIZE, result, room)) != 0) {
      AV_ERR("Encode scan message failed(%d), type(%u).", rc, avType);
      failed = true;
    }
    break;
  }
  req.release();
  if (row != nullptr && row->avType == 1)  // an ICAP scan: 403 is the server's virus verdict
    metrics_CountScan(1, !failed, static_cast<const IcapScanRecord*>(record.get())->result, 403);
  record.reset();
  if (row == nullptr) {
    AV_DBG("Message not processed.");
    return -1;
  }
  if (failed) {
    int rc = row->errorResult(result, room);
    if (rc != 0) AV_ERR("Build error message failed(%d).", rc);
  }
  return 0;
}

// The preamble both entry points share: the parsed request (null when the
// job fails) and its "opCode".
json_object* parseJob(Request rq, int32_t* opCode) {
  json_object* obj = parseRequestText(rq.text, static_cast<size_t>(rq.len));
  if (obj == nullptr) {
    AV_ERR("parse buf to jsonObj err!");
    return nullptr;
  }
  AV_DBG("doJob(): buf: %.*s!", rq.len, rq.text);
  if (!getMemberInt(obj, "opCode", opCode)) {
    AV_ERR("msg format error: lost opCode");
    json_object_put(obj);
    return nullptr;
  }
  return obj;
}

int scanFileJob(Request rq, char* result, uint32_t resultSize) {
  if (scanTable(rq, result, resultSize) == 0) return 1;
  AV_DBG("Start to process share open message.");
  int32_t opCode = 0;
  JsonGuard req(parseJob(rq, &opCode));
  if (req.obj == nullptr) return 0;
  int32_t avType = 0;
  int32_t scanResult = -1;
  int32_t status = 1;
  if (dealWithFileScanningMsg(req.obj, &avType, &scanResult, &status) != 1) return 0;
  metrics_CountScan(avType, status == 0, scanResult, 225);  // 225: the engine denied the open
  uint64_t noIds[1] = {0};
  int32_t noStatus[1] = {-1};
  if (buildRespMsg(result, resultSize, opCode, avType, status, scanResult, "", -1, noIds,
                   noStatus) != 1)
    return 0;
  AV_DBG("doJob:returnResult: %s", result);
  return 1;
}

int engineStatusJob(Request rq, char* result, uint32_t resultSize) {
  PoolBuf work(kWorkBlockSize);
  if (!work) {
    AV_ERR("Out of memmory(%u).", kWorkBlockSize);
    return 0;
  }
  memset(work.get(), 0, kWorkBlockSize);
  auto* ipSlots = static_cast<char(*)[AV_IP_SLOT]>(work.get());
  uint64_t portIds[AV_MAX_LIFS];
  int32_t portStatus[AV_MAX_LIFS];
  for (int i = 0; i < AV_MAX_LIFS; ++i) {
    portIds[i] = 0;
    portStatus[i] = -1;
  }
  int32_t portCount = -1;
  int32_t avType = 0;
  int32_t engineStatus = -1;

  int32_t opCode = 0;
  JsonGuard req(parseJob(rq, &opCode));
  if (req.obj == nullptr) return 0;
  AV_DBG("opType: %d", opCode);
  if (dealWithStatusCheckingMsg(req.obj, &portCount, &avType, &engineStatus, ipSlots, portIds,
                                portStatus) != 1)
    return 0;
  if (buildRespMsg(result, resultSize, opCode, avType, engineStatus, -1, "", portCount, portIds,
                   portStatus) != 1)
    return 0;
  AV_DBG("doJob:returnResult: %s", result);
  return 1;
}

}  // namespace

int doJob_ScanFile(const char* body, uint32_t bodyLen, char* result, uint32_t resultSize) {
  if (body == nullptr || result == nullptr) {
    AV_ERR("returnResult is NULL!");
    return 0;
  }
  return scanFileJob(requestOf(body, bodyLen), result, resultSize);
}

int doJob_GetEngineStatus(const char* body, uint32_t bodyLen, char* result,
                          uint32_t resultSize) {
  if (body == nullptr || result == nullptr) {
    AV_ERR("Param is NULL!");
    return 0;
  }
  return engineStatusJob(requestOf(body, bodyLen), result, resultSize);
}

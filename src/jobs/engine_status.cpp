// The per-process work of the search is one comparison pass over a 64-byte
// private copy of the list; everything that depends only on the request (the
// vendor lookup, the copy) is done once per job, before the /proc walk.
#include "jobs/engine_status.h"

#include <json-c/json.h>
#include <strings.h>

#include <cstring>
#include <string>

#include "jobs/json_member.h"
#include "jobs/port_check.h"
#include "platform/proc_walk.h"
#include "runtime/config.h"
#include "runtime/log.h"

namespace {

// Copies at most 64 characters of list into out[65], warning when cut.
void copyList(const char* list, char* out) {
  size_t len = strlen(list);
  if (len > AV_MAX_LIST_LEN) {
    AV_WARN("The process name list string was truncated. The length(%d) is bigger than max "
            "length(%d).",
            static_cast<int>(len), static_cast<int>(AV_MAX_LIST_LEN));
    len = AV_MAX_LIST_LEN;
  }
  memcpy(out, list, len);
  out[len] = '\0';
}

struct SearchCtx {
  char* list;
};

bool visitProcess(const char* exeName, void* ctx) {
  return matchProcessName(exeName, static_cast<SearchCtx*>(ctx)->list) == 1;
}

}  // namespace

int matchProcessName(const char* name, char* list) {
  if (name == nullptr || list == nullptr) return 0;
  char* save = nullptr;
  int taken = 0;
  int found = 0;
  for (char* tok = strtok_r(list, ",", &save); tok != nullptr;
       tok = strtok_r(nullptr, ",", &save)) {
    ++taken;
    if (strcasecmp(tok, name) == 0) {
      found = 1;
      break;
    }
  }
  // Put the cut commas back (one per name but the last) at the current end.
  for (int i = 1; i < taken; ++i) list[strlen(list)] = ',';
  return found;
}

int getAvProcessNameListByVendor(const VendorTable& table, const char* vendor,
                                 const char** list) {
  if (vendor == nullptr || list == nullptr) return 0;
  *list = "";
  AV_DBG("Start find vendo %s.", vendor);
  int ret = 0;
  for (uint32_t i = 0; i < table.count; ++i) {
    const VendorRecord& r = table.records[i];
    if (strcasecmp(r.vendorName, vendor) == 0) {
      *list = r.processNameList;
      AV_DBG("Find vendor %s. process %s", vendor, *list);
      ret = 1;
      break;
    }
  }
  AV_DBG("End find vendo %s. process %s, ret %d", vendor, *list, ret);
  return ret;
}

int getAvProcessNameListByProcessName(const VendorTable& table, const char* processName,
                                      const char** list) {
  if (processName == nullptr || list == nullptr) return 0;
  *list = "";
  AV_DBG("Start find process name %s.", processName);
  int ret = 0;
  char copy[AV_MAX_LIST_LEN + 1];
  for (uint32_t i = 0; i < table.count; ++i) {
    const VendorRecord& r = table.records[i];
    copyList(r.processNameList, copy);
    if (matchProcessName(processName, copy) == 1) {
      *list = r.processNameList;
      AV_DBG("Find process name %s. process %s", processName, *list);
      ret = 1;
      break;
    }
  }
  AV_DBG("End find process name %s. process %s, ret %d", processName, *list, ret);
  return ret;
}

int findAvEngineProcess(const char* list) {
  if (list == nullptr) return 0;
  char copy[AV_MAX_LIST_LEN + 1];
  copyList(list, copy);
  SearchCtx ctx{copy};
  int rc = walkProcessNames(visitProcess, &ctx);
  if (rc < 0) {
    AV_ERR("CreateToolhelp32Snapshot failed!");
    return 0;
  }
  return rc == 1 ? 1 : 0;
}

int checkAvEngineStatus(int32_t avType, const char* name, bool nameIsVendor) {
  if (avType != 0 && avType != 1) return 0;
  std::shared_ptr<const VendorTable> table = getVendorTable();
  const char* list = nullptr;
  int found = nameIsVendor ? getAvProcessNameListByVendor(*table, name, &list)
                           : getAvProcessNameListByProcessName(*table, name, &list);
  if (found != 1) return 0;
  return findAvEngineProcess(list);
}

int getAvTypeFromStatusMsg(int32_t* avType, json_object* request, int32_t* jobResult) {
  if (request == nullptr || avType == nullptr) return 0;
  if (!getMemberInt(request, "avType", avType)) {
    AV_ERR("msg format error: lost avType");
    if (jobResult) *jobResult = 0;
    return 0;
  }
  return 1;
}

int dealWithStatusCheckingMsg(json_object* request, int32_t* portCount, int32_t* avType,
                              int32_t* engineStatus, char (*ipSlots)[AV_IP_SLOT],
                              uint64_t* portIds, int32_t* portStatus) {
  if (portCount == nullptr || avType == nullptr || portIds == nullptr || portStatus == nullptr)
    return 0;
  int32_t jobResult = 1;
  if (getAvTypeFromStatusMsg(avType, request, &jobResult) != 1) return 0;

  MemberText m;
  bool isVendor;
  if (getMemberText(request, "vendorName", &m)) {
    isVendor = true;
  } else if (getMemberText(request, "message", &m)) {
    isVendor = false;
  } else {
    AV_ERR("msg format error: lost message");
    return 0;
  }
  // One copy per job: the lookups compare terminated texts.
  std::string name(m.text, m.len);
  int running = checkAvEngineStatus(*avType, name.c_str(), isVendor);
  if (engineStatus) *engineStatus = running == 1 ? 0 : 1;

  parseLifsJsonObjAndDetectThePort(request, &jobResult, portCount, ipSlots, portIds, portStatus);
  return jobResult;
}

// The per-process work of the search is one comparison pass over a 64-byte
// private copy of the list; everything that depends only on the request (the
// vendor lookup, the copy) is done once per job, before the /proc walk.
#include "jobs/engine_status.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/canary.h"
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

// ASCII letters compared regardless of case, so that the locale the service
// manager starts us with cannot change which names match.
bool equalNoCase(const char* a, const char* b) {
  auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (; *a != '\0' && fold(*a) == fold(*b); ++a, ++b) {
  }
  return *a == '\0' && *b == '\0';
}

// The walk both lookups share: the first record in table order that matches
// gives its list; the DBG lines name the kind of lookup.
struct ListLookup {
  const char* startFormat;
  const char* foundFormat;
  const char* endFormat;
  bool (*matches)(const VendorRecord& record, const char* name);
};

bool vendorMatches(const VendorRecord& r, const char* vendor) {
  return equalNoCase(r.vendorName, vendor);
}

bool listHolds(const VendorRecord& r, const char* processName) {
  char copy[AV_MAX_LIST_LEN + 1];
  copyList(r.processNameList, copy);
  return matchProcessName(processName, copy) == 1;
}

constexpr ListLookup kByVendor = {"Start find vendo %s.", "Find vendor %s. process %s",
                                  "End find vendo %s. process %s, ret %d", vendorMatches};
constexpr ListLookup kByProcess = {"Start find process name %s.",
                                   "Find process name %s. process %s",
                                   "End find process name %s. process %s, ret %d", listHolds};

int lookUpList(const ListLookup& how, const VendorTable& table, const char* name,
               const char** list) {
  if (name == nullptr || list == nullptr) return 0;
  *list = "";
  AV_DBG(how.startFormat, name);
  int ret = 0;
  for (uint32_t i = 0; i < table.count; ++i) {
    const VendorRecord& r = table.records[i];
    if (how.matches(r, name)) {
      *list = r.processNameList;
      AV_DBG(how.foundFormat, name, *list);
      ret = 1;
      break;
    }
  }
  AV_DBG(how.endFormat, name, *list, ret);
  return ret;
}

// A vendor name that matches no record answers "not running", which reads
// like a stopped engine: the operator is told once per name and table (a
// reload starts over), for at most 64 names, so a peer cannot flood the log.
void reportUnknownVendor(const VendorTable* table, const char* name) {
  struct Reported {
    std::mutex m;
    const VendorTable* table = nullptr;
    std::vector<std::string> names;
  };
  static Reported* r = new Reported();  // never destroyed: detached threads report
  std::lock_guard<std::mutex> lock(r->m);
  if (r->table != table) {
    r->table = table;
    r->names.clear();
  }
  if (r->names.size() >= 64 || std::find(r->names.begin(), r->names.end(), name) != r->names.end())
    return;
  try {
    r->names.emplace_back(name);
  } catch (...) {
    return;
  }
  AV_WARN("Vendor name %s matches no VendorName in the vendor table; its engine is reported "
          "as not running.", AvLogText(name, strlen(name)).text);
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
    if (equalNoCase(tok, name)) {
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
  return lookUpList(kByVendor, table, vendor, list);
}

int getAvProcessNameListByProcessName(const VendorTable& table, const char* processName,
                                      const char** list) {
  return lookUpList(kByProcess, table, processName, list);
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
  if (found != 1) {
    if (nameIsVendor && name != nullptr) reportUnknownVendor(table.get(), name);
    return 0;
  }
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
  // Processes that run prove nothing while the canary opens: that engine
  // lets infected files through.
  if (checkCanary() == CanaryVerdict::kUnprotected) running = 0;
  if (engineStatus) *engineStatus = running == 1 ? 0 : 1;

  parseLifsJsonObjAndDetectThePort(request, &jobResult, portCount, ipSlots, portIds, portStatus);
  return jobResult;
}

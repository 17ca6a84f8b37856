// Engine detection: the request names the engine by vendor ("vendorName", which
// wins) or by one process name ("message"); the vendor table from the
// configuration gives the vendor's process-name list, and the engine runs when
// a running process's executable file name equals a name on it (whole name,
// ASCII case ignored, at most the list's first 64 characters). The table is
// held for the whole lookup, so a reload never frees the list being walked.
// With CanaryPath set, an engine whose canary is not refused (jobs/canary.h)
// is reported not running whatever processes run.
#pragma once
#include <cstdint>

typedef struct json_object json_object;
struct VendorTable;

constexpr uint32_t AV_MAX_LIST_LEN = 64;
constexpr int32_t AV_MAX_LIFS = 16;
constexpr uint32_t AV_IP_SLOT = 64;

// 1 when the job can be answered, 0 when it cannot. ipSlots: 16 x 64 bytes.
int dealWithStatusCheckingMsg(json_object* request, int32_t* portCount, int32_t* avType,
                              int32_t* engineStatus, char (*ipSlots)[AV_IP_SLOT],
                              uint64_t* portIds, int32_t* portStatus);
int getAvTypeFromStatusMsg(int32_t* avType, json_object* request, int32_t* jobResult);
// 1 when an engine process runs.
int checkAvEngineStatus(int32_t avType, const char* name, bool nameIsVendor);
// *list points into table (valid while the caller holds it); starts as "".
int getAvProcessNameListByVendor(const VendorTable& table, const char* vendor,
                                 const char** list);
int getAvProcessNameListByProcessName(const VendorTable& table, const char* processName,
                                      const char** list);
// Splits list in place (pass a private copy); 1 when name is one of its names.
int matchProcessName(const char* name, char* list);
int findAvEngineProcess(const char* list);

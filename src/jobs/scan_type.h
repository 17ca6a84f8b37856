// Scan type table: the avType values that are not served by the local engine,
// each with its decode / execute / encode / error-result operations. Searched
// in order; read-only at run time.
#pragma once
#include <cstdint>

typedef struct json_object json_object;

constexpr uint32_t AV_JOB_RECORD_SIZE = 4812;

struct ScanTypeHandler {
  uint32_t avType;
  int (*decode)(json_object* request, void* record, uint32_t recordSize);
  int (*execute)(void* record, uint32_t recordSize);
  int (*encode)(void* record, uint32_t recordSize, char* result, uint32_t resultSize);
  int (*errorResult)(char* result, uint32_t resultSize);
};

extern const ScanTypeHandler g_scanTypeHandlers[];
extern const uint32_t g_scanTypeHandlerCount;

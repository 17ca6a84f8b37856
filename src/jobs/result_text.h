// Result texts of the local-engine paths: the scan shape and the status shape
// (with "lifIpsStatus" when ports were probed), written piece by piece into the
// caller's zero-filled result room. Every text value (the ISTag) goes through
// the one JSON string writer, so no value can reshape the object. Nothing is ever written past resultSize: a
// text that would not fit leaves the room empty and the builder returns 0.
#pragma once
#include <cstdint>

// opCode 0 + avType 0: status shape; opCode 1 + avType 0: scan shape; any other
// pair writes nothing. 1, or 0 for a missing result, ISTag, ID or status array.
int buildRespMsg(char* result, uint32_t resultSize, int32_t opCode, int32_t avType,
                 int32_t status, int32_t scanResult, const char* isTag,
                 int32_t portCount, const uint64_t* portIds, const int32_t* portStatus);

int buildScanRespMsg(char* result, uint32_t resultSize, const char* isTag,
                     int32_t avType, int32_t scanResult, int32_t status);
// portCount is clamped to 16 (the job's slots).
int buildStatusRespMsg(char* result, uint32_t resultSize, int32_t status, int32_t avType,
                       const char* isTag, int32_t portCount, const uint64_t* portIds,
                       const int32_t* portStatus);

// Result texts of the local-engine paths: the scan shape and the status shape
// (with "lifIpsStatus" when ports were probed), written piece by piece into the
// caller's zero-filled result room. Nothing is ever written past resultSize: a
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

// Writes at most maxChars bytes of text as the inside of a JSON string: a double
// quote and a backslash get a backslash, bytes below 0x20 and 0x7F become
// \u00XX, every other byte goes out as it is. 1 when it fitted; otherwise the
// room is left empty and 0.
int writeJsonStringText(char* out, uint32_t outSize, const char* text, uint32_t maxChars);

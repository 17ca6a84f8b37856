// Job dispatch: turns one job frame's JSON text into one JSON result text.
// A scan job is first offered to the scan type table (ICAP scan, ICAP server
// status); otherwise it is a local trigger scan. A status job runs the engine
// check and the storage port check. Entry points return 1 on success; a failed
// job writes nothing and the server answers 201.
#pragma once
#include <cstdint>

constexpr uint32_t AV_STATUS_RESULT_ROOM = 1024;  // MessageType 2010
constexpr uint32_t AV_SCAN_RESULT_ROOM = 512;     // MessageType 2020

// The result room is zero-filled by the caller and resultSize bytes long.
// The request is a NUL-terminated text.
int doJob_GetEngineStatus(const char* request, char* result, uint32_t resultSize);
int doJob_ScanFile(const char* request, char* result, uint32_t resultSize);

// The same for a frame body of bodyLen bytes as the peer sent it: the request
// text ends at the body's first NUL or at bodyLen, whichever comes first, and
// no byte past bodyLen is read, so a body without its terminator fails as a
// text that is not JSON would.
int doJob_GetEngineStatusBody(const char* body, uint32_t bodyLen, char* result,
                              uint32_t resultSize);
int doJob_ScanFileBody(const char* body, uint32_t bodyLen, char* result, uint32_t resultSize);

// Offers a scan job to the scan type table: 0 when a row took it (the result
// holds its result or error result, written within min(resultSize, 512)), -1
// when the local engine must serve it.
int scanFileProc(const char* request, char* result, uint32_t resultSize);

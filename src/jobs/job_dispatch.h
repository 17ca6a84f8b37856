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
int doJob_GetEngineStatus(const char* request, char* result, uint32_t resultSize);
int doJob_ScanFile(const char* request, char* result, uint32_t resultSize);

// Offers a scan job to the scan type table: 0 when a row took it (the result
// holds its result or error result, written within min(resultSize, 512)), -1
// when the local engine must serve it.
int scanFileProc(const char* request, char* result, uint32_t resultSize);

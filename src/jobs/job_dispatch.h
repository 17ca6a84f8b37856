// Job dispatch: turns one job frame's JSON text into one JSON result text.
// A scan job is first offered to the scan type table (ICAP scan, ICAP server
// status); otherwise it is a local trigger scan. A status job runs the engine
// check and the storage port check. Entry points return 1 on success; a failed
// job writes nothing and the server answers 201.
#pragma once
#include <cstdint>

constexpr uint32_t AV_STATUS_RESULT_ROOM = 1024;  // MessageType 2010
constexpr uint32_t AV_SCAN_RESULT_ROOM = 512;     // MessageType 2020

// The request is a frame body of bodyLen bytes as the peer sent it: its text
// ends at the body's first NUL or at bodyLen, whichever comes first, and no
// byte past bodyLen is read, so a body without its terminator fails as a text
// that is not JSON would. The result room is zero-filled by the caller and
// resultSize bytes long.
int doJob_GetEngineStatus(const char* body, uint32_t bodyLen, char* result, uint32_t resultSize);
int doJob_ScanFile(const char* body, uint32_t bodyLen, char* result, uint32_t resultSize);

// Local trigger scan: the file named by "FilePath" is opened read-only through
// the share mount so that the engine's on-access scanner inspects it; the
// open's outcome (0, or the error code of the refused open) is the result.
// A "FilePath" longer than 4299 bytes after unescaping, or one whose prefixed
// form needs more than 4300 UTF-16 units, is refused with an ERR line and the
// job fails (answered 201), like a path that cannot be converted: truncating it
// would scan a different file than the one asked about.
#pragma once
#include <cstdint>
#include <ctime>

typedef struct json_object json_object;

constexpr uint32_t AV_PATH_BUF_SIZE = 4300;   // UTF-8 path and terminator
constexpr uint32_t AV_WIDE_BLOCK_SIZE = 17200;  // two halves of 4300 UTF-16 units

// 1 when the scan step ran (avType, result and status set), 0 when the request
// cannot be served (the job fails).
int dealWithFileScanningMsg(json_object* request, int32_t* avType, int32_t* result,
                            int32_t* status);
// Reads "avType" and "FilePath" (unescaped) into pathBuf of pathBufSize bytes.
int parseValFromAvScanningMsg(json_object* request, int32_t* avType, char* pathBuf,
                              uint32_t pathBufSize);
// 1 with the open's outcome in *result, 0 when it refused (avType not 0 or 1).
int scanFile(int32_t avType, const char16_t* prefixedPath, int32_t* result);
// 0 when the file opened, otherwise the error code of the failed open.
int32_t openFileToTriggerScan(const char16_t* prefixedPath);

// Wall clock in whole seconds used to spot opens slower than 10 s (tests).
extern time_t (*g_triggerScanClock)();

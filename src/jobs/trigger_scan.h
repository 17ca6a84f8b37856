// Local trigger scan: the file named by "FilePath" is opened read-only through
// the share mount so that the engine's on-access scanner inspects it; the
// open's outcome (0, or the error code of the refused open) is the result.
// The open never leaves UncRoot, whatever links the share holds, and never
// opens a folder, FIFO, socket or device node for reading (refused with 5).
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

// Room for the mapped path: the 4300 units of a prefixed path, at most 3 UTF-8
// bytes each (a surrogate pair is 2 units and 4 bytes), and the terminator.
constexpr uint32_t AV_MAPPED_PATH_SIZE = 3 * 4300 + 1;
// The prefixed UTF-16 path (\\?\UNC\server\share\rest) as the UTF-8 path
// beneath UncRoot (/server/share/rest): prefix removed, every backslash a '/'.
// 0 when mapped; 123 (ERROR_INVALID_NAME) when it lacks the prefix and a
// separator behind it or has a "." or ".." component; 206
// (ERROR_FILENAME_EXCED_RANGE) when it does not fit out.
uint32_t mapTriggerPath(const char16_t* prefixedPath, char* out, uint32_t outSize);

// The result of a local scan in an operator's words: "clean", "infected",
// "not found", "access denied", ...; "error <code>" style text is left to the
// caller for codes outside the table (nullptr).
const char* triggerResultWord(int32_t result);

// Wall clock in whole seconds used to spot opens slower than 10 s (tests).
extern time_t (*g_triggerScanClock)();

// Log module: one call, BRIM_Log, filters a record by module and level, formats it
// into one line and appends it to the current file under the log folder.
//
// Line: "[time][msec][code][LEVEL][message][MODULE][function,line][process]\n".
// Files "log/logYYYYMMDDHHMM.log" rotate at 8 MiB and are pruned to LogFileNum.
// Rotation: the bytes this process appends are counted, so a file is replaced
// as soon as it reaches 8 MiB, not only at the next minute; the size on disk is
// still read once a minute for what other processes appended. A file that fills
// within the minute its name stamp names gets the next free minute, so it never
// reopens itself. Pruning counts and deletes only names of that form.
// Level settings and the current file's name stamp live in "./tmp/dbglog.cfg",
// mapped shared, so every process logging into the same root agrees on them.
// Safe to call from any thread; the first call initialises the module.
// Decisions: BRIM_SetModuleLogLevel also initialises the module (so a level set
// before the first record is kept); a new log folder closes the open file so the
// next record goes there; "minute value" is minutes since the epoch, so rotation
// checks and open retries happen once per distinct minute; a shared name stamp
// that is not a real calendar minute (reset block) is replaced by the current one;
// the wait for the byte-0 lock is bounded (100 ms; after one wait runs out, lines
// only try the lock once until it is taken again) and the line is written anyway;
// log files and the settings file are created 0640 and an existing one loses any
// bits beyond 0640 (no access for others), whatever the umask.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint32_t {
  AV_MODULE_AGENT = 316,  // the agent's own code
  AV_MODULE_BRIM = 997,   // the OS helper layer
};

enum AvLogLevel : uint32_t {
  AVLOG_NONE = 0,  // never filtered
  AVLOG_CRI = 1,
  AVLOG_ERR = 2,
  AVLOG_WARN = 3,
  AVLOG_INFO = 4,
  AVLOG_DBG = 5,
};

// The build names the format checker when the C library's printf is not the
// compiler's default one (the records are formatted as C99 says, %zu included).
#ifndef AV_PRINTF_FORMAT
#define AV_PRINTF_FORMAT printf
#endif
void BRIM_Log(uint32_t module, uint32_t level, const char* func, int32_t line,
              uint16_t errCode, const char* fmt, ...)
    __attribute__((format(AV_PRINTF_FORMAT, 6, 7)));

// Stores the low 8 bits of level for the module in the shared settings block.
void BRIM_SetModuleLogLevel(uint32_t module, uint32_t level);
void BRIM_SetLogFileNum(uint32_t num);
// Folder that receives the log files ("./log" until set); copied, at most 255 chars.
void BRIM_SetLogDir(const char* dir);

// Whether a record of this module and level would pass the level filter.
bool BRIM_LogPasses(uint32_t module, uint32_t level);

// Binary bytes for a DBG record of the agent: the first 80 bytes as hex
// digits, so the log stays text for grep and editors. Left empty (no work)
// unless such a record would be written.
struct AvLogHex {
  char text[161];
  AvLogHex(const void* data, size_t len);
};

// Peer-supplied text for a record (a path, a name): up to 159 bytes, every
// control character shown as '?', so no value can break or forge a line.
struct AvLogText {
  char text[160];
  AvLogText(const char* data, size_t len);
};

// Test seam: every record that passes the level filter is also handed here
// (after the message is formatted and cut), whether or not a file is writable.
using AvLogObserver = void (*)(uint32_t module, uint32_t level, const char* func,
                               const char* message);
// The observer gets the caller's function name as passed (the line prints it cut
// to 32 characters).
void BRIM_SetLogObserver(AvLogObserver observer);
#define AV_LOG(level, fmt, ...) \
  BRIM_Log(AV_MODULE_AGENT, (level), __func__, __LINE__, 0, fmt, ##__VA_ARGS__)
#define AV_ERR(fmt, ...) AV_LOG(AVLOG_ERR, fmt, ##__VA_ARGS__)
#define AV_WARN(fmt, ...) AV_LOG(AVLOG_WARN, fmt, ##__VA_ARGS__)
#define AV_INFO(fmt, ...) AV_LOG(AVLOG_INFO, fmt, ##__VA_ARGS__)
#define AV_DBG(fmt, ...) AV_LOG(AVLOG_DBG, fmt, ##__VA_ARGS__)

// Reading and judging an ICAP answer's header block: the status line, the ISTag,
// the infection header's resolution digit and the violation count. Each step
// returns 0 or -1; judging maps (status, resolution) to the job's result code.
// Header names ("ISTag", the job's infection and violation names) and the
// "Resolution" parameter are found regardless of case, as ICAP field names are
// case-insensitive; the status texts ("ICAP/1.0 200") are matched exactly.
// Only the first line is a status line, and a name counts only where it stands
// in a header line's name: the lines of a violation listing carry names of
// files and archive members, which whoever made the file chose, and must not
// read as a status or an infection header.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int ICAP_LINE_CAPACITY = 511;  // lines of at most 510 characters
constexpr uint32_t ICAP_ISTAG_MAX = 64;  // characters kept of an ISTag value
// Bounds of one answer's header block, the status line and the empty line that
// ends it included; bytes are counted as received, line ends included.
constexpr int ICAP_ANSWER_MAX_LINES = 200;
constexpr uint32_t ICAP_ANSWER_MAX_BYTES = 64 * 1024;

struct IcapAnswerBudget {
  int lines;       // lines read so far
  uint32_t bytes;  // bytes counted so far
};

// First place in text where needle stands, ASCII letters compared regardless of
// case; null when it does not (or either is null; an empty needle never stands).
const char* findNoCase(const char* text, const char* needle);
// True when line is a header line (not led by a blank or tab, a name without
// blanks before its ':') whose name holds key, regardless of case.
bool headerNameHas(const char* line, const char* key);
// One header line (icapReadline, capacity size) counted against budget (null:
// not counted); a line that takes the block past either bound logs ERR
// "Icap answer header is too long(%d lines, %u bytes)." and fails. 0 / -1.
int readAnswerLine(int sock, char* buf, uint32_t size, IcapAnswerBudget* budget);

// Sets *state from the first known "ICAP/1.0 <code>" text found in line; a
// line that mentions ICAP otherwise is logged at WARN and leaves *state as is.
int getICAPReturnState(int* state, const char* line);
// The value 7 characters after "ISTag", at most 64 characters, quotes removed.
int getISTagValue(const char* line, char* out, uint32_t outSize);
// The single digit just after "Resolution=".
int getResolutionValue(const char* line, int* value);
// Count after the violation header name (at most 7 characters, base 10), >= 1.
int getVirusNumValue(const char* line, int* count, const char* violation);
// When lbuf holds the violation header: reads the count, then consumes the
// first one or two lines of the violation description (the first is kept in
// name), counted against budget. A line without the header name is left alone.
int getVirusNum(int sock, const char* violation, char* lbuf, uint32_t lbufSize,
                int* count, char* name, uint32_t nameSize, IcapAnswerBudget* budget);
// The answer's first line as a log may show it: cut to outSize - 1 characters
// (ICAP_STATUS_LINE_KEPT for the WARN of strict judging), every byte outside
// printable ASCII as '?'.
constexpr uint32_t ICAP_STATUS_LINE_KEPT = 80;
void keepStatusLine(const char* line, char* out, uint32_t outSize);
// 200, 201, and 403 with resolution 2 are clean (0); otherwise the state.
int judgeICAPResult(int state, int resolution, int* result);
// Appends text to buf, which holds *len characters, cut so that buf keeps its
// terminator within size bytes; *len grows by what was taken. Every request
// and value text of the ICAP client is assembled through it.
void appendCut(char* buf, uint32_t size, size_t* len, const char* text);
// Replaces every oldText in text by newText through a 64-character work area;
// the result is copied back cut to size - 1. Returns 0.
int ReplaceStr(char* text, uint32_t size, const char* oldText, const char* newText);

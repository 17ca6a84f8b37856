// Reading members of a job request. A member's value is taken from its JSON
// rendering (json_object_to_json_string), which keeps backslash escapes: a
// leading double quote and the last character are dropped (delQuoteChar), and
// only "FilePath" has its escapes removed (delEscapeChar). Integer members go
// through the signed text conversion of the OS helper layer, which logs
// "Not a numbric str: (%s)." and keeps the value read so far.
// Views point into json-c's rendering buffer of the member object and stay
// valid while the request object lives and the member is not rendered again.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct json_object json_object;

// Length of a job request text: the body up to its first NUL, never past
// bodyLen bytes (the body need not be terminated).
size_t requestTextLength(const char* body, size_t bodyLen);

// Parses exactly len bytes as one JSON text, as json_tokener_parse would parse
// them followed by a NUL: text after a complete value is ignored, an
// incomplete value fails. Never reads past len. Null on failure.
json_object* parseRequestText(const char* text, size_t len);

// True when text began with a double quote: its last character was overwritten
// with the terminator and the caller reads from text + 1.
bool delQuoteChar(char* text);

// Removes backslash escapes in place: the backslash goes, the next character is
// kept as it is; a trailing backslash ends the text. false ("buf is NULL!") for
// a missing text.
bool delEscapeChar(char* text);

// delEscapeChar's rule from src (n bytes, no terminator needed) into dst of
// dstSize bytes; dst may equal src. Returns the length written (terminated), or
// -1 when the text does not fit in dstSize - 1 bytes (dst is then empty).
long delEscapeCharTo(const char* src, size_t n, char* dst, size_t dstSize);

struct MemberText {
  const char* text;  // not terminated at len
  size_t len;
};

// The quote-stripped rendering of request[key]; false when the member is missing.
bool getMemberText(json_object* request, const char* key, MemberText* out);

// Signed conversion of a quote-stripped text, used as a 32-bit value.
int32_t memberTextToInt(const MemberText& m);
uint64_t memberTextToU64(const MemberText& m);

// request[key] converted to a 32-bit signed integer; false when missing.
bool getMemberInt(json_object* request, const char* key, int32_t* out);

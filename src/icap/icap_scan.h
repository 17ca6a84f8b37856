// ICAP scan (avType 1): one body-less request naming the file's path in the
// header the job names, sent to ServIp on the configured IcapPort; the answer's
// header block is read line by line and judged into a result code.
// Handlers return 0 on success; after any failed step the dispatcher writes
// buildIcapErrRespMsg's text instead of the encoder's.
// Error result: "status" is 1 (the job did not complete), "avType" 1, "result"
// 1 and "isTag" empty, for both ICAP job types, since the builder has no record.
// Job text never shapes the request beyond its own field: a text member that
// holds a control character (a byte below 0x20 or 0x7F, NUL included, once the
// blanks around it are trimmed) fails the decoder, and the request builders
// refuse such a piece as well, so nothing is sent. An IPv6 address goes into
// the ICAP URI and Host in brackets. Result texts are written by the shared
// JSON writer (jobs/result_text), the ISTag escaped.
#pragma once
#include <cstdint>

#include "icap/icap_io.h"

typedef struct json_object json_object;

struct IcapScanRecord {
  char Method[32];
  char PathKey[32];
  char FilePath[4300];
  char LifIp[64];
  char ServIp[64];
  uint16_t ServPort;
  char Infection[32];
  char Violation[32];
  int32_t status;
  int32_t result;
  char isTag[65];
};

int decodeIcapMsg(json_object* request, void* record, uint32_t recordSize);
int scanFileIcap(void* record, uint32_t recordSize);
int buildIcapScanRespMsg(void* record, uint32_t recordSize, char* result,
                         uint32_t resultSize);
int buildIcapErrRespMsg(char* result, uint32_t resultSize);
// The result text of both ICAP job types and of the error result:
// {"status": "S","avType": "A","result": "R","isTag": "T"} with the ISTag (at
// most 64 characters) JSON-escaped by the shared result writer. 0, or -1 when
// the text does not fit.
int writeIcapResult(char* result, uint32_t resultSize, int32_t status, int32_t avType,
                    int32_t scanResult, const char* isTag);
// Reads and judges an answer's header block; sets isTag and result. 0 / -1.
// With IcapStrict, an answer in which no known status was seen fails (the job
// gets the error result), unless its status line is "ICAP/1.0 204": without
// it a broken or misconfigured server would make every file clean.
int receiveResultFromServer(int sock, IcapScanRecord* record);

// Writes the scan request text for the record into buf (zero-filled by the
// caller). 0; -1 without a path buffer; the conversion's code on a bad path.
int buidlIcapMsg(const IcapScanRecord* record, char* buf, uint32_t size);
enum class IcapMemberRead { kRead, kMissing, kControlChar };
// Reads one text member into a field of the given width: cut to width - 1,
// then trimmed of blanks, tabs, CR, LF and form feeds. kMissing when the member
// is missing or JSON null; kControlChar when what is kept holds a control
// character (the field then holds the text up to any NUL).
IcapMemberRead readIcapMember(json_object* request, const char* key, char* out, uint32_t width);
// readIcapMember without the control-character verdict: false only when missing.
bool readIcapTextMember(json_object* request, const char* key, char* out, uint32_t width);
// Reads the text members in the order given, logging the member's own message
// when it is missing and ERR "Member %s holds a control character." when it
// holds one. 0 / -1 at the first member that fails.
struct IcapTextMember {
  const char* key;
  char* field;
  uint32_t width;
  const char* missing;
};
int readIcapTextMembers(json_object* request, const IcapTextMember* members, int count);
// True when text holds a byte below 0x20 or 0x7F.
bool hasIcapControlChar(const char* text);
// The server's address as it stands in an ICAP URI and Host header: an IPv6
// address (any text with a colon) in brackets, anything else as it is; cut to
// size - 1.
void formatIcapHost(const char* ip, char* out, uint32_t size);
// The members both ICAP job types read: "ServIp" and "ServPort". 0 / -1.
int decodeIcapServerMembers(json_object* request, IcapScanRecord* record);
// ServIp (cut to the address text) and the configured IcapPort.
AvServerAddr icapServerAddr(const IcapScanRecord* record);
// One exchange with the server: connect, send the request, read and judge the
// answer into record, close. 0, or the failing step's code (logged).
int exchangeIcap(const AvServerAddr& addr, const char* request, IcapScanRecord* record);
// Common start of both decoders: checks the record's room and the arguments
// (logged under the caller's name) and resets status, result and isTag.
IcapScanRecord* startIcapDecode(const char* caller, json_object* request, void* record,
                                uint32_t recordSize);
// Trims leading and trailing space, tab, CR, LF and form feed in place.
void trimIcapText(char* text);

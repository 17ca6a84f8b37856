// ICAP scan (avType 1): one body-less request naming the file's path in the
// header the job names, sent to ServIp on the configured IcapPort; the answer's
// header block is read line by line and judged into a result code.
// Handlers return 0 on success; after any failed step the dispatcher writes
// buildIcapErrRespMsg's text instead of the encoder's.
// Error result: "status" is 1 (the job did not complete), "avType" 1, "result"
// 1 and "isTag" empty, for both ICAP job types, since the builder has no record.
#pragma once
#include <cstdint>

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
// Reads and judges an answer's header block; sets isTag and result. 0 / -1.
int receiveResultFromServer(int sock, IcapScanRecord* record);

// Writes the scan request text for the record into buf (zero-filled by the
// caller). 0; -1 without a path buffer; the conversion's code on a bad path.
int buidlIcapMsg(const IcapScanRecord* record, char* buf, uint32_t size);
// Reads one text member into a field of the given width: cut to width - 1,
// then trimmed of blanks, tabs, CR, LF and form feeds. False when the member
// is missing or JSON null.
bool readIcapTextMember(json_object* request, const char* key, char* out, uint32_t width);
// Common start of both decoders: checks the record's room and the arguments
// (logged under the caller's name) and resets status, result and isTag.
IcapScanRecord* startIcapDecode(const char* caller, json_object* request, void* record,
                                uint32_t recordSize);
// Trims leading and trailing space, tab, CR, LF and form feed in place.
void trimIcapText(char* text);

// ICAP scan (avType 1): one body-less request naming the file's path in the
// header the job names, sent to ServIp on the configured IcapPort; the answer's
// header block is read line by line and judged into a result code.
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

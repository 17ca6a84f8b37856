// ICAP server status (avType 2): an OPTIONS request to ServIp on the configured
// IcapPort; only the first line of the answer is read and judged.
#pragma once
#include <cstdint>

#include "icap/icap_io.h"

typedef struct json_object json_object;

int decodeIcapServStaus(json_object* request, void* record, uint32_t recordSize);
int getServStatusIcap(void* record, uint32_t recordSize);
int buildIcapServStatusRespMsg(void* record, uint32_t recordSize, char* result,
                               uint32_t resultSize);
// Writes "OPTIONS icap://<host>:<port>/avscan ICAP/1.0" and an empty line, the
// host being the address with an IPv6 one in brackets. 0; -1 for a missing or
// empty address or one holding a control character.
int buildOptionsHeader(char* buf, uint32_t size, const AvServerAddr* addr);

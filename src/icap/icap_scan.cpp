// ICAP scan handlers (placeholder until the exchange lands).
#include "icap/icap_scan.h"

int decodeIcapMsg(json_object*, void*, uint32_t) { return -1; }
int scanFileIcap(void*, uint32_t) { return -1; }
int buildIcapScanRespMsg(void*, uint32_t, char*, uint32_t) { return -1; }
int buildIcapErrRespMsg(char*, uint32_t) { return -1; }
int receiveResultFromServer(int, IcapScanRecord*) { return -1; }

// The rows are the ICAP job types; a request whose avType no row takes goes on
// to the local engine.
#include "jobs/scan_type.h"

#include "icap/icap_scan.h"
#include "icap/icap_status.h"

const ScanTypeHandler g_scanTypeHandlers[] = {
    {1, decodeIcapMsg, scanFileIcap, buildIcapScanRespMsg, buildIcapErrRespMsg},
    {2, decodeIcapServStaus, getServStatusIcap, buildIcapServStatusRespMsg,
     buildIcapErrRespMsg},
};
const uint32_t g_scanTypeHandlerCount =
    sizeof(g_scanTypeHandlers) / sizeof(g_scanTypeHandlers[0]);

// Storage port reachability: for each of up to 16 "lifIps" elements, whether a
// TCP connection to port 445 of its "ip" is set up within PortConnectTimeOut
// (read at each probe). Statuses are kept in request order: 0 answered, 1 not.
// Decisions where the request is outside what the check reads, all refused with
// an ERR line and the job failing: "lifIps" that is not an array, an element
// that is not an object, an "ip" of 64 characters or more (it would not fit its
// slot; cutting it would probe another host). A negative PortConnectTimeOut
// would mean an unbounded wait: it is logged and bounded to 3000 ms.
#pragma once
#include <cstdint>

typedef struct json_object json_object;

constexpr int32_t AV_DEFAULT_PROBE_TIMEOUT_MS = 3000;

// 1 when the ports were probed; 0 when "lifIps" is absent (*jobResult 1) or
// malformed (*jobResult 0). ipSlots: 16 slots of 64 bytes.
int parseLifsJsonObjAndDetectThePort(json_object* request, int32_t* jobResult,
                                     int32_t* portCount, char (*ipSlots)[64],
                                     uint64_t* portIds, int32_t* portStatus);
// 1 when port 445 of the address answered.
int detectNasCifsPort(const char* ip);

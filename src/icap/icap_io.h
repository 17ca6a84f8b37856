// ICAP connection and line I/O: connect to an ICAP server over every address
// its name resolves to, write one whole request, read the answer one header
// line at a time. Each address gets a connect deadline of its own (2 s: the
// connect runs non-blocking, the wait for it is bounded, SO_ERROR decides);
// the socket is then blocking again. Readiness is awaited (net_Wait) for at
// most 300 s before each write attempt and before the first byte of each line,
// and the socket's own time-outs (2 s send, 30 s receive) bound the single calls.
// Results: 0 on success, -1 on failure (icapWrite: the length written). On any
// failure after connectAvServer the socket stays open for the caller to close.
// A signal during a readiness wait resumes it for the time left rather than
// failing the exchange; on a time-out the logged errno is 0.
// icapReadline: after the readiness wait it peeks (MSG_PEEK) at what has
// arrived and takes with recv() exactly up to and including the line end, or up
// to the byte that breaks the capacity rule, so it never consumes a byte past
// the line end. LF or CR LF ends a line; a CR followed by another byte stays in
// the line with that byte; a CR at the end of what has arrived waits for the
// next byte. A line of capacity-1 bytes reads; one byte more fails.
#pragma once
#include <cstdint>

constexpr uint32_t ICAP_ADDR_TEXT_MAX = 64;      // characters of the address text
constexpr int ICAP_SEND_TIMEOUT_SEC = 2;
constexpr int ICAP_RECV_TIMEOUT_SEC = 30;
constexpr int ICAP_READY_WAIT_MS = 300 * 1000;   // readiness wait per write / line
constexpr int ICAP_CONNECT_WAIT_MS = 2000;       // connect deadline per address

struct AvServerAddr {
  char ip[ICAP_ADDR_TEXT_MAX + 1];  // host name or numeric address, NUL-terminated
  uint32_t port;                    // 0 to 65535
};

int connectAvServer(AvServerAddr addr, int* sock);
void closeAvServer(int sock);  // sock < 0: nothing to close
int setSocketDelayTime(int fd, int sendSec, int recvSec);
int icapWrite(int fd, const char* buf, int len);
int sendUncPath2Server(int fd, const char* text);
int icapReadline(int fd, char* buf, int capacity);
// icapReadline that also tells how many bytes it took from the socket (the
// line's bytes as received, its line end and any NUL bytes in it included).
int icapReadlineCounted(int fd, char* buf, int capacity, int* taken);

// Test seam: replaces the 300 s readiness wait of icapWrite / icapReadline
// (milliseconds); 0 or less restores the default. Never called by the agent.
void setIcapReadyWaitForTest(int milliseconds);
// Test seam: replaces the connect deadline per address (milliseconds); 0 or
// less restores the default. Never called by the agent.
void setIcapConnectWaitForTest(int milliseconds);

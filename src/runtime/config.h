// Configuration: cfg/agentConfig.ini under the installation root, read whole by
// initSettingFromCfg at start and again by the watcher thread after every write
// in cfg/. Each live setting is one atomic word, stored the moment it is read.
// The vendor table is published whole: a reader holds a reference to the table
// it got, so a reload never frees a table in use, and the count it sees is the
// count of records that table holds.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

extern std::atomic<int32_t> g_avAgentPort;
extern std::atomic<int32_t> g_maxJobsNo;
extern std::atomic<int32_t> g_flowJobsNo;
extern std::atomic<int32_t> g_portConnectTimeOut;

// Peer policy of the message server, read for every connection (so a reload
// applies to the next one). A value out of range, or a malformed AllowedPeers
// entry, fails the load and leaves all of them as they were.
extern std::atomic<int32_t> g_handshakeTimeOut;     // HandshakeTimeOut, ms for the whole handshake
extern std::atomic<int32_t> g_handshakeFailLimit;   // HandshakeFailLimit, 0: no bans
extern std::atomic<int32_t> g_handshakeFailWindow;  // HandshakeFailWindow, s
extern std::atomic<int32_t> g_handshakeBanTime;     // HandshakeBanTime, s
struct PeerAllowList;
// AllowedPeers as parsed; an empty list admits everyone. Never null.
std::shared_ptr<const PeerAllowList> getAllowedPeers();

constexpr uint32_t AV_MAX_VENDORS = 128;

struct VendorRecord {  // 194 bytes
  char vendorName[129];
  char processNameList[65];
};

struct VendorTable {
  uint32_t count = 0;
  VendorRecord* records = nullptr;  // count records, from the memory pool
  ~VendorTable();
};

int initSettingFromCfg();                 // 1 success, 0 failure
// A load that fails (VendorNum 0 or above 128, no memory) keeps the table
// published before it, so readers never see a count without its records.
int loadVendorInfo(const char* cfgPath);  // 1 loaded, 0 not
// The watcher reloads after every write, move or creation in cfg/ (relative
// to the current directory) and ends the process with errno as its exit code
// when the folder can no longer be watched. A second call while the watcher
// runs starts nothing and returns 0.
int createCfgMonitorThread();             // 0 started, -1 not
// Test seams: ends the watcher and waits (up to 5 s) until it has; counts the
// reloads the watcher has run since the process started.
void stopCfgMonitorThreadForTest();
uint32_t getCfgMonitorReloadCount();

uint16_t getIcapPort();
std::shared_ptr<const VendorTable> getVendorTable();  // never null
// Folder under which \\server\share\rest is found as UncRoot/server/share/rest.
// Copies it into out (cut to size - 1). An empty UncRoot reads as the default
// "/mnt/unc", as share paths must never resolve relative to the install root.
void getUncRoot(char* out, uint32_t size);

// Path of agentConfig.ini: <root>/cfg/agentConfig.ini, the root being the
// executable's folder unless set here first (tests, tools). 0, or an error code.
uint32_t getCfgFilePath(char* out, uint32_t size);
void setCfgRootForTest(const char* root);

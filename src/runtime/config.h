// Configuration: cfg/agentConfig.ini under the installation root, read whole by
// initSettingFromCfg at start and again by the watcher thread after every write
// in cfg/. A load builds a complete AgentSettings, checks it, and publishes it
// whole or not at all: the live words below are stored only then, and a refused
// reload keeps every running value. The vendor table is published whole too: a
// reader holds a reference to the table it got, so a reload never frees a table
// in use, and the count it sees is the count of records that table holds.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

extern std::atomic<int32_t> g_avAgentPort;
extern std::atomic<int32_t> g_maxJobsNo;
extern std::atomic<int32_t> g_flowJobsNo;
extern std::atomic<int32_t> g_portConnectTimeOut;

// Peer policy of the message server, read for every connection (so a reload
// applies to the next one). A value out of range, or a malformed AllowedPeers
// entry, fails the load like any other bad key.
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

// One whole configuration, as parsed and checked; a reload publishes it at
// once or not at all.
struct AgentSettings {
  int32_t port = 0;
  int32_t icapPort = 1344;
  int32_t maxJobs = 0;
  int32_t flowJobs = 0;
  int32_t portConnectTimeOut = 0;
  int32_t logFileNum = 100;
  int32_t logLevel = 4;
  int32_t handshakeTimeOut = 30000;
  int32_t handshakeFailLimit = 20;
  int32_t handshakeFailWindow = 60;
  int32_t handshakeBanTime = 60;
  std::string metricsFile;  // MetricsFile; empty: no metrics file
  int32_t icapStrict = 0;   // IcapStrict: 1 judges an ICAP answer without a known status an error
  std::shared_ptr<const std::string> canaryPath;  // CanaryPath; empty: no canary probe
  std::string listenAddress;  // ListenAddress, numeric; empty: every address
  std::shared_ptr<const std::string> uncRoot;
  std::shared_ptr<const PeerAllowList> allowedPeers;
  std::shared_ptr<const VendorTable> vendors;
};

// Reads the whole file into a new AgentSettings, checks it, loads or resets
// the pre-shared key, and only then publishes it. A refused file is logged
// and the running settings stay as they were.
int initSettingFromCfg();                 // 1 success, 0 failure
// The watcher reloads after every write, move or creation in cfg/ (relative
// to the current directory) and ends the process with errno as its exit code
// when the folder can no longer be watched. A second call while the watcher
// runs starts nothing and returns 0.
int createCfgMonitorThread();             // 0 started, -1 not
// Test seam: ends the watcher and waits (up to 5 s) until it has.
void stopCfgMonitorThreadForTest();

// Why the last load was refused, for the operator (one line naming the key,
// its value and the file); empty after an accepted load.
void getCfgRefusal(char* out, uint32_t size);
// ListenAddress as last published: a numeric IPv4 or IPv6 address, or empty
// for every address. The server reads it once, at start.
void getListenAddress(char* out, uint32_t size);

uint16_t getIcapPort();
std::shared_ptr<const VendorTable> getVendorTable();  // never null
// Folder under which \\server\share\rest is found as UncRoot/server/share/rest.
// Copies it into out (cut to size - 1). An empty UncRoot reads as the default
// "/mnt/unc", as share paths must never resolve relative to the install root.
void getUncRoot(char* out, uint32_t size);

// CanaryPath as published (an absolute path, or empty when the probe is off). Never null.
std::shared_ptr<const std::string> getCanaryPath();
// IcapStrict as published: true when an ICAP answer without a known status is an error.
bool getIcapStrict();

// Path of agentConfig.ini: <root>/cfg/agentConfig.ini, the root being the
// executable's folder unless set here first (tests, tools). 0, or an error code.
uint32_t getCfgFilePath(char* out, uint32_t size);
void setCfgRootForTest(const char* root);

// Start-up and lifecycle: fixes the installation root from the executable's
// path, brings up the pool, the log, the configuration, the RSA key pair and the
// message server in that order, starts the configuration watcher, and waits for
// "/quit" on standard input (or a stop request of the system).
//
// Decisions: the root is the folder of the program file, its image name
// translated to a drive-letter path where the system has drives; its log/ and
// tmp/ folders are created when missing, so a fresh installation logs. The
// open-file limit is raised and a closed peer never ends the process. The two
// operator messages go to stderr as "Tips: <text>". Standard input at end of
// file stops being read (service mode) while stop requests are still served.
// Once the server runs, the process ends at once through proc_Exit (code 0
// after "Program end.", -1 on failures); the pool is left to the process end.
// The device-name match in getRealFilePath needs a separator (or the end)
// behind the device name, so volume1 never stands for volume10.
#pragma once
#include <cstdint>

constexpr uint32_t AV_PATH_NO_OUTPUT = 0x40000101;
constexpr uint32_t AV_PATH_NO_IMAGE_NAME = 0x40000102;
constexpr uint32_t AV_PATH_DRIVE_LIST_SIZE = 0x40000103;
constexpr uint32_t AV_PATH_DRIVE_LIST_MEMORY = 0x40000104;
constexpr uint32_t AV_PATH_DRIVE_LIST = 0x40000105;
constexpr uint32_t AV_PATH_DEVICE_MEMORY = 0x40000106;
constexpr uint32_t AV_PATH_DEVICE_TOO_LONG = 0x40000107;
constexpr uint32_t AV_PATH_NO_DRIVE = 0xFFFFFFFF;

// The program entry's body; returns the process exit code.
int agentMain();
// Makes the installation root the current folder, creates its log/ and tmp/,
// writes its log folder into logDir (cut to logDirSize - 1) and holds the named
// mutex "Global\AvAgentLogMutex - AvAgent". 1 when the root was set and the
// mutex is held, else 0 (logDir untouched when the root was not set).
int setRootPath(char* logDir, uint32_t logDirSize);
// The installation root: the folder of the running program. 0, or a code of
// the table above.
uint32_t getInstallRoot(char* out, uint32_t size);
// Full path of the running program (pid 0) into out; a code of the table above.
uint32_t GetProcessFilePath(int pid, char* out, uint32_t outSize);
// Device path to drive path. driveList: "C:\\\0D:\\\0\0"; queryDevice maps a
// drive name ("C:") to its device name, returning 0 or a system error code
// (122 when the buffer is too small).
using AvDeviceQuery = uint32_t (*)(const char* drive, char* out, uint32_t size);
uint32_t getRealFilePath(const char* driveList, const char* devicePath, char* out,
                         uint32_t outSize, AvDeviceQuery queryDevice);

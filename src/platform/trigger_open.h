// Read-only trigger open of one share file, so that the engine's on-access
// scanner inspects it. The name is resolved beneath the UNC root folder only
// (openat2 with RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS): a symbolic link is
// followed as if the root were "/", ".." never climbs above the root, and a
// procfs-style magic link fails with ELOOP. So a link on a share that points
// at a host file, a device or far up the tree finds nothing outside the root.
// The file is first looked at through an O_PATH descriptor, which opens
// nothing; only a regular file is then opened for real, O_RDONLY | O_NONBLOCK
// | O_NOCTTY, and closed at once. A folder, FIFO, socket or device node is
// never opened for reading, so no job waits on a writer or wakes a device.
#pragma once
#include <cstdint>

enum class TriggerOpenKind : unsigned char {
  kOpened,      // a regular file, opened read-only and closed
  kFailed,      // the look or the open failed with err (an on-access denial is EPERM)
  kNoFolder,    // ENOENT, and the folder that should hold the name is missing too
  kDirectory,   // a folder: not opened
  kSpecial,     // a FIFO, socket or device node: not opened for reading
};

struct TriggerOpenResult {
  TriggerOpenKind kind;
  int err;       // the system's error value of kFailed and kNoFolder, else 0
  int closeErr;  // the system's error value of a failed close of the real open, else 0
};

// The share error code the storage system is told for err of a failed open:
// 2 file not found, 5 access denied, 225 refused by the on-access scanner and
// so on; 31 (ERROR_GEN_FAILURE) for a value without a code, such as a missing
// system call (the open then fails closed).
uint32_t triggerOpen_StatusCode(int err);

// The UNC root a configuration without one uses: where this system finds
// \\server\share (the mount folder of the shares, or the system's own UNC
// namespace).
const char* triggerOpen_DefaultRoot();

// root: the UNC root folder. relPath: '/'-separated path beneath it (leading
// '/' allowed; empty names the root itself).
TriggerOpenResult triggerOpenBeneath(const char* root, const char* relPath);
// The same open of a local file named by an absolute path: its folder is the
// root and only the last name is resolved beneath it, so a link in place of
// the file never leads out of that folder. A relative path fails with EINVAL.
TriggerOpenResult triggerOpenLocal(const char* absPath);

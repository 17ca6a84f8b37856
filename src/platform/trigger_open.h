// Read-only trigger open of a share file for the engine's on-access scanner.
// The prefixed UTF-16 path (\\?\UNC\server\share\rest) is mapped to
// UncRoot/server/share/rest: prefix removed, UTF-8, every backslash a '/'.
// A '.' or '..' component is refused with 123 before any open, so no job
// reaches a file outside UncRoot; a path that does not begin with the prefix
// followed by a separator is refused the same way. The file is opened with
// O_RDONLY|O_NONBLOCK|O_NOCTTY|O_CLOEXEC (a FIFO never hangs the job) and closed
// at once; a directory counts as refused with 5. ENOENT whose parent folder is
// missing gives 3, as the storage system expects for a missing folder.
// Result: 0 opened, else the storage system's error code for the errno.
#pragma once
#include <cstdint>

uint32_t triggerOpenUncPath(const char16_t* prefixedPath);

// errno of a failed open -> error code (31 for anything not in the table).
uint32_t mapOpenErrno(int err);

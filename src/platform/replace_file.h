// Whole-file replacement that a reader never sees half done: the text goes to
// a hidden temporary beside the target (".name.XXXXXX", so a collector that
// reads "*.prom" or similar never picks it up) and is renamed over it.
#pragma once
#include <cstddef>

// Writes len bytes as the new content of path with the given permission bits
// (not narrowed by the umask). 0, or an errno value; on failure the target is
// left as it was and the temporary removed. Not synced to disk: meant for
// files that are rewritten often and worthless after a crash.
int replaceFile_Write(const char* path, const char* data, size_t len, unsigned mode);

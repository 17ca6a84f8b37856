// Running processes' executable file names, from /proc: the last component of
// the exe link; when that cannot be read (kernel threads, vanished or foreign
// processes) the last component of cmdline's first word, else comm. A zombie
// is no running process and is passed over. A link
// whose target was replaced on disk (" (deleted)") still names the running
// program, so the suffix is dropped. Processes that vanish mid-walk are skipped.
#pragma once

// visit returns true to stop the walk. Result: 1 stopped by visit, 0 walked to
// the end, -1 /proc could not be opened (the snapshot failure).
int walkProcessNames(bool (*visit)(const char* exeName, void* ctx), void* ctx);

// Change notifications for one folder (no subfolders): a file written and
// closed, moved in or created there. A wait returns once something happened,
// after taking every notification already queued, so a burst of writes (an
// editor's save, a rename-over) becomes one wake-up.
#pragma once
#include <cstdint>

// The system's handles, copied by value; -1 while closed.
struct DirWatch {
  intptr_t changes = -1;  // the change notification
  intptr_t wake = -1;     // ends a wait from another thread
};

// 0, or -1 with errno set.
int dirWatch_Open(DirWatch* w, const char* dir);
// 1 something changed; 0 dirWatch_Wake was called; -1 with errno set when the
// notification failed or the folder went away (deleted or moved).
int dirWatch_Wait(DirWatch* w);
// Makes the current or next wait return 0. Safe from any thread.
void dirWatch_Wake(DirWatch* w);
void dirWatch_Close(DirWatch* w);

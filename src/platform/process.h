// The running process: its program file, current folder, limits, stop
// signals, standard input and its end. Calls return 0 or an errno value.
#pragma once
#include <cstddef>

// Full path of the program file of process pid (0: this process). ENAMETOOLONG
// when it does not fit in size (terminator included).
int proc_ExePath(int pid, char* out, size_t size);
int proc_ChangeDir(const char* path);
// Raises the soft limit of open descriptors to the hard limit.
int proc_RaiseOpenFileLimit();
// True when standard output is a terminal (an operator watching it).
bool proc_StdoutIsTerminal();
// A write to a closed connection returns EPIPE instead of ending the process.
void proc_IgnoreBrokenPipe();

// SIGTERM and SIGINT become events on *fd instead of ending the process; call
// before any thread starts so every thread inherits the blocked mask. On
// failure the signals keep their default action and *fd is -1.
int proc_CatchStopSignals(int* fd);

enum class ProcWait { Timeout, Stop, Input, InputEnd, Failed };
// Waits up to timeoutMs for a stop signal on stopFd (ignored when negative)
// and, when watchInput, for standard input. Input: *got bytes were read into
// buf. InputEnd: standard input is at its end or unusable. Failed: the wait
// itself failed (errno of the wait lost; nothing is left to wait on).
ProcWait proc_WaitStopOrInput(int stopFd, bool watchInput, int timeoutMs, char* buf, size_t size,
                              size_t* got);

// Flushes standard streams and ends the process at once: no static object is
// destroyed under threads that still run.
[[noreturn]] void proc_Exit(int code);

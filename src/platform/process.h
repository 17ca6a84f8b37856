// The running process: its program file, current folder, limits, stop
// signals, standard input and its end. Calls return 0 or an errno value.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Full path of the program file of process pid (0: this process). ENAMETOOLONG
// when it does not fit in size (terminator included).
int proc_ExePath(int pid, char* out, size_t size);
// The program file of process pid (0: this process) as the system names it
// inside: on a system with drive letters a device path such as
// \Device\HarddiskVolume2\Agent\avagent.exe, elsewhere what proc_ExePath gives.
int proc_ImageDevicePath(int pid, char* out, size_t size);
// The logical drive roots as "C:\\\0D:\\\0\0"; empty on a system without
// drive letters, whose paths need no translation. 0, ENOMEM, or another errno.
int proc_DriveList(std::string* out);
// The device name a drive name ("C:") stands for. 0, or the system's error
// value (122 when it does not fit in size).
uint32_t proc_DriveDevice(const char* drive, char* out, uint32_t size);
// Creates the system-wide mutex of this name (not owned) and keeps it for the
// life of the process. 0, or errno; 0 at once on a system without named mutexes.
int proc_HoldNamedMutex(const char* name);
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

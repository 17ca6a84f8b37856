// The running process on Windows. Stop requests are the console's control
// events (Ctrl+C, Ctrl+Break, closing the console, log-off and shut-down),
// and standard input is read by a thread of its own, because Windows has no
// single wait that covers a console, a pipe and a file alike; the main thread
// waits on a condition for either. The stop "descriptor" is a token: there is
// one stop event per process.
#include "platform/process.h"

#include <windows.h>
#include <io.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/win/wide.h"

namespace {

int copyOut(const std::wstring& w, char* out, size_t size) {
  const std::string s = avwin::utf8(w.c_str());
  if (s.empty()) return ENOENT;
  if (s.size() >= size) return ENAMETOOLONG;
  std::memcpy(out, s.c_str(), s.size() + 1);
  return 0;
}

int imageName(int pid, DWORD flags, char* out, size_t size) {
  if (out == nullptr || size == 0) return EINVAL;
  HANDLE p = pid == 0 ? GetCurrentProcess()
                      : OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (p == nullptr) return avwin::errnoOf(GetLastError());
  std::wstring w(32768, L'\0');
  DWORD n = static_cast<DWORD>(w.size());
  const BOOL ok = QueryFullProcessImageNameW(p, flags, w.data(), &n);
  const DWORD err = GetLastError();
  if (pid != 0) CloseHandle(p);
  if (!ok) return avwin::errnoOf(err);
  w.resize(n);
  return copyOut(w, out, size);
}

// Stop requests and standard input, handed from their threads to the waiter.
struct Events {
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  bool readerStarted = false;
  std::string input;
  bool inputEnd = false;
};

Events& events() {
  static Events* e = new Events();  // used until the process ends
  return *e;
}

BOOL WINAPI onControl(DWORD) {
  Events& e = events();
  {
    std::lock_guard<std::mutex> lock(e.m);
    e.stop = true;
  }
  e.cv.notify_all();
  // Closing the console or shutting down ends the process when this returns:
  // give the main thread a moment to log its end.
  Sleep(2000);
  return TRUE;
}

void readInput() {
  Events& e = events();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[512];
  for (;;) {
    DWORD got = 0;
    const bool ok = in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &got, nullptr);
    std::lock_guard<std::mutex> lock(e.m);
    if (!ok || got == 0) {
      e.inputEnd = true;
      e.cv.notify_all();
      return;
    }
    e.input.append(buf, got);
    e.cv.notify_all();
  }
}

}  // namespace

int proc_ExePath(int pid, char* out, size_t size) {
  if (out == nullptr || size == 0) return EINVAL;
  if (pid != 0) return imageName(pid, 0, out, size);
  std::wstring w(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, w.data(), static_cast<DWORD>(w.size()));
    if (n == 0) return avwin::errnoOf(GetLastError());
    if (n < w.size()) {
      w.resize(n);
      return copyOut(w, out, size);
    }
    if (w.size() >= 32768) return ENAMETOOLONG;
    w.resize(w.size() * 2);
  }
}

int proc_ImageDevicePath(int pid, char* out, size_t size) {
  return imageName(pid, PROCESS_NAME_NATIVE, out, size);
}

int proc_DriveList(std::string* out) {
  out->clear();
  const DWORD need = GetLogicalDriveStringsA(0, nullptr);
  if (need == 0) return avwin::errnoOf(GetLastError());
  std::string list(need + 1, '\0');
  const DWORD n = GetLogicalDriveStringsA(need, list.data());
  if (n == 0 || n > need) return EIO;
  list.resize(n + 1);  // the list's closing empty name
  *out = std::move(list);
  return 0;
}

uint32_t proc_DriveDevice(const char* drive, char* out, uint32_t size) {
  if (QueryDosDeviceA(drive, out, size) != 0) return 0;
  return GetLastError();
}

int proc_HoldNamedMutex(const char* name) {
  static HANDLE held = nullptr;
  if (held != nullptr) return 0;
  held = CreateMutexW(nullptr, FALSE, avwin::wide(name).c_str());
  return held != nullptr ? 0 : avwin::errnoOf(GetLastError());
}

bool proc_StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

int proc_ChangeDir(const char* path) {
  return SetCurrentDirectoryW(avwin::wide(path).c_str()) ? 0 : avwin::errnoOf(GetLastError());
}

// Sockets are not C runtime descriptors; only the log's files count here.
int proc_RaiseOpenFileLimit() { return _setmaxstdio(2048) == 2048 ? 0 : EINVAL; }

void proc_IgnoreBrokenPipe() {}

int proc_CatchStopSignals(int* fd) {
  *fd = -1;
  if (!SetConsoleCtrlHandler(onControl, TRUE)) return avwin::errnoOf(GetLastError());
  *fd = 0;
  return 0;
}

ProcWait proc_WaitStopOrInput(int stopFd, bool watchInput, int timeoutMs, char* buf, size_t size,
                              size_t* got) {
  *got = 0;
  Events& e = events();
  std::unique_lock<std::mutex> lock(e.m);
  if (watchInput && !e.readerStarted) {
    e.readerStarted = true;
    std::thread(readInput).detach();
  }
  auto ready = [&] {
    return (stopFd >= 0 && e.stop) || (watchInput && (!e.input.empty() || e.inputEnd));
  };
  e.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0), ready);
  if (stopFd >= 0 && e.stop) return ProcWait::Stop;
  if (!watchInput) return ProcWait::Timeout;
  if (!e.input.empty()) {
    const size_t n = e.input.size() < size ? e.input.size() : size;
    std::memcpy(buf, e.input.data(), n);
    e.input.erase(0, n);
    *got = n;
    return ProcWait::Input;
  }
  return e.inputEnd ? ProcWait::InputEnd : ProcWait::Timeout;
}

void proc_Exit(int code) {
  std::fflush(nullptr);
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) Sleep(INFINITE);  // TerminateProcess on the own process does not return
}

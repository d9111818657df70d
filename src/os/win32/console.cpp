// The console and stop requests on Windows. The tool prints UTF-8 on every platform; the console is
// switched to the UTF-8 code page for the run (and back at exit), so Polish letters read right in
// cmd.exe while a redirected file receives the same UTF-8 bytes as on Linux (the standard streams
// in binary mode: no CR before each LF). Ctrl+C, Ctrl+Break and the console being closed become
// the run's stop request; a close waits (within the few seconds Windows grants) for the run to
// reach its firm boundary and end the watch.
#include "os/console.h"

// windows.h first: the other Win32 headers build on it.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "os/wide.h"

namespace tav::os {
namespace {

std::atomic<void (*)()> gOnStop{nullptr};
HANDLE gWatchEnded = nullptr;
UINT gPreviousOutputCp = 0;

BOOL WINAPI onControl(DWORD type) {
  void (*stop)() = gOnStop.load();
  if (!stop) return FALSE;
  stop();
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    // Returning ends the process at once: wait for the run to stop at its firm boundary first.
    if (gWatchEnded) ::WaitForSingleObject(gWatchEnded, 4500);
  }
  return TRUE;
}

void restoreOutputCp() {
  if (gPreviousOutputCp) ::SetConsoleOutputCP(gPreviousOutputCp);
}

}  // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  int n = 0;
  wchar_t** w = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  if (!w) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::vector<std::string> out;
  for (int i = 1; i < n; ++i) out.push_back(utf8FromWide(w[i]));
  ::LocalFree(w);
  return out;
}

bool stderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void prepareConsole() {
  // The bytes as written, in a console and in a redirected file alike: the C runtime's text mode
  // would put a CR before every LF, and output read by scripts would differ from Linux's.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  if (gPreviousOutputCp) return;
  const UINT cp = ::GetConsoleOutputCP();
  if (cp == 0 || cp == CP_UTF8) return;  // no console, or already UTF-8
  if (::SetConsoleOutputCP(CP_UTF8)) {
    gPreviousOutputCp = cp;
    std::atexit(restoreOutputCp);
  }
}

StopRequests::StopRequests(void (*onStop)()) {
  gWatchEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  gOnStop = onStop;
  ::SetConsoleCtrlHandler(onControl, TRUE);
}

StopRequests::~StopRequests() {
  gOnStop = nullptr;
  if (gWatchEnded) ::SetEvent(gWatchEnded);
  ::SetConsoleCtrlHandler(onControl, FALSE);
  // The handler may still be waiting on the event for a moment; it is left to the process.
}

}  // namespace tav::os

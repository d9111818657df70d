// The process list on Windows: a Toolhelp snapshot (CreateToolhelp32Snapshot, Process32FirstW,
// Process32NextW), with each process's image path where it may be asked. A process that ends
// while the list is read is simply not in it.
// windows.h first: the other Win32 headers build on it.
#include <windows.h>

#include <tlhelp32.h>

#include "os/process/process_list.h"
#include "os/wide.h"

namespace tav::os {

std::optional<std::vector<ProcessEntry>> listProcesses(const std::filesystem::path&) {
  HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<ProcessEntry> out;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;
  for (BOOL more = ::Process32FirstW(snap, &pe); more; more = ::Process32NextW(snap, &pe)) {
    ProcessEntry e;
    e.pid = static_cast<pid_t>(pe.th32ProcessID);
    e.parentPid = static_cast<pid_t>(pe.th32ParentProcessID);
    e.threads = static_cast<int>(pe.cntThreads);
    // The executable's file name, as the running-program check compares it (852, like every name
    // the tool handles).
    e.name = oemFromWide(pe.szExeFile);
    if (HANDLE p = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pe.th32ProcessID)) {
      wchar_t path[MAX_PATH * 4];
      DWORD n = MAX_PATH * 4;
      if (::QueryFullProcessImageNameW(p, 0, path, &n)) e.exePath = oemFromWide({path, n});
      ::CloseHandle(p);
    }
    out.push_back(std::move(e));
  }
  ::CloseHandle(snap);
  return out;
}

}  // namespace tav::os

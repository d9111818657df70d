#pragma once

// The running processes (Linux: /proc; Windows: a Toolhelp snapshot, `procRoot` unused), named as
// a Windows process list names them, so the tool can tell whether the program is still running
// anywhere before it touches its files.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tav::os {

// One running process as /proc shows it, with the names a Windows process list would give.
struct ProcessEntry {
  pid_t pid = 0;
  pid_t parentPid = 0;
  int threads = 0;
  std::string name;      // the kernel's process name (comm), at most 15 characters
  std::string exePath;   // where /proc/<pid>/exe points; empty when it may not be read
  std::string firstArg;  // argv[0] as the process was started
  // The executable's file name, as a process entry of Windows carries it: the last component of
  // argv[0] (a Windows program run by a loader keeps its own name there), else of the executable.
  std::string exeFileName() const;
};

// Every process that can be seen; nullopt when the list itself cannot be read. Processes that
// end while being read are left out.
std::optional<std::vector<ProcessEntry>> listProcesses(
    const std::filesystem::path& procRoot = "/proc");

// The last component of a path in either notation ("/usr/bin/x", "C:\Tav\tav.exe").
std::string lastPathComponent(const std::string& path);

}  // namespace tav::os

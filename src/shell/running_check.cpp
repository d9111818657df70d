// Finding the accounting program among the running processes, by every name a process can show.

#include "shell/running_check.h"

#include "os/process/process_list.h"
#include "runtime/clock.h"
#include "runtime/format.h"

namespace tav::shell {
namespace {

bool isTavExe(const std::string& name) {
  std::string n = rt::allTrim(name);
  if (n.size() != 7) return false;
  for (char& c : n)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return n == "TAV.EXE";
}

}  // namespace

bool isTavRunning(const std::filesystem::path& procRoot) {
  rt::pause(50);
  auto processes = os::listProcesses(procRoot);
  if (!processes) return false;
  for (const auto& p : *processes) {
    // The executable's own name, the name the kernel gives the process, and the file the
    // process image came from: a copy or link named tav.exe, or a loader that runs it.
    if (isTavExe(p.exeFileName()) || isTavExe(p.name) || isTavExe(os::lastPathComponent(p.exePath)))
      return true;
  }
  return false;
}

bool IS_TAV_RUN() { return isTavRunning("/proc"); }

bool waitUntilTavCloses(const std::function<int()>& ask, const std::function<bool()>& running) {
  while (running()) {
    if (ask() != 1) return false;
  }
  return true;
}

}  // namespace tav::shell

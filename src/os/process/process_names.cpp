// The names a process entry answers to, the same on every platform: the running-program check
// matches a process by its executable's file name, as a Windows process list gives it.
#include "os/process/process_list.h"

namespace tav::os {

std::string lastPathComponent(const std::string& path) {
  size_t p = path.find_last_of("/\\");
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ProcessEntry::exeFileName() const {
  std::string fromArg = lastPathComponent(firstArg);
  if (!fromArg.empty()) return fromArg;
  if (!exePath.empty()) return lastPathComponent(exePath);
  return name;
}

}  // namespace tav::os

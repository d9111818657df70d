// No child processes on Windows: a process cannot start as a copy of the run there, and `--jobs`
// above 1 is refused before anything is changed (docs/decisions.md).
#include "os/child_process.h"

namespace tav::os {

bool childProcessesSupported() { return false; }

std::optional<ChildProcess> ChildProcess::start(const std::function<std::string()>&) {
  return std::nullopt;
}

ChildProcess::Result ChildProcess::collect() {
  Result r;
  r.failure = "no child processes on this platform";
  return r;
}

size_t ChildProcess::firstFinished(const std::vector<ChildProcess*>&) { return 0; }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), fd_(other.fd_) {
  other.pid_ = -1;
  other.fd_ = -1;
}

ChildProcess::~ChildProcess() = default;

}  // namespace tav::os

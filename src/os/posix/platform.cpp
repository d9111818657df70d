// The host calls the shared sources of os need, on Linux (os/platform.h).
#include "os/platform.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tav::os::platform {

void killSelf() {
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);  // not reached: SIGKILL cannot be caught
}

void stopSelf() { ::raise(SIGSTOP); }

std::string hostComputerName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return {};
  return host;
}

// Linux has no font table that holds a font file open: nothing keeps the file.
bool removeSystemFont(std::string_view) { return true; }

std::optional<HostTimes> hostTimes(const std::filesystem::path& host) {
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0) return std::nullopt;
  auto fileTime = [](const timespec& ts) {
    return (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
  };
  return HostTimes{fileTime(st.st_ctim), fileTime(st.st_atim), fileTime(st.st_mtim),
                   static_cast<uint64_t>(st.st_size)};
}

}  // namespace tav::os::platform

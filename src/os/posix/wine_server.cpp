// Finding a prefix's Wine server by connecting to its socket. The socket path is derived from the
// prefix directory's identity, not its name, so a symlinked or relative prefix finds the same
// server; only a listening server accepts, so a stale socket never blocks anyone.

#include "os/process/wine_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace tav::os {

namespace fs = std::filesystem;

fs::path wineServerSocket(const fs::path& prefix, const fs::path& procRoot) {
  struct stat st {};
  if (::stat(prefix.c_str(), &st) != 0) return {};
  char name[64];
  std::snprintf(name, sizeof name, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::vector<fs::path> candidates;
  {
    std::ifstream recorded(prefix / "wineserver");
    std::string dir;
    if (std::getline(recorded, dir) && !dir.empty() && dir.find('/') == std::string::npos &&
        dir != "." && dir != "..")
      candidates.push_back(fs::path("/tmp") / dir / name / "socket");
  }
  candidates.push_back(fs::path("/tmp") / (".wine-" + std::to_string(::getuid())) / name /
                       "socket");
  std::error_code ec;
  for (const fs::path& c : candidates)
    if (fs::exists(c, ec)) return c;
  // Wherever this Wine keeps it, its server works in that directory.
  for (fs::directory_iterator it(procRoot, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkError;
    const fs::path cwd = fs::read_symlink(it->path() / "cwd", linkError);
    if (!linkError && cwd.filename() == name && fs::exists(cwd / "socket", linkError))
      return cwd / "socket";
  }
  return {};
}

bool wineServerRunning(const std::filesystem::path& prefix) {
  const std::filesystem::path socketPath = wineServerSocket(prefix);
  if (socketPath.empty() || socketPath.string().size() >= sizeof(sockaddr_un::sun_path))
    return false;
  struct stat st {};
  if (::lstat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.string().size() + 1);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  // A server that is busy or whose backlog is full still runs.
  const bool listening = rc == 0 || errno == EAGAIN;
  ::close(fd);
  return listening;
}

}  // namespace tav::os

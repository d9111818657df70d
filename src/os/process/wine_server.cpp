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

namespace tav::os {

std::filesystem::path wineServerSocket(const std::filesystem::path& prefix) {
  struct stat st {};
  if (::stat(prefix.c_str(), &st) != 0) return {};
  char dir[128];
  std::snprintf(dir, sizeof dir, "/tmp/.wine-%u/server-%llx-%llx/socket", static_cast<unsigned>(::getuid()),
                static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
  return dir;
}

bool wineServerRunning(const std::filesystem::path& prefix) {
  const std::filesystem::path socketPath = wineServerSocket(prefix);
  if (socketPath.empty() || socketPath.string().size() >= sizeof(sockaddr_un::sun_path)) return false;
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

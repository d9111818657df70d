#pragma once

// Whether a Wine server is running for a prefix directory. While one runs it holds that prefix's
// registry in memory and writes it back over the files when it ends, so anything written to the
// files meanwhile would be lost or would overwrite its state.

#include <filesystem>

namespace tav::os {

// The socket a Wine server for `prefix` listens on: /tmp/.wine-<uid>/server-<dev>-<inode>/socket,
// device and inode of the prefix directory in lower-case hex, as Wine names it.
std::filesystem::path wineServerSocket(const std::filesystem::path& prefix);

// True when something accepts a connection on that socket. A socket left behind by a server that
// was killed refuses the connection and does not count; a prefix that does not exist has none.
bool wineServerRunning(const std::filesystem::path& prefix);

}  // namespace tav::os

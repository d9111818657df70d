#pragma once

// Whether a Wine server is running for a prefix directory. While one runs it holds that prefix's
// registry in memory and writes it back over the files when it ends, so anything written to the
// files meanwhile would be lost or would overwrite its state.

#include <filesystem>

namespace tav::os {

// The socket a Wine server for `prefix` listens on, in a directory named server-<dev>-<inode>
// after the prefix directory's device and inode (lower-case hex). Wine keeps that directory in
// /tmp/.wine-<uid>; Debian's Wine in /tmp/<name>, the name written in the prefix's file
// "wineserver". When neither holds it, a running server's working directory (it works in that
// directory) names it. Empty when no socket is found.
std::filesystem::path wineServerSocket(const std::filesystem::path& prefix,
                                       const std::filesystem::path& procRoot = "/proc");

// True when something accepts a connection on that socket. A socket left behind by a server that
// was killed refuses the connection and does not count; a prefix that does not exist has none.
bool wineServerRunning(const std::filesystem::path& prefix);

}  // namespace tav::os

#pragma once
#include <filesystem>

namespace tav::shell {

// True while the accounting program runs on this computer: a process whose executable name is
// tav.exe in any letter case. False when none does or the process list cannot be read, so the
// user is never blocked by a list that is not there. Waits half a second first, as the program
// may just be closing when the user answers the question about it.
bool IS_TAV_RUN();
// The same over another process tree (tests).
bool isTavRunning(const std::filesystem::path& procRoot);

}  // namespace tav::shell

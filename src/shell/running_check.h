#pragma once

// Whether the accounting program is running on this computer, and the start-up question asking the
// user to close it. A process list that cannot be read never blocks the user.

#include <filesystem>
#include <functional>

namespace tav::shell {

// True while the accounting program runs on this computer: a process whose executable name is
// tav.exe in any letter case. False when none does or the process list cannot be read, so the
// user is never blocked by a list that is not there. Waits half a second first, as the program
// may just be closing when the user answers the question about it.
bool IS_TAV_RUN();
// The same over another process tree (tests).
bool isTavRunning(const std::filesystem::path& procRoot);

// The start-up's question: while the program runs, `ask` asks the user to close it (the message
// box "Uwaga!!" with "Kontynuuję" = 1 and "Rezygnuję" = 2; 0 when it is closed). Continuing looks
// again, so the question returns until no copy runs. False when the user gives up: the tool then
// ends with nothing changed.
bool waitUntilTavCloses(const std::function<int()>& ask,
                        const std::function<bool()>& running = IS_TAV_RUN);

}  // namespace tav::shell

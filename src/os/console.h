#pragma once

// The terminal an unattended run writes to and the stop requests it hears from there: Ctrl+C,
// SIGINT and SIGTERM (on Windows also the console being closed) become a call of the run's own,
// so that it stops at a point it chooses instead of wherever the process happens to be.

#include <string>
#include <vector>

namespace tav::os {

// The arguments after the program's name, as UTF-8. On Windows they come from the UTF-16 command
// line: the narrow argv is in the ANSI code page and loses every character it has no code for
// ("C:\Biuro Łódź\" on a machine set to another language).
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Whether standard error is a terminal: progress redraws one line there and prints a line per
// firm into a file or pipe.
bool stderrIsTerminal();

// Makes the console show the tool's UTF-8 text as written (Polish letters included), and standard
// output and error carry the bytes as written, in a console or a redirected file (on Windows no
// CR before each LF); a no-op where that is so already.
void prepareConsole();

// While one lives, a stop request calls `onStop` instead of ending the process. `onStop` runs
// in a signal handler or another thread: it may only set a flag (an atomic). The previous
// handling comes back when the watch ends. One watch at a time.
class StopRequests {
 public:
  explicit StopRequests(void (*onStop)());
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;
};

}  // namespace tav::os

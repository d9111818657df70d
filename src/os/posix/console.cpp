// The terminal and stop requests on a POSIX host: isatty, and SIGINT/SIGTERM through sigaction
// with the previous handlers kept for the watch's end.
#include "os/console.h"

#include <unistd.h>

#include <csignal>

namespace tav::os {
namespace {

void (*gOnStop)() = nullptr;
struct sigaction gOldInt {
}, gOldTerm{};

void onSignal(int) {
  if (gOnStop) gOnStop();
}

}  // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool stderrIsTerminal() { return ::isatty(2) == 1; }

void prepareConsole() {}

StopRequests::StopRequests(void (*onStop)()) {
  gOnStop = onStop;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &gOldInt);
  sigaction(SIGTERM, &sa, &gOldTerm);
}

StopRequests::~StopRequests() {
  sigaction(SIGINT, &gOldInt, nullptr);
  sigaction(SIGTERM, &gOldTerm, nullptr);
  gOnStop = nullptr;
}

}  // namespace tav::os

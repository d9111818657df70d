#pragma once

// What every unattended action does around its core call, once: the start without a screen (the
// table settings and the three release arguments), the refusals before anything is touched (a
// directory too long for the screens' fields, a registry that cannot be written now, TAV running
// on this computer), errors that nobody guards ending the run instead of waiting for a person,
// and at the end the outcome line, the prefix the run made, and the JSON report.
//
// Invariants: exit 0 is "00", 1 is "01", 2 everything else; a run that changed nothing says so.

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "shell/unattended/reports.h"
#include "shell/unattended/switches.h"
#include "upgrade/action.h"

namespace tav::shell {

class RunFrame {
 public:
  // `positional`: the three release arguments (852). Takes the tool out of any screen, applies
  // the table settings and, unless `keepErrorLog`, removes error.log (a log found afterwards
  // belongs to this run).
  RunFrame(const std::vector<std::string>& positional, bool keepErrorLog = false);
  ~RunFrame();
  RunFrame(const RunFrame&) = delete;
  RunFrame& operator=(const RunFrame&) = delete;

  const upgrade::ReleaseArguments& release() const { return release_; }

  // Why the action (named in the text: "upgrade", "installation") cannot start: a directory
  // longer than the screens keep, the registry held by a Wine server or unreadable, TAV running.
  // nullopt when it can; then the earlier installation's folders are read as the screens read
  // them at start-up.
  std::optional<std::string> refusal(
      const char* action, const std::vector<std::pair<const char*, std::string>>& directories);

  // Why no action may start with these three arguments: they disagree with the release directory
  // the tool runs in (its wk.dbf and wb.dbf); nullopt when they agree.
  std::optional<std::string> argumentsRefusal() const;

  // Runs the action; an error that abandons it ends the run as "error: ...".
  Ending guarded(const std::function<Ending()>& action);

  // The last lines on standard error and the report; returns the exit code. `registryRefused`:
  // why the action's registry entries were not all written (UTF-8), empty when they were.
  int finish(const Ending& ending, const std::string& detail, const std::string& registryRefused,
             const std::string& reportFile,
             const std::function<nlohmann::json(std::time_t start, std::time_t end)>& report);

 private:
  std::time_t start_;
  std::filesystem::path prefix_;
  bool prefixExisted_;
  upgrade::ReleaseArguments release_;
  rt::HandlerGuard abandonAll_;
};

// The Windows form of a directory given on the command line: a drive or network path stays as
// it is, a host path is reached through the drive map. Blanks stay blanks, for the action's own
// check to name.
std::string windowsDirectory(const std::string& given);
// The same, with its trailing backslash.
std::string windowsDirectoryWithBackslash(const std::string& given);

}  // namespace tav::shell

#pragma once

// The switches of the unattended runs after the three positional arguments, as administrators
// and scripts give them, and the usage text.
//
// Invariants: the command line is checked whole before anything is created or opened; without a
// switch the tool is the interactive one.

#include <optional>
#include <string>
#include <vector>

namespace tav::shell {

struct UnattendedOptions {
  enum class Action {
    None,
    Help,
    Upgrade,
    Install,
    Plan,
    Check,          // --check DIR: the database's tables read against the damage rules
    Repair,         // --repair DIR: what can be mended, mended (repair_commands.cpp)
    CheckProgram,   // --check-program DIR: the program against the release
    RepairProgram,  // --repair-program DIR
  } action = Action::None;
  std::string programDirectory;   // as given: a Windows path or a host path (UTF-8)
  std::string databaseDirectory;  // --install only, as given
  std::string previousProgram;    // --install: the program of the release's year, for a database
                                  // of the year before; empty: not given
  bool yes = false;               // confirms the upgrade, creates missing directories, confirms the
                                  // installation onto the previous year's database
  std::string reportFile;         // host path of the JSON report (--report, --json); empty: none
  int jobs = 1;                   // --jobs: firms converted at once
};

// The switches among `args` (UTF-8, positional arguments first). nullopt with `error` set when
// they are not understood.
std::optional<UnattendedOptions> parseSwitches(const std::vector<std::string>& args,
                                               std::string& error);

// The usage text printed by --help and with a refused command line.
std::string usage();

}  // namespace tav::shell

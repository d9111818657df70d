// Unattended runs for administrators and scripts: the switches after the three positional
// arguments, and the run of the same upgrade or first-installation entry (or the upgrade's plan)
// with the headless backend, its message boxes printed on standard error and answered by policy,
// progress on standard error, and a JSON report.
//
// Invariants: the command line is checked whole before anything is created or opened; exit 0 is
// "00", 1 is "01", 2 everything else; without a switch the tool is the interactive one; an
// installation that stops with exit 2 before copying anything leaves no directory it made.
#pragma once
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
  bool yes = false;        // confirms the duration question, creates missing directories, confirms
                           // the installation onto the previous year's database
  std::string reportFile;  // host path of the JSON report (--report, --json); empty: none
  int jobs = 1;            // --jobs: firms converted at once (--check: directories read at once,
                           // 0 when not given: one per core)
};

// The switches among `args` (UTF-8, positional arguments first). nullopt with `error` set when
// they are not understood.
std::optional<UnattendedOptions> parseSwitches(const std::vector<std::string>& args,
                                               std::string& error);

// The usage text printed by --help and with a refused command line.
std::string usage();

// Shared with the check and repair commands: the Windows form of a directory given on the command
// line (a host path through the drive map), and what every run without a screen starts with.
std::string windowsDirectory(const std::string& given);
void startWithoutScreen(const std::vector<std::string>& positional);

// Runs the unattended action; `positional` are the three release arguments (852). Returns the
// exit code.
int runUnattended(const UnattendedOptions& options, const std::vector<std::string>& positional);

}  // namespace tav::shell

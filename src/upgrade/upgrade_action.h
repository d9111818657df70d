#pragma once

// The upgrade of an installed program as one call: the checks, the confirmation, the disk tests,
// the database run when the database needs one, and the two finishing orders (registry, program
// files, archive) the outcome calls for. The screens and the unattended run both call it; what it
// must ask goes to the Questions passed in, what it has done so far to the Progress.
//
// Invariants: every refused check and a declined confirmation change no file; the program files,
// the registry and the archive are touched only after a database run that completed or left some
// firms out; the messages are told in the order the screens have always shown them.

#include <functional>
#include <string>

#include "db/directories.h"
#include "frontend/progress.h"
#include "frontend/questions.h"
#include "upgrade/action.h"
#include "upgrade/upgrade_run.h"

namespace tav::upgrade {

// Writes the registry entries and shortcuts of a finished installation (the installation
// subsystem's REJESTRY, which lies above the upgrade and is handed down by the caller). Gives back
// why the registry entries were not all written (one line, UTF-8), empty when they were.
using Registration =
    std::function<std::string(const db::Directories& directories, const std::string& year)>;

struct UpgradeRequest {
  std::string programDirectory;  // as typed (852), with or without its backslash
  ReleaseArguments release;
  RunOptions run;
};

// Where an action stopped, for the callers that say more than the message box did.
enum class Stage {
  Checks,           // a check of the directories or the releases refused
  Confirmation,     // the person declined
  Space,            // the database's disk has too little room
  InUse,            // another workstation or run holds the database
  DiskTest,         // the disk access test of the database directory failed
  DatabaseRun,      // the database run ended it (its message says how)
  ProgramDiskTest,  // the disk access test of the program directory failed after the database run
  Finished,         // every step was taken
};

struct UpgradeOutcome {
  Result result = Result::Refused;
  Stage stage = Stage::Checks;
  std::string title, message;   // the message box that ended it (852); empty when none did
  db::Directories directories;  // as far as they were found
  std::string releaseBefore, releaseAfter;  // the database's `baza`
  bool databaseRun = false;                 // UPGRADE_NOWEJ_BAZY ran
  RunRecord run;                            // what it did, when it ran
  bool closeScreen = false;                 // the program refresh asked the screen to close
  std::string
      registryRefused;  // why the registry entries were not all written (UTF-8); "" when they were
  bool changedNothing() const { return !databaseRun && result != Result::Complete; }
};

UpgradeOutcome upgradeProgram(const UpgradeRequest& request, frontend::Questions& person,
                              frontend::Progress& progress, const Registration& registration);

// The database run both entries make (the upgrade's and the first installation's onto an older
// database): UPGRADE_NOWEJ_BAZY, then the release the database's record names afterwards.
struct UpgradedDatabase {
  DatabaseRun run;
  std::string releaseAfter;
};
UpgradedDatabase upgradeDatabase(const db::Directories& directories, std::string_view release,
                                 frontend::Questions& person, frontend::Progress& progress,
                                 const RunOptions& options);

// The box a database run that did not complete ends with: "Ostrzeżenie!" when some firms failed,
// "Błąd instalacji" with the run's message otherwise.
frontend::Box runEndBox(const DatabaseRun& run);

}  // namespace tav::upgrade

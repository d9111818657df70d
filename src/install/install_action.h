#pragma once

// The first installation as one call: both directories checked, a new database built from the
// release's templates or an existing one taken over (and upgraded when it is older), the program
// files copied, the database's place recorded and the installation registered. The screens and
// the unattended run both call it; what it must ask goes to the Questions passed in, what it has
// done so far to the Progress.
//
// Invariants: every refused check returns before anything is copied, and no check after the
// directories were created writes a file; the program files are copied only for a database that
// is current; an installation is registered and reported complete only when every program file
// arrived, and baza.dbf never holds a cut database path.

#include <string>
#include <vector>

#include "db/directories.h"
#include "frontend/progress.h"
#include "frontend/questions.h"
#include "upgrade/action.h"
#include "upgrade/upgrade_run.h"

namespace tav::install {

// The limit of the database path that baza.dbf can keep (its PATH field), backslash included.
constexpr size_t kDatabasePathLimit = 60;

struct InstallRequest {
  db::Directories directories;  // as typed (852), with or without their backslash
  upgrade::ReleaseArguments release;
  upgrade::RunOptions run;
};

struct InstallOutcome {
  enum class Branch { None, NewDatabase, ExistingUpgraded, ExistingCurrent };
  // Which of the two directories a refusal or a declined question is about (the screen puts the
  // focus there).
  enum class Field { Program, Database };

  upgrade::Result result = upgrade::Result::Refused;
  std::string title, message;  // the message box that ended it (852); empty when none did
  Field field = Field::Program;
  frontend::Question declined{};  // the question answered no, when `result` is Declined
  bool diskTestFailed = false;    // a disk access test refused (its own box said why)
  db::Directories directories;    // 852, with their trailing backslash
  std::string year;               // the working tax year
  std::string previousProgram;    // the program of the release's year, for a database before it
  Branch branch = Branch::None;
  std::string releaseBefore, releaseAfter;  // the database's `baza`; empty for a new database
  std::vector<std::string> failedFiles;     // program files that did not arrive (852 paths)
  bool databaseRun = false;                 // UPGRADE_NOWEJ_BAZY ran
  upgrade::RunRecord run;                   // what it did, when it ran
  bool registered = false;                  // REJESTRY ran
  std::string
      registryRefused;  // why its registry entries were not all written (UTF-8); "" when they were
  bool changedNothing() const {
    return branch == Branch::None && result != upgrade::Result::Complete;
  }
};
const char* branchName(InstallOutcome::Branch b);  // "none", "new database", ...

InstallOutcome installProgram(const InstallRequest& request, frontend::Questions& person,
                              frontend::Progress& progress);

}  // namespace tav::install

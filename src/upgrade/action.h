#pragma once

// What the core's actions (the installation, the upgrade, the plan) share: the three release
// arguments the tool was started with, and how an action ended. The screens show the message;
// the unattended run turns the result into its exit code and report.

#include <string>
#include <vector>

namespace tav::upgrade {

// The release the tool carries and is started in (852): the program release ("25.01.046"), the
// database release ("025.01.046") and the tax year ("2025"). An action makes them the run's
// shared variables, which the conversion steps read.
struct ReleaseArguments {
  std::string program, database, year;
};
void useReleaseArguments(const ReleaseArguments& release);
ReleaseArguments currentReleaseArguments();

// Where the three arguments disagree with the release directory the tool runs in (its wk.dbf:
// the program's release and year; its wb.dbf: the database's release and year): what was given
// and what the release's own record says, for each. Empty when they agree, or when the records
// cannot be read (the actions then refuse for want of them themselves).
struct ArgumentMismatch {
  std::string what;      // "program release", "database release", "tax year"
  std::string given;     // the argument
  std::string recorded;  // the release's record
  std::string file;      // "wk.dbf", "wb.dbf"
};
std::vector<ArgumentMismatch> releaseArgumentsDisagree(const ReleaseArguments& release);

// The directory fields of the screens hold this many characters: a longer directory given to an
// action would be cut to fit, and the action would go to another place than the one named.
inline constexpr int kDirectoryFieldLength = 128;

enum class Result {
  Complete,         // everything done
  SomeFirmsFailed,  // the database upgrade left firms out (error.log and the report name them)
  Refused,          // a check refused before anything was changed
  Declined,         // a question was answered no; nothing more was done
  Interrupted,      // stopped on request between two firms
  Failed,           // an error ended it; what was done before stays
};

// "complete", "some firms failed", "refused", "declined", "interrupted", "failed".
const char* resultName(Result r);

}  // namespace tav::upgrade

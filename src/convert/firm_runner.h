#pragma once

// Converting one firm, and the choice of the firm steps it needs. The run and the upgrade's plan
// both take that choice from here, so they cannot disagree.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/step_registry.h"

namespace tav::convert {

// Which firm steps a firm needs, from the release its wersja.dbf records and the database's release
// from before the upgrade. The run and the upgrade's plan both ask this, so they cannot disagree.
struct FirmStepChoice {
  std::string start;         // the release the steps are chosen above
  bool settles = false;      // the record is first raised to the database's release (`start`)
  bool current = false;      // at the shipped release already: nothing is done
  std::vector<int> steps;    // in the order they run
  bool fullReindex = false;  // every index of the firm is rebuilt after the steps
};
FirmStepChoice chooseFirmSteps(std::string_view recordedRelease, std::string_view databaseRelease);

// The first of the tables a firm must have to be converted that it lacks; nullptr when it has them.
const char* missingFirmTable(std::string_view firmDirectory);

// The tables of a firm, as paths relative to its directory ("ks_dok.dbf", "klient\\klient.dbf"):
// every .dbf of the directory and of its subdirectories but the program's backups (bak\), the
// staged files of a rebuild ("~" + name) and the work copies a structure change leaves when it is
// stopped (which the conversion removes before it starts).
std::vector<std::string> firmTables(std::string_view firmDirectory);

// A table of the firm whose damage a conversion would carry on without a trace: records the
// header counts and the file no longer holds, memo references past the memo file, a missing or
// unreadable memo file (engine::checkTable at its guard depth).
struct FirmDamage {
  std::string table;  // relative to the firm's directory, 852
  std::string what;   // "header 300 records, file holds 1", or the finding's own line
};
std::optional<FirmDamage> firmDamage(std::string_view firmDirectory);

// Converts one firm: settles its starting release, prepares its backup directories, runs the
// firm steps it still needs and, for a firm from a very old release, rebuilds all its indexes.
// Directories end with a backslash; `databaseRelease` is the database's own release from before
// the upgrade. A firm without wersja.dbf, firma.dbf or ks_dok.dbf is left untouched. Errors of
// the steps are not caught: the upgrade's per-firm trap records the firm as failed, and the
// firm's wersja.dbf then names the last step that finished. A firm with a damaged table
// (firmDamage) fails the same way before any of its files is touched, the error naming the table
// and the damage: converted as it is, the table would come out smaller and consistent, and
// nothing would say records were lost.
void MAKE_WINFIR(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view databaseRelease,
                 const StepRegistry& steps = shippedSteps());

}  // namespace tav::convert

#pragma once

// Converting one firm, and the choice of the firm steps it needs. The run and the upgrade's plan
// both take that choice from here, so they cannot disagree.

#include <string>
#include <string_view>
#include <vector>

#include "convert/step_registry.h"

namespace tav::convert {

// Converts one firm: settles its starting release, prepares its backup directories, runs the
// firm steps it still needs and, for a firm from a very old release, rebuilds all its indexes.
// Directories end with a backslash; `databaseRelease` is the database's own release from before
// the upgrade. A firm without wersja.dbf, firma.dbf or ks_dok.dbf is left untouched. Errors of
// the steps are not caught: the upgrade's per-firm trap records the firm as failed, and the
// firm's wersja.dbf then names the last step that finished.
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

void MAKE_WINFIR(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view databaseRelease,
                 const StepRegistry& steps = shippedSteps());

}  // namespace tav::convert

#pragma once
#include <string_view>

#include "convert/step_registry.h"

namespace tav::convert {

// Converts one firm: settles its starting release, prepares its backup directories, runs the
// firm steps it still needs and, for a firm from a very old release, rebuilds all its indexes.
// Directories end with a backslash; `databaseRelease` is the database's own release from before
// the upgrade. A firm without wersja.dbf, firma.dbf or ks_dok.dbf is left untouched. Errors of
// the steps are not caught: the upgrade's per-firm trap records the firm as failed, and the
// firm's wersja.dbf then names the last step that finished.
void MAKE_WINFIR(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view databaseRelease,
                 const StepRegistry& steps = shippedSteps());

}  // namespace tav::convert

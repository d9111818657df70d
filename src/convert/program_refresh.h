#pragma once

// Refreshing an installed program's files from the shipped release.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/step_registry.h"
#include "db/directories.h"
#include "frontend/progress.h"
#include "runtime/value.h"

namespace tav::convert {

// The program level the shipped release demands of a database (the release's wb.dbf `tav`), as
// its field holds it; nil when it cannot be read.
rt::Value shippedProgramLevel();

// The refresh's title on the progress window.
std::string refreshTitle();  // "Instalacja nowej wersji programu"

// Installs the shipped release's program files (taken from the tool's working directory, ".\")
// over the program in `directories.program`, brings the database's program level and update stamp
// up to the release, and runs the program steps above `previousRelease` ("25.01.019" form).
// Progress goes to the run's window when one is open (its lines say what is being done), else to
// a window the refresh opens, which the caller closes. Copies and deletions that fail are given up
// without a word, as everywhere in the file family; the result is true.
bool WIN2WIN(const db::Directories& directories, std::string_view previousRelease,
             frontend::Progress& progress, const StepRegistry& steps = shippedSteps());

// The files WIN2WIN installs from the release (the working directory, ".\\"): each one's name in
// the release and in the program directory, and whether the program must hold the release's very
// bytes. The printout templates of txt\\ need only be there: the refresh adds the missing ones and
// leaves a template the user changed to the program steps. Files the release does not ship are
// not listed.
struct ShippedFile {
  std::string release, program;  // 852, relative
  bool sameBytes = true;
};
std::vector<ShippedFile> shippedProgramFiles();

}  // namespace tav::convert

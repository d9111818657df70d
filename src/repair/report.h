// The repair's own report in the database, beside the installation report: public\naprawa.txt.
#pragma once
#include <string>

#include "os/status.h"
#include "repair/repair.h"

namespace tav::repair {

// Writes the outcome's lines after a stamp line, in code page 1250 with CR LF as the tool's other
// reports, to `file` (852 path), whole or not at all (written beside it and renamed over it).
os::Status writeDatabaseReport(const DatabaseOutcome& outcome, const std::string& file);

}  // namespace tav::repair

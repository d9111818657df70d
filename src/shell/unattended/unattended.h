#pragma once

// The unattended runs for administrators and scripts: the upgrade, the first installation and
// the upgrade's plan, each the core's own call with the console's questions and progress.
//
// Invariants: exit 0 every firm upgraded or the program installed, 1 some firms failed, 2
// refused, interrupted or failed; an installation that stops with exit 2 before copying anything
// leaves no directory it made.

#include <string>
#include <vector>

#include "shell/unattended/switches.h"

namespace tav::shell {

// Runs the unattended action; `positional` are the three release arguments (852). Returns the
// exit code.
int runUnattended(const UnattendedOptions& options, const std::vector<std::string>& positional);

}  // namespace tav::shell

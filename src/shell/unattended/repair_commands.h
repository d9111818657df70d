// The command-line glue of the database and program check and repair: the four switches, their
// progress lines, their output and exit codes. The work itself is the repair subsystem's.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "shell/unattended/switches.h"

namespace tav::shell {

// The action a switch names (--check, --repair, --check-program, --repair-program); nullopt for
// any other switch.
std::optional<UnattendedOptions::Action> repairSwitch(const std::string& name);
// Whether the action is one of those four.
bool repairSwitch(UnattendedOptions::Action action);
// Their lines of the usage text.
std::string repairUsage();

// Runs one of them; `positional` are the three release arguments (852). Exit 0: nothing damaged
// (a check) or everything mended (a repair); 1: damage found (a check) or something left for a
// person (a repair); 2: refused or failed, with the reason on standard error.
int runRepairCommand(const UnattendedOptions& options, const std::vector<std::string>& positional);

}  // namespace tav::shell

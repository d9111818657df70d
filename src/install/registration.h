#pragma once

// What a finished installation leaves for the current user: the tool's registry key, the entry
// among the installed programs, and the desktop and Start-menu shortcuts.

#include <string>

namespace tav::install {

// Records a finished installation for the current user: the tool's key for the tax year (read
// back at start-up to prefill the directories), the entry in the list of installed programs, and
// the desktop and Start-menu shortcuts. `program` and `database` are ANSI with a trailing
// backslash; `year` is the tax year ("2025"). Gives back why the registry entries were not all
// written (one line, UTF-8: the first write refused and its reason), empty when they were; the
// shortcuts are made either way, and a shortcut that cannot be made is passed over. An empty
// cPulpit or cMenu skips that shortcut.
std::string REJESTRY(const std::string& program, const std::string& database,
                     const std::string& year);

// The registry paths it writes, for the start-up that reads them back.
std::string toolKeyPath(const std::string& year);       // ...\Software\Tamborex\Tav\<rok>
std::string uninstallKeyPath(const std::string& year);  // ...\Uninstall\TAV<rok>

}  // namespace tav::install

#pragma once

// The workstation name an installation may choose in setings\ns.cfg: the file's first
// "|"-separated item, trimmed. Anything may stand in the file; the name never carries a bar or
// blanks at either end.

#include <optional>
#include <string>
#include <string_view>

namespace tav::db {

// The name the contents of ns.cfg give; nullopt for a blank file, which leaves the name as it
// was. A file whose first item is blank gives an empty name (no name chosen).
std::optional<std::string> workstationNameInConfig(std::string_view contents);

}  // namespace tav::db

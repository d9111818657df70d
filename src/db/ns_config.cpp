// Reading the workstation name of setings\ns.cfg. Kept apart from the upgrade run so that the
// rule for what counts as the name has one home and can be checked on any bytes.

#include "db/ns_config.h"

#include "db/text.h"
#include "runtime/format.h"

namespace tav::db {

std::optional<std::string> workstationNameInConfig(std::string_view contents) {
  const std::string text = rt::allTrim(contents);
  if (text.empty()) return std::nullopt;
  return rt::allTrim(TOKEN(text, 1));
}

}  // namespace tav::db

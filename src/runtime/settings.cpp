// The one Settings instance of the process; resetSettings gives tests the defaults back.

#include "runtime/settings.h"

namespace tav::rt {

Settings& settings() {
  static Settings s;
  return s;
}

void resetSettings() { settings() = Settings(); }

}  // namespace tav::rt

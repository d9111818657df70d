#include "runtime/settings.h"

namespace tav::rt {

Settings& settings() {
  static Settings s;
  return s;
}

void resetSettings() { settings() = Settings(); }

}  // namespace tav::rt

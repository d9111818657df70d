#pragma once

// What the installation subsystem lends the upgrade beneath it, which cannot call up: the
// registration of a finished installation, and the directory chooser of the upgrade's screen.

#include "upgrade/upgrade_action.h"
#include "upgrade/upgrade_screen.h"

namespace tav::install {

// REJESTRY with the directories in the ANSI code page, as the registry takes them.
upgrade::Registration registration();

// The upgrade screen's chooser (WEZ_KAT, closed with the screen) and registration.
upgrade::UpgradeScreenServices upgradeScreenServices();

}  // namespace tav::install

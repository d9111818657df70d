#pragma once

// The upgrade's screen: the dialog over the main window that takes the program directory
// (UPGRADE) and its "Zainstaluj Program", INSTALUJ, which hands the directory to the upgrade's
// core call with the screen's questions and progress and puts the focus where the outcome asks.
//
// Invariant: the screen decides nothing the core decides; it reads its field, shows, and focuses.

#include <functional>
#include <string>

#include "gui/widgets.h"
#include "upgrade/progress_window.h"
#include "upgrade/upgrade_action.h"

namespace tav::upgrade {

// What the screen needs from the installation subsystem above it, and what a test watches.
struct UpgradeScreenServices {
  // WEZ_KAT: lets the user choose a directory into the field.
  std::function<void(gui::Dialog& dialog, gui::Edit& field)> chooseDirectory;
  // ORBDIRSELECT("CLOSE"): the chooser kept between choices goes.
  std::function<void()> closeChooser;
  Registration registration;
  // Told of each firm as the run reaches it, and of each outcome.
  ScreenProgress::FirmWatch onFirm;
  std::function<void(const UpgradeOutcome&)> onOutcome;
};

// The upgrade's INSTALUJ: `field` holds the program directory. Sets `done` to false first and
// then to the program refresh's answer.
UpgradeOutcome INSTALUJ(gui::Dialog& dialog, gui::Edit& field, bool& done,
                        const UpgradeScreenServices& services = {});

// The dialog over the main window's drawing area; returns when the user leaves it or the refresh
// asked it to close.
void UPGRADE(gui::Dialog& mainWindow, const UpgradeScreenServices& services = {});

// The upgrade dialog while it is open (tests drive it): null otherwise.
struct UpgradeDialog {
  gui::Dialog* dialog = nullptr;
  gui::PushButton* back = nullptr;     // "Poprzedni ekran"
  gui::PushButton* install = nullptr;  // "Zainstaluj Program"
  gui::PushButton* folder = nullptr;   // the icon button of the directory chooser
  gui::Edit* directory = nullptr;
};
const UpgradeDialog& openUpgradeDialog();

}  // namespace tav::upgrade

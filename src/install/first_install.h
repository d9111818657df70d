// The first installation's screen: the dialog over the main window that takes a program and a
// database directory (PIERWSZA_INSTALACJA) and its "Zainstaluj Program", INSTALUJ, which hands
// both to the installation's core call with the screen's questions and progress and puts the
// focus where the outcome asks.
//
// Invariant: the screen decides nothing the core decides; it reads its fields, shows, and focuses.
#pragma once
#include <functional>
#include <string>

#include "gui/widgets.h"
#include "install/install_action.h"

namespace tav::install {

// The installation itself, from the screen's fields. Sets `done` to true only after a
// successful installation.
InstallOutcome INSTALUJ(gui::Dialog& dialog, gui::Edit& programField, gui::Edit& databaseField,
                        bool& done);

// The screen over the main window's drawing area; returns when the user leaves it or after a
// successful installation. `onOutcome` (tests) is told of every installation tried there.
void PIERWSZA_INSTALACJA(gui::Dialog& mainWindow,
                         const std::function<void(const InstallOutcome&)>& onOutcome = {});

// The screen while it is open (tests drive it): null otherwise.
struct FirstInstallScreen {
  gui::Dialog* dialog = nullptr;
  gui::PushButton* back = nullptr;     // "Poprzedni ekran"
  gui::PushButton* install = nullptr;  // "Zainstaluj Program"
  gui::Edit* program = nullptr;
  gui::Edit* database = nullptr;
  gui::PushButton* programFolder = nullptr;  // the icon buttons of the directory chooser
  gui::PushButton* databaseFolder = nullptr;
};
const FirstInstallScreen& openFirstInstallScreen();

}  // namespace tav::install

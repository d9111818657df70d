// The upgrade as the user starts it: the dialog that takes the program directory (UPGRADE) and
// the entry (INSTALUJ) that checks it, finds the database, asks for confirmation, runs the
// database upgrade when it is needed and finishes with the registry, the program files and the
// release archive in the order the outcome calls for.
//
// Invariants: every refused check changes no file; the program files, the registry and the
// archive are touched only after a run that returned "00" or "01".
#pragma once
#include <functional>
#include <string>

#include "gui/widgets.h"

namespace tav::upgrade {

// The installation subsystem's services the upgrade uses; the application shell connects them
// (the upgrade sits below the installation and must not call it directly).
struct InstallationServices {
  // WEZ_KAT: lets the user choose a directory into the field.
  std::function<void(gui::Dialog& dialog, gui::Edit& field)> chooseDirectory;
  // ORBDIRSELECT("CLOSE"): the chooser kept between choices goes.
  std::function<void()> closeChooser;
  // REJESTRY(programDirectory, databaseDirectory, roczek).
  std::function<void(const std::string&, const std::string&, const std::string&)>
      registerInstallation;
};
InstallationServices setInstallationServices(
    InstallationServices services);  // returns the previous

// The confirmation before the database is touched; POKAZ_CZAS unless replaced (an unattended run
// answers by its own policy). Arguments: database directory, the database's program level.
using Confirmation =
    std::function<bool(const std::string& databaseDirectory, const std::string& release)>;
Confirmation setConfirmation(Confirmation confirm);  // empty restores POKAZ_CZAS

// The entry's checks of the program directory typed by the user, in their order; the plan of an
// upgrade makes the same ones. Reads only.
struct UpgradeChecks {
  std::string title, text;        // the message of the check that refused; empty text: all passed
  std::string program, database;  // directories with their backslash, as far as they were found
  std::string programRelease;     // the program's wersja.dbf `tav`
  std::string databaseRelease, databaseProgramRelease;  // the database's `baza` and `tav`
  bool complete = false;                                // the database's `ok` is "T"
  bool passed() const { return text.empty(); }
  // The database is upgraded: below the shipped release, or at it after a run that did not finish.
  bool databaseRunDue() const;
};
UpgradeChecks checkUpgrade(const std::string& typed);

// What the last INSTALUJ came to, for an unattended run's report and exit code.
struct EntryOutcome {
  // "00", "01", the text of the message that ended it (a refused check or the run's message),
  // or empty when the user declined or a disk test failed.
  std::string result;
  std::string title;  // the message box's title when a message ended it
  std::string programDirectory, databaseDirectory;
  std::string releaseBefore, releaseAfter;  // the database's `baza`
  bool declined = false;                    // the confirmation was refused
  bool databaseRun = false;                 // UPGRADE_NOWEJ_BAZY ran
};
const EntryOutcome& lastEntry();

// The upgrade's INSTALUJ: `field` holds the program directory. Sets `koniec` to false first and
// then to the program refresh's answer.
void INSTALUJ(gui::Dialog& dialog, gui::Edit& field, bool& koniec);

// The dialog over the main window's drawing area; returns when the user leaves it or the refresh
// asked it to close.
void UPGRADE(gui::Dialog& mainWindow);

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

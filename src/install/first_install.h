// The first installation as the user starts it: the screen that takes a program and a database
// directory (PIERWSZA_INSTALACJA) and the installation's own INSTALUJ, which checks both,
// builds a new database from the release or takes over (and upgrades) an existing one, copies the
// program files, records where the database lives and registers the installation.
//
// Invariants: every refused check returns before anything is copied, and no check after the
// directories were created writes a file; the program files are copied only for a database that
// is current ("00"); an installation is registered and reported successful only when every
// program file arrived, and baza.dbf never holds a cut database path.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "gui/widgets.h"

namespace tav::install {

// The choice of the program directory of the release's tax year (when the database belongs to
// the year before): ORBDIRSELECT(last, false) unless replaced; an unattended run answers from its
// command line. Empty text: the user gave up.
using ProgramDirectoryChoice = std::function<std::string(const std::string& last)>;
ProgramDirectoryChoice setProgramDirectoryChoice(
    ProgramDirectoryChoice choice);  // returns the previous

// What the last INSTALUJ came to, for an unattended run's report and exit code.
struct InstallOutcome {
  enum class Branch { None, NewDatabase, ExistingUpgraded, ExistingCurrent };
  // "00" (installed), "01" (the database upgrade left some firms out: nothing installed), the
  // text of the message that ended it, or empty when a test showed its own message.
  std::string result;
  std::string title;  // the message box's title when a message ended it
  std::string programDirectory, databaseDirectory;  // 852, with the trailing backslash
  std::string year;                                 // the working tax year
  std::string previousProgram;                      // E, the program of the release's year
  Branch branch = Branch::None;
  std::string releaseBefore, releaseAfter;  // the database's `baza`; empty for a new database
  std::vector<std::string> failedFiles;     // program files that did not arrive (852 paths)
  bool databaseRun = false;                 // UPGRADE_NOWEJ_BAZY ran
  bool registered = false;                  // REJESTRY ran
};
const InstallOutcome& lastInstall();
const char* branchName(InstallOutcome::Branch b);  // "none", "new database", ...

// The limit of the database path that baza.dbf can keep (its PATH field), backslash included.
constexpr size_t kDatabasePathLimit = 60;

// The installation itself. Sets `koniec` to true only after a successful installation.
void INSTALUJ(gui::Dialog& dialog, gui::Edit& programField, gui::Edit& databaseField, bool& koniec);

// The screen over the main window's drawing area; returns when the user leaves it or after a
// successful installation.
void PIERWSZA_INSTALACJA(gui::Dialog& mainWindow);

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

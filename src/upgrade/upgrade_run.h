// The upgrade run over a database: it takes the database for itself (str\nazwy.dbf held
// exclusively as "sem"), refreshes the shipped reference tables, runs the template steps, converts
// every firm of install.dbf with a per-firm error trap, replaces the database's version record,
// writes the report, runs the public steps and marks the database complete.
//
// Invariants: the database's `ok` is "N" from before the first firm until every firm has been
// converted, and again right after the shipped wb.dbf has replaced wersja.dbf, so that a run that
// stops anywhere (error, interruption, crash) is repeated by the next attempt; a firm that failed
// never stops the others.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "gui/widgets.h"

namespace tav::upgrade {

// The shipped reference files of str\ every run copies into the database's str\, in order.
const std::vector<const char*>& shippedReferenceFiles();

// The run's results that are not firm failures: the entry shows them in a "Błąd instalacji" box.
std::string usersAtWorkMessage();  // "W programie TAV pracują inni użytkownicy.;..."
std::string noFirmListMessage();   // "Baza danych nie zawiera żadnej firmy,;lub uszkodzony..."
std::string noFirmsMessage();      // "Baza danych nie zawiera żadnej firmy!"
std::string interruptedMessage();  // "Instalacja przerwna na życzenie użytkownika"

// What became of one firm in the last run, for the unattended report and the progress lines.
enum class FirmStatus { Converted, Current, Failed, Skipped };
const char* statusName(FirmStatus s);  // "converted", "current", "failed", "skipped"

struct FirmRecord {
  double nr = 0;
  std::string directory;                    // 852 Windows path with its backslash
  std::string name;                         // firma.dbf's ident, trimmed; empty without firma.dbf
  std::string releaseBefore, releaseAfter;  // the firm's wersja.dbf `baza`; empty when unreadable
  FirmStatus status = FirmStatus::Skipped;
  std::string error;               // the error that stopped a failed firm (852)
  std::vector<std::string> steps;  // the firm steps that ran, by name, in order
};

// The last run, as it went; reset when a run starts.
struct RunRecord {
  std::string result;
  std::vector<FirmRecord> firms;
  std::vector<std::string> texts;  // the run's tlist
  std::vector<std::string> steps;  // the template, public and index steps that ran, in order
};
const RunRecord& lastRun();

// Told about each firm as the run goes: before its conversion (`done` false) and after it with the
// progress window's remaining time and finish time texts.
struct FirmProgress {
  int index = 0, total = 0;
  const FirmRecord* firm = nullptr;
  bool done = false;
  std::string remaining, finish;
};
using RunObserver = std::function<void(const FirmProgress&)>;
RunObserver setRunObserver(RunObserver observer);  // returns the previous one

// How many firms a run converts at once, each in a worker process of its own; 1 (the default, and
// what the interactive tool keeps) converts them one after another in this process. The run's
// results (report, tlist, error.log, progress, the firms' files) are the same either way.
void setFirmJobs(int jobs);

// Brings the database in `databaseDirectory` from `databaseRelease` to the shipped release.
// "00", "01" (some firms failed: error.log and the report name them) or one of the messages
// above; an error outside the firms' conversion ends the run with its description as the result,
// the database left marked incomplete. `progressWindow` and `progressArea` are made here (by
// PREPARE_INS) once the firm list has been found, for the caller to destroy.
std::string UPGRADE_NOWEJ_BAZY(gui::Widget* dialog, std::string_view programDirectory,
                               std::string_view databaseDirectory, std::string_view databaseRelease,
                               gui::Dialog*& progressWindow, gui::Widget*& progressArea);

// The progress window over `dialog`'s drawing area: its drawing area's children are, in order, the
// titled frame, the progress bar, the five labels and the five values (firm, time of day, time
// left, finish time, firms left) that OPISY addresses by number.
void PREPARE_INS(gui::Widget* dialog, gui::Dialog*& progressWindow, gui::Widget*& progressArea,
                 const std::string& title);

// Processes the window events pending now (waiting 1/100 s for each) and tells whether Esc was
// pressed among them. Installed as the tables' event pump for the length of a run.
bool pumpEvents();

// A stop asked from outside (a signal in an unattended run): taken as Esc at the next firm.
// Safe to call from a signal handler.
void requestInterruption();
bool interruptionRequested();
void clearInterruption();

// Tells the program refresh to show its progress on the run's window.
void connectProgressWindow();

}  // namespace tav::upgrade

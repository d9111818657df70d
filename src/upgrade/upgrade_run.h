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
#include <string>
#include <string_view>
#include <vector>

#include "db/directories.h"
#include "frontend/progress.h"
#include "frontend/questions.h"
#include "upgrade/action.h"

namespace tav::upgrade {

// The shipped reference files of str\ every run copies into the database's str\, in order.
const std::vector<const char*>& shippedReferenceFiles();

// The run's results that are not firm failures: the entry shows them in a "Błąd instalacji" box.
std::string usersAtWorkMessage();  // "W programie TAV pracują inni użytkownicy.;..."
std::string noFirmListMessage();   // "Baza danych nie zawiera żadnej firmy,;lub uszkodzony..."
std::string noFirmsMessage();      // "Baza danych nie zawiera żadnej firmy!"
std::string interruptedMessage();  // "Instalacja przerwna na życzenie użytkownika"

// Takes the database for a run: str\nazwy.dbf (copied from the release when the database has
// none) held exclusively as "sem", which every workstation of TAV opens, so nobody works while it
// is held. False when another workstation or run holds it (usersAtWorkMessage()). A run uses the
// lock its caller took; closing every area gives it back.
bool takeDatabase(const std::string& databaseDirectory);

using frontend::FirmStatus;
using frontend::statusName;

struct FirmRecord {
  double nr = 0;
  std::string directory;                    // 852 Windows path with its backslash
  std::string name;                         // firma.dbf's ident, trimmed; empty without firma.dbf
  std::string releaseBefore, releaseAfter;  // the firm's wersja.dbf `baza`; empty when unreadable
  FirmStatus status = FirmStatus::Skipped;
  std::string skipped;  // why nothing was done, as the plan says it: "no firma.dbf", "current"
  std::string error;    // the error that stopped a failed firm (852)
  std::vector<std::string> steps;  // the firm steps that ran, by name, in order
};

// A run as it went.
struct RunRecord {
  std::vector<FirmRecord> firms;
  std::vector<std::string> texts;  // the run's tlist
  std::vector<std::string> steps;  // the template, public and index steps that ran, in order
};

// What a run came to: Complete, SomeFirmsFailed (error.log and the report name them), Refused
// (the database is in use: nothing was changed), Interrupted or Failed, with the message the
// entry shows for the last three.
struct DatabaseRun {
  Result result = Result::Failed;
  std::string message;  // 852
  RunRecord record;
};

struct RunOptions {
  // How many firms are converted at once, each in a worker process of its own; 1 (what the
  // interactive tool keeps) converts them one after another in this process. The run's results
  // (report, tlist, error.log, progress, the firms' files) are the same either way.
  int jobs = 1;
};

// Brings the database of `directories` from `databaseRelease` to the shipped release. An error
// outside the firms' conversion ends the run with its description as the message, the database
// left marked incomplete. The run opens its progress window once the firm list has been found and
// leaves it open for the caller; between firms it asks `person` whether to go on when the front
// end says a stop was asked for.
DatabaseRun UPGRADE_NOWEJ_BAZY(const db::Directories& directories, std::string_view databaseRelease,
                               frontend::Questions& person, frontend::Progress& progress,
                               const RunOptions& options = {});

}  // namespace tav::upgrade

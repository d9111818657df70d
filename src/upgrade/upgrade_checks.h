#pragma once

// The checks an upgrade starts with, on the program directory the user named, in the order users
// and support know them: the program is there and of this year, its release is not newer than
// the one shipped nor older than the oldest an upgrade starts from, its database is found and is
// of this year and not newer. The upgrade and its plan make the same ones.
//
// Invariant: they only read; a refusal carries the message box that says why.

#include <string>

namespace tav::upgrade {

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

// `typed`: the program directory as typed (852, with or without its backslash).
UpgradeChecks checkUpgrade(const std::string& typed);

}  // namespace tav::upgrade

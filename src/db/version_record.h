#pragma once

// The version record: the one record of wersja.dbf in a program directory, a database and every
// firm (and of the release's wk.dbf and wb.dbf, which become them). BAZA is the database release
// ("025.01.046"), TAV the program release or, in a database, the program level it demands
// ("25.01.046"), ROK the tax year, OK "T" once a database's upgrade finished. Every place that
// reads or marks one comes here.
//
// Invariants: reads are shared and leave no area open; a mark changes only the fields it names
// and only under the record's lock; TAV keeps the type its field has (releases shipped it as a
// number as well as a text).

#include <optional>
#include <string>
#include <string_view>

#include "runtime/value.h"

namespace tav::db {

// Releases compare as texts, character by character ("025.01.009" < "025.01.010"); the two forms
// (program and database) are never compared with each other.
bool releaseBelow(std::string_view a, std::string_view b);

struct VersionRecord {
  std::string baza, tav, rok;  // trimmed texts; a number is written without decimals
  bool ok = false;
  rt::Value tavValue;  // TAV as the field holds it: a text, a number or nil
};

// The first record of directory + table + ".dbf"; nullopt when the table does not open. A table
// without records reads as an empty record.
std::optional<VersionRecord> readVersionRecord(std::string_view directory,
                                               std::string_view table = "wersja");

// Sets OK ("T" when `complete`). A `programLevel` given becomes TAV where the record demands
// more (a shipped record demands the new level before the program refresh has reached it).
// False when the record could not be opened, locked or written.
bool markVersionRecord(std::string_view directory, bool complete,
                       const std::string& programLevel = {}, std::string_view table = "wersja");

// Raises TAV to `level` where it is below it, written in the type of the record's own field; a
// nil level, a record already there and a table that does not open are left alone.
void raiseProgramLevel(std::string_view directory, const rt::Value& level);

// Writes ROK (the program's record carries the year of the database it works with). False when
// the record could not be written.
bool writeVersionYear(std::string_view directory, const std::string& year);

}  // namespace tav::db

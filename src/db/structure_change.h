#pragma once

// Changing a table's structure (adding and widening fields, exporting to a new table). The old
// table is replaced only once the complete new one is on disk, never left half-copied.

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dbf/dbf_format.h"
#include "engine/staging.h"
#include "engine/workarea.h"
#include "runtime/value.h"

namespace tav::db {

// How DODAJ_POLE and ZMIEN_DL_POLA write the new table. Direct: straight from the old table
// into its replacement under the staging name, which takes the table's name by one rename, so the
// table is written once. WorkCopies: through "z" + file and "x" + file (DODAJ_POLE) or "a" + file
// (ZMIEN_DL_POLA), the copies the conversions were first written with, which writes the table up
// to three times. Both leave the same bytes; the work copies stay so that a test can show it.
// Default: Direct, or WorkCopies while a WorkCopiesThroughout lives.
enum class RebuildPath { Default, Direct, WorkCopies };

// While one lives, every structure change given no path of its own goes through the work copies:
// the whole upgrade reaches DODAJ_POLE and ZMIEN_DL_POLA through dozens of conversion steps whose
// calls are fixed, and the test that compares the two paths over an upgrade selects it here.
class WorkCopiesThroughout {
 public:
  WorkCopiesThroughout();
  ~WorkCopiesThroughout();
  WorkCopiesThroughout(const WorkCopiesThroughout&) = delete;
  WorkCopiesThroughout& operator=(const WorkCopiesThroughout&) = delete;

 private:
  bool previous_;
};

// Whether DODAJ_POLE and ZMIEN_DL_POLA given `path` write the table straight from the old one.
bool writesOnce(RebuildPath path = RebuildPath::Default);

// A table's fields in record order: name, type letter, length, decimals.
using Structure = std::vector<engine::FieldSpec>;
// (field number from 1 in the current structure, new length).
using Widenings = std::vector<std::pair<int, int>>;

// Copies every record of the current work area (deleted ones too unless they are hidden) into
// the new table `target` (".dbf"; its memo file beside it). The table at `target` is replaced
// only once the complete new one is on disk: an interrupted export leaves the old table (or
// none, if there was none), never a partial one. True when the new table is in place.
bool EXPORTUJ(std::string_view target);

// Creates an empty table file from `fields` (with its memo file when a field is a memo),
// replacing whatever is there, read-only files included. True when the file exists afterwards.
bool LBCREATE(std::string_view file, const Structure& fields);

// A conversion's change of every record of a table, as a loop over the table from the top makes
// it: each record the loop shows (those marked deleted only while deleted records are shown), in
// natural order, is given with the table's area on it, and the change puts new values into its
// fields. It changes nothing but that record and reads nothing of the table but that record
// (other tables it may read), so it may just as well be made on a copy of the record.
struct RecordChange {
  std::function<void(engine::WorkArea& record)> change;
  bool made = false;  // set by the call that made it on every record
};

// Adds the fields of `added` that the table directory + file does not have yet (names compared
// ignoring letter case and stored in upper case), giving added field i the value initial[i] in
// every record when that value is not nil; `widen` sets lengths of existing fields on the way,
// also when every field is there already (a rerun, a partly converted table). Deleted records
// are copied with their mark. True when done or when there was nothing to add or widen (then
// no file is touched); false when a copy failed, with the old table in place (through the work
// copies, past the first copy its data is also kept in "z" + file and "x" + file). An error
// storing an initial value goes to the caller's handler, as a copy of record after record would.
//
// `records`, when given, is made on the way when the table is written straight from the old
// one: each record is changed in the one copy, after its initial values, and the table ends as
// the same change run over it right after the call would have left it, byte for byte (a memo
// the change rewrites is written once: the same texts, no dead blocks, other pointers). The
// change runs under the caller's handler and setting of deleted records, and its errors name
// the table itself; an error it abandons at leaves the old table in place. `records->made` says
// whether it was made; it is not on the work copies, nor when nothing was to be added or widened.
bool DODAJ_POLE(const Structure& added, const std::vector<rt::Value>& initial,
                std::string_view directory, std::string_view file, const Widenings& widen = {},
                RebuildPath path = RebuildPath::Default, RecordChange* records = nullptr);

// Sets field lengths by position, copying the table into its replacement. Deleted records are
// dropped unless `keepDeleted`; memo texts come along. Nothing is reported.
void ZMIEN_DL_POLA(std::string_view directory, std::string_view file, const Widenings& widen,
                   bool keepDeleted = false, RebuildPath path = RebuildPath::Default);

// Adds the fields of `added` whose upper-case names the table lacks, through the backup copy
// "stary.dbf", which stays in the directory until the next call. True when done, when the table
// does not exist, or when nothing was to be added.
bool DODAJ_POLA(std::string_view directory, std::string_view file, const Structure& added);

// The moments at which a table file is swapped for its rebuilt copy. Tests stop the work at
// one of them (the hook answers false) to see what a crash there would leave on disk.
// A stop after BeforeMemo is past the commit: the next open of the table completes the swap.
using SwapPoint = engine::SwapPoint;
using SwapHook = std::function<bool(SwapPoint, std::string_view table)>;
SwapHook setSwapHook(SwapHook hook);  // returns the previous one; empty: never stop

}  // namespace tav::db

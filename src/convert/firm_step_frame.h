// The frame every firm step runs in: one plan type, one runner and one firm context for all the
// catalogue's firm steps. A step is a plan, a list of work items done in order; the runner skips
// a firm that already has the plan's release and records that release last.
//
// Invariants:
// - Nothing that failed lets the release be recorded: a table that will not open, a structure
//   change, a template copy, an index rebuild, a named field the table lacks. Each is raised as a
//   runtime error naming the step and the file, so the upgrade reports the firm failed and the
//   next run takes the step up again from its start.
// - Conditions and widenings name their fields. Fields are changed by position underneath, and a
//   position is only trusted when the table has the field the step means.
#pragma once
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "db/structure_change.h"
#include "engine/workarea.h"
#include "runtime/value.h"

namespace tav::convert {

// The firm a step works on, and the table operations the steps share.
struct FirmContext {
  std::string dir;  // the firm directory, with its trailing backslash
  std::string str;  // the database's str\, where the template steps left the shipped templates
  int release = 0;  // the step's own release: the errors name the step by it

  // Raises the step's failure; never returns.
  [[noreturn]] void fail(int genCode, std::string description, std::string file) const;
  // dir + table + ".dbf"
  std::string table(std::string_view name) const;
  bool has(std::string_view file) const;  // a file of the firm, named with its extension
  // Opens a table of the firm exclusively under `alias` (closed first: OTWORZ would hand back
  // whatever table it holds). A table that will not open stops the step.
  engine::WorkArea& open(std::string_view table, std::string_view alias,
                         std::string_view tag = {}) const;
  // FCOPY that stops the step when the copy did not arrive.
  void copy(const std::string& from, const std::string& to) const;
  // The firm's table `target` replaced by the database's template `source` (names without
  // extension); the firm's earlier content of that table is not kept.
  void copyTemplate(std::string_view source, std::string_view target) const;
  // The table's compound index rebuilt from the catalogue's tags.
  void reindex(std::string_view table) const;
};

// ---- what a plan is made of

// When a structure change is due, by what it reads from the table.
struct Due {
  enum class Test : unsigned char { Always, FieldCountBelow, FieldNarrowerThan };
  Test test = Test::Always;
  size_t fieldCount = 0;
  const char* field = nullptr;
  int width = 0;
};
constexpr Due always() { return {}; }
// While the table has fewer fields than `count`.
constexpr Due fieldCountBelow(size_t count) {
  return {Due::Test::FieldCountBelow, count, nullptr, 0};
}
// While `field` is narrower than `width`.
constexpr Due fieldNarrowerThan(const char* field, int width) {
  return {Due::Test::FieldNarrowerThan, 0, field, width};
}

// A field to be made `width` wide.
struct Widen {
  const char* field;
  int width;
};

// A table of the firm (name without extension) and the alias a change opens it under.
struct FirmTable {
  const char* name;
  const char* alias;
};

struct AddFields {  // DODAJ_POLE: the fields the table lacks, with widenings on the way
  FirmTable table;
  Due when;
  db::Structure fields;
  std::vector<rt::Value> initial = {};  // per field; nil or missing leaves it empty
  std::vector<Widen> widen = {};
};
struct WidenFields {  // ZMIEN_DL_POLA
  FirmTable table;
  Due when;
  std::vector<Widen> widen;
  bool keepDeleted = false;
};
struct CopyTemplate {  // the firm's table replaced by the database's template of that name
  const char* table;
};
struct Reindex {  // the catalogue's tags of the table
  const char* table;
};
struct DataRule {  // a step's own conversion of data
  void (*apply)(const FirmContext&);
};
// A table a conversion of records reads besides its own: opened (on `tag`, when one is named)
// before the first record and closed after the last.
struct TableRead {
  const char* name;
  const char* alias;
  const char* tag = nullptr;
};
// A step's conversion of every record of one table that depends on nothing but the record and
// the tables it reads: `change` gets the table's area on each record the table shows, in natural
// order, and the areas of `reads` in their order. Right after the AddFields of its table it goes
// into that change's one copy of the table when the table is rewritten; otherwise it changes the
// records in place, as a loop over the table.
struct ConvertRecords {
  FirmTable table;
  void (*change)(engine::WorkArea& record, std::span<engine::WorkArea* const> reads);
  std::vector<TableRead> reads = {};
};
using FirmWork =
    std::variant<AddFields, WidenFields, CopyTemplate, Reindex, DataRule, ConvertRecords>;

struct FirmPlan {
  int release = 0;
  std::vector<FirmWork> work;
};

// Shorthands for the field lists of the plans.
namespace fields {
inline engine::FieldSpec C(const char* name, int length) { return {name, 'C', length, 0}; }
inline engine::FieldSpec N(const char* name, int length, int decimals = 0) {
  return {name, 'N', length, decimals};
}
inline engine::FieldSpec D(const char* name) { return {name, 'D', 8, 0}; }
}  // namespace fields

// Runs one firm step: nothing when the firm's release (as the runner read it before the first
// step) is at or above the plan's, otherwise its work in order and then the release record. A
// ConvertRecords right after the AddFields of the same table rides in that change's copy, so the
// table is written once: the outcome is the pair's, one after the other, and a failure in the
// conversion leaves the table as it was before the pair (the step is not recorded either way).
void runFirmPlan(const FirmPlan& plan, std::string_view firmDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);

// ---- the firm's release record

// The firm's wersja.dbf (alias "wer"), in its only record: `baza` := the step's database release
// ("025.01.030"), `nr` := 25.01, `wariant` := its three digits ("030"). A record that cannot be
// opened, or whose record does not reach the disk, is raised: a step must never look finished
// when its release was not written.
void recordFirmRelease(std::string_view firmDirectory, int release);

// Opens the firm's wersja.dbf exclusively under "wer" on its record and leaves it open for the
// caller, who closes it. Raises when the table cannot be opened.
engine::WorkArea& openFirmReleaseRecord(std::string_view firmDirectory);
inline constexpr const char* kFirmReleaseAlias = "wer";

}  // namespace tav::convert

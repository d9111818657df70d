#pragma once

// The damage rules of a table with its memo file and its indexes: the one place that says what is
// wrong with a table, for the support tool, the upgrade's guard before a firm is converted, the
// upgrade's plan and the database check and repair. It reads only: shared, read-only opens,
// nothing written, no repair made. It sits beside the work areas rather than in dbf/ because the
// index part evaluates key expressions through a work area.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tav::engine {

// What is wrong, by kind: callers decide by the kind, never by a line's text.
enum class Damage {
  Header,            // the header cannot be parsed: nothing else was read
  RecordsMissing,    // the header counts more records than the file holds (the file was cut)
  RecordsUncounted,  // the file holds whole records the header does not count
  PartialRecord,     // the file ends in part of a record
  EndMarker,         // no 0x1A after the last record, or a stray byte in its place
  HeaderDate,        // the date of last update is no date
  VersionByte,       // the version byte disagrees with the memo fields
  DeletedFlag,       // a record's flag byte is neither ' ' nor '*'
  BadNumber,         // a numeric field holds bytes that are no number
  BadDate,           // a date field holds bytes that are no date
  MemoFileMissing,   // memo fields and no memo file
  MemoFileDamaged,   // the memo file's header cannot be read
  MemoPastEnd,       // a memo reference (or the length stored there) runs past the memo file
  MemoFreed,         // a memo reference at or past the memo file's next free block
  MemoPointer,       // a memo reference whose bytes are no number
  RebuildPending,    // a rebuild stopped after its commit: the next writable open finishes it
  IndexUnreadable,   // an index file beside the table does not open (or cannot be read)
  TagFaulty,         // a tag's entries, keys or order disagree with the table
  TagMissing,        // a tag the caller expects is not in the structural index
  TagDiffers,        // a tag the caller expects has another key expression
};

struct Finding {
  Damage kind;
  uint32_t record = 0;  // the record it concerns (from 1); 0 for the table as a whole
  std::string field;    // the field, for field and memo findings
  std::string index;    // the index file or the tag, for index findings
  std::string text;     // the line, code page 852
};

// How far to look. Guard: what a conversion would turn into lost records or memo texts without
// a word (the header against the file size, and only for tables with memo fields, the memo
// file and every memo reference); cheap enough to run before every firm of an upgrade. Full:
// every rule, every record, every tag.
enum class CheckDepth { Guard, Full };

struct CheckOptions {
  CheckDepth depth = CheckDepth::Full;
  // Tags (name, key expression) the table's structural .cdx must hold, as the caller's catalogue
  // has them: one missing or with another expression is a finding. Names and expressions are
  // compared ignoring letter case and blanks.
  std::vector<std::pair<std::string, std::string>> expectedTags;
  // The names in the table's directory in lower case, when the caller has just listed it (a
  // check of many tables): a file beside the table (index, memo, a rebuild's commit record) that
  // none of them names is taken as absent without asking the file system for it; one they name
  // is looked for as without them.
  std::shared_ptr<const std::unordered_set<std::string>> directoryNames;
};

struct TableCheck {
  // False when the table file itself could not be opened (missing, unreadable, not a table at
  // all): `unreadable` says why and nothing else was checked. A damaged header or memo file is
  // a finding, not this.
  bool opened = true;
  std::string unreadable;
  // Another program holds the table exclusively: nothing was read, and nothing is known to be
  // wrong (`opened` is false then).
  bool inUse = false;
  // What the header says and what the file holds (when the header could be read).
  uint32_t headerCount = 0, wholeRecords = 0;
  uint32_t partialBytes = 0, recordLength = 0;
  // Each kind's findings in the order found; long runs of one kind (one field's bad values, one
  // tag's faults, bad memo references) keep their first few, and `omitted` counts the rest.
  std::vector<Finding> findings;
  std::vector<std::pair<Damage, size_t>> omitted;
  // One line each, code page 852 text, in the order found: the header and the count, every
  // record's flag, numeric and date fields and memo references, then each tag of the structural
  // .cdx and of a .ntx of the table's name. Cut runs end in a line counting the rest.
  std::vector<std::string> problems;

  bool has(Damage kind) const;
  bool clean() const { return opened && findings.empty(); }
  // Damage that a conversion rewriting the table would carry on as a smaller, consistent table:
  // records or memo texts gone without a trace. (A header that cannot be read is no such damage:
  // nothing can open the table, and whatever needs it fails saying so.)
  bool losesData() const;
  // The first such finding, for the message that names it; nullptr when there is none.
  const Finding* firstLoss() const;
};

TableCheck checkTable(const std::filesystem::path& host, const CheckOptions& options = {});

// The tags (name, key expression) an index file holds, read without writing; nullopt when the file
// does not open or holds no tag. What a table the catalogue does not know is rebuilt with.
std::optional<std::vector<std::pair<std::string, std::string>>> indexFileTags(
    const std::filesystem::path& host);

// The short text of what a table's size says: "header 300 records, file holds 1" (and the part of
// a record after the last whole one). Empty when header and file agree.
std::string sizeText(const TableCheck& check);

}  // namespace tav::engine

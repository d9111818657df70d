#pragma once

// The schema of every table the samples hold, field by field and release by release.

#include <string>
#include <string_view>
#include <vector>

namespace tav::mkrelease {

// Where a table lives. A firm table also has its empty template in str\.
enum class Place { Firm, Str, Public, Database, Program, Release };

// Releases are the tool's own texts ("025.01.030"), compared character by character as the
// conversions compare them. A step number n stands for the release "025.01.nnn".
std::string stepRelease(int step);
// Later than every release a conversion knows: the structure the release ships.
inline constexpr std::string_view kShipped = "999.99.999";

struct Field {
  std::string name;  // as written in the schema; tables store it in upper case
  char type = 'C';
  int length = 0;  // as shipped
  int decimals = 0;
  int added = 0;      // step that appends the field, 0 when every release has it
  int widened = 0;    // step that widens it, 0 when never widened
  int oldLength = 0;  // its length below release `widened`

  bool presentAt(std::string_view release) const;
  int lengthAt(std::string_view release) const;
};

struct Table {
  std::string name;  // may hold a subdirectory: "klient\\klient", "setings\\station"
  std::vector<Place> places;
  int since = 0;  // step whose release first ships the table, 0 for all
  bool optional = false;
  bool obsolete = false;
  std::vector<Field> fields;  // shipped order, added fields last
  int line = 0;               // in the schema text, for messages

  bool at(Place p) const;
  std::string baseName() const;  // last part of the name, lower case: "klient"
  bool existsAt(std::string_view release) const;
  // The fields a table written for `release` has, in order, lengths as of that release.
  std::vector<Field> structureAt(std::string_view release) const;
  bool hasMemo() const;
};

class Schema {
 public:
  // Parses the schema text. False with "line N: reason" on the first fault; nothing that
  // could make a table the engine refuses (bad name, type, length, duplicate field) passes.
  static bool parse(std::string_view text, Schema& out, std::string& why);
  // The schema compiled into the program from tools/mkrelease/tables.schema.
  static const Schema& builtIn();

  const std::vector<Table>& tables() const { return tables_; }
  // By place and name ignoring case; a firm table is also found under Place::Str by its
  // base name, as its template. nullptr when absent.
  const Table* find(Place place, std::string_view name) const;

 private:
  std::vector<Table> tables_;
};

// The schema text as compiled in (generated from tables.schema).
std::string_view builtInSchemaText();

}  // namespace tav::mkrelease

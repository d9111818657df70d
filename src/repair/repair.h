// Check and repair of a database and of an installed program: every table of the database (its
// root, str\, public\ and every firm) read against the damage rules of engine/table_check and the
// index catalogue, and what can be mended without losing a byte of the original mended; the
// program's files against the release the tool runs in, its registry keys and its shortcuts.
//
// Invariants: a check writes nothing and takes no lock; a repair holds the database's lock as the
// upgrade does, and copies a table's files as they are into naprawa\<date-time>\ (flushed) before
// it touches any of them; what was found is always told from those originals, so a repair killed
// anywhere and run again ends with the same files, the same originals and the same report as one
// never interrupted; nothing is decided by a message's text.
#pragma once
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/table_check.h"

namespace tav::repair {

// What the command line asks for. Directories are 852 Windows paths (a host path reaches the
// tool through its drive map first).
struct Request {
  std::string directory;   // the program directory (as for an upgrade) or the database directory
  bool confirmed = false;  // --yes: a repair may write
  // A check reads this many directories of the database at once, each in a worker process of its
  // own; 0: one per core (at most four). A repair takes them one after another.
  int jobs = 0;
};

// Told before each directory of the database is taken: 1-based index of total, and what it is.
struct Progress {
  int index = 0, total = 0;
  std::string what;  // "firm 3 (firma3) Pająk", "str\", "public\", "the database directory" (852)
};
using ProgressObserver = std::function<void(const Progress&)>;

// What a repair did, by kind.
enum class Mend {
  CountLowered,     // the header counts the whole records the file holds (it counted more)
  PartialDropped,   // the part of a record after the last whole one is gone
  CountRaised,      // the header counts records it did not
  EndMarkerPut,     // 0x1A after the last record
  RebuildFinished,  // a rebuild stopped after its commit was finished
  MemoFileMade,     // an empty memo file in place of a missing one
  MemoCleared,      // memo references past the memo file blanked, by record
  FreeSpaceMoved,   // the memo file's next free block moved past every memo
  IndexRebuilt,     // the table's index built anew from the index catalogue (or its own tags)
  FileRestored,     // a program file copied back from the release
  RegistryWritten,  // the registry keys of the installation written
  ShortcutsMade,    // the desktop and Start-menu shortcuts made anew
};
const char* mendName(Mend m);              // "count_lowered", ... (for the JSON report)
const char* damageName(engine::Damage d);  // "records_missing", ...

struct Done {
  Mend kind;
  std::string text;  // 852
};

struct TableOutcome {
  std::string table;         // relative to its directory, 852 ("ks_dok.dbf", "klient\klient.dbf")
  engine::TableCheck found;  // as the table was (its originals, once they are kept)
  std::vector<Done> done;
  std::vector<std::string> left;  // what stays for a person (852 lines)
  bool inUse = false;             // held exclusively elsewhere: not read
  std::string originals;          // where its files were kept (852 directory); empty: not copied
};

struct DirectoryOutcome {
  enum class Place { Database, Str, Public, Firm } place = Place::Database;
  double number = 0;      // a firm's number in install.dbf
  std::string name;       // a firm's ident (852), empty when unknown
  std::string directory;  // 852 Windows path with its backslash
  std::string label;      // "firma3", "str", "public", "" for the database directory itself
  bool missing = false;   // a firm of the list whose directory is not there
  size_t tablesRead = 0;
  std::vector<TableOutcome> tables;  // the tables with something to say, in the order read
};

struct DatabaseOutcome {
  bool repair = false;
  std::string refusal;    // why nothing was read or written (852); empty when it ran
  std::string database;   // 852 with its backslash
  std::string originals;  // naprawa\<date-time>\ of this repair (852); empty when nothing was kept
  std::string report;     // public\naprawa.txt (852) once written
  std::vector<DirectoryOutcome> directories;
  bool refused() const { return !refusal.empty(); }
  bool damaged() const;        // something was found
  bool leftForPerson() const;  // a repair left something (or a table could not be read)
  // 0 nothing damaged (check) or everything mended (repair); 1 damage found (check) or something
  // left for a person (repair); 2 refused.
  int exitCode() const;
};

DatabaseOutcome checkDatabase(const Request& request, const ProgressObserver& progress = {});
DatabaseOutcome repairDatabase(const Request& request, const ProgressObserver& progress = {});

// The outcome as lines (852): the terminal shows them, the repair's report public\naprawa.txt
// holds them (code page 1250, CR LF, after its stamp line).
std::vector<std::string> databaseLines(const DatabaseOutcome& outcome);
nlohmann::json databaseJson(const DatabaseOutcome& outcome);

// One thing of an installed program: a file the release ships, a registry key, the shortcuts.
struct ProgramItem {
  enum class What { File, RegistryKey, Shortcut } what = What::File;
  std::string name;   // the file relative to the program directory, the key's path, the link (852)
  std::string found;  // what is wrong (852)
  std::vector<Done> done;
  std::string left;      // what stays for a person (852); empty when mended or only checked
  std::string original;  // where the replaced file was kept (852); empty: none
};

struct ProgramOutcome {
  bool repair = false;
  std::string refusal;  // 852; empty when it ran
  std::string program, database, release;
  std::string originals;  // naprawa\<date-time>\ in the program directory, when a file was kept
  size_t filesCompared = 0;
  std::vector<ProgramItem> items;  // only what is wrong
  bool refused() const { return !refusal.empty(); }
  int exitCode() const;  // as DatabaseOutcome
};

// The program in `request.directory` against the release the tool runs in (its working directory):
// every file the program refresh installs, present with the same bytes (the printout templates of
// txt\, which users change, only present); the tool's registry key and uninstall entry for the
// year, naming this program and its database; the desktop and Start-menu shortcuts to its tav.exe.
// A program of another release is refused: its files are the upgrade's business.
ProgramOutcome checkProgram(const Request& request);
ProgramOutcome repairProgram(const Request& request);
std::vector<std::string> programLines(const ProgramOutcome& outcome);
nlohmann::json programJson(const ProgramOutcome& outcome);

}  // namespace tav::repair

// The database check and repair: the walk over the database's directories and tables, what each
// table's findings are, and the mends. A table is mended only after its files are kept whole
// under naprawa\, and what was found and done is always told from those originals, never from
// the half-mended table an interrupted repair left: the rerun's report is the uninterrupted one.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>
#include <optional>
#include <thread>
#include <unordered_set>

#include "convert/firm_runner.h"
#include "db/index_catalogue.h"
#include "db/indexing.h"
#include "db/table_access.h"
#include "engine/dbf/dbf_format.h"
#include "engine/dbf/table.h"
#include "engine/fpt/memo_file.h"
#include "engine/staging.h"
#include "engine/table_check.h"
#include "engine/workspace.h"
#include "os/children_in_order.h"
#include "os/file.h"
#include "os/files.h"
#include "os/path.h"
#include "repair/originals.h"
#include "repair/outcome_wire.h"
#include "repair/repair.h"
#include "repair/report.h"
#include "runtime/codepage.h"
#include "runtime/coding.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "upgrade/worker_process.h"

namespace tav::repair {
namespace {

using namespace rt::literals;
using engine::Damage;
using Place = DirectoryOutcome::Place;

// The table every TAV workstation holds while it works: the repair takes the database by holding
// it exclusively, as the upgrade does.
constexpr const char* kLockTable = "str\\nazwy.dbf";
constexpr const char* kLockAlias = "sem";
// Directories a check reads at once by default: more would only wait for the disk.
constexpr size_t kMostCheckJobs = 4;

// A database's version record names its release; a firm's its own.
std::string withBackslash(std::string dir) {
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  return dir;
}

std::string fieldText(engine::WorkArea& a, const char* name) {
  const rt::Value v = a.get(name);
  if (v.isText()) return rt::allTrim(v.str());
  if (v.isNumber()) return rt::allTrim(rt::Str(v.num(), 10, 0));
  return {};
}

bool rebuildPending(const std::string& table) {
  const size_t slash = table.rfind('\\');
  const std::string dir = table.substr(0, slash + 1);
  std::string name = table.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return os::exists(dir + "~" + name.substr(0, dot) + ".swp");
}

// Reads a table without writing anything (a shared, read-only open; a table whose rebuild waits
// to be finished is not opened, since opening it would finish it). Every record until `each`
// answers false; false when the table could not be read.
template <class Each>
bool readTable(const std::string& table, Each each) {
  if (!os::exists(table) || rebuildPending(table)) return false;
  rt::HandlerGuard quiet([](rt::Error&) { return rt::Answer{}; });
  engine::Workspace ws;
  engine::UseOptions uo;
  uo.shared = uo.readOnly = true;
  if (!ws.useHost(os::toHost(table), "R", uo)) return false;
  engine::WorkArea& a = *ws.current();
  for (a.goTop(); !a.eof(); a.skip())
    if (!each(a)) break;
  return true;
}

std::string firstField(const std::string& table, const char* field) {
  std::string text;
  readTable(table, [&](engine::WorkArea& a) {
    text = fieldText(a, field);
    return false;
  });
  return text;
}

// The program directory's database (baza.dbf's path, as the program reads it from its own
// directory), or the directory itself when it is a database.
struct Located {
  std::string program, database, refusal;
};

Located locate(const std::string& typed) {
  Located l;
  std::string dir = withBackslash(rt::allTrim(typed));
  if (rt::allTrim(typed).empty() || !os::isDirectory(dir)) {
    l.refusal = "the directory " + rt::allTrim(typed) + " does not exist";
    return l;
  }
  if (os::exists(dir + "baza.dbf")) {
    l.program = dir;
    std::string path = firstField(dir + "baza.dbf", "path");
    if (path.empty()) {
      l.refusal = "the program's baza.dbf names no database";
      return l;
    }
    const std::string here = os::currentDirectory();
    if (os::changeDirectory(dir)) {
      path = os::fullPath(path);
      os::changeDirectory(here);
    }
    dir = withBackslash(path);
  }
  if (!os::exists(dir + "install.dbf") || !os::isDirectory(dir + "str")) {
    l.refusal = "no TAV database in " + dir + " (install.dbf and str\\ are missing)";
    return l;
  }
  l.database = dir;
  // A database of another year, or of a release above the tool's, is not the tool's to judge:
  // its catalogue may have tables and indexes this one does not know. A version record that does
  // not read is a finding of the check, not a reason to stop.
  const std::string year = firstField(dir + "wersja.dbf", "rok");
  const std::string release = firstField(dir + "wersja.dbf", "baza");
  if (!year.empty() && year != rt::shared().roczek)
    l.refusal = "the database in " + dir + " belongs to the year " + year;
  else if (!release.empty() && convert::releaseBelow(rt::shared().wersja_b, release))
    l.refusal = "the database in " + dir + " is at release " + release + ", above this tool's " +
                rt::shared().wersja_b;
  return l;
}

// One directory of the database as the walk takes it.
struct Directory {
  Place place;
  double number = 0;
  std::string path, label, name;
  bool missing = false;
  bool catalogueApplies = true;  // a firm whose indexes predate the catalogue is rebuilt whole
};

void tablesIn(const std::string& root, const std::string& relative, bool deep,
              std::vector<std::string>& out) {
  std::vector<std::string> subdirectories;
  for (const os::DirEntry& e : os::listDirectory(root + relative + "*.*", deep ? "D" : "")) {
    if (!e.isDirectory()) {
      if (os::maskMatches("*.dbf", e.name) && e.name[0] != '~') out.push_back(relative + e.name);
    } else if (!(e.attributes & os::kAttrReparsePoint) &&
               !(relative.empty() && rt::lower(e.name) == "naprawa")) {
      // A link is not followed; the repair's own originals are no tables of the database.
      subdirectories.push_back(relative + e.name + "\\");
    }
  }
  for (const std::string& sub : subdirectories) tablesIn(root, sub, true, out);
}

std::vector<std::string> tablesOf(const Directory& d) {
  std::vector<std::string> tables;
  if (d.place == Place::Firm) return convert::firmTables(d.path);
  tablesIn(d.path, {}, d.place != Place::Database, tables);
  return tables;
}

std::vector<Directory> directoriesOf(const std::string& database) {
  std::vector<Directory> dirs;
  dirs.push_back({Place::Database, 0, database, "", ""});
  dirs.push_back({Place::Str, 0, database + "str\\", "str", ""});
  dirs.push_back({Place::Public, 0, database + "public\\", "public", ""});
  const std::string databaseRelease = firstField(database + "wersja.dbf", "baza");
  std::vector<double> numbers;
  readTable(database + "install.dbf", [&](engine::WorkArea& a) {
    numbers.push_back(a.get("nr").num());
    return true;
  });
  for (double nr : numbers) {
    Directory d;
    d.place = Place::Firm;
    d.number = nr;
    d.label = "firma" + rt::lTrim(rt::Str(nr, 4, 0));
    d.path = database + d.label + "\\";
    d.missing = !os::isDirectory(d.path);
    if (!d.missing) {
      d.name = firstField(d.path + "firma.dbf", "ident");
      const std::string release = firstField(d.path + "wersja.dbf", "baza");
      d.catalogueApplies = !convert::chooseFirmSteps(release, databaseRelease).fullReindex;
    }
    dirs.push_back(std::move(d));
  }
  return dirs;
}

std::string stemOf(const std::string& relative) {
  const size_t dot = relative.rfind('.');
  return dot == std::string::npos ? relative : relative.substr(0, dot);
}

// The tags the catalogue gives a table of this directory; nullopt when it gives none.
std::optional<db::TagList> catalogueTags(const Directory& d, const std::string& relative) {
  const std::string stem = rt::lower(stemOf(relative));
  if (d.place == Place::Firm) {
    if (!d.catalogueApplies) return std::nullopt;
    if (const db::TagList* tags = db::tagsFor(stem)) return *tags;
    return std::nullopt;
  }
  const auto* list = d.place == Place::Str      ? &db::strIndexes()
                     : d.place == Place::Public ? &db::publicIndexes()
                                                : nullptr;
  if (list)
    for (const db::PublicIndex& row : *list)
      if (rt::lower(row.table) == stem) return row.tags;
  return std::nullopt;
}

engine::CheckOptions fullCheck(const std::optional<db::TagList>& tags) {
  engine::CheckOptions o;
  o.depth = engine::CheckDepth::Full;
  if (tags)
    for (const db::IndexTag& t : *tags) o.expectedTags.emplace_back(t.name, t.key);
  return o;
}

// The tags an index file of the table holds, when it opens: what a table outside the catalogue
// is rebuilt with.
std::optional<db::TagList> ownTags(const std::string& table) {
  std::filesystem::path cdx = os::toHost(table);
  cdx.replace_extension(".cdx");
  if (!std::filesystem::exists(cdx)) cdx.replace_extension(".CDX");
  if (!std::filesystem::exists(cdx)) return std::nullopt;
  auto own = engine::indexFileTags(cdx);
  if (!own) return std::nullopt;
  db::TagList tags;
  for (auto& [name, key] : *own) tags.push_back({name, key});
  return tags;
}

// Every file of a table: its own name with any extension (memo, indexes), and while a rebuild
// waits to be finished the staged files and the commit record too. Copies killed half-way
// ("~name.pid.tmp") are no part of it.
std::vector<std::string> filesOf(const std::string& table) {
  const size_t slash = table.rfind('\\');
  const std::string dir = table.substr(0, slash + 1);
  const std::string stem = stemOf(table.substr(slash + 1));
  std::vector<std::string> files;
  std::vector<std::string> masks{stem + ".*"};
  if (rebuildPending(table)) masks.push_back("~" + stem + ".*");
  for (const std::string& mask : masks)
    for (const os::DirEntry& e : os::listDirectory(dir + mask, "HS")) {
      const std::string lower = rt::lower(e.name);
      if (e.isDirectory() || (lower.size() > 4 && lower.substr(lower.size() - 4) == ".tmp"))
        continue;
      if (rt::lower(stemOf(e.name)) != rt::lower(stemOf(mask))) continue;
      files.push_back(dir + e.name);
    }
  return files;
}

bool indexKind(Damage k) {
  return k == Damage::IndexUnreadable || k == Damage::TagFaulty || k == Damage::TagMissing ||
         k == Damage::TagDiffers;
}

bool needsIndex(const engine::TableCheck& c) {
  return std::any_of(c.findings.begin(), c.findings.end(),
                     [](const engine::Finding& f) { return indexKind(f.kind); });
}

std::string tagNames(const db::TagList& tags) {
  std::string names;
  for (const db::IndexTag& t : tags) names += (names.empty() ? "" : ", ") + t.name;
  return names;
}

// The mends a table's findings call for, told from the findings of its originals; each is kept
// only when the table no longer shows that damage.
std::vector<Done> doneFor(const engine::TableCheck& found, const engine::TableCheck& now,
                          const std::string& table, const std::optional<db::TagList>& tags,
                          bool catalogue) {
  std::vector<Done> done;
  auto gone = [&](Damage k) { return found.has(k) && !now.has(k); };
  if (gone(Damage::RebuildPending))
    done.push_back({Mend::RebuildFinished, "the rebuild that stopped after its commit finished"});
  if (gone(Damage::RecordsMissing))
    done.push_back({Mend::CountLowered, "kept the " + std::to_string(found.wholeRecords) +
                                            " whole records the file holds; the header claimed " +
                                            std::to_string(found.headerCount) + " (" +
                                            std::to_string(found.headerCount - found.wholeRecords) +
                                            " missing) and now counts " +
                                            std::to_string(found.wholeRecords)});
  if (gone(Damage::PartialRecord))
    done.push_back({Mend::PartialDropped, "dropped the incomplete record " +
                                              std::to_string(found.wholeRecords + 1) + " (" +
                                              std::to_string(found.partialBytes) + " of " +
                                              std::to_string(found.recordLength) + " bytes)"});
  if (gone(Damage::RecordsUncounted))
    done.push_back({Mend::CountRaised, "the header counts the " +
                                           std::to_string(found.wholeRecords) +
                                           " whole records the file holds (it counted " +
                                           std::to_string(found.headerCount) + ")"});
  if (gone(Damage::EndMarker))
    done.push_back({Mend::EndMarkerPut, "end-of-file marker put after the last record"});
  for (const engine::Finding& f : found.findings)
    if (f.kind == Damage::MemoFileMissing && !now.has(Damage::MemoFileMissing))
      done.push_back({Mend::MemoFileMade, "made an empty memo file " + f.index});
  if (gone(Damage::MemoPastEnd)) {
    std::string records;
    for (const engine::Finding& f : found.findings)
      if (f.kind == Damage::MemoPastEnd)
        records += (records.empty() ? "" : ", ") + std::string("record ") +
                   std::to_string(f.record) + " field " + f.field;
    for (const auto& [kind, more] : found.omitted)
      if (kind == Damage::MemoPastEnd) records += " and " + std::to_string(more) + " more";
    done.push_back(
        {Mend::MemoCleared, "memo references past the end of the memo file cleared: " + records});
  }
  if (gone(Damage::MemoFreed))
    done.push_back({Mend::FreeSpaceMoved, "the memo file's next free block moved past every memo"});
  if (needsIndex(found) && !needsIndex(now) && tags) {
    done.push_back({Mend::IndexRebuilt,
                    "index " + stemOf(table.substr(table.rfind('\\') + 1)) + ".cdx rebuilt with " +
                        (catalogue ? "the catalogue's tags " : "its own tags ") + tagNames(*tags)});
  }
  return done;
}

// Memo references past the memo file blanked; the memo file's next free block moved past every
// memo. The table is held exclusively (its open also puts its header count and end right).
// False when it could not be opened so.
bool mendRecords(const std::string& table, const engine::TableCheck& live, std::string& why) {
  const std::filesystem::path host = os::toHost(table);
  rt::Error err;
  auto t = engine::Table::open(host, engine::TableOptions{}, err);
  if (!t) {
    why = err.genCode == rt::kErrShared ? "in use elsewhere" : err.description;
    return false;
  }
  const engine::DbfHeader& h = t->header();
  if (live.has(Damage::MemoPastEnd) && t->memo()) {
    std::string rec(h.recordLength, ' ');
    for (uint32_t r = 1; r <= t->recordCount(); ++r) {
      if (!t->readRecord(r, rec.data())) break;
      bool changed = false;
      for (const engine::FieldDef& f : h.fields) {
        if (f.type != 'M' && f.type != 'G' && f.type != 'P') continue;
        char* raw = rec.data() + f.offset;
        if (!engine::wellFormed(f, raw)) continue;
        const uint32_t block = engine::memoPointer(f, h.memoPointersBinary(), raw);
        std::string ignored;
        if (!block || t->memo()->read(block, ignored)) continue;
        engine::encodeMemoPointer(f, h.memoPointersBinary(), 0, raw);
        changed = true;
      }
      if (changed && !t->writeRecord(r, rec.data())) {
        why = "record " + std::to_string(r) + " could not be written";
        return false;
      }
    }
  }
  std::filesystem::path memoPath;
  if (t->memo()) memoPath = t->memo()->path();
  const uint32_t blockSize = t->memo() ? t->memo()->blockSize() : 0;
  if (!t->commit()) {
    why = "the table could not be written";
    return false;
  }
  t.reset();
  if (live.has(Damage::MemoFreed) && blockSize) {
    os::File memo;
    if (!memo.open(memoPath, os::File::Mode::ReadWrite)) return true;
    const int64_t size = memo.size();
    uint8_t next[4];
    rt::putBE32(next, static_cast<uint32_t>((uint64_t(std::max<int64_t>(size, 0)) + blockSize - 1) /
                                            blockSize));
    if (size < 0 || !memo.writeAt(0, next, sizeof next) || !memo.sync()) {
      why = "the memo file's header could not be written";
      return false;
    }
  }
  return true;
}

// A missing memo file made anew, empty, beside the table and renamed into place whole.
bool makeMemo(const std::string& table) {
  const std::filesystem::path memo = engine::Table::memoPathFor(os::toHost(table));
  const std::filesystem::path staged = engine::stagedPath(memo);
  return engine::MemoFile::create(staged) && os::replaceHostFile(staged, memo);
}

// Whether the repair has a mend for something the table shows.
bool mendable(const engine::TableCheck& c) {
  for (const engine::Finding& f : c.findings) switch (f.kind) {
      case Damage::RecordsMissing:
      case Damage::PartialRecord:
      case Damage::RecordsUncounted:
      case Damage::EndMarker:
      case Damage::RebuildPending:
      case Damage::MemoFileMissing:
      case Damage::MemoPastEnd:
      case Damage::MemoFreed:
      case Damage::IndexUnreadable:
      case Damage::TagFaulty:
      case Damage::TagMissing:
      case Damage::TagDiffers:
        return true;
      default:
        break;
    }
  return false;
}

bool structural(const engine::TableCheck& c) {
  for (Damage k : {Damage::RecordsMissing, Damage::PartialRecord, Damage::RecordsUncounted,
                   Damage::EndMarker, Damage::MemoPastEnd, Damage::MemoFreed})
    if (c.has(k)) return true;
  return false;
}

class Walk {
 public:
  Walk(DatabaseOutcome& out, bool repair, const ProgressObserver& progress)
      : out_(out), repair_(repair), progress_(progress), originals_(out.database) {}

  Originals& originals() { return originals_; }

  void run(const std::vector<Directory>& dirs, const std::string& skip) {
    for (size_t i = 0; i < dirs.size(); ++i) {
      tell(dirs, i);
      out_.directories.push_back(directory(dirs[i], skip));
    }
  }

  // A check of a large database: several directories at once, each in a worker process of its
  // own, gathered in their order. A directory whose worker failed is read here.
  void runAtOnce(const std::vector<Directory>& dirs, size_t jobs) {
    os::ChildrenInOrder workers(jobs);
    std::deque<std::pair<size_t, bool>> started;  // a directory, and whether a worker took it
    auto take = [&] {
      const auto [i, inWorker] = started.front();
      started.pop_front();
      std::optional<DirectoryOutcome> done;
      if (inWorker) {
        const upgrade::WorkerProcess::Result r = workers.takeOldest();
        if (r.completed) done = decode(r.value);
      }
      tell(dirs, i);
      out_.directories.push_back(done ? std::move(*done) : directory(dirs[i], {}));
    };
    for (size_t i = 0; i < dirs.size(); ++i) {
      started.emplace_back(
          i, workers.start([this, &dirs, i] { return encode(directory(dirs[i], {})); }));
      while (!started.empty() && (!started.front().second || workers.oldestDone())) take();
    }
    while (!started.empty()) take();
  }

  DirectoryOutcome directory(const Directory& d, const std::string& skip) {
    DirectoryOutcome o;
    o.place = d.place;
    o.number = d.number;
    o.name = d.name;
    o.directory = d.path;
    o.label = d.label;
    o.missing = d.missing;
    if (!d.missing)
      for (const std::string& table : tablesOf(d)) {
        if (rt::lower(d.path + table) == rt::lower(skip)) continue;
        ++o.tablesRead;
        if (auto t = table_(d, table)) o.tables.push_back(std::move(*t));
      }
    return o;
  }

  void tell(const std::vector<Directory>& dirs, size_t i) const {
    if (!progress_) return;
    const Directory& d = dirs[i];
    std::string what = d.place == Place::Firm
                           ? "firm " + rt::lTrim(rt::Str(d.number, 4, 0)) + " (" + d.label + ")" +
                                 (d.name.empty() ? "" : " " + d.name)
                       : d.place == Place::Database ? std::string("the database directory")
                                                    : d.label + "\\";
    progress_({static_cast<int>(i) + 1, static_cast<int>(dirs.size()), what});
  }

  // The one table the lock held while the rest was walked: taken once the lock has gone.
  void runOne(const Directory& d, const std::string& table) {
    for (DirectoryOutcome& o : out_.directories) {
      if (o.directory != d.path || !os::exists(d.path + table)) continue;
      ++o.tablesRead;
      if (auto t = table_(d, table)) o.tables.push_back(std::move(*t));
    }
  }

  // Keeps a table's originals before anything else happens to it (the lock's own table, whose
  // exclusive open puts its header right).
  bool keepFirst(const Directory& d, const std::string& table) {
    const engine::TableCheck live = engine::checkTable(os::toHost(d.path + table), fullCheck({}));
    if (live.clean() || live.inUse) return true;
    return keep(d, table);
  }

 private:
  std::string item(const Directory& d, const std::string& table) const {
    return d.label.empty() ? table : d.label + "\\" + table;
  }
  std::string subdirectory(const Directory& d, const std::string& table) const {
    const std::string rel = item(d, table);
    const size_t slash = rel.rfind('\\');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash + 1);
  }
  bool keep(const Directory& d, const std::string& table) {
    return originals_.keep(item(d, table), filesOf(d.path + table), subdirectory(d, table));
  }

  // The host path of a table the directory's listing named. The directory is resolved once: each
  // table's own resolution through the drive map cost as much as reading a small table. A name
  // from the listing is the file's own, so joining it gives what the resolution would; a name
  // that is not plain ASCII still goes through the path door for its code page.
  std::filesystem::path hostOf(const Directory& d, const std::string& table) {
    if (hostDirectory_.first != d.path) hostDirectory_ = {d.path, os::toHost(d.path)};
    std::filesystem::path host = hostDirectory_.second;
    size_t from = 0;
    for (size_t to; from <= table.size(); from = to + 1) {
      to = std::min(table.find('\\', from), table.size());
      const std::string_view part(table.data() + from, to - from);
      if (part.empty() || part == "." || part == ".." ||
          std::any_of(part.begin(), part.end(), [](char c) { return (c & 0x80) || c == '/'; }))
        return os::toHost(d.path + table);
      host /= std::string(part);
    }
    return host;
  }

  // The names in a table's directory, listed once for all its tables: the check then asks the
  // file system only for the files beside a table that are there. Null when it cannot be listed.
  std::shared_ptr<const std::unordered_set<std::string>> namesIn(const std::filesystem::path& dir) {
    if (names_.first == dir) return names_.second;
    auto names = std::make_shared<std::unordered_set<std::string>>();
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name;
      const std::filesystem::path file = it->path().filename();
      bool ascii = true;  // the check looks a name with other letters up itself
      for (const auto c : file.native()) {
        ascii = ascii && static_cast<unsigned long>(c) <= 0x7F;
        name += static_cast<char>(std::tolower(static_cast<int>(c & 0x7F)));
      }
      if (ascii) names->insert(std::move(name));
    }
    names_ = {dir, ec ? nullptr : std::move(names)};
    return names_.second;
  }

  std::optional<TableOutcome> table_(const Directory& d, const std::string& table) {
    const std::string path = d.path + table;
    const std::optional<db::TagList> catalogue = catalogueTags(d, table);
    engine::CheckOptions options = fullCheck(catalogue);
    TableOutcome t;
    t.table = table;
    const std::filesystem::path host = hostOf(d, table);
    // A repair changes the directory as it goes: its checks ask the file system every time.
    if (!repair_) options.directoryNames = namesIn(host.parent_path());
    engine::TableCheck live = engine::checkTable(host, options);
    options.directoryNames.reset();
    const bool keptBefore = repair_ && originals_.kept(item(d, table));
    if (live.clean() && !keptBefore) return std::nullopt;
    if (!live.opened && !live.inUse && !os::exists(path)) return std::nullopt;  // gone meanwhile
    if (!live.opened) {
      // Unreadable or held by another program: nothing is known, and a repair can do nothing.
      t.inUse = live.inUse;
      if (repair_)
        t.left.push_back(live.inUse ? "in use by another program: not read"
                                    : "cannot be read: " + live.unreadable);
      t.found = std::move(live);
      return t;
    }
    // Nothing a repair could do (a number or a date that is none, a header that cannot be read):
    // the table is not touched, so nothing of it is kept.
    if (!repair_ || (!keptBefore && !mendable(live))) {
      if (repair_) t.left = live.problems;
      t.found = std::move(live);
      return t;
    }
    if (!keep(d, table)) {
      t.found = std::move(live);
      t.left.push_back("its files could not be kept under naprawa\\: nothing was changed");
      return t;
    }
    t.originals = originals_.directory() + subdirectory(d, table);
    const std::string original = originals_.directory() + item(d, table);
    t.found = engine::checkTable(os::toHost(original), options);
    // A table outside the catalogue is rebuilt with the tags its original index had.
    const std::optional<db::TagList> tags = catalogue ? catalogue : ownTags(original);

    std::string why;
    if (live.has(Damage::RebuildPending)) {
      engine::finishInterruptedSwap(os::toHost(path));
      live = engine::checkTable(os::toHost(path), options);
    }
    if (live.has(Damage::MemoFileMissing) && !makeMemo(path))
      why = "the missing memo file could not be made";
    if (why.empty() && (live.has(Damage::MemoFileMissing) || structural(live))) {
      live = engine::checkTable(os::toHost(path), options);
      if (!mendRecords(path, live, why)) {
        if (why.empty()) why = "the table could not be mended";
      }
    }
    live = engine::checkTable(os::toHost(path), options);
    if (why.empty() && needsIndex(live)) {
      if (!tags) {
        why = "its index has no tags to rebuild it with (the catalogue lists none)";
      } else {
        const int result = db::INDEXON(path.substr(0, path.size() - 4), *tags);
        if (result != db::kIndexed)
          why = "the index could not be rebuilt (INDEXON gave " + std::to_string(result) + ")";
      }
      live = engine::checkTable(os::toHost(path), options);
    }
    t.done = doneFor(t.found, live, path, tags, catalogue.has_value());
    if (!why.empty()) t.left.push_back(why);
    for (const std::string& line : live.problems) t.left.push_back(line);
    if (live.inUse) t.left.push_back("in use by another program");
    return t;
  }

  DatabaseOutcome& out_;
  bool repair_;
  const ProgressObserver& progress_;
  Originals originals_;
  std::pair<std::string, std::filesystem::path> hostDirectory_;  // the last directory resolved
  // The last directory listed for the check, and its names.
  std::pair<std::filesystem::path, std::shared_ptr<const std::unordered_set<std::string>>> names_;
};

}  // namespace

const char* damageName(Damage d) {
  switch (d) {
    case Damage::Header:
      return "header";
    case Damage::RecordsMissing:
      return "records_missing";
    case Damage::RecordsUncounted:
      return "records_uncounted";
    case Damage::PartialRecord:
      return "partial_record";
    case Damage::EndMarker:
      return "end_marker";
    case Damage::HeaderDate:
      return "header_date";
    case Damage::VersionByte:
      return "version_byte";
    case Damage::DeletedFlag:
      return "deleted_flag";
    case Damage::BadNumber:
      return "bad_number";
    case Damage::BadDate:
      return "bad_date";
    case Damage::MemoFileMissing:
      return "memo_file_missing";
    case Damage::MemoFileDamaged:
      return "memo_file_damaged";
    case Damage::MemoPastEnd:
      return "memo_past_end";
    case Damage::MemoFreed:
      return "memo_in_free_space";
    case Damage::MemoPointer:
      return "memo_pointer";
    case Damage::RebuildPending:
      return "rebuild_pending";
    case Damage::IndexUnreadable:
      return "index_unreadable";
    case Damage::TagFaulty:
      return "tag_faulty";
    case Damage::TagMissing:
      return "tag_missing";
    case Damage::TagDiffers:
      return "tag_differs";
  }
  return "unknown";
}

const char* mendName(Mend m) {
  switch (m) {
    case Mend::CountLowered:
      return "count_lowered";
    case Mend::PartialDropped:
      return "partial_record_dropped";
    case Mend::CountRaised:
      return "count_raised";
    case Mend::EndMarkerPut:
      return "end_marker_put";
    case Mend::RebuildFinished:
      return "rebuild_finished";
    case Mend::MemoFileMade:
      return "memo_file_made";
    case Mend::MemoCleared:
      return "memo_references_cleared";
    case Mend::FreeSpaceMoved:
      return "memo_free_space_moved";
    case Mend::IndexRebuilt:
      return "index_rebuilt";
    case Mend::FileRestored:
      return "file_restored";
    case Mend::RegistryWritten:
      return "registry_written";
    case Mend::ShortcutsMade:
      return "shortcuts_made";
  }
  return "unknown";
}

bool DatabaseOutcome::damaged() const {
  for (const DirectoryOutcome& d : directories)
    for (const TableOutcome& t : d.tables)
      if (!t.found.findings.empty() || (!t.found.opened && !t.inUse)) return true;
  return false;
}

bool DatabaseOutcome::leftForPerson() const {
  for (const DirectoryOutcome& d : directories)
    for (const TableOutcome& t : d.tables)
      if (!t.left.empty()) return true;
  return false;
}

int DatabaseOutcome::exitCode() const {
  if (refused()) return 2;
  if (repair) return leftForPerson() ? 1 : 0;
  return damaged() ? 1 : 0;
}

DatabaseOutcome checkDatabase(const Request& request, const ProgressObserver& progress) {
  DatabaseOutcome out;
  const Located where = locate(request.directory);
  out.database = where.database;
  if (!where.refusal.empty()) {
    out.refusal = where.refusal;
    return out;
  }
  Walk walk(out, false, progress);
  const std::vector<Directory> dirs = directoriesOf(out.database);
  const size_t jobs =
      request.jobs > 0 ? size_t(request.jobs)
                       : std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMostCheckJobs);
  if (jobs > 1 && dirs.size() > 1)
    walk.runAtOnce(dirs, jobs);
  else
    walk.run(dirs, {});
  return out;
}

DatabaseOutcome repairDatabase(const Request& request, const ProgressObserver& progress) {
  DatabaseOutcome out;
  out.repair = true;
  const Located where = locate(request.directory);
  out.database = where.database;
  if (!where.refusal.empty()) {
    out.refusal = where.refusal;
    return out;
  }
  if (!request.confirmed) {
    out.refusal = "a repair changes the database: run it again with --yes";
    return out;
  }
  const std::string lock = out.database + kLockTable;
  if (!os::exists(lock)) {
    out.refusal = "the database has no str\\nazwy.dbf to hold while it is repaired";
    return out;
  }
  const std::vector<Directory> dirs = directoriesOf(out.database);
  Walk walk(out, true, progress);
  walk.originals().resume();
  // The lock's own table is opened exclusively to take the database, which puts its header
  // right: its originals are kept first when it is damaged.
  const Directory& str = dirs[1];
  const std::string lockTable = "nazwy.dbf";
  if (!walk.keepFirst(str, lockTable)) {
    out.refusal = "the originals of str\\nazwy.dbf could not be kept under naprawa\\";
    return out;
  }
  rt::guarded([] { db::ZAMKNIJ(kLockAlias); });
  if (!db::USEEX(lock, kLockAlias)) {
    out.refusal =
        "W programie TAV pracują inni użytkownicy.;Kontynuacja naprawy jest niemożliwa!"_oem;
    return out;
  }
  walk.run(dirs, lock);
  rt::guarded([] { db::ZAMKNIJ(kLockAlias); });
  walk.runOne(str, lockTable);
  out.originals = walk.originals().directory();
  // The report comes before the end of the run: a repair killed in between is taken up again
  // and writes it once more.
  const std::string report = out.database + "public\\naprawa.txt";
  if (writeDatabaseReport(out, report)) out.report = report;
  walk.originals().finish();
  return out;
}

}  // namespace tav::repair

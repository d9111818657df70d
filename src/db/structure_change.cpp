// Table creation and structure changes that keep the data (EXPORTUJ, LBCREATE, DODAJ_POLE,
// ZMIEN_DL_POLA, DODAJ_POLA). A rebuilt table is written beside the old one with a memo file of
// its own that holds only the texts its records point to, and takes its name through the
// engine's staged swap: the old table or the complete new one is in place at every instant.
// Deleted records keep their marks through every rebuild that copies them.
#include "db/structure_change.h"

#include <algorithm>
#include <filesystem>
#include <functional>

#include "db/files.h"
#include "db/table_access.h"
#include "engine/staging.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "os/files.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tav::db {
namespace {

// Retry counts and pauses (hundredths) that other workstations holding a file briefly rely on.
constexpr int kExportTries = 10, kExportPause = 20;
constexpr int kCreatePasses = 10, kCreatePause = 10;
constexpr int kBackupTries = 10, kBackupPause = 5;
constexpr int kSettlePause = 10, kBeforeOpenPause = 50;

size_t nameStart(std::string_view path) {
  size_t sep = path.find_last_of("\\/");
  return sep == std::string_view::npos ? 0 : sep + 1;
}

// The memo file of a table: its name up to and including the last "." followed by "fpt".
std::string memoOf(std::string_view table) {
  size_t dot = table.find_last_of('.');
  if (dot == std::string_view::npos || dot < nameStart(table)) return std::string(table) + ".fpt";
  return std::string(table.substr(0, dot + 1)) + "fpt";
}

// Where a replacement of `table` is written before it takes the table's name: the engine's
// staging name, so that an open of the table can finish a swap a crash interrupted.
std::string stagingFor(std::string_view table) {
  // In the tool's own form, as every path handed on from here is: a host path would be taken for
  // 852 text and its letters beyond ASCII converted a second time.
  return os::fromHost(engine::stagedPath(os::toHost(table)));
}

// The memo files of a staged table and of the table it replaces, as the engine names them.
std::vector<engine::Companion> memoOfPair(const std::string& staged, const std::string& target) {
  return {{engine::Table::memoPathFor(os::toHost(staged)),
           engine::Table::memoPathFor(os::toHost(target))}};
}

// Puts the staged table (and its memo) in place of `target`; a memo left from an old table with
// memo fields goes when the new one has none. The memo is renamed first and the table last,
// after a commit record that the next open of the table completes from.
bool swapIn(const std::string& staged, const std::string& target) {
  return engine::swapStaged(os::toHost(target), os::toHost(staged), memoOfPair(staged, target));
}

// Clears what an earlier rebuild through `staged` left: a committed swap is completed first, so
// that its new table is never taken for a leftover.
void clearStaging(const std::string& staged, const std::string& target) {
  engine::removeStaged(os::toHost(target), os::toHost(staged), memoOfPair(staged, target));
}

[[noreturn]] void failWith(int code, const char* what, const std::string& file) {
  rt::Error e;
  e.genCode = code;
  e.description = what;
  e.filename = file;
  rt::fail(std::move(e));
}

void removeTable(const std::string& table) {
  DEL_FILE(table);
  DEL_FILE(memoOf(table));
}

// Fields 1..n of both areas paired by position, n the smaller field count.
std::vector<std::pair<size_t, size_t>> samePositions(const engine::WorkArea& a,
                                                     const engine::WorkArea& b) {
  std::vector<std::pair<size_t, size_t>> pairs;
  for (size_t i = 1; i <= a.fieldCount() && i <= b.fieldCount(); ++i) pairs.emplace_back(i, i);
  return pairs;
}

// Writes the replacement of `target` under its staging name: a table of `fields` that `fill`
// fills through a work area of its own, with the tries and pauses of an export. True when the
// staged table is complete (written out; it is forced to the disk by its swap); an attempt that
// fails leaves no staged file behind.
bool writeStaged(const std::string& staged, const std::string& target, const Structure& fields,
                 const std::function<void(engine::WorkArea&)>& fill) {
  bool written = false;
  {
    rt::AbandonGuard guard;
    for (int attempt = 1; attempt <= kExportTries && !written; ++attempt) {
      written = rt::sequence([&] {
        clearStaging(staged, target);
        engine::Workspace scratch;
        if (!scratch.create(staged, fields)) failWith(rt::kErrCreate, "cannot create", staged);
        // A work area set of its own, so that no alias of the caller's can collide.
        engine::UseOptions o;
        o.shared = false;
        if (!scratch.use(staged, "target", o)) failWith(rt::kErrOpen, "cannot open", staged);
        scratch.current()->markStaged();
        fill(*scratch.current());
        scratch.current()->flush();
        scratch.closeAll();
      });
      if (!written) rt::pause(kExportPause);
    }
  }
  if (written && os::exists(staged)) return true;
  removeTable(staged);
  return false;
}

// Copies the records of `from` (as navigation shows them) to the end of `out`.
void copyRecords(engine::WorkArea& from, engine::WorkArea& out) {
  const auto pairs = out.planFieldCopy(from, samePositions(from, out));
  uint32_t saved = from.recno();
  bool wasEof = from.eof();
  for (from.goTop(); !from.eof(); from.skip(1)) {
    if (!out.append())
      failWith(rt::kErrAppendLock, "cannot append", os::oemText(out.table().path()));
    out.putFields(from, pairs);
    if (from.deleted()) out.remove();
  }
  from.goTo(wasEof ? 0 : saved);
}

// An error the caller's own handler abandoned at, carried through the tries of an export (which
// abandon only their own attempt) to the caller.
struct CallersAbandon {
  rt::Abandon abandon;
};

// Runs `body` under the handler the caller had, as the unguarded part of a copy always ran.
void underHandler(const rt::Handler& handler, const std::function<void()>& body) {
  rt::HandlerGuard guard(handler);
  try {
    body();
  } catch (const rt::Abandon& a) {
    throw CallersAbandon{a};
  }
}

// The caller's handler, given the errors of an area written under another file's name as errors
// of that file: a change made on the staged copy of a table reports what it would have reported
// made on the table itself.
rt::Handler renaming(const rt::Handler& handler, std::string staged, std::string table) {
  return [handler, staged = std::move(staged), table = std::move(table)](rt::Error& e) {
    if (e.filename == staged) e.filename = table;
    if (handler) return handler(e);
    throw rt::Abandon(e);
  };
}

bool hasField(const Structure& s, const std::string& upperName) {
  for (const auto& f : s)
    if (rt::upper(f.name) == upperName) return true;
  return false;
}

// Selects an area that was opened without looking at the result, as the conversions have
// always done: a table that did not open is the error handler's business.
engine::WorkArea* selectOrRaise(std::string_view alias) {
  auto& ws = engine::workspace();
  if (ws.select(alias)) return ws.current();
  rt::Error e;
  e.genCode = rt::kErrNoAlias;
  e.description = "alias does not exist";
  e.operation = std::string(alias);
  rt::raise(e);
  return nullptr;
}

// Deleted records hidden again on every way out: the process-wide setting of the start-up.
struct HiddenAfterwards {
  ~HiddenAfterwards() { rt::settings().deletedHidden = true; }
};

// Where an added field goes: 1-based position in the new structure, index in the added list.
struct Added {
  size_t position;
  size_t index;
};

void putInitial(engine::WorkArea& to, const std::vector<Added>& toAdd,
                const std::vector<rt::Value>& initial) {
  for (const Added& a : toAdd)
    if (!initial[a.index].isNil()) to.put(a.position, initial[a.index]);
}

bool gWorkCopies = false;

RebuildPath resolve(RebuildPath path) {
  if (path != RebuildPath::Default) return path;
  return gWorkCopies ? RebuildPath::WorkCopies : RebuildPath::Direct;
}

// DODAJ_POLE through its work copies, from the open "robo" on: the table exported to Z, the
// records copied from Z into X with the new structure, X exported over the table, Z and X
// deleted. The data survives in Z and X when the last export fails.
bool addThroughWorkCopies(const std::string& dir, const std::string& file, const Structure& grown,
                          const std::vector<Added>& toAdd, const std::vector<rt::Value>& initial) {
  const std::string z = "z" + file, x = "x" + file;
  auto& ws = engine::workspace();
  if (!EXPORTUJ(dir + z)) {
    ZAMKNIJ("robo");
    return false;
  }
  ZAMKNIJ("robo");
  if (!LBCREATE(dir + x, grown)) return false;

  OTWORZ(dir, z, "robo0");
  OTWORZ(dir, x, "robo1");
  engine::WorkArea* from = selectOrRaise("robo0");
  engine::WorkArea* to = selectOrRaise("robo1");
  if (!from || !to) return false;
  const uint32_t count = from->lastRec();
  // The old fields keep their positions; the added ones come after all of them.
  const auto oldFields = to->planFieldCopy(*from, samePositions(*from, *to));
  for (uint32_t r = 1; r <= count; ++r) {
    from->goTo(r);
    bool wasDeleted = from->deleted();
    to->append();
    to->putFields(*from, oldFields);
    putInitial(*to, toAdd, initial);
    if (wasDeleted) to->remove();
  }
  ZAMKNIJ("robo0");
  ws.select("robo1");
  bool exported = EXPORTUJ(dir + file);
  ZAMKNIJ("robo1");
  if (!exported) return false;
  removeTable(dir + z);
  removeTable(dir + x);
  return true;
}

}  // namespace

bool writesOnce(RebuildPath path) { return resolve(path) == RebuildPath::Direct; }

WorkCopiesThroughout::WorkCopiesThroughout() : previous_(gWorkCopies) { gWorkCopies = true; }
WorkCopiesThroughout::~WorkCopiesThroughout() { gWorkCopies = previous_; }

SwapHook setSwapHook(SwapHook hook) {
  static SwapHook current;
  SwapHook previous = std::move(current);
  current = std::move(hook);
  if (current)
    engine::setStagingHook([](SwapPoint p, const std::filesystem::path& table) {
      return current(p, os::utf8(table));
    });
  else
    engine::setStagingHook({});
  return previous;
}

bool EXPORTUJ(std::string_view targetIn) {
  const std::string target(targetIn), staged = stagingFor(targetIn);
  engine::WorkArea* source = engine::workspace().current();
  if (!source) return false;
  if (!writeStaged(staged, target, source->structure(),
                   [&](engine::WorkArea& out) { copyRecords(*source, out); }))
    return false;
  if (!swapIn(staged, target)) return false;  // the old table stays; the staged copy too
  return os::exists(target);
}

bool LBCREATE(std::string_view fileIn, const Structure& fields) {
  const std::string file(fileIn);
  rt::AbandonGuard guard;
  os::removeFile(file);
  for (int pass = 1; pass <= kCreatePasses; ++pass) {
    if (!os::exists(file)) break;
    rt::pause(kCreatePause);
    os::setAttributes(file, "-R-S-H");
    rt::pause(kCreatePause);
    os::removeFile(file);
  }
  bool created = false;
  for (int attempt = 1; attempt <= kCreatePasses && !created; ++attempt) {
    created = rt::sequence([&] {
      if (!engine::workspace().create(file, fields))
        failWith(rt::kErrCreate, "cannot create", file);
    });
    if (!created) rt::pause(kCreatePause);
  }
  return created && os::exists(file);
}

bool DODAJ_POLE(const Structure& added, const std::vector<rt::Value>& initialIn,
                std::string_view directory, std::string_view fileIn, const Widenings& widen,
                RebuildPath path, RecordChange* records) {
  const std::string dir(directory), file = rt::lower(fileIn);
  const std::string z = "z" + file, x = "x" + file;
  std::vector<rt::Value> initial = initialIn;
  initial.resize(added.size());
  // Every copy on the way carries the deleted records with their marks: a record the user could
  // still recall is the user's data.
  const rt::DeletedHiddenAs shown(false);

  OTWORZ(dir, file, "robo");
  engine::WorkArea* robo = selectOrRaise("robo");
  if (!robo) return false;
  Structure s = robo->structure();
  bool widened = false;
  for (auto [pos, length] : widen) {
    if (pos < 1 || static_cast<size_t>(pos) > s.size()) continue;
    auto& f = s[static_cast<size_t>(pos) - 1];
    widened = widened || f.length != length;
    f.length = length;
  }

  // Names are compared ignoring case and stored in upper case: the conversions pass "dok_l" or
  // "Koszty" for fields the table may already have, and a table must never hold a name twice.
  std::vector<Added> toAdd;
  Structure grown = s;
  for (size_t i = 0; i < added.size(); ++i) {
    engine::FieldSpec f = added[i];
    f.name = rt::upper(f.name);
    if (hasField(grown, f.name)) continue;
    grown.push_back(f);
    toAdd.push_back({grown.size(), i});
  }
  // A rerun, or a table an earlier release already gave the fields, still gets its widenings.
  if (toAdd.empty() && !widened) {
    ZAMKNIJ("robo");
    // The work copies of a run stopped after the table itself was in place: the table is whole,
    // they are nobody's data.
    removeTable(dir + z);
    removeTable(dir + x);
    return true;
  }
  if (resolve(path) == RebuildPath::WorkCopies)
    return addThroughWorkCopies(dir, file, grown, toAdd, initial);

  // The new table is written once, straight from the old one, which stays whole in place until
  // the complete new one takes its name.
  const std::string table = dir + file, staged = stagingFor(table);
  const rt::Handler callers = rt::currentHandler();
  // The records a loop over the new table would show the change: deleted ones only while the
  // caller shows them.
  const bool callerHidesDeleted = shown.was();
  bool written = false;
  try {
    written = writeStaged(staged, table, grown, [&](engine::WorkArea& out) {
      // The old fields keep their positions; the added ones come after all of them.
      const auto oldFields = out.planFieldCopy(*robo, samePositions(*robo, out));
      const rt::Handler changeHandler =
          renaming(callers, os::oemText(out.table().path()), os::oemText(robo->table().path()));
      // An added field without an initial value ends as a copy leaves a blank field: through
      // its value, so a blank number becomes 0 as it does on the way through the work copies.
      std::vector<rt::Value> values = initial;
      // The added fields, side by side after the old ones, hold the same bytes in every record:
      // put through their values in the first record and copied into the others, unless the
      // first raised anything (a value its field cannot hold goes to the handler each time) or
      // one is a memo (each record has a text of its own).
      std::string addedBytes;
      bool raised = false;
      const bool sameInEach =
          !toAdd.empty() && std::none_of(toAdd.begin(), toAdd.end(), [&](const Added& a) {
            const char type = out.field(a.position).type;
            return type == 'M' || type == 'G' || type == 'P';
          });
      const rt::Handler noting = [&](rt::Error& e) {
        raised = true;
        if (callers) return callers(e);
        throw rt::Abandon(e);
      };
      const uint32_t count = robo->lastRec();
      for (uint32_t r = 1; r <= count; ++r) {
        robo->goTo(r);
        const bool wasDeleted = robo->deleted();
        if (!out.append()) failWith(rt::kErrAppendLock, "cannot append", staged);
        if (r == 1)
          for (const Added& a : toAdd)
            if (values[a.index].isNil()) values[a.index] = out.get(a.position);
        out.putFields(*robo, oldFields);
        if (!addedBytes.empty()) {
          out.putFieldBytes(toAdd.front().position, addedBytes);
        } else {
          underHandler(sameInEach ? noting : callers, [&] { putInitial(out, toAdd, values); });
          if (sameInEach && !raised)
            addedBytes = out.fieldBytes(toAdd.front().position, toAdd.back().position);
        }
        if (wasDeleted) out.remove();
        if (records && !(wasDeleted && callerHidesDeleted))
          underHandler(changeHandler, [&] {
            // Seeks and skips in the tables the change reads see what they would see after the
            // call, not the deleted records this copy shows itself.
            const rt::DeletedHiddenAs callers(callerHidesDeleted);
            records->change(out);
          });
      }
    });
  } catch (const CallersAbandon& a) {
    ZAMKNIJ("robo");
    removeTable(staged);
    throw a.abandon;
  }
  ZAMKNIJ("robo");
  if (!written || !swapIn(staged, table)) return false;
  if (records) records->made = true;
  // Left by a run through the work copies that stopped after the table was in place.
  removeTable(dir + z);
  removeTable(dir + x);
  return true;
}

void ZMIEN_DL_POLA(std::string_view directory, std::string_view fileIn, const Widenings& widen,
                   bool keepDeleted, RebuildPath path) {
  const std::string dir(directory), file(fileIn);
  if (!os::exists(dir + file)) return;
  const std::string a = "a" + file;
  // The new table is written under the staging name and renamed over the table; through the work
  // copies it is "a" + file, renamed the same way.
  const bool workCopies = resolve(path) == RebuildPath::WorkCopies;
  const std::string copy = workCopies ? dir + a : stagingFor(dir + file);
  // A swap that a crash stopped after its commit is finished before its files are taken for
  // leftovers.
  engine::finishInterruptedSwap(os::toHost(dir + file));
  DEL_FILE(dir + a);
  DEL_FILE(memoOf(dir + a));
  HiddenAfterwards restore;
  rt::settings().deletedHidden = !keepDeleted;

  OTWORZ(dir, file, "robo0");
  engine::WorkArea* from = selectOrRaise("robo0");
  if (!from) return;
  Structure s = from->structure();
  bool changed = false;
  for (auto [pos, length] : widen) {
    if (pos < 1 || static_cast<size_t>(pos) > s.size()) continue;
    auto& f = s[static_cast<size_t>(pos) - 1];
    if (f.length != length) {
      f.length = length;
      changed = true;
    }
  }
  if (changed && !workCopies) clearStaging(copy, dir + file);
  if (!changed || !LBCREATE(copy, s)) {
    ZAMKNIJ("robo0");
    return;
  }
  OTWORZ(dir, copy.substr(nameStart(copy)), "robo1");
  engine::WorkArea* to = selectOrRaise("robo1");
  if (!to) {
    ZAMKNIJ("robo0");
    return;
  }
  to->markStaged();
  // Each record as its image by position (WEZ_REKORD, then PUT_REKORD), field for field.
  const auto image = to->planFieldCopy(*from, samePositions(*from, *to));
  for (from->goTop(); !from->eof(); from->skip(1)) {
    bool wasDeleted = keepDeleted && from->deleted();
    to->append();
    to->putFields(*from, image);
    if (wasDeleted) to->remove();
  }
  ZAMKNIJ("robo0");
  ZAMKNIJ("robo1");
  rt::settings().deletedHidden = true;
  // The copy takes the table's place by renaming, memo first: the same outcome as copying it
  // over the table and deleting it, without a half-copied table or a memo of another layout.
  swapIn(copy, dir + file);
}

bool DODAJ_POLA(std::string_view directory, std::string_view fileIn, const Structure& added) {
  const std::string dir(directory), file(fileIn);
  const std::string table = dir + file, backup = dir + "stary.dbf";
  if (!os::exists(table)) return true;
  for (int attempt = 1; attempt <= kBackupTries; ++attempt)
    if (DEL_FILE(backup)) break;
  DEL_FILE(memoOf(backup));
  rt::pause(kSettlePause);

  HiddenAfterwards restore;
  auto& ws = engine::workspace();
  rt::settings().deletedHidden = false;
  OTWORZ(dir, file, "ala");
  engine::WorkArea* ala = selectOrRaise("ala");
  if (!ala) return false;
  Structure s = ala->structure();
  bool saved = EXPORTUJ(backup);
  ZAMKNIJ("ala");
  rt::settings().deletedHidden = true;

  size_t before = s.size();
  for (const auto& f : added) {
    engine::FieldSpec g = f;
    g.name = rt::upper(g.name);
    if (!hasField(s, g.name)) s.push_back(g);
  }
  if (s.size() == before) return true;
  if (!saved) return false;  // without a backup the table is never touched

  rt::settings().deletedHidden = false;
  bool open = false;
  for (int attempt = 1; attempt <= kBackupTries && !open; ++attempt) {
    if (!(open = S_OTWORZ(dir, "stary.dbf", "stary0"))) rt::pause(kBackupPause);
  }
  if (!open) return false;

  // The new table is built beside the old one and takes its name only when complete; the old
  // one stays in place (and its data in stary.dbf) until then.
  const std::string staged = stagingFor(table);
  clearStaging(staged, table);
  rt::pause(kSettlePause);
  bool created = false;
  {
    rt::AbandonGuard guard;
    for (int attempt = 1; attempt <= kBackupTries && !created; ++attempt) {
      created = rt::sequence([&] {
        engine::Workspace scratch;
        if (!scratch.create(staged, s)) failWith(rt::kErrCreate, "cannot create", staged);
      });
      if (!created) rt::pause(kBackupPause);
    }
  }
  if (!created) {
    ZAMKNIJ("stary0");
    return false;
  }
  rt::pause(kBeforeOpenPause);
  const std::string stagedName = staged.substr(nameStart(staged));
  for (int attempt = 1; attempt <= kBackupTries && !(open = OTWORZ(dir, stagedName, "nowy"));
       ++attempt)
    rt::pause(kBackupPause);
  if (!open) {
    ZAMKNIJ("stary0");
    removeTable(staged);
    return false;
  }
  ws.select("nowy");
  bool imported = false;
  {
    rt::AbandonGuard guard;
    imported = rt::sequence([&] { ws.current()->importFrom(os::toHost(backup)); });
  }
  ZAMKNIJ("nowy");
  ZAMKNIJ("stary0");
  if (!imported) {
    removeTable(staged);
    return false;
  }
  return swapIn(staged, table);
}

}  // namespace tav::db

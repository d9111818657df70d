// Swapping a rebuilt table (with its memo and indexes) into place: staged files, one commit
// record, renames. Invariant: a table, its memo and its indexes of one generation are read
// together; a crash anywhere leaves the old set, or a committed new set that the next open
// (finishInterruptedSwap) completes from the commit record.
#include "engine/staging.h"

#include <cerrno>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include "os/file.h"
#include "os/files.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/clock.h"

namespace tav::engine {
namespace {

// A file another workstation holds for a moment is given the time its deletion was always
// given (hundredths).
constexpr int kRenameTries = 10, kRenamePause = 10;
constexpr const char* kDelete = "-";
constexpr const char* kEnd = "end";

StagingHook& hook() {
  static StagingHook h;
  return h;
}
bool goOn(SwapPoint p, const std::filesystem::path& table) { return !hook() || hook()(p, table); }

std::filesystem::path commitRecordOf(const std::filesystem::path& table) {
  std::filesystem::path r = stagedPath(table);
  r.replace_extension(".swp");
  return r;
}

// Forces a file (or a directory's entries) to the disk, so that a rename never reaches the disk
// before the data it names.
void syncPath(const std::filesystem::path& host) {
  os::File f;
  if (f.open(host, os::File::Mode::Read)) f.syncAll();
}

// One entry of a commit record: staged name -> target name in the table's directory, or
// kDelete -> target name.
using Step = std::pair<std::string, std::string>;

bool renameInto(const std::filesystem::path& from, const std::filesystem::path& to) {
  for (int attempt = 1; attempt <= kRenameTries; ++attempt) {
    if (os::replaceHostFile(from, to)) return true;
    if (attempt < kRenameTries) rt::pause(kRenamePause);
  }
  return false;
}

// Whether every file the swap replaces or deletes may go now. Windows refuses to rename over or
// delete a file another program holds open; asked before the commit, such a holder fails the swap
// with the old set whole, instead of leaving a commit whose renames wait for the holder. A holder
// gets the same tries a rename does.
bool replaceable(const std::vector<std::filesystem::path>& targets) {
  for (int attempt = 1; attempt <= kRenameTries; ++attempt) {
    bool all = true;
    for (const auto& t : targets) all = all && static_cast<bool>(os::probeReplace(t));
    if (all) return true;
    if (attempt < kRenameTries) rt::pause(kRenamePause);
  }
  return false;
}

// Carries out steps in order. A staged file already gone was renamed by an earlier attempt.
bool carryOut(const std::filesystem::path& dir, const std::vector<Step>& steps) {
  bool ok = true;
  for (const auto& [from, to] : steps) {
    std::error_code ec;
    if (from == kDelete) {
      if (const os::Status gone = os::removeHostFile(dir / os::hostPath(to));
          !gone && !gone.is(ENOENT))
        ok = false;
    } else if (std::filesystem::exists(dir / os::hostPath(from), ec)) {
      ok = renameInto(dir / os::hostPath(from), dir / os::hostPath(to)) && ok;
    }
  }
  return ok;
}

bool writeRecord(const std::filesystem::path& record, const std::vector<Step>& steps) {
  std::string text;
  for (const auto& [from, to] : steps) text += from + "\t" + to + "\n";
  text += std::string(kEnd) + "\n";
  os::File f;
  if (!f.open(record, os::File::Mode::Create)) return false;
  bool ok = f.writeAt(0, text.data(), text.size()) && f.syncAll();
  f.close();
  if (ok) os::noteCreated(record);
  return ok;
}

// The steps of a complete record; nullopt-like empty result with `complete` false for a record
// a crash cut short (written but not yet forced whole: the swap never began).
std::vector<Step> readRecord(const std::filesystem::path& record, bool& complete) {
  std::vector<Step> steps;
  complete = false;
  std::ifstream in(record);
  std::string line;
  while (std::getline(in, line)) {
    if (line == kEnd) {
      complete = true;
      break;
    }
    size_t tab = line.find('\t');
    // Names only, never a path: a damaged record cannot move files of other directories.
    if (tab == std::string::npos || line.find_first_of("/\\", 0) != std::string::npos) return {};
    steps.emplace_back(line.substr(0, tab), line.substr(tab + 1));
  }
  return steps;
}

// A record whose removal a crash undoes names staged files that are gone: finishing it again
// changes nothing, so its removal is not forced to the disk.
void removeRecord(const std::filesystem::path& record) { os::removeHostFile(record); }

}  // namespace

std::filesystem::path stagedPath(const std::filesystem::path& file) {
  // Names cross into the path through the one door: a narrow string would be widened byte by
  // byte on Windows.
  return file.parent_path() / os::hostPath("~" + os::utf8(file.filename()));
}

StagingHook setStagingHook(StagingHook h) {
  StagingHook previous = std::move(hook());
  hook() = std::move(h);
  return previous;
}

bool swapStaged(const std::filesystem::path& table, const std::filesystem::path& staged,
                const std::vector<Companion>& companions) {
  const std::filesystem::path dir = table.parent_path();
  std::error_code ec;
  if (staged.parent_path() != dir || !std::filesystem::exists(staged, ec)) return false;
  std::vector<Step> first, removals;
  for (const auto& c : companions) {
    if (c.staged.parent_path() != dir || c.target.parent_path() != dir) return false;
    if (std::filesystem::exists(c.staged, ec)) {
      first.emplace_back(os::utf8(c.staged.filename()), os::utf8(c.target.filename()));
      syncPath(c.staged);
    } else if (std::filesystem::exists(c.target, ec)) {
      // Deleted only after the table is replaced: until then the old table reads it.
      removals.emplace_back(kDelete, os::utf8(c.target.filename()));
    }
  }
  syncPath(staged);
  const Step last{os::utf8(staged.filename()), os::utf8(table.filename())};
  std::vector<std::filesystem::path> targets{table};
  for (const auto& c : companions) targets.push_back(c.target);
  if (!replaceable(targets)) return false;
  if (!goOn(SwapPoint::BeforeMemo, table)) return false;

  const std::filesystem::path record = commitRecordOf(table);
  if (first.empty() && removals.empty() && !std::filesystem::exists(record, ec)) {
    // A table alone: its one rename is the commit, and no record is needed to finish it.
    if (!renameInto(staged, table)) return false;
    syncPath(dir);
    return goOn(SwapPoint::AfterTable, table);
  }

  std::vector<Step> all = first;
  all.push_back(last);
  all.insert(all.end(), removals.begin(), removals.end());
  if (!writeRecord(record, all)) {
    removeRecord(record);
    return false;
  }
  syncPath(dir);  // the commit: from here on the new set is the table

  if (!carryOut(dir, first)) return false;
  if (!goOn(SwapPoint::BetweenMemoAndTable, table)) return false;
  if (!carryOut(dir, std::vector<Step>{last})) return false;
  if (!carryOut(dir, removals)) return false;
  syncPath(dir);
  if (!goOn(SwapPoint::AfterTable, table)) return false;
  removeRecord(record);
  return true;
}

void finishInterruptedSwap(const std::filesystem::path& table) {
  const std::filesystem::path record = commitRecordOf(table);
  std::error_code ec;
  if (!std::filesystem::exists(record, ec)) return;
  // A process holding the table is in the middle of its own swap: it finishes it.
  os::File held;
  if (held.open(table, os::File::Mode::Read) && !held.lockOpenMode(true)) return;
  bool complete = false;
  std::vector<Step> steps = readRecord(record, complete);
  if (complete && !carryOut(table.parent_path(), steps))
    return;  // the record stays for the next open
  syncPath(table.parent_path());
  removeRecord(record);
}

void removeStaged(const std::filesystem::path& table, const std::filesystem::path& staged,
                  const std::vector<Companion>& companions) {
  finishInterruptedSwap(table);
  for (const auto& c : companions) os::removeHostFile(c.staged);
  os::removeHostFile(staged);
}

}  // namespace tav::engine

// The per-firm conversion. Every step the firm needs must be callable before its report and
// backups go, and each step is given the release read at the start, never one re-read in between.

#include "convert/firm_runner.h"

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "convert/firm_step_frame.h"
#include "convert/speed_class.h"
#include "db/files.h"
#include "db/index_catalogue.h"
#include "db/indexing.h"
#include "db/table_access.h"
#include "engine/table_check.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"

namespace tav::convert {
namespace {

using namespace rt::literals;

// In a database at or above this release every firm already has the database's structures,
// whatever an older firm record says: such a firm starts from the database's release.
constexpr const char* kReliableReleaseRecord = "023.01.001";
// Firms below this have indexes the present catalogue does not describe.
constexpr const char* kFullReindexBelow = "014.01.015";

constexpr const char* kRequiredTables[] = {"wersja.dbf", "firma.dbf", "ks_dok.dbf"};
// Files of an old firm that a full reindex removes first: every index, and the work copies of
// the old program that would otherwise be taken for tables.
constexpr const char* kFullReindexMasks[] = {"*.cdx", "*.ntx", "rob*.*", "a*.*"};
// The accounting program's own backups are kept while this marker is present.
constexpr const char* kKeepBackupsMarker = "bak\\w51.txt";

void clearBackups(const std::string& firm) {
  if (os::exists(firm + kKeepBackupsMarker)) return;
  db::DEL_KAT(firm + "bak\\k\\", "*.*");
  db::DEL_KAT(firm + "bak\\", "*.*");
}

[[noreturn]] void stepUnfinished(int release) {
  rt::Error e;
  e.genCode = rt::kErrWrite;
  e.subSystem = "TAV";
  e.description =
      "Konwersja "_oem + stepName(StepKind::Firm, release) + " nie została zakończona"_oem;
  e.operation = stepName(StepKind::Firm, release);
  rt::fail(std::move(e));
}

}  // namespace

FirmStepChoice chooseFirmSteps(std::string_view recordedRelease, std::string_view databaseRelease) {
  FirmStepChoice c;
  c.start = rt::rTrim(recordedRelease);
  if (!releaseBelow(databaseRelease, kReliableReleaseRecord) &&
      releaseBelow(c.start, kReliableReleaseRecord)) {
    c.start = std::string(databaseRelease);
    c.settles = true;
  }
  c.current = !releaseBelow(c.start, rt::shared().wersja_b);
  if (c.current) return c;
  c.steps = firmStepsAbove(c.start);
  c.fullReindex = releaseBelow(c.start, kFullReindexBelow);
  return c;
}

const char* missingFirmTable(std::string_view firmDirectory) {
  const std::string firm(firmDirectory);
  for (const char* table : kRequiredTables)
    if (!os::exists(firm + table)) return table;
  return nullptr;
}

namespace {

// The work copies a structure change of the steps makes beside a table ("z" and "x" + the name for
// an addition of fields, "a" + the name for a widening) and removes when it ends. A run stopped
// in between leaves them; the table itself is whole, and a step whose condition no longer holds
// would never come to remove them.
const std::vector<std::string>& workCopyNames() {
  static const std::vector<std::string> copies = [] {
    std::vector<std::string> names;
    for (const ReleaseSteps& row : releaseCatalogue()) {
      if (!row.firmPlan) continue;
      for (const FirmWork& w : row.firmPlan->work) {
        if (auto a = std::get_if<AddFields>(&w)) {
          names.push_back(std::string("z") + a->table.name);
          names.push_back(std::string("x") + a->table.name);
        } else if (auto b = std::get_if<WidenFields>(&w)) {
          names.push_back(std::string("a") + b->table.name);
        }
      }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
  }();
  return copies;
}

void removeWorkCopies(const std::string& firm) {
  for (const std::string& name : workCopyNames())
    for (const char* ext : {".dbf", ".fpt"})
      if (os::exists(firm + name + ext)) db::DEL_FILE(firm + name + ext);
}

bool isWorkCopy(const std::string& file) {
  const std::string stem = rt::lower(file.substr(0, file.size() - 4));
  const auto& names = workCopyNames();
  return std::binary_search(names.begin(), names.end(), stem);
}

void tablesBelow(const std::string& root, const std::string& relative,
                 std::vector<std::string>& out) {
  const std::string dir = root + relative;
  // One listing gives the tables and the subdirectories: the guard runs before every firm.
  std::vector<std::string> subdirectories;
  for (const os::DirEntry& e : os::listDirectory(dir + "*.*", "D")) {
    if (!e.isDirectory()) {
      if (os::maskMatches("*.dbf", e.name) && e.name[0] != '~' &&
          (!relative.empty() || !isWorkCopy(e.name)))
        out.push_back(relative + e.name);
      continue;
    }
    // A link is not followed: it may lead out of the firm, or back up into it for ever.
    if (e.attributes & os::kAttrReparsePoint) continue;
    // The program's own backups are no books, and the conversion empties them.
    if (relative.empty() && rt::lower(e.name) == "bak") continue;
    subdirectories.push_back(relative + e.name + "\\");
  }
  for (const std::string& sub : subdirectories) tablesBelow(root, sub, out);
}

[[noreturn]] void damagedTable(const std::string& firm, const FirmDamage& d) {
  rt::Error e;
  e.genCode = rt::kErrCorruption;
  e.subSystem = "TAV";
  e.description = "damaged table " + d.table + ": " + d.what;
  e.filename = firm + d.table;
  e.operation = "MAKE_WINFIR";
  rt::fail(std::move(e));
}

}  // namespace

std::vector<std::string> firmTables(std::string_view firmDirectory) {
  std::vector<std::string> tables;
  tablesBelow(std::string(firmDirectory), {}, tables);
  return tables;
}

std::optional<FirmDamage> firmDamage(std::string_view firmDirectory) {
  const std::string firm(firmDirectory);
  engine::CheckOptions guard;
  guard.depth = engine::CheckDepth::Guard;
  for (const std::string& table : firmTables(firm)) {
    const engine::TableCheck c = engine::checkTable(os::toHost(firm + table), guard);
    const engine::Finding* loss = c.firstLoss();
    if (!loss) continue;
    const bool bySize =
        loss->kind == engine::Damage::RecordsMissing && !engine::sizeText(c).empty();
    return FirmDamage{table, bySize ? engine::sizeText(c) : loss->text};
  }
  return std::nullopt;
}

void MAKE_WINFIR(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view databaseRelease,
                 const StepRegistry& steps) {
  const std::string firm(firmDirectory);
  if (missingFirmTable(firm)) return;
  if (const std::optional<FirmDamage> damage = firmDamage(firm)) damagedTable(firm, *damage);
  removeWorkCopies(firm);

  engine::WorkArea& wer = openFirmReleaseRecord(firm);
  const rt::Value baza = wer.get(std::string_view("baza"));
  const FirmStepChoice choice =
      chooseFirmSteps(baza.isText() ? baza.str() : std::string(), databaseRelease);
  if (choice.settles) wer.put(std::string_view("baza"), rt::Value(choice.start));
  db::ZAMKNIJ(kFirmReleaseAlias);
  const std::string& release = choice.start;
  if (choice.current) return;

  // Every step this firm needs must be callable before the firm's report and backups go.
  const std::vector<int>& chosen = choice.steps;
  steps.requireAll(StepKind::Firm, chosen);

  db::DEL_FILE(firm + "ins_raport.txt");
  db::MKDIR(firm + "bak");
  db::MKDIR(firm + "bak\\k");
  clearBackups(firm);

  // Each step gets the release read above, never one re-read after an earlier step.
  for (int step : chosen)
    if (!steps.runFirmStep(step, firm, programDirectory, databaseDirectory, release))
      stepUnfinished(step);

  clearBackups(firm);

  if (choice.fullReindex) {
    for (const char* mask : kFullReindexMasks) db::DEL_KAT(firm, mask);
    db::INDEKSUJ(firm);
    // The catalogue leaves out the tables only the steps index (uwagi, sme_ewi, sme_zw); the
    // deletion above took the indexes those steps had just built, so they are built again.
    for (const db::CatalogueRow& row : db::stepOnlyIndexes())
      if (os::exists(firm + row.table + ".dbf")) db::INDEXON(firm + row.table, row.tags);
    raiseSpeedClass(kFullReindexSpeedClass);
  }
}

}  // namespace tav::convert

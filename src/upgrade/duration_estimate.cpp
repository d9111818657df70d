// Reading and recording upgrade durations per workstation. A workstation's name is compared as the
// field can hold it, cut to its width, so each upgrade finds its record instead of adding another.

#include "upgrade/duration_estimate.h"

#include <cmath>

#include "convert/release_catalogue.h"
#include "convert/speed_class.h"
#include "db/arithmetic.h"
#include "db/table_access.h"
#include "db/workstation_name.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::upgrade {
namespace {

using namespace rt::literals;

// A duration or a part of one counts only above this.
constexpr double kTolerance = 1e-06;
// Field number of class 1's seconds in nazwy.dbf is 4: nazwa, data and czas come first.
constexpr int kFieldBeforeClasses = 3;

constexpr const char* kStationsAlias = "nn";
constexpr const char* kClassesAlias = "sp";
constexpr const char* kShippedClasses = ".\\str\\speed.dbf";

std::string stationsDir(std::string_view databaseDirectory) {
  return std::string(databaseDirectory) + "str\\";
}

std::string wholeNumber(double n) { return rt::lTrim(rt::Str(n, 10, 0)); }

// Puts the current area of nazwy.dbf on the workstation's record, appending one when it has
// none. The name is compared as the field can hold it: a name wider than `nazwa` is stored cut,
// and compared whole it would never be found again, so every upgrade would add a record.
// False when the table has no `nazwa` or no record could be added.
bool findOrAddStation(const std::string& name, bool add = true) {
  bool placed = false;
  rt::guarded([&] {
    engine::WorkArea* area = engine::workspace().find(kStationsAlias);
    const int pos = area ? area->fieldPos("nazwa") : 0;
    if (!pos) return;
    const std::string wanted = rt::rTrim(std::string_view(name).substr(0, area->field(pos).length));
    for (area->goTop(); !area->eof(); area->skip()) {
      const rt::Value v = area->get(pos);
      if (v.isText() && rt::allTrim(v.str()) == wanted) {
        placed = true;
        return;
      }
    }
    if (!add) return;
    engine::workspace().select(kStationsAlias);
    if (!db::REK_ADD()) return;
    area->put(pos, rt::Value(name));
    // Kept apart from the duration written next, which may be refused on its own.
    area->commit();
    placed = true;
  });
  return placed;
}

// The (wersja, speed) pairs of the shipped speed.dbf in table order; false when it cannot be read.
bool readShippedClasses(std::vector<std::pair<std::string, double>>& classes) {
  if (!db::S_OTWORZ(".\\str\\", "speed", kClassesAlias)) return false;
  const bool read = rt::guarded([&] {
    engine::WorkArea* area = engine::workspace().find(kClassesAlias);
    for (area->goTop(); !area->eof(); area->skip()) {
      const rt::Value release = area->get("wersja");
      const rt::Value speed = area->get("speed");
      classes.emplace_back(release.isText() ? release.str() : std::string(),
                           speed.isNumber() ? speed.num() : 0);
    }
  });
  rt::guarded([] { db::ZAMKNIJ(kClassesAlias); });
  return read;
}

// The seconds measured for `durationClass` on the current record of nazwy.dbf; 0 when the
// table has no such field or it holds no number (a class newer than the table's layout).
double storedSeconds(int durationClass) {
  double seconds = 0;
  rt::guarded([&] {
    engine::WorkArea* area = engine::workspace().find(kStationsAlias);
    const size_t pos = static_cast<size_t>(kFieldBeforeClasses + durationClass);
    if (!area || pos > area->fieldCount()) return;
    const rt::Value v = area->get(pos);
    if (v.isNumber()) seconds = v.num();
  });
  return seconds;
}

void closeStations() {
  rt::guarded([] { db::ZAMKNIJ(kStationsAlias); });
}

}  // namespace

int durationClass(const std::vector<std::pair<std::string, double>>& classes,
                  std::string_view release) {
  int found = 1;
  for (const auto& [newer, speed] : classes) {
    // A class is a field number; a fraction from a damaged table counts by its whole part.
    const int whole = static_cast<int>(db::C_INT(speed));
    if (convert::releaseBelow(release, newer) && found < whole) found = whole;
  }
  return found;
}

std::string durationText(double seconds) {
  // Whole seconds first: a rest of 59.7 would print as "60 sek." beside the minutes it belongs to.
  seconds = std::round(seconds);
  const double days = db::C_INT(seconds / 86400.0);
  seconds -= days * 24 * 3600;
  const double hours = db::C_INT(seconds / 3600);
  seconds -= hours * 3600;
  const double minutes = db::C_INT(seconds / 60);
  const double rest = seconds - minutes * 60;
  std::string text;
  if (days > kTolerance) text += rt::lTrim(rt::Str(days, 5, 0)) + " dni ";
  if (hours > kTolerance) text += wholeNumber(hours) + " godz. ";
  if (minutes > kTolerance) text += wholeNumber(minutes) + " min. ";
  if (rest > kTolerance) text += wholeNumber(rest) + " sek. ";
  return text;
}

namespace {

// The estimate for `release` from the database's measurements; `add` lets the workstation's record
// be added on the way (the confirmation does, the plan does not).
std::optional<DurationEstimate> estimate(std::string_view databaseDirectory,
                                         std::string_view release, bool add) {
  if (!os::exists(kShippedClasses)) return std::nullopt;
  const std::string name = db::NERKA();
  if (!db::S_OTWORZ(stationsDir(databaseDirectory), "nazwy", kStationsAlias)) return std::nullopt;
  if (!findOrAddStation(name, add)) {
    closeStations();
    return std::nullopt;
  }
  std::vector<std::pair<std::string, double>> classes;
  // Without the classes the estimate would be of the wrong kind of upgrade: better none.
  if (!readShippedClasses(classes)) {
    closeStations();
    return std::nullopt;
  }
  DurationEstimate e;
  e.durationClass = durationClass(classes, release);
  e.seconds = storedSeconds(e.durationClass);
  closeStations();
  if (e.seconds < kTolerance) return std::nullopt;
  return e;
}

}  // namespace

std::optional<DurationEstimate> durationEstimate(std::string_view databaseDirectory,
                                                 std::string_view release) {
  return estimate(databaseDirectory, release, false);
}

bool POKAZ_CZAS(std::string_view databaseDirectory, std::string_view release,
                frontend::Questions& person) {
  const std::optional<DurationEstimate> e = estimate(databaseDirectory, release, false);
  frontend::Question q{
      frontend::Question::Kind::ConfirmUpgrade, {}, std::string(databaseDirectory), {}, false};
  if (e)
    q.box = {"4",
             "Czas instalacji (wskaźnik="_oem + wholeNumber(e->durationClass) + ")",
             "Instalacja potrwa w przybliżeniu;"_oem + durationText(e->seconds),
             {"Potwierdź"_oem, "Zrezygnuj"_oem}};
  if (!person.ask(q).yes) return false;
  // Only a confirmed upgrade leaves the workstation's record, ready for the time it will take.
  estimate(databaseDirectory, release, true);
  return true;
}

void ZAPISZ_PREDKOSC(double seconds, std::string_view databaseDirectory) {
  // The entry measures with seconds since midnight; a run over midnight comes out negative and
  // would be stored as "nothing measured".
  if (seconds < 0) seconds += 24 * 3600;
  const std::string name = db::NERKA();
  if (!db::S_OTWORZ(stationsDir(databaseDirectory), "nazwy", kStationsAlias)) return;
  if (findOrAddStation(name)) {
    engine::workspace().select(kStationsAlias);
    if (db::REK_LOCK()) {
      engine::WorkArea* area = engine::workspace().current();
      const size_t pos = static_cast<size_t>(kFieldBeforeClasses + convert::speedClass());
      rt::guarded([&] {
        if (pos > area->fieldCount()) return;
        area->put(pos, rt::Value(seconds));
        area->commit();
      });
      // A duration the field refused must not reach the file with the unlock's flush.
      rt::guarded([&] { area->rollback(); });
      rt::guarded([&] { area->unlock(); });
    }
  }
  closeStations();
}

}  // namespace tav::upgrade

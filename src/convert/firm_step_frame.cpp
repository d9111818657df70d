#include "convert/firm_step_frame.h"

#include "convert/release_catalogue.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::convert {
namespace {

using namespace rt::literals;

constexpr double kSeries = 25.01;  // year and series of every release of this catalogue

}  // namespace

engine::WorkArea& openFirmReleaseRecord(std::string_view firmDirectory) {
  // OTWORZ takes an alias already in use as the table asked for: a "wer" left open on another
  // release record (the database's, another firm's) would be read and written in this one's place.
  db::ZAMKNIJ(kFirmReleaseAlias);
  if (!db::OTWORZ(firmDirectory, "wersja", kFirmReleaseAlias)) {
    rt::Error e;
    e.genCode = rt::kErrOpen;
    e.subSystem = "DBFCDX";
    e.description = "Nie można otworzyć pliku wersji firmy"_oem;
    e.filename = std::string(firmDirectory) + "wersja.dbf";
    e.operation = "OTWORZ";
    rt::fail(std::move(e));
  }
  return *engine::workspace().current();
}

void recordFirmRelease(std::string_view firmDirectory, int release) {
  engine::WorkArea& wer = openFirmReleaseRecord(firmDirectory);
  const std::string text = databaseRelease(release);
  wer.put(std::string_view("baza"), rt::Value(text));
  wer.put(std::string_view("nr"), rt::Value(kSeries));
  wer.put(std::string_view("wariant"), rt::Value(rt::StrZero(release, 3, 0)));
  db::ZAMKNIJ(kFirmReleaseAlias);
}

bool I_25_01_013(std::string_view firmDirectory, std::string_view, std::string_view,
                 std::string_view firmRelease) {
  if (!firmStepDue(firmRelease, 13)) return true;
  recordFirmRelease(firmDirectory, 13);
  return true;
}

}  // namespace tav::convert

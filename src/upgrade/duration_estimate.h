#pragma once

// How long an upgrade takes is learnt, not computed: the release's str\speed.dbf gives each
// release a duration class, and the database's str\nazwy.dbf keeps per workstation (by NERKA
// name) the seconds of its last upgrade of each class, class k in field 3 + k. Nothing here is
// ever reported to the user as an error: an estimate that cannot be made is skipped and a
// measurement that cannot be stored is lost.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frontend/questions.h"

namespace tav::upgrade {

// Asks whether to go on with the upgrade of the database, showing how long the last comparable
// upgrade took on this workstation (the question's box is empty when nothing was measured yet).
// `release` is the `tav` field of the database's wersja.dbf. True to go on; then the workstation's
// record is added to nazwy.dbf when it has none. A declined upgrade writes nothing.
bool POKAZ_CZAS(std::string_view databaseDirectory, std::string_view release,
                frontend::Questions& person);

// The estimate the confirmation would show, read without writing anything: the duration class of
// an upgrade from `release` and the seconds this workstation measured for it; nullopt when there
// is nothing to show.
struct DurationEstimate {
  int durationClass = 1;
  double seconds = 0;
};
std::optional<DurationEstimate> durationEstimate(std::string_view databaseDirectory,
                                                 std::string_view release);

// Records `seconds` as this workstation's duration of the module-wide duration class
// (convert::speedClass()). A negative value is a run that passed midnight and is taken a day
// later.
void ZAPISZ_PREDKOSC(double seconds, std::string_view databaseDirectory);

// The class of an upgrade from `release`: the largest class of the releases above it, at least
// 1. `classes` are (wersja, speed) pairs in table order.
int durationClass(const std::vector<std::pair<std::string, double>>& classes,
                  std::string_view release);

// A stored duration as the confirmation shows it: "1 dni 2 godz. 3 min. 4 sek. ", parts that
// are zero left out.
std::string durationText(double seconds);

}  // namespace tav::upgrade

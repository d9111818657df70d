#pragma once
#include <string>
#include <string_view>

#include "engine/workarea.h"

namespace tav::convert {

// What every firm step shares besides its own work. A step starts with firmStepDue (the catalogue's
// guard) and ends by recording its release, so that a firm whose run broke off is taken up again
// at the first step it has not recorded.

// The firm's release record, wersja.dbf (alias "wer"), in its only record: `baza` := the step's
// database release ("025.01.030"), `nr` := 25.01, `wariant` := its three digits ("030").
// A record that cannot be opened is raised as an error: a step must never look finished when
// its release was not written.
void recordFirmRelease(std::string_view firmDirectory, int release);

// Opens the firm's wersja.dbf exclusively under "wer" on its record and leaves it open for the
// caller, who closes it. Raises when the table cannot be opened.
engine::WorkArea& openFirmReleaseRecord(std::string_view firmDirectory);
inline constexpr const char* kFirmReleaseAlias = "wer";

// The firm step of release 013: the release brought nothing to the firm's tables.
bool I_25_01_013(std::string_view firmDirectory, std::string_view programDirectory,
                 std::string_view databaseDirectory, std::string_view firmRelease);

}  // namespace tav::convert

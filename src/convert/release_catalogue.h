// The catalogue of the series' releases and the rule that picks the steps an upgrade runs.
// Invariant: one row per release 001..046 in ascending order; a step the catalogue marks but
// cannot call is an error to the runners, never a step done.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "db/version_record.h"
#include "frontend/progress.h"
#include "runtime/value.h"

namespace tav::convert {

// Releases of this year's series are named by their last three digits: 30 is "025.01.030" for
// the database and its firms, "25.01.030" for the program. Release texts are compared character
// by character, so "023.01.001" < "025.01.001" < "025.01.046"; the two forms never meet.
std::string databaseRelease(int release);  // "025.01.030"
std::string programRelease(int release);   // "25.01.030"
// `a` < `b` as the release texts compare (trailing blanks of a field do not count).
using db::releaseBelow;

// Numbers the steps compare with zero count as positive above this, and an array search as
// failed below it. One value for every step.
inline constexpr double kTolerance = 1e-06;

// A firm step's plan (firm_step_frame.h).
struct FirmPlan;

// The signatures of the step kinds. Directories end with a backslash.
using TemplateStepFn = void (*)(std::string_view databaseDirectory,
                                std::string_view programDirectory);
using PublicStepFn = void (*)(std::string_view databaseDirectory);
// The public index rebuild; `mode` is nil or the number 1.
using PublicIndexFn = void (*)(std::string_view databaseDirectory, const rt::Value& mode,
                               frontend::Progress& progress);
using ProgramStepFn = void (*)(std::string_view programDirectory,
                               std::string_view databaseDirectory);

enum class TemplateStep : unsigned char { NoTemplateStep, EmptyTemplateStep, CopiesTemplates };
enum class FirmStep : unsigned char { NoFirmStep, ReleaseRecordOnly, ConvertsFirm };

// What one release brings, and the functions (for a firm step, the plan) that do it. A function
// is nullptr until its step is written; the runners treat a step the catalogue marks but cannot
// call as an error, never as done.
struct ReleaseSteps {
  int release = 0;
  TemplateStep templateStep = TemplateStep::NoTemplateStep;
  FirmStep firmStep = FirmStep::NoFirmStep;
  bool publicStep = false;
  bool programStep = false;
  TemplateStepFn templateFn = nullptr;
  const FirmPlan* firmPlan = nullptr;
  PublicStepFn publicFn = nullptr;
  ProgramStepFn programFn = nullptr;

  bool hasTemplateStep() const { return templateStep != TemplateStep::NoTemplateStep; }
  bool hasFirmStep() const { return firmStep != FirmStep::NoFirmStep; }
};

// Every release of the series, 001 to 046 in ascending order, one row each (releases that brought
// no step have a row of nothing).
const std::vector<ReleaseSteps>& releaseCatalogue();
// The row of one release; nullptr outside 001..046.
const ReleaseSteps* releaseSteps(int release);
// The public index rebuild's function (nullptr until written).
PublicIndexFn publicIndexRebuildFn();

// Which steps an upgrade runs, as release numbers in the order they run.
// Template steps above the database release (the database's wersja.dbf before the upgrade).
std::vector<int> templateStepsAbove(std::string_view databaseRelease);
// Firm steps above the firm's release.
std::vector<int> firmStepsAbove(std::string_view firmRelease);
// Public steps above the database release (PUB_25_01_002 below "025.01.002", PUB_25_01_013 below
// "025.01.013"); the index rebuild NTX_PUB follows them in every upgrade.
std::vector<int> publicStepsAbove(std::string_view databaseRelease);
// NTX_PUB's optional argument: nil below "025.01.045", the number 1 from there on.
rt::Value publicIndexMode(std::string_view databaseRelease);
// Program steps above the program release, compared in the program's two-digit form.
std::vector<int> programStepsAbove(std::string_view programRelease);

// The guard every firm step starts with: its work is due only while the firm's release (as the
// runner read it) is below the step's own release.
bool firmStepDue(std::string_view firmRelease, int stepRelease);

}  // namespace tav::convert

// The catalogue's table and the selection of steps by release text. Rows point at the steps'
// functions and, for firm steps, their plans; the table is data, not a cascade of branches.
#include "convert/release_catalogue.h"

#include "convert/firm_step_frame.h"
#include "convert/firm_steps_early.h"
#include "convert/firm_steps_late.h"
#include "convert/program_steps.h"
#include "convert/public_steps.h"
#include "convert/template_steps.h"
#include "runtime/format.h"

namespace tav::convert {
namespace {

constexpr int kLastRelease = 46;
// NTX_PUB is called with the extra 1 once the database has the public indexes of this release.
constexpr int kPublicIndexModeRelease = 45;

constexpr auto T_ = TemplateStep::NoTemplateStep;
constexpr auto TE = TemplateStep::EmptyTemplateStep;
constexpr auto TC = TemplateStep::CopiesTemplates;
constexpr auto F_ = FirmStep::NoFirmStep;
constexpr auto FV = FirmStep::ReleaseRecordOnly;
constexpr auto FC = FirmStep::ConvertsFirm;
constexpr bool P = true, L = true, no = false;

// T: template step (TC copies templates, TE exists and does nothing); F: firm step (FC converts
// the firm's tables, FV only records the release); then whether the release has a public and a
// program step. A step's author puts its function into its release's row; until then the row
// says the step exists and the runners refuse to pretend it ran.
const std::vector<ReleaseSteps> kCatalogue = {
    // rel  T   F   pub  prog template fn    firm plan      public   program
    {1, TC, FC, no, L, STR_25_01_001, &I_25_01_001, nullptr, L25_01_001},
    {2, TC, F_, P, no, STR_25_01_002, nullptr, PUB_25_01_002, nullptr},
    {3, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {4, T_, FC, no, L, nullptr, &I_25_01_004, nullptr, L25_01_004},
    {5, TE, FC, no, no, STR_25_01_005, &I_25_01_005, nullptr, nullptr},
    {6, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {7, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {8, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {9, T_, FC, no, no, nullptr, &I_25_01_009, nullptr, nullptr},
    {10, TE, FC, no, L, STR_25_01_010, &I_25_01_010, nullptr, L25_01_010},
    {11, TC, FC, no, no, STR_25_01_011, &I_25_01_011, nullptr, nullptr},
    {12, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {13, TC, FV, P, L, STR_25_01_013, &I_25_01_013, PUB_25_01_013, L25_01_013},
    {14, T_, F_, no, L, nullptr, nullptr, nullptr, L25_01_014},
    {15, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {16, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {17, TC, FC, no, no, STR_25_01_017, &I_25_01_017, nullptr, nullptr},
    {18, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {19, TC, FC, no, L, STR_25_01_019, &I_25_01_019, nullptr, L25_01_019},
    {20, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {21, TE, FC, no, L, STR_25_01_021, &I_25_01_021, nullptr, L25_01_021},
    {22, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {23, TC, FC, no, no, STR_25_01_023, &I_25_01_023, nullptr, nullptr},
    {24, TC, FC, no, L, STR_25_01_024, &I_25_01_024, nullptr, L25_01_024},
    {25, T_, FC, no, no, nullptr, &I_25_01_025, nullptr, nullptr},
    {26, T_, F_, no, L, nullptr, nullptr, nullptr, L25_01_026},
    {27, TC, FC, no, L, STR_25_01_027, &I_25_01_027, nullptr, L25_01_027},
    {28, T_, F_, no, L, nullptr, nullptr, nullptr, L25_01_028},
    {29, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {30, TC, FC, no, L, STR_25_01_030, &I_25_01_030, nullptr, L25_01_030},
    {31, TC, FC, no, no, STR_25_01_031, &I_25_01_031, nullptr, nullptr},
    {32, TC, FC, no, no, STR_25_01_032, &I_25_01_032, nullptr, nullptr},
    {33, T_, F_, no, L, nullptr, nullptr, nullptr, L25_01_033},
    {34, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {35, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {36, TC, FC, no, no, STR_25_01_036, &I_25_01_036, nullptr, nullptr},
    {37, TE, F_, no, no, STR_25_01_037, nullptr, nullptr, nullptr},
    {38, TC, FC, no, no, STR_25_01_038, &I_25_01_038, nullptr, nullptr},
    {39, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {40, TC, FC, no, no, STR_25_01_040, &I_25_01_040, nullptr, nullptr},
    {41, T_, F_, no, no, nullptr, nullptr, nullptr, nullptr},
    {42, TC, FC, no, L, STR_25_01_042, &I_25_01_042, nullptr, L25_01_042},
    {43, TC, FC, no, L, STR_25_01_043, &I_25_01_043, nullptr, L25_01_043},
    {44, TC, FC, no, no, STR_25_01_044, &I_25_01_044, nullptr, nullptr},
    {45, TC, FC, no, L, STR_25_01_045, &I_25_01_045, nullptr, L25_01_045},
    {46, TC, FC, no, L, STR_25_01_046, &I_25_01_046, nullptr, L25_01_046},
};

constexpr PublicIndexFn kPublicIndexRebuild = NTX_PUB;

std::string release(const char* prefix, int n) { return prefix + rt::StrZero(n, 3, 0); }

// The releases of the rows that have a step and lie above `from`, compared in the given form.
template <typename HasStep>
std::vector<int> above(std::string_view from, const char* prefix, HasStep hasStep) {
  std::vector<int> out;
  for (const ReleaseSteps& row : kCatalogue)
    if (hasStep(row) && releaseBelow(from, release(prefix, row.release)))
      out.push_back(row.release);
  return out;
}

}  // namespace

std::string databaseRelease(int n) { return release("025.01.", n); }
std::string programRelease(int n) { return release("25.01.", n); }

const std::vector<ReleaseSteps>& releaseCatalogue() { return kCatalogue; }

const ReleaseSteps* releaseSteps(int n) {
  if (n < 1 || n > kLastRelease) return nullptr;
  return &kCatalogue[static_cast<size_t>(n - 1)];
}

PublicIndexFn publicIndexRebuildFn() { return kPublicIndexRebuild; }

std::vector<int> templateStepsAbove(std::string_view from) {
  return above(from, "025.01.", [](const ReleaseSteps& r) { return r.hasTemplateStep(); });
}

std::vector<int> firmStepsAbove(std::string_view from) {
  return above(from, "025.01.", [](const ReleaseSteps& r) { return r.hasFirmStep(); });
}

std::vector<int> publicStepsAbove(std::string_view from) {
  return above(from, "025.01.", [](const ReleaseSteps& r) { return r.publicStep; });
}

rt::Value publicIndexMode(std::string_view from) {
  if (releaseBelow(from, databaseRelease(kPublicIndexModeRelease))) return rt::Value();
  return rt::Value(1);
}

// The refresh of the program files also compared the program release with "14.01.026" and
// did nothing with the answer; no rule here depends on it.
std::vector<int> programStepsAbove(std::string_view from) {
  return above(from, "25.01.", [](const ReleaseSteps& r) { return r.programStep; });
}

bool firmStepDue(std::string_view firmRelease, int stepRelease) {
  return releaseBelow(firmRelease, databaseRelease(stepRelease));
}

}  // namespace tav::convert

// Which steps an upgrade picks, in which order, and what happens when one cannot be called.
#include "convert/release_catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/step_registry.h"
#include "convert/template_steps.h"
#include "runtime/error.h"

namespace {

using namespace tav::convert;
using tav::rt::Value;
using Releases = std::vector<int>;

// The upgrade run names its template releases in a list of its own; the catalogue and the file
// table must both agree with it.
TEST(ReleaseCatalogue, TemplateStepsAgreeWithTheUpgradeListAndTheFileTable) {
  const Releases upgradeList = {1,  2,  5,  10, 11, 13, 17, 19, 21, 23, 24, 27,
                                30, 31, 32, 36, 37, 38, 40, 42, 43, 44, 45, 46};
  EXPECT_EQ(templateStepsAbove("024.01.099"), upgradeList);
  Releases inFileTable;
  for (const TemplateFiles& step : templateFiles()) {
    inFileTable.push_back(step.release);
    const bool empty = step.copies.empty() && step.xmlDeletions.empty();
    EXPECT_EQ(releaseSteps(step.release)->templateStep == TemplateStep::EmptyTemplateStep, empty)
        << step.release;
    EXPECT_TRUE(shippedSteps().has(StepKind::Template, step.release)) << step.release;
  }
  EXPECT_EQ(inFileTable, upgradeList);
}

TEST(ReleaseCatalogue, EachKindIsChosenAboveItsOwnRelease) {
  EXPECT_EQ(templateStepsAbove("025.01.020"),
            (Releases{21, 23, 24, 27, 30, 31, 32, 36, 37, 38, 40, 42, 43, 44, 45, 46}));
  EXPECT_TRUE(templateStepsAbove("025.01.046").empty());

  const Releases allFirm = {1,  4,  5,  9,  10, 11, 13, 17, 19, 21, 23, 24, 25,
                            27, 30, 31, 32, 36, 38, 40, 42, 43, 44, 45, 46};
  EXPECT_EQ(firmStepsAbove("013.05.001"), allFirm);
  EXPECT_EQ(firmStepsAbove("025.01.030"), (Releases{31, 32, 36, 38, 40, 42, 43, 44, 45, 46}));
  EXPECT_EQ(firmStepsAbove("025.01.024").front(), 25);
  EXPECT_TRUE(firmStepsAbove("025.01.046").empty());

  EXPECT_EQ(publicStepsAbove("025.01.001"), (Releases{2, 13}));
  EXPECT_EQ(publicStepsAbove("025.01.002"), (Releases{13}));
  EXPECT_TRUE(publicStepsAbove("025.01.013").empty());
  EXPECT_TRUE(publicIndexMode("025.01.044").isNil());
  EXPECT_EQ(publicIndexMode("025.01.045").num(), 1);

  EXPECT_EQ(programStepsAbove("24.01.078"),
            (Releases{1, 4, 10, 13, 14, 19, 21, 24, 26, 27, 28, 30, 33, 42, 43, 45, 46}));
  EXPECT_EQ(programStepsAbove("25.01.020"), (Releases{21, 24, 26, 27, 28, 30, 33, 42, 43, 45, 46}));
  EXPECT_TRUE(programStepsAbove("25.01.046").empty());
}

TEST(ReleaseCatalogue, FirmStepGuardComparesTheReleaseTexts) {
  const std::tuple<const char*, int, bool> cases[] = {
      {"025.01.029", 30, true},
      {"025.01.030", 30, false},
      {"025.01.031", 30, false},
      {"013.05.001", 1, true},
      {"", 46, true},
      {"026.01.001", 46, false},
      {"025.01.030  ", 30, false},  // a field's blanks
  };
  for (const auto& [firm, step, due] : cases)
    EXPECT_EQ(firmStepDue(firm, step), due) << firm << " " << step;
}

// A registry whose template, public and program steps note their calls.
struct Calls {
  std::vector<std::string> log;
  StepRegistry registry;
  Calls() {
    for (const ReleaseSteps& row : releaseCatalogue()) {
      const std::string t = stepName(StepKind::Template, row.release),
                        p = stepName(StepKind::Public, row.release),
                        l = stepName(StepKind::Program, row.release);
      auto note = [this](std::string text) { log.push_back(std::move(text)); };
      if (row.hasTemplateStep())
        registry.setTemplateStep(row.release, [=](const tav::db::Directories& d) {
          note(t + " " + d.database + d.program);
        });
      if (row.publicStep)
        registry.setPublicStep(row.release, [=](auto db) { note(p + " " + std::string(db)); });
      if (row.programStep)
        registry.setProgramStep(row.release, [=](const tav::db::Directories& d) {
          note(l + " " + d.program + d.database);
        });
    }
    registry.setPublicIndexRebuild(
        [this](std::string_view db, const Value& mode, tav::frontend::Progress&) {
          log.push_back("NTX_PUB " + std::string(db) + (mode.isNil() ? "" : " 1"));
        });
  }
};

TEST(StepRuns, EachRunCallsItsStepsInOrderWithTheirArguments) {
  Calls t;
  runTemplateSteps("025.01.043", {"C:\\p\\", "D:\\b\\"}, t.registry);
  EXPECT_EQ(t.log, (std::vector<std::string>{"STR_25_01_044 D:\\b\\C:\\p\\",
                                             "STR_25_01_045 D:\\b\\C:\\p\\",
                                             "STR_25_01_046 D:\\b\\C:\\p\\"}));
  Calls l;
  runProgramSteps("25.01.043", {"C:\\p\\", "D:\\b\\"}, l.registry);
  EXPECT_EQ(l.log,
            (std::vector<std::string>{"L25_01_045 C:\\p\\D:\\b\\", "L25_01_046 C:\\p\\D:\\b\\"}));

  const std::pair<const char*, std::vector<std::string>> publicCases[] = {
      {"025.01.001", {"PUB_25_01_002 D:\\b\\", "PUB_25_01_013 D:\\b\\", "NTX_PUB D:\\b\\"}},
      {"025.01.010", {"PUB_25_01_013 D:\\b\\", "NTX_PUB D:\\b\\"}},
      {"025.01.045", {"NTX_PUB D:\\b\\ 1"}},
  };
  for (const auto& [from, expected] : publicCases) {
    Calls c;
    tav::frontend::NoProgress progress;
    runPublicSteps(from, "D:\\b\\", progress, c.registry);
    EXPECT_EQ(c.log, expected) << from;
  }
}

// A step the catalogue lists but nobody has written must stop the run before any of its steps.
TEST(StepRuns, AMissingStepIsAnErrorNotASuccess) {
  const std::tuple<std::function<void(StepRegistry&)>, std::function<void(const StepRegistry&)>,
                   const char*>
      cases[] = {
          {[](StepRegistry& r) { r.setTemplateStep(44, nullptr); },
           [](const StepRegistry& r) {
             runTemplateSteps("025.01.040", {"C:\\p\\", "D:\\b\\"}, r);
           },
           "STR_25_01_044"},
          {[](StepRegistry& r) { r.setPublicIndexRebuild(nullptr); },
           [](const StepRegistry& r) {
             tav::frontend::NoProgress progress;
             runPublicSteps("025.01.001", "D:\\b\\", progress, r);
           },
           "NTX_PUB"},
          {[](StepRegistry& r) { r.setProgramStep(46, nullptr); },
           [](const StepRegistry& r) {
             runProgramSteps("25.01.040", {"C:\\p\\", "D:\\b\\"}, r);
           },
           "L25_01_046"},
      };
  for (const auto& [remove, run, missing] : cases) {
    Calls c;
    remove(c.registry);
    tav::rt::Error e;
    EXPECT_FALSE(tav::rt::sequence([&] { run(c.registry); }, &e)) << missing;
    EXPECT_NE(e.description.find(missing), std::string::npos) << e.description;
    EXPECT_TRUE(c.log.empty()) << missing;
  }
  // The shipped firm steps whose bodies are not written yet are refused the same way.
  for (const ReleaseSteps& row : releaseCatalogue()) {
    if (!row.hasFirmStep() || row.firmPlan) continue;
    tav::rt::Error e;
    EXPECT_FALSE(tav::rt::sequence(
        [&] { shippedSteps().runFirmStep(row.release, "D:\\f\\", "C:\\p\\", "D:\\", ""); }, &e));
    EXPECT_NE(e.description.find(stepName(StepKind::Firm, row.release)), std::string::npos);
  }
}

// A function in a row that has no such step would never be called: a slip in the table.
TEST(StepRuns, NoFunctionSitsInARowWithoutItsStep) {
  for (const ReleaseSteps& row : releaseCatalogue()) {
    EXPECT_TRUE(row.hasTemplateStep() || !row.templateFn) << row.release;
    EXPECT_TRUE(row.hasFirmStep() || !row.firmPlan) << row.release;
    EXPECT_TRUE(row.publicStep || !row.publicFn) << row.release;
    EXPECT_TRUE(row.programStep || !row.programFn) << row.release;
  }
}

}  // namespace

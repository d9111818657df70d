// Which steps an upgrade picks, in which order, and what happens when one cannot be called.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/firm_step_frame.h"
#include "convert/release_catalogue.h"
#include "convert/step_registry.h"
#include "convert/template_steps.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "runtime/error.h"
#include "support/temp_drive_map.h"

namespace {

using namespace tav::convert;
using tav::rt::Value;
using Releases = std::vector<int>;

TEST(ReleaseCatalogue, OneRowPerReleaseOfTheSeries) {
  const auto& rows = releaseCatalogue();
  ASSERT_EQ(rows.size(), 46u);
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].release, static_cast<int>(i) + 1);
  EXPECT_EQ(releaseSteps(0), nullptr);
  EXPECT_EQ(releaseSteps(47), nullptr);
  EXPECT_EQ(releaseSteps(30)->release, 30);
  EXPECT_EQ(databaseRelease(7), "025.01.007");
  EXPECT_EQ(programRelease(46), "25.01.046");
}

// The upgrade run names its template releases in a list of its own; the catalogue must agree.
TEST(ReleaseCatalogue, TemplateStepsAgreeWithTheUpgradeListAndTheFileTable) {
  const Releases upgradeList = {1, 2, 5, 10, 11, 13, 17, 19, 21, 23, 24, 27,
                                30, 31, 32, 36, 37, 38, 40, 42, 43, 44, 45, 46};
  EXPECT_EQ(templateStepsAbove("024.01.099"), upgradeList);

  Releases withFiles;
  for (const TemplateFiles& step : templateFiles()) {
    withFiles.push_back(step.release);
    const ReleaseSteps* row = releaseSteps(step.release);
    ASSERT_NE(row, nullptr);
    const bool empty = step.copies.empty() && step.xmlDeletions.empty();
    EXPECT_EQ(row->templateStep == TemplateStep::EmptyTemplateStep, empty) << step.release;
    // Every template step is written, so none may be missing from the shipped set.
    EXPECT_TRUE(shippedSteps().has(StepKind::Template, step.release)) << step.release;
  }
  EXPECT_EQ(withFiles, upgradeList);
}

TEST(ReleaseCatalogue, TemplateStepsAboveTheDatabaseRelease) {
  EXPECT_EQ(templateStepsAbove("025.01.020"),
            (Releases{21, 23, 24, 27, 30, 31, 32, 36, 37, 38, 40, 42, 43, 44, 45, 46}));
  EXPECT_EQ(templateStepsAbove("025.01.045"), (Releases{46}));
  EXPECT_TRUE(templateStepsAbove("025.01.046").empty());
}

TEST(ReleaseCatalogue, FirmStepsAboveTheFirmRelease) {
  const Releases all = {1, 4, 5, 9, 10, 11, 13, 17, 19, 21, 23, 24, 25, 27, 30, 31, 32, 36, 38, 40, 42, 43, 44, 45, 46};
  EXPECT_EQ(firmStepsAbove("013.05.001"), all);
  EXPECT_EQ(firmStepsAbove(""), all);
  EXPECT_EQ(firmStepsAbove("025.01.030"), (Releases{31, 32, 36, 38, 40, 42, 43, 44, 45, 46}));
  EXPECT_EQ(firmStepsAbove("025.01.024").front(), 25);
  EXPECT_EQ(firmStepsAbove("025.01.040"), (Releases{42, 43, 44, 45, 46}));
  EXPECT_TRUE(firmStepsAbove("025.01.046").empty());
  EXPECT_EQ(releaseSteps(13)->firmStep, FirmStep::ReleaseRecordOnly);
}

TEST(ReleaseCatalogue, PublicStepsAndTheIndexRebuildMode) {
  EXPECT_EQ(publicStepsAbove("025.01.001"), (Releases{2, 13}));
  EXPECT_EQ(publicStepsAbove("025.01.002"), (Releases{13}));
  EXPECT_EQ(publicStepsAbove("025.01.012"), (Releases{13}));
  EXPECT_TRUE(publicStepsAbove("025.01.013").empty());

  EXPECT_TRUE(publicIndexMode("024.01.099").isNil());
  EXPECT_TRUE(publicIndexMode("025.01.044").isNil());
  for (const char* from : {"025.01.045", "025.01.046"}) {
    Value mode = publicIndexMode(from);
    ASSERT_TRUE(mode.isNumber()) << from;
    EXPECT_EQ(mode.num(), 1) << from;
  }
}

TEST(ReleaseCatalogue, ProgramStepsInTheTwoDigitForm) {
  const Releases all = {1, 4, 10, 13, 14, 19, 21, 24, 26, 27, 28, 30, 33, 42, 43, 45, 46};
  EXPECT_EQ(programStepsAbove("24.01.078"), all);
  EXPECT_EQ(programStepsAbove("25.01.020"), (Releases{21, 24, 26, 27, 28, 30, 33, 42, 43, 45, 46}));
  EXPECT_TRUE(programStepsAbove("25.01.046").empty());
}

TEST(ReleaseCatalogue, FirmStepGuardComparesTheReleaseTexts) {
  struct Case {
    const char* firm;
    int step;
    bool due;
  };
  const Case cases[] = {
      {"025.01.029", 30, true},  {"025.01.030", 30, false}, {"025.01.031", 30, false},
      {"013.05.001", 1, true},   {"023.01.001", 1, true},   {"", 46, true},
      {"026.01.001", 46, false}, {"025.01.030  ", 30, false},  // a field's trailing blanks do not count
  };
  for (const Case& c : cases) EXPECT_EQ(firmStepDue(c.firm, c.step), c.due) << c.firm << " " << c.step;
  EXPECT_TRUE(releaseBelow("023.01.001", "025.01.001"));
  EXPECT_FALSE(releaseBelow("025.01.046", "025.01.046"));
}

// A registry whose steps note what they were called with.
struct Calls {
  std::vector<std::string> log;
  StepRegistry registry;
  Calls() {
    for (const ReleaseSteps& row : releaseCatalogue()) {
      const int r = row.release;
      if (row.hasTemplateStep())
        registry.setTemplateStep(r, [this, r](std::string_view db, std::string_view program) {
          log.push_back(stepName(StepKind::Template, r) + " " + std::string(db) + " " + std::string(program));
        });
      if (row.publicStep)
        registry.setPublicStep(r, [this, r](std::string_view db) {
          log.push_back(stepName(StepKind::Public, r) + " " + std::string(db));
        });
      if (row.programStep)
        registry.setProgramStep(r, [this, r](std::string_view program, std::string_view db) {
          log.push_back(stepName(StepKind::Program, r) + " " + std::string(program) + " " + std::string(db));
        });
    }
    registry.setPublicIndexRebuild([this](std::string_view db, const Value& mode) {
      log.push_back("NTX_PUB " + std::string(db) + (mode.isNil() ? "" : " " + std::to_string(int(mode.num()))));
    });
  }
};

TEST(StepRuns, TemplateStepsRunInAscendingOrderWithBothDirectories) {
  Calls c;
  runTemplateSteps("025.01.040", "D:\\baza\\", "C:\\tav\\", c.registry);
  EXPECT_EQ(c.log, (std::vector<std::string>{
                       "STR_25_01_042 D:\\baza\\ C:\\tav\\", "STR_25_01_043 D:\\baza\\ C:\\tav\\",
                       "STR_25_01_044 D:\\baza\\ C:\\tav\\", "STR_25_01_045 D:\\baza\\ C:\\tav\\",
                       "STR_25_01_046 D:\\baza\\ C:\\tav\\"}));
}

TEST(StepRuns, PublicStepsThenTheIndexRebuild) {
  struct Case {
    const char* from;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"025.01.001", {"PUB_25_01_002 D:\\b\\", "PUB_25_01_013 D:\\b\\", "NTX_PUB D:\\b\\"}},
      {"025.01.010", {"PUB_25_01_013 D:\\b\\", "NTX_PUB D:\\b\\"}},
      {"025.01.044", {"NTX_PUB D:\\b\\"}},
      {"025.01.045", {"NTX_PUB D:\\b\\ 1"}},
  };
  for (const Case& k : cases) {
    Calls c;
    runPublicSteps(k.from, "D:\\b\\", c.registry);
    EXPECT_EQ(c.log, k.expected) << k.from;
  }
}

TEST(StepRuns, ProgramStepsGetProgramThenDatabaseDirectory) {
  Calls c;
  runProgramSteps("25.01.043", "C:\\tav\\", "D:\\baza\\", c.registry);
  EXPECT_EQ(c.log, (std::vector<std::string>{"L25_01_045 C:\\tav\\ D:\\baza\\", "L25_01_046 C:\\tav\\ D:\\baza\\"}));
}

// A step the catalogue lists but nobody has written must stop the run, before any step of it.
TEST(StepRuns, AMissingStepIsAnErrorNotASuccess) {
  struct Case {
    const char* name;
    std::function<void(StepRegistry&)> remove;
    std::function<void(const StepRegistry&)> run;
    const char* missing;
  };
  const Case cases[] = {
      {"template", [](StepRegistry& r) { r.setTemplateStep(44, nullptr); },
       [](const StepRegistry& r) { runTemplateSteps("025.01.040", "D:\\b\\", "C:\\p\\", r); }, "STR_25_01_044"},
      {"public", [](StepRegistry& r) { r.setPublicIndexRebuild(nullptr); },
       [](const StepRegistry& r) { runPublicSteps("025.01.001", "D:\\b\\", r); }, "NTX_PUB"},
      {"program", [](StepRegistry& r) { r.setProgramStep(46, nullptr); },
       [](const StepRegistry& r) { runProgramSteps("25.01.040", "C:\\p\\", "D:\\b\\", r); }, "L25_01_046"},
  };
  for (const Case& k : cases) {
    Calls c;
    k.remove(c.registry);
    tav::rt::Error e;
    EXPECT_FALSE(tav::rt::sequence([&] { k.run(c.registry); }, &e)) << k.name;
    EXPECT_NE(e.description.find(k.missing), std::string::npos) << k.name << ": " << e.description;
    EXPECT_TRUE(c.log.empty()) << k.name;
  }

  // The shipped set: the firm steps whose bodies are not written yet are refused the same way.
  tav::rt::Error e;
  EXPECT_FALSE(tav::rt::sequence([&] { shippedSteps().runFirmStep(4, "D:\\f\\", "C:\\p\\", "D:\\", ""); }, &e));
  EXPECT_NE(e.description.find("I_25_01_004"), std::string::npos);
}

TEST(StepRuns, ShippedFunctionsAreThoseOfTheCatalogueRows) {
  for (const ReleaseSteps& row : releaseCatalogue()) {
    EXPECT_EQ(shippedSteps().has(StepKind::Template, row.release), row.hasTemplateStep() && row.templateFn);
    EXPECT_EQ(shippedSteps().has(StepKind::Firm, row.release), row.hasFirmStep() && row.firmFn);
    EXPECT_EQ(shippedSteps().has(StepKind::Program, row.release), row.programStep && row.programFn);
    // A function in a row that has no such step would never be called: a slip in the table.
    EXPECT_TRUE(row.hasTemplateStep() || !row.templateFn) << row.release;
    EXPECT_TRUE(row.hasFirmStep() || !row.firmFn) << row.release;
    EXPECT_TRUE(row.publicStep || !row.publicFn) << row.release;
    EXPECT_TRUE(row.programStep || !row.programFn) << row.release;
  }
}

// The firm release record every step leaves behind, through the step of 013 that does nothing else.
class FirmReleaseRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tav::os::mapDrive('D', map_.root()));
    firm_ = "D:\\firma1\\";
    std::filesystem::create_directories(map_.root() / "firma1");
    auto& ws = tav::engine::workspace();
    ASSERT_TRUE(ws.create(firm_ + "wersja.dbf", {{"BAZA", 'C', 10, 0}, {"NR", 'N', 5, 2}, {"WARIANT", 'C', 3, 0}}));
    ASSERT_TRUE(ws.use(firm_ + "wersja.dbf", "w", tav::engine::UseOptions{}));
    ws.current()->append();
    ws.current()->put(std::string_view("baza"), Value("025.01.012"));
    ws.current()->put(std::string_view("nr"), Value(25.01));
    ws.current()->put(std::string_view("wariant"), Value("012"));
    ws.close("w");
  }
  void TearDown() override { tav::engine::workspace().closeAll(); }
  std::vector<Value> record() {
    auto& ws = tav::engine::workspace();
    EXPECT_TRUE(ws.use(firm_ + "wersja.dbf", "w", tav::engine::UseOptions{}));
    std::vector<Value> v = {ws.current()->get(1), ws.current()->get(2), ws.current()->get(3)};
    ws.close("w");
    return v;
  }
  tav::testing::TempDriveMap map_;
  std::string firm_;
};

TEST_F(FirmReleaseRecord, TheStepWritesItsReleaseOnlyWhenDue) {
  EXPECT_TRUE(I_25_01_013(firm_, "C:\\p\\", "D:\\", "025.01.013"));
  EXPECT_EQ(record()[0].str(), "025.01.012");

  EXPECT_TRUE(I_25_01_013(firm_, "C:\\p\\", "D:\\", "025.01.012"));
  auto r = record();
  EXPECT_EQ(r[0].str(), "025.01.013");
  EXPECT_NEAR(r[1].num(), 25.01, 1e-9);
  EXPECT_EQ(r[2].str(), "013");
  EXPECT_FALSE(tav::engine::workspace().used("wer"));
}

TEST_F(FirmReleaseRecord, ARecordThatCannotBeOpenedIsRaised) {
  std::filesystem::remove(map_.root() / "firma1" / "wersja.dbf");
  tav::rt::Error e;
  EXPECT_FALSE(tav::rt::sequence([&] { recordFirmRelease(firm_, 30); }, &e));
  EXPECT_EQ(e.genCode, tav::rt::kErrOpen);
  EXPECT_NE(e.filename.find("wersja.dbf"), std::string::npos);
}

}  // namespace

// The template steps on a sample release and an older sample database: which files of the
// database's str\ change, and which must not.
#include <gtest/gtest.h>

#include <set>

#include "convert/release_catalogue.h"
#include "convert/step_registry.h"
#include "convert/template_steps.h"
#include "os/path.h"
#include "runtime/error.h"
#include "sample_trees.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav::convert;
using tav::testing::contents;
using tav::testing::SampleTrees;
using tav::testing::snapshot;

// The tool runs in the shipped release; the database lies on drive D:. The steps read only the
// release's str\ and write only the database's, so only those are copied.
class TemplateSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
  }
  void prepare(const std::string& databaseRelease) {
    SampleTrees::copy(SampleTrees::release() / "str", shipped_);
    SampleTrees::copy(SampleTrees::database(databaseRelease, 1) / "str", str_);
    fs::current_path(map_.root() / "wydanie");
  }
  // True when `body` ran without any runtime error reaching the handler.
  static bool quietly(const std::function<void()>& body) {
    tav::rt::HandlerGuard guard(
        [](tav::rt::Error& e) -> tav::rt::Answer { throw tav::rt::Abandon(e); });
    return tav::rt::sequence(body);
  }

  tav::testing::TempDriveMap map_;
  const fs::path shipped_ = map_.root() / "wydanie" / "str", str_ = map_.root() / "baza" / "str";
  const std::string db_ = map_.drive('D', map_.root()) + "baza\\", program_ = "C:\\tav\\";
};

TEST_F(TemplateSteps, AnUpgradeFrom020RunsItsStepsInOrderAndReplacesOnlyTheirFiles) {
  prepare("025.01.020");
  // Content no shipped file has, so that a replaced file is told from an untouched one.
  for (const char* name : {"ks_kor.dbf", "p_dat.dbf", "ods_tab.cdx", "p_kals.dbf", "cpn.dbf"})
    std::ofstream(str_ / name, std::ios::binary | std::ios::app) << "old";
  const auto before = snapshot(str_);

  std::vector<int> ran;
  StepRegistry recording;
  for (int release : templateStepsAbove(""))
    recording.setTemplateStep(release, [&ran, release](const tav::db::Directories& d) {
      ran.push_back(release);
      shippedSteps().runTemplateStep(release, d);
    });
  ASSERT_TRUE(quietly([&] { runTemplateSteps("025.01.020", {program_, db_}, recording); }));
  EXPECT_EQ(ran,
            (std::vector<int>{21, 23, 24, 27, 30, 31, 32, 36, 37, 38, 40, 42, 43, 44, 45, 46}));

  std::set<std::string> copied;
  for (const TemplateFiles& step : templateFiles())
    if (step.release > 20) copied.insert(step.copies.begin(), step.copies.end());
  const auto after = snapshot(str_);
  for (const std::string& name : copied)
    EXPECT_EQ(contents(str_ / name), contents(shipped_ / name)) << name;
  for (const auto& [name, state] : after) {
    if (copied.count(name)) continue;
    // ods_tab.cdx among them: a template travels without its index.
    EXPECT_EQ(state, before.count(name) ? before.at(name) : "(new)") << name;
  }
  for (const auto& entry : before)
    EXPECT_TRUE(after.count(entry.first)) << entry.first << " went missing";
}

TEST_F(TemplateSteps, Step017KeepsACustomisedConfigurationAndSuppliesAMissingOne) {
  prepare("025.01.001");
  const std::string customised = contents(str_ / "afaktury.cfg");
  ASSERT_NE(customised, contents(shipped_ / "afaktury.cfg"));
  ASSERT_FALSE(fs::exists(str_ / "baselinker.cfg"));

  STR_25_01_017(db_, program_);
  EXPECT_EQ(contents(str_ / "afaktury.cfg"), customised);
  EXPECT_EQ(contents(str_ / "baselinker.cfg"), contents(shipped_ / "baselinker.cfg"));

  // Once supplied it is the user's too.
  std::ofstream(str_ / "baselinker.cfg", std::ios::binary) << "klucz=abc";
  STR_25_01_017(db_, program_);
  EXPECT_EQ(contents(str_ / "baselinker.cfg"), "klucz=abc");
}

TEST_F(TemplateSteps, Step001DeletesTheWithdrawnFormsAndNeedsNoXmlDirectory) {
  prepare("025.01.001");
  std::ofstream(str_ / "xml" / "jpk_v7m.xml") << "<wzor/>";
  std::ofstream(str_ / "firma.dbf", std::ios::binary | std::ios::app) << "old";
  ASSERT_TRUE(quietly([&] { STR_25_01_001(db_, program_); }));
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(str_ / "xml"))
    left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"jpk_v7m.xml"});
  for (const char* name : templateFiles().front().copies)
    EXPECT_EQ(contents(str_ / name), contents(shipped_ / name)) << name;

  fs::remove_all(str_ / "xml");
  std::ofstream(str_ / "wersja.dbf", std::ios::binary | std::ios::app) << "old";
  ASSERT_TRUE(quietly([&] { STR_25_01_001(db_, program_); }));
  EXPECT_FALSE(fs::exists(str_ / "xml"));
  EXPECT_EQ(contents(str_ / "wersja.dbf"), contents(shipped_ / "wersja.dbf"));
}

// The copy deletes its target first: a template the release lacks must not cost the database
// the one the firm steps would work from.
TEST_F(TemplateSteps, ATemplateMissingFromTheReleaseLeavesThePreviousOne) {
  prepare("025.01.001");
  fs::remove(shipped_ / "p_us.dbf");
  const std::string previous = contents(str_ / "p_us.dbf");
  ASSERT_FALSE(previous.empty());
  ASSERT_TRUE(quietly([&] { STR_25_01_024(db_, program_); }));
  EXPECT_EQ(contents(str_ / "p_us.dbf"), previous);
}

}  // namespace

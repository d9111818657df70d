// The template steps on a sample release and an older sample database: which files of the
// database's str\ change, and which must not.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "convert/release_catalogue.h"
#include "convert/step_registry.h"
#include "convert/template_steps.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "runtime/error.h"
#include "sample_trees.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav::convert;
using tav::testing::SampleTrees;

std::string contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every file below `dir`, by its path relative to it, with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = contents(e.path());
  return out;
}

// The tool runs in the shipped release; the database lies on drive D:.
class TemplateSteps : public ::testing::Test {
 protected:
  void prepare(const std::string& databaseRelease) {
    // The steps read only the release's str\ and write only the database's.
    release_ = map_.root() / "wydanie";
    base_ = map_.root() / "baza";
    SampleTrees::copy(SampleTrees::release() / "str", release_ / "str");
    SampleTrees::copy(SampleTrees::database(databaseRelease, 1) / "str", base_ / "str");
    ASSERT_TRUE(tav::os::mapDrive('D', map_.root()));
    fs::current_path(release_);
  }
  fs::path str() const { return base_ / "str"; }
  // Runs `body` counting the runtime errors that reach the handler; false when one abandoned it.
  bool runQuietly(const std::function<void()>& body) {
    tav::rt::HandlerGuard guard([this](tav::rt::Error& e) -> tav::rt::Answer {
      raised_.push_back(e.description);
      throw tav::rt::Abandon(e);
    });
    return tav::rt::sequence(body);
  }

  tav::testing::TempDriveMap map_;
  fs::path release_, base_;
  const std::string db_ = "D:\\baza\\", program_ = "C:\\tav\\";
  std::vector<std::string> raised_;
};

TEST_F(TemplateSteps, AnUpgradeFrom020RunsItsStepsInOrderAndReplacesOnlyTheirFiles) {
  TAV_REQUIRE_MKRELEASE();
  prepare("025.01.020");
  // Content the shipped files cannot have, so that a replaced file is told from an untouched one.
  for (const char* name : {"ks_kor.dbf", "p_dat.dbf", "ods_tab.cdx", "p_kals.dbf", "cpn.dbf"})
    std::ofstream(str() / name, std::ios::binary | std::ios::app) << "old";
  const auto before = snapshot(str());

  std::vector<int> ran;
  StepRegistry recording;
  for (int release : templateStepsAbove("")) {
    recording.setTemplateStep(release, [&ran, release](std::string_view db, std::string_view program) {
      ran.push_back(release);
      shippedSteps().runTemplateStep(release, db, program);
    });
  }
  ASSERT_TRUE(runQuietly([&] { runTemplateSteps("025.01.020", db_, program_, recording); }));
  EXPECT_TRUE(raised_.empty());
  EXPECT_EQ(ran, (std::vector<int>{21, 23, 24, 27, 30, 31, 32, 36, 37, 38, 40, 42, 43, 44, 45, 46}));

  std::set<std::string> expected;
  for (const TemplateFiles& step : templateFiles())
    if (step.release > 20)
      for (const char* name : step.copies) expected.insert(name);

  const auto after = snapshot(str());
  for (const std::string& name : expected) {
    ASSERT_TRUE(after.count(name)) << name;
    EXPECT_EQ(after.at(name), contents(release_ / "str" / name)) << name << " is not the shipped template";
  }
  for (const auto& [name, bytes] : before) {
    if (expected.count(name)) continue;
    ASSERT_TRUE(after.count(name)) << name << " went missing";
    EXPECT_EQ(after.at(name), bytes) << name << " changed although no step copies it";
  }
  for (const auto& [name, bytes] : after)
    EXPECT_TRUE(before.count(name) || expected.count(name)) << name << " appeared from nowhere";
  // A template travels alone: the shipped index of ods_tab stays behind.
  EXPECT_EQ(after.at("ods_tab.cdx"), before.at("ods_tab.cdx"));
  // 017 belongs to releases the database already has: its customised file is not even looked at.
  EXPECT_FALSE(after.count("baselinker.cfg"));
}

TEST_F(TemplateSteps, EmptyStepsChangeNothing) {
  TAV_REQUIRE_MKRELEASE();
  prepare("025.01.001");
  const auto before = snapshot(base_);
  for (auto step : {STR_25_01_005, STR_25_01_010, STR_25_01_021, STR_25_01_037}) step(db_, program_);
  EXPECT_EQ(snapshot(base_), before);
}

TEST_F(TemplateSteps, Step017KeepsACustomisedConfigurationAndSuppliesAMissingOne) {
  TAV_REQUIRE_MKRELEASE();
  prepare("025.01.001");
  const std::string customised = contents(str() / "afaktury.cfg");
  ASSERT_NE(customised, contents(release_ / "str" / "afaktury.cfg"));
  ASSERT_FALSE(fs::exists(str() / "baselinker.cfg"));

  STR_25_01_017(db_, program_);
  EXPECT_EQ(contents(str() / "afaktury.cfg"), customised);
  EXPECT_EQ(contents(str() / "baselinker.cfg"), contents(release_ / "str" / "baselinker.cfg"));

  // Once supplied it is the user's too: a repeated upgrade keeps the changed file.
  std::ofstream(str() / "baselinker.cfg", std::ios::binary) << "[baselinker]\r\nklucz=abc\r\n";
  STR_25_01_017(db_, program_);
  EXPECT_EQ(contents(str() / "baselinker.cfg"), "[baselinker]\r\nklucz=abc\r\n");
}

TEST_F(TemplateSteps, Step001DeletesTheWithdrawnFormsAndNoOthers) {
  TAV_REQUIRE_MKRELEASE();
  prepare("025.01.001");
  std::ofstream(str() / "xml" / "jpk_v7m.xml") << "<wzor/>";
  std::ofstream(str() / "firma.dbf", std::ios::binary | std::ios::app) << "old";

  ASSERT_TRUE(runQuietly([&] { STR_25_01_001(db_, program_); }));
  EXPECT_TRUE(raised_.empty());
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(str() / "xml")) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"jpk_v7m.xml"});
  for (const char* name : templateFiles().front().copies)
    EXPECT_EQ(contents(str() / name), contents(release_ / "str" / name)) << name;
}

TEST_F(TemplateSteps, Step001WithoutAnXmlDirectoryCopiesItsTemplatesAndReportsNothing) {
  TAV_REQUIRE_MKRELEASE();
  prepare("025.01.001");
  fs::remove_all(str() / "xml");
  std::ofstream(str() / "wersja.dbf", std::ios::binary | std::ios::app) << "old";

  ASSERT_TRUE(runQuietly([&] { STR_25_01_001(db_, program_); }));
  EXPECT_TRUE(raised_.empty());
  EXPECT_FALSE(fs::exists(str() / "xml"));
  EXPECT_EQ(contents(str() / "wersja.dbf"), contents(release_ / "str" / "wersja.dbf"));
}

// A copy that cannot be made leaves the database's previous template for the firm steps.
TEST_F(TemplateSteps, ATemplateMissingFromTheReleaseLeavesThePreviousOne) {
  TAV_REQUIRE_MKRELEASE();
  prepare("025.01.001");
  fs::remove(release_ / "str" / "p_us.dbf");
  const std::string previous = contents(str() / "p_us.dbf");
  ASSERT_FALSE(previous.empty());

  ASSERT_TRUE(runQuietly([&] { STR_25_01_024(db_, program_); }));
  EXPECT_TRUE(raised_.empty());
  EXPECT_EQ(contents(str() / "p_us.dbf"), previous);
}

}  // namespace

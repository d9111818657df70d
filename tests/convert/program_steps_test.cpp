// The program steps on a sample release, an installed program of 25.01.001 and its database:
// which templates of the program and the database change, and which must not.
#include "convert/program_steps.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>

#include "convert/release_catalogue.h"
#include "convert/step_registry.h"
#include "db/table_access.h"
#include "engine/workarea.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "os/system_info.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "sample_trees.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav::convert;
using tav::testing::contents;
using tav::testing::SampleTrees;
using tav::testing::snapshot;
using tav::testing::TempDriveMap;

// Records of a table as the file holds them: the text of one field and the deletion mark.
// Read from the bytes, independent of the engine that wrote them.
std::vector<std::pair<std::string, bool>> rawRecords(const fs::path& dbf, const char* field) {
  const std::string bytes = contents(dbf);
  auto u16 = [&](size_t at) {
    return static_cast<size_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1])
                                                                     << 8);
  };
  const size_t count = u16(4) | u16(6) << 16, header = u16(8), length = u16(10);
  size_t offset = 1, width = 0;
  for (size_t d = 32; d + 32 <= header && bytes[d] != '\r'; d += 32) {
    if (strncasecmp(bytes.data() + d, field, 11) == 0) {
      width = static_cast<uint8_t>(bytes[d + 16]);
      break;
    }
    offset += static_cast<uint8_t>(bytes[d + 16]);
  }
  std::vector<std::pair<std::string, bool>> out;
  for (size_t r = 0; r < count; ++r) {
    const size_t at = header + r * length;
    out.emplace_back(bytes.substr(at + offset, width), bytes[at] == '*');
  }
  return out;
}

// The tool runs in the shipped release (only its txt\ is needed); the program of 25.01.001 and
// its database lie on drive D:.
class ProgramSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
    SampleTrees::copy(SampleTrees::release() / "txt", shipped_);
    const fs::path database = SampleTrees::database("025.01.001", 1);
    SampleTrees::copy(database / "txt", base_ / "txt");
    SampleTrees::copy(database / "str", base_ / "str");
    SampleTrees::program(program_, "25.01.001", db_);
    fs::current_path(map_.root() / "wydanie");
  }
  void TearDown() override { tav::os::setBuildNumber(std::nullopt); }

  static bool quietly(const std::function<void()>& body) {
    tav::rt::HandlerGuard guard(
        [](tav::rt::Error& e) -> tav::rt::Answer { throw tav::rt::Abandon(e); });
    return tav::rt::sequence(body);
  }
  std::string pathWord() {
    std::string value = "(unread)";
    EXPECT_TRUE(quietly([&] {
      ASSERT_TRUE(tav::db::S_OTWORZ(prog_ + "setings\\", "station", "st"));
      value = tav::engine::workspace().current()->get("path_word").str();
      tav::db::ZAMKNIJ("st");
    }));
    return tav::rt::rTrim(value);
  }

  TempDriveMap map_;
  const fs::path shipped_ = map_.root() / "wydanie" / "txt", base_ = map_.root() / "baza",
                 program_ = map_.root() / "tav";
  const std::string drive_ = map_.drive('D', map_.root()), db_ = drive_ + "baza\\",
                    prog_ = drive_ + "tav\\";
};

TEST_F(ProgramSteps, AnUpgradeFrom001ReplacesEveryChangedTemplateAndRemovesTheDatabaseCopies) {
  std::set<std::string> replaced;
  for (const ProgramTemplates& step : programTemplates())
    if (step.release > 1) replaced.insert(step.templates.begin(), step.templates.end());
  for (const std::string& name : replaced)
    TempDriveMap::put(base_ / "txt" / name, "copy of the database");
  TempDriveMap::put(base_ / "txt" / "umowa.txt", "the user's own");
  const auto programBefore = snapshot(program_);

  std::vector<int> ran;
  StepRegistry recording;
  for (int release : programStepsAbove(""))
    recording.setProgramStep(release, [&ran, release](const tav::db::Directories& d) {
      ran.push_back(release);
      shippedSteps().runProgramStep(release, d);
    });
  ASSERT_TRUE(quietly([&] { runProgramSteps("25.01.001", {prog_, db_}, recording); }));
  EXPECT_EQ(ran, (std::vector<int>{4, 10, 13, 14, 19, 21, 24, 26, 27, 28, 30, 33, 42, 43, 45, 46}));

  for (const std::string& name : replaced) {
    EXPECT_EQ(contents(program_ / "txt" / name), contents(shipped_ / name)) << name;
    EXPECT_FALSE(fs::exists(base_ / "txt" / name)) << name;
  }
  EXPECT_EQ(contents(base_ / "txt" / "umowa.txt"), "the user's own");
  // Step 001's templates belong to a release the program already has.
  for (const auto& [name, state] : snapshot(program_)) {
    const bool isTemplate = name.rfind("txt/", 0) == 0 && replaced.count(name.substr(4));
    if (isTemplate || name == "setings/station.dbf") continue;
    EXPECT_EQ(state, programBefore.at(name)) << name;
  }
}

TEST_F(ProgramSteps, Step021RemovesTheDatabaseFakturaAndItsRegisterRecordsInAnySpelling) {
  ASSERT_TRUE(fs::exists(base_ / "txt" / "faktura.txt"));
  ASSERT_TRUE(quietly([&] { L25_01_021(prog_, db_); }));
  EXPECT_FALSE(fs::exists(base_ / "txt" / "faktura.txt"));
  EXPECT_EQ(contents(program_ / "txt" / "faktura.txt"), contents(shipped_ / "faktura.txt"));

  std::map<std::string, bool> deleted;
  for (const auto& [plik, mark] : rawRecords(base_ / "str" / "wzorce.dbf", "plik"))
    deleted[plik] = mark;
  ASSERT_EQ(deleted.size(), 5u);
  EXPECT_TRUE(deleted.at("faktura.txt "));
  EXPECT_TRUE(deleted.at(" FAKTURA.TXT"));
  EXPECT_FALSE(deleted.at("p_pus1.txt  "));
  EXPECT_FALSE(deleted.at("umowa.txt   "));
}

TEST_F(ProgramSteps, TheRegisterCleanUpLeavesARecordAnotherWorkstationHolds) {
  ASSERT_TRUE(quietly([&] { ASSERT_TRUE(tav::db::USEEX(db_ + "str\\wzorce.dbf", "other")); }));
  // The exclusive open keeps the step out of the whole register: nothing is deleted.
  ASSERT_TRUE(quietly([&] { L25_01_024(prog_, db_); }));
  tav::db::ZAMKNIJ("other");
  for (const auto& [plik, mark] : rawRecords(base_ / "str" / "wzorce.dbf", "plik"))
    EXPECT_FALSE(mark) << plik;

  ASSERT_TRUE(quietly([&] {
    ASSERT_TRUE(tav::db::S_OTWORZ(db_ + "str\\", "wzorce", "other"));
    tav::engine::WorkArea* area = tav::engine::workspace().current();
    area->goTo(4);  // p_pus1.txt
    ASSERT_TRUE(area->rlock());
  }));
  ASSERT_TRUE(quietly([&] { L25_01_024(prog_, db_); }));
  tav::db::ZAMKNIJ("other");
  const auto records = rawRecords(base_ / "str" / "wzorce.dbf", "plik");
  EXPECT_EQ(records[3], std::make_pair(std::string("p_pus1.txt  "), false));
  EXPECT_FALSE(fs::exists(base_ / "txt" / "p_pus1.txt"));
  EXPECT_GE(map_.pauses().size(), 9u);  // REK_LOCK waited for the record before giving it up
}

TEST_F(ProgramSteps, Step019EmptiesTheWordProcessorPathOnlyFromBuild22000) {
  const std::string original = pathWord();
  ASSERT_FALSE(original.empty());
  for (uint32_t build : {10240u, 19045u, 21999u}) {
    tav::os::setBuildNumber(build);
    ASSERT_TRUE(quietly([&] { L25_01_019(prog_, db_); }));
    EXPECT_EQ(pathWord(), original) << build;
  }
  EXPECT_EQ(contents(program_ / "txt" / "de_mini6.txt"), contents(shipped_ / "de_mini6.txt"));
  tav::os::setBuildNumber(22000);
  ASSERT_TRUE(quietly([&] { L25_01_019(prog_, db_); }));
  EXPECT_EQ(pathWord(), "");

  // A program without station settings has nothing to clear and gets none.
  fs::remove(program_ / "setings" / "station.dbf");
  ASSERT_TRUE(quietly([&] { L25_01_019(prog_, db_); }));
  EXPECT_FALSE(fs::exists(program_ / "setings" / "station.dbf"));
}

TEST_F(ProgramSteps, Step004ChangesNothingAndARepeatedStepGivesTheSameFiles) {
  const auto program = snapshot(program_), base = snapshot(base_);
  ASSERT_TRUE(quietly([&] { L25_01_004(prog_, db_); }));
  EXPECT_EQ(snapshot(program_), program);
  EXPECT_EQ(snapshot(base_), base);

  ASSERT_TRUE(quietly([&] { L25_01_045(prog_, db_); }));
  const auto once = snapshot(program_ / "txt");
  ASSERT_TRUE(quietly([&] { L25_01_045(prog_, db_); }));
  const auto twice = snapshot(program_ / "txt");
  ASSERT_EQ(once.size(), twice.size());
  for (const auto& [name, state] : once)
    EXPECT_EQ(state.substr(0, state.rfind('@')),
              twice.at(name).substr(0, twice.at(name).rfind('@')))
        << name;
}

TEST_F(ProgramSteps, ATemplateTheReleaseLacksKeepsBothThePreviousTemplateAndTheDatabaseCopy) {
  fs::remove(shipped_ / "p_lo.txt");
  TempDriveMap::put(base_ / "txt" / "p_lo.txt", "the database's own");
  const std::string previous = contents(program_ / "txt" / "p_lo.txt");
  ASSERT_TRUE(quietly([&] { L25_01_026(prog_, db_); }));
  EXPECT_EQ(contents(program_ / "txt" / "p_lo.txt"), previous);
  EXPECT_EQ(contents(base_ / "txt" / "p_lo.txt"), "the database's own");
}

TEST_F(ProgramSteps, Step001DropsTheRegisterCopiesItsTemplatesAndErasesEveryWithdrawnFile) {
  // Every withdrawn file, beside neighbours of the same families that stay.
  for (const std::string& file : obsoleteProgramFiles()) {
    std::string host = file;
    std::replace(host.begin(), host.end(), '\\', '/');
    TempDriveMap::put(program_ / host, "old");
  }
  const char* neighbours[] = {"mask/01_01_11.scn", "mask/03_03_03.scn", "mask/08_01_01.scn",
                              "mask/12_07_01.scn", "mask/20_01_01.scn", "txt/pit_x.txt",
                              "ravimon/p28_27.txt"};
  for (const char* n : neighbours) TempDriveMap::put(program_ / n, "kept");
  TempDriveMap::put(base_ / "txt" / "de_mini4.txt", "the database's own");

  ASSERT_TRUE(quietly([&] { L25_01_001(prog_, db_); }));

  EXPECT_EQ(obsoleteProgramFiles().size(), 148u);
  for (const std::string& file : obsoleteProgramFiles()) {
    std::string host = file;
    std::replace(host.begin(), host.end(), '\\', '/');
    EXPECT_FALSE(fs::exists(program_ / host)) << file;
  }
  for (const char* n : neighbours) EXPECT_EQ(contents(program_ / n), "kept") << n;
  EXPECT_FALSE(fs::exists(base_ / "str" / "wzorce.dbf"));
  for (const char* name : programTemplates().front().templates)
    EXPECT_EQ(contents(program_ / "txt" / name), contents(shipped_ / name)) << name;
  EXPECT_EQ(contents(base_ / "txt" / "de_mini4.txt"), "the database's own");
}

}  // namespace

// The checks an installation makes of a directory before trusting it with tables. Groups:
// DatabaseTest (TEST_TAV: every failure named by the number of its stage, the scratch directory
// cleared before and after, the caller's areas left open) and DatabaseTestBox (SA_BLEDY's box with
// the failed stage in its title and the network or local text by kind, and ANALIZA_KAT refusing
// each bad directory name with its own message).
#include "db/disk_checks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "db/table_access.h"
#include "engine/engine_test_util.h"
#include "engine/workspace.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"
#include "support/recording_frontend.h"
#include "support/temp_drive_map.h"

using namespace tav;
using namespace tav::db;
using namespace tav::rt::literals;
namespace fs = std::filesystem;
using tav::engine::workspace;

namespace {

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetSettings();
    STARTINIT();
    rt::setSleeper([](int) {});
  }
  void TearDown() override {
    workspace().closeAll();
    rt::setSleeper({});
    rt::resetSettings();
  }
  // Something in the scratch directory that no deletion removes: a directory with content under
  // the name of one of the test's files.
  void obstacle(const std::string& name) {
    fs::create_directories(tmp_ / "Test" / name / "inside");
  }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path().string() + "/";
};

TEST_F(DatabaseTest, AWritableDirectoryPassesAndIsLeftClean) {
  workspace().closeAll();
  EXPECT_EQ(TEST_TAV(dir_, "Test"), 0);
  EXPECT_FALSE(fs::exists(tmp_ / "Test"));
  EXPECT_TRUE(workspace().aliases().empty());
  // A scratch directory left over by an earlier failed test is cleared first.
  fs::create_directories(tmp_ / "Test");
  test::writeFile(tmp_ / "Test" / "test.dbf", "remains of a crash");
  test::writeFile(tmp_ / "Test" / "stary.dbf", "x");
  EXPECT_EQ(TEST_TAV(dir_, "Test"), 0);
  EXPECT_FALSE(fs::exists(tmp_ / "Test"));
}

TEST_F(DatabaseTest, TheCallersAreasSurvive) {
  test::writeFile(tmp_ / "dummy.txt", "");
  ASSERT_TRUE(workspace().create(dir_ + "mine.dbf",
                                 {{"A", 'C', 2, 0}, {"B", 'C', 2, 0}, {"C", 'C', 2, 0}}));
  ASSERT_TRUE(OTWORZ(dir_, "mine", "mine"));
  EXPECT_EQ(TEST_TAV(dir_, "Test"), 0);
  EXPECT_EQ(workspace().aliases(), std::vector<std::string>{"MINE"});
}

TEST_F(DatabaseTest, StageNumberOfTheFailedStage) {
  struct Case {
    const char* blocked;
    int stage;
  };
  // The table cannot be created (3), its export written (6), its single index created (7), the
  // index through the relation created (10).
  for (Case c :
       {Case{"test.dbf", 3}, Case{"test0.dbf", 6}, Case{"test.ntx", 7}, Case{"test0.ntx", 10}}) {
    SCOPED_TRACE(c.blocked);
    fs::remove_all(tmp_ / "Test");
    obstacle(c.blocked);
    EXPECT_EQ(TEST_TAV(dir_, "Test"), c.stage);
    // The areas are closed whatever stage failed.
    EXPECT_TRUE(workspace().aliases().empty());
  }
  // A directory that does not exist cannot hold the scratch directory: the table's creation fails.
  EXPECT_EQ(TEST_TAV(dir_ + "brak/", "Test"), 3);
}

TEST_F(DatabaseTest, ADirectoryWithoutWriteRightsFailsAtTheTable) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  fs::create_directories(tmp_ / "ro");
  fs::permissions(tmp_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(TEST_TAV(dir_ + "ro/", "Test"), 3);
  fs::permissions(tmp_ / "ro", fs::perms::owner_all);
}

TEST_F(DatabaseTest, FieldAdditionThatCannotWorkIsStageEighteen) {
  // stary.dbf is the backup DODAJ_POLA writes; where it cannot be written the addition fails.
  obstacle("stary.dbf");
  EXPECT_EQ(TEST_TAV(dir_, "Test"), 18);
}

TEST_F(DatabaseTest, WindowsPathsThroughTheDriveMap) {
  tav::testing::TempDriveMap map;
  fs::create_directories(map.driveC() / "Tav");
  EXPECT_EQ(TEST_TAV("C:\\tav\\", "Test"), 0);
  EXPECT_TRUE(fs::is_empty(map.driveC() / "Tav"));
  fs::create_directories(map.driveC() / "Tav" / "Test" / "test0.ntx" / "x");
  EXPECT_EQ(TEST_TAV("C:\\Tav\\", "Test"), 10);
}

// The disk test's and the name check's boxes, as a front-end is told them.
class DatabaseTestBox : public DatabaseTest {
 protected:
  // The one error or warning told, in UTF-8: its title and text.
  std::pair<std::string, std::string> warning() const {
    std::vector<frontend::Box> shown;
    for (const frontend::Box& b : person.told)
      if (b.type == "3") shown.push_back(b);
    if (shown.size() != 1) return {"(" + std::to_string(shown.size()) + " warnings)", ""};
    return {rt::oemToUtf8(shown[0].title), rt::oemToUtf8(shown[0].text)};
  }
  tav::testing::RecordingQuestions person;
};

TEST_F(DatabaseTestBox, SaBledyShowsTheStageInTheTitle) {
  obstacle("test.ntx");
  EXPECT_TRUE(SA_BLEDY(dir_, "B", person));
  const auto [title, shown] = warning();
  EXPECT_EQ(title, "Błąd nr (7)");
  EXPECT_NE(shown.find("Na dysku sieciowym nie można przeprowadzić wszystkich operacji"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("użytkownik ma zbyt ograniczone uprawnienia!"), std::string::npos) << shown;
  // The notice of the test came first, and went.
  ASSERT_EQ(person.told.size(), 2u);
  EXPECT_EQ(person.told[0].type, "1");
  EXPECT_EQ(rt::oemToUtf8(person.told[0].title), "Test dysków sieciowych");
}

TEST_F(DatabaseTestBox, SaBledyKindsOtherThanBGetTheLocalText) {
  obstacle("test.dbf");
  EXPECT_TRUE(SA_BLEDY(dir_, "X", person));
  const auto [title, shown] = warning();
  EXPECT_EQ(title, "Błąd nr (3)");
  EXPECT_NE(shown.find("Na dysku lokalnym nie można"), std::string::npos) << shown;
}

TEST_F(DatabaseTestBox, SaBledyOnAGoodDirectoryShowsNoError) {
  EXPECT_FALSE(SA_BLEDY(dir_, "P", person));
  ASSERT_EQ(person.told.size(), 1u);
  EXPECT_EQ(rt::oemToUtf8(person.told[0].title), "Test dysków lokalnych");
  EXPECT_FALSE(fs::exists(tmp_ / "Test"));
}

TEST_F(DatabaseTestBox, AnalizaKatAcceptsAndRefuses) {
  struct Case {
    const char* dir;
    const char* kind;
    const char* refusal;  // nullptr: accepted
  };
  const Case cases[] = {
      {"\\\\server\\share", "B", nullptr},
      {"\\\\server\\Windows\\Dane", "B", nullptr},  // network names skip the WINDOWS test
      {"D:\\Dane", "P", nullptr},
      {"D:\\Tav\\2025\\", "B", nullptr},
      {"\\\\server", "B", "Katalog do instalacji Bazy danych. Błędna nazwa!!!"},
      {"\\\\\\server\\share", "B", "Katalog do instalacji Bazy danych. Błędna nazwa!!!"},
      {"C:\\", "P", "Katalog do instalacji Programu nie może być"},
      {"C:", "B", "Katalog do instalacji Bazy danych nie może być"},
      {"D:\\Windows\\Dane", "P",
       "Katalog do instalacji Programu nie powinien zawierać słowa \"WINDOWS\"!"},
      {"D:\\moje wInDoWs", "B",
       "Katalog do instalacji Bazy danych nie powinien zawierać słowa \"WINDOWS\"!"},
      {"Dane\\Tav", "P", "Katalog do instalacji Programu. Błędna nazwa katalogu!!!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    person.told.clear();
    EXPECT_EQ(ANALIZA_KAT(rt::utf8ToOem(c.dir), c.kind, person), c.refusal == nullptr);
    if (!c.refusal) {
      EXPECT_TRUE(person.told.empty());
      continue;
    }
    const auto [title, shown] = warning();
    EXPECT_EQ(title, std::string(c.kind) == "P" ? "Katalog Programu" : "Katalog Bazy");
    EXPECT_NE(shown.find(c.refusal), std::string::npos) << shown;
  }
}

}  // namespace

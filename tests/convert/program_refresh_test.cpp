// The program file refresh on a sample release, an installed program of 25.01.019 and its
// database: what the program directory holds afterwards, what the database is told, and which
// program steps run.
#include "convert/program_refresh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "convert/release_catalogue.h"
#include "db/table_access.h"
#include "engine/workarea.h"
#include "engine/workspace.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "sample_trees.h"
#include "support/recording_frontend.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav::convert;
using tav::testing::contents;
using tav::testing::SampleTrees;
using tav::testing::TempDriveMap;
using namespace tav::rt::literals;

std::set<std::string> filesMatching(const fs::path& dir, const std::string& extension) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && e.path().extension() == extension)
      out.insert(e.path().filename().string());
  return out;
}

class ProgramRefresh : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
    SampleTrees::copy(SampleTrees::release(), release_);
    SampleTrees::copy(SampleTrees::database("025.01.046", 1), base_);
    SampleTrees::program(program_, "25.01.019", db_);
    fs::current_path(release_);
  }

  static bool quietly(const std::function<void()>& body) {
    tav::rt::HandlerGuard guard(
        [](tav::rt::Error& e) -> tav::rt::Answer { throw tav::rt::Abandon(e); });
    return tav::rt::sequence(body);
  }
  // One field of a table's first record, read through the engine.
  static std::string field(const std::string& dir, const char* table, const char* name) {
    std::string value = "(unread)";
    EXPECT_TRUE(quietly([&] {
      ASSERT_TRUE(tav::db::S_OTWORZ(dir, table, "probe"));
      tav::engine::WorkArea* area = tav::engine::workspace().current();
      area->goTop();
      value = tav::rt::rTrim(area->get(name).str());
      tav::db::ZAMKNIJ("probe");
    }));
    return value;
  }
  static void setField(const std::string& dir, const char* table, const char* name,
                       const std::string& value) {
    ASSERT_TRUE(quietly([&] {
      ASSERT_TRUE(tav::db::S_OTWORZ(dir, table, "probe"));
      tav::engine::WorkArea* area = tav::engine::workspace().current();
      area->goTop();
      ASSERT_TRUE(tav::db::REK_LOCK());
      area->put(name, tav::rt::Value(value));
      area->unlock();
      tav::db::ZAMKNIJ("probe");
    }));
  }
  bool refresh(const std::string& previous, const StepRegistry& steps = shippedSteps()) {
    bool result = false;
    EXPECT_TRUE(quietly([&] { result = WIN2WIN({prog_, db_}, previous, progress_, steps); }));
    return result;
  }

  TempDriveMap map_;
  const fs::path release_ = map_.root() / "wydanie", base_ = map_.root() / "baza",
                 program_ = map_.root() / "tav";
  const std::string drive_ = map_.drive('D', map_.root()), db_ = drive_ + "baza\\",
                    prog_ = drive_ + "tav\\";
  // What the refresh shows: the windows it opens, the lines it writes, its bar.
  struct Shown : tav::testing::RecordingProgress {
    std::vector<std::string> opened, described;
    double steps = 0;
    void openWindow(const std::string& title) override {
      opened.push_back(title);
      RecordingProgress::openWindow(title);
    }
    void restart(double total, const std::string& caption) override {
      steps = total;
      advanced = 0;
      RecordingProgress::restart(total, caption);
    }
    void describe(const tav::rt::Value& firm, const tav::rt::Value& remaining,
                  const tav::rt::Value& firms) override {
      described.push_back(firm.str() + "|" + remaining.str() + "|" + firms.str());
    }
  } progress_;
};

TEST_F(ProgramRefresh, TheProgramGetsTheReleaseFilesAndKeepsOnlyTheTemplatesNoStepReplaces) {
  // A DLL the release does not ship, and a template the program lacks.
  TempDriveMap::put(program_ / "moja.dll", "someone else's");
  fs::remove(program_ / "txt" / "cpn_1.txt");
  TempDriveMap::put(program_ / "txt" / "p_lst4b.txt", "changed by the user");
  TempDriveMap::put(program_ / "txt" / "wlasny.txt", "the user's own");

  ASSERT_TRUE(refresh("25.01.019"));

  // The old DLLs are let go of before the new ones come.
  EXPECT_NE(std::find(map_.pauses().begin(), map_.pauses().end(), 20), map_.pauses().end());
  EXPECT_EQ(filesMatching(program_, ".dll"), filesMatching(release_, ".dll"));
  for (const std::string& dll : filesMatching(release_, ".dll"))
    EXPECT_EQ(contents(program_ / dll), contents(release_ / dll)) << dll;
  for (const char* exe : {"tav.exe", "un_tav.exe", "7z.exe", "msxsl.exe", "openssl.exe"})
    EXPECT_EQ(contents(program_ / exe), contents(release_ / exe)) << exe;
  EXPECT_EQ(contents(program_ / "wersja.dbf"), contents(release_ / "wk.dbf"));
  EXPECT_EQ(contents(program_ / "DllOk.txt"), contents(release_ / "wk.dbf"));
  // Screens and reports of the old release go; the directories hold the release's.
  for (const char* dir : {"mask", "ravimon", "czytaj.to"}) {
    std::set<std::string> shipped, installed;
    for (const auto& e : fs::directory_iterator(release_ / dir))
      shipped.insert(e.path().filename().string());
    for (const auto& e : fs::directory_iterator(program_ / dir))
      installed.insert(e.path().filename().string());
    EXPECT_EQ(installed, shipped) << dir;
  }
  for (const char* dir : {"export/zus", "export/edek", "export/crm", "export/gus", "export/nfz",
                          "install", "temp/arch", "dek"})
    EXPECT_TRUE(fs::is_directory(program_ / dir)) << dir;
  EXPECT_FALSE(fs::exists(program_ / "temp" / "mail_test.txt"));
  EXPECT_FALSE(fs::exists(program_ / "temp" / "mail_send.log0"));

  EXPECT_EQ(contents(program_ / "txt" / "cpn_1.txt"), contents(release_ / "txt" / "cpn_1.txt"));
  EXPECT_EQ(contents(program_ / "txt" / "p_lst4b.txt"),
            "changed by the user");  // 010 is not above 019
  EXPECT_EQ(contents(program_ / "txt" / "wlasny.txt"), "the user's own");
  // 021 is above 019: its step replaces the changed invoice.
  EXPECT_EQ(contents(program_ / "txt" / "faktura.txt"), contents(release_ / "txt" / "faktura.txt"));
}

TEST_F(ProgramRefresh, AChangedInvoiceSurvivesWhenItsStepIsNotAboveThePreviousRelease) {
  const std::string changed = contents(program_ / "txt" / "faktura.txt");
  ASSERT_NE(changed, contents(release_ / "txt" / "faktura.txt"));
  ASSERT_TRUE(refresh("25.01.021"));
  EXPECT_EQ(contents(program_ / "txt" / "faktura.txt"), changed);
}

TEST_F(ProgramRefresh, RunsExactlyTheProgramStepsAboveThePreviousReleaseAfterTheFiles) {
  std::vector<int> ran;
  StepRegistry recording;
  for (int release : programStepsAbove(""))
    recording.setProgramStep(release, [&, release](const tav::db::Directories& d) {
      EXPECT_EQ(d.program, prog_);
      EXPECT_EQ(d.database, db_);
      // The files are in place before any step runs.
      EXPECT_EQ(contents(program_ / "wersja.dbf"), contents(release_ / "wk.dbf"));
      ran.push_back(release);
    });
  ASSERT_TRUE(refresh("25.01.030", recording));
  EXPECT_EQ(ran, (std::vector<int>{33, 42, 43, 45, 46}));
}

TEST_F(ProgramRefresh, TheDatabaseLevelIsRaisedNeverLoweredAndTheUpdateIsStamped) {
  const std::string shipped = field(".\\", "wb", "tav");
  ASSERT_FALSE(shipped.empty());
  setField(db_, "wersja", "tav", "25.01.001");
  ASSERT_TRUE(refresh("25.01.046"));
  EXPECT_EQ(field(db_, "wersja", "tav"), shipped);
  EXPECT_EQ(field(db_ + "public\\", "pub_dat", "nv_r_check"), "Zainstalowano: " + shipped);

  setField(db_, "wersja", "tav", "99.01.001");
  const std::string before = contents(base_ / "wersja.dbf");
  ASSERT_TRUE(refresh("25.01.046"));
  EXPECT_EQ(contents(base_ / "wersja.dbf"), before);
}

TEST_F(ProgramRefresh, AShippedLevelInANumericFieldIsTakenAsANumber) {
  ASSERT_TRUE(quietly([&] {
    tav::engine::Workspace ws;
    fs::remove(release_ / "wb.dbf");
    ASSERT_TRUE(ws.createHost(release_ / "wb.dbf", {{"TAV", 'N', 5, 0}}));
    ASSERT_TRUE(ws.useHost(release_ / "wb.dbf", "W", {}));
    ws.current()->append();
    ws.current()->put(1, tav::rt::Value(30));
  }));
  setField(db_, "wersja", "tav", "25.01.001");
  ASSERT_TRUE(refresh("25.01.046"));
  EXPECT_EQ(field(db_, "wersja", "tav"), "30");
  EXPECT_EQ(field(db_ + "public\\", "pub_dat", "nv_r_check"), "Zainstalowano: 30");
  setField(db_, "wersja", "tav", "99.01.001");
  ASSERT_TRUE(refresh("25.01.046"));
  EXPECT_EQ(field(db_, "wersja", "tav"), "99.01.001");
}

TEST_F(ProgramRefresh, ADatabaseVersionHeldExclusivelyElsewhereIsLeftAsItIs) {
  setField(db_, "wersja", "tav", "25.01.001");
  ASSERT_TRUE(quietly([&] { ASSERT_TRUE(tav::db::USEEX(db_ + "wersja.dbf", "other")); }));
  ASSERT_TRUE(refresh("25.01.046"));
  tav::db::ZAMKNIJ("other");
  EXPECT_EQ(field(db_, "wersja", "tav"), "25.01.001");
}

TEST_F(ProgramRefresh, AReleaseWithoutItsDatabaseRecordLeavesTheDatabaseLevelAlone) {
  setField(db_, "wersja", "tav", "25.01.001");
  fs::remove(release_ / "wb.dbf");
  ASSERT_TRUE(refresh("25.01.046"));
  EXPECT_EQ(field(db_, "wersja", "tav"), "25.01.001");
  EXPECT_EQ(contents(program_ / "wersja.dbf"), contents(release_ / "wk.dbf"));
}

TEST_F(ProgramRefresh, MakesItsOwnProgressWindowOnlyWhenTheRunHasNoneAndCountsTheCopy) {
  ASSERT_TRUE(refresh("25.01.046"));
  EXPECT_EQ(progress_.opened, std::vector<std::string>{refreshTitle()});
  EXPECT_TRUE(progress_.described.empty());
  EXPECT_EQ(progress_.captions.back(), "Kopiowanie plików programu..."_oem);
  EXPECT_EQ(progress_.steps, 37);
  EXPECT_EQ(progress_.advanced, 44);  // the advances of the copy over-run the total

  // The run's window is re-labelled, not replaced.
  ASSERT_TRUE(refresh("25.01.046"));
  EXPECT_EQ(progress_.opened.size(), 1u);
  EXPECT_EQ(progress_.described, std::vector<std::string>{refreshTitle() + "|?|?"});
}

}  // namespace

// MAKE_WINFIR on the sample firms, with firm steps that note their calls and record their
// release as the real ones do.
#include "convert/firm_runner.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "convert/firm_step_frame.h"
#include "convert/speed_class.h"
#include "db/index_catalogue.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"
#include "sample_trees.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav::convert;
using tav::rt::Value;
using tav::testing::SampleTrees;
using tav::testing::snapshot;

// Sample firms by role (docs/sample-data.md).
constexpr int kAtDatabaseRelease = 1, kAt013 = 2, kAt022 = 3, kWithoutFirma = 5, kKeepsBackups = 7,
              kAtShippedRelease = 8;

std::vector<std::string> filesIn(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) out.push_back(e.path().filename().string());
  return out;
}

class FirmRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
    sample_ = SampleTrees::database("025.01.001", 8);
    fs::create_directories(map_.root() / "baza");
    tav::db::STARTINIT();  // the tool's table settings: exclusive opens above all
    tav::rt::shared().wersja_b = "025.01.046";
    setSpeedClass(1);
    for (int release : firmStepsAbove("")) {
      steps_.setFirmStep(release,
                         [this, release](std::string_view firm, std::string_view program,
                                         std::string_view db, std::string_view firmRelease) {
                           EXPECT_EQ(program, "C:\\tav\\");
                           EXPECT_EQ(db, db_);
                           calls_.push_back(release);
                           given_.emplace_back(firmRelease);
                           if (onStep_) onStep_(release);
                           if (firmStepDue(firmRelease, release)) recordFirmRelease(firm, release);
                           return true;
                         });
    }
  }
  void TearDown() override {
    tav::engine::workspace().closeAll();
    tav::rt::resetShared();
    tav::rt::resetSettings();
    setSpeedClass(1);
  }

  // The runner works in the firm's own directory only: each test copies the firms it uses.
  fs::path dir(int n) {
    const fs::path d = map_.root() / "baza" / ("firma" + std::to_string(n));
    if (!fs::exists(d)) SampleTrees::copy(sample_ / d.filename(), d);
    return d;
  }
  void run(int n, const std::string& databaseRelease) {
    dir(n);
    MAKE_WINFIR(db_ + "firma" + std::to_string(n) + "\\", "C:\\tav\\", db_, databaseRelease,
                steps_);
  }
  bool fails(int n, const std::string& databaseRelease, tav::rt::Error& e) {
    return !tav::rt::sequence([&] { run(n, databaseRelease); }, &e);
  }
  Value recorded(int n, const char* field = "baza") {
    tav::engine::Workspace ws;
    EXPECT_TRUE(ws.useHost(dir(n) / "wersja.dbf", "w", tav::engine::UseOptions{}));
    return ws.current()->get(std::string_view(field));
  }
  void record(int n, const std::string& release) {
    tav::engine::Workspace ws;
    ASSERT_TRUE(ws.useHost(dir(n) / "wersja.dbf", "w", tav::engine::UseOptions{}));
    ws.current()->put(std::string_view("baza"), Value(release));
  }
  bool givenEverywhere(const std::string& release) const {
    return std::all_of(given_.begin(), given_.end(),
                       [&](const std::string& g) { return g == release; });
  }

  tav::testing::TempDriveMap map_;
  const std::string db_ = map_.drive('D', map_.root()) + "baza\\";
  fs::path sample_;
  StepRegistry steps_;
  std::vector<int> calls_;
  std::vector<std::string> given_;
  std::function<void(int)> onStep_;
};

TEST_F(FirmRunner, FirmsAtTheShippedReleaseOrWithoutARequiredTableAreNotTouched) {
  for (int n : {kAtShippedRelease, kWithoutFirma}) {
    const auto before = snapshot(dir(n));
    run(n, "025.01.001");
    EXPECT_EQ(snapshot(dir(n)), before) << n;
  }
  fs::remove(dir(kAtDatabaseRelease) / "ks_dok.dbf");
  const auto before = snapshot(dir(kAtDatabaseRelease));
  run(kAtDatabaseRelease, "025.01.001");
  EXPECT_EQ(snapshot(dir(kAtDatabaseRelease)), before);
  EXPECT_TRUE(calls_.empty());
}

TEST_F(FirmRunner, AConvertedFirmLosesItsOldReportAndBackups) {
  const fs::path d = dir(kAtDatabaseRelease);
  const auto indexTime = fs::last_write_time(d / "ks_dok.cdx");
  std::vector<std::string> seenByFirstStep = {"?"};
  onStep_ = [&](int release) {
    if (release == 4) seenByFirstStep = filesIn(d / "bak" / "k");
    if (release == 45) std::ofstream(d / "bak" / "ks_fw.bak") << "kopia";
  };
  run(kAtDatabaseRelease, "025.01.001");

  EXPECT_EQ(calls_, firmStepsAbove("025.01.001"));
  EXPECT_TRUE(givenEverywhere("025.01.001"));
  EXPECT_TRUE(seenByFirstStep.empty());
  EXPECT_FALSE(fs::exists(d / "ins_raport.txt"));
  EXPECT_TRUE(filesIn(d / "bak").empty());
  EXPECT_TRUE(fs::is_directory(d / "bak" / "k"));
  EXPECT_EQ(recorded(kAtDatabaseRelease).str(), "025.01.046");
  EXPECT_EQ(fs::last_write_time(d / "ks_dok.cdx"), indexTime);  // no full reindex
  EXPECT_EQ(speedClass(), 1);
  EXPECT_FALSE(tav::engine::workspace().used("wer"));
}

TEST_F(FirmRunner, BackupsSurviveWhileTheMarkerIsThere) {
  const fs::path d = dir(kKeepsBackups);
  onStep_ = [&](int release) {
    if (release == 30) std::ofstream(d / "bak" / "firma.bak") << "kopia";
  };
  const auto before = snapshot(d / "bak");
  run(kKeepsBackups, "025.01.001");
  auto after = snapshot(d / "bak");
  EXPECT_EQ(after.erase("firma.bak"), 1u);
  EXPECT_EQ(after, before);
  EXPECT_FALSE(fs::exists(d / "ins_raport.txt"));
}

TEST_F(FirmRunner, AnOldFirmInARecentDatabaseStartsFromTheDatabaseRelease) {
  std::string recordAtFirstStep;
  onStep_ = [&](int release) {
    if (release == 42) recordAtFirstStep = recorded(kAt013).str();
  };
  const auto indexTime = fs::last_write_time(dir(kAt013) / "ks_dok.cdx");
  run(kAt013, "025.01.040");
  EXPECT_EQ(calls_, (std::vector<int>{42, 43, 44, 45, 46}));
  EXPECT_TRUE(givenEverywhere("025.01.040"));
  EXPECT_EQ(recordAtFirstStep, "025.01.040");
  EXPECT_TRUE(fs::exists(dir(kAt013) / "dsto.lpp"));
  EXPECT_EQ(fs::last_write_time(dir(kAt013) / "ks_dok.cdx"), indexTime);
  EXPECT_EQ(speedClass(), 1);

  // The raise is kept even when it leaves nothing to do.
  tav::rt::shared().wersja_b = "025.01.030";
  run(kAt022, "025.01.030");
  EXPECT_EQ(recorded(kAt022).str(), "025.01.030");
  EXPECT_TRUE(fs::exists(dir(kAt022) / "ins_raport.txt"));
  tav::rt::shared().wersja_b = "025.01.046";
  calls_.clear();
  run(kAt022, "025.01.030");
  EXPECT_EQ(calls_, firmStepsAbove("025.01.030"));
}

TEST_F(FirmRunner, EveryStepGetsTheReleaseReadBeforeTheFirst) {
  record(kAtDatabaseRelease, "025.01.024");
  // Another release record left open under the same alias must not be taken for the firm's.
  ASSERT_TRUE(tav::db::OTWORZ(dir(kAtShippedRelease).string() + "/", "wersja", "wer"));
  std::vector<std::string> found;
  onStep_ = [&](int) { found.push_back(recorded(kAtDatabaseRelease).str()); };
  run(kAtDatabaseRelease, "025.01.001");
  ASSERT_FALSE(calls_.empty());
  EXPECT_EQ(calls_.front(), 25);
  EXPECT_TRUE(givenEverywhere("025.01.024"));
  for (size_t i = 1; i < calls_.size(); ++i) EXPECT_EQ(found[i], databaseRelease(calls_[i - 1]));
  EXPECT_NEAR(recorded(kAtDatabaseRelease, "nr").num(), 25.01, 1e-9);
  EXPECT_EQ(recorded(kAtDatabaseRelease, "wariant").str(), "046");
  EXPECT_EQ(recorded(kAtShippedRelease).str(), "025.01.046");
}

TEST_F(FirmRunner, AnOldFirmInAnOldDatabaseRunsEveryStepThenAFullReindex) {
  const fs::path d = dir(kAt013);
  for (const char* junk : {"robo.dbf", "abc.tmp", "klienci.ntx"}) std::ofstream(d / junk) << "x";
  run(kAt013, "022.01.010");

  EXPECT_EQ(calls_, firmStepsAbove(""));
  EXPECT_TRUE(givenEverywhere("013.05.001"));
  EXPECT_EQ(speedClass(), kFullReindexSpeedClass);
  for (const char* gone : {"robo.dbf", "abc.tmp", "klienci.ntx", "dsto.lpp"})
    EXPECT_FALSE(fs::exists(d / gone)) << gone;

  // Every indexed table the firm has carries its full tag list again, the step-only ones too.
  tav::engine::Workspace ws;
  size_t checked = 0;
  for (const auto* list : {&tav::db::firmCatalogue(), &tav::db::stepOnlyIndexes()}) {
    for (const tav::db::CatalogueRow& row : *list) {
      std::string table = row.table;
      std::replace(table.begin(), table.end(), '\\', '/');
      if (row.isDeletion() || !fs::exists(d / (table + ".dbf"))) continue;
      ASSERT_TRUE(ws.useHost(d / (table + ".dbf"), "t", tav::engine::UseOptions{})) << table;
      ASSERT_EQ(ws.current()->orderCount(), row.tags.size()) << table;
      for (size_t i = 0; i < row.tags.size(); ++i)
        EXPECT_EQ(tav::rt::lower(ws.current()->orderAt(i)->keyExpression()),
                  tav::rt::lower(row.tags[i].key))
            << table;
      ws.close("t");
      ++checked;
    }
  }
  EXPECT_GT(checked, 100u);
  EXPECT_TRUE(fs::exists(d / "uwagi.cdx"));

  // A class already above 5 stays.
  setSpeedClass(7);
  raiseSpeedClass(kFullReindexSpeedClass);
  EXPECT_EQ(speedClass(), 7);
}

// A step's error is the upgrade's business; the next upgrade resumes after the last step recorded.
// Each step's record reaches the disk before the next step begins: after a power loss a firm never
// runs again steps whose tables later steps have already changed.
TEST_F(FirmRunner, AnInterruptedFirmResumesAtTheFirstStepNotRecorded) {
  std::vector<uint64_t> syncsAtStep;
  onStep_ = [&](int release) {
    syncsAtStep.push_back(tav::os::syncsDone());
    if (release != 30) return;
    tav::rt::Error full;
    full.description = "dysk pełny";
    tav::rt::fail(full);
  };
  tav::rt::Error e;
  EXPECT_TRUE(fails(kAtDatabaseRelease, "025.01.001", e));
  EXPECT_EQ(e.description, "dysk pełny");
  EXPECT_EQ(recorded(kAtDatabaseRelease).str(), "025.01.027");
  ASSERT_GT(syncsAtStep.size(), 2u);
  for (size_t i = 1; i < syncsAtStep.size(); ++i)
    EXPECT_GT(syncsAtStep[i], syncsAtStep[i - 1]) << "step " << calls_[i - 1] << " not on disk";
  tav::engine::workspace().closeAll();

  calls_.clear();
  onStep_ = nullptr;
  run(kAtDatabaseRelease, "025.01.001");
  EXPECT_EQ(calls_, firmStepsAbove("025.01.027"));
}

// A firm that cannot be converted fails loudly, and before its report and backups are gone.
TEST_F(FirmRunner, AFirmThatCannotBeConvertedFailsAsAnError) {
  tav::rt::Error e;
  steps_.setFirmStep(44, nullptr);
  const auto before = snapshot(dir(kAtDatabaseRelease));
  EXPECT_TRUE(fails(kAtDatabaseRelease, "025.01.001", e));
  EXPECT_NE(e.description.find("I_25_01_044"), std::string::npos);
  EXPECT_EQ(snapshot(dir(kAtDatabaseRelease)), before);
  EXPECT_TRUE(calls_.empty());

  steps_.setFirmStep(44, [](auto, auto, auto, auto) { return false; });
  EXPECT_TRUE(fails(kAtDatabaseRelease, "025.01.001", e));
  EXPECT_NE(e.description.find("I_25_01_044"), std::string::npos);
  EXPECT_EQ(calls_.back(), 43);

  fs::resize_file(dir(kAt022) / "wersja.dbf", 20);
  EXPECT_TRUE(fails(kAt022, "025.01.001", e));
  EXPECT_EQ(e.genCode, tav::rt::kErrOpen);
  EXPECT_TRUE(fs::exists(dir(kAt022) / "ins_raport.txt"));
}

}  // namespace

// MAKE_WINFIR on the sample firms, with firm steps that only note their calls and record their
// release as the real ones do.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "convert/firm_runner.h"
#include "convert/firm_step_frame.h"
#include "convert/release_catalogue.h"
#include "convert/speed_class.h"
#include "db/index_catalogue.h"
#include "db/table_access.h"
#include "engine/workspace.h"
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

// Sample firms by role (docs/sample-data.md).
constexpr int kAtDatabaseRelease = 1, kAt013 = 2, kAt022 = 3, kWithoutFirma = 5,
              kKeepsBackups = 7, kAtShippedRelease = 8;

struct Call {
  int release;
  std::string firm, program, database, firmRelease;
};

std::string contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every entry below a directory with its bytes and modification time: "not touched" means
// neither changed, nor anything added or removed.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(e.path(), dir).string();
    if (e.is_directory()) {
      out[name + "/"] = "";
      continue;
    }
    out[name] = contents(e.path()) + "@" + std::to_string(fs::last_write_time(e.path()).time_since_epoch().count());
  }
  return out;
}

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
    base_ = map_.root() / "baza";
    fs::create_directories(base_);
    ASSERT_TRUE(tav::os::mapDrive('D', map_.root()));
    // The tool's table settings, as start-up makes them: exclusive opens, hidden deleted records.
    tav::db::STARTINIT();
    tav::rt::shared().wersja_b = "025.01.046";
    setSpeedClass(1);
    for (int release : firmStepsAbove("")) {
      steps_.setFirmStep(release, [this, release](std::string_view firm, std::string_view program,
                                                  std::string_view db, std::string_view firmRelease) {
        calls_.push_back({release, std::string(firm), std::string(program), std::string(db), std::string(firmRelease)});
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
  fs::path firmPath(int n) {
    const std::string name = "firma" + std::to_string(n);
    if (!fs::exists(base_ / name)) SampleTrees::copy(sample_ / name, base_ / name);
    return base_ / name;
  }
  std::string firm(int n) const { return "D:\\baza\\firma" + std::to_string(n) + "\\"; }
  void run(int n, const std::string& databaseRelease) {
    firmPath(n);
    MAKE_WINFIR(firm(n), program_, db_, databaseRelease, steps_);
  }
  std::vector<int> releasesCalled() const {
    std::vector<int> out;
    for (const Call& c : calls_) out.push_back(c.release);
    return out;
  }
  std::string recordedRelease(int n) {
    tav::engine::Workspace ws;
    tav::engine::UseOptions o;
    o.readOnly = true;
    EXPECT_TRUE(ws.useHost(firmPath(n) / "wersja.dbf", "w", o));
    return ws.current()->get(std::string_view("baza")).str();
  }
  void setRecordedRelease(int n, const std::string& release) {
    tav::engine::Workspace ws;
    ASSERT_TRUE(ws.useHost(firmPath(n) / "wersja.dbf", "w", tav::engine::UseOptions{}));
    ws.current()->put(std::string_view("baza"), Value(release));
  }

  tav::testing::TempDriveMap map_;
  fs::path sample_, base_;
  const std::string db_ = "D:\\baza\\", program_ = "C:\\tav\\";
  StepRegistry steps_;
  std::vector<Call> calls_;
  std::function<void(int)> onStep_;
};

TEST_F(FirmRunner, AFirmAtTheShippedReleaseIsNotTouched) {
  const auto before = snapshot(firmPath(kAtShippedRelease));
  run(kAtShippedRelease, "025.01.001");
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(snapshot(firmPath(kAtShippedRelease)), before);
  EXPECT_FALSE(tav::engine::workspace().used("wer"));
}

TEST_F(FirmRunner, AFirmWithoutARequiredTableIsSkippedUntouched) {
  auto before = snapshot(firmPath(kWithoutFirma));
  run(kWithoutFirma, "025.01.001");
  EXPECT_EQ(snapshot(firmPath(kWithoutFirma)), before);

  for (const char* table : {"wersja.dbf", "ks_dok.dbf"}) {
    fs::path copy = SampleTrees::copy(firmPath(kAtDatabaseRelease), base_ / "kopia");
    fs::remove(copy / table);
    before = snapshot(copy);
    MAKE_WINFIR("D:\\baza\\kopia\\", program_, db_, "025.01.001", steps_);
    EXPECT_EQ(snapshot(copy), before) << table;
    fs::remove_all(copy);
  }
  EXPECT_TRUE(calls_.empty());
}

TEST_F(FirmRunner, AConvertedFirmLosesItsOldReportAndBackups) {
  const fs::path dir = firmPath(kAtDatabaseRelease);
  ASSERT_TRUE(fs::exists(dir / "ins_raport.txt"));
  ASSERT_FALSE(filesIn(dir / "bak").empty());
  const auto indexTime = fs::last_write_time(dir / "ks_dok.cdx");
  // The backups are cleared before the first step, and what a step leaves there goes afterwards.
  std::vector<std::string> seenByFirstStep;
  onStep_ = [&](int release) {
    if (release == 4) {
      seenByFirstStep = filesIn(dir / "bak");
      for (const auto& f : filesIn(dir / "bak" / "k")) seenByFirstStep.push_back("k/" + f);
    }
    if (release == 45) std::ofstream(dir / "bak" / "k" / "ks_fw.bak") << "kopia";
  };

  run(kAtDatabaseRelease, "025.01.001");

  const std::vector<int> expected(firmStepsAbove("025.01.001"));
  EXPECT_EQ(releasesCalled(), expected);
  for (const Call& c : calls_) {
    EXPECT_EQ(c.firm, firm(kAtDatabaseRelease));
    EXPECT_EQ(c.program, program_);
    EXPECT_EQ(c.database, db_);
    EXPECT_EQ(c.firmRelease, "025.01.001") << c.release;
  }
  EXPECT_TRUE(seenByFirstStep.empty());
  EXPECT_FALSE(fs::exists(dir / "ins_raport.txt"));
  EXPECT_TRUE(fs::is_directory(dir / "bak" / "k"));
  EXPECT_TRUE(filesIn(dir / "bak").empty());
  EXPECT_TRUE(filesIn(dir / "bak" / "k").empty());
  EXPECT_EQ(recordedRelease(kAtDatabaseRelease), "025.01.046");
  // A recent firm needs no full reindex.
  EXPECT_EQ(fs::last_write_time(dir / "ks_dok.cdx"), indexTime);
  EXPECT_EQ(speedClass(), 1);
  EXPECT_FALSE(tav::engine::workspace().used("wer"));
}

TEST_F(FirmRunner, BackupsSurviveWhileTheMarkerIsThere) {
  const fs::path dir = firmPath(kKeepsBackups);
  ASSERT_TRUE(fs::exists(dir / "bak" / "w51.txt"));
  onStep_ = [&](int release) {
    if (release == 30) std::ofstream(dir / "bak" / "firma.bak") << "kopia";
  };
  const auto bak = snapshot(dir / "bak");

  run(kKeepsBackups, "025.01.001");

  EXPECT_FALSE(calls_.empty());
  auto after = snapshot(dir / "bak");
  EXPECT_EQ(after.erase("firma.bak"), 1u);
  EXPECT_EQ(after, bak);
  EXPECT_FALSE(fs::exists(dir / "ins_raport.txt"));
}

TEST_F(FirmRunner, AnOldFirmInARecentDatabaseStartsFromTheDatabaseRelease) {
  const fs::path dir = firmPath(kAt013);
  ASSERT_EQ(recordedRelease(kAt013), "013.05.001");
  ASSERT_TRUE(fs::exists(dir / "dsto.lpp"));
  std::string recordAtFirstStep;
  onStep_ = [&](int release) {
    if (release == 42) recordAtFirstStep = recordedRelease(kAt013);
  };
  const auto indexTime = fs::last_write_time(dir / "ks_dok.cdx");

  run(kAt013, "025.01.040");

  EXPECT_EQ(releasesCalled(), (std::vector<int>{42, 43, 44, 45, 46}));
  for (const Call& c : calls_) EXPECT_EQ(c.firmRelease, "025.01.040");
  EXPECT_EQ(recordAtFirstStep, "025.01.040");
  // The raised release is not below 014.01.015: the obsolete files and indexes stay.
  EXPECT_TRUE(fs::exists(dir / "dsto.lpp"));
  EXPECT_EQ(fs::last_write_time(dir / "ks_dok.cdx"), indexTime);
  EXPECT_EQ(speedClass(), 1);
}

TEST_F(FirmRunner, TheRaisedReleaseIsKeptEvenWhenNothingIsLeftToRun) {
  tav::rt::shared().wersja_b = "025.01.030";
  run(kAt022, "025.01.030");
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(recordedRelease(kAt022), "025.01.030");
  EXPECT_TRUE(fs::exists(firmPath(kAt022) / "ins_raport.txt"));

  tav::rt::shared().wersja_b = "025.01.046";
  run(kAt022, "025.01.030");
  EXPECT_EQ(releasesCalled(), (std::vector<int>{31, 32, 36, 38, 40, 42, 43, 44, 45, 46}));
}

TEST_F(FirmRunner, EveryStepGetsTheReleaseReadBeforeTheFirst) {
  setRecordedRelease(kAtDatabaseRelease, "025.01.024");
  std::vector<std::string> recordSeen;
  onStep_ = [&](int) { recordSeen.push_back(recordedRelease(kAtDatabaseRelease)); };

  run(kAtDatabaseRelease, "025.01.001");

  ASSERT_EQ(releasesCalled().front(), 25);
  for (const Call& c : calls_) EXPECT_EQ(c.firmRelease, "025.01.024");
  // Each step found the release its predecessor recorded.
  for (size_t i = 1; i < calls_.size(); ++i) EXPECT_EQ(recordSeen[i], databaseRelease(calls_[i - 1].release));
  // In a database below 023.01.001 an old firm keeps its own release.
  calls_.clear();
  run(kAt022, "022.01.001");
  EXPECT_EQ(releasesCalled(), firmStepsAbove(""));
  EXPECT_EQ(calls_.front().firmRelease, "022.01.010");
  EXPECT_EQ(speedClass(), 1);
}

TEST_F(FirmRunner, AnOldFirmInAnOldDatabaseRunsEveryStepThenAFullReindex) {
  const fs::path dir = firmPath(kAt013);
  std::ofstream(dir / "robo.dbf") << "praca";
  std::ofstream(dir / "abc.tmp") << "praca";
  std::ofstream(dir / "klienci.ntx") << "stary indeks";
  int uwagiIndexed = 0;
  onStep_ = [&](int release) {
    if (release == 44) uwagiIndexed = fs::exists(dir / "uwagi.cdx");
  };

  run(kAt013, "022.01.010");

  EXPECT_EQ(releasesCalled(), firmStepsAbove(""));
  for (const Call& c : calls_) EXPECT_EQ(c.firmRelease, "013.05.001");
  EXPECT_EQ(speedClass(), kFullReindexSpeedClass);
  for (const char* gone : {"robo.dbf", "abc.tmp", "klienci.ntx", "dsto.lpp"})
    EXPECT_FALSE(fs::exists(dir / gone)) << gone;
  EXPECT_TRUE(uwagiIndexed);

  // Every catalogued table the firm has carries its full tag list again, and so do the tables
  // only the steps index.
  tav::engine::Workspace ws;
  tav::engine::UseOptions o;
  o.readOnly = true;
  size_t checked = 0;
  for (const auto* list : {&tav::db::firmCatalogue(), &tav::db::stepOnlyIndexes()}) {
    for (const tav::db::CatalogueRow& row : *list) {
      if (row.isDeletion()) continue;
      std::string table = row.table;
      std::replace(table.begin(), table.end(), '\\', '/');
      if (!fs::exists(dir / (table + ".dbf"))) continue;
      ASSERT_TRUE(fs::exists(dir / (table + ".cdx"))) << table;
      ASSERT_TRUE(ws.useHost(dir / (table + ".dbf"), "t", o)) << table;
      auto* area = ws.current();
      ASSERT_EQ(area->orderCount(), row.tags.size()) << table;
      for (size_t i = 0; i < row.tags.size(); ++i) {
        EXPECT_EQ(area->orderAt(i)->name(), tav::rt::upper(row.tags[i].name)) << table;
        EXPECT_EQ(tav::rt::lower(area->orderAt(i)->keyExpression()), tav::rt::lower(row.tags[i].key)) << table;
      }
      ws.close("t");
      ++checked;
    }
  }
  EXPECT_GT(checked, 100u);
  EXPECT_TRUE(fs::exists(dir / "uwagi.cdx"));

  const fs::path dbftool = fs::path(TAV_BINARY_DIR) / "tools" / "dbftool" / "dbftool";
  if (fs::exists(dbftool)) {
    for (const auto& e : fs::directory_iterator(dir)) {
      if (e.path().extension() != ".dbf") continue;
      const std::string cmd = dbftool.string() + " check " + e.path().string() + " > /dev/null 2>&1";
      EXPECT_EQ(std::system(cmd.c_str()), 0) << e.path();
    }
  }
}

TEST_F(FirmRunner, TheFullReindexRaisesTheSpeedClassButNeverLowersIt) {
  setSpeedClass(7);
  run(kAt013, "022.01.010");
  EXPECT_EQ(speedClass(), 7);
}

// A step's error is the upgrade's per-firm trap's business; the next upgrade resumes after the
// last step the firm recorded.
TEST_F(FirmRunner, AnInterruptedFirmResumesAtTheFirstStepNotRecorded) {
  onStep_ = [](int release) {
    if (release != 30) return;
    tav::rt::Error full;
    full.genCode = tav::rt::kErrWrite;
    full.description = "dysk pełny";
    tav::rt::fail(full);
  };
  tav::rt::Error e;
  EXPECT_FALSE(tav::rt::sequence([&] { run(kAtDatabaseRelease, "025.01.001"); }, &e));
  EXPECT_EQ(e.description, "dysk pełny");
  EXPECT_EQ(releasesCalled().back(), 30);
  EXPECT_EQ(recordedRelease(kAtDatabaseRelease), "025.01.027");
  tav::engine::workspace().closeAll();

  calls_.clear();
  onStep_ = nullptr;
  run(kAtDatabaseRelease, "025.01.001");
  EXPECT_EQ(releasesCalled(), firmStepsAbove("025.01.027"));
  EXPECT_EQ(recordedRelease(kAtDatabaseRelease), "025.01.046");
}

// Nothing of the firm may go before it is certain that every step it needs can run.
TEST_F(FirmRunner, AMissingStepFailsTheFirmBeforeAnythingIsDeleted) {
  steps_.setFirmStep(44, nullptr);
  const auto before = snapshot(firmPath(kAtDatabaseRelease));
  tav::rt::Error e;
  EXPECT_FALSE(tav::rt::sequence([&] { run(kAtDatabaseRelease, "025.01.001"); }, &e));
  EXPECT_NE(e.description.find("I_25_01_044"), std::string::npos);
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(snapshot(firmPath(kAtDatabaseRelease)), before);
}

TEST_F(FirmRunner, AStepThatReportsFailureFailsTheFirm) {
  steps_.setFirmStep(32, [this](std::string_view, std::string_view, std::string_view, std::string_view) {
    calls_.push_back({32, "", "", "", ""});
    return false;
  });
  tav::rt::Error e;
  EXPECT_FALSE(tav::rt::sequence([&] { run(kAtDatabaseRelease, "025.01.001"); }, &e));
  EXPECT_NE(e.description.find("I_25_01_032"), std::string::npos);
  EXPECT_EQ(releasesCalled().back(), 32);
}

TEST_F(FirmRunner, AnUnreadableReleaseRecordIsAnErrorNotASkip) {
  fs::resize_file(firmPath(kAtDatabaseRelease) / "wersja.dbf", 20);
  tav::rt::Error e;
  EXPECT_FALSE(tav::rt::sequence([&] { run(kAtDatabaseRelease, "025.01.001"); }, &e));
  EXPECT_EQ(e.genCode, tav::rt::kErrOpen);
  EXPECT_TRUE(calls_.empty());
  EXPECT_TRUE(fs::exists(firmPath(kAtDatabaseRelease) / "ins_raport.txt"));
}

TEST(SpeedClass, RaisedOnlyUpward) {
  setSpeedClass(1);
  raiseSpeedClass(5);
  EXPECT_EQ(speedClass(), 5);
  raiseSpeedClass(3);
  EXPECT_EQ(speedClass(), 5);
  setSpeedClass(1);
}

}  // namespace

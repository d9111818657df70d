// The upgrade run over the firms of a database (UPGRADE_NOWEJ_BAZY) on a sample database of three
// firms, the second of them damaged so that its conversion fails. Groups: UpgradeRun and
// UpgradeRunJobs (firms one after another and two at once). What it keeps true: a failed firm is
// named in the result (some firms failed), in public\ins_raport.txt and in .\error.log, the others
// are converted all the same, and the database's version record says "N" (incomplete) from the
// moment the new release arrives in it until a run converts every firm, so that the next attempt
// runs again; a run with nothing failed completes with "T".
#include "upgrade/upgrade_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "convert/sample_trees.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/fault.h"
#include "os/file.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"
#include "support/recording_frontend.h"
#include "support/temp_drive_map.h"

namespace {

namespace fs = std::filesystem;
using namespace tav;
using tav::testing::SampleTrees;

constexpr const char* kOld = "025.01.001";
constexpr const char* kShipped = "025.01.046";
constexpr int kDamaged = 2;

std::string readHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The one call of the run, with nobody to ask or show anything.
upgrade::DatabaseRun upgradeDatabase(const std::string& program, const std::string& database,
                                     const std::string& databaseRelease, int jobs) {
  tav::testing::RecordingQuestions person;
  tav::testing::RecordingProgress progress;
  return upgrade::UPGRADE_NOWEJ_BAZY({program, database}, databaseRelease, person, progress,
                                     {jobs});
}

class UpgradeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SampleTrees::available()) GTEST_SKIP() << "mkrelease not built";
    // Beside the sample trees, on a memory file system when there is one: a run syncs every
    // table it rewrites.
    static int serial = 0;
    scene_ = SampleTrees::release().parent_path() / ("upgrade_run_" + std::to_string(++serial));
    fs::remove_all(scene_);
    release_ = scene_ / "release";
    SampleTrees::copy(SampleTrees::release(), release_);
    SampleTrees::copy(SampleTrees::database(kOld, 3), scene_ / "baza");
    fs::create_directories(scene_ / "program");
    drive_ = map_.drive('D', scene_);
    fs::current_path(release_);
    rt::resetShared();
    rt::resetSettings();
    db::STARTINIT();
    auto& sv = rt::shared();
    sv.wersja_p = "25.01.046";
    sv.wersja_b = kShipped;
    sv.roczek = "2025";
  }
  void TearDown() override {
    engine::workspace().closeAll();
    rt::resetShared();
    rt::resetSettings();
    std::error_code ec;
    fs::current_path(map_.root(), ec);
    if (!scene_.empty()) fs::remove_all(scene_, ec);
  }

  fs::path firm(int n) const { return scene_ / "baza" / ("firma" + std::to_string(n)); }
  // A table that is no table any more: the firm's fixed assets, which its first step changes.
  void damage(int n) const { std::ofstream(firm(n) / "st_en.dbf") << std::string(300, '#'); }
  void repair(int n) const {
    tav::testing::copyOver(
        SampleTrees::database(kOld, 3) / ("firma" + std::to_string(n)) / "st_en.dbf",
        firm(n) / "st_en.dbf");
  }
  upgrade::Result run(const std::string& databaseRelease = kOld) {
    last_ = upgradeDatabase(drive_ + "program\\", drive_ + "baza\\", databaseRelease, jobs_);
    return last_.result;
  }
  // A field of the one record of a version table, trimmed.
  static std::string version(const fs::path& table, const char* field) {
    engine::Workspace ws;
    engine::UseOptions o;
    o.shared = o.readOnly = true;
    if (!ws.useHost(table, "v", o)) return "(unreadable)";
    ws.current()->goTop();
    return rt::allTrim(ws.current()->get(std::string_view(field)).str());
  }
  std::string database(const char* field) const {
    return version(scene_ / "baza" / "wersja.dbf", field);
  }
  std::string firmRelease(int n) const { return version(firm(n) / "wersja.dbf", "baza"); }

  tav::testing::TempDriveMap map_;  // the drive map's prefix, the pauses recorded, the directory
  fs::path scene_, release_;
  std::string drive_;  // the scene as a drive of its own: "D:\\" on Linux
  int jobs_ = 1;
  upgrade::DatabaseRun last_;
};

// One firm after another, and two at once in worker processes: the same outcome either way.
class UpgradeRunJobs : public UpgradeRun, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    UpgradeRun::SetUp();
    jobs_ = GetParam();
  }
};

TEST_P(UpgradeRunJobs,
       AFailedFirmIsNamedEverywhereAndTheDatabaseStaysIncompleteUntilItIsConverted) {
  damage(kDamaged);
  EXPECT_EQ(run(), upgrade::Result::SomeFirmsFailed);

  // The others are converted; the damaged one is where it stopped.
  EXPECT_EQ(firmRelease(1), kShipped);
  EXPECT_EQ(firmRelease(3), kShipped);
  EXPECT_NE(firmRelease(kDamaged), kShipped);
  const auto& firms = last_.record.firms;
  ASSERT_EQ(firms.size(), 3u);
  EXPECT_EQ(firms[0].status, upgrade::FirmStatus::Converted);
  EXPECT_EQ(firms[1].status, upgrade::FirmStatus::Failed);
  EXPECT_EQ(firms[2].status, upgrade::FirmStatus::Converted);

  // The report names it, with the error that stopped it; error.log in the release's directory.
  const std::string report = rt::ansiToUtf8(readHost(scene_ / "baza/public/ins_raport.txt"));
  EXPECT_NE(report.find("\r\nFirma nr: 2 Błąd podczas instalacji:\r\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("\r\ndescription       : "), std::string::npos) << report;
  EXPECT_EQ(report.find("Firma nr: 1 "), std::string::npos);
  EXPECT_EQ(report.find("Firma nr: 3 "), std::string::npos);
  EXPECT_EQ(rt::ansiToUtf8(readHost(release_ / "error.log")),
            "Nie udało się zainstalować firmy nr: 2. Napraw firmę i spróbuj jeszcze raz!\r\n");

  // The new release is recorded, and the database says it is not complete.
  EXPECT_EQ(database("baza"), kShipped);
  EXPECT_EQ(database("ok"), "N");

  // The firm repaired, the next attempt (the release is the shipped one, the flag says "N")
  // converts it and completes the database.
  repair(kDamaged);
  fs::remove(release_ / "error.log");
  EXPECT_EQ(run(kShipped), upgrade::Result::Complete);
  EXPECT_EQ(firmRelease(kDamaged), kShipped);
  EXPECT_EQ(database("ok"), "T");
  EXPECT_FALSE(fs::exists(release_ / "error.log"));
  EXPECT_FALSE(fs::exists(scene_ / "baza/public/ins_raport.txt"));
}

#ifdef _WIN32
// No worker processes on Windows: --jobs above 1 is refused before a run starts.
INSTANTIATE_TEST_SUITE_P(OneOrTwoAtOnce, UpgradeRunJobs, ::testing::Values(1));
#else
INSTANTIATE_TEST_SUITE_P(OneOrTwoAtOnce, UpgradeRunJobs, ::testing::Values(1, 2));
#endif

#ifndef _WIN32  // a run forked to be killed (tests/windows.cmake)

// The moment the shipped record takes wersja.dbf's place, the run is not over: a run killed right
// then, with a firm failed, must leave a database that says it is incomplete.
TEST_F(UpgradeRun, TheNewVersionRecordArrivesSayingIncomplete) {
  damage(kDamaged);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("TAV_FAULT", "rename@~wb.dbf:1:killnext", 1);
    os::reloadFaults();
    run();
    ::_exit(0);  // not killed: the record never arrived by that rename
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  EXPECT_EQ(database("baza"), kShipped);
  EXPECT_EQ(database("ok"), "N");
  EXPECT_FALSE(fs::exists(scene_ / "baza" / "~wb.dbf"));
}
#endif

}  // namespace

namespace {

// Another workstation holding a table. On Linux a child process with the lock taken before it was
// made, so that it holds it from its first moment; killed, its lock goes with it. On Windows a
// handle without sharing: every other open of the file is refused, whoever makes it.
struct Holder {
#ifdef _WIN32
  os::File file;
  bool holding = false;
  explicit Holder(const fs::path& table) {
    holding = file.open(table, os::File::Mode::Read) && file.lockOpenMode(true);
  }
  void release() {
    file.close();
    holding = false;
  }
#else
  pid_t pid = -1;
  bool holding = false;
  explicit Holder(const fs::path& table) {
    const int fd = ::open(table.c_str(), O_RDONLY);
    if (fd < 0 || ::flock(fd, LOCK_SH) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::pause();
      ::_exit(0);
    }
    ::close(fd);
    holding = pid > 0;
  }
  void release() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
    holding = false;
  }
#endif
  ~Holder() { release(); }
};

}  // namespace

// An error in the public steps goes to the error handler the caller has, with Retry: retried once
// its cause is gone, the run completes; let pass (the handler's default answer), the run fails and
// the database is not marked complete over a step that was not done.
TEST_F(UpgradeRun, APublicStepErrorIsOfferedRetryAndLetPassItFailsTheRun) {
  for (const bool retry : {true, false}) {
    SCOPED_TRACE(retry ? "retried" : "let pass");
    if (!retry) {  // a fresh database; Windows removes no directory that is the current one
      TearDown();
      SetUp();
    }
    Holder holder(scene_ / "baza" / "public" / "firmy.dbf");
    ASSERT_TRUE(holder.holding);
    std::vector<std::string> asked;
    rt::HandlerGuard screen([&](rt::Error& e) -> rt::Answer {
      asked.push_back(e.filename);
      EXPECT_TRUE(e.canRetry) << e.description;
      if (!retry) return {rt::Answer::Default, {}};
      holder.release();
      return {rt::Answer::Retry, {}};
    });
    const upgrade::Result result = run();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].find("firmy.dbf"), std::string::npos) << asked[0];
    if (retry) {
      EXPECT_EQ(result, upgrade::Result::Complete);
      EXPECT_EQ(database("ok"), "T");
    } else {
      EXPECT_EQ(result, upgrade::Result::Failed);
      EXPECT_NE(rt::oemToUtf8(last_.message).find("firmy.dbf"), std::string::npos);
      EXPECT_EQ(database("ok"), "N");
      EXPECT_EQ(database("baza"), kOld) << "the new release arrives only after the public steps";
    }
  }
}

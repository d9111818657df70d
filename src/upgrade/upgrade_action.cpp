// The upgrade's one call. Its order, with the routine that does each step:
//   checks of the program directory and its database        checkUpgrade
//   room for the run on the database's disk                  planUpgrade, spaceRefusal
//   the person's confirmation with the estimate              POKAZ_CZAS
//   the database taken, then the disk test of its directory  takeDatabase, SA_BLEDY("B")
//   the database run, when the database is below or unfinished  UPGRADE_NOWEJ_BAZY
//   leftovers of a killed refresh, the program's disk test   removeLeftovers, SA_BLEDY("P")
//   all firms done: registry, program files, archive, speed  REJESTRY, WIN2WIN, PAKUJ_DO_ZIPA
//   some failed:    archive, program files, registry, speed  (in that order)
#include "upgrade/upgrade_action.h"

#include "convert/program_refresh.h"
#include "convert/speed_class.h"
#include "db/disk_checks.h"
#include "db/files.h"
#include "db/table_access.h"
#include "db/version_record.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "upgrade/duration_estimate.h"
#include "upgrade/progress_times.h"
#include "upgrade/release_archive.h"
#include "upgrade/upgrade_checks.h"
#include "upgrade/upgrade_plan.h"

namespace tav::upgrade {

using namespace rt::literals;

UpgradedDatabase upgradeDatabase(const db::Directories& directories, std::string_view release,
                                 frontend::Questions& person, frontend::Progress& progress,
                                 const RunOptions& options) {
  UpgradedDatabase u{UPGRADE_NOWEJ_BAZY(directories, release, person, progress, options), {}};
  if (const auto record = db::readVersionRecord(directories.database))
    u.releaseAfter = record->baza;
  return u;
}

frontend::Box runEndBox(const DatabaseRun& run) {
  if (run.result == Result::SomeFirmsFailed)
    return {"3",
            "Ostrzeżenie!"_oem,
            "Część firm nie została zainstalowana.;Zobacz raport z instalacji"_oem,
            {}};
  return {"3", "Błąd instalacji"_oem, run.message, {}};
}

UpgradeOutcome upgradeProgram(const UpgradeRequest& request, frontend::Questions& front,
                              frontend::Progress& progress, const Registration& registration) {
  useReleaseArguments(request.release);
  frontend::RememberingQuestions person(front);
  UpgradeOutcome out;
  auto end = [&](Result result, Stage stage, const frontend::Box& box = {}) {
    out.result = result;
    out.stage = stage;
    // A disk test tells its own box: the outcome ends with it.
    const frontend::Box& last =
        box.empty() && stage != Stage::Confirmation ? person.lastWarning() : box;
    out.title = last.title;
    out.message = last.text;
    if (!box.empty()) person.tell(box);
    return out;
  };

  const UpgradeChecks checks = checkUpgrade(request.programDirectory);
  out.directories = {checks.program, checks.database};
  out.releaseBefore = out.releaseAfter = checks.databaseRelease;
  if (!checks.passed())
    return end(Result::Refused, Stage::Checks, {"3", checks.title, checks.text, {}});
  const db::Directories& dirs = out.directories;

  // Room for the run before anything is asked or written: a disk that fills up half way would
  // leave the books to the next attempt.
  const UpgradePlan plan = planUpgrade(request.programDirectory, false);
  const std::string noRoom = spaceRefusal(plan.spaceNeeded, plan.spaceFree, dirs.database);
  if (!noRoom.empty())
    return end(Result::Refused, Stage::Space, {"3", "Brak miejsca na dysku", noRoom, {}});

  if (!POKAZ_CZAS(dirs.database, checks.databaseProgramRelease, person))
    return end(Result::Declined, Stage::Confirmation);

  const double start = rt::secondsSinceMidnight();
  Result result = Result::Complete;
  if (checks.databaseRunDue()) {
    // The database is taken before its disk test: a second run then hears that it is in use,
    // instead of its disk test tripping over the first run's scratch files.
    if (!takeDatabase(dirs.database))
      return end(Result::Refused, Stage::InUse,
                 {"3", "Błąd instalacji"_oem, usersAtWorkMessage(), {}});
    if (db::SA_BLEDY(dirs.database, "B", person)) {
      db::ZAMKNIJ("sem");
      return end(Result::Refused, Stage::DiskTest);
    }
    out.databaseRun = true;
    UpgradedDatabase upgraded =
        upgradeDatabase(dirs, checks.databaseRelease, person, progress, request.run);
    out.releaseAfter = upgraded.releaseAfter;
    out.run = std::move(upgraded.run.record);
    result = upgraded.run.result;
    if (result != Result::Complete && result != Result::SomeFirmsFailed) {
      const frontend::Box box = runEndBox(upgraded.run);
      person.tell(box);
      progress.closeWindow();
      out.result = result;
      out.stage = Stage::DatabaseRun;
      out.title = box.title;
      out.message = box.text;
      return out;
    }
  }

  // The refresh copies over the program's files: what a killed refresh left goes first.
  for (const char* dir : {"", "txt\\"}) db::removeLeftovers(dirs.program + dir);
  if (db::SA_BLEDY(dirs.program, "P", person)) {
    // The database run stands; the program was not refreshed, which the next upgrade does.
    progress.closeWindow();
    return end(Result::Failed, Stage::ProgramDiskTest);
  }
  auto recordSpeed = [&] {
    ZAPISZ_PREDKOSC(elapsedSeconds(start, rt::secondsSinceMidnight()), dirs.database);
    convert::setSpeedClass(1);
  };
  auto registerInstallation = [&] {
    if (registration) out.registryRefused = registration(dirs, request.release.year);
  };
  if (result == Result::Complete) {
    registerInstallation();
    out.closeScreen = convert::WIN2WIN(dirs, checks.databaseProgramRelease, progress);
    archiveOrWarn(dirs.database, person, progress);
    progress.closeWindow();
    recordSpeed();
    return end(Result::Complete, Stage::Finished,
               {"2", "Powodzenie!", "Instalacja zakończona powodzeniem."_oem, {}});
  }
  archiveOrWarn(dirs.database, person, progress);
  out.closeScreen = convert::WIN2WIN(dirs, checks.databaseProgramRelease, progress);
  registerInstallation();
  end(Result::SomeFirmsFailed, Stage::Finished, runEndBox({Result::SomeFirmsFailed, {}, {}}));
  progress.closeWindow();
  recordSpeed();
  return out;
}

}  // namespace tav::upgrade

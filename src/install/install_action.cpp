// The first installation's one call. Its order, with the routine that does each step:
//   both directories named, with their backslash; their names   ANALIZA_KAT
//   missing directories created when the person agrees          MAKEDIR
//   the program directory empty, the database's empty or a database   listDirectory
//   the disk access tests of both                               SA_BLEDY
//   a new database from the release's str\, xml\, public\, wb.dbf   copyChecked, PAKUJ_DO_ZIPA
//   or an existing one: its year (the year before asks for the program of this year), its
//     release, and its upgrade when it is older                 UPGRADE_NOWEJ_BAZY
//   the program files, baza.dbf and the program's year          copyChecked, writeDatabasePath
//   the registration                                            REJESTRY
//
// Paths stay in code page 852 as the fields hold them (the file layer takes 852 names); only the
// registry gets them in the ANSI page.
#include "install/install_action.h"

#include <algorithm>
#include <optional>

#include "convert/program_refresh.h"
#include "convert/release_catalogue.h"
#include "db/directories.h"
#include "db/disk_checks.h"
#include "db/files.h"
#include "db/structure_change.h"
#include "db/table_access.h"
#include "db/version_record.h"
#include "engine/workspace.h"
#include "install/registration.h"
#include "os/files.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "upgrade/release_archive.h"
#include "upgrade/upgrade_action.h"

namespace tav::install {
namespace {

using namespace rt::literals;
using Branch = InstallOutcome::Branch;
using Field = InstallOutcome::Field;
using upgrade::Result;

// The error box lists at most this many files; the count says how many more there were.
constexpr size_t kFilesShown = 8;

// A directory of the release copied into the installation, and how far the bar then moves.
struct DirectoryCopy {
  const char* from;  // in the release (the working directory)
  const char* to;    // below the database's or the program's directory
  int advance;
};
constexpr DirectoryCopy kDatabaseCopies[] = {
    {".\\str\\", "str\\", 7}, {".\\xml\\", "str\\xml\\", 1}, {".\\public\\", "public\\", 1}};
constexpr DirectoryCopy kProgramCopies[] = {{".\\czytaj.to\\", "czytaj.to\\", 1},
                                            {".\\ravimon\\", "ravimon\\", 1},
                                            {".\\mask\\", "mask\\", 0},
                                            {".\\w001\\", "dek\\", 0},
                                            {".\\txt\\", "txt\\", 1}};

std::string withoutBackslash(std::string dir) {
  if (!dir.empty() && dir.back() == '\\') dir.pop_back();
  return dir;
}

// The year before `year` as four digits; empty when `year` is no year.
std::string yearBefore(const std::string& year) {
  if (year.size() != 4 ||
      !std::all_of(year.begin(), year.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  return rt::StrZero(std::stoi(year) - 1, 4);
}

bool containsAny(const std::string& upperName, const std::vector<std::string>& texts) {
  for (const std::string& t : texts)
    if (upperName.find(rt::upper(t)) != std::string::npos) return true;
  return false;
}

// COPY_KAT with the mask "*.*", then a look at what arrived: every file the copy should have
// made must be in the target at the source's size. The ones that are not go to `failed`, so that
// an installation that lacks a file never calls itself finished.
void copyChecked(const std::string& source, const std::string& target,
                 std::vector<std::string>& failed, const std::vector<std::string>& only = {}) {
  db::COPY_KAT(source, target, "*.*", "", only);
  for (const os::DirEntry& e : os::listDirectory(source + "*.*")) {
    if (e.isDirectory()) continue;
    if (!only.empty() && !containsAny(rt::upper(e.name), only)) continue;
    const std::string copy = target + rt::lower(e.name);
    const auto had = os::fileSize(source + e.name), got = os::fileSize(copy);
    if (!got || had != got) failed.push_back(copy);
  }
}

void fileChecked(const std::string& source, const std::string& target,
                 std::vector<std::string>& failed) {
  if (!db::FCOPY(source, target)) failed.push_back(target);
}

// baza.dbf: the one record that tells the installed program where its books are.
bool writeDatabasePath(const std::string& program, const std::string& database) {
  if (!db::LBCREATE(program + "baza.dbf", {{"PATH", 'C', static_cast<int>(kDatabasePathLimit), 0}}))
    return false;
  // Straight into the area: the table is too small yet for OTWORZ's size rule.
  if (!db::USEEX(program + "baza.dbf", "baza")) return false;
  bool written = false;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find("baza");
    if (!a->append()) return;
    a->put("PATH", rt::Value(database));
    a->commit();
    written = true;
  });
  rt::guarded([] { db::CLOSEALL(); });
  return written;
}

// What was copied stays (there is no rollback), so the next attempt needs the directories the
// emptiness checks ask for: the program's always, the database's too when it was made here.
std::string failedFilesText(const std::vector<std::string>& files, bool newDatabase) {
  std::string text =
      "Nie udało się skopiować wszystkich plików programu.;Instalacja nie została zakończona:"_oem;
  for (size_t i = 0; i < files.size() && i < kFilesShown; ++i) text += ";" + files[i];
  if (files.size() > kFilesShown)
    text += ";... i "_oem + std::to_string(files.size() - kFilesShown) + " innych"_oem;
  return text +
         (newDatabase
              ? ";Usuń przyczynę, opróżnij oba katalogi i zainstaluj program ponownie."_oem
              : ";Usuń przyczynę, opróżnij katalog Programu i zainstaluj program ponownie."_oem);
}

frontend::Question question(frontend::Question::Kind kind, frontend::Box box) {
  frontend::Question q{kind, std::move(box), {}, {}, false};
  return q;
}

// The installation as it goes: the outcome it builds, and the ways it ends.
class Installation {
 public:
  Installation(const InstallRequest& request, frontend::Questions& person,
               frontend::Progress& progress)
      : request_(request), person_(person), progress_(progress) {}

  InstallOutcome run();

 private:
  InstallOutcome& refuse(Field field, const std::string& title, const std::string& text) {
    out_.field = field;
    return end(Result::Refused, {"3", title, text, {}});
  }
  // A check that told its own box (a name refused, a disk test failed) ends with that box.
  InstallOutcome& refusedByItsBox(Field field) {
    out_.field = field;
    end(Result::Refused);
    out_.title = person_.lastWarning().title;
    out_.message = person_.lastWarning().text;
    return out_;
  }
  InstallOutcome& end(Result result, const frontend::Box& box = {}) {
    out_.result = result;
    out_.title = box.title;
    out_.message = box.text;
    if (!box.empty()) person_.tell(box);
    return out_;
  }
  // Asks; a no ends the installation there, the question kept for the caller to say which.
  bool agreed(Field field, const frontend::Question& q) {
    if (person_.ask(q).yes) return true;
    out_.field = field;
    out_.declined = q;
    end(Result::Declined);
    return false;
  }
  bool createMissing(const std::string& dir, bool program);
  // The program directory of the release's year, for a database of the year before; empty when
  // none was named (the outcome says why).
  std::optional<std::string> programOfYear();
  bool newDatabase(const std::string& database, std::vector<std::string>& failed);
  bool takeExisting(const std::string& program, const std::string& database, std::string& year);

  const InstallRequest& request_;
  frontend::RememberingQuestions person_;
  frontend::Progress& progress_;
  InstallOutcome out_;
};

bool Installation::createMissing(const std::string& dir, bool program) {
  if (os::isDirectory(withoutBackslash(dir))) return true;
  frontend::Question q = question(frontend::Question::Kind::CreateDirectory,
                                  {"5",
                                   "Brak Katalogu",
                                   program ? "Katalog dla Programu nie istnieje!"_oem
                                           : "Katalog dla Bazy Danych nie istnieje!"_oem,
                                   {"Założyć"_oem, "Rezygnuję"_oem}});
  q.directory = dir;
  q.program = program;
  const Field field = program ? Field::Program : Field::Database;
  if (!agreed(field, q)) return false;
  db::MAKEDIR(withoutBackslash(dir));
  if (os::isDirectory(withoutBackslash(dir))) return true;
  refuse(field, "Błędna nazwa"_oem,
         (program ? "Nie jest możliwe założenie katalogu dla Programu;"_oem
                  : "Nie jest możliwe założenie katalogu Bazy Danych;"_oem) +
             rt::allTrim(program ? request_.directories.program : request_.directories.database));
  return false;
}

std::optional<std::string> Installation::programOfYear() {
  const std::string& year = request_.release.year;
  std::string last;
  while (true) {
    frontend::Question name = question(frontend::Question::Kind::NameProgramOfYear,
                                       {"", "Katalog programu na rok "_oem + year, {}, {}});
    name.directory = last;
    name.year = year;
    const frontend::Answer chosen = person_.ask(name);
    if (chosen.directory.empty()) {
      out_.field = Field::Database;
      out_.declined = name;
      end(Result::Declined);
      return std::nullopt;
    }
    last = chosen.directory;
    const std::string dir = db::withBackslash(chosen.directory);
    std::string problem;
    if (!os::exists(dir + "tav.exe")) {
      problem = "Wskazany katolog nie zawiera programu TAV!;Czy chcesz wybrać inny katalog?"_oem;
    } else {
      const std::optional<db::VersionRecord> r = db::readVersionRecord(dir);
      if (!r || r->rok != year)
        problem = "Wskazany katolog nie zawiera programu TAV na rok "_oem + year +
                  "!;Czy chcesz wybrać inny katalog?"_oem;
    }
    if (problem.empty()) return dir;
    frontend::Question again =
        question(frontend::Question::Kind::NameAnotherProgram,
                 {"6", "błąd!"_oem, problem, {"Wybieram dalej"_oem, "Rezygnuję"_oem}});
    again.directory = dir;
    if (!agreed(Field::Database, again)) return std::nullopt;
  }
}

bool Installation::newDatabase(const std::string& database, std::vector<std::string>& failed) {
  out_.branch = Branch::NewDatabase;
  progress_.restart(11, "Instalacja nowej bazy danych..."_oem);
  for (const char* d : {"install", "public", "str", "str\\xml", "str\\zest"})
    if (!os::isDirectory(database + d)) db::MKDIR(database + d);
  progress_.advance(1);
  for (const DirectoryCopy& c : kDatabaseCopies) {
    copyChecked(c.from, database + c.to, failed);
    progress_.advance(c.advance);
  }
  fileChecked(".\\wb.dbf", database + "wersja.dbf", failed);
  fileChecked(".\\str\\semafor.dbf", database + "semafor.dbf", failed);
  progress_.advance(1);
  upgrade::archiveOrWarn(database, person_, progress_);
  if (const auto r = db::readVersionRecord(database)) out_.releaseAfter = r->baza;
  return true;
}

bool Installation::takeExisting(const std::string& program, const std::string& database,
                                std::string& year) {
  const std::string& thisYear = request_.release.year;
  const std::optional<db::VersionRecord> record = db::readVersionRecord(database);
  if (!record) {
    refuse(Field::Database, "Błąd pliku!"_oem,
           "Nie mogę otworzyć pliku *wersja.dbf* Instalacja przerwana!"_oem);
    return false;
  }
  rt::guarded([] { db::CLOSEALL(); });
  year = record->rok;
  out_.year = year;
  out_.releaseBefore = out_.releaseAfter = record->baza;

  if (year != thisYear) {
    if (year.empty() || year != yearBefore(thisYear)) {
      refuse(Field::Database, "Błąd"_oem,
             "Instalacja programu do bazy na rok "_oem + year + ";jest niemożliwa!"_oem);
      return false;
    }
    frontend::Question take = question(
        frontend::Question::Kind::TakeDatabaseOfYearBefore,
        {"5",
         "Uwaga!",
         "Instalujesz program na rok "_oem + year +
             ". Potwierdź!;Jeżeli potwierdzisz musisz wskazać katalog z programem na rok "_oem +
             thisYear + "!",
         {"Potwierdzam"_oem, "Rezygnuję"_oem}});
    take.directory = database;
    take.year = year;
    if (!agreed(Field::Database, take)) return false;
    const std::optional<std::string> previous = programOfYear();
    if (!previous) return false;
    out_.previousProgram = *previous;
  }

  upgrade::DatabaseRun run{Result::Complete, {}, {}};
  if (convert::releaseBelow(request_.release.database, record->baza)) {
    run = {Result::Refused,
           "Istniejąca wersja bazy danych ("_oem + record->baza +
               ") wymaga przynajmniej wersji "_oem + record->tav +
               " programu WinTav.; Zainstaluj wyższą wersję programu"_oem,
           {}};
  } else if (convert::releaseBelow(record->baza, request_.release.database) || !record->ok) {
    // The database is about to change. The screens have nothing to show here (the person chose
    // it, and an upgrade of it is what the installation does); an unattended run needs --yes.
    frontend::Question upgrading = question(frontend::Question::Kind::ConfirmUpgrade, {});
    upgrading.directory = database;
    if (!agreed(Field::Database, upgrading)) return false;
    out_.branch = Branch::ExistingUpgraded;
    out_.databaseRun = true;
    upgrade::UpgradedDatabase upgraded = upgrade::upgradeDatabase({program, database}, record->baza,
                                                                  person_, progress_, request_.run);
    if (upgraded.run.result == Result::Complete || upgraded.run.result == Result::SomeFirmsFailed)
      upgrade::archiveOrWarn(database, person_, progress_);
    // The run's window goes whatever the run came to: left standing, it would cover the screen
    // the user corrects the directories in.
    progress_.closeWindow();
    out_.releaseAfter = upgraded.releaseAfter;
    out_.run = std::move(upgraded.run.record);
    run = std::move(upgraded.run);
  } else {
    out_.branch = Branch::ExistingCurrent;
  }
  if (run.result == Result::Complete) return true;
  out_.field = Field::Database;
  end(run.result, upgrade::runEndBox(run));
  return false;
}

InstallOutcome Installation::run() {
  upgrade::useReleaseArguments(request_.release);
  out_.year = request_.release.year;

  // Both directories, with their backslash.
  std::string program = rt::allTrim(request_.directories.program);
  std::string database = rt::allTrim(request_.directories.database);
  if (program.empty())
    return refuse(Field::Program, "Katalog Programu", "Katalog do instalacji Programu jest pusty!");
  if (database.empty())
    return refuse(Field::Database, "Katalog bazy danych",
                  "Katalog do instalacji Bazy Danych jest pusty!");
  program = db::withBackslash(program);
  database = db::withBackslash(database);
  out_.directories = {program, database};

  // The names.
  if (!db::ANALIZA_KAT(program, "P", person_)) return refusedByItsBox(Field::Program);
  if (!db::ANALIZA_KAT(database, "B", person_)) return refusedByItsBox(Field::Database);
  if (rt::upper(program) == rt::upper(database))
    return refuse(Field::Program, "Błędne katalogi"_oem,
                  "Katalogi do instalacji Bazy Danych;i programu muszą być rózne!"_oem);
  // baza.dbf keeps the path in a field of its own width: a longer one would be stored cut, and
  // the program would look for its books elsewhere. Refused before anything is created.
  if (database.size() > kDatabasePathLimit)
    return refuse(Field::Database, "Katalog bazy danych",
                  "Ścieżka katalogu Bazy Danych może mieć najwyżej "_oem +
                      std::to_string(kDatabasePathLimit) +
                      " znaków;(razem z końcowym znakiem \\), a ma "_oem +
                      std::to_string(database.size()) + "!");

  // Missing directories, created on request.
  if (!createMissing(program, true) || !createMissing(database, false)) return out_;

  // Emptiness; hidden and system entries count too.
  if (!os::listDirectory(program + "*.*", "DHS").empty())
    return refuse(Field::Program, "Błąd katalogu"_oem,
                  "Katalog w którym zostanie zainstalowany Program;musi być pusty!"_oem);
  const bool databaseEmpty = os::listDirectory(database + "*.*", "DHS").empty();
  if (!databaseEmpty)
    for (const char* f : {"wersja.dbf", "install.dbf", "semafor.dbf", "str\\ks_dok.dbf"})
      if (!os::exists(database + f))
        return refuse(Field::Database, "Błąd katalogu"_oem,
                      "Katalog w którym zostanie zainstalowana Baza danych;musi być pusty!"_oem);

  // The disk access tests show their own messages.
  for (const auto& [dir, kind, field] :
       {std::tuple{program, "P", Field::Program}, std::tuple{database, "B", Field::Database}})
    if (db::SA_BLEDY(dir, kind, person_)) {
      out_.diskTestFailed = true;
      return refusedByItsBox(field);
    }

  std::vector<std::string>& failed = out_.failedFiles;
  std::string year = request_.release.year;
  const bool isNew = !os::exists(database + "install.dbf") ||
                     !os::exists(database + "str\\klient.fpt") ||
                     !os::exists(database + "str\\ks_dok.dbf");
  if (isNew ? !newDatabase(database, failed) : !takeExisting(program, database, year)) return out_;

  // The program files.
  progress_.restart(42, "Kopiowanie plików programu..."_oem);
  for (const char* d :
       {"czytaj.to", "export", "export\\zus", "export\\edek", "export\\crm", "export\\gus",
        "export\\nfz", "mask", "ravimon", "install", "setings", "temp", "temp\\arch", "txt", "dek"})
    if (!os::isDirectory(program + d)) db::MKDIR(program + d);
  progress_.advance(1);
  if (!out_.previousProgram.empty())
    copyChecked(out_.previousProgram + "setings\\", program + "setings\\", failed);
  for (const DirectoryCopy& c : kProgramCopies) {
    copyChecked(c.from, program + c.to, failed);
    if (c.advance) progress_.advance(c.advance);
  }
  copyChecked(".\\", program, failed, {".DLL"});
  progress_.advance(10);
  for (const char* f : {"tav.exe", "un_tav.exe", "7z.exe", "openssl.exe", "msxsl.exe"})
    fileChecked(std::string(".\\") + f, program + f, failed);
  fileChecked(".\\wk.dbf", program + "wersja.dbf", failed);
  progress_.advance(28);
  if (!writeDatabasePath(program, database)) failed.push_back(program + "baza.dbf");
  if (!db::writeVersionYear(program, year)) failed.push_back(program + "wersja.dbf");
  progress_.removeBar();

  // A program that lacks a file is no installation: no registration, no success, and the screen
  // stays for another attempt once the cause is gone.
  if (!failed.empty()) {
    out_.field = Field::Program;
    return end(Result::Failed, {"3", "Błąd instalacji"_oem, failedFilesText(failed, isNew), {}});
  }

  // The program installed is the release's: the database demands its level from now on, as an
  // upgrade's program refresh would have raised it.
  db::raiseProgramLevel(database, convert::shippedProgramLevel());
  out_.registryRefused = REJESTRY(rt::oemToAnsi(program), rt::oemToAnsi(database), year);
  out_.registered = true;
  return end(Result::Complete,
             {"2", "Koniec instalacji", "Instalacja programu zakończyła się powodzeniem."_oem, {}});
}

}  // namespace

const char* branchName(Branch b) {
  switch (b) {
    case Branch::NewDatabase:
      return "new database";
    case Branch::ExistingUpgraded:
      return "existing database upgraded";
    case Branch::ExistingCurrent:
      return "existing database current";
    case Branch::None:
      break;
  }
  return "none";
}

InstallOutcome installProgram(const InstallRequest& request, frontend::Questions& person,
                              frontend::Progress& progress) {
  return Installation(request, person, progress).run();
}

}  // namespace tav::install

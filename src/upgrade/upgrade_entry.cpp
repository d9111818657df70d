// The upgrade dialog and its entry: the checks in the order users and support know them, the
// confirmation, the decision on the database and the two finishing orders.
#include "upgrade/upgrade_entry.h"

#include "convert/program_refresh.h"
#include "convert/release_catalogue.h"
#include "convert/speed_class.h"
#include "db/directories.h"
#include "db/disk_checks.h"
#include "db/files.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "gui/application.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "shell/dialogs/action_screen.h"
#include "shell/dialogs/alarm.h"
#include "shell/dialogs/progress_bar.h"
#include "upgrade/duration_estimate.h"
#include "upgrade/progress_times.h"
#include "upgrade/release_archive.h"
#include "upgrade/upgrade_plan.h"
#include "upgrade/upgrade_run.h"

namespace tav::upgrade {
namespace {

using namespace rt::literals;

// The oldest program an upgrade can start from; older ones need the release in between.
constexpr const char* kMinimumProgramRelease = "24.01.078";
constexpr int kDirectoryFieldLength = 128;

// A path as a program running in `directory` reads it: relative forms start there.
std::string resolvedFrom(const std::string& directory, const std::string& path) {
  const std::string here = os::currentDirectory();
  if (!os::changeDirectory(directory)) return path;
  std::string full = os::fullPath(path);
  os::changeDirectory(here);
  return full;
}

InstallationServices& services() {
  static InstallationServices s;
  return s;
}

Confirmation& confirmation() {
  static Confirmation c;
  return c;
}

EntryOutcome& outcome() {
  static EntryOutcome o;
  return o;
}

UpgradeDialog& openDialog() {
  static UpgradeDialog d;
  return d;
}

// A field read as text: numbers (a year kept as a number) are written without decimals.
std::string fieldText(engine::WorkArea* a, const char* name) {
  std::string text;
  rt::guarded([&] {
    const rt::Value v = a->get(name);
    if (v.isText())
      text = rt::allTrim(v.str());
    else if (v.isNumber())
      text = rt::allTrim(rt::Str(v.num(), 10, 0));
  });
  return text;
}

struct ProgramVersion {
  std::string rok, tav;
};
struct DatabaseVersion {
  std::string baza, tav, rok;
  bool ok = false;
};

// Opens dir + name shared as `alias` and reads its one record; false when it does not open.
template <class Read>
bool readVersionTable(const std::string& dir, const char* name, const char* alias, Read read) {
  rt::guarded([&] { db::ZAMKNIJ(alias); });
  if (!db::S_OTWORZ(dir, name, alias)) return false;
  engine::WorkArea* a = engine::workspace().find(alias);
  rt::guarded([&] { a->goTop(); });
  read(a);
  rt::guarded([&] { db::ZAMKNIJ(alias); });
  return true;
}

}  // namespace

InstallationServices setInstallationServices(InstallationServices s) {
  std::swap(services(), s);
  return s;
}

Confirmation setConfirmation(Confirmation c) {
  std::swap(confirmation(), c);
  return c;
}

const EntryOutcome& lastEntry() { return outcome(); }
const UpgradeDialog& openUpgradeDialog() { return openDialog(); }

UpgradeChecks checkUpgrade(const std::string& typed) {
  auto& sv = rt::shared();
  UpgradeChecks c;
  auto refuse = [&](const std::string& title, const std::string& text) {
    c.title = title;
    c.text = text;
    return c;
  };

  std::string program = rt::allTrim(typed);
  if (program.empty())
    return refuse("Katalog Programu", "Nie wprowadzono katalogu, z bieżącą wersją TAV"_oem);
  program = db::withBackslash(program);
  c.program = program;
  for (const char* f : {"ot4xb.dll", "baza.dbf", "wersja.dbf"})
    if (!os::exists(program + f))
      return refuse(
          "Błąd katalogu"_oem,
          "Wskazany katalog z bieżącym Programem nie zawiera;Programu TAV w wersji Windows"_oem);

  ProgramVersion pv;
  if (!readVersionTable(program, "wersja", "wer", [&](engine::WorkArea* a) {
        pv.rok = fieldText(a, "rok");
        pv.tav = fieldText(a, "tav");
      }))
    return refuse("Katalog Programu", "Nie można otworzyć pliku;"_oem + program + "wersja.dbf");
  c.programRelease = pv.tav;
  if (pv.rok != sv.roczek)
    return refuse("Błąd"_oem, "Wskazany program obowiązuje w roku "_oem + pv.rok);
  if (convert::releaseBelow(sv.wersja_p, pv.tav))
    return refuse(
        "Błędna wersja"_oem,
        "Instalowana wersja TAV jest niższa od wersji istniejącej.;Bieżąca wersja="_oem + pv.tav);
  if (convert::releaseBelow(pv.tav, kMinimumProgramRelease))
    return refuse("Błędna wersja"_oem,
                  "Minimalna wersja TAV dla której można wykonać upgrade;wynosi dla roku "_oem +
                      sv.roczek + " " + kMinimumProgramRelease);

  std::string database;
  if (!readVersionTable(program, "baza", "baza",
                        [&](engine::WorkArea* a) { database = fieldText(a, "path"); }))
    return refuse("Katalog Programu", "Nie można otworzyć pliku;"_oem + program + "baza.dbf");
  if (database.empty())
    return refuse(
        "Katalog Bazy danych",
        "Katalog z bazą danych jest pusty;Uruchom TAV i wskaż poprawny katalog z bazą"_oem);
  // The program finds its books from its own directory, so a path written relative to it
  // ("..\\dane", "C:dane", "\\dane") means what it means there, not in the release's directory
  // the tool runs from.
  database = db::withBackslash(resolvedFrom(program, database));
  c.database = database;

  DatabaseVersion dv;
  if (!readVersionTable(database, "wersja", "wer", [&](engine::WorkArea* a) {
        dv.baza = fieldText(a, "baza");
        dv.tav = fieldText(a, "tav");
        dv.rok = fieldText(a, "rok");
        dv.ok = fieldText(a, "ok") == "T";
      }))
    return refuse("Błąd bazy"_oem, "Nie można otworzyć pliku;"_oem + database + "wersja.dbf");
  c.databaseRelease = dv.baza;
  c.databaseProgramRelease = dv.tav;
  c.complete = dv.ok;
  if (dv.rok != sv.roczek)
    return refuse("Błąd"_oem, "Baza wskazanego programu obowiązuje w roku "_oem + dv.rok);
  // Asked before the confirmation: the estimate records the workstation in the database, and a
  // database the tool cannot take must be left exactly as it was.
  if (convert::releaseBelow(sv.wersja_b, dv.baza))
    return refuse(
        "Błąd bazy"_oem,
        "Bieżąca wersja Bazy jest większa od wymaganej przez program;Zainstaluj nowszą wersję programu!;minimum "_oem +
            dv.tav);
  return c;
}

bool UpgradeChecks::databaseRunDue() const {
  return convert::releaseBelow(databaseRelease, rt::shared().wersja_b) || !complete;
}

void INSTALUJ(gui::Dialog& dialog, gui::Edit& field, bool& koniec) {
  auto& sv = rt::shared();
  koniec = false;
  outcome() = EntryOutcome{};
  gui::Widget& area = dialog.drawingArea();
  auto backToField = [&] {
    area.enable();
    field.setFocus();
  };
  auto refuse = [&](const std::string& title, const std::string& text) {
    outcome().title = title;
    outcome().result = text;
    shell::ALARM({}, "3", rt::Value(title), rt::Value(text));
    backToField();
  };

  const UpgradeChecks checks = checkUpgrade(field.text());
  outcome().programDirectory = checks.program;
  outcome().databaseDirectory = checks.database;
  outcome().releaseBefore = outcome().releaseAfter = checks.databaseRelease;
  if (!checks.passed()) return refuse(checks.title, checks.text);
  const std::string& program = checks.program;
  const std::string& database = checks.database;
  DatabaseVersion dv;
  dv.baza = checks.databaseRelease;
  dv.tav = checks.databaseProgramRelease;
  dv.ok = checks.complete;

  const bool confirmed =
      confirmation() ? confirmation()(database, dv.tav) : POKAZ_CZAS(database, dv.tav);
  if (!confirmed) {
    outcome().declined = true;
    return backToField();
  }

  // Space for the run, before anything is written: a disk that fills up half way would leave the
  // books to the next attempt.
  const UpgradePlan plan = planUpgrade(field.text(), false);
  const uint64_t needed = spaceNeeded(plan), available = freeSpace(database);
  if (available > 0 && available < needed) {
    auto mb = [](uint64_t bytes) {
      return rt::lTrim(rt::Str(static_cast<double>(bytes) / 1e6, 12, 1));
    };
    return refuse("Brak miejsca na dysku", "Aktualizacja potrzebuje "_oem + mb(needed) +
                                               " MB wolnego miejsca;na dysku z bazą danych "_oem +
                                               database + ",;a wolnych jest tylko "_oem +
                                               mb(available) +
                                               " MB.;Zwolnij miejsce i spróbuj jeszcze raz."_oem);
  }

  std::string result;
  const double start = rt::secondsSinceMidnight();
  gui::Dialog* progressWindow = nullptr;
  gui::Widget* progressArea = nullptr;
  auto removeProgress = [&] {
    shell::LICZNIK(rt::Value("DEL"));
    if (progressWindow && gui::app().find(progressWindow->id())) progressWindow->destroy();
    progressWindow = nullptr;
    progressArea = nullptr;
  };
  if (checks.databaseRunDue()) {
    if (db::SA_BLEDY(database, "B")) return backToField();
    outcome().databaseRun = true;
    result = UPGRADE_NOWEJ_BAZY(&dialog, program, database, dv.baza, progressWindow, progressArea);
    readVersionTable(database, "wersja", "wer",
                     [&](engine::WorkArea* a) { outcome().releaseAfter = fieldText(a, "baza"); });
  } else {
    result = "00";
  }
  outcome().result = result;

  auto registerInstallation = [&] {
    if (services().registerInstallation)
      services().registerInstallation(program, database, sv.roczek);
  };
  auto recordSpeed = [&] {
    ZAPISZ_PREDKOSC(elapsedSeconds(start, rt::secondsSinceMidnight()), database);
    convert::setSpeedClass(1);
  };
  const bool whole = result == "00";
  // The refresh copies over the program's files: what a killed refresh left goes first.
  if (whole || result.rfind("01", 0) == 0)
    for (const char* dir : {"", "txt\\"}) db::removeLeftovers(program + dir);
  const bool partial = result.rfind("01", 0) == 0;
  if (whole || partial) {
    if (db::SA_BLEDY(program, "P")) {
      // The run's window must not stay over a dialog the user works in again.
      removeProgress();
      return backToField();
    }
    if (whole) {
      registerInstallation();
      koniec = convert::WIN2WIN(&dialog, program, database, progressWindow, progressArea, dv.tav);
      archiveOrWarn(database);
      removeProgress();
      recordSpeed();
      outcome().title = "Powodzenie!";
      shell::ALARM({}, "2", rt::Value("Powodzenie!"),
                   rt::Value("Instalacja zakończona powodzeniem."_oem));
      area.enable();
    } else {
      archiveOrWarn(database);
      koniec = convert::WIN2WIN(&dialog, program, database, progressWindow, progressArea, dv.tav);
      registerInstallation();
      outcome().title = "Ostrzeżenie!"_oem;
      shell::ALARM(
          {}, "3", rt::Value("Ostrzeżenie!"_oem),
          rt::Value("Część firm nie została zainstalowana.;Zobacz raport z instalacji"_oem));
      removeProgress();
      area.enable();
      dialog.setFocus();
      recordSpeed();
    }
    return;
  }
  outcome().title = "Błąd instalacji"_oem;
  shell::ALARM({}, "3", rt::Value("Błąd instalacji"_oem), rt::Value(result));
  removeProgress();
  area.enable();
  dialog.setFocus();
}

void UPGRADE(gui::Dialog& mainWindow) {
  auto& sv = rt::shared();
  shell::ActionScreen screen(mainWindow, "Aktualizacja programu");
  gui::Dialog& d = screen.dialog();
  gui::Widget& da = screen.area();
  const int W = screen.width(), H = screen.height(), m = screen.margin();
  bool koniec = false;

  UpgradeDialog& ui = openDialog();
  ui = UpgradeDialog{};
  ui.dialog = &d;
  ui.back = &screen.button({m, m}, "Poprzedni ekran");
  ui.install = &screen.button({W - m - screen.buttonWidth(), m}, "Zainstaluj Program");
  screen.label({m, H - 2 * m}, {W - 2 * m, m},
               "Wybierz katalog, w którym masz zainstalowany PROGRAM TAV na rok "_oem + sv.roczek);
  sv.cTAV = sv.cProgram;
  ui.directory = &screen.directoryField(H - 3 * m - m / 2, kDirectoryFieldLength, sv.cTAV,
                                        ui.folder, [&](gui::Edit& field) {
                                          if (services().chooseDirectory)
                                            services().chooseDirectory(d, field);
                                          koniec = false;
                                        });

  gui::Edit* field = ui.directory;
  ui.back->onActivate = [&](gui::Widget&) { koniec = true; };
  ui.install->onActivate = [&](gui::Widget&) {
    da.disable();
    INSTALUJ(d, *field, koniec);
    da.enable();
  };
  screen.run(*field, koniec);
  if (services().closeChooser) services().closeChooser();
  ui = UpgradeDialog{};
}

}  // namespace tav::upgrade

// The first installation: its screen and its INSTALUJ, the checks in the order users and support
// know them, the new or existing database, the program files and the registration.
//
// Paths stay in code page 852 as the fields hold them (the file layer takes 852 names); only the
// registry gets them in the ANSI page, through REJESTRY's caller here.
#include "install/first_install.h"

#include <algorithm>

#include "convert/release_catalogue.h"
#include "db/directories.h"
#include "db/disk_checks.h"
#include "db/files.h"
#include "db/structure_change.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "gui/application.h"
#include "install/dir_chooser.h"
#include "install/registration.h"
#include "os/files.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "shell/dialogs/action_screen.h"
#include "shell/dialogs/alarm.h"
#include "shell/dialogs/progress_bar.h"
#include "upgrade/release_archive.h"
#include "upgrade/upgrade_run.h"

namespace tav::install {
namespace {

using namespace rt::literals;
using Branch = InstallOutcome::Branch;

constexpr int kDirectoryFieldLength = 128;
// The error box lists at most this many files; the count says how many more there were.
constexpr size_t kFilesShown = 8;

ProgramDirectoryChoice& programChoice() {
  static ProgramDirectoryChoice c;
  return c;
}

InstallOutcome& outcome() {
  static InstallOutcome o;
  return o;
}

FirstInstallScreen& openScreen() {
  static FirstInstallScreen s;
  return s;
}

std::string withoutBackslash(std::string dir) {
  if (!dir.empty() && dir.back() == '\\') dir.pop_back();
  return dir;
}

// A field read as text: a year kept as a number is written without decimals.
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

// wersja.dbf of the program carries the year of the database it works with.
bool writeProgramYear(const std::string& program, const std::string& year) {
  if (!db::S_OTWORZ(program, "wersja", "wersja")) return false;
  bool written = false;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find("wersja");
    a->goTop();
    if (a->eof() || !db::REK_LOCK()) return;
    a->put("rok", rt::Value(year));
    a->commit();
    a->unlock();
    written = true;
  });
  rt::guarded([] { db::ZAMKNIJ("wersja"); });
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

}  // namespace

ProgramDirectoryChoice setProgramDirectoryChoice(ProgramDirectoryChoice c) {
  std::swap(programChoice(), c);
  return c;
}

const InstallOutcome& lastInstall() { return outcome(); }
const FirstInstallScreen& openFirstInstallScreen() { return openScreen(); }

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

void INSTALUJ(gui::Dialog& dialog, gui::Edit& programField, gui::Edit& databaseField,
              bool& koniec) {
  auto& sv = rt::shared();
  InstallOutcome& out = outcome();
  out = InstallOutcome{};
  gui::Widget& area = dialog.drawingArea();
  auto backTo = [&](gui::Edit& field) {
    area.enable();
    field.setFocus();
  };
  auto refuse = [&](gui::Edit& field, const std::string& title, const std::string& text) {
    out.title = title;
    out.result = text;
    shell::ALARM({}, "3", rt::Value(title), rt::Value(text));
    backTo(field);
  };
  auto ask = [&](const char* type, const std::string& title, const std::string& text,
                 std::initializer_list<const char*> buttons) {
    rt::Array captions;
    for (const char* b : buttons) captions.push_back(rt::Value(rt::utf8ToOem(b)));
    return shell::ALARM({}, type, rt::Value(title), rt::Value(text), rt::Value(captions)).choice;
  };

  // 1-3: both directories, with their backslash.
  std::string P = rt::allTrim(programField.text());
  std::string B = rt::allTrim(databaseField.text());
  std::string Y = sv.roczek;
  out.year = Y;
  if (P.empty())
    return refuse(programField, "Katalog Programu", "Katalog do instalacji Programu jest pusty!");
  if (B.empty())
    return refuse(databaseField, "Katalog bazy danych",
                  "Katalog do instalacji Bazy Danych jest pusty!");
  P = db::withBackslash(P);
  B = db::withBackslash(B);
  out.programDirectory = P;
  out.databaseDirectory = B;

  // 4-5: the names.
  if (!db::ANALIZA_KAT(P, "P")) return backTo(programField);
  if (!db::ANALIZA_KAT(B, "B")) return backTo(databaseField);
  if (rt::upper(P) == rt::upper(B))
    return refuse(programField, "Błędne katalogi"_oem,
                  "Katalogi do instalacji Bazy Danych;i programu muszą być rózne!"_oem);
  // baza.dbf keeps the path in a field of its own width: a longer one would be stored cut, and the
  // program would look for its books elsewhere. Refused before anything is created.
  if (B.size() > kDatabasePathLimit)
    return refuse(databaseField, "Katalog bazy danych",
                  "Ścieżka katalogu Bazy Danych może mieć najwyżej "_oem +
                      std::to_string(kDatabasePathLimit) +
                      " znaków;(razem z końcowym znakiem \\), a ma "_oem +
                      std::to_string(B.size()) + "!");

  // 6: missing directories, created on request.
  struct Place {
    const std::string& dir;
    gui::Edit& field;
    const char* missing;
    const char* uncreatable;
  };
  const Place places[] = {{P, programField, "Katalog dla Programu nie istnieje!",
                           "Nie jest możliwe założenie katalogu dla Programu;"},
                          {B, databaseField, "Katalog dla Bazy Danych nie istnieje!",
                           "Nie jest możliwe założenie katalogu Bazy Danych;"}};
  for (const Place& p : places) {
    const std::string dir = withoutBackslash(p.dir);
    if (os::isDirectory(dir)) continue;
    if (ask("5", "Brak Katalogu", rt::utf8ToOem(p.missing), {"Założyć", "Rezygnuję"}) != 1)
      return backTo(p.field);
    db::MAKEDIR(dir);
    if (!os::isDirectory(dir))
      return refuse(p.field, "Błędna nazwa"_oem,
                    rt::utf8ToOem(p.uncreatable) + rt::allTrim(p.field.text()));
  }

  // 7: emptiness; hidden and system entries count too.
  if (!os::listDirectory(P + "*.*", "DHS").empty())
    return refuse(programField, "Błąd katalogu"_oem,
                  "Katalog w którym zostanie zainstalowany Program;musi być pusty!"_oem);
  const bool databaseEmpty = os::listDirectory(B + "*.*", "DHS").empty();
  if (!databaseEmpty)
    for (const char* f : {"wersja.dbf", "install.dbf", "semafor.dbf", "str\\ks_dok.dbf"})
      if (!os::exists(B + f))
        return refuse(databaseField, "Błąd katalogu"_oem,
                      "Katalog w którym zostanie zainstalowana Baza danych;musi być pusty!"_oem);

  // 8: the disk access tests show their own messages.
  if (db::SA_BLEDY(P, "P")) return backTo(programField);
  if (db::SA_BLEDY(B, "B")) return backTo(databaseField);

  // 9: where the progress bar stands.
  const int W = area.size().w, H = area.size().h;
  const int m = H / 12;
  bool progressShown = false;
  auto startProgress = [&](int steps, const std::string& caption) {
    if (progressShown) {
      shell::LICZNIK(rt::Value("NEW"), rt::Value(double(steps)), rt::Value(caption));
    } else {
      shell::LICZNIK(rt::Value(rt::Array{rt::Value(double(m)), rt::Value(double(3 * H / 10))}),
                     rt::Value(double(W - 2 * m)), rt::Value(double(steps)), rt::Value(caption),
                     &area);
      progressShown = true;
    }
  };
  auto advance = [](int n) { shell::LICZNIK(rt::Value(double(n))); };
  std::vector<std::string>& failed = out.failedFiles;

  std::string E;  // the program directory of the release's year, for a database of the year before
  const bool newDatabase = !os::exists(B + "install.dbf") || !os::exists(B + "str\\klient.fpt") ||
                           !os::exists(B + "str\\ks_dok.dbf");
  if (newDatabase) {
    // 10: a new database from the release's templates.
    out.branch = Branch::NewDatabase;
    startProgress(11, "Instalacja nowej bazy danych..."_oem);
    for (const char* d : {"install", "public", "str", "str\\xml", "str\\zest"})
      if (!os::isDirectory(B + d)) db::MKDIR(B + d);
    advance(1);
    copyChecked(".\\str\\", B + "str\\", failed);
    advance(6);
    advance(1);
    copyChecked(".\\xml\\", B + "str\\xml\\", failed);
    advance(1);
    copyChecked(".\\public\\", B + "public\\", failed);
    advance(1);
    fileChecked(".\\wb.dbf", B + "wersja.dbf", failed);
    fileChecked(".\\str\\semafor.dbf", B + "semafor.dbf", failed);
    advance(1);
    upgrade::archiveOrWarn(B);
    rt::guarded([&] {
      if (db::S_OTWORZ(B, "wersja", "wer"))
        out.releaseAfter = fieldText(engine::workspace().find("wer"), "baza");
      db::ZAMKNIJ("wer");
    });
  } else {
    // 11: an existing database.
    if (!db::S_OTWORZ(B, "wersja", "wer"))
      return refuse(databaseField, "Błąd pliku!"_oem,
                    "Nie mogę otworzyć pliku *wersja.dbf* Instalacja przerwana!"_oem);
    std::string D, K, rok;
    bool ok = false;
    rt::guarded([&] {
      engine::WorkArea* a = engine::workspace().find("wer");
      a->goTop();
      D = fieldText(a, "baza");
      K = fieldText(a, "tav");
      ok = fieldText(a, "ok") == "T";
      rok = fieldText(a, "rok");
    });
    rt::guarded([] { db::CLOSEALL(); });
    Y = rok;
    out.year = Y;
    out.releaseBefore = out.releaseAfter = D;

    if (Y != sv.roczek) {
      if (Y.empty() || Y != yearBefore(sv.roczek))
        return refuse(databaseField, "Błąd"_oem,
                      "Instalacja programu do bazy na rok "_oem + Y + ";jest niemożliwa!"_oem);
      if (ask("5", "Uwaga!",
              "Instalujesz program na rok "_oem + Y +
                  ". Potwierdź!;Jeżeli potwierdzisz musisz wskazać katalog z programem na rok "_oem +
                  sv.roczek + "!",
              {"Potwierdzam", "Rezygnuję"}) != 1)
        return backTo(databaseField);
      std::string last;
      while (true) {
        const std::string chosen =
            programChoice() ? programChoice()(last) : ORBDIRSELECT(rt::Value(last), false);
        if (chosen.empty()) return backTo(databaseField);
        last = chosen;
        const std::string dir = db::withBackslash(chosen);
        std::string problem;
        if (!os::exists(dir + "tav.exe")) {
          problem =
              "Wskazany katolog nie zawiera programu TAV!;Czy chcesz wybrać inny katalog?"_oem;
        } else {
          std::string programYear;
          if (db::S_OTWORZ(dir, "wersja", "wer")) {
            rt::guarded([&] {
              engine::WorkArea* a = engine::workspace().find("wer");
              a->goTop();
              programYear = fieldText(a, "rok");
            });
            rt::guarded([] { db::ZAMKNIJ("wer"); });
          }
          if (programYear != sv.roczek)
            problem = "Wskazany katolog nie zawiera programu TAV na rok "_oem + sv.roczek +
                      "!;Czy chcesz wybrać inny katalog?"_oem;
        }
        if (problem.empty()) {
          E = dir;
          break;
        }
        if (ask("6", "błąd!"_oem, problem, {"Wybieram dalej", "Rezygnuję"}) != 1)
          return backTo(databaseField);
      }
      out.previousProgram = E;
    }

    std::string status;
    if (convert::releaseBelow(sv.wersja_b, D)) {
      status = "Istniejąca wersja bazy danych ("_oem + D + ") wymaga przynajmniej wersji "_oem + K +
               " programu WinTav.; Zainstaluj wyższą wersję programu"_oem;
    } else if (convert::releaseBelow(D, sv.wersja_b) || !ok) {
      out.branch = Branch::ExistingUpgraded;
      out.databaseRun = true;
      gui::Dialog* progressWindow = nullptr;
      gui::Widget* progressArea = nullptr;
      status = upgrade::UPGRADE_NOWEJ_BAZY(&dialog, P, B, D, progressWindow, progressArea);
      if (status.size() == 2) upgrade::archiveOrWarn(B);
      // The run's window goes whatever the run came to: left standing, it would cover the screen
      // the user corrects the directories in.
      shell::LICZNIK(rt::Value("DEL"));
      if (progressWindow && gui::app().find(progressWindow->id())) progressWindow->destroy();
      rt::guarded([&] {
        if (db::S_OTWORZ(B, "wersja", "wer"))
          out.releaseAfter = fieldText(engine::workspace().find("wer"), "baza");
        db::ZAMKNIJ("wer");
      });
    } else {
      out.branch = Branch::ExistingCurrent;
      status = "00";
    }
    if (status != "00") {
      // The result stays the run's status ("01..." or its message) for the caller to tell apart.
      out.result = status;
      const bool partial = status.rfind("01", 0) == 0;
      out.title = partial ? "Ostrzeżenie!"_oem : "Błąd instalacji"_oem;
      shell::ALARM(
          {}, "3", rt::Value(out.title),
          rt::Value(partial ? "Część firm nie została zainstalowana.;Zobacz raport z instalacji"_oem
                            : status));
      return backTo(databaseField);
    }
  }

  // 12: the program files.
  startProgress(42, "Kopiowanie plików programu..."_oem);
  for (const char* d :
       {"czytaj.to", "export", "export\\zus", "export\\edek", "export\\crm", "export\\gus",
        "export\\nfz", "mask", "ravimon", "install", "setings", "temp", "temp\\arch", "txt", "dek"})
    if (!os::isDirectory(P + d)) db::MKDIR(P + d);
  advance(1);
  if (!E.empty()) copyChecked(E + "setings\\", P + "setings\\", failed);
  copyChecked(".\\czytaj.to\\", P + "czytaj.to\\", failed);
  advance(1);
  copyChecked(".\\ravimon\\", P + "ravimon\\", failed);
  advance(1);
  copyChecked(".\\mask\\", P + "mask\\", failed);
  copyChecked(".\\w001\\", P + "dek\\", failed);
  copyChecked(".\\txt\\", P + "txt\\", failed);
  advance(1);
  copyChecked(".\\", P, failed, {".DLL"});
  advance(10);
  for (const char* f : {"tav.exe", "un_tav.exe", "7z.exe", "openssl.exe", "msxsl.exe"})
    fileChecked(std::string(".\\") + f, P + f, failed);
  fileChecked(".\\wk.dbf", P + "wersja.dbf", failed);
  advance(28);
  if (!writeDatabasePath(P, B)) failed.push_back(P + "baza.dbf");
  if (!writeProgramYear(P, Y)) failed.push_back(P + "wersja.dbf");
  shell::LICZNIK(rt::Value("DEL"));

  // A program that lacks a file is no installation: no registration, no success, and the screen
  // stays for another attempt once the cause is gone.
  if (!failed.empty()) {
    out.result = failedFilesText(failed, newDatabase);
    return refuse(programField, "Błąd instalacji"_oem, out.result);
  }

  REJESTRY(rt::oemToAnsi(P), rt::oemToAnsi(B), Y);
  out.registered = true;
  out.result = "00";
  out.title = "Koniec instalacji";
  shell::ALARM({}, "2", rt::Value(out.title),
               rt::Value("Instalacja programu zakończyła się powodzeniem."_oem));
  area.enable();
  dialog.setFocus();
  koniec = true;
}

void PIERWSZA_INSTALACJA(gui::Dialog& mainWindow) {
  auto& sv = rt::shared();
  shell::ActionScreen screen(mainWindow, "Pierwsza instalacja programu");
  gui::Dialog& d = screen.dialog();
  gui::Widget& da = screen.area();
  const int W = screen.width(), H = screen.height(), m = screen.margin();
  bool koniec = false;

  FirstInstallScreen& ui = openScreen();
  ui = FirstInstallScreen{};
  ui.dialog = &d;
  ui.back = &screen.button({m, m}, "Poprzedni ekran");
  ui.install = &screen.button({W - m - screen.buttonWidth(), m}, "Zainstaluj Program");

  // Two rows from the top down, each a label over a field with its folder button beside it.
  auto row = [&](int top, const char* label, const std::string& initial, gui::Edit*& field,
                 gui::PushButton*& folder) {
    screen.label({m, top - m}, {W - 2 * m, m}, rt::utf8ToOem(label));
    field = &screen.directoryField(top - 2 * m - m / 10, kDirectoryFieldLength, initial, folder,
                                   [&d](gui::Edit& f) { WEZ_KAT(d, f); });
  };
  const std::string programInitial =
      !sv.cProgram.empty() ? sv.cProgram : "c:\\Tamborex\\Tav\\"_oem + sv.roczek + "\\";
  row(H - m / 3, "Wybierz katalog w którym zostanie zainstalowany PROGRAM", programInitial,
      ui.program, ui.programFolder);
  row(H - m / 3 - 5 * m / 2,
      "Wybierz katalog w którym zostanie (lub już jest) zainstalowana BAZA DANYCH", sv.cBaza,
      ui.database, ui.databaseFolder);

  gui::Edit* programField = ui.program;
  gui::Edit* databaseField = ui.database;
  ui.back->onActivate = [&](gui::Widget&) { koniec = true; };
  ui.install->onActivate = [&](gui::Widget&) {
    da.disable();
    INSTALUJ(d, *programField, *databaseField, koniec);
    da.enable();
  };
  screen.run(*programField, koniec);
  ORBDIRSELECT(rt::Value("CLOSE"));
  ui = FirstInstallScreen{};
}

}  // namespace tav::install

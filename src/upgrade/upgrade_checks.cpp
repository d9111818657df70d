// The upgrade's checks, one after another; the first that refuses ends them.
#include "upgrade/upgrade_checks.h"

#include <optional>

#include "convert/release_catalogue.h"
#include "db/directories.h"
#include "db/table_access.h"
#include "db/version_record.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"

namespace tav::upgrade {
namespace {

using namespace rt::literals;

// The oldest program an upgrade can start from; older ones need the release in between.
constexpr const char* kMinimumProgramRelease = "24.01.078";

// A path as a program running in `directory` reads it: relative forms start there.
std::string resolvedFrom(const std::string& directory, const std::string& path) {
  const std::string here = os::currentDirectory();
  if (!os::changeDirectory(directory)) return path;
  std::string full = os::fullPath(path);
  os::changeDirectory(here);
  return full;
}

// A full path: a drive and its root ("C:\\..."), or a network name ("\\\\server\\share").
bool isFullPath(const std::string& path) {
  return (path.size() >= 3 && path[1] == ':' && path[2] == '\\') || path.rfind("\\\\", 0) == 0;
}

// baza.dbf's one field: where the program keeps its books.
std::optional<std::string> databasePathOf(const std::string& program) {
  std::optional<std::string> path;
  if (!db::S_OTWORZ(program, "baza", "~baza")) return path;
  path = std::string();
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find("~baza");
    a->goTop();
    const rt::Value v = a->get("path");
    if (v.isText()) *path = rt::allTrim(v.str());
  });
  rt::guarded([] { db::ZAMKNIJ("~baza"); });
  return path;
}

}  // namespace

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

  const std::optional<db::VersionRecord> pv = db::readVersionRecord(program);
  if (!pv)
    return refuse("Katalog Programu", "Nie można otworzyć pliku;"_oem + program + "wersja.dbf");
  c.programRelease = pv->tav;
  if (pv->rok != sv.roczek)
    return refuse("Błąd"_oem, "Wskazany program obowiązuje w roku "_oem + pv->rok);
  if (convert::releaseBelow(sv.wersja_p, pv->tav))
    return refuse(
        "Błędna wersja"_oem,
        "Instalowana wersja TAV jest niższa od wersji istniejącej.;Bieżąca wersja="_oem + pv->tav);
  if (convert::releaseBelow(pv->tav, kMinimumProgramRelease))
    return refuse("Błędna wersja"_oem,
                  "Minimalna wersja TAV dla której można wykonać upgrade;wynosi dla roku "_oem +
                      sv.roczek + " " + kMinimumProgramRelease);

  const std::optional<std::string> path = databasePathOf(program);
  if (!path)
    return refuse("Katalog Programu", "Nie można otworzyć pliku;"_oem + program + "baza.dbf");
  if (path->empty())
    return refuse(
        "Katalog Bazy danych",
        "Katalog z bazą danych jest pusty;Uruchom TAV i wskaż poprawny katalog z bazą"_oem);
  // The program finds its books from its own directory, so a path written relative to it
  // ("..\\dane", "C:dane", "\\dane") means what it means there, not in the release's directory
  // the tool runs from. A full path stays as baza.dbf keeps it: the registry and the messages name
  // the place as the program knows it.
  const std::string database =
      db::withBackslash(isFullPath(*path) ? *path : resolvedFrom(program, *path));
  c.database = database;

  const std::optional<db::VersionRecord> dv = db::readVersionRecord(database);
  if (!dv)
    return refuse("Błąd bazy"_oem, "Nie można otworzyć pliku;"_oem + database + "wersja.dbf");
  c.databaseRelease = dv->baza;
  c.databaseProgramRelease = dv->tav;
  c.complete = dv->ok;
  if (dv->rok != sv.roczek)
    return refuse("Błąd"_oem, "Baza wskazanego programu obowiązuje w roku "_oem + dv->rok);
  // Asked before the confirmation: the estimate records the workstation in the database, and a
  // database the tool cannot take must be left exactly as it was.
  if (convert::releaseBelow(sv.wersja_b, dv->baza))
    return refuse("Błąd bazy"_oem,
                  "Bieżąca wersja Bazy jest większa od wymaganej przez program;Zainstaluj nowszą "
                  "wersję programu!;minimum "_oem +
                      dv->tav);
  return c;
}

bool UpgradeChecks::databaseRunDue() const {
  return convert::releaseBelow(databaseRelease, rt::shared().wersja_b) || !complete;
}

}  // namespace tav::upgrade

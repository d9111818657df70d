// Registration of a finished installation: the tool's registry key for the tax year, the entry
// in the list of installed programs, and the desktop and Start-menu links. A desktop link is
// never missing while it is renewed: the new one is written aside and put in the old one's place.
#include "install/registration.h"

#include "db/directories.h"
#include "db/files.h"
#include "db/workstation_name.h"
#include "db/xbpreg.h"
#include "os/files.h"
#include "os/path.h"
#include "os/registry/registry.h"
#include "os/shelllink/shelllink.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "runtime/shared_variables.h"

namespace tav::install {
namespace {

bool sameTarget(const std::string& a, const std::string& b) {
  return rt::upper(rt::ansiToOem(a)) == rt::upper(rt::ansiToOem(b));
}

// The "/N<workstation>" among a link's arguments, upper-cased; empty when it has none.
std::string workstationArgument(const std::string& arguments) {
  size_t from = 0;
  while (from < arguments.size()) {
    size_t end = arguments.find(' ', from);
    if (end == std::string::npos) end = arguments.size();
    std::string token = rt::upper(arguments.substr(from, end - from));
    if (token.rfind("/N", 0) == 0) return token;
    from = end + 1;
  }
  return {};
}

os::ShellLink programLink(const std::string& program, const std::string& year,
                          const std::string& arguments) {
  return {program + "tav.exe", program, arguments, " Program TAV na rok " + year};
}

// Shell folders and link paths are ANSI; the file layer takes 852 paths.
void desktopLink(const std::string& program, const std::string& year, const std::string& args) {
  const std::string& cPulpit = rt::shared().cPulpit;
  if (cPulpit.empty()) return;
  const std::string file = rt::ansiToOem(cPulpit + "Tav " + year + ".lnk");
  if (os::exists(file)) {
    // A link to this program directory, in any letter case, is the user's and stays as it is,
    // unless it would start the program as another workstation (a renamed computer).
    auto existing = os::readShellLink(os::toHost(file));
    if (existing && sameTarget(existing->target, program + "tav.exe") &&
        workstationArgument(existing->arguments) == workstationArgument(args))
      return;
  }
  const std::string fresh = file + ".nowy";
  if (os::writeShellLink(os::toHost(fresh), programLink(program, year, args)) &&
      os::replaceFile(fresh, file))
    return;
  db::DEL_FILE(fresh);  // the old link, if any, stays
}

void startMenuLink(const std::string& program, const std::string& year, const std::string& args) {
  const std::string& cMenu = rt::shared().cMenu;
  if (cMenu.empty()) return;
  const std::string folder = rt::ansiToOem(cMenu + "Tamborex\\Tav-" + year);
  db::MAKEDIR(folder);
  if (!os::isDirectory(folder)) return;
  os::writeShellLink(os::toHost(folder + rt::ansiToOem("\\Tav-" + year + ".lnk")),
                     programLink(program, year, args));
}

}  // namespace

std::string toolKeyPath(const std::string& year) {
  return "HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\" + year;
}

std::string uninstallKeyPath(const std::string& year) {
  return "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TAV" + year;
}

std::string REJESTRY(const std::string& program, const std::string& database,
                     const std::string& year) {
  const auto& sv = rt::shared();
  // Inside the tool texts are 852; the registry takes ANSI.
  const std::string rok = rt::oemToAnsi(year);
  const std::string wersjaP = rt::oemToAnsi(sv.wersja_p);
  const std::string wersjaB = rt::oemToAnsi(sv.wersja_b);

  // The first write the registry refuses, with its reason; the others are still tried, as each
  // value stands on its own.
  std::string refused;
  auto noted = [&](db::XBPREG& key, bool written, std::string_view what, std::string& why) {
    if (written || !refused.empty()) return;
    refused = why.empty() ? rt::ansiToUtf8(key.KeyName()) + ": " + std::string(what) +
                                " refused (code " + std::to_string(key.nCallSuccess) + ")"
                          : why;
  };
  auto set = [&](db::XBPREG& key, std::string_view name, const rt::Value& value) {
    std::string why;
    noted(key, key.SetValue(name, value, &why) == os::reg::ERROR_SUCCESS,
          name.empty() ? std::string("its default value") : rt::ansiToUtf8(std::string(name)), why);
  };
  auto made = [&](db::XBPREG& key, bool below, std::string_view name) {
    std::string why;
    noted(key, below ? key.MoveDown(name, &why) : key.Status() || key.Create(&why),
          below ? "the key " + rt::ansiToUtf8(std::string(name)) : std::string("the key"), why);
  };

  db::XBPREG tool(toolKeyPath(rok));
  made(tool, false, {});
  made(tool, true, rok);
  set(tool, "", rt::Value("Parametry instalacyjne TAV"));
  set(tool, "Data_instalacji",
      rt::Value(rt::oemToAnsi(rt::Date::today().toText() + "/" + rt::timeOfDay())));
  set(tool, "Rok", rt::Value(rok));
  set(tool, "Program", rt::Value(program));
  set(tool, "Baza", rt::Value(database));
  set(tool, "Wersja_Programu", rt::Value(wersjaP));
  set(tool, "Wersja_Bazy", rt::Value(wersjaB));

  // The list of installed programs reads the values of Uninstall\<entry> itself, so they go
  // there and not into a subkey of the same name, where the list would never show them.
  db::XBPREG entry(uninstallKeyPath(rok));
  made(entry, false, {});
  set(entry, "DisplayName", rt::Value("Tav wersja " + wersjaP));
  set(entry, "DisplayVersion", rt::Value(wersjaP));
  set(entry, "Publisher", rt::Value("Tamborex"));
  set(entry, "InstallDate", rt::Value(rt::Date::today().dtos()));
  set(entry, "InstallLocation", rt::Value(program));
  set(entry, "NoModify", rt::Value(1));
  set(entry, "NoRepair", rt::Value(1));
  set(entry, "QuietUninstallString", rt::Value(program + "un_tav.exe"));
  set(entry, "UninstallString", rt::Value(program + "un_tav.exe"));

  std::string args;
  if (!sv.nazwa_sieciowa.empty()) args = "/N" + rt::oemToAnsi(db::NERKA());
  desktopLink(program, rok, args);
  startMenuLink(program, rok, args);
  return refused;
}

}  // namespace tav::install

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

void REJESTRY(const std::string& program, const std::string& database, const std::string& year) {
  const auto& sv = rt::shared();
  // Inside the tool texts are 852; the registry takes ANSI.
  const std::string rok = rt::oemToAnsi(year);
  const std::string wersjaP = rt::oemToAnsi(sv.wersja_p);
  const std::string wersjaB = rt::oemToAnsi(sv.wersja_b);

  db::XBPREG tool(toolKeyPath(rok));
  if (!tool.Status()) tool.Create();
  tool.MoveDown(rok);
  tool.Standard(rt::Value("Parametry instalacyjne TAV"));
  tool.SetValue("Data_instalacji",
                rt::Value(rt::oemToAnsi(rt::Date::today().toText() + "/" + rt::timeOfDay())));
  tool.SetValue("Rok", rt::Value(rok));
  tool.SetValue("Program", rt::Value(program));
  tool.SetValue("Baza", rt::Value(database));
  tool.SetValue("Wersja_Programu", rt::Value(wersjaP));
  tool.SetValue("Wersja_Bazy", rt::Value(wersjaB));

  // The list of installed programs reads the values of Uninstall\<entry> itself, so they go
  // there and not into a subkey of the same name, where the list would never show them.
  db::XBPREG entry(uninstallKeyPath(rok));
  if (!entry.Status()) entry.Create();
  entry.SetValue("DisplayName", rt::Value("Tav wersja " + wersjaP));
  entry.SetValue("DisplayVersion", rt::Value(wersjaP));
  entry.SetValue("Publisher", rt::Value("Tamborex"));
  entry.SetValue("InstallDate", rt::Value(rt::Date::today().dtos()));
  entry.SetValue("InstallLocation", rt::Value(program));
  entry.SetValue("NoModify", rt::Value(1));
  entry.SetValue("NoRepair", rt::Value(1));
  entry.SetValue("QuietUninstallString", rt::Value(program + "un_tav.exe"));
  entry.SetValue("UninstallString", rt::Value(program + "un_tav.exe"));

  std::string args;
  if (!sv.nazwa_sieciowa.empty()) args = "/N" + rt::oemToAnsi(db::NERKA());
  desktopLink(program, rok, args);
  startMenuLink(program, rok, args);
}

}  // namespace tav::install

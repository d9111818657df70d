// What REJESTRY leaves for the user, read back through the registry class and lnkinfo. Group:
// Registration. The tool's key and the installed-programs entry, one per tax year however often it
// is installed; a shortcut elsewhere or broken is replaced, the user's own to this program kept but
// its workstation argument renewed, and a new one that cannot be written leaves the old one whole;
// without the folders the registry is still written.
#include "install/registration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "db/xbpreg.h"
#include "engine/engine_test_util.h"
#include "os/path.h"
#include "os/registry/registry.h"
#include "os/shelllink/shelllink.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "runtime/shared_variables.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using tav::db::XBPREG;
using tav::install::REJESTRY;

namespace {

constexpr const char* kTool = "HKEY_CURRENT_USER\\Software\\Tamborex\\Tav";
constexpr const char* kUninstall =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// The fields lnkinfo prints, by label.
std::map<std::string, std::string> lnkinfo(const fs::path& file) {
  std::map<std::string, std::string> fields;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      ::popen(("lnkinfo '" + file.string() + "' 2>&1").c_str(), "r"), ::pclose);
  char buf[512];
  while (pipe && std::fgets(buf, sizeof buf, pipe.get())) {
    std::string line(buf);
    fields["(output)"] += line;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string label = line.substr(0, colon);
    label.erase(0, label.find_first_not_of(" \t"));
    label.erase(label.find_last_not_of(" \t") + 1);
    fields[label] = line.substr(colon + 2);
  }
  return fields;
}

class Registration : public ::testing::Test {
 protected:
  Registration() {
    tav::os::reg::resetForTests();
    tav::rt::resetShared();
    auto& sv = tav::rt::shared();
    sv.wersja_p = "25.01.023";
    sv.wersja_b = "025.01.023";
    sv.cPulpit = "C:\\users\\jan\\Desktop\\";
    sv.cMenu = "C:\\users\\jan\\Start Menu\\Programs\\";
    fs::create_directories(tav::os::toHost("C:\\users\\jan\\Desktop"));
    fs::create_directories(tav::os::toHost("C:\\users\\jan\\Start Menu\\Programs"));
  }
  ~Registration() override {
    tav::rt::resetShared();
    tav::os::reg::resetForTests();
  }
  static fs::path desktopLink() { return tav::os::toHost("C:\\users\\jan\\Desktop\\Tav 2025.lnk"); }
  static fs::path menuLink() {
    return tav::os::toHost(
        "C:\\users\\jan\\Start Menu\\Programs\\Tamborex\\Tav-2025\\Tav-2025.lnk");
  }
  tav::testing::TempDriveMap map_;
  const fs::path prefix_ = map_.prefix();
};

TEST_F(Registration, WritesTheToolKeyAndTheUninstallEntry) {
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  XBPREG k(std::string(kTool) + "\\2025\\2025");
  ASSERT_TRUE(k.Status());
  EXPECT_EQ(k.Standard().str(), "Parametry instalacyjne TAV");
  EXPECT_EQ(k.GetValue("Rok").str(), "2025");
  EXPECT_EQ(k.GetValue("Program").str(), "C:\\Tamborex\\Tav\\2025\\");
  EXPECT_EQ(k.GetValue("Baza").str(), "D:\\Dane\\");
  EXPECT_EQ(k.GetValue("Wersja_Programu").str(), "25.01.023");
  EXPECT_EQ(k.GetValue("Wersja_Bazy").str(), "025.01.023");
  const std::string stamp = k.GetValue("Data_instalacji").str();
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"([\d.]+/\d\d:\d\d:\d\d)"))) << stamp;
  EXPECT_EQ(stamp.substr(0, stamp.find('/')), tav::rt::Date::today().toText());

  XBPREG e(std::string(kUninstall) + "\\TAV2025");
  EXPECT_EQ(e.GetValue("DisplayName").str(), "Tav wersja 25.01.023");
  EXPECT_EQ(e.GetValue("DisplayVersion").str(), "25.01.023");
  EXPECT_EQ(e.GetValue("Publisher").str(), "Tamborex");
  EXPECT_EQ(e.GetValue("InstallDate").str(), tav::rt::Date::today().dtos());
  EXPECT_EQ(e.GetValue("InstallLocation").str(), "C:\\Tamborex\\Tav\\2025\\");
  EXPECT_EQ(e.GetValue("NoModify").num(), 1);
  EXPECT_EQ(e.GetValue("NoRepair").num(), 1);
  EXPECT_EQ(e.GetValue("QuietUninstallString").str(), "C:\\Tamborex\\Tav\\2025\\un_tav.exe");
  EXPECT_EQ(e.GetValue("UninstallString").str(), "C:\\Tamborex\\Tav\\2025\\un_tav.exe");
  EXPECT_EQ(e.nSubKeys, 0u);  // the programs list reads the entry's own values

  // A person reads the values in the order they were written.
  const std::string text = tav::test::readFile(prefix_ / "user.reg");
  EXPECT_LT(text.find("@=\"Parametry"), text.find("\"Data_instalacji\""));
  EXPECT_LT(text.find("\"Data_instalacji\""), text.find("\"Rok\"=\"2025\""));
  EXPECT_NE(text.find("\"NoModify\"=dword:00000001"), std::string::npos);
}

TEST_F(Registration, SameYearTwiceLeavesOneKeyWithTheNewerValues) {
  REJESTRY("C:\\Stary\\", "D:\\Stara\\", "2025");
  tav::rt::shared().wersja_p = "25.01.046";
  REJESTRY("C:\\Nowy\\", "D:\\Nowa\\", "2025");
  XBPREG k(std::string(kTool) + "\\2025\\2025");
  EXPECT_EQ(k.GetValue("Program").str(), "C:\\Nowy\\");
  EXPECT_EQ(k.GetValue("Baza").str(), "D:\\Nowa\\");
  EXPECT_EQ(k.GetValue("Wersja_Programu").str(), "25.01.046");
  EXPECT_EQ(k.nValues, 7u);
  EXPECT_EQ(XBPREG(kTool).nSubKeys, 1u);
  EXPECT_EQ(XBPREG(std::string(kTool) + "\\2025").nSubKeys, 1u);
  EXPECT_EQ(XBPREG(kUninstall).nSubKeys, 1u);
  XBPREG e(std::string(kUninstall) + "\\TAV2025");
  EXPECT_EQ(e.GetValue("DisplayName").str(), "Tav wersja 25.01.046");
  EXPECT_EQ(e.nValues, 9u);
  REJESTRY("C:\\Nowy\\", "D:\\Nowa\\", "2026");  // another year is a key of its own
  EXPECT_EQ(XBPREG(kTool).nSubKeys, 2u);
}

TEST_F(Registration, LinksCarryTheFourValuesLnkinfoReads) {
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  for (const fs::path& file : {desktopLink(), menuLink()}) {
    auto f = lnkinfo(file);
    EXPECT_EQ(f["Local path"], "C:\\Tamborex\\Tav\\2025\\tav.exe") << f["(output)"];
    EXPECT_EQ(f["Working directory"], "C:\\Tamborex\\Tav\\2025\\");
    EXPECT_EQ(f["Description"], " Program TAV na rok 2025");
    EXPECT_EQ(f.count("Command line arguments"), 0u);  // no workstation name, no arguments
  }
  tav::rt::shared().nazwa_sieciowa = tav::rt::utf8ToOem(" stacja góra ");
  fs::remove(desktopLink());
  REJESTRY("C:\\Ksi\xea\x67owo\\", "D:\\Dane\\", "2025");
  for (const fs::path& file : {desktopLink(), menuLink()}) {
    auto f = lnkinfo(file);
    EXPECT_EQ(f["Command line arguments"], "/NSTACJA_GORA") << f["(output)"];
    EXPECT_EQ(f["Local path"], "C:\\Księgowo\\tav.exe");
  }
}

TEST_F(Registration, DesktopLinkElsewhereIsReplacedAndOneHereIsKept) {
  tav::os::writeShellLink(desktopLink(), {"C:\\Inny\\tav.exe", "C:\\Inny\\", "", "stary"});
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_EQ(tav::os::readShellLink(desktopLink())->target, "C:\\Tamborex\\Tav\\2025\\tav.exe");

  // The user's own link to this program, in other letter case and with a text of their own.
  tav::os::writeShellLink(desktopLink(), {"c:\\TAMBOREX\\tav\\2025\\TAV.EXE", "C:\\", "/X", "moj"});
  const std::string before = tav::test::readFile(desktopLink());
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_EQ(tav::test::readFile(desktopLink()), before);

  // The same program for a workstation since renamed: its argument is renewed.
  tav::os::writeShellLink(desktopLink(),
                          {"C:\\Tamborex\\Tav\\2025\\tav.exe", "C:\\", "/NSTARA", "moj"});
  tav::rt::shared().nazwa_sieciowa = "nowa";
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_EQ(tav::os::readShellLink(desktopLink())->arguments, "/NNOWA");
  tav::rt::shared().nazwa_sieciowa.clear();

  // A new link that cannot be written leaves the old one whole.
  tav::os::writeShellLink(desktopLink(), {"C:\\Inny\\tav.exe", "C:\\Inny\\", "", "stary"});
  fs::create_directories(desktopLink().string() + ".nowy");
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_EQ(tav::os::readShellLink(desktopLink())->target, "C:\\Inny\\tav.exe");
  fs::remove(desktopLink().string() + ".nowy");

  std::ofstream(desktopLink()) << "zepsuty";  // not a link at all: replaced too
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_TRUE(tav::os::readShellLink(desktopLink()));

  tav::rt::shared().cPulpit.clear();  // no folders, no links; the registry is still written
  tav::rt::shared().cMenu.clear();
  fs::remove(desktopLink());
  fs::remove_all(menuLink().parent_path().parent_path());
  REJESTRY("C:\\Tamborex\\Tav\\2026\\", "D:\\Dane\\", "2026");
  EXPECT_FALSE(fs::exists(desktopLink()));
  EXPECT_FALSE(fs::exists(menuLink().parent_path().parent_path()));
  EXPECT_TRUE(XBPREG(std::string(kTool) + "\\2026\\2026").Status());
}

}  // namespace

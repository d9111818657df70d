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
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "runtime/shared_variables.h"
#include "support/temp_drive_map.h"

#ifdef _WIN32
// After the tool's headers: windows.h makes macros of the registry functions they declare.
#include <windows.h>
#endif

namespace fs = std::filesystem;
using tav::db::XBPREG;
using tav::install::REJESTRY;

namespace {

constexpr const char* kTool = "HKEY_CURRENT_USER\\Software\\Tamborex\\Tav";
constexpr const char* kUninstall =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

#ifdef _WIN32
// Under Wine no Linux program starts: the link is read by the Windows shell itself (IShellLinkW),
// its values under the labels lnkinfo prints them with.
std::map<std::string, std::string> lnkinfo(const fs::path& file) {
  std::map<std::string, std::string> fields;
  const auto link = tav::os::readShellLink(file);
  if (!link) {
    fields["(output)"] = "the shell cannot load " + tav::os::utf8(file);
    return fields;
  }
  fields["Local path"] = tav::rt::ansiToUtf8(link->target);
  fields["Working directory"] = tav::rt::ansiToUtf8(link->workingDir);
  fields["Description"] = tav::rt::ansiToUtf8(link->description);
  if (!link->arguments.empty())
    fields["Command line arguments"] = tav::rt::ansiToUtf8(link->arguments);
  for (const auto& [label, value] : fields) fields["(output)"] += label + ": " + value + "\n";
  return fields;
}

// What the tests leave in the registry of the prefix goes with them.
void removeToolKeys() {
  ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Tamborex");
  for (const wchar_t* entry : {L"TAV2025", L"TAV2026"})
    ::RegDeleteTreeW(
        HKEY_CURRENT_USER,
        (std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\") + entry)
            .c_str());
}
#else
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
#endif

class Registration : public ::testing::Test {
 protected:
  Registration() {
    tav::os::reg::resetForTests();
#ifdef _WIN32
    removeToolKeys();
#endif
    tav::rt::resetShared();
    auto& sv = tav::rt::shared();
    sv.wersja_p = "25.01.023";
    sv.wersja_b = "025.01.023";
    sv.cPulpit = profile_ + "Desktop\\";
    sv.cMenu = profile_ + "Start Menu\\Programs\\";
    fs::create_directories(tav::os::toHost(profile_ + "Desktop"));
    fs::create_directories(tav::os::toHost(profile_ + "Start Menu\\Programs"));
  }
  ~Registration() override {
    tav::rt::resetShared();
    tav::os::reg::resetForTests();
#ifdef _WIN32
    removeToolKeys();
#endif
  }
  fs::path desktopLink() const { return tav::os::toHost(profile_ + "Desktop\\Tav 2025.lnk"); }
  fs::path menuLink() const {
    return tav::os::toHost(profile_ + "Start Menu\\Programs\\Tamborex\\Tav-2025\\Tav-2025.lnk");
  }
  tav::testing::TempDriveMap map_;
  const fs::path prefix_ = map_.prefix();
#ifdef _WIN32
  // The user's folders, in the test's own directory of the system's C:.
  const std::string profile_ = tav::os::fromHost(map_.root()) + "\\jan\\";
#else
  const std::string profile_ = "C:\\users\\jan\\";
#endif
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

#ifndef _WIN32
  // A person reads the store file's values in the order they were written (the Windows registry
  // keeps its own order).
  const std::string text = tav::test::readFile(prefix_ / "user.reg");
  EXPECT_LT(text.find("@=\"Parametry"), text.find("\"Data_instalacji\""));
  EXPECT_LT(text.find("\"Data_instalacji\""), text.find("\"Rok\"=\"2025\""));
  EXPECT_NE(text.find("\"NoModify\"=dword:00000001"), std::string::npos);
#endif
}

// A write the registry refuses is named in what REJESTRY gives back, with what refused it; the
// shortcuts are made all the same, and a store that refused is left as it was.
TEST_F(Registration, AWriteTheRegistryRefusesIsNamedWithItsReason) {
  EXPECT_EQ(REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025"), "");
#ifdef _WIN32
  // A key name longer than the registry holds (255 characters).
  const std::string why =
      REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", std::string(300, '7'));
  EXPECT_TRUE(why.starts_with("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\777")) << why;
  EXPECT_GT(why.size(), why.rfind("7: ") + 3) << "the system's reason";
#else
  const std::string damaged =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\x\r\n";
  tav::testing::TempDriveMap::put(prefix_ / "user.reg", damaged);
  fs::remove(desktopLink());
  const std::string why = REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_NE(
      why.find((prefix_ / "user.reg").string() + " cannot be read as a registry file: line 3"),
      std::string::npos)
      << why;
  EXPECT_EQ(tav::test::readFile(prefix_ / "user.reg"), damaged);
  EXPECT_TRUE(tav::os::readShellLink(desktopLink()));
#endif
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
  fs::create_directories(fs::path(desktopLink()) += ".nowy");
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_EQ(tav::os::readShellLink(desktopLink())->target, "C:\\Inny\\tav.exe");
  fs::remove(fs::path(desktopLink()) += ".nowy");

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

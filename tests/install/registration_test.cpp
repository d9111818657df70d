#include "install/registration.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "db/xbpreg.h"
#include "os/path.h"
#include "os/registry/registry.h"
#include "os/shelllink/shelllink.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "runtime/shared_variables.h"

namespace fs = std::filesystem;
namespace reg = tav::os::reg;
using tav::db::XBPREG;
using tav::install::REJESTRY;

namespace {

std::map<std::string, std::string> lnkinfo(const fs::path& file) {
  std::map<std::string, std::string> fields;
  std::string cmd = "lnkinfo '" + file.string() + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(cmd.c_str(), "r"), ::pclose);
  std::string out;
  std::array<char, 512> buf;
  while (pipe && std::fgets(buf.data(), buf.size(), pipe.get())) out += buf.data();
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string label = line.substr(0, colon);
    label.erase(0, label.find_first_not_of(" \t"));
    label.erase(label.find_last_not_of(" \t") + 1);
    fields[label] = line.substr(colon + 2);
  }
  fields["(output)"] = out;
  return fields;
}

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-rej-XXXXXX";
    prefix_ = ::mkdtemp(tmpl);
    ::setenv("TAV_PREFIX", prefix_.c_str(), 1);
    tav::os::resetPathCaches();
    reg::resetForTests();
    tav::rt::resetShared();
    auto& sv = tav::rt::shared();
    sv.wersja_p = "25.01.023";
    sv.wersja_b = "025.01.023";
    sv.cPulpit = "C:\\users\\jan\\Desktop\\";
    sv.cMenu = "C:\\users\\jan\\Start Menu\\Programs\\";
    fs::create_directories(tav::os::toHost("C:\\users\\jan\\Desktop"));
    fs::create_directories(tav::os::toHost("C:\\users\\jan\\Start Menu\\Programs"));
  }
  void TearDown() override {
    tav::rt::resetShared();
    reg::resetForTests();
    ::unsetenv("TAV_PREFIX");
    tav::os::resetPathCaches();
    fs::remove_all(prefix_);
  }
  fs::path desktopLink() const { return tav::os::toHost("C:\\users\\jan\\Desktop\\Tav 2025.lnk"); }
  fs::path menuLink() const {
    return tav::os::toHost("C:\\users\\jan\\Start Menu\\Programs\\Tamborex\\Tav-2025\\Tav-2025.lnk");
  }
  std::string store() const { return slurp(prefix_ / "user.reg"); }
  fs::path prefix_;
};

TEST_F(Registration, WritesTheToolKeyWithEveryValue) {
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  XBPREG k("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025");
  ASSERT_TRUE(k.Status());
  EXPECT_EQ(k.Standard().str(), "Parametry instalacyjne TAV");
  EXPECT_EQ(k.GetValue("Rok").str(), "2025");
  EXPECT_EQ(k.GetValue("Program").str(), "C:\\Tamborex\\Tav\\2025\\");
  EXPECT_EQ(k.GetValue("Baza").str(), "D:\\Dane\\");
  EXPECT_EQ(k.GetValue("Wersja_Programu").str(), "25.01.023");
  EXPECT_EQ(k.GetValue("Wersja_Bazy").str(), "025.01.023");
  std::string stamp = k.GetValue("Data_instalacji").str();
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"((\d\d)?\d\d\.\d\d\.\d\d/\d\d:\d\d:\d\d)")))
      << stamp;
  EXPECT_EQ(stamp.substr(0, stamp.find('/')), tav::rt::Date::today().toText());
  // Values in the order they were written.
  std::string text = store();
  EXPECT_LT(text.find("@=\"Parametry"), text.find("\"Data_instalacji\""));
  EXPECT_LT(text.find("\"Data_instalacji\""), text.find("\"Rok\"=\"2025\""));
  EXPECT_LT(text.find("\"Rok\""), text.find("\"Program\"=\"C:\\\\Tamborex\\\\Tav\\\\2025\\\\\""));
}

TEST_F(Registration, WritesTheUninstallEntry) {
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  XBPREG e("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TAV2025");
  ASSERT_TRUE(e.Status());
  EXPECT_EQ(e.GetValue("DisplayName").str(), "Tav wersja 25.01.023");
  EXPECT_EQ(e.GetValue("DisplayVersion").str(), "25.01.023");
  EXPECT_EQ(e.GetValue("Publisher").str(), "Tamborex");
  EXPECT_EQ(e.GetValue("InstallDate").str(), tav::rt::Date::today().dtos());
  EXPECT_EQ(e.GetValue("InstallLocation").str(), "C:\\Tamborex\\Tav\\2025\\");
  EXPECT_EQ(e.GetValue("NoModify").num(), 1);
  EXPECT_EQ(e.GetValue("NoRepair").num(), 1);
  EXPECT_EQ(e.GetValue("QuietUninstallString").str(), "C:\\Tamborex\\Tav\\2025\\un_tav.exe");
  EXPECT_EQ(e.GetValue("UninstallString").str(), "C:\\Tamborex\\Tav\\2025\\un_tav.exe");
  EXPECT_NE(store().find("\"NoModify\"=dword:00000001"), std::string::npos);
  // The programs list reads the entry's own values: no subkey of the same name.
  EXPECT_EQ(e.nSubKeys, 0u);
}

TEST_F(Registration, SameYearTwiceLeavesOneKeyWithTheNewerValues) {
  REJESTRY("C:\\Stary\\", "D:\\Stara\\", "2025");
  tav::rt::shared().wersja_p = "25.01.046";
  REJESTRY("C:\\Nowy\\", "D:\\Nowa\\", "2025");
  XBPREG k("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025");
  EXPECT_EQ(k.GetValue("Program").str(), "C:\\Nowy\\");
  EXPECT_EQ(k.GetValue("Baza").str(), "D:\\Nowa\\");
  EXPECT_EQ(k.GetValue("Wersja_Programu").str(), "25.01.046");
  EXPECT_EQ(k.nValues, 7u);
  EXPECT_EQ(XBPREG("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav").nSubKeys, 1u);
  EXPECT_EQ(XBPREG("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025").nSubKeys, 1u);
  XBPREG e("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TAV2025");
  EXPECT_EQ(e.GetValue("DisplayName").str(), "Tav wersja 25.01.046");
  EXPECT_EQ(e.nValues, 9u);
  EXPECT_EQ(XBPREG("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall")
                .nSubKeys,
            1u);
  std::string text = store();
  EXPECT_EQ(count(text, "[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025]"), 1u);
  EXPECT_EQ(count(text, "\\Uninstall\\TAV2025]"), 1u);
  EXPECT_EQ(count(text, "\"DisplayName\""), 1u);
  // Another year is a key of its own.
  REJESTRY("C:\\Nowy\\", "D:\\Nowa\\", "2026");
  EXPECT_EQ(XBPREG("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav").nSubKeys, 2u);
}

TEST_F(Registration, LinksCarryTheFourValuesLnkinfoReads) {
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  for (const fs::path& file : {desktopLink(), menuLink()}) {
    ASSERT_TRUE(fs::exists(file)) << file;
    auto f = lnkinfo(file);
    EXPECT_EQ(f["Local path"], "C:\\Tamborex\\Tav\\2025\\tav.exe") << f["(output)"];
    EXPECT_EQ(f["Working directory"], "C:\\Tamborex\\Tav\\2025\\");
    EXPECT_EQ(f["Description"], " Program TAV na rok 2025");
    // Without a workstation name the links carry no arguments.
    EXPECT_EQ(f.count("Command line arguments"), 0u) << f["(output)"];
  }
}

TEST_F(Registration, WorkstationNameGoesAfterTheSwitch) {
  tav::rt::shared().nazwa_sieciowa = " stacja góra "; // UTF-8 here; made 852 below
  tav::rt::shared().nazwa_sieciowa = tav::rt::utf8ToOem(tav::rt::shared().nazwa_sieciowa);
  REJESTRY("C:\\Ksi\xea\x67owo\\", "D:\\Dane\\", "2025");
  auto f = lnkinfo(desktopLink());
  EXPECT_EQ(f["Command line arguments"], "/NSTACJA_GORA") << f["(output)"];
  EXPECT_EQ(f["Local path"], "C:\\Księgowo\\tav.exe");
  EXPECT_EQ(lnkinfo(menuLink())["Command line arguments"], "/NSTACJA_GORA");
}

TEST_F(Registration, DesktopLinkElsewhereIsReplacedAndOneHereIsKept) {
  tav::os::writeShellLink(desktopLink(), {"C:\\Inny\\tav.exe", "C:\\Inny\\", "", "stary"});
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  auto link = tav::os::readShellLink(desktopLink());
  ASSERT_TRUE(link);
  EXPECT_EQ(link->target, "C:\\Tamborex\\Tav\\2025\\tav.exe");
  EXPECT_EQ(link->description, " Program TAV na rok 2025");

  // The user's own link to this program, in other letter case and with a text of their own.
  tav::os::writeShellLink(desktopLink(),
                          {"c:\\TAMBOREX\\tav\\2025\\TAV.EXE", "C:\\", "/X", "moj skrot"});
  std::string before = slurp(desktopLink());
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_EQ(slurp(desktopLink()), before);

  // Something that is not a link at all is replaced too.
  { std::ofstream(desktopLink()) << "zepsuty"; }
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  ASSERT_TRUE(tav::os::readShellLink(desktopLink()));
}

TEST_F(Registration, NoFoldersNoLinks) {
  tav::rt::shared().cPulpit.clear();
  tav::rt::shared().cMenu.clear();
  REJESTRY("C:\\Tamborex\\Tav\\2025\\", "D:\\Dane\\", "2025");
  EXPECT_FALSE(fs::exists(desktopLink()));
  EXPECT_FALSE(fs::exists(menuLink().parent_path()));
  EXPECT_TRUE(XBPREG("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025").Status());
}

}  // namespace

#include "shell/startup_folders.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "db/xbpreg.h"
#include "os/path.h"
#include "os/registry/registry.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

namespace fs = std::filesystem;
using tav::db::XBPREG;
using tav::rt::Value;
using tav::shell::findStartupFolders;

namespace {

constexpr const char* kShellFolders =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

class StartupFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-start-XXXXXX";
    prefix_ = ::mkdtemp(tmpl);
    ::setenv("TAV_PREFIX", prefix_.c_str(), 1);
    savedUser_ = std::getenv("USER") ? std::getenv("USER") : "";
    ::setenv("USER", "jan", 1);
    ::unsetenv("USERPROFILE");
    tav::os::resetPathCaches();
    tav::os::reg::resetForTests();
    tav::rt::resetShared();
    tav::rt::shared().roczek = "2025";
  }
  void TearDown() override {
    tav::rt::resetShared();
    tav::os::reg::resetForTests();
    ::unsetenv("USERPROFILE");
    ::setenv("USER", savedUser_.c_str(), 1);
    ::unsetenv("TAV_PREFIX");
    tav::os::resetPathCaches();
    fs::remove_all(prefix_);
  }
  // A user store that exists but has no shell folders (a store is seeded only when new).
  void storeWithoutShellFolders() {
    fs::create_directories(prefix_);
    std::ofstream(prefix_ / "user.reg") << "Windows Registry Editor Version 5.00\r\n\r\n"
                                           "[HKEY_CURRENT_USER\\Software]\r\n\r\n";
  }
  void earlierInstallation(const char* program, const char* baza) {
    XBPREG k("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025", true);
    k.MoveDown("2025");
    if (program) k.SetValue("Program", Value(program));
    if (baza) k.SetValue("Baza", Value(baza));
  }
  fs::path prefix_;
  std::string savedUser_;
};

TEST_F(StartupFolders, NewStoreGivesWritableDesktopAndMenu) {
  findStartupFolders();
  const auto& sv = tav::rt::shared();
  EXPECT_EQ(sv.cPulpit, "C:\\users\\jan\\Desktop\\");
  EXPECT_EQ(sv.cMenu, "C:\\users\\jan\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\");
  EXPECT_TRUE(fs::is_directory(tav::os::toHost("C:\\users\\jan\\Desktop")));
  // The write test leaves nothing behind.
  EXPECT_TRUE(fs::is_empty(tav::os::toHost("C:\\users\\jan\\Desktop")));
  EXPECT_EQ(sv.cProgram, "");
  EXPECT_EQ(sv.cBaza, "");
}

TEST_F(StartupFolders, DesktopThatCannotBeWrittenIsDropped) {
  XBPREG k(kShellFolders, true);
  k.SetValue("Desktop", Value("C:\\nie\\ma\\takiego"));
  k.SetValue("Programs", Value("C:\\menu"));
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "");
  EXPECT_EQ(tav::rt::shared().cMenu, "C:\\menu\\");
}

TEST_F(StartupFolders, DesktopWithoutBackslashGetsOneAndAUsersZTxtStays) {
  fs::create_directories(tav::os::toHost("C:\\Pulpit"));
  fs::path users = tav::os::toHost("C:\\Pulpit\\z.txt");
  std::ofstream(users) << "moje notatki";
  XBPREG k(kShellFolders, true);
  k.SetValue("Desktop", Value("C:\\Pulpit"));
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "C:\\Pulpit\\");
  std::ifstream f(users);
  std::stringstream ss;
  ss << f.rdbuf();
  EXPECT_EQ(ss.str(), "moje notatki");
  EXPECT_EQ(std::distance(fs::directory_iterator(users.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(StartupFolders, WithoutTheKeyTheUserProfileIsTried) {
  storeWithoutShellFolders();
  fs::create_directories(tav::os::toHost("C:\\users\\ewa\\Desktop"));
  ::setenv("USERPROFILE", "C:\\users\\ewa", 1);
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "C:\\users\\ewa\\Desktop\\");
  EXPECT_EQ(tav::rt::shared().cMenu, "");  // no Start-menu folder in that profile

  fs::create_directories(
      tav::os::toHost("C:\\users\\ewa\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"));
  tav::rt::resetShared();
  tav::rt::shared().roczek = "2025";
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cMenu,
            "C:\\users\\ewa\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\");
}

TEST_F(StartupFolders, WithoutKeyOrProfileNothingIsFound) {
  storeWithoutShellFolders();
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "");
  EXPECT_EQ(tav::rt::shared().cMenu, "");
}

TEST_F(StartupFolders, EarlierInstallationIsReadAndConvertedTo852) {
  earlierInstallation("C:\\Ksi\xea\x67owo\x9c\xe6", "D:\\Dane\\");  // ANSI, as the registry holds it
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, tav::rt::utf8ToOem("C:\\Księgowość\\"));
  EXPECT_EQ(tav::rt::shared().cBaza, "D:\\Dane\\");
}

TEST_F(StartupFolders, AbsentProgramClearsAPresentBaza) {
  earlierInstallation(nullptr, "D:\\Dane\\");
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, "");
  EXPECT_EQ(tav::rt::shared().cBaza, "");
}

TEST_F(StartupFolders, ProgramWithoutBazaKeepsTheProgram) {
  earlierInstallation("C:\\Tav\\", nullptr);
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, "C:\\Tav\\");
  EXPECT_EQ(tav::rt::shared().cBaza, "");
}

TEST_F(StartupFolders, OtherYearIsNotAnEarlierInstallation) {
  earlierInstallation("C:\\Tav\\", "D:\\Dane\\");
  tav::rt::shared().roczek = "2026";
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, "");
}

}  // namespace

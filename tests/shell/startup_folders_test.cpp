// Where the start finds the user's folders and an earlier installation. Group: StartupFolders. The
// desktop is kept only where a probe can be written, and the probe never costs the user's own
// z.txt; without the shell folders the user profile is tried; an earlier installation of the same
// year prefills the directories, never a database without its program, and what the registration
// wrote reads back the same, Polish letters and network names included.
#include "shell/startup_folders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "db/xbpreg.h"
#include "install/registration.h"
#include "os/path.h"
#include "os/registry/registry.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using tav::db::XBPREG;
using tav::rt::Value;
using tav::shell::findStartupFolders;

namespace {

class StartupFolders : public ::testing::Test {
 protected:
  StartupFolders() {
    ::setenv("USER", "jan", 1);
    ::unsetenv("USERPROFILE");
    tav::os::reg::resetForTests();
    fresh();
  }
  ~StartupFolders() override {
    tav::rt::resetShared();
    tav::os::reg::resetForTests();
    ::unsetenv("USERPROFILE");
    ::setenv("USER", user_.c_str(), 1);
  }
  static void fresh() {
    tav::rt::resetShared();
    tav::rt::shared().roczek = "2025";
  }
  static void shellFolders(const char* desktop, const char* programs) {
    XBPREG k(
        "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
    k.SetValue("Desktop", Value(desktop));
    k.SetValue("Programs", Value(programs));
  }
  static void earlierInstallation(const char* program, const char* baza) {
    XBPREG k("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025", true);
    k.MoveDown("2025");
    if (program) k.SetValue("Program", Value(program));
    if (baza) k.SetValue("Baza", Value(baza));
  }
  std::string user_ = std::getenv("USER") ? std::getenv("USER") : "";
  tav::testing::TempDriveMap map_;
  const fs::path prefix_ = map_.prefix();
};

TEST_F(StartupFolders, NewStoreGivesAWritableDesktopAndTheMenu) {
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "C:\\users\\jan\\Desktop\\");
  EXPECT_EQ(tav::rt::shared().cMenu,
            "C:\\users\\jan\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\");
  EXPECT_TRUE(fs::is_empty(tav::os::toHost("C:\\users\\jan\\Desktop")));  // the probe is gone
  EXPECT_EQ(tav::rt::shared().cProgram, "");
}

TEST_F(StartupFolders, DesktopIsKeptOnlyWhenWritableAndAUsersZTxtStays) {
  shellFolders("C:\\nie\\ma\\takiego", "C:\\menu");
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "");
  EXPECT_EQ(tav::rt::shared().cMenu, "C:\\menu\\");

  fs::create_directories(tav::os::toHost("C:\\Pulpit"));
  const fs::path notes = tav::os::toHost("C:\\Pulpit\\z.txt");
  std::ofstream(notes) << "moje notatki";
  shellFolders("C:\\Pulpit", "");
  fresh();
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "C:\\Pulpit\\");
  std::stringstream kept;
  kept << std::ifstream(notes).rdbuf();
  EXPECT_EQ(kept.str(), "moje notatki");
  EXPECT_EQ(std::distance(fs::directory_iterator(notes.parent_path()), fs::directory_iterator()),
            1);
}

TEST_F(StartupFolders, WithoutTheKeyTheUserProfileIsTried) {
  // A store that exists without the key (only a new store is seeded).
  fs::create_directories(prefix_);
  std::ofstream(prefix_ / "user.reg") << "Windows Registry Editor Version 5.00\r\n";
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "");
  EXPECT_EQ(tav::rt::shared().cMenu, "");

  fs::create_directories(tav::os::toHost("C:\\users\\ewa\\Desktop"));
  ::setenv("USERPROFILE", "C:\\users\\ewa", 1);
  fresh();
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cPulpit, "C:\\users\\ewa\\Desktop\\");
  EXPECT_EQ(tav::rt::shared().cMenu, "");  // that profile has no Start-menu folder

  const char* menu = "C:\\users\\ewa\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
  fs::create_directories(tav::os::toHost(menu));
  fresh();
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cMenu, std::string(menu) + "\\");
}

TEST_F(StartupFolders, EarlierInstallationOfTheSameYear) {
  earlierInstallation("C:\\Ksi\xea\x67owo\x9c\xe6",
                      "D:\\Dane\\");  // ANSI, as the registry holds it
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, tav::rt::utf8ToOem("C:\\Księgowość\\"));
  EXPECT_EQ(tav::rt::shared().cBaza, "D:\\Dane\\");
  fresh();
  tav::rt::shared().roczek = "2026";
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, "");
}

TEST_F(StartupFolders, AbsentProgramClearsAPresentBaza) {
  earlierInstallation(nullptr, "D:\\Dane\\");
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, "");
  EXPECT_EQ(tav::rt::shared().cBaza, "");
  earlierInstallation("C:\\Tav\\", nullptr);
  fresh();
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, "C:\\Tav\\");
  EXPECT_EQ(tav::rt::shared().cBaza, "D:\\Dane\\");
}

TEST_F(StartupFolders, ReadsBackWhatTheRegistrationWrote) {
  tav::install::REJESTRY("C:\\Ksi\xea\x67owo\\", "\\\\SERWER\\dane\\", "2025");
  findStartupFolders();
  EXPECT_EQ(tav::rt::shared().cProgram, tav::rt::utf8ToOem("C:\\Księgowo\\"));
  EXPECT_EQ(tav::rt::shared().cBaza, "\\\\SERWER\\dane\\");
}

}  // namespace

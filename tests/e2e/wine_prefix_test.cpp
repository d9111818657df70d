// Installing into a prefix that wineboot made: the tool's keys reach Wine's own registry, which
// Wine's reg tool then reads, every other key stays as Wine had it, and the shortcuts land in the
// prefix user's folders. While Wine runs in the prefix, or with a registry file that does not
// parse, the tool refuses and every registry file stays byte for byte as it was. The prefix is
// made once per run of this binary (it takes a while) and copied for each test.

#include <algorithm>
#include <memory>
#include <set>
#include <tuple>

#include "e2e/install_support.h"
#include "os/process/wine_server.h"

using namespace tav::e2e;
using Trees = tav::testing::SampleTrees;
using tav::testing::contents;

namespace {

const char* const kWine = "/usr/lib/wine/wine64";
const char* const kWineServer = "/usr/lib/wine/wineserver";

// A wine command in `prefix`, then a wait until its server has ended (and written the registry
// back), so that nothing of Wine outlives the command.
std::string wine(const fs::path& prefix, const fs::path& home, const std::string& args) {
  const std::string env = "env -u DISPLAY HOME=" + quoted(home) +
                          " WINEDEBUG=-all WINEARCH=win64 WINEPREFIX=" + quoted(prefix) + " ";
  const std::string out = runShell(env + kWine + " " + args);
  runShell(env + kWineServer + " -w");
  return out;
}

class WinePrefix : public ::testing::Test {
 protected:
  static inline fs::path made_, madeHome_;
  static inline std::string skip_;
  static inline int scenes_ = 0;

  static void SetUpTestSuite() {
    if (!Trees::available()) {
      skip_ = "mkrelease is not built";
      return;
    }
    if (!fs::exists(kWine) || !fs::exists(kWineServer)) {
      skip_ = "wine64 is not installed (scripts/packages.txt lists it)";
      return;
    }
    const fs::path root =
        fs::temp_directory_path() / ("tav-e2e-wineboot-" + std::to_string(::getpid()));
    fs::remove_all(root);
    madeHome_ = root / "home";
    made_ = root / "prefix";
    fs::create_directories(madeHome_);
    wine(made_, madeHome_, "wineboot -i");
    if (!fs::exists(made_ / "user.reg") || !fs::exists(made_ / "system.reg"))
      skip_ = "wine64 cannot make a prefix here (wineboot -i left no registry)";
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    if (!made_.empty()) fs::remove_all(made_.parent_path(), ec);
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    // Short: the database's path must stay within 60 characters.
    scene_ = std::make_unique<InstallScene>("wine" + std::to_string(++scenes_));
    home_ = scene_->root / "home";
    fs::create_directories(home_);
    runShell("cp -a " + quoted(made_) + " " + quoted(scene_->prefix));
    // wineboot links the user's Desktop and the like to $HOME: each copy gets its own.
    for (const auto& user : fs::directory_iterator(scene_->prefix / "drive_c" / "users"))
      for (const auto& e : fs::directory_iterator(user.path()))
        if (fs::is_symlink(e.symlink_status()) && fs::read_symlink(e.path()) == madeHome_) {
          fs::remove(e.path());
          fs::create_directory_symlink(home_, e.path());
        }
  }
  void TearDown() override {
    if (scene_) runShell("env WINEPREFIX=" + quoted(scene_->prefix) + " " + kWineServer + " -k");
    scene_.reset();
  }

  // The user wineboot made the profile for.
  fs::path profile() const {
    for (const auto& user : fs::directory_iterator(scene_->prefix / "drive_c" / "users"))
      if (user.path().filename() != "Public") return user.path();
    return {};
  }
  std::map<std::string, std::string> registryFiles() const {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::directory_iterator(scene_->prefix))
      if (e.path().filename().string().find(".reg") != std::string::npos)
        out[e.path().filename().string()] =
            e.path().extension() == ".lock" ? "" : contents(e.path());
    return out;
  }
  // `wine reg export` of a key as UTF-8 text.
  std::string exported(const std::string& key) const {
    const fs::path file = scene_->root / "export.reg";
    fs::remove(file);
    wine(scene_->prefix, home_, "reg export '" + key + "' " + quoted(file) + " /y");
    return runShell("iconv -f UTF-16 -t UTF-8 " + quoted(file));
  }

  std::unique_ptr<InstallScene> scene_;
  fs::path home_;
};

// The sections of an export, each with its lines, by key.
std::map<std::string, std::string> sections(const std::string& text) {
  std::map<std::string, std::string> out;
  std::string key;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[')
      key = line;
    else if (!key.empty())
      out[key] += line + "\n";
  }
  return out;
}

// The keys an export has that the other has not, or has with other values.
std::set<std::string> changedKeys(const std::string& before, const std::string& after) {
  auto a = sections(before), b = sections(after);
  std::set<std::string> out;
  for (const auto& [key, lines] : b)
    if (!a.count(key) || a[key] != lines) out.insert(key);
  for (const auto& [key, lines] : a)
    if (!b.count(key)) out.insert(key);
  return out;
}

}  // namespace

TEST_F(WinePrefix, FirstInstallationWritesWinesRegistryAndTheUsersShortcuts) {
  const std::string userBefore = exported("HKCU");
  const std::string machineBefore = exported("HKLM");
  const auto filesBefore = registryFiles();

  // The program directory carries Polish letters into the registry and the links.
  const fs::path program = scene_->prefix / "drive_c" / "Księgowość" / "Tav" / "2025";
  const fs::path database = scene_->prefix / "drive_c" / "Dane";
  const RunResult r = scene_->install(program, database);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.find("registry"), std::string::npos) << r.err;
  const auto filesAfter = registryFiles();
  // Compared as a whole: a diff of two megabytes would be no help.
  EXPECT_TRUE(filesAfter.at("system.reg") == filesBefore.at("system.reg"));
  EXPECT_TRUE(filesAfter.at("userdef.reg") == filesBefore.at("userdef.reg"));
  for (const auto& [name, bytes] :
       filesAfter)  // nothing set aside, only the lock beside the file written
    EXPECT_TRUE(filesBefore.count(name) || name == "user.reg.lock") << name;

  // Wine reads what the tool wrote.
  const std::string toolKey =
      wine(scene_->prefix, home_, "reg query 'HKCU\\Software\\Tamborex\\Tav\\2025\\2025'");
  for (const char* v :
       {"(Default)    REG_SZ    Parametry instalacyjne TAV", "Rok    REG_SZ    2025",
        "Wersja_Programu    REG_SZ    25.01.046", "Wersja_Bazy    REG_SZ    025.01.046",
        "Baza    REG_SZ    C:\\Dane\\", "Data_instalacji    REG_SZ"})
    EXPECT_NE(toolKey.find(v), std::string::npos) << v << "\n" << toolKey;
  const std::string uninstall =
      wine(scene_->prefix, home_,
           "reg query 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TAV2025'");
  for (const char* v : {"DisplayName    REG_SZ    Tav wersja 25.01.046",
                        "NoModify    REG_DWORD    0x1", "Publisher    REG_SZ    Tamborex"})
    EXPECT_NE(uninstall.find(v), std::string::npos) << v << "\n" << uninstall;
  // reg query prints through the console's code page; the export keeps every letter.
  const std::string userAfter = exported("HKCU");
  const std::string machineAfter = exported("HKLM");
  EXPECT_NE(userAfter.find("\"Program\"=\"C:\\\\Księgowość\\\\Tav\\\\2025\\\\\""),
            std::string::npos)
      << userAfter;
  EXPECT_NE(userAfter.find("\"InstallLocation\"=\"C:\\\\Księgowość\\\\Tav\\\\2025\\\\\""),
            std::string::npos);

  // Everything else is as Wine had it.
  // Wine rewrites a few machine keys of its own at every start of the prefix (video devices, the
  // current service set); system.reg, unchanged above, shows the tool left the machine alone.
  for (const std::string& key : changedKeys(machineBefore, machineAfter))
    EXPECT_EQ(key.rfind("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\", 0), 0u) << key;
  const std::set<std::string> tools = {
      "[HKEY_CURRENT_USER\\Software\\Tamborex]", "[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav]",
      "[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025]",
      "[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025]",
      "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TAV2025]",
      // A new prefix has no list of installed programs yet; the entry brings it.
      "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall]"};
  std::set<std::string> changed = changedKeys(userBefore, userAfter);
  EXPECT_TRUE(changed.count("[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025]"));
  // Wine's own settings are Wine's to change while the `wine reg` processes above run (its
  // debugger's key appeared there once, on a loaded machine); the tool writes nothing below them.
  for (const std::string& key : changed)
    EXPECT_TRUE(tools.count(key) || key.rfind("[HKEY_CURRENT_USER\\Software\\Wine\\", 0) == 0)
        << key;

  // The shortcuts, in the folders Wine's shell folders name.
  const fs::path desktopLink = profile() / "Desktop" / "Tav 2025.lnk";
  const fs::path menuLink = profile() / "AppData" / "Roaming" / "Microsoft" / "Windows" /
                            "Start Menu" / "Programs" / "Tamborex" / "Tav-2025" / "Tav-2025.lnk";
  for (const fs::path& l : {desktopLink, menuLink}) {
    ASSERT_TRUE(fs::exists(l)) << l;
    if (std::system("command -v lnkinfo > /dev/null") == 0) {
      const std::string info = runShell("lnkinfo -c windows-1250 " + quoted(l));
      EXPECT_NE(info.find("C:\\Księgowość\\Tav\\2025\\tav.exe"), std::string::npos) << info;
    }
  }
}

TEST_F(WinePrefix, WhileWineRunsOrAFileDoesNotParseNothingIsWritten) {
  const fs::path db = scene_->database("baza", "025.01.001", 1);
  const fs::path installed = scene_->program("program", "25.01.001", db);
  const fs::path fresh = scene_->prefix / "drive_c" / "Tav";

  // A program of the prefix keeps its Wine server running: here Wine's console waiting for its
  // input. (Not one named tav.exe: that would stop every other run of the tool on this computer.)
  FILE* console = ::popen(("env -u DISPLAY HOME=" + quoted(home_) + " WINEDEBUG=-all WINEPREFIX=" +
                           quoted(scene_->prefix) + " " + kWine + " cmd > /dev/null 2>&1")
                              .c_str(),
                          "w");
  ASSERT_NE(console, nullptr);
  bool up = false;
  for (int i = 0; i < 300 && !up; ++i) {
    up = tav::os::wineServerRunning(scene_->prefix);
    if (!up) ::usleep(100000);
  }
  EXPECT_TRUE(up) << "the Wine server did not show";
  const auto whileRunning = registryFiles();

  const RunResult install = scene_->install(fresh, scene_->root / "dane");
  EXPECT_EQ(install.code, 2) << install.err;
  EXPECT_NE(install.err.find("a Wine server is running for the prefix " + scene_->prefix.string()),
            std::string::npos)
      << install.err;
  EXPECT_NE(install.err.find("nothing was changed"), std::string::npos) << install.err;
  const RunResult upgrade = runTool(*scene_, {"--upgrade", installed.string(), "--yes"});
  EXPECT_EQ(upgrade.code, 2) << upgrade.err;
  EXPECT_NE(upgrade.err.find("close every program started in it"), std::string::npos)
      << upgrade.err;
  EXPECT_TRUE(registryFiles() == whileRunning);
  EXPECT_FALSE(fs::exists(fresh));

  std::fputs("exit\r\n", console);
  ::pclose(console);
  runShell("env WINEPREFIX=" + quoted(scene_->prefix) + " " + kWineServer + " -w");

  // A registry file that does not parse, and one that is not a registry file at all.
  const std::string user = contents(scene_->prefix / "user.reg");
  const size_t dword = user.find("=dword:");
  ASSERT_NE(dword, std::string::npos);
  std::string spoiled = user;
  spoiled.replace(dword, 15, "=dword:zz");
  const int line =
      1 + static_cast<int>(std::count(user.begin(), user.begin() + static_cast<long>(dword), '\n'));
  for (const auto& [file, text, where] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"user.reg", spoiled,
            "user.reg cannot be read as a registry file: line " + std::to_string(line)},
           {"system.reg", "<html>not a registry</html>\n",
            "system.reg cannot be read as a registry file: line 1"}}) {
    const auto original = contents(scene_->prefix / file);
    std::ofstream(scene_->prefix / file, std::ios::binary | std::ios::trunc) << text;
    const auto spoiledFiles = registryFiles();
    const RunResult r = scene_->install(fresh, scene_->root / "dane");
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
    EXPECT_TRUE(registryFiles() == spoiledFiles);
    EXPECT_FALSE(fs::exists(fresh));
    std::ofstream(scene_->prefix / file, std::ios::binary | std::ios::trunc) << original;
  }
}

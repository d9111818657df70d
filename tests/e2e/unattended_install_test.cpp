// The first installation as administrators script it: the real tav_setup with --install on a
// generated release, into empty directories, onto older, current, previous-year and newer
// databases, with every refusal proved harmless by hashing the trees; the results read back by
// independent readers (dbfread, dbftool, unzip, lnkinfo).
#include <sys/xattr.h>

#include <set>

#include "e2e/install_support.h"
#include "os/files.h"
#include "os/path.h"

using namespace tav::e2e;
using Trees = tav::testing::SampleTrees;
using tav::testing::contents;

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The Windows form of a host directory through the Z: drive, as a user of Wine would type it.
std::string zDrive(const fs::path& host) {
  std::string p = "Z:" + host.string();
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

// Every regular file directly in `dir`, by lower-case name, with its bytes.
std::map<std::string, std::string> filesOf(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) out[lower(e.path().filename().string())] = contents(e.path());
  return out;
}

void expectCopied(const fs::path& from, const fs::path& to) {
  const auto want = filesOf(from);
  ASSERT_FALSE(want.empty()) << from;
  for (const auto& [name, bytes] : want) {
    ASSERT_TRUE(fs::exists(to / name)) << (to / name);
    EXPECT_EQ(contents(to / name), bytes) << (to / name);
  }
}

std::vector<fs::path> links(const fs::path& prefix) {
  std::vector<fs::path> out;
  if (!fs::exists(prefix / "drive_c")) return out;
  for (const auto& e : fs::recursive_directory_iterator(prefix / "drive_c"))
    if (e.path().extension() == ".lnk") out.push_back(e.path());
  return out;
}

}  // namespace

TEST(UnattendedInstall, IntoEmptyDirectoriesANewDatabaseTheProgramAndItsRegistration) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  InstallScene s("new");
  const fs::path program = s.root / "Tamborex" / "Tav" / "2025";  // three levels to create
  const fs::path baza = s.root / "dane";
  fs::create_directories(baza);  // an existing, empty database directory

  RunResult r = s.install(program, baza);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("[Brak Katalogu]\n    Katalog dla Programu nie istnieje!"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("Katalog dla Bazy Danych nie istnieje!"), std::string::npos);
  EXPECT_NE(r.err.find("[Koniec instalacji]\n    Instalacja programu zakończyła się powodzeniem."),
            std::string::npos);
  EXPECT_EQ(r.report["outcome"], "00");
  EXPECT_EQ(r.report["branch"], "new database");
  EXPECT_EQ(r.report["year"], "2025");
  EXPECT_EQ(r.report["database_release_after"], "025.01.046");
  EXPECT_TRUE(r.report["files_failed"].empty());
  EXPECT_TRUE(r.report["firms"].empty());

  // The database: the release's templates, its version record and lock table.
  expectCopied(s.release / "str", baza / "str");
  expectCopied(s.release / "xml", baza / "str" / "xml");
  expectCopied(s.release / "public", baza / "public");
  EXPECT_TRUE(fs::is_directory(baza / "str" / "zest"));
  EXPECT_EQ(contents(baza / "wersja.dbf"), contents(s.release / "wb.dbf"));
  EXPECT_EQ(contents(baza / "semafor.dbf"), contents(s.release / "str" / "semafor.dbf"));
  EXPECT_EQ(field(baza / "wersja.dbf", "BAZA"), "025.01.046");
  // Every table and index of the new database is whole as an independent checker sees it.
  int checked = 0;
  for (const auto& e : fs::recursive_directory_iterator(baza))
    if (lower(e.path().extension().string()) == ".dbf") {
      const std::string out =
          runShell(quoted(fs::path(TAV_BINARY_DIR) / "tools" / "dbftool" / "dbftool") + " check " +
                   quoted(e.path()) + "; echo rc=$?");
      EXPECT_NE(out.find("rc=0"), std::string::npos) << e.path() << "\n" << out;
      ++checked;
    }
  EXPECT_GT(checked, 20);

  // The program: its directories, the release's files (no setup program), its version and path.
  for (const char* d :
       {"czytaj.to", "export/zus", "export/edek", "export/crm", "export/gus", "export/nfz", "mask",
        "ravimon", "install", "setings", "temp/arch", "txt", "dek"})
    EXPECT_TRUE(fs::is_directory(program / d)) << d;
  for (const char* f : {"tav.exe", "un_tav.exe", "7z.exe", "openssl.exe", "msxsl.exe"})
    EXPECT_EQ(contents(program / f), contents(s.release / f)) << f;
  int dlls = 0;
  for (const auto& [name, bytes] : filesOf(s.release))
    if (name.find(".dll") != std::string::npos) {
      EXPECT_EQ(contents(program / name), bytes) << name;
      ++dlls;
    }
  EXPECT_GT(dlls, 5);
  EXPECT_FALSE(fs::exists(program / "setup2.exe"));
  expectCopied(s.release / "czytaj.to", program / "czytaj.to");
  expectCopied(s.release / "ravimon", program / "ravimon");
  expectCopied(s.release / "mask", program / "mask");
  expectCopied(s.release / "w001", program / "dek");
  expectCopied(s.release / "txt", program / "txt");
  EXPECT_EQ(field(program / "wersja.dbf", "ROK"), "2025");
  EXPECT_EQ(field(program / "wersja.dbf", "TAV"), "25.01.046");
  const std::string path = field(program / "baza.dbf", "PATH");
  EXPECT_EQ(path, r.report["database_directory"].get<std::string>());
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.back(), '\\');
  EXPECT_TRUE(fs::equivalent(r.report["database_directory_host"].get<std::string>(), baza));
  const json bazaTable = tables(program / "baza.dbf")["baza.dbf"];
  EXPECT_EQ(bazaTable["fields"], json::parse(R"([["PATH","C",60,0]])"));
  EXPECT_EQ(bazaTable["live"], 1);

  // Registration: the tool's key, the uninstall entry, the two links.
  const std::string userReg = contents(s.prefix / "user.reg");
  EXPECT_NE(userReg.find("[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025]"),
            std::string::npos);
  EXPECT_NE(userReg.find("Uninstall\\TAV2025]"), std::string::npos);
  std::string escaped;  // the registry file doubles backslashes
  for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_NE(userReg.find("\"Baza\"=\"" + escaped + "\""), std::string::npos)
      << "the database, as baza.dbf has it";
  EXPECT_NE(r.report["registry"]["tool_key"].get<std::string>().find("Tamborex\\Tav\\2025"),
            std::string::npos);
  const auto made = links(s.prefix);
  EXPECT_EQ(made.size(), 2u);
  EXPECT_EQ(r.report["shortcuts"].size(), 2u);
  for (const fs::path& l : made)
    if (std::system("command -v lnkinfo > /dev/null") == 0) {
      EXPECT_NE(runShell("lnkinfo " + quoted(l)).find("tav.exe"), std::string::npos) << l;
    }

  // The release archive.
  const fs::path archive = baza / "install" / "25.01.046.zip";
  EXPECT_EQ(r.report["archive"], archive.string());
  EXPECT_NE(runShell("unzip -tq " + quoted(archive)).find("No errors detected"), std::string::npos);

  // The report names what was written, and nothing of the release.
  std::set<std::string> written;
  for (const json& f : r.report["files_written"]) written.insert(f.get<std::string>());
  EXPECT_TRUE(written.count((program / "baza.dbf").string()));
  EXPECT_TRUE(written.count((baza / "wersja.dbf").string()));
  EXPECT_TRUE(written.count(archive.string()));
  for (const std::string& f : written)
    EXPECT_EQ(f.find(s.release.string()), std::string::npos) << f;
}

TEST(UnattendedInstall, OntoAnOlderDatabaseItIsUpgradedThenACurrentOneIsTakenAsItIs) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  InstallScene s("older");
  const fs::path baza = s.database("baza", "025.01.001", 3);
  const fs::path program = s.root / "tav";

  // Without --yes the existing database is not touched, and the run says which switch goes on,
  // in the words the upgrade uses.
  const auto untouched = treeState(baza);
  RunResult unconfirmed = s.install(zDrive(program), zDrive(baza), {});
  EXPECT_EQ(unconfirmed.code, 2);
  EXPECT_NE(unconfirmed.err.find("needs confirmation: run again with --yes"), std::string::npos)
      << unconfirmed.err;
  EXPECT_NE(unconfirmed.err.find("nothing was changed"), std::string::npos) << unconfirmed.err;
  EXPECT_EQ(treeState(baza), untouched);
  EXPECT_FALSE(fs::exists(program / "tav.exe"));

  // Windows paths, as a user types them; the program directory without its backslash.
  RunResult r = s.install(zDrive(program), zDrive(baza) + "\\");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.report["branch"], "existing database upgraded");
  EXPECT_EQ(r.report["database_release_before"], "025.01.001");
  EXPECT_EQ(r.report["database_release_after"], "025.01.046");
  EXPECT_EQ(statuses(r.report),
            (std::map<int, std::string>{{1, "converted"}, {2, "converted"}, {3, "converted"}}));
  EXPECT_EQ(field(baza / "wersja.dbf", "BAZA"), "025.01.046");
  EXPECT_EQ(field(baza / "wersja.dbf", "OK"), "T");
  for (int n = 1; n <= 3; ++n)
    EXPECT_EQ(field(baza / ("firma" + std::to_string(n)) / "wersja.dbf", "BAZA"), "025.01.046")
        << n;
  EXPECT_TRUE(fs::exists(baza / "install" / "25.01.046.zip"));
  EXPECT_EQ(contents(program / "tav.exe"), contents(s.release / "tav.exe"));
  EXPECT_EQ(field(program / "baza.dbf", "PATH"), zDrive(baza) + "\\");
  EXPECT_EQ(field(program / "wersja.dbf", "ROK"), "2025");
  // The database demands the installed program's level, as after an upgrade: nothing of the
  // program is left for a later upgrade to refresh.
  EXPECT_EQ(field(baza / "wersja.dbf", "TAV"), "25.01.046");
  {
    const fs::path out = s.root / "plan.txt";
    ASSERT_EQ(
        std::system(
            (s.command({"--plan", program.string()}) + " > " + quoted(out) + " 2>&1").c_str()),
        0);
    EXPECT_NE(contents(out).find("program steps: none"), std::string::npos) << contents(out);
  }
  // No progress window was left: the run's window went before the program files were copied.
  EXPECT_NE(r.err.find("[Koniec instalacji]"), std::string::npos);

  // A second workstation installs onto the now current database: nothing in it is touched.
  const auto firms = treeState(baza / "firma1");
  RunResult again = s.install(s.root / "tav2", baza);
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_EQ(again.report["branch"], "existing database current");
  EXPECT_TRUE(again.report["firms"].empty());
  EXPECT_EQ(treeState(baza / "firma1"), firms);
  EXPECT_EQ(field(s.root / "tav2" / "baza.dbf", "PATH"),
            again.report["database_directory"].get<std::string>());

  // A firm that cannot be converted: the others are, the warning says so, and no program is
  // installed onto a database that is not whole.
  const fs::path partial = s.database("czesciowa", "025.01.001", 2);
  std::ofstream(partial / "firma2" / "sam_dok.dbf", std::ios::binary | std::ios::trunc)
      << std::string(40, '\x7f');
  RunResult some = s.install(s.root / "tav3", partial);
  EXPECT_EQ(some.code, 1) << some.err;
  EXPECT_EQ(some.report["outcome"], "01");
  EXPECT_NE(some.err.find("[Ostrzeżenie!]\n    Część firm nie została zainstalowana."),
            std::string::npos)
      << some.err;
  EXPECT_EQ(statuses(some.report), (std::map<int, std::string>{{1, "converted"}, {2, "failed"}}));
  EXPECT_FALSE(fs::exists(s.root / "tav3" / "tav.exe"));
  EXPECT_TRUE(some.report["registry"].is_null());
}

TEST(UnattendedInstall, OntoTheYearBeforeTheReleaseYearsProgramIsNamedAndItsSettingsCarried) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  InstallScene s("lastyear");
  const fs::path baza = s.database("baza2024", "025.01.046", 2, "2024");
  const fs::path current = s.program("tav2025", "25.01.046", baza, "2025");
  const fs::path older = s.program("tav2024", "25.01.040", baza, "2024");
  const fs::path empty = s.root / "pusty";
  fs::create_directories(empty);
  const fs::path program = s.root / "nowy";
  fs::create_directories(program);
  const auto bazaBefore = treeState(baza);

  struct Refusal {
    std::vector<std::string> switches;
    const char* expected;
  };
  const std::vector<Refusal> refusals = {
      {{"--yes"}, "--previous-program"},
      {{"--previous-program", current.string()},
       "[Uwaga!]\n    Instalujesz program na rok 2024. Potwierdź!"},
      {{"--yes", "--previous-program", older.string()},
       "[błąd!]\n    Wskazany katolog nie zawiera programu TAV na rok 2025!"},
      {{"--yes", "--previous-program", empty.string()},
       "[błąd!]\n    Wskazany katolog nie zawiera programu TAV!"},
  };
  for (const Refusal& f : refusals) {
    SCOPED_TRACE(f.expected);
    RunResult r = s.install(program, baza, f.switches);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(f.expected), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(program));
    EXPECT_EQ(treeState(baza), bazaBefore);
  }

  RunResult r = s.install(program, baza, {"--yes", "--previous-program", current.string()});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.report["branch"], "existing database current");
  EXPECT_EQ(r.report["year"], "2024");
  EXPECT_FALSE(r.report["previous_program"].is_null());
  EXPECT_EQ(contents(program / "setings" / "station.dbf"),
            contents(current / "setings" / "station.dbf"));
  EXPECT_EQ(field(program / "wersja.dbf", "ROK"), "2024");
  EXPECT_EQ(field(program / "wersja.dbf", "TAV"), "25.01.046");
  const std::string userReg = contents(s.prefix / "user.reg");
  EXPECT_NE(userReg.find("[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2024\\2024]"),
            std::string::npos);
  EXPECT_EQ(userReg.find("Tamborex\\Tav\\2025"), std::string::npos);
  bool desktop2024 = false;
  for (const fs::path& l : links(s.prefix)) desktop2024 |= l.filename() == "Tav 2024.lnk";
  EXPECT_TRUE(desktop2024);
}

TEST(UnattendedInstall, EveryRefusedCheckSaysWhyAndChangesNothing) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  InstallScene s("checks");
  const fs::path shipped = s.database("wzor", "025.01.046", 1);
  const fs::path program = s.root / "program";
  fs::create_directories(program);
  // The same database, spoiled one way for each case that needs one.
  int copies = 0;
  auto database = [&](const std::function<void(const fs::path&)>& spoil) {
    const fs::path d = Trees::copy(shipped, s.root / ("baza" + std::to_string(++copies)));
    spoil(d);
    return d.string();
  };
  auto garbage = [](const fs::path& p) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << "not a table";
  };
  const fs::path emptyBase = s.root / "pusta";
  fs::create_directories(emptyBase);
  const fs::path cluttered = s.root / "zajeta";
  fs::create_directories(cluttered);
  std::ofstream(cluttered / "notatki.txt") << "zakupy";

  // A program directory that holds only a hidden file, hidden the way the tool's file layer
  // reads it back.
  const fs::path hidden = s.root / "ukryty";
  fs::create_directories(hidden);
  std::ofstream(hidden / "desktop.ini") << "[.ShellClassInfo]";
  ::setenv("TAV_PREFIX", s.prefix.c_str(), 1);
  tav::os::resetPathCaches();
  const std::string hiddenFile = tav::os::fromHost(hidden / "desktop.ini");
  const bool canHide = tav::os::setAttributes(hiddenFile, "+H") &&
                       tav::os::listDirectory(tav::os::fromHost(hidden) + "\\*.*").empty();
  ::unsetenv("TAV_PREFIX");
  tav::os::resetPathCaches();
  fs::remove_all(s.prefix);

  struct Case {
    const char* title;
    const char* text;
    std::string program, database;
    std::vector<std::string> more = {"--yes"};
  };
  const std::string longName = (s.root / std::string(64, 'd')).string();
  const std::vector<Case> cases = {
      {"Katalog Programu", "Katalog do instalacji Programu jest pusty!", "   ", emptyBase.string()},
      {"Katalog bazy danych", "Katalog do instalacji Bazy Danych jest pusty!", program.string(),
       "  "},
      {"Katalog Programu", "głównym katalogiem dysku!", "C:\\", emptyBase.string()},
      {"Katalog Bazy", "nie powinien zawierać słowa \"WINDOWS\"!", program.string(),
       "D:\\Windows\\Dane"},
      {"Błędne katalogi", "Katalogi do instalacji Bazy Danych\n    i programu muszą być rózne!",
       (s.root / "Wspolny").string(), zDrive(s.root / "WSPOLNY")},
      {"Katalog bazy danych", "najwyżej 60 znaków", program.string(), longName},
      // Names that would lead out of the place named, or that Windows and the host read apart.
      {"Katalog Programu", "Błędna nazwa katalogu!!!", zDrive(s.root / "tav") + "\\..\\..\\obcy",
       emptyBase.string()},
      {"Katalog Bazy", "Błędna nazwa katalogu!!!", program.string(), (s.root / "baza. ").string()},
      {"Brak Katalogu",
       "Katalog dla Programu nie istnieje!",
       (s.root / "brak" / "tav").string(),
       emptyBase.string(),
       {}},
      {"Brak Katalogu",
       "Katalog dla Bazy Danych nie istnieje!",
       program.string(),
       (s.root / "brak" / "baza").string(),
       {}},
      {"Błąd katalogu", "Katalog w którym zostanie zainstalowany Program\n    musi być pusty!",
       s.release.string(), emptyBase.string()},
      {"Błąd katalogu", "Katalog w którym zostanie zainstalowana Baza danych\n    musi być pusty!",
       program.string(), cluttered.string()},
      {"Błąd pliku!", "Nie mogę otworzyć pliku *wersja.dbf* Instalacja przerwana!",
       program.string(), database([&](const fs::path& d) { garbage(d / "wersja.dbf"); })},
      {"Błąd", "Instalacja programu do bazy na rok 2023\n    jest niemożliwa!", program.string(),
       database([](const fs::path& d) { setField(d / "wersja.dbf", "rok", "2023"); })},
      // Directories the run had to make (with --yes) go again with the refusal.
      {"Błąd instalacji",
       "Istniejąca wersja bazy danych (025.01.099) wymaga przynajmniej wersji 25.01.099 programu "
       "WinTav.",
       (s.root / "nowe" / "tav").string(), database([](const fs::path& d) {
         setField(d / "wersja.dbf", "baza", "025.01.099");
         setField(d / "wersja.dbf", "tav", "25.01.099");
       })},
  };
  std::vector<Case> all = cases;
  if (canHide)
    all.push_back({"Błąd katalogu", "zainstalowany Program", hidden.string(), emptyBase.string()});

  int n = 0;
  for (const Case& c : all) {
    SCOPED_TRACE(std::to_string(++n) + ": " + c.text);
    const auto root = treeState(s.root);
    RunResult r = s.install(c.program, c.database, c.more);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(std::string("[") + c.title + "]"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
    // Without --yes, the run says that it is the switch that answers the question.
    if (c.more.empty()) {
      EXPECT_NE(r.err.find("needs confirmation: run again with --yes"), std::string::npos) << r.err;
    }
    fs::remove(s.root / "stderr.txt");
    fs::remove(s.root / "report.json");
    fs::remove_all(s.prefix);  // the registry the run may have started, never the trees
    EXPECT_EQ(treeState(s.root), root);
    EXPECT_NE(r.report["outcome"].get<std::string>(), "00");
    EXPECT_TRUE(r.report["files_written"].empty()) << r.report["files_written"].dump();
  }
  EXPECT_TRUE(canHide) << "the file layer could not hide a file here: that case did not run";

  // A directory longer than the field that carries it would be cut to another place.
  const auto root = treeState(s.root);
  RunResult r = s.install((s.root / std::string(300, 'p')).string(), emptyBase.string(), {"--yes"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("is longer than the 128 characters"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
  fs::remove(s.root / "stderr.txt");
  fs::remove(s.root / "report.json");
  fs::remove_all(s.prefix);
  EXPECT_EQ(treeState(s.root), root);
}

TEST(UnattendedInstall, AProgramFileThatDoesNotArriveLeavesTheInstallationUnregistered) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  InstallScene s("missing");
  fs::remove(s.release / "un_tav.exe");  // an incomplete release
  const fs::path program = s.root / "tav", baza = s.root / "baza";

  RunResult r = s.install(program, baza);
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("[Błąd instalacji]"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("un_tav.exe"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("opróżnij oba katalogi"), std::string::npos)
      << "the way to the next attempt";
  EXPECT_EQ(r.err.find("[Koniec instalacji]"), std::string::npos) << r.err;
  ASSERT_EQ(r.report["files_failed"].size(), 1u) << r.report.dump(2);
  EXPECT_NE(r.report["files_failed"][0].get<std::string>().find("un_tav.exe"), std::string::npos);
  EXPECT_TRUE(r.report["registry"].is_null());
  // The other copies were finished; nothing was registered.
  EXPECT_TRUE(fs::exists(program / "tav.exe"));
  EXPECT_TRUE(fs::exists(program / "7z.exe"));
  EXPECT_TRUE(fs::exists(program / "baza.dbf"));
  EXPECT_EQ(contents(s.prefix / "user.reg").find("Tamborex"), std::string::npos);
  EXPECT_TRUE(links(s.prefix).empty());

  // The cause removed and both directories emptied as the message asks, the next attempt finishes.
  std::ofstream(s.release / "un_tav.exe") << "un_tav";
  fs::remove_all(program);
  fs::remove_all(baza);
  RunResult again = s.install(program, baza);
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_TRUE(fs::exists(program / "un_tav.exe"));
  EXPECT_NE(contents(s.prefix / "user.reg").find("Tamborex\\Tav\\2025\\2025]"), std::string::npos);
}

// A registry whose writes are refused while the installation runs (here its lock file cannot be
// made, which the checks before the run do not see) leaves the installation in place, and its
// last lines say the entries were not written and why.
TEST(UnattendedInstall, RegistryWritesRefusedDuringTheRunAreNamedAtItsEnd) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  InstallScene s("refused");
  fs::create_directories(s.prefix / "user.reg.lock");
  const fs::path program = s.root / "tav", baza = s.root / "baza";
  RunResult r = s.install(program, baza);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("\ntav_setup: registry entries were not written: the lock file of " +
                       (s.prefix / "user.reg").string() + " cannot be made\n"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(fs::exists(program / "tav.exe"));
  EXPECT_FALSE(fs::exists(s.prefix / "user.reg"));
}

TEST(UnattendedInstall, TheCommandLineIsCheckedBeforeAnythingIsCreated) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  InstallScene s("switches");
  const fs::path program = s.root / "tav", baza = s.root / "baza";
  const std::vector<std::pair<std::vector<std::string>, const char*>> refused = {
      {{"--install", program.string(), baza.string(), "--yse"}, "unknown switch --yse"},
      {{"--install", program.string()}, "--install needs"},
      {{"--upgrade", program.string(), "--previous-program", baza.string()},
       "--previous-program goes with --install"},
      {{"--install", program.string(), baza.string(), "--upgrade", program.string()},
       "only one of --upgrade, --install and --plan"},
      {{"--upgrade", program.string(), "--jobs", "0"},
       "--jobs takes a number from 1 to 64, not '0'"},
      {{"--check", baza.string(), "--yes"}, "--plan, --check and --check-program take only --json"},
      {{"--repair", baza.string(), "--yes", "--json", "x.json"},
       "the repairs write their report with --report"},
      {{"--repair-program", program.string(), "--check", baza.string()}, "only one of"},
  };
  for (const auto& [switches, message] : refused) {
    SCOPED_TRACE(message);
    RunResult r = runTool(s, switches);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
    EXPECT_FALSE(fs::exists(s.prefix));
    EXPECT_FALSE(fs::exists(program));
    EXPECT_FALSE(fs::exists(baza));
  }
  const std::string help = runShell(s.command({"--help"}));
  EXPECT_NE(help.find("--install PROGRAM_DIR DATABASE_DIR"), std::string::npos) << help;
  EXPECT_NE(help.find("--previous-program DIR"), std::string::npos);
  for (const char* sw :
       {"--check DIR", "--repair DIR", "--check-program DIR", "--repair-program DIR"})
    EXPECT_NE(help.find(sw), std::string::npos) << sw;
}

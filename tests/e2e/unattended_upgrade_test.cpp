// The upgrade as administrators run it overnight: the real tav_setup with --upgrade on generated
// releases, databases and programs, its files read back by independent readers.
#include <fcntl.h>
#include <sys/file.h>

#include <chrono>
#include <set>
#include <thread>

#include "e2e/upgrade_support.h"
#include "runtime/codepage.h"
#include "runtime/coding.h"

using namespace tav::e2e;
namespace rt = tav::rt;
using Trees = tav::testing::SampleTrees;
using tav::testing::contents;
using tav::testing::snapshot;

namespace {

// Tables whose conversion rules delete records: contributions of former partners (skl_52r), the
// duplicate tax forms of public\.
const std::set<std::string> kRecordsDeletedByRule = {"skl_52r.dbf", "wpit.dbf", "fpit.dbf"};
// Tables the conversions only restructure (fields added or widened): every value stays.
const std::set<std::string> kRestructuredOnly = {"rk_dok.dbf",  "ks_fw.dbf",   "st_gn.dbf",
                                                 "sam_rej.dbf", "sam_dok.dbf", "v_oss.dbf",
                                                 "ks_kor.dbf",  "p_f.dbf"};

std::string base(const std::string& key) { return fs::path(key).filename().string(); }

json rtrim(json v) {
  if (v.is_string()) {
    std::string s = v.get<std::string>();
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  }
  return v;
}

// Another workstation's TAV holding a table open (shared open mode, as the engines on Linux take
// it with flock): a child process that keeps the lock until it is killed. -1 when it could not.
pid_t holdOpen(const fs::path& table) {
  const int fd = ::open(table.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  // Taken before the fork, the lock is the open file's: the child holds it from its first moment,
  // and keeps it alone once this process has closed its descriptor. Nothing to wait for.
  if (::flock(fd, LOCK_SH) != 0) {
    ::close(fd);
    return -1;
  }
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::pause();
    ::_exit(0);
  }
  ::close(fd);
  return holder;
}

// Killed, as a crashed workstation is: its lock goes with it.
void killHolder(pid_t holder) {
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
}

std::string run(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

}  // namespace

TEST(UnattendedUpgrade, OlderDatabaseAndProgramComeToTheShippedReleaseWithNothingLost) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("whole", "025.01.001", 6);
  const json before = tables(s.baza);

  RunResult r = upgrade(s);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("[Powodzenie!]"), std::string::npos) << r.err;
  EXPECT_EQ(r.report["outcome"], "00");
  EXPECT_EQ(r.report["database_release_before"], "025.01.001");
  EXPECT_EQ(r.report["database_release_after"], "025.01.046");
  // Firm 5 lacks one of the tables a firm needs and is left alone; the others are converted.
  std::map<int, std::string> expected{{1, "converted"}, {2, "converted"}, {3, "converted"},
                                      {4, "converted"}, {5, "skipped"},   {6, "converted"}};
  EXPECT_EQ(statuses(r.report), expected);
  for (const json& f : r.report["firms"])
    if (f["status"] == "converted") {
      EXPECT_EQ(f["release_after"], "025.01.046") << f.dump();
    }

  EXPECT_EQ(field(s.baza / "wersja.dbf", "BAZA"), "025.01.046");
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "T");
  EXPECT_EQ(field(s.program / "wersja.dbf", "TAV"), "25.01.046");

  // Every table a converted firm holds has the shipped structure, no live record is gone but
  // where a rule deletes them, and a table that was only restructured keeps every value.
  const json after = tables(s.baza);
  const json shipped = tables(s.release / "str");
  int compared = 0, valuesCompared = 0;
  for (const auto& [key, was] : before.items()) {
    if (was.contains("error") || key.rfind("firma5/", 0) == 0) continue;
    ASSERT_TRUE(after.contains(key)) << key << " is gone";
    const json& now = after[key];
    ASSERT_FALSE(now.contains("error")) << key << ": " << now["error"];
    const std::string name = base(key);
    if (key.rfind("firma", 0) == 0 && shipped.contains(name) && shipped[name].contains("fields")) {
      json a = json::array(), b = json::array();
      for (const json& f : now["fields"]) a.push_back({f[0], f[1], f[2]});
      for (const json& f : shipped[name]["fields"]) b.push_back({f[0], f[1], f[2]});
      EXPECT_EQ(a, b) << key << " has not the shipped structure";
      ++compared;
    }
    // The reference tables of str\ are the release's: they are replaced, not converted.
    if (key.rfind("str/", 0) != 0 && !kRecordsDeletedByRule.count(name)) {
      EXPECT_GE(now["live"].get<int>(), was["live"].get<int>()) << key << " lost records";
    }
    if (kRestructuredOnly.count(name)) {
      ASSERT_EQ(now["live"], was["live"]) << key;
      for (size_t i = 0; i < was["records"].size(); ++i)
        for (const auto& [fieldName, value] : was["records"][i].items()) {
          EXPECT_EQ(rtrim(now["records"][i].value(fieldName, json())), rtrim(value))
              << key << " #" << i + 1 << " " << fieldName;
          ++valuesCompared;
        }
    }
  }
  EXPECT_GT(compared, 300);
  EXPECT_GT(valuesCompared, 1000);

  // The archive, the registry and the shortcuts.
  const fs::path archive = s.baza / "install" / "25.01.046.zip";
  EXPECT_EQ(r.report["archive"], archive.string());
  EXPECT_NE(run("unzip -tq " + quoted(archive)).find("No errors detected"), std::string::npos);
  EXPECT_EQ(run("unzip -zq " + quoted(archive)).rfind("TAV", 0), 0u) << "archive comment";
  const std::string userReg = contents(s.prefix / "user.reg");
  EXPECT_NE(userReg.find("[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025]"),
            std::string::npos);
  EXPECT_NE(userReg.find("Uninstall\\TAV2025]"), std::string::npos);
  int links = 0;
  for (const auto& e : fs::recursive_directory_iterator(s.prefix / "drive_c" / "users"))
    if (e.path().extension() == ".lnk") {
      ++links;
      if (std::system("command -v lnkinfo > /dev/null") == 0) {
        EXPECT_NE(run("lnkinfo " + quoted(e.path())).find("tav.exe"), std::string::npos)
            << e.path();
      }
    }
  EXPECT_EQ(links, 2);

  // A second run finds the database current: only the program is refreshed, no firm is touched.
  const auto firm1 = snapshot(s.baza / "firma1");
  RunResult again = upgrade(s);
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_TRUE(again.report["firms"].empty());
  EXPECT_EQ(snapshot(s.baza / "firma1"), firm1);
}

TEST(UnattendedUpgrade, DamagedFirmIsReportedTheOthersConvertedAndTheRerunFinishes) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("damaged", "025.01.001", 4);
  const fs::path damaged = s.baza / "firma2" / "sam_dok.dbf";
  const std::string good = contents(damaged);
  std::ofstream(damaged, std::ios::binary | std::ios::trunc) << std::string(40, '\x7f');

  RunResult r = upgrade(s);
  ASSERT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(r.report["outcome"], "01");
  EXPECT_EQ(statuses(r.report),
            (std::map<int, std::string>{
                {1, "converted"}, {2, "failed"}, {3, "converted"}, {4, "converted"}}));
  EXPECT_FALSE(r.report["firms"][1]["error"].get<std::string>().empty());
  EXPECT_NE(r.err.find("[Ostrzeżenie!]"), std::string::npos);
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "N");
  EXPECT_EQ(field(s.baza / "wersja.dbf", "BAZA"), "025.01.046");
  // The failure log, in the release directory, in the ANSI code page.
  EXPECT_EQ(contents(s.release / "error.log"),
            rt::utf8ToAnsi(
                "Nie udało się zainstalować firmy nr: 2. Napraw firmę i spróbuj jeszcze raz!\r\n"));
  EXPECT_EQ(r.report["error_log"], (s.release / "error.log").string());
  const std::string report = contents(s.baza / "public" / "ins_raport.txt");
  EXPECT_NE(report.find(rt::utf8ToAnsi("  Raport z instalacji wersji: 25.01.046\r\n") +
                        std::string(48, '-') + "\r\n" +
                        rt::utf8ToAnsi("Firma nr: 2 Błąd podczas instalacji:\r\n")),
            std::string::npos);
  EXPECT_EQ(report.find("Firma nr: 1 "), std::string::npos);
  // The archive and the program still came: the books of the other firms need them.
  EXPECT_TRUE(fs::exists(s.baza / "install" / "25.01.046.zip"));
  EXPECT_EQ(field(s.program / "wersja.dbf", "TAV"), "25.01.046");

  // Repaired, the next run takes the database again although its release is already current.
  std::ofstream(damaged, std::ios::binary | std::ios::trunc) << good;
  RunResult rerun = upgrade(s);
  ASSERT_EQ(rerun.code, 0) << rerun.err;
  EXPECT_EQ(statuses(rerun.report),
            (std::map<int, std::string>{
                {1, "current"}, {2, "converted"}, {3, "current"}, {4, "current"}}));
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "T");
  EXPECT_FALSE(fs::exists(s.release / "error.log"));
}

// A table cut short (the header still counts its records) and a memo reference past the memo
// file: converted as they are, the tables would come out smaller and consistent and nothing would
// say records were lost. Each such firm fails naming the table and the damage, none of its files
// is touched, the plan says so beforehand, and the other firms go on.
TEST(UnattendedUpgrade, DamagedTablesFailTheirFirmUntouchedAndThePlanNamesThem) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("truncated", "025.01.001", 3);
  const fs::path cut = s.baza / "firma2" / "ks_dok.dbf";
  std::string bytes = contents(cut);
  const uint16_t headerLength = rt::getLE16(bytes.data() + 8);
  const uint16_t recordLength = rt::getLE16(bytes.data() + 10);
  const uint32_t counted = rt::getLE32(bytes.data() + 4);
  ASSERT_GT(counted, 2u);
  fs::resize_file(cut, headerLength + recordLength + 100);
  // firma3's customer 2 points at a memo block far past its memo file.
  const fs::path klient = s.baza / "firma3" / "klient" / "klient.dbf";
  std::string k = contents(klient);
  const uint16_t kh = rt::getLE16(k.data() + 8), kr = rt::getLE16(k.data() + 10);
  size_t memo = 1;
  for (size_t at = 32; k[at] != 0x0D; at += 32) {
    if (std::string(k.data() + at, 5) == "UWAGI") break;
    memo += static_cast<unsigned char>(k[at + 16]);
  }
  k.replace(kh + kr + memo, 10, "    999999");
  std::ofstream(klient, std::ios::binary | std::ios::trunc) << k;

  const std::string planFile = (s.root / "plan.json").string();
  const std::string planned = run(s.command({"--plan", s.program.string(), "--json", planFile}));
  const json plan = json::parse(contents(planFile));
  const std::string cutText = "damaged: ks_dok.dbf: header " + std::to_string(counted) +
                              " records, file holds 1 and 100 of the " +
                              std::to_string(recordLength) + " bytes of the next";
  EXPECT_NE(planned.find(cutText), std::string::npos) << planned;
  EXPECT_EQ(plan["firms"][1]["skipped"], cutText);
  EXPECT_EQ(plan["firms"][1]["steps"].size(), 0u);
  EXPECT_EQ(plan["firms"][2]["skipped"],
            "damaged: klient\\klient.dbf: record 2 field UWAGI: memo block 999999 lies outside "
            "the memo file");
  EXPECT_EQ(plan["firms"][0]["skipped"], nullptr);

  const auto firm2 = snapshot(s.baza / "firma2"), firm3 = snapshot(s.baza / "firma3");
  RunResult r = upgrade(s);
  ASSERT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(statuses(r.report),
            (std::map<int, std::string>{{1, "converted"}, {2, "failed"}, {3, "failed"}}));
  const std::string error2 = r.report["firms"][1]["error"].get<std::string>();
  EXPECT_NE(error2.find("damaged table ks_dok.dbf: " + cutText.substr(cutText.find("header"))),
            std::string::npos)
      << error2;
  EXPECT_NE(r.report["firms"][2]["error"].get<std::string>().find(
                "damaged table klient\\klient.dbf: record 2 field UWAGI"),
            std::string::npos);
  // Not a byte of the damaged firms changed: the evidence stays for the repair.
  EXPECT_EQ(snapshot(s.baza / "firma2"), firm2);
  EXPECT_EQ(snapshot(s.baza / "firma3"), firm3);
  EXPECT_EQ(contents(s.release / "error.log"),
            rt::utf8ToAnsi(
                "Nie udało się zainstalować firmy nr: 2. Napraw firmę i spróbuj jeszcze raz!\r\n"
                "Nie udało się zainstalować firmy nr: 3. Napraw firmę i spróbuj jeszcze raz!\r\n"));
  EXPECT_NE(contents(s.baza / "public" / "ins_raport.txt").find("damaged table ks_dok.dbf"),
            std::string::npos);
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "N");
}

TEST(UnattendedUpgrade, EveryRefusedCheckSaysWhyAndChangesNothing) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  struct Case {
    const char* title;
    const char* text;
    std::function<void(Scene&)> spoil;
    std::string directory;  // instead of the program directory
  };
  auto garbage = [](const fs::path& p) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << "not a table";
  };
  const std::vector<Case> cases = {
      {"Katalog Programu", "Nie wprowadzono katalogu, z bieżącą wersją TAV", [](Scene&) {}, "   "},
      {"Błąd katalogu", "Programu TAV w wersji Windows",
       [](Scene& s) { fs::remove(s.program / "ot4xb.dll"); }, ""},
      {"Katalog Programu", "Nie można otworzyć pliku",
       [&](Scene& s) { garbage(s.program / "wersja.dbf"); }, ""},
      {"Błąd", "Wskazany program obowiązuje w roku 2024",
       [](Scene& s) { setField(s.program / "wersja.dbf", "rok", "2024"); }, ""},
      {"Błędna wersja", "Bieżąca wersja=25.01.047",
       [](Scene& s) { setField(s.program / "wersja.dbf", "tav", "25.01.047"); }, ""},
      {"Błędna wersja", "wynosi dla roku 2025 24.01.078",
       [](Scene& s) { setField(s.program / "wersja.dbf", "tav", "24.01.077"); }, ""},
      {"Katalog Programu", "baza.dbf", [&](Scene& s) { garbage(s.program / "baza.dbf"); }, ""},
      {"Katalog Bazy danych", "Katalog z bazą danych jest pusty",
       [](Scene& s) { setField(s.program / "baza.dbf", "path", ""); }, ""},
      {"Błąd bazy", "Nie można otworzyć pliku", [&](Scene& s) { garbage(s.baza / "wersja.dbf"); },
       ""},
      {"Błąd", "Baza wskazanego programu obowiązuje w roku 2026",
       [](Scene& s) { setField(s.baza / "wersja.dbf", "rok", "2026"); }, ""},
      {"Błąd bazy", "Bieżąca wersja Bazy jest większa od wymaganej przez program",
       [](Scene& s) { setField(s.baza / "wersja.dbf", "baza", "025.01.047"); }, ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(++n) + ": " + c.text);
    Scene s("check" + std::to_string(n), "025.01.040", 2);
    c.spoil(s);
    const auto program = snapshot(s.program), baza = snapshot(s.baza);
    RunResult r =
        runTool(s, {"--upgrade", c.directory.empty() ? s.program.string() : c.directory, "--yes"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(std::string("[") + c.title + "]"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was changed"), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(s.program), program);
    EXPECT_EQ(snapshot(s.baza), baza);
  }

  // Without --yes the run stops at the confirmation, and so does a command line it cannot read.
  Scene s("unconfirmed", "025.01.040", 2);
  RunResult bad = runTool(s, {"--upgrade", s.program.string(), "--yse"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("unknown switch --yse"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("usage:"), std::string::npos);
  EXPECT_FALSE(fs::exists(s.prefix)) << "a refused command line must create nothing";
  const auto baza = snapshot(s.baza);
  RunResult r = upgrade(s, false);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("--yes"), std::string::npos) << r.err;
  EXPECT_EQ(snapshot(s.baza), baza);
  EXPECT_EQ(std::system((s.command({"--help"}) + " > /dev/null").c_str()), 0);
}

TEST(UnattendedUpgrade, HeldDatabaseIsRefusedAndAnInterruptedRunIsFinishedByTheNext) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("held", "025.01.001", 8);
  {
    // Another workstation's TAV holds the lock table open.
    const pid_t holder = holdOpen(s.baza / "str" / "nazwy.dbf");
    ASSERT_GT(holder, 0);
    const auto firm1 = snapshot(s.baza / "firma1");
    RunResult r = upgrade(s);
    killHolder(holder);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("W programie TAV pracują inni użytkownicy."), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(s.baza / "firma1"), firm1);
    EXPECT_EQ(field(s.program / "wersja.dbf", "TAV"), "25.01.001");
  }

  // SIGTERM after the first firm: the firm being converted finishes, the run stops before the next.
  int pipeFd[2];
  ASSERT_EQ(::pipe(pipeFd), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFd[1], 2);
    ::close(pipeFd[0]);
    ::execl("/bin/sh", "sh", "-c",
            (s.command({"--upgrade", s.program.string(), "--yes", "--report",
                        (s.root / "stopped.json").string()}) +
             " > /dev/null")
                .c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFd[1]);
  std::string err;
  bool signalled = false;
  char buf[1024];
  ssize_t n;
  while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0) {
    err.append(buf, static_cast<size_t>(n));
    if (!signalled && err.find("firm 1 of 8") != std::string::npos) {
      ::kill(child, SIGTERM);
      signalled = true;
    }
  }
  ::close(pipeFd[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(signalled) << err;
  EXPECT_EQ(WEXITSTATUS(status), 2) << err;
  const json stopped = json::parse(contents(s.root / "stopped.json"));
  EXPECT_EQ(stopped["outcome"], "Instalacja przerwna na życzenie użytkownika");
  EXPECT_LT(stopped["firms"].size(), 8u);
  EXPECT_GE(stopped["firms"].size(), 1u);
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "N");
  EXPECT_EQ(field(s.baza / "wersja.dbf", "BAZA"), "025.01.001");
  EXPECT_EQ(field(s.program / "wersja.dbf", "TAV"), "25.01.001")
      << "no program refresh after an interruption";

  RunResult rest = upgrade(s);
  ASSERT_EQ(rest.code, 0) << rest.err;
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "T");
  for (const auto& [nr, st] : statuses(rest.report)) {
    if (nr <= static_cast<int>(stopped["firms"].size())) {
      EXPECT_NE(st, "converted") << "firm " << nr << " twice";
    } else if (nr != 5 && nr != 8) {
      EXPECT_EQ(st, "converted") << "firm " << nr;
    }
  }
}

// What other hands leave in the trees costs at most the firm it touches: a firm table another
// workstation holds open fails that firm alone, naming the table; a name that reads as a path
// out of the program directory, a link looping back up a firm, and a database path written
// relative to the program (as the program itself reads it) change nothing outside the
// directories given. Once the holder is gone (killed: its lock goes with it) the rerun finishes.
TEST(UnattendedUpgrade, ForeignHandsAndNamesCostOnlyTheFirmTheyTouch) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("foreign", "025.01.001", 3);
  setField(s.program / "baza.dbf", "path", "..\\baza\\");
  std::ofstream(s.root / "victim.dll") << "not the program's";
  std::ofstream(s.program / "..\\victim.dll") << "a name no Windows program could write";
  fs::create_directory_symlink("../..", s.baza / "firma3" / "loop");

  const pid_t holder = holdOpen(s.baza / "firma2" / "ks_kor.dbf");
  ASSERT_GT(holder, 0);
  RunResult r = upgrade(s);
  killHolder(holder);

  ASSERT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(statuses(r.report),
            (std::map<int, std::string>{{1, "converted"}, {2, "failed"}, {3, "converted"}}));
  const std::string error = r.report["firms"][1]["error"].get<std::string>();
  EXPECT_NE(error.find("firma2\\ks_kor.dbf"), std::string::npos) << error;
  EXPECT_EQ(contents(s.root / "victim.dll"), "not the program's");
  EXPECT_TRUE(fs::is_symlink(s.baza / "firma3" / "loop"));

  RunResult rest = upgrade(s);
  ASSERT_EQ(rest.code, 0) << rest.err;
  EXPECT_EQ(statuses(rest.report),
            (std::map<int, std::string>{{1, "current"}, {2, "converted"}, {3, "current"}}));
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "T");
  EXPECT_EQ(contents(s.root / "victim.dll"), "not the program's");
}

// Firms converted at once, each in a worker process, leave what one firm after another leaves:
// the same tables, the same report firm by firm (failures and their first description included),
// the same error.log and public\ins_raport.txt, the same progress lines in the same order.
TEST(UnattendedUpgrade, FirmsConvertedAtOnceLeaveWhatOneAfterAnotherLeaves) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene one("jobs1", "025.01.001", 5), three("jobs3", "025.01.001", 5);
  for (const Scene* s : {&one, &three})
    for (const char* firm : {"firma2", "firma4"})
      std::ofstream(s->baza / firm / "sam_dok.dbf", std::ios::binary | std::ios::trunc)
          << std::string(40, '\x7f');
  RunResult a = upgrade(one);
  RunResult b = runTool(three, {"--upgrade", three.program.string(), "--yes", "--jobs", "2"});
  ASSERT_EQ(a.code, 1) << a.err;
  ASSERT_EQ(b.code, 1) << b.err;

  auto books = [](const Scene& s) {
    json t = tables(s.baza);
    for (const char* moment : {"public/pub_dat.dbf", "str/nazwy.dbf"}) t.erase(moment);
    return t;
  };
  EXPECT_EQ(books(one), books(three));
  // What names a scene's own directories is made the same in both.
  auto same = [](std::string text) {
    for (size_t at; (at = text.find("e2e-jobs3")) != std::string::npos;)
      text.replace(at, 9, "e2e-jobs1");
    return text;
  };
  for (const char* key : {"firms", "tlist", "steps"})
    EXPECT_EQ(a.report[key].dump(), same(b.report[key].dump())) << key;
  EXPECT_EQ(contents(one.release / "error.log"), contents(three.release / "error.log"));
  auto withoutStamp = [](std::string report) { return report.substr(report.find('\n')); };
  EXPECT_EQ(withoutStamp(contents(one.baza / "public" / "ins_raport.txt")),
            same(withoutStamp(contents(three.baza / "public" / "ins_raport.txt"))));
  // Progress and boxes as printed, the times of day left out.
  auto printed = [](const std::string& err) {
    std::string out;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("tav_setup:", 0) == 0) continue;
      out += line.substr(0, line.find(", remaining")) + "\n";
    }
    return out;
  };
  EXPECT_EQ(printed(a.err), same(printed(b.err)));
  EXPECT_NE(printed(b.err).find("firm 5 of 5"), std::string::npos) << b.err;
}

// Two upgrades of one database at once: the first stands still in its disk test of the database
// directory (stopped by the fault seam as it clears its scratch table), the second says the
// database is in use, before its own disk test could trip over the first one's files and blame
// an antivirus program, and changes nothing; once the first has finished, a third finds nothing
// left but the program and ends without an error box. The exit code always agrees with what was
// said.
TEST(UnattendedUpgrade, ASecondRunFindsTheDatabaseHeldAndEveryExitCodeAgreesWithItsMessages) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("twice", "025.01.001", 3);
  const pid_t first = ::fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    ::setenv("TAV_FAULT", "delete@test.dbf:1:stop", 1);
    std::freopen((s.root / "first.txt").c_str(), "w", stderr);
    std::freopen("/dev/null", "w", stdout);
    ::execl("/bin/sh", "sh", "-c", s.command({"--upgrade", s.program.string(), "--yes"}).c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Whatever happens below, the first run does not stay stopped.
  struct Reaped {
    pid_t pid;
    int status = 0;
    bool done = false;
    ~Reaped() {
      if (done) return;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  } run{first};
  ASSERT_EQ(::waitpid(first, &run.status, WUNTRACED), first);
  ASSERT_TRUE(WIFSTOPPED(run.status)) << "the first run ended before it held the database";

  const auto baza = snapshot(s.baza);
  RunResult second = upgrade(s);
  EXPECT_EQ(second.code, 2) << second.err;
  EXPECT_NE(second.err.find("W programie TAV pracują inni użytkownicy."), std::string::npos)
      << second.err;
  EXPECT_EQ(second.err.find("antywirus"), std::string::npos) << second.err;
  EXPECT_NE(second.err.find("nothing was changed"), std::string::npos) << second.err;
  EXPECT_TRUE(snapshot(s.baza) == baza) << "the second run changed the database";

  ::kill(first, SIGCONT);
  ASSERT_EQ(::waitpid(first, &run.status, 0), first);
  run.done = true;
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 0) << contents(s.root / "first.txt");

  RunResult third = upgrade(s);
  EXPECT_EQ(third.code, 0) << third.err;
  EXPECT_EQ(third.err.find("[Błąd"), std::string::npos) << third.err;
  EXPECT_TRUE(third.report["firms"].empty());
}

// Release arguments that are not the release's own (a program release one too high, a database
// release the release does not carry) are refused before anything is touched, naming both the
// value given and the one the release records; the plan refuses them too.
TEST(UnattendedUpgrade, ArgumentsThatDisagreeWithTheReleaseAreRefusedNamingBoth) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("arguments", "025.01.001", 2);
  const auto baza = snapshot(s.baza), program = snapshot(s.program);
  auto run = [&](const std::string& arguments, const std::string& action) {
    std::string c = s.command({action, s.program.string(), "--yes"});
    c.replace(c.find("25.01.046 025.01.046 2025"), 25, arguments);
    if (action == "--plan") c.erase(c.rfind(" '--yes'"));
    const fs::path err = s.root / "stderr.txt";
    const int rc = std::system((c + " > /dev/null 2> " + quoted(err)).c_str());
    return std::make_pair(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, contents(err));
  };
  const auto program47 = run("25.01.047 025.01.046 2025", "--upgrade");
  EXPECT_EQ(program47.first, 2);
  EXPECT_NE(program47.second.find("program release 25.01.047 given, its wk.dbf says 25.01.046"),
            std::string::npos)
      << program47.second;
  const auto database99 = run("25.01.046 025.01.099 2025", "--upgrade");
  EXPECT_EQ(database99.first, 2);
  EXPECT_NE(database99.second.find("database release 025.01.099 given, its wb.dbf says 025.01.046"),
            std::string::npos)
      << database99.second;
  const auto planned = run("25.01.046 025.01.046 2024", "--plan");
  EXPECT_EQ(planned.first, 2);
  EXPECT_NE(planned.second.find("tax year 2024 given, its wk.dbf says 2025"), std::string::npos)
      << planned.second;
  EXPECT_TRUE(snapshot(s.baza) == baza);
  EXPECT_TRUE(snapshot(s.program) == program);
  EXPECT_FALSE(fs::exists(s.baza / "install" / "25.01.047.zip"));
}

// What the run leaves alone and the names it keeps: files of other programs named "~….tmp" stay
// wherever they are, a firm the run passes over (no firma.dbf) keeps even the copies a killed run
// left in it, the copies a killed run left elsewhere go; and the database's path is named in the
// report and the registry as baza.dbf keeps it (a lower-case drive letter too).
TEST(UnattendedUpgrade, OtherProgramsFilesAndAPassedOverFirmAreLeftAloneAndThePathKeepsItsForm) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("alone", "025.01.001", 3);
  std::string stored = "z:" + s.baza.string() + "\\";
  std::replace(stored.begin(), stored.end(), '/', '\\');
  setField(s.program / "baza.dbf", "path", stored);
  fs::remove(s.baza / "firma3" / "firma.dbf");
  for (const fs::path& p :
       {s.baza / "~raport.tmp", s.baza / "firma1" / "~WRL0001.tmp",
        s.baza / "firma3" / "~ks_dok.dbf.4242.tmp", s.baza / "~wersja.dbf.4242.tmp",
        s.baza / "firma1" / "~ks_dok.dbf.77.tmp"})
    std::ofstream(p) << "x";

  RunResult r = upgrade(s);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(statuses(r.report).at(3), "skipped");
  // The report says why, as the plan does.
  EXPECT_EQ(r.report["firms"][2]["skipped"], "no firma.dbf");
  EXPECT_TRUE(r.report["firms"][0]["skipped"].is_null());
  EXPECT_TRUE(fs::exists(s.baza / "~raport.tmp"));
  EXPECT_TRUE(fs::exists(s.baza / "firma1" / "~WRL0001.tmp"));
  EXPECT_TRUE(fs::exists(s.baza / "firma3" / "~ks_dok.dbf.4242.tmp"));
  EXPECT_FALSE(fs::exists(s.baza / "~wersja.dbf.4242.tmp"));
  EXPECT_FALSE(fs::exists(s.baza / "firma1" / "~ks_dok.dbf.77.tmp"));

  EXPECT_EQ(r.report["database_directory"], stored);
  const std::string userReg = contents(s.prefix / "user.reg");
  std::string escaped;
  for (char c : stored) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_NE(userReg.find("\"Baza\"=\"" + escaped + "\""), std::string::npos) << userReg;
}

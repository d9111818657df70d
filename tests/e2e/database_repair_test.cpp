// Check and repair as support people run them: the real tav_setup with --check and --repair on a
// generated database damaged in every way the check names (tests/e2e/damage.py: several firms,
// public\, str\ and the database's own version record), and with --check-program and
// --repair-program on an upgraded program whose files, registry key and shortcut were spoilt.
// Independent readers prove the files: dbfread, dbftool check, the registry's own text.
//
// Groups: DatabaseRepair (check names every damage and writes nothing; repair keeps the originals
// byte for byte, mends what it can, reports it, and the upgrade then converts every firm with the
// records it kept), ProgramRepair (check and repair of the program, its keys and links).
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <set>

#include "e2e/upgrade_support.h"
#include "runtime/codepage.h"

using namespace tav::e2e;
namespace rt = tav::rt;
using Trees = tav::testing::SampleTrees;
using tav::testing::contents;
using tav::testing::snapshot;

namespace {

struct Ran {
  int code = -1;
  std::string out, err;
  json report;
};

// tav_setup with `switches`; the JSON report of --json or --report read back when written.
Ran runWith(const Scene& s, std::vector<std::string> switches, const char* reportSwitch) {
  const fs::path out = s.root / "out.txt", err = s.root / "err.txt", report = s.root / "out.json";
  fs::remove(report);
  switches.push_back(reportSwitch);
  switches.push_back(report.string());
  const int rc =
      std::system((s.command(switches) + " > " + quoted(out) + " 2> " + quoted(err)).c_str());
  Ran r;
  r.code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = contents(out);
  r.err = contents(err);
  if (fs::exists(report)) r.report = json::parse(contents(report));
  return r;
}

std::string shell(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

// The damaged tables' reports, keyed as damage.py keys them ("firma2/ks_dok.dbf").
std::map<std::string, json> byTable(const json& report) {
  std::map<std::string, json> out;
  for (const json& d : report.at("directories")) {
    std::string dir = d.at("place") == "firm"
                          ? "firma" + std::to_string(d.at("number").get<int>()) + "/"
                      : d.at("place") == "database" ? ""
                                                    : d.at("place").get<std::string>() + "/";
    for (const json& t : d.at("tables")) {
      std::string name = t.at("table").get<std::string>();
      std::replace(name.begin(), name.end(), '\\', '/');
      out[dir + name] = t;
    }
  }
  return out;
}

std::set<std::string> kinds(const json& list) {
  std::set<std::string> out;
  for (const json& f : list) out.insert(f.at("kind").get<std::string>());
  return out;
}

// The table's own files as they are now: name -> bytes.
std::map<std::string, std::string> filesOf(const fs::path& table) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(table.parent_path()))
    if (e.path().stem() == table.stem()) out[e.path().filename().string()] = contents(e.path());
  return out;
}

}  // namespace

TEST(DatabaseRepair, CheckNamesEveryDamageRepairMendsItAndTheUpgradeThenConvertsEveryFirm) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("repair", "025.01.001", 3);
  const json pristine = tables(s.baza);
  const json damage = json::parse(
      shell("/usr/bin/python3 " + quoted(fs::path(TAV_SOURCE_DIR) / "tests" / "e2e" / "damage.py") +
            " " + quoted(s.baza)));
  ASSERT_GE(damage.size(), 12u);
  // A link back up the tree is walked past, never followed.
  fs::create_directory_symlink("..", s.baza / "public" / "loop");
  fs::create_directory_symlink("../..", s.baza / "firma3" / "loop");
  std::map<std::string, std::map<std::string, std::string>> damagedFiles;
  for (const auto& [table, _] : damage.items()) damagedFiles[table] = filesOf(s.baza / table);

  // The check: every damaged table named with every damage it has, no other table, nothing
  // written (not even a time of last write).
  fs::create_directories(s.prefix);
  const auto before = snapshot(s.baza);
  Ran check = runWith(s, {"--check", s.program.string()}, "--json");
  EXPECT_EQ(snapshot(s.baza), before);
  ASSERT_EQ(check.code, 1) << check.err;
  EXPECT_EQ(check.report["exit_code"], 1);
  std::map<std::string, json> found = byTable(check.report);
  for (const auto& [table, expected] : damage.items()) {
    ASSERT_TRUE(found.count(table)) << table << " not named:\n" << check.out;
    const std::set<std::string> named = kinds(found[table]["found"]);
    for (const json& kind : expected["kinds"])
      EXPECT_TRUE(named.count(kind.get<std::string>())) << table << " " << kind << "\n"
                                                        << check.out;
    EXPECT_NE(check.out.find(fs::path(table).filename().string()), std::string::npos) << table;
  }
  EXPECT_EQ(found.size(), damage.size()) << check.out;
  // Directories read at once, in worker processes, tell the same as one after another.
  Ran oneByOne = runWith(s, {"--check", s.program.string(), "--jobs", "1"}, "--json");
  EXPECT_EQ(oneByOne.code, 1);
  EXPECT_EQ(oneByOne.report, check.report);
  EXPECT_EQ(oneByOne.out, check.out);
  Ran three = runWith(s, {"--check", s.program.string(), "--jobs", "3"}, "--json");
  EXPECT_EQ(three.report, check.report);
  // An index whose extension is in upper case is the table's index all the same: the check
  // looks for the files beside a table in its directory's listing in any case.
  fs::rename(s.baza / "firma3" / "ks_dok.cdx", s.baza / "firma3" / "ks_dok.CDX");
  Ran upper = runWith(s, {"--check", s.program.string()}, "--json");
  EXPECT_EQ(upper.report, check.report) << upper.out;
  fs::rename(s.baza / "firma3" / "ks_dok.CDX", s.baza / "firma3" / "ks_dok.cdx");
  // Progress: every directory of the database, firm by firm.
  for (const char* line :
       {"1 of 6: the database directory", "4 of 6: firm 1 (firma1)", "6 of 6: firm 3 (firma3)"})
    EXPECT_NE(check.err.find(line), std::string::npos) << check.err;

  // The repair.
  Ran repaired = runWith(s, {"--repair", s.program.string(), "--yes"}, "--report");
  // The number and the date that are none stay for a person to decide: exit 1.
  ASSERT_EQ(repaired.code, 1) << repaired.err << repaired.out;
  const fs::path originals = repaired.report.at("originals_host").get<std::string>();
  ASSERT_EQ(originals.parent_path(), s.baza / "naprawa");
  std::map<std::string, json> mended = byTable(repaired.report);
  EXPECT_EQ(mended.size(), damage.size());
  for (const auto& [table, expected] : damage.items()) {
    const json& t = mended[table];
    EXPECT_EQ(kinds(t["found"]), kinds(found[table]["found"])) << table;
    // The originals, byte for byte as the damage left them (a memo file that was gone, absent).
    for (const auto& [name, bytes] : damagedFiles[table])
      EXPECT_EQ(contents(originals / fs::path(table).parent_path() / name), bytes)
          << table << " " << name;
    EXPECT_EQ(t["originals"].is_null(), false) << table;
    if (expected.value("person", false)) {
      EXPECT_EQ(t["left"].size(), 2u) << t.dump(1);
    } else {
      EXPECT_EQ(t["left"].size(), 0u) << t.dump(1);
      EXPECT_FALSE(t["done"].empty()) << table;
    }
  }
  // Every table consistent but the one a person must look at, whose only findings are its number
  // and its date.
  const std::string dbftool = (fs::path(TAV_BINARY_DIR) / "tools" / "dbftool" / "dbftool").string();
  for (const auto& e : fs::recursive_directory_iterator(s.baza)) {
    if (e.path().extension() != ".dbf" || e.path().string().find("/naprawa/") != std::string::npos)
      continue;
    const std::string said = shell(dbftool + " check " + quoted(e.path()));
    if (e.path() == s.baza / "firma1" / "ks_dok.dbf") {
      EXPECT_NE(said.find("is not a number"), std::string::npos) << said;
      EXPECT_NE(said.find("is not a date"), std::string::npos) << said;
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
    } else {
      EXPECT_EQ(said, "") << e.path();
    }
  }
  // The report names every mend, in the code page and line ends of the tool's other reports.
  const std::string text = contents(s.baza / "public" / "naprawa.txt");
  EXPECT_NE(text.find("\r\n"), std::string::npos);
  EXPECT_NE(text.find(rt::utf8ToAnsi("Raport z naprawy bazy danych")), std::string::npos);
  for (const auto& [table, t] : mended)
    for (const json& d : t["done"])
      EXPECT_NE(text.find(rt::utf8ToAnsi(d["text"].get<std::string>())), std::string::npos)
          << d["text"];
  const json& cut = damage["firma2/ks_dok.dbf"];
  const std::string kept = "kept the " + std::to_string(cut["kept"].get<int>()) +
                           " whole records the file holds; the header claimed " +
                           std::to_string(cut["claimed"].get<int>());
  EXPECT_NE(text.find(kept), std::string::npos) << text;
  EXPECT_NE(
      text.find("memo references past the end of the memo file cleared: record 2 field UWAGI"),
      std::string::npos)
      << text;

  // The records the repair kept are the first records of the table as it was whole.
  const json keptRecords = tables(s.baza / "firma2" / "ks_dok.dbf")["ks_dok.dbf"];
  const json whole = pristine["firma2/ks_dok.dbf"];
  ASSERT_EQ(keptRecords["live"], cut["kept"]);
  for (int i = 0; i < cut["kept"].get<int>(); ++i)
    EXPECT_EQ(keptRecords["records"][i], whole["records"][i]) << i;

  // The upgrade that would have failed those firms converts every one of them, the kept records
  // with it (the conversions change some of their values: the records are told by their lpp).
  RunResult up = upgrade(s);
  ASSERT_EQ(up.code, 0) << up.err;
  EXPECT_EQ(statuses(up.report),
            (std::map<int, std::string>{{1, "converted"}, {2, "converted"}, {3, "converted"}}));
  const json after = tables(s.baza / "firma2" / "ks_dok.dbf")["ks_dok.dbf"];
  ASSERT_EQ(after["live"], cut["kept"]);
  for (int i = 0; i < cut["kept"].get<int>(); ++i)
    EXPECT_EQ(after["records"][i]["LPP"], whole["records"][i]["LPP"]) << i;
}

// Without --yes a repair changes nothing; a database held by a workstation is refused.
TEST(DatabaseRepair, UnconfirmedOrHeldTheRepairIsRefusedAndChangesNothing) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("repair-refused", "025.01.001", 2);
  fs::resize_file(s.baza / "firma2" / "ks_dok.dbf",
                  fs::file_size(s.baza / "firma2" / "ks_dok.dbf") - 700);
  fs::create_directories(s.prefix);
  const auto before = snapshot(s.baza);
  // A table another program holds exclusively is in use, not damaged.
  {
    const int held = ::open((s.baza / "firma1" / "ks_kor.dbf").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    Ran check = runWith(s, {"--check", s.program.string()}, "--json");
    ::close(held);
    EXPECT_EQ(check.code, 1);  // the cut table of firma2
    const std::map<std::string, json> named = byTable(check.report);
    ASSERT_TRUE(named.count("firma1/ks_kor.dbf")) << check.out;
    EXPECT_EQ(named.at("firma1/ks_kor.dbf")["in_use"], true);
    EXPECT_TRUE(named.at("firma1/ks_kor.dbf")["found"].empty());
    EXPECT_TRUE(named.count("firma2/ks_dok.dbf"));
    EXPECT_NE(check.out.find("in use by another program"), std::string::npos) << check.out;
  }
  Ran unconfirmed = runWith(s, {"--repair", s.program.string()}, "--report");
  EXPECT_EQ(unconfirmed.code, 2);
  EXPECT_NE(unconfirmed.err.find("--yes"), std::string::npos) << unconfirmed.err;
  EXPECT_EQ(snapshot(s.baza), before);

  const int fd = ::open((s.baza / "str" / "nazwy.dbf").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_SH), 0);
  Ran held = runWith(s, {"--repair", s.program.string(), "--yes"}, "--report");
  ::close(fd);
  EXPECT_EQ(held.code, 2);
  EXPECT_NE(held.report["refusal"].get<std::string>().find("W programie TAV pracują inni"),
            std::string::npos);
  EXPECT_EQ(snapshot(s.baza), before);
}

TEST(ProgramRepair, SpoiltFilesKeysAndLinksAreNamedAndPutBackWithTheReplacedFilesKept) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("program-repair", "025.01.001", 2);
  ASSERT_EQ(upgrade(s).code, 0);
  Ran clean = runWith(s, {"--check-program", s.program.string()}, "--json");
  ASSERT_EQ(clean.code, 0) << clean.out << clean.err;
  ASSERT_GT(clean.report["files_compared"].get<int>(), 20);
  EXPECT_TRUE(clean.report["items"].empty());

  // A DLL gone, the program changed, the desktop link gone, the key naming another directory.
  fs::remove(s.program / "fce32.dll");
  const std::string spoilt = contents(s.program / "tav.exe") + "spoilt";
  std::ofstream(s.program / "tav.exe", std::ios::binary | std::ios::trunc) << spoilt;
  fs::path desktop;
  for (const auto& e : fs::recursive_directory_iterator(s.prefix))
    if (e.path().filename() == "Tav 2025.lnk" && e.path().parent_path().filename() == "Desktop")
      desktop = e.path();
  ASSERT_FALSE(desktop.empty());
  fs::remove(desktop);
  std::string reg = contents(s.prefix / "user.reg");
  const size_t at = reg.find("\"Program\"=\"");
  ASSERT_NE(at, std::string::npos);
  reg.replace(at, reg.find('\n', at) - at, "\"Program\"=\"C:\\\\elsewhere\\\\\"");
  std::ofstream(s.prefix / "user.reg", std::ios::binary | std::ios::trunc) << reg;

  const auto program = snapshot(s.program);
  Ran check = runWith(s, {"--check-program", s.program.string()}, "--json");
  EXPECT_EQ(snapshot(s.program), program);
  ASSERT_EQ(check.code, 1) << check.err;
  std::map<std::string, std::string> wrong;
  for (const json& i : check.report["items"]) wrong[i["name"].get<std::string>()] = i["found"];
  EXPECT_EQ(wrong["fce32.dll"], "missing");
  EXPECT_NE(wrong["tav.exe"].find("differs from the release"), std::string::npos);
  EXPECT_EQ(wrong.size(), 4u) << check.out;
  EXPECT_NE(check.out.find("Program is \"C:\\elsewhere\\\""), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("Tav 2025.lnk: missing"), std::string::npos) << check.out;

  Ran repaired = runWith(s, {"--repair-program", s.program.string(), "--yes"}, "--report");
  ASSERT_EQ(repaired.code, 0) << repaired.out << repaired.err;
  EXPECT_EQ(contents(s.program / "tav.exe"), contents(s.release / "tav.exe"));
  EXPECT_EQ(contents(s.program / "fce32.dll"), contents(s.release / "fce32.dll"));
  EXPECT_TRUE(fs::exists(desktop));
  if (std::system("command -v lnkinfo > /dev/null") == 0) {
    EXPECT_NE(shell("lnkinfo " + quoted(desktop)).find("tav.exe"), std::string::npos);
  }
  const std::string fixedReg = contents(s.prefix / "user.reg");
  EXPECT_EQ(fixedReg.find("elsewhere"), std::string::npos);
  // The replaced program kept as it was.
  ASSERT_FALSE(repaired.report["originals_host"].is_null());
  const fs::path kept = repaired.report["originals_host"].get<std::string>();
  EXPECT_EQ(contents(kept / "tav.exe"), spoilt);
  EXPECT_EQ(runWith(s, {"--check-program", s.program.string()}, "--json").code, 0);
}

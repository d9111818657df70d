// The trees mkrelease writes, read back through the table engine: what the upgrade will meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "db/index_catalogue.h"
#include "engine/workspace.h"
#include "generate.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "schema.h"
#include "support/programs.h"

namespace {

namespace fs = std::filesystem;
using tav::mkrelease::Field;
using tav::mkrelease::kShipped;
using tav::mkrelease::Place;
using tav::mkrelease::Schema;
using tav::mkrelease::Table;
using tav::rt::Value;

// The engine syncs every index it closes; on a memory file system that costs nothing, and a
// sample database is hundreds of indexes.
fs::path scratch(const std::string& name) {
#ifdef _WIN32
  // Under Wine, Linux's memory file system is reached through drive Z:.
  const fs::path shm = L"Z:\\dev\\shm";
  std::error_code ec;
  fs::path base = fs::is_directory(shm, ec) ? shm : fs::temp_directory_path();
  fs::path p = base / ("tav_mkrelease_" + std::to_string(::_getpid()) + "_" + name);
#else
  fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  fs::path p = base / ("tav_mkrelease_" + std::to_string(::getpid()) + "_" + name);
#endif
  fs::remove_all(p);
  return p;
}

std::string trim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  return s;
}

// An engine workspace over one table at a time, read-only.
class Reader {
 public:
  tav::engine::WorkArea& open(const fs::path& dbf) {
    ws_.closeAll();
    tav::engine::UseOptions o;
    o.readOnly = true;
    if (!ws_.use(dbf.string(), "T", o)) throw std::runtime_error("cannot open " + dbf.string());
    return *ws_.current();
  }
  std::vector<std::vector<Value>> rows(const fs::path& dbf, bool withDeleted = true) {
    auto& a = open(dbf);
    std::vector<std::vector<Value>> out;
    for (uint32_t r = 1; r <= a.lastRec(); ++r) {
      a.goTo(r);
      if (!withDeleted && a.deleted()) continue;
      std::vector<Value> row;
      for (size_t f = 1; f <= a.fieldCount(); ++f) row.push_back(a.get(f));
      out.push_back(std::move(row));
    }
    return out;
  }
  Value get(const fs::path& dbf, uint32_t recno, const char* field) {
    auto& a = open(dbf);
    a.goTo(recno);
    return a.get(std::string_view(field));
  }
  tav::engine::Workspace ws_;
};

class GeneratedDatabase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(scratch("db"));
    tav::mkrelease::DatabaseOptions o;
    o.dir = *root_;
    o.firms = 8;
    o.records = 150;
    o.seed = 11;
    tav::rt::Error e;
    ASSERT_TRUE(tav::rt::guarded([&] { tav::mkrelease::writeDatabase(o); }, &e)) << e.description;
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }
  static fs::path firm(int n) { return *root_ / ("firma" + std::to_string(n)); }
  static fs::path* root_;
  Reader read;
};
fs::path* GeneratedDatabase::root_ = nullptr;

TEST_F(GeneratedDatabase, VersionTablesAndFirmList) {
  EXPECT_EQ(read.get(*root_ / "wersja.dbf", 1, "baza").str(), "025.01.001");
  EXPECT_EQ(read.get(*root_ / "wersja.dbf", 1, "tav").str(), "25.01.001");
  EXPECT_EQ(read.get(*root_ / "wersja.dbf", 1, "ok").str(), "T");
  auto& ins = read.open(*root_ / "install.dbf");
  ASSERT_EQ(ins.lastRec(), 9u);
  for (uint32_t r = 1; r <= 9; ++r) {
    ins.goTo(r);
    EXPECT_EQ(ins.get("nr").num(), r);
    EXPECT_EQ(ins.deleted(), r == 9) << r;
  }
  EXPECT_FALSE(fs::exists(*root_ / "firma9"));
  const std::pair<int, const char*> releases[] = {{1, "025.01.001"}, {2, "013.05.001"},
                                                  {3, "022.01.010"}, {4, "025.01.022"},
                                                  {8, "025.01.046"}, {1, "025.01.001"}};
  for (auto [n, release] : releases) {
    EXPECT_EQ(read.get(firm(n) / "wersja.dbf", 1, "baza").str(), release) << n;
    EXPECT_EQ(read.get(firm(n) / "wersja.dbf", 1, "wariant").str(), std::string(release).substr(7))
        << n;
  }
  EXPECT_NEAR(read.get(firm(2) / "wersja.dbf", 1, "nr").num(), 13.05, 1e-9);
}

TEST_F(GeneratedDatabase, FirmsDifferOnPurpose) {
  EXPECT_FALSE(fs::exists(firm(5) / "firma.dbf"));
  EXPECT_TRUE(fs::exists(firm(5) / "ks_dok.dbf"));
  for (const char* f :
       {"p_ift.dbf", "skl_52r.dbf", "sld_buff.dbf", "p_ald.dbf", "zest/p_swp.rtf"}) {
    EXPECT_FALSE(fs::exists(firm(6) / f)) << f;
    EXPECT_TRUE(fs::exists(firm(1) / f)) << f;
  }
  EXPECT_TRUE(fs::exists(firm(7) / "bak" / "w51.txt"));
  EXPECT_FALSE(fs::exists(firm(1) / "bak" / "w51.txt"));
  EXPECT_TRUE(fs::exists(firm(1) / "bak" / "k"));
  for (const char* f : {"dsto.dbf", "dsto.lpp", "st_dd.dbf", "ppk_tree.dbf", "p_wyp1.dbf",
                        "wpu.dbf", "wp.dbf", "wh.dbf", "whw.dbf"}) {
    EXPECT_TRUE(fs::exists(firm(2) / f)) << f;
    EXPECT_FALSE(fs::exists(firm(1) / f)) << f;
  }
  // Tables a later release brings are not there yet.
  for (const char* f : {"cpn.dbf", "sme_ewi.dbf", "ksef_p.dbf"})
    EXPECT_FALSE(fs::exists(firm(1) / f)) << f;
}

// Every table has the structure the schema gives for the firm's release, field by field.
TEST_F(GeneratedDatabase, StructuresAreTheSchemasForEachFirmsRelease) {
  for (auto [n, release] : {std::pair{1, "025.01.001"}, std::pair{4, "025.01.022"},
                            std::pair{2, "025.01.001"}, std::pair{8, "025.01.046"}}) {
    int checked = 0;
    for (const Table& t : Schema::builtIn().tables()) {
      if (!t.at(Place::Firm)) continue;
      fs::path dbf = firm(n);
      std::string name = t.name;
      for (char& c : name)
        if (c == '\\') c = '/';
      dbf /= name + ".dbf";
      if (!fs::exists(dbf)) continue;
      auto expected = t.structureAt(release);
      auto actual = read.open(dbf).structure();
      ASSERT_EQ(actual.size(), expected.size()) << dbf;
      for (size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].name, tav::rt::upper(expected[i].name)) << dbf;
        EXPECT_EQ(actual[i].type, expected[i].type) << dbf << " " << actual[i].name;
        EXPECT_EQ(actual[i].length, expected[i].length) << dbf << " " << actual[i].name;
        EXPECT_EQ(actual[i].decimals, expected[i].decimals) << dbf << " " << actual[i].name;
      }
      ++checked;
    }
    EXPECT_GT(checked, 140) << n;
  }
  EXPECT_EQ(read.open(firm(1) / "p_us.dbf").fieldCount(), 16u);
  EXPECT_EQ(read.open(firm(4) / "p_us.dbf").fieldCount(), 24u);
  EXPECT_EQ(read.open(firm(8) / "ks_dok.dbf").fieldCount(), 92u);
  EXPECT_TRUE(fs::exists(firm(8) / "sme_ewi.cdx"));
}

// The structural index opens with each table and holds every catalogued tag over every record.
TEST_F(GeneratedDatabase, EveryCatalogueTagIsThereAndComplete) {
  int tags = 0;
  for (const auto& row : tav::db::firmCatalogue()) {
    if (row.isDeletion()) continue;
    std::string name = row.table;
    for (char& c : name)
      if (c == '\\') c = '/';
    fs::path dbf = firm(1) / (name + ".dbf");
    ASSERT_TRUE(fs::exists(fs::path(dbf).replace_extension(".cdx"))) << dbf;
    auto& a = read.open(dbf);
    EXPECT_EQ(a.indexCount(), 1u) << dbf;
    for (const auto& tag : row.tags) {
      ASSERT_TRUE(a.setOrder(tag.name)) << dbf << " " << tag.name;
      uint32_t seen = 0;
      for (a.goTop(); !a.eof(); a.skip()) ++seen;
      EXPECT_EQ(seen, a.lastRec()) << dbf << " " << tag.name;
      ++tags;
    }
  }
  EXPECT_GT(tags, 250);
}

// Records that each data rule of the firm steps distinguishes.
TEST_F(GeneratedDatabase, RecordsCoverTheCasesTheRulesDistinguish) {
  auto stgn = read.rows(firm(1) / "st_gn.dbf");
  std::set<std::string> reasons;
  for (const auto& r : stgn) {
    if (!r[7].date().empty()) reasons.insert(trim(r[8].str()));
  }
  EXPECT_GE(reasons.size(), 5u);
  EXPECT_TRUE(reasons.count(""));
  EXPECT_TRUE(reasons.count("sprzedaz"));

  auto& cals = read.open(firm(1) / "p_cals.dbf");
  EXPECT_EQ(cals.lastRec(), 12u);

  // Stand-by absences: the month the step compares must be the month of the date it seeks.
  auto& pn = read.open(firm(1) / "p_n.dbf");
  int standBy = 0;
  for (uint32_t r = 1; r <= pn.lastRec(); ++r) {
    pn.goTo(r);
    EXPECT_EQ(pn.get("rmc").str(), pn.get("od").date().dtos().substr(0, 6)) << r;
    standBy += pn.get("tzus").str() == "SWY";
  }
  EXPECT_GT(standBy, 0);

  std::set<std::pair<std::string, double>> vehicles;
  auto& sam = read.open(firm(1) / "sam_rej.dbf");
  for (uint32_t r = 1; r <= sam.lastRec(); ++r) {
    sam.goTo(r);
    vehicles.insert({sam.get("rodzaj").str() + sam.get("rok_prod").str(), sam.get("cpn_t").num()});
  }
  EXPECT_TRUE(vehicles.count({"S2025", 6}));
  EXPECT_TRUE(vehicles.count({"S2024", 6}));
  EXPECT_TRUE(vehicles.count({"E2025", 6}));

  // The worked example of step 024 and contracts flagged "T" in the firm that has the flag.
  EXPECT_NEAR(read.get(firm(4) / "p_us.dbf", 1, "kwota").num(), 1000.40, 1e-9);
  EXPECT_EQ(read.get(firm(4) / "p_us.dbf", 1, "is_p").str(), "T");

  // Partners that left still have contribution records; so does a record naming nobody.
  std::set<std::string> partners, contributions;
  for (const auto& r : read.rows(firm(1) / "wspolnik.dbf")) partners.insert(r[0].str());
  for (const auto& r : read.rows(firm(1) / "skl_52r.dbf")) contributions.insert(r[0].str());
  int strangers = 0;
  for (const auto& c : contributions) strangers += !partners.count(c);
  EXPECT_GE(strangers, 2);

  // Notes filed under contracts whose employee the step moves them to.
  auto& up = read.open(firm(1) / "p_up.dbf");
  std::set<std::string> contractKeys;
  for (uint32_t r = 1; r <= up.lastRec(); ++r) {
    up.goTo(r);
    if (!trim(up.get("lpp_p").str()).empty()) contractKeys.insert(up.get("lpp").str());
  }
  int movable = 0;
  for (const auto& r : read.rows(firm(1) / "uwagi.dbf")) {
    std::string key = r[1].str();
    ASSERT_EQ(key.substr(0, 5), "F0001");
    if (contractKeys.count(key.substr(15)) && !r[3].str().empty()) ++movable;
  }
  EXPECT_GT(movable, 0);

  int toConvert = 0;
  for (const auto& r : read.rows(firm(1) / "ks_dok.dbf")) toConvert += r[3].str() == "U";
  EXPECT_GT(toConvert, 0);

  // Deleted records wait in the bulk tables, never among the cases of a rule.
  auto& dok = read.open(firm(1) / "ks_dok.dbf");
  int deleted = 0;
  for (uint32_t r = 1; r <= dok.lastRec(); ++r) {
    dok.goTo(r);
    deleted += dok.deleted();
  }
  EXPECT_EQ(deleted, 3);  // 150 records, one in fifty
  auto& gn = read.open(firm(1) / "st_gn.dbf");
  for (uint32_t r = 1; r <= gn.lastRec(); ++r) {
    gn.goTo(r);
    EXPECT_FALSE(gn.deleted()) << r;
  }
}

TEST_F(GeneratedDatabase, SharedTablesAndOlderTemplates) {
  auto& firmy = read.open(*root_ / "public" / "firmy.dbf");
  ASSERT_EQ(firmy.lastRec(), 8u);
  for (uint32_t r = 1; r <= 8; ++r) {
    firmy.goTo(r);
    EXPECT_EQ(firmy.get("nr").num(), r);
  }
  EXPECT_EQ(read.open(*root_ / "public" / "wpit.dbf").fieldCount(), 17u);
  EXPECT_EQ(read.open(*root_ / "str" / "wpit.dbf").fieldCount(), 17u);
  EXPECT_EQ(read.open(*root_ / "str" / "firma.dbf").fieldCount(), 145u);
  EXPECT_FALSE(fs::exists(*root_ / "str" / "cpn.dbf"));
  EXPECT_FALSE(fs::exists(*root_ / "str" / "baselinker.cfg"));
  EXPECT_TRUE(fs::exists(*root_ / "str" / "afaktury.cfg"));
  EXPECT_TRUE(fs::exists(*root_ / "str" / "klient.fpt"));
  EXPECT_TRUE(fs::exists(*root_ / "str" / "xml" / "p39_12.xml"));
  int neither = 0;
  for (const auto& r : read.rows(*root_ / "public" / "pit_zap.dbf"))
    neither += trim(r[1].str()).empty() && trim(r[2].str()).empty();
  EXPECT_EQ(neither, 1);
  std::set<std::string> forms;
  size_t wpit = 0;
  for (const auto& r : read.rows(*root_ / "public" / "wpit.dbf")) {
    forms.insert(r[1].str() + r[2].str() + r[3].str());
    ++wpit;
  }
  EXPECT_LT(forms.size(), wpit);  // a duplicate for the totals to drop
}

TEST(GeneratedRelease, ShipsTheNewestStructuresAndEveryFileTheStepsCopy) {
  fs::path root = scratch("release");
  tav::mkrelease::ReleaseOptions o;
  o.dir = root;
  tav::rt::Error e;
  ASSERT_TRUE(tav::rt::guarded([&] { tav::mkrelease::writeRelease(o); }, &e)) << e.description;
  Reader read;
  EXPECT_EQ(read.get(root / "wb.dbf", 1, "baza").str(), "025.01.046");
  EXPECT_EQ(read.get(root / "wb.dbf", 1, "tav").str(), "25.01.046");
  EXPECT_EQ(read.get(root / "wk.dbf", 1, "tav").str(), "25.01.046");
  EXPECT_EQ(read.get(root / "wk.dbf", 1, "rok").str(), "2025");
  const std::pair<const char*, size_t> counts[] = {{"firma", 146}, {"ks_dok", 92}, {"p_f", 236},
                                                   {"st_en", 62},  {"wpit", 18},   {"p_us", 24},
                                                   {"ks_auto", 32}};
  for (auto [t, n] : counts)
    EXPECT_EQ(read.open(root / "str" / (std::string(t) + ".dbf")).fieldCount(), n) << t;
  const char* copied[] = {
      "inf_fir.dbf",        "rnf_fir.dbf",       "br_cfg.dbf", "data.dbf",    "lic_ods.dbf",
      "p_fmc.dbf",          "p_kals.dbf",        "p_kalw.dbf", "st_data.dbf", "st_limit.dbf",
      "v_rok.dbf",          "v_wystaw.dbf",      "wersje.dbf", "wersja.dbf",  "p_fron_p.dbf",
      "afaktury.cfg",       "baselinker.cfg",    "cpn.dbf",    "sme_lim.dbf", "sme_zw.dbf",
      "refundacja_up.xlsx", "refundacja_up.rtf", "ue.dbf",     "ksef_p.dbf",  "p_swp.rtf",
      "ods_tab.dbf",        "p_dat.dbf",         "nazwy.dbf",  "speed.dbf",   "semafor.dbf",
      "klient.dbf",         "klient.fpt",        "wzorce.dbf", "fix_cfg.xml", "rcx.acc",
      "euro.dbf",           "ebc_euro.dbf",      "pity.dbf",   "pl_min.dbf",  "min_zus.dbf",
      "pl_ulga.dbf",        "st_ref.dbf",        "p_wolne.dbf"};
  for (const char* f : copied) EXPECT_TRUE(fs::exists(root / "str" / f)) << f;
  for (const char* f : {"tav.exe", "un_tav.exe", "7z.exe", "openssl.exe", "msxsl.exe", "setup2.exe",
                        "ot4xb.dll", "txt/faktura.txt", "txt/p_wyp3.txt", "public/pub_dat.dbf",
                        "public/fpit.cdx", "czytaj.to/tavsans.ttf"}) {
    EXPECT_TRUE(fs::exists(root / f)) << f;
  }
  EXPECT_EQ(read.open(root / "str" / "ue.dbf").lastRec(), 27u);
  // The firm step of 001 copies one of these two whole: a test must be able to tell which.
  EXPECT_EQ(read.get(root / "str" / "inf_fir.dbf", 1, "kod").str().substr(0, 3), "INF");
  EXPECT_EQ(read.get(root / "str" / "rnf_fir.dbf", 1, "kod").str().substr(0, 3), "RNF");
  read.ws_.closeAll();  // Windows deletes no file that is open
  fs::remove_all(root);
}

TEST(GeneratedProgram, PointsAtItsDatabase) {
  fs::path root = scratch("program");
  tav::mkrelease::ProgramOptions o;
  o.dir = root / "tav";
  o.database = root / "baza";
  tav::rt::Error e;
  ASSERT_TRUE(tav::rt::guarded([&] { tav::mkrelease::writeProgram(o); }, &e)) << e.description;
  Reader read;
  std::string path = trim(read.get(o.dir / "baza.dbf", 1, "path").str());
  EXPECT_EQ(path.back(), '\\');
  // A Windows path through the drive map, leading back to the database directory.
  EXPECT_EQ(path.substr(1, 2), ":\\");
  std::string host = tav::os::toHost(path).lexically_normal().string();
  while (host.size() > 1 && (host.back() == '/' || host.back() == '\\')) host.pop_back();
  EXPECT_EQ(host, (root / "baza").lexically_normal().string());
  EXPECT_EQ(read.get(o.dir / "wersja.dbf", 1, "tav").str(), "25.01.001");
  EXPECT_FALSE(trim(read.get(o.dir / "setings" / "station.dbf", 1, "path_word").str()).empty());
  for (const char* f : {"ot4xb.dll", "tav.exe", "txt/pit_zes.txt", "mask/dpitu.scn"})
    EXPECT_TRUE(fs::exists(o.dir / f)) << f;
  read.ws_.closeAll();  // Windows deletes no file that is open
  fs::remove_all(root);
}

std::string contentsWithoutDates(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  std::string bytes = s.str();
  // A table's header carries the day it was written.
  if (p.extension() == ".dbf" && bytes.size() > 4) bytes.replace(1, 3, "   ");
  return bytes;
}

TEST(GeneratedDatabaseSeed, SameSeedSameBytesOtherSeedOtherData) {
  auto make = [](const std::string& name, uint64_t seed) {
    tav::mkrelease::DatabaseOptions o;
    o.dir = scratch(name);
    o.firms = 2;
    o.records = 40;
    o.seed = seed;
    tav::mkrelease::writeDatabase(o);
    return o.dir;
  };
  fs::path a = make("seed_a", 3), b = make("seed_b", 3), c = make("seed_c", 4);
  size_t files = 0, same = 0, sameAsOther = 0;
  for (const auto& entry : fs::recursive_directory_iterator(a)) {
    if (!entry.is_regular_file()) continue;
    fs::path rel = fs::relative(entry.path(), a);
    ++files;
    same += contentsWithoutDates(a / rel) == contentsWithoutDates(b / rel);
    sameAsOther +=
        fs::exists(c / rel) && contentsWithoutDates(a / rel) == contentsWithoutDates(c / rel);
  }
  EXPECT_GT(files, 300u);
  EXPECT_EQ(same, files);
  EXPECT_LT(sameAsOther, files);
  for (const fs::path& p : {a, b, c}) fs::remove_all(p);
}

// The project's own checker walks every tag of every structural index against the records.
TEST_F(GeneratedDatabase, DbftoolFindsEveryTableAndIndexConsistent) {
  const fs::path tool = tav::testing::buildProgram("dbftool");
  if (!fs::exists(tool)) GTEST_SKIP() << "dbftool not built";
  int checked = 0;
  for (const fs::path& dir : {firm(1), firm(4), *root_ / "public", *root_ / "str"}) {
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      if (e.path().extension() != ".dbf") continue;
      const auto check = tav::testing::runProgram(tool, {"check", tav::os::utf8(e.path())});
      EXPECT_EQ(check.code, 0) << tav::os::utf8(e.path()) << "\n" << check.output();
      ++checked;
    }
  }
  EXPECT_GT(checked, 400);
}

#ifndef _WIN32  // the independent reader is a Python program (tests/windows.cmake)
// An independent reader of the format must take every table, memo and all.
TEST_F(GeneratedDatabase, AnIndependentReaderReadsEveryTable) {
  if (std::system("/usr/bin/python3 -c 'import dbfread' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-dbfread missing";
  std::string script =
      "import dbfread,glob,sys\n"
      "n=0\n"
      "for p in glob.glob(sys.argv[1]+'/**/*.dbf',recursive=True):\n"
      "  t=dbfread.DBF(p,encoding='cp852',char_decode_errors='strict',load=True)\n"
      "  n+=1\n"
      "sys.exit(0 if n>1000 else 3)\n";
  fs::path py = scratch("read.py");
  std::ofstream(py) << script;
  EXPECT_EQ(std::system(("/usr/bin/python3 " + py.string() + " " + root_->string()).c_str()), 0);
  fs::remove(py);
}
#endif

}  // namespace

namespace {

// Scripts and the demo call the program: a wrong command line must say so and write nothing.
TEST(MkreleaseCommandLine, RefusesWhatItCannotDo) {
  const fs::path tool = tav::testing::buildProgram("mkrelease");
  if (!fs::exists(tool)) GTEST_SKIP() << "mkrelease not built";
  fs::path out = scratch("cli");
  // The words of `args` (no blank within one) given to the program.
  auto run = [&](const std::string& args) {
    std::vector<std::string> words;
    std::istringstream split(args);
    for (std::string w; split >> w;) words.push_back(w);
    return tav::testing::runProgram(tool, words).code;
  };
  const std::pair<std::string, int> cases[] = {
      {"", 2},
      {"database " + out.string() + " --firms 2 --records 10", 2},          // no release
      {"database " + out.string() + " --release 025.01.001 --firms 2", 2},  // no record count
      {"release " + out.string() + " --firms 2", 2},  // an option of another command
      {"unpack " + out.string(), 2},
      {"database " + out.string() + " --release 25.01.001 --firms 1 --records 5",
       1},  // program form
      {"database " + out.string() + " --release 025.01.001 --firms 0 --records 5", 2},
      {"database " + out.string() + " --release 025.01.001 --firms two --records 5", 2},
      {"database " + out.string() + " --release 025.01.001 --firms 2 --records 5x", 2},
      {"release " + out.string() + " --year 99999999999", 2},
      {"release " + out.string() + " --seed -1", 2},
      {"program " + out.string() + " --release 025.01.001 --database /tmp", 1},
  };
  for (const auto& [args, code] : cases) {
    EXPECT_EQ(run(args), code) << args;
    EXPECT_FALSE(fs::exists(out)) << args;
  }
  // A run that fails half-way takes away what it wrote and only that: here the printouts'
  // directory is a file already, after the tables and program files are written.
  fs::create_directories(out);
  std::ofstream(out / "keep.txt") << "kept";
  std::ofstream(out / "txt") << "in the way";
  EXPECT_EQ(
      run("program " + out.string() + " --release 25.01.001 --database " + out.string() + "/db"),
      1);
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(out)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"keep.txt", "txt"}));
  fs::remove_all(out);
  EXPECT_EQ(
      run("program " + out.string() + " --release 25.01.001 --database " + out.string() + "/db"),
      0);
  EXPECT_TRUE(fs::exists(out / "baza.dbf"));
  fs::remove_all(out);

  // --help anywhere: the usage and exit 0, nothing written, not even a directory of that name.
  const fs::path here = fs::current_path();
  fs::create_directories(out);
  fs::current_path(out);
  for (const char* args : {"--help", "release --help",
                           "database "
                           "x"
                           " --firms 2 --help"})
    EXPECT_EQ(run(args), 0) << args;
  EXPECT_TRUE(fs::is_empty(out));
  fs::current_path(here);
  fs::remove_all(out);

  // A directory with blanks and Polish letters, its parent made for it: the three trees are
  // written there; a run that fails takes away the parent it made as well.
  // The name crosses into a path, and the paths into arguments, through the one door.
  const fs::path office = out / tav::os::hostPath("Biuro Łódź");
  auto word = [&](const char* below) { return tav::os::utf8(office / below); };
  // Words given as they are: a directory with a blank is one argument.
  auto runWords = [&](const std::vector<std::string>& words) {
    return tav::testing::runProgram(tool, words).code;
  };
  EXPECT_EQ(runWords({"release", word("wydanie")}), 0);
  EXPECT_EQ(runWords({"database", word("baza"), "--release", "025.01.001", "--firms", "2",
                      "--records", "3"}),
            0);
  EXPECT_EQ(
      runWords({"program", word("program"), "--release", "25.01.001", "--database", word("baza")}),
      0);
  for (const char* f : {"wydanie/wb.dbf", "baza/firma1/firma.dbf", "program/baza.dbf"})
    EXPECT_TRUE(fs::exists(office / f)) << f;
  fs::remove_all(out);
  EXPECT_EQ(runWords({"database", word("nowe/baza"), "--release", "25.01.001", "--firms", "1",
                      "--records", "5"}),
            1);  // a program release where a database release belongs: fails after it began
  EXPECT_FALSE(fs::exists(out)) << "the parents it made for the run stay behind";
}

}  // namespace

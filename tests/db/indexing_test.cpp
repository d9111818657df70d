// Rebuilding compound indexes: INDEXON on one table and INDEKSUJ on a firm. Groups: Indexing (tags
// in list order; the old index deleted only once the table is held alone, so a table in use keeps
// it; the retries, the work alias and what a failed tag leaves), Firm (the catalogue's tags,
// obsolete files deleted, ntx.dbf marked, a missing ntx.dbf raised) and IndeksujOnSampleDatabase
// (every index of generated firms found sound by dbftool check).
#include "db/indexing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "db/table_access.h"
#include "engine/engine_test_util.h"
#include "engine/index/index_files.h"
#include "engine/workspace.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/settings.h"

using namespace tav;
using namespace tav::db;
namespace fs = std::filesystem;
using tav::engine::workspace;

namespace {

// "name=key" per tag of an index file, names in lower case, in the file's order.
std::vector<std::string> tagsIn(const fs::path& cdx) {
  std::vector<std::string> out;
  auto f = engine::openIndexFile(cdx, true);
  if (!f) return out;
  for (auto* t : f->tags()) out.push_back(rt::lower(t->name()) + "=" + t->keyExpression());
  return out;
}

class Indexing : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetSettings();
    STARTINIT();
    rt::setSleeper([this](int h) { pauses.push_back(h); });
  }
  void TearDown() override {
    workspace().closeAll();
    rt::setSleeper({});
    rt::resetSettings();
  }
  // A table of `records` records with a text, a number and a date, one deleted.
  void makeTable(const std::string& base, int records) {
    rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
    engine::Workspace ws;
    std::string p = base + ".dbf";
    fs::create_directories(fs::path(p).parent_path());
    ASSERT_TRUE(ws.create(
        p, {{"LPP", 'C', 6, 0}, {"MC", 'C', 2, 0}, {"DATA", 'D', 8, 0}, {"KWOTA", 'N', 8, 2}}));
    ASSERT_TRUE(ws.use(p, "X", {}));
    for (int i = 1; i <= records; ++i) {
      ws.current()->append();
      ws.current()->put(1, rt::Value(std::to_string(1000 - i)));
      ws.current()->put(2, rt::Value(std::to_string(i % 12 + 10)));
      ws.current()->put(4, rt::Value(i * 1.5));
      if (i == 2) ws.current()->remove();
    }
  }
  std::vector<std::string> tagsOf(const std::string& cdx) { return tagsIn(cdx); }
  int count(int hundredths) const {
    return static_cast<int>(std::count(pauses.begin(), pauses.end(), hundredths));
  }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path().string() + "/";
  std::vector<int> pauses;
};

TEST_F(Indexing, BuildsTheTagsInOrderAndClosesTheTable) {
  makeTable(dir_ + "ks_dok", 20);
  test::writeFile(tmp_ / "ks_dok.cdx", "an old index that is not even one");
  TagList tags = {{"lpp", "lpp"}, {"dat", "mc+lpp"}};
  EXPECT_EQ(INDEXON(dir_ + "ks_dok", tags), kIndexed);
  EXPECT_EQ(tagsOf(dir_ + "ks_dok.cdx"), (std::vector<std::string>{"lpp=lpp", "dat=mc+lpp"}));
  EXPECT_FALSE(workspace().used("roboczy"));
  EXPECT_TRUE(pauses.empty());
  // The new index opens with the table and orders it.
  ASSERT_TRUE(OTWORZ(dir_, "ks_dok", "k", "lpp"));
  EXPECT_EQ(workspace().current()->get("lpp").str(), "980   ");
}

TEST_F(Indexing, OldIndexIsDeletedFirstOrReported) {
  // No table: 1, and the index beside it is left alone.
  test::writeFile(tmp_ / "brak.cdx", "x");
  EXPECT_EQ(INDEXON(dir_ + "brak", {{"lpp", "lpp"}}), kIndexNotBuilt);
  EXPECT_EQ(test::readFile(tmp_ / "brak.cdx"), "x");
  EXPECT_FALSE(fs::exists(tmp_ / "brak.dbf"));
  EXPECT_TRUE(pauses.empty());
  // A read-only index goes at once; an empty tag list leaves the table without one.
  makeTable(dir_ + "t", 3);
  test::writeFile(tmp_ / "t.cdx", "old");
  ::chmod((tmp_ / "t.cdx").c_str(), 0444);
  EXPECT_EQ(INDEXON(dir_ + "t", {}), kIndexed);
  EXPECT_FALSE(fs::exists(tmp_ / "t.cdx"));
  EXPECT_TRUE(OTWORZ(dir_, "t", "t"));  // the table's flag outlives its index
  EXPECT_EQ(workspace().aliases().size(), 1u);
  ZAMKNIJ("t");
  // A directory where the index should be: no deletion takes it away.
  fs::create_directories(tmp_ / "t.cdx" / "inside");
  EXPECT_EQ(INDEXON(dir_ + "t", {{"lpp", "lpp"}}), kOldIndexRemains);
  EXPECT_EQ(count(10), 20);
  EXPECT_TRUE(workspace().aliases().empty());
}

// The index file as the tags built one after another, each in its own pass, leave it.
std::string builtTagByTag(const std::string& base, const TagList& tags) {
  rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
  {
    engine::Workspace ws;
    engine::UseOptions o;
    o.shared = false;
    EXPECT_TRUE(ws.use(base + ".dbf", "T", o));
    for (const IndexTag& t : tags)
      EXPECT_TRUE(ws.current()->orderCreate(base + ".cdx", t.name, t.key)) << t.name;
  }
  return test::readFile(base + ".cdx");
}

// All the tags in one pass give the very file the tags built one by one give.
TEST_F(Indexing, OnePassOverTheTableLeavesTheFileOfTagsBuiltOneByOne) {
  makeTable(dir_ + "one/t", 3000);
  makeTable(dir_ + "each/t", 3000);
  const TagList tags = {{"lpp", "lpp"}, {"mck", "mc+str(kwota,8,2)"}, {"dat", "dtos(data)+lpp"}};
  EXPECT_EQ(INDEXON(dir_ + "one/t", tags), kIndexed);
  EXPECT_TRUE(pauses.empty());
  const std::string each = builtTagByTag(dir_ + "each/t", tags);
  ASSERT_GT(each.size(), 3 * 512u);
  EXPECT_TRUE(test::readFile(tmp_ / "one" / "t.cdx") == each);
}

TEST_F(Indexing, RejectedKeyIsTriedTwentyTimesAndEarlierTagsStay) {
  makeTable(dir_ + "t", 10);
  TagList tags = {{"lpp", "lpp"}, {"bad", "nie_ma_pola+lpp"}, {"mc", "mc"}};
  EXPECT_EQ(INDEXON(dir_ + "t", tags), kIndexNotBuilt);
  EXPECT_EQ(count(10), 20);
  EXPECT_EQ(pauses.size(), 20u);
  // The table stays open under the work alias with what was built; the next call closes it.
  ASSERT_TRUE(workspace().used("roboczy"));
  ZAMKNIJ("roboczy");
  EXPECT_EQ(tagsOf(dir_ + "t.cdx"), (std::vector<std::string>{"lpp=lpp"}));
  // The file is the one the tags before the rejected one make, not a leftover of a try at all.
  makeTable(dir_ + "each/t", 10);
  EXPECT_TRUE(test::readFile(tmp_ / "t.cdx") == builtTagByTag(dir_ + "each/t", {{"lpp", "lpp"}}));
}

TEST_F(Indexing, TakenWorkAliasIsClosedAndTheNextNameUsed) {
  makeTable(dir_ + "a", 3);
  makeTable(dir_ + "b", 3);
  ASSERT_TRUE(OTWORZ(dir_, "b", "roboczy"));
  // A failing tag keeps the table open, which shows the alias it was given.
  EXPECT_EQ(INDEXON(dir_ + "a", {{"x", "brak"}}), kIndexNotBuilt);
  EXPECT_FALSE(workspace().used("roboczy"));
  ASSERT_TRUE(workspace().used("roboczy0"));
  EXPECT_NE(workspace().find("roboczy0")->table().path().string().find("a.dbf"), std::string::npos);
  // Only "roboczy" itself is looked at first: with it free again the next call takes it, and the
  // leftover under roboczy0 stays until a call finds "roboczy" taken once more.
  EXPECT_EQ(INDEXON(dir_ + "b", {{"x", "brak"}}), kIndexNotBuilt);
  EXPECT_TRUE(workspace().used("roboczy"));
  EXPECT_TRUE(workspace().used("roboczy0"));
  EXPECT_EQ(INDEXON(dir_ + "b", {{"lpp", "lpp"}}), kIndexed);
  EXPECT_FALSE(workspace().used("roboczy"));
  EXPECT_FALSE(workspace().used("roboczy0"));
  EXPECT_FALSE(workspace().used("roboczy1"));  // the third name, closed again on success
}

TEST_F(Indexing, TableHeldByAnotherAreaIsTriedElevenTimes) {
  makeTable(dir_ + "t", 3);
  ASSERT_TRUE(OTWORZ(dir_, "t", "caller"));  // exclusive: no second open succeeds
  uint64_t before = engine::Table::openAttempts();
  EXPECT_EQ(INDEXON(dir_ + "t", {{"lpp", "lpp"}}), kIndexNotBuilt);
  EXPECT_EQ(engine::Table::openAttempts() - before, 11u);
  EXPECT_EQ(count(5), 10);
  EXPECT_TRUE(workspace().used("caller"));
}

TEST_F(Indexing, ATableInUseKeepsItsIndexAndADamagedOneIsRebuilt) {
  makeTable(dir_ + "t", 3);
  ASSERT_EQ(INDEXON(dir_ + "t", {{"lpp", "lpp"}}), kIndexed);
  const std::string built = test::readFile(tmp_ / "t.cdx");
  ASSERT_TRUE(S_OTWORZ(dir_, "t", "user", "lpp"));  // a user writing through the index
  EXPECT_EQ(INDEXON(dir_ + "t", {{"mc", "mc"}}), kOldIndexRemains);
  EXPECT_EQ(test::readFile(tmp_ / "t.cdx"), built);
  ZAMKNIJ("user");
  test::writeFile(tmp_ / "t.cdx", std::string(1024, '\xff'));  // the structural index, damaged
  EXPECT_EQ(INDEXON(dir_ + "t", {{"mc", "mc"}}), kIndexed);
  EXPECT_EQ(tagsOf(dir_ + "t.cdx"), (std::vector<std::string>{"mc=mc"}));
}

// Writes the tables of a few catalogue rows (with every field their keys name) into a firm
// directory, plus ntx.dbf.
class Firm : public Indexing {
 protected:
  void makeCatalogued(const std::string& table, const std::vector<engine::FieldSpec>& fields,
                      int records) {
    rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
    engine::Workspace ws;
    std::string p = dir_ + table + ".dbf";
    std::replace(p.begin(), p.end(), '\\', '/');
    fs::create_directories(fs::path(p).parent_path());
    ASSERT_TRUE(ws.create(p, fields));
    ASSERT_TRUE(ws.use(p, "X", {}));
    for (int i = 1; i <= records; ++i) {
      ws.current()->append();
      for (size_t f = 1; f <= fields.size(); ++f)
        if (fields[f - 1].type == 'C')
          ws.current()->put(f, rt::Value(std::to_string((i * 7) % 13)));
    }
  }
};

TEST_F(Firm, IndeksujIndexesTheCatalogueDeletesObsoleteFilesAndMarksNtx) {
  makeCatalogued("workus", {{"LPP", 'C', 6, 0}, {"DATA", 'C', 8, 0}}, 5);
  makeCatalogued("klient\\klient",
                 {{"NAZWA_SK", 'C', 20, 0}, {"MIASTO", 'C', 20, 0}, {"SYMBOL", 'C', 6, 0}}, 5);
  makeCatalogued(
      "p_ald",
      {{"SNAZW", 'C', 10, 0}, {"LPP_P", 'C', 6, 0}, {"LPP_ALU", 'C', 6, 0}, {"SKWOTY", 'C', 6, 0}},
      3);
  makeCatalogued("ntx", {{"NAZWA", 'C', 8, 0}, {"OK", 'L', 1, 0}}, 3);
  for (const char* f : {"dsto.dbf", "dsto.lpp", "st_dd.dbf", "wh.dbf", "stare.cdx"})
    test::writeFile(tmp_ / f, "x");
  test::writeFile(tmp_ / "klient" / "zostaje.cdx", "x");  // subdirectories are not cleaned

  INDEKSUJ(dir_);

  EXPECT_EQ(tagsOf(dir_ + "workus.cdx"), (std::vector<std::string>{"lpp=lpp+data"}));
  EXPECT_EQ(tagsOf(dir_ + "klient/klient.cdx"),
            (std::vector<std::string>{"naz=nazwa_sk", "msc=miasto", "lpp=symbol"}));
  EXPECT_EQ(tagsOf(dir_ + "p_ald.cdx"),
            (std::vector<std::string>{"lpp=snazw+lpp_p+lpp_alu+skwoty"}));
  for (const char* f : {"dsto.dbf", "dsto.lpp", "st_dd.dbf", "wh.dbf", "stare.cdx"})
    EXPECT_FALSE(fs::exists(tmp_ / f)) << f;
  EXPECT_TRUE(fs::exists(tmp_ / "klient" / "zostaje.cdx"));
  EXPECT_FALSE(fs::exists(tmp_ / "sld_buff.cdx"));  // optional and absent: not even tried
  EXPECT_FALSE(fs::exists(tmp_ / "ks_dok.dbf"));    // missing tables are not made up
  EXPECT_TRUE(workspace().aliases().empty());

  engine::Workspace ws;
  ASSERT_TRUE(ws.use(dir_ + "ntx.dbf", "n", {}));
  for (ws.current()->goTop(); !ws.current()->eof(); ws.current()->skip(1))
    EXPECT_TRUE(ws.current()->get("ok").log());
}

TEST_F(Firm, IndeksujWithoutNtxRaisesForTheHandler) {
  makeCatalogued("workus", {{"LPP", 'C', 6, 0}, {"DATA", 'C', 8, 0}}, 2);
  std::vector<rt::Error> seen;
  rt::HandlerGuard g([&](rt::Error& e) {
    seen.push_back(e);
    return rt::Answer{};
  });
  INDEKSUJ(dir_);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().genCode, rt::kErrOpen);
  EXPECT_TRUE(fs::exists(tmp_ / "workus.cdx"));  // the tables were indexed before it
}

TEST_F(Firm, IndeksujLeavesTheIndexOfATableInUse) {
  makeCatalogued("ntx", {{"NAZWA", 'C', 8, 0}, {"OK", 'L', 1, 0}}, 1);
  makeCatalogued("obcy", {{"LPP", 'C', 6, 0}}, 3);
  ASSERT_EQ(INDEXON(dir_ + "obcy", {{"lpp", "lpp"}}), kIndexed);
  ASSERT_TRUE(S_OTWORZ(dir_, "obcy", "user", "lpp"));
  INDEKSUJ(dir_);
  EXPECT_EQ(tagsOf(dir_ + "obcy.cdx"), (std::vector<std::string>{"lpp=lpp"}));
}

// The sample database of the release tool, reindexed and checked tag by tag by dbftool.
TEST(IndeksujOnSampleDatabase, EveryIndexIsConsistent) {
  const fs::path bin =
      std::getenv("TAV_BINARY_DIR") ? std::getenv("TAV_BINARY_DIR") : TAV_BINARY_DIR;
  const fs::path mkrelease = bin / "tools/mkrelease/mkrelease",
                 dbftool = bin / "tools/dbftool/dbftool";
  if (!fs::exists(mkrelease) || !fs::exists(dbftool))
    GTEST_SKIP() << "mkrelease and dbftool are not built";
  test::TempDir tmp;
  std::string cmd = mkrelease.string() + " database " + tmp.path().string() +
                    " --release 025.01.001 --firms 2 --records 50 >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  rt::resetSettings();
  STARTINIT();
  rt::setSleeper([](int) {});
  int firms = 0;
  for (auto& e : fs::directory_iterator(tmp.path())) {
    if (!e.is_directory() || e.path().filename().string().rfind("firma", 0) != 0) continue;
    ++firms;
    INDEKSUJ(e.path().string() + "/");
    // Every catalogued table of the firm carries exactly its catalogue's tags, in order.
    for (const CatalogueRow& row : firmCatalogue()) {
      if (row.isDeletion()) {
        EXPECT_FALSE(fs::exists(e.path() / row.deleteFile)) << row.deleteFile;
        continue;
      }
      std::string base = row.table;
      std::replace(base.begin(), base.end(), '\\', '/');
      if (!fs::exists(e.path() / (base + ".dbf"))) continue;
      std::vector<std::string> expected;
      for (const IndexTag& t : row.tags) expected.push_back(rt::lower(t.name) + "=" + t.key);
      EXPECT_EQ(tagsIn(e.path() / (base + ".cdx")), expected) << row.table;
    }
    int checked = 0;
    for (auto& f : fs::recursive_directory_iterator(e.path())) {
      if (f.path().extension() != ".cdx") continue;
      fs::path table = f.path();
      table.replace_extension(".dbf");
      std::string check = dbftool.string() + " check " + table.string() + " >/dev/null 2>&1";
      EXPECT_EQ(std::system(check.c_str()), 0) << table;
      ++checked;
    }
    EXPECT_GT(checked, 50) << e.path();
  }
  rt::setSleeper({});
  workspace().closeAll();
  EXPECT_EQ(firms, 2);
}

}  // namespace

#include <gtest/gtest.h>

#include "engine/workspace.h"
#include "engine_test_util.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"

using namespace tav;
using namespace tav::engine;
using tav::test::TempDir;

namespace {

// Tables written by an independent engine (tests/data/xbase/README.md says what they hold).
class Fixtures : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetSettings();
    handler_ = std::make_unique<rt::HandlerGuard>([this](rt::Error& e) {
      errors.push_back(e.summary());
      return rt::Answer{};
    });
  }
  void TearDown() override {
    ws.closeAll();
    EXPECT_TRUE(errors.empty()) << errors.front();
  }
  TempDir dir;
  Workspace ws;
  std::vector<std::string> errors;
  std::unique_ptr<rt::HandlerGuard> handler_;
};

TEST_F(Fixtures, KontrReadsEveryFieldDeletedMarkAndMemo) {
  test::copyFixture(dir, "kontr.dbf");
  test::copyFixture(dir, "kontr.fpt");
  ASSERT_TRUE(ws.use((dir / "kontr.dbf").string(), "K", {true, true, ""}));
  WorkArea& a = *ws.current();
  ASSERT_EQ(a.lastRec(), 3000u);
  auto s = a.structure();
  ASSERT_EQ(s.size(), 7u);
  EXPECT_EQ(s[2].name, "KWOTA");
  EXPECT_EQ(s[2].length, 12);
  EXPECT_EQ(s[2].decimals, 2);
  EXPECT_EQ(s[6].type, 'M');
  int deleted = 0, memos = 0;
  for (a.goTop(); !a.eof(); a.skip()) {
    uint32_t r = a.recno();
    deleted += a.deleted();
    ASSERT_EQ(a.deleted(), r % 17 == 0) << r;
    std::string name = rt::rTrim(a.get("NAZWA").str());
    ASSERT_EQ(name.substr(name.size() - 5), rt::StrZero(r, 5)) << r;
    double kwota = a.get("KWOTA").num();
    ASSERT_TRUE(kwota >= -10000 && kwota <= 10000) << r;
    double ilosc = a.get("ILOSC").num();
    ASSERT_TRUE(ilosc >= 0 && ilosc <= 500 && ilosc == static_cast<int>(ilosc)) << r;
    ASSERT_EQ(a.get("DATA").date().empty(), r % 97 == 0) << r;
    if (r % 97) {
      ASSERT_GE(a.get("DATA").date().year(), 2020);
    }
    ASSERT_EQ(a.get("AKTYWNY").log(), r % 3 != 0) << r;
    std::string memo = a.get("UWAGI").str();
    if (r % 5 == 0) {
      ++memos;
      size_t times = 1 + r % 40;
      ASSERT_EQ(memo.size() % times, 0u) << r;
      std::string note = memo.substr(0, memo.size() / times);
      std::string expect;
      for (size_t i = 0; i < times; ++i) expect += note;
      ASSERT_EQ(memo, expect) << r;
    } else {
      ASSERT_TRUE(memo.empty()) << r;
    }
  }
  EXPECT_EQ(deleted, 176);
  EXPECT_EQ(memos, 600);
  rt::settings().deletedHidden = true;
  int visible = 0;
  for (a.goTop(); !a.eof(); a.skip()) ++visible;
  EXPECT_EQ(visible, 3000 - 176);
}

TEST_F(Fixtures, JednHasNoMemoAndReadsAllRecords) {
  test::copyFixture(dir, "jedn.dbf");
  ASSERT_TRUE(ws.use((dir / "jedn.dbf").string(), "J", {}));
  WorkArea& a = *ws.current();
  EXPECT_EQ(a.lastRec(), 2500u);
  EXPECT_EQ(a.table().memo(), nullptr);
  a.goBottom();
  EXPECT_EQ(rt::rTrim(a.get("OPIS").str()), "Pozycja 2500");
  a.goTo(17);
  EXPECT_EQ(a.get("SYMBOL").str().size(), 8u);
  EXPECT_TRUE(a.table().issues().empty());
}

TEST_F(Fixtures, StructuralIndexOpensWithTheTableAndFollowsAppends) {
  for (const char* f : {"kontr.dbf", "kontr.fpt", "kontr.cdx"}) test::copyFixture(dir, f);
  std::string p = (dir / "kontr.dbf").string();
  ASSERT_TRUE(ws.use(p, "K", {}));
  WorkArea& a = *ws.current();
  ASSERT_EQ(a.indexCount(), 1u);
  ASSERT_TRUE(a.setOrder("lpp"));
  std::string previous;
  int n = 0;
  for (a.goTop(); !a.eof(); a.skip(), ++n) {
    std::string k = a.get("LPP").str();
    ASSERT_LE(previous, k);
    previous = k;
  }
  EXPECT_EQ(n, 3000);
  ASSERT_TRUE(a.append());
  a.put("LPP", rt::Value("         0"));
  a.put("KWOTA", rt::Value(-20000.0));
  a.commit();
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "K", {true, false, ""}));
  WorkArea& b = *ws.current();
  ASSERT_TRUE(b.setOrder("LPP"));
  b.goTop();
  EXPECT_EQ(b.recno(), 3001u);
  ASSERT_TRUE(b.setOrder("KWO"));
  EXPECT_TRUE(b.seek(rt::Value(-20000.0)));
  EXPECT_EQ(b.recno(), 3001u);
}

TEST_F(Fixtures, TwoSharedAreasSeeEachOthersIndexChanges) {
  for (const char* f : {"kontr.dbf", "kontr.fpt", "kontr.cdx"}) test::copyFixture(dir, f);
  std::string p = (dir / "kontr.dbf").string();
  ASSERT_TRUE(ws.use(p, "A", {true, false, ""}));
  ASSERT_TRUE(ws.use(p, "B", {true, false, ""}));
  WorkArea& a = *ws.find("A");
  WorkArea& b = *ws.find("B");
  ASSERT_TRUE(b.setOrder("KWO"));
  b.goTop();  // B has read the tag before A changes it
  ASSERT_TRUE(a.append());
  a.put("KWOTA", rt::Value(-99999.0));
  a.put("UWAGI", rt::Value("z obszaru A"));
  a.commit();
  b.goTop();
  EXPECT_EQ(b.recno(), 3001u);
  EXPECT_EQ(b.get("UWAGI").str(), "z obszaru A");
  a.goTo(5);
  ASSERT_TRUE(a.rlock());
  a.put("KWOTA", rt::Value(99999.0));
  a.unlock();
  b.goBottom();
  EXPECT_EQ(b.recno(), 5u);
}

TEST_F(Fixtures, SingleKeyIndexOrdersTheTableUnderTheNtxDriver) {
  test::copyFixture(dir, "jedn.dbf");
  auto ntx = test::copyFixture(dir, "jedn.ntx");
  loadComponent("DBFDBE");
  loadComponent("NTXDBE");
  ASSERT_TRUE(buildDriver("DBFNTX", {"DBFDBE", "NTXDBE"}));
  ASSERT_TRUE(ws.use((dir / "jedn.dbf").string(), "J", {true, false, "DBFNTX"}));
  WorkArea& a = *ws.current();
  EXPECT_EQ(a.table().scheme(), LockScheme::Clipper);
  ASSERT_TRUE(a.orderListAdd(ntx));
  ASSERT_NE(a.order(), nullptr);  // the first key of a single-key file becomes the order
  std::string previous;
  int n = 0;
  for (a.goTop(); !a.eof(); a.skip(), ++n) {
    std::string k = a.get("SYMBOL").str();
    ASSERT_LE(previous, k);
    previous = k;
  }
  EXPECT_EQ(n, 2500);
  a.goTo(1234);
  std::string symbol = a.get("SYMBOL").str();
  a.goTop();
  EXPECT_TRUE(a.seek(rt::Value(symbol)));
  EXPECT_EQ(a.get("SYMBOL").str(), symbol);
}

TEST_F(Fixtures, RelationSeeksTheChildInItsOrder) {
  std::string child = (dir / "c.dbf").string(), parent = (dir / "p.dbf").string();
  ASSERT_TRUE(ws.create(child, {{"KOD", 'C', 4, 0}, {"OPIS", 'C', 10, 0}}));
  ASSERT_TRUE(ws.create(parent, {{"KOD", 'C', 4, 0}}));
  ASSERT_TRUE(ws.use(child, "C", {}));
  for (const char* k : {"ZZZ", "AAA", "MMM"}) {
    ws.current()->append();
    ws.current()->put(1, rt::Value(k));
  }
  ASSERT_TRUE(ws.current()->orderCreate(dir / "c.cdx", "KOD", "KOD"));
  ASSERT_TRUE(ws.use(parent, "P", {}));
  for (const char* k : {"MMM", "XXX", "AAA"}) {
    ws.current()->append();
    ws.current()->put(1, rt::Value(k));
  }
  WorkArea& p = *ws.current();
  p.setRelation("c", ws.compile("KOD"));
  WorkArea& c = *ws.find("C");
  std::vector<uint32_t> seen;
  for (p.goTop(); !p.eof(); p.skip()) seen.push_back(c.eof() ? 0 : c.recno());
  EXPECT_EQ(seen, (std::vector<uint32_t>{3, 0, 2}));  // "XXX" is not there: the child at its end
}

}  // namespace

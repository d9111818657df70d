// Tables and indexes written by an independent engine (tests/data/xbase), read and maintained by
// ours. Group: Fixtures. Every field, deleted mark and memo is read; the structural index opens
// with its table and follows appends, also across shared areas; the other engine's tags keep their
// own order until a rebuild or pack writes them in ours, and our tags on Polish names are never
// taken for foreign ones; a single-key file and a relation order and seek.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/index/key_encoding.h"
#include "engine/workspace.h"
#include "engine_test_util.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"
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

// What dbftool check asks of every order of an area: each record once, keys in the tag's own
// order, each key equal to its expression's value for the record. Empty when all holds.
std::vector<std::string> orderProblems(WorkArea& a) {
  std::vector<std::string> out;
  uint32_t count = a.lastRec();
  for (size_t i = 0; i < a.orderCount(); ++i) {
    IndexTag* tag = a.orderAt(i);
    std::vector<bool> seen(size_t(count) + 1, false);
    std::string previous;
    uint32_t previousRec = 0, entries = 0;
    for (uint32_t r = tag->first(); r && entries <= count; r = tag->next()) {
      ++entries;
      std::string key = tag->currentKey();
      std::string where = tag->name() + " record " + std::to_string(r) + ": ";
      if (r > count || seen[r]) {
        out.push_back(where + "beyond the table or twice");
        continue;
      }
      seen[r] = true;
      if (previousRec) {
        int c = compareKeys(*tag, previous.data(), key.data(), tag->keyLength());
        if (c > 0 || (c == 0 && previousRec > r)) out.push_back(where + "out of order");
      }
      previous = key;
      previousRec = r;
      a.goTo(r);
      if (a.currentKey(i) != key) out.push_back(where + "key differs from its expression");
    }
    if (entries != count) out.push_back(tag->name() + ": " + std::to_string(entries) + " entries");
  }
  return out;
}

std::vector<std::string> plainOrders(WorkArea& a) {
  std::vector<std::string> out;
  for (size_t i = 0; i < a.orderCount(); ++i)
    if (a.orderAt(i)->plainByteOrder()) out.push_back(a.orderAt(i)->name());
  return out;
}

std::string upperLatin(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

// The other engine's NAZ and DSC are read and kept in its own dialect: byte order, and
// UPPER(NAZWA) changing only a-z, through appends, replaces, deletes and a pack.
TEST_F(Fixtures, ForeignTagsAreMaintainedInTheirOwnDialect) {
  for (const char* f : {"kontr.dbf", "kontr.fpt", "kontr.cdx"}) test::copyFixture(dir, f);
  std::string p = (dir / "kontr.dbf").string();
  ASSERT_TRUE(ws.use(p, "K", {}));
  WorkArea& a = *ws.current();
  EXPECT_EQ(plainOrders(a), (std::vector<std::string>{"NAZ", "DSC"}));
  EXPECT_TRUE(orderProblems(a).empty()) << orderProblems(a).front();
  // A Polish name is found by the key the other engine's upper() made of it.
  a.goTo(1);
  std::string first = a.get("NAZWA").str();
  ASSERT_NE(rt::upper(first), upperLatin(first));
  ASSERT_TRUE(a.setOrder("NAZ"));
  a.goTop();
  EXPECT_TRUE(a.seek(rt::Value(upperLatin(first))));
  EXPECT_EQ(a.recno(), 1u);
  EXPECT_FALSE(a.seek(rt::Value(rt::upper(rt::rTrim(first)))));

  const std::string added = rt::utf8ToOem("Źdźbło Łucja ąęś 03001");
  ASSERT_TRUE(a.append());
  a.put("NAZWA", rt::Value(added));
  a.put("LPP", rt::Value("     12345"));
  a.commit();
  a.goTo(5);
  a.put("NAZWA", rt::Value(rt::utf8ToOem("żółw Ąna 00005")));
  a.put("LPP", rt::Value("         7"));
  a.commit();
  for (uint32_t r = 20; r <= 2000; r += 3) {
    a.goTo(r);
    a.remove();
  }
  a.commit();
  EXPECT_EQ(plainOrders(a), (std::vector<std::string>{"NAZ", "DSC"}));
  EXPECT_TRUE(orderProblems(a).empty()) << orderProblems(a).front();
  ASSERT_TRUE(a.setOrder("NAZ"));
  EXPECT_TRUE(a.seek(rt::Value(upperLatin(added))));
  EXPECT_EQ(a.recno(), 3001u);
  EXPECT_TRUE(a.seek(rt::Value(upperLatin(rt::utf8ToOem("żółw Ąna")))));
  EXPECT_EQ(a.recno(), 5u);
  ASSERT_TRUE(a.setOrder("DSC"));
  a.goTop();
  std::string previous = a.get("LPP").str();
  for (a.skip(); !a.eof(); a.skip()) {
    ASSERT_GE(previous, a.get("LPP").str());  // right-aligned digits, greatest first
    previous = a.get("LPP").str();
  }
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "K", {}));
  WorkArea& b = *ws.current();
  EXPECT_EQ(plainOrders(b), (std::vector<std::string>{"NAZ", "DSC"}));
  EXPECT_TRUE(orderProblems(b).empty()) << orderProblems(b).front();
  // A pack rebuilds every tag, and so writes the other engine's ones in our dialect.
  b.pack();
  EXPECT_TRUE(plainOrders(b).empty());
  EXPECT_TRUE(orderProblems(b).empty()) << orderProblems(b).front();
  ASSERT_TRUE(b.setOrder("NAZ"));
  EXPECT_TRUE(b.seek(rt::Value(rt::upper(added))));
  EXPECT_EQ(b.get("NAZWA").str().substr(0, added.size()), added);
}

// A rebuild turns the other engine's tags into ours: collation order and the national upper().
TEST_F(Fixtures, RebuildWritesForeignTagsInOurDialect) {
  for (const char* f : {"kontr.dbf", "kontr.fpt", "kontr.cdx"}) test::copyFixture(dir, f);
  std::string p = (dir / "kontr.dbf").string();
  ASSERT_TRUE(ws.use(p, "K", {}));
  WorkArea& a = *ws.current();
  ASSERT_EQ(plainOrders(a).size(), 2u);
  ASSERT_TRUE(a.orderListRebuild());
  EXPECT_TRUE(plainOrders(a).empty());
  EXPECT_TRUE(orderProblems(a).empty()) << orderProblems(a).front();
  a.goTo(1);
  std::string first = a.get("NAZWA").str();
  ASSERT_TRUE(a.setOrder("NAZ"));
  EXPECT_TRUE(a.seek(rt::Value(rt::upper(first))));
  EXPECT_EQ(a.recno(), 1u);
  ASSERT_TRUE(a.append());
  a.put("NAZWA", rt::Value(rt::utf8ToOem("ąbc Źle 03001")));
  a.commit();
  EXPECT_TRUE(a.seek(rt::Value(rt::utf8ToOem("ĄBC ŹLE"))));
  EXPECT_EQ(a.recno(), 3001u);
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "K", {true, true, ""}));
  EXPECT_TRUE(plainOrders(*ws.current()).empty());
  EXPECT_TRUE(orderProblems(*ws.current()).empty());
}

// A tag we build on Polish names, whose collation order is far from byte order, is ours when it
// is opened again.
TEST_F(Fixtures, OwnTagsOnPolishNamesAreNeverTakenForForeignOnes) {
  std::string p = (dir / "n.dbf").string();
  ASSERT_TRUE(ws.create(p, {{"N", 'C', 12, 0}}));
  ASSERT_TRUE(ws.use(p, "N", {}));
  WorkArea& a = *ws.current();
  for (const char* n :
       {"Ąb", "Az", "ab", "ła", "Lz", "źle", "Zz", "a[", "A[", "żar", "Żuk", "zupa"}) {
    ASSERT_TRUE(a.append());
    a.put("N", rt::Value(rt::utf8ToOem(n)));
  }
  a.commit();
  ASSERT_TRUE(a.orderCreate(dir / "n.cdx", "UP", "UPPER(N)"));
  ASSERT_TRUE(a.orderCreate(dir / "n.cdx", "RAW", "N"));
  ASSERT_TRUE(a.orderCreate(dir / "n.cdx", "LOW", "LOWER(N)"));
  ws.closeAll();
  ASSERT_TRUE(ws.use(p, "N", {}));
  WorkArea& b = *ws.current();
  ASSERT_EQ(b.orderCount(), 3u);
  EXPECT_TRUE(plainOrders(b).empty());
  EXPECT_TRUE(orderProblems(b).empty()) << orderProblems(b).front();
  ASSERT_TRUE(b.setOrder("RAW"));
  std::vector<std::string> names;
  for (b.goTop(); !b.eof(); b.skip()) names.push_back(b.get("N").str());
  ASSERT_EQ(names.size(), 12u);
  auto collated = names, bytes = names;
  std::sort(collated.begin(), collated.end(),
            [](const std::string& x, const std::string& y) { return rt::collate(x, y) < 0; });
  std::sort(bytes.begin(), bytes.end());
  EXPECT_EQ(names, collated);
  EXPECT_NE(names, bytes);  // the names tell the two orders apart
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

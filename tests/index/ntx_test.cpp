// Single-key index files: bulk builds of every size class, maintenance against a model, the
// tree checked page by page by a small reader of the test's own, keys of every kind, damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "engine/ntx/ntx_file.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "test_support.h"

namespace tav::engine {
namespace {

using namespace indextest;
using test::ScratchDir;

// Reads the file page by page as the format notes describe it and returns the entries in
// order; fails the test when a page breaks the classic B-tree's shape.
std::vector<Entry> checkTree(const std::filesystem::path& p) {
  std::string d = test::readWhole(p);
  auto u16 = [&](size_t o) { return size_t(uint8_t(d.at(o))) | size_t(uint8_t(d.at(o + 1))) << 8; };
  auto u32 = [&](size_t o) { return uint32_t(u16(o) | u16(o + 2) << 16); };
  EXPECT_EQ(u16(0), 6u);
  size_t keyLen = u16(14), max = u16(18);
  EXPECT_EQ(u16(12), keyLen + 8);
  EXPECT_EQ(u16(20), max / 2);
  std::vector<Entry> out;
  std::set<size_t> leafDepths;
  std::set<uint32_t> seen;
  std::function<void(uint32_t, size_t, bool)> visit = [&](uint32_t at, size_t depth, bool root) {
    EXPECT_TRUE(seen.insert(at).second);
    EXPECT_EQ(at % 1024, 0u);
    size_t count = u16(at);
    EXPECT_LE(count, max);
    if (!root) {
      EXPECT_GE(count, 1u);
    }
    std::set<size_t> slots;
    for (size_t i = 0; i <= max; ++i) slots.insert(u16(at + 2 + 2 * i));
    EXPECT_EQ(slots.size(), max + 1);  // every slot has its own place
    bool leaf = u32(at + u16(at + 2)) == 0;
    for (size_t i = 0; i <= count; ++i) {
      size_t o = at + u16(at + 2 + 2 * i);
      uint32_t child = u32(o);
      EXPECT_EQ(child == 0, leaf);
      if (child) visit(child, depth + 1, false);
      if (i < count) out.emplace_back(d.substr(o + 8, keyLen), u32(o + 4));
    }
    if (leaf) leafDepths.insert(depth);
  };
  visit(u32(4), 0, true);
  EXPECT_LE(leafDepths.size(), 1u);  // every leaf on one level
  return out;
}

class NtxBuild : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::filesystem::path path = dir / "jedn.ntx";
  std::mt19937 rng{99};

  std::string symbol() {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08u", static_cast<unsigned>(rng() % 5000));
    return buf;
  }
};

// Sizes around the page boundaries and the height steps of the tree.
TEST_F(NtxBuild, BulkBuildsOfEverySizeAreBalancedAndOrdered) {
  for (uint32_t n : {0u, 1u, 2u, 54u, 55u, 56u, 110u, 3024u, 3025u, 3026u, 40000u}) {
    SCOPED_TRACE(n);
    std::vector<Entry> keys;
    for (uint32_t r = 1; r <= n; ++r) keys.emplace_back(symbol(), r);
    auto f = createIndexFile(path);
    ASSERT_TRUE(f);
    IndexTag* t = f->createTag("SYM", "SYMBOL", KeyType::Character, 8, fromVector(keys));
    ASSERT_TRUE(t);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(walk(*t), keys);
    EXPECT_EQ(walkBack(*t), keys);
    f.reset();
    EXPECT_EQ(checkTree(path), keys);
    std::string why;
    auto g = openIndexFile(path, true, {}, &why);
    ASSERT_TRUE(g) << why;
    EXPECT_EQ(g->tags().at(0)->name(), "SYM");
    EXPECT_EQ(g->tags().at(0)->keyExpression(), "SYMBOL");
  }
}

TEST_F(NtxBuild, MaintenanceMatchesAModel) {
  std::vector<Entry> keys;
  for (uint32_t r = 1; r <= 800; ++r) keys.emplace_back(symbol(), r);
  auto f = createIndexFile(path);
  IndexTag* t = f->createTag("SYM", "SYMBOL", KeyType::Character, 8, fromVector(keys));
  std::vector<Entry> model = keys;
  std::sort(model.begin(), model.end());
  uint32_t nextRec = 801;
  for (int batch = 0; batch < 8; ++batch) {
    // Early batches grow the tree, later ones shrink it down to a few keys.
    int inserts = batch < 4 ? 2 : 1, removes = batch < 4 ? 1 : 3;
    for (int i = 0; i < 600; ++i) {
      if (static_cast<int>(rng() % (inserts + removes)) < inserts || model.empty()) {
        Entry e{symbol(), nextRec++};
        t->insert(e.first, e.second);
        model.insert(std::upper_bound(model.begin(), model.end(), e), e);
      } else {
        size_t at = rng() % model.size();
        ASSERT_TRUE(t->remove(model[at].first, model[at].second)) << model[at].first;
        model.erase(model.begin() + static_cast<long>(at));
      }
    }
    ASSERT_EQ(walk(*t), model) << "batch " << batch;
    ASSERT_EQ(walkBack(*t), model);
    ASSERT_EQ(checkTree(path), model);
  }
  while (!model.empty()) {
    ASSERT_TRUE(t->remove(model.back().first, model.back().second));
    model.pop_back();
  }
  EXPECT_EQ(t->first(), 0u);
  EXPECT_EQ(checkTree(path).size(), 0u);
  t->insert("00000001", 1);
  EXPECT_EQ(walk(*t), (std::vector<Entry>{{"00000001", 1}}));
}

TEST_F(NtxBuild, SeekLocateAndCursorAcrossChanges) {
  std::vector<Entry> keys;
  for (uint32_t r = 1; r <= 2000; ++r) keys.emplace_back(std::to_string(10000 + r * 3), r);
  auto f = createIndexFile(path);
  IndexTag* t = f->createTag("K", "K", KeyType::Character, 5, fromVector(keys));
  bool found = false;
  EXPECT_EQ(t->seek("10301", found), 101u);  // soft: 10303
  EXPECT_FALSE(found);
  EXPECT_EQ(t->seek("1030", found), 100u);  // the prefix matches 10300
  EXPECT_TRUE(found);
  EXPECT_EQ(t->seek("16000", found), 2000u);
  EXPECT_TRUE(found);
  EXPECT_EQ(t->seek("16001", found), 0u);
  EXPECT_FALSE(found);
  ASSERT_TRUE(t->locate("13000", 1000));
  // Splits all over the tree while the cursor rests on 13000.
  for (uint32_t r = 3000; r < 3400; ++r) t->insert(std::to_string(10000 + (r - 3000) * 10 + 1), r);
  EXPECT_EQ(t->next(), 3300u);
  EXPECT_EQ(t->currentKey(), "13001");
  EXPECT_EQ(t->prev(), 1000u);
  ASSERT_TRUE(t->remove("13000", 1000));
  EXPECT_EQ(t->prev(), 999u);
}

TEST_F(NtxBuild, ZapKeepsTheDefinition) {
  std::vector<Entry> keys;
  for (uint32_t r = 1; r <= 5000; ++r) keys.emplace_back(symbol(), r);
  auto f = createIndexFile(path);
  f->createTag("SYM", "SYMBOL", KeyType::Character, 8, fromVector(keys));
  f->removeAll();
  EXPECT_EQ(f->tags().at(0)->first(), 0u);
  EXPECT_EQ(std::filesystem::file_size(path), 2048u);
  f->tags()[0]->insert("12345678", 3);
  f.reset();
  EXPECT_EQ(checkTree(path), (std::vector<Entry>{{"12345678", 3}}));
  auto g = openIndexFile(path, false);
  EXPECT_EQ(g->tags().at(0)->keyExpression(), "SYMBOL");
}

// Keys in the text form of the format: numbers (with negatives), dates, logicals, and 852 text
// in the Polish collation.
TEST_F(NtxBuild, KeysOfEveryKindSortAsTheirValues) {
  std::vector<double> values = {-1000.5, -999.99, -10,  -1.25, -1,     -0.5,    0,
                                0.25,    1,       9.99, 10,    123.45, 99999.99};
  std::vector<Entry> keys;
  uint32_t r = 0;
  for (size_t i = values.size(); i-- > 0;)
    keys.emplace_back(encodeNtxKey(rt::Value(values[i]), KeyType::Numeric, 10, 2), ++r);
  auto f = createIndexFile(path);
  IndexTag* t = f->createTag("N", "KWOTA", KeyType::Numeric, 10, fromVector(keys));
  std::vector<uint32_t> order;
  for (const auto& e : walk(*t)) order.push_back(e.second);
  std::vector<uint32_t> expected;
  for (size_t i = values.size(); i-- > 0;) expected.push_back(static_cast<uint32_t>(i + 1));
  EXPECT_EQ(order, expected);  // values were fed from the largest down
  static_cast<ntx::NtxFile&>(*f).setDecimals(2);
  t = f->createTag("N", "KWOTA", KeyType::Numeric, 10, fromVector(keys));
  EXPECT_EQ(keyFor(*t, rt::Value(-1.5)), encodeNtxKey(rt::Value(-1.5), KeyType::Numeric, 10, 2));
  EXPECT_EQ(openIndexFile(path, true)->tags().at(0)->keyType(), KeyType::Numeric);
  // A file whose numbers carry no decimals reads as text keys; the key text still comes from
  // the value, and the engine's resolver can name the type.
  static_cast<ntx::NtxFile&>(*f).setDecimals(0);
  f->createTag("N", "ILOSC", KeyType::Numeric, 5, fromVector(keys));
  auto plain = openIndexFile(path, true);
  EXPECT_EQ(plain->tags().at(0)->keyType(), KeyType::Character);
  EXPECT_EQ(keyFor(*plain->tags().at(0), rt::Value(42)), "00042");
  auto told = openIndexFile(path, true, [](std::string_view, size_t) { return KeyType::Numeric; });
  EXPECT_EQ(told->tags().at(0)->keyType(), KeyType::Numeric);
  EXPECT_EQ(encodeNtxKey(rt::Value(12.5), KeyType::Numeric, 8, 2), "00012.50");
  EXPECT_EQ(encodeNtxKey(rt::Value(1e12), KeyType::Numeric, 6, 1), "9999.9");
  EXPECT_EQ(encodeNtxKey(rt::Value(rt::Date::fromYmd(2024, 2, 29)), KeyType::Date, 8, 0),
            "20240229");
  EXPECT_EQ(encodeNtxKey(rt::Value(rt::Date()), KeyType::Date, 8, 0), "        ");
  EXPECT_EQ(encodeNtxKey(rt::Value(true), KeyType::Logical, 1, 0), "T");

  std::vector<Entry> words;
  for (const char* w : {"Żak", "Zając", "Łoś", "Lis", "Ćma", "Cis", "Ala", "ala"})
    words.emplace_back(encodeNtxKey(rt::Value(rt::utf8ToOem(w)), KeyType::Character, 6, 0), ++r);
  auto g = createIndexFile(dir / "w.ntx");
  IndexTag* w = g->createTag("W", "NAZWA", KeyType::Character, 6, fromVector(words));
  std::vector<std::string> got;
  for (const auto& e : walk(*w)) got.push_back(rt::oemToUtf8(e.first));
  EXPECT_EQ(got, (std::vector<std::string>{"Ala   ", "Cis   ", "Ćma   ", "Lis   ", "Łoś   ",
                                           "Zając ", "Żak   ", "ala   "}));
}

TEST_F(NtxBuild, DamagedFilesAreCleanErrors) {
  std::vector<Entry> keys;
  for (uint32_t r = 1; r <= 4000; ++r) keys.emplace_back(symbol(), r);
  createIndexFile(path)->createTag("S", "S", KeyType::Character, 8, fromVector(keys));
  const std::string good = test::readWhole(path);
  auto write = [&](const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  };
  std::string bad = good;
  bad[0] = 0x55;  // signature
  write(bad);
  EXPECT_FALSE(openIndexFile(path, true));
  bad = good;
  bad[14] = 0;  // key length 0
  write(bad);
  EXPECT_FALSE(openIndexFile(path, true));
  std::mt19937 flip(11);
  for (int round = 0; round < 300; ++round) {
    bad = good;
    for (int k = 0; k < 4; ++k)
      bad[1024 + flip() % (bad.size() - 1024)] = static_cast<char>(flip());
    write(bad);
    auto f = openIndexFile(path, false);
    if (!f) continue;
    IndexTag* t = f->tags().at(0);
    size_t steps = 0;
    for (uint32_t r = t->first(); r != 0 && steps < 20000; r = t->next()) ++steps;
    EXPECT_LT(steps, 20000u);
    for (uint32_t r = t->last(); r != 0 && steps < 40000; r = t->prev()) ++steps;
    EXPECT_LT(steps, 40000u);
    bool found;
    t->seek(keys[round].first, found);
    t->insert(keys[round].first, 9000);
    t->remove(keys[round].first, keys[round].second);
  }
}

TEST_F(NtxBuild, LocksKeepWriterAndReaderApart) {
  std::vector<Entry> keys{{"a", 1}};
  createIndexFile(path)->createTag("S", "S", KeyType::Character, 1, fromVector(keys));
  auto a = openIndexFile(path, false);
  auto b = openIndexFile(path, false);
  EXPECT_EQ(walk(*b->tags()[0]).size(), 1u);
  ASSERT_TRUE(a->lock(true));
  EXPECT_FALSE(b->lock(false));
  a->tags()[0]->insert("b", 2);
  a->unlock();
  ASSERT_TRUE(b->lock(false));
  EXPECT_EQ(walk(*b->tags()[0]).size(), 2u);
}

}  // namespace
}  // namespace tav::engine

namespace tav::engine {
namespace {

using namespace indextest;
using test::ScratchDir;

// 250-byte keys: two entries per page, the smallest B-tree the format allows.
TEST(NtxLongKeys, TwoEntriesPerPage) {
  ScratchDir dir;
  auto path = dir / "long.ntx";
  std::mt19937 rng(23);
  std::vector<Entry> model;
  for (uint32_t r = 1; r <= 200; ++r) {
    std::string k(250, ' ');
    for (size_t i = 0; i < 5; ++i) k[i] = static_cast<char>('a' + rng() % 4);
    model.emplace_back(k, r);
  }
  auto f = createIndexFile(path);
  IndexTag* t = f->createTag("L", "L", KeyType::Character, 250, fromVector(model));
  ASSERT_TRUE(t);
  EXPECT_EQ(static_cast<ntx::NtxTag*>(t)->maxEntries(), 2u);
  std::sort(model.begin(), model.end(), Order{KeyType::Character});
  EXPECT_EQ(checkTree(path), model);
  for (int i = 0; i < 300; ++i) {
    if (rng() % 2 && !model.empty()) {
      size_t at = rng() % model.size();
      ASSERT_TRUE(t->remove(model[at].first, model[at].second));
      model.erase(model.begin() + static_cast<long>(at));
    } else {
      Entry e{std::string(250, ' '), 1000u + static_cast<uint32_t>(i)};
      for (size_t j = 0; j < 5; ++j) e.first[j] = static_cast<char>('a' + rng() % 4);
      t->insert(e.first, e.second);
      model.insert(std::upper_bound(model.begin(), model.end(), e, Order{KeyType::Character}), e);
    }
  }
  EXPECT_EQ(walk(*t), model);
  EXPECT_EQ(checkTree(path), model);
}

}  // namespace
}  // namespace tav::engine

// Compound index files the engine writes. Groups: CdxBuild (bulk builds, Polish names in the
// order of the dictionary, maintenance against a model, the second reader's view of the file,
// damaged input, locks), KeySorter (runs merged into one order, no file left) and CdxLongKeys.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/cdx/cdx_file.h"
#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "engine/index/key_sorter.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"
#include "runtime/date.h"
#include "runtime/format.h"
#include "simple_cdx_reader.h"
#include "test_support.h"

namespace tav::engine {
namespace {

using namespace indextest;
using test::ScratchDir;

// Polish surnames in 852 with a record number suffix: duplicates, shared prefixes, letters
// whose collation order differs from their byte order.
std::string name(std::mt19937& rng, size_t len) {
  static const std::vector<std::string> stems = {
      rt::utf8ToOem("Łukasiewicz"), rt::utf8ToOem("Żak"),   rt::utf8ToOem("Zając"),
      rt::utf8ToOem("Ślusarczyk"),  rt::utf8ToOem("Sowa"),  rt::utf8ToOem("Ćwik"),
      rt::utf8ToOem("Cichy"),       rt::utf8ToOem("ąbc"),   rt::utf8ToOem("Abc"),
      rt::utf8ToOem("Nowak"),       rt::utf8ToOem("Ńowak"), rt::utf8ToOem("Óstrowski")};
  std::string s = stems[rng() % stems.size()];
  if (rng() % 2) s += " " + std::to_string(rng() % 50);
  s.resize(len, ' ');
  return s;
}

std::vector<Entry> sorted(std::vector<Entry> v, KeyType type) {
  std::sort(v.begin(), v.end(), Order{type});
  return v;
}

std::vector<Entry> toEntries(const std::vector<simplecdx::Entry>& v) {
  std::vector<Entry> out;
  for (const auto& e : v) out.emplace_back(e.key, e.rec);
  return out;
}

class CdxBuild : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::filesystem::path path = dir / "t.cdx";
  std::mt19937 rng{12345};
};

// Three tags of the kinds the tool builds; the engine walks them in collation (or numeric)
// order both ways, and the simple reader finds the same entries through the tree and the
// sibling links, with the header fields other readers need.
TEST_F(CdxBuild, TagsOfEveryKeyKindReadBackByBothReaders) {
  std::vector<Entry> names, amounts, dates;
  for (uint32_t r = 1; r <= 6000; ++r) {
    names.emplace_back(name(rng, 30), r);
    double amount = (static_cast<int>(rng() % 2000001) - 1000000) / 100.0;
    amounts.emplace_back(encodeKey(rt::Value(r % 11 == 0 ? 0.0 : amount), KeyType::Numeric, 8), r);
    rt::Date d =
        r % 97 == 0 ? rt::Date() : rt::Date::fromYmd(2020, 1, 1) + static_cast<int>(rng() % 2000);
    dates.emplace_back(encodeKey(rt::Value(d), KeyType::Date, 8), r);
  }
  std::string why;
  auto f = createIndexFile(path, &why);
  ASSERT_TRUE(f) << why;
  ASSERT_TRUE(f->createTag("naz", "UPPER(NAZWA)", KeyType::Character, 30, fromVector(names)));
  ASSERT_TRUE(f->createTag("KWO", "KWOTA", KeyType::Numeric, 8, fromVector(amounts)));
  ASSERT_TRUE(f->createTag("DTA", "DATA", KeyType::Date, 8, fromVector(dates)));
  EXPECT_EQ(walk(*f->tag("NAZ")), sorted(names, KeyType::Character));
  EXPECT_EQ(walkBack(*f->tag("NAZ")), sorted(names, KeyType::Character));
  EXPECT_EQ(walk(*f->tag("kwo")), sorted(amounts, KeyType::Numeric));
  EXPECT_EQ(keyFor(*f->tag("KWO"), rt::Value(2.5)), encodeKey(rt::Value(2.5), KeyType::Numeric, 8));
  EXPECT_EQ(walk(*f->tag("DTA")), sorted(dates, KeyType::Date));
  f.reset();

  auto tags = simplecdx::Reader(test::readWhole(path), {{"KWO", '\0'}, {"DTA", '\0'}}).read();
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0].name, "NAZ");
  EXPECT_EQ(tags[0].expr, "UPPER(NAZWA)");
  EXPECT_EQ(tags[0].forExpr, "");
  EXPECT_EQ(tags[0].options, 0x60u);
  EXPECT_EQ(tags[0].keyLength, 30u);
  EXPECT_EQ(toEntries(tags[0].entries), sorted(names, KeyType::Character));
  EXPECT_EQ(toEntries(tags[1].entries), sorted(amounts, KeyType::Numeric));
  EXPECT_EQ(toEntries(tags[2].entries), sorted(dates, KeyType::Date));

  // Reopened without help, the file's own content tells the key kinds apart.
  auto g = openIndexFile(path, true, {}, &why);
  ASSERT_TRUE(g) << why;
  EXPECT_EQ(g->tag("NAZ")->keyType(), KeyType::Character);
  EXPECT_EQ(g->tag("KWO")->keyType(), KeyType::Numeric);
  EXPECT_EQ(g->tag("DTA")->keyType(), KeyType::Date);
  EXPECT_EQ(walk(*g->tag("NAZ")), sorted(names, KeyType::Character));
}

// Names as a person files them: each Polish letter right after its base letter, all capitals
// before all small letters, so "Mroczek" before "Mróz" and every name in O before "Ósemka". Built
// from a table in another order, the tag walks them in this order both ways, and a soft seek of a
// first letter or syllable lands on the first name that has it.
TEST_F(CdxBuild, PolishNamesWalkInTheOrderOfTheDictionary) {
  const std::vector<const char*> dictionary = {
      "Cichy",   "Czarnecki", "Ćwik",       "Dach",       "Dąbrowski",  "Dec",    "Dudek",
      "Kolasa",  "Kołodziej", "Komorowski", "Lis",        "Lubomirski", "Łakomy", "Łukasiewicz",
      "Mech",    "Męczyński", "Michalski",  "Mroczek",    "Mróz",       "Musiał", "Nowak",
      "Nowicki", "Olszewski", "Ostrowski",  "Ożóg",       "Ósemka",     "Panek",  "Pańko",
      "Pawlak",  "Sowa",      "Szymański",  "Ślusarczyk", "Świątek",    "Wrona",  "Wróbel",
      "Wrzosek", "Zając",     "Zięba",      "Źródło",     "Żak",        "Żurek",  "olsza",
      "ósemka",  "żuraw"};
  std::vector<Entry> table;
  for (uint32_t r = 1; r <= dictionary.size(); ++r) {
    std::string key = rt::utf8ToOem(dictionary[r - 1]);
    key.resize(16, ' ');
    table.emplace_back(key, r);
  }
  const std::vector<Entry> filed = table;
  std::shuffle(table.begin(), table.end(), rng);
  std::string why;
  auto f = createIndexFile(path, &why);
  ASSERT_TRUE(f) << why;
  IndexTag* t = f->createTag("NAZ", "NAZWISKO", KeyType::Character, 16, fromVector(table));
  ASSERT_TRUE(t);
  auto names = [](const std::vector<Entry>& v) {
    std::vector<std::string> out;
    for (const Entry& e : v) out.push_back(rt::oemToUtf8(rt::rTrim(e.first)));
    return out;
  };
  EXPECT_EQ(names(walk(*t)), names(filed));
  EXPECT_EQ(names(walkBack(*t)), names(filed));
  auto soughtName = [&](const char* prefix) {
    bool found = false;
    uint32_t r = t->seek(rt::utf8ToOem(prefix), found);
    return r == 0 ? std::string("(end)")
                  : std::string(dictionary[r - 1]) + (found ? "" : " (next)");
  };
  EXPECT_EQ(soughtName("O"), "Olszewski");
  EXPECT_EQ(soughtName("Ó"), "Ósemka");
  EXPECT_EQ(soughtName("Mró"), "Mróz");
  EXPECT_EQ(soughtName("Wró"), "Wróbel");
  EXPECT_EQ(soughtName("Ł"), "Łakomy");
  EXPECT_EQ(soughtName("Ś"), "Ślusarczyk");
  EXPECT_EQ(soughtName("Ź"), "Źródło");
  EXPECT_EQ(soughtName("ó"), "ósemka");
  EXPECT_EQ(soughtName("Oz"), "Ożóg (next)");
  EXPECT_EQ(soughtName("Op"), "Ostrowski (next)");
}

TEST_F(CdxBuild, EmptyAndSingleKeyTags) {
  auto f = createIndexFile(path);
  std::vector<Entry> none, one{{"x  ", 7}};
  IndexTag* e = f->createTag("E", "E", KeyType::Character, 3, fromVector(none));
  IndexTag* o = f->createTag("O", "O", KeyType::Character, 3, fromVector(one));
  ASSERT_TRUE(e && o);
  EXPECT_EQ(e->first(), 0u);
  EXPECT_EQ(e->last(), 0u);
  bool found = true;
  EXPECT_EQ(e->seek("a", found), 0u);
  EXPECT_FALSE(found);
  EXPECT_EQ(o->first(), 7u);
  EXPECT_EQ(o->next(), 0u);
  EXPECT_EQ(o->last(), 7u);
  EXPECT_EQ(o->prev(), 0u);
  e->insert("abc", 1);
  EXPECT_EQ(walk(*e), (std::vector<Entry>{{"abc", 1}}));
  f.reset();
  auto tags = simplecdx::Reader(test::readWhole(path)).read();
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].entries.size(), 1u);
}

// Past the memory limit the keys go through sorted runs on disk; the tree is the same.
TEST_F(CdxBuild, ExternalSortGivesTheSameTree) {
  std::vector<Entry> keys;
  // 30-byte keys: sort records longer than what travels inline with a sort slot.
  for (uint32_t r = 1; r <= 20000; ++r) keys.emplace_back(name(rng, 30), r);
  auto f = createIndexFile(path);
  ASSERT_TRUE(f->createTag("MEM", "A", KeyType::Character, 30, fromVector(keys)));
  size_t saved = indexBuildMemoryLimit();
  setIndexBuildMemoryLimit(16 * 1024);  // about 250 keys per run: 80 runs
  IndexTag* disk = f->createTag("DISK", "A", KeyType::Character, 30, fromVector(keys));
  setIndexBuildMemoryLimit(saved);
  ASSERT_TRUE(disk);
  auto expected = sorted(keys, KeyType::Character);
  EXPECT_EQ(walk(*f->tag("MEM")), expected);
  EXPECT_EQ(walk(*disk), expected);
  // No run file is left behind in the index's directory.
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

// Random inserts and removals checked against a model after every batch, by the engine (both
// directions) and by the simple reader (tree and siblings, interior keys equal to children's
// last entries); then everything is removed and added again in the space freed.
TEST_F(CdxBuild, MaintenanceMatchesAModelAndReusesFreedPages) {
  std::vector<Entry> initial;
  for (uint32_t r = 1; r <= 1500; ++r) initial.emplace_back(name(rng, 20), r);
  auto f = createIndexFile(path);
  IndexTag* t = f->createTag("N", "N", KeyType::Character, 20, fromVector(initial));
  ASSERT_TRUE(t);
  std::vector<Entry> model = sorted(initial, KeyType::Character);
  uint32_t nextRec = 1501;
  for (int batch = 0; batch < 6; ++batch) {
    for (int i = 0; i < 700; ++i) {
      if (rng() % 3 != 0 || model.empty()) {
        Entry e{name(rng, 20), nextRec++};
        t->insert(e.first, e.second);
        model.insert(std::upper_bound(model.begin(), model.end(), e, Order{KeyType::Character}), e);
      } else {
        size_t at = rng() % model.size();
        ASSERT_TRUE(t->remove(model[at].first, model[at].second));
        model.erase(model.begin() + static_cast<long>(at));
      }
    }
    ASSERT_EQ(walk(*t), model) << "batch " << batch;
    ASSERT_EQ(walkBack(*t), model);
    auto tags = simplecdx::Reader(test::readWhole(path)).read();
    ASSERT_EQ(toEntries(tags.at(0).entries), model);
  }
  EXPECT_TRUE(static_cast<cdx::CdxFile&>(*f).error().empty())
      << static_cast<cdx::CdxFile&>(*f).error();
  uintmax_t grown = std::filesystem::file_size(path);
  for (const Entry& e : std::vector<Entry>(model)) ASSERT_TRUE(t->remove(e.first, e.second));
  EXPECT_EQ(t->first(), 0u);
  EXPECT_EQ(toEntries(simplecdx::Reader(test::readWhole(path)).read().at(0).entries).size(), 0u);
  // Added back in key order (as appended records are) the leaves fill up, from freed pages.
  for (const Entry& e : model) t->insert(e.first, e.second);
  EXPECT_EQ(walk(*t), model);
  EXPECT_LE(std::filesystem::file_size(path), grown);
  EXPECT_EQ(toEntries(simplecdx::Reader(test::readWhole(path)).read().at(0).entries), model);
}

TEST_F(CdxBuild, SeekIsSoftAndComparesPrefixes) {
  std::vector<Entry> keys;
  const std::vector<std::string> words = {"ALA", "ALAN", "ALAN", "BOB", "BOBER", "CEZAR"};
  for (uint32_t r = 1; r <= words.size(); ++r)
    keys.emplace_back(words[r - 1] + std::string(8 - words[r - 1].size(), ' '), r);
  auto f = createIndexFile(path);
  IndexTag* t = f->createTag("W", "W", KeyType::Character, 8, fromVector(keys));
  bool found = false;
  EXPECT_EQ(t->seek("ALAN", found), 2u);  // the first of two equal keys
  EXPECT_TRUE(found);
  EXPECT_EQ(t->next(), 3u);
  EXPECT_EQ(t->seek("AL", found), 1u);
  EXPECT_TRUE(found);
  EXPECT_EQ(t->seek("ALB", found), 4u);  // soft: the next key
  EXPECT_FALSE(found);
  EXPECT_EQ(t->currentKey(), "BOB     ");
  EXPECT_EQ(t->seek("BOB     ", found), 4u);
  EXPECT_TRUE(found);
  EXPECT_EQ(t->seek("D", found), 0u);
  EXPECT_FALSE(found);
  EXPECT_TRUE(t->locate("ALAN    ", 3));
  EXPECT_EQ(t->prev(), 2u);
  EXPECT_FALSE(t->locate("ALAN    ", 4));
  EXPECT_TRUE(t->locate("ALAN", 3));  // a short key is padded with blanks
}

// A cursor survives changes of the tree: next and prev continue from the entry it was on.
TEST_F(CdxBuild, CursorContinuesAfterChanges) {
  std::vector<Entry> keys;
  for (uint32_t r = 1; r <= 3000; ++r) keys.emplace_back(std::to_string(100000 + r * 2), r);
  auto f = createIndexFile(path);
  IndexTag* t = f->createTag("K", "K", KeyType::Character, 6, fromVector(keys));
  ASSERT_TRUE(t->locate("101000", 500));
  for (uint32_t r = 4000; r < 4400; ++r) t->insert(std::to_string(100000 + (r - 4000) * 5 + 1), r);
  EXPECT_EQ(t->currentKey(), "101000");
  uint32_t n = t->next();
  EXPECT_EQ(t->currentKey(), "101001");
  EXPECT_EQ(n, 4000u + 200u);
  // Remove the entry under the cursor: next goes to the one after it, prev to the one before.
  ASSERT_TRUE(t->remove("101001", n));
  EXPECT_EQ(t->next(), 501u);
  ASSERT_TRUE(t->locate("101004", 502));
  ASSERT_TRUE(t->remove("101004", 502));
  EXPECT_EQ(t->prev(), 501u);
}

// Building a tag under an existing name replaces it in place; ZAP empties every tag and keeps
// the definitions; names compare without regard to case and are cut to ten characters.
TEST_F(CdxBuild, ReplaceAndZap) {
  std::vector<Entry> a, b;
  for (uint32_t r = 1; r <= 5000; ++r) {
    a.emplace_back(std::to_string(r % 977), r);
    a.back().first.resize(5, ' ');
    b.emplace_back(std::to_string(r % 13), r);
    b.back().first.resize(3, ' ');
  }
  auto f = createIndexFile(path);
  ASSERT_TRUE(f->createTag("FIRST", "A", KeyType::Character, 5, fromVector(a)));
  ASSERT_TRUE(f->createTag("SECOND_LONG_NAME", "B", KeyType::Character, 3, fromVector(b)));
  ASSERT_TRUE(f->tag("second_lon"));
  uintmax_t size = std::filesystem::file_size(path);
  IndexTag* again = f->createTag("first", "B+A", KeyType::Character, 3, fromVector(b));
  ASSERT_TRUE(again);
  EXPECT_EQ(f->tags().size(), 2u);
  EXPECT_EQ(f->tags()[0], again);
  EXPECT_EQ(again->keyExpression(), "B+A");
  EXPECT_EQ(walk(*again), sorted(b, KeyType::Character));
  EXPECT_LE(std::filesystem::file_size(path), size);  // the old tag's pages were reused
  f->removeAll();
  for (IndexTag* t : f->tags()) EXPECT_EQ(t->first(), 0u);
  f->tag("SECOND_LON")->insert("12 ", 4);
  f.reset();
  auto tags = simplecdx::Reader(test::readWhole(path)).read();
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].name, "FIRST");
  EXPECT_EQ(tags[0].expr, "B+A");
  EXPECT_EQ(tags[0].entries.size(), 0u);
  EXPECT_EQ(tags[1].name, "SECOND_LON");
  EXPECT_EQ(toEntries(tags[1].entries), (std::vector<Entry>{{"12 ", 4}}));
}

TEST_F(CdxBuild, ReadOnlyOpenRefusesChanges) {
  std::vector<Entry> keys{{"a", 1}, {"b", 2}};
  createIndexFile(path)->createTag("T", "T", KeyType::Character, 1, fromVector(keys));
  std::string before = test::readWhole(path);
  auto f = openIndexFile(path, true);
  ASSERT_TRUE(f);
  f->tag("T")->insert("c", 3);
  EXPECT_FALSE(f->tag("T")->remove("a", 1));
  EXPECT_EQ(f->createTag("U", "U", KeyType::Character, 1, fromVector(keys)), nullptr);
  EXPECT_EQ(test::readWhole(path), before);
}

// Two opens of one file, as two work areas or two workstations: the index byte keeps a writer
// and a reader apart, and taking the lock shows the reader what the writer changed.
TEST_F(CdxBuild, LockSharesReadersAndRefreshesCaches) {
  std::vector<Entry> keys;
  for (uint32_t r = 1; r <= 2000; ++r) keys.emplace_back(std::to_string(r % 700 + 1000), r);
  createIndexFile(path)->createTag("T", "T", KeyType::Character, 4, fromVector(keys));
  auto writer = openIndexFile(path, false);
  auto reader = openIndexFile(path, false);
  ASSERT_TRUE(writer && reader);
  EXPECT_EQ(walk(*reader->tag("T")).size(), 2000u);  // fills the reader's cache
  ASSERT_TRUE(writer->lock(true));
  EXPECT_FALSE(reader->lock(false));
  for (uint32_t r = 2001; r <= 2600; ++r)
    writer->tag("T")->insert(std::to_string(r % 900 + 1000), r);
  writer->unlock();
  ASSERT_TRUE(reader->lock(false));
  EXPECT_FALSE(writer->lock(true));
  auto seen = walk(*reader->tag("T"));
  reader->unlock();
  EXPECT_EQ(seen.size(), 2600u);
  EXPECT_EQ(seen, walk(*writer->tag("T")));
  ASSERT_TRUE(reader->lock(false));
  ASSERT_TRUE(writer->lock(false));  // two readers share the byte
}

// Damaged files are refused when opened, or the operation meeting the damage answers "nothing"
// and says why; nothing reads past a page or loops forever.
TEST_F(CdxBuild, DamagedFilesAreCleanErrors) {
  std::vector<Entry> keys;
  for (uint32_t r = 1; r <= 3000; ++r) keys.emplace_back(name(rng, 16), r);
  {
    auto f = createIndexFile(path);
    f->createTag("A", "A", KeyType::Character, 16, fromVector(keys));
    f->createTag("B", "B", KeyType::Character, 16, fromVector(keys));
  }
  const std::string good = test::readWhole(path);
  auto write = [&](const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  };
  auto put32 = [](std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
  };
  // Too short, a root outside the file, a key length out of range.
  write(good.substr(0, 1000));
  std::string why;
  EXPECT_FALSE(openIndexFile(path, true, {}, &why));
  EXPECT_NE(why.find("too short"), std::string::npos);
  std::string bad = good;
  put32(bad, 0, 0x7FFFFE00);
  write(bad);
  EXPECT_FALSE(openIndexFile(path, true));
  bad = good;
  put32(bad, 12, 0);
  write(bad);
  EXPECT_FALSE(openIndexFile(path, true));

  // A tag root that points at its own header page, or at a page that loops back to itself.
  auto tagsOf = simplecdx::Reader(good).read();
  uint32_t header = tagsOf[0].header;
  uint32_t root = static_cast<uint8_t>(good[header]) | static_cast<uint8_t>(good[header + 1]) << 8 |
                  static_cast<uint8_t>(good[header + 2]) << 16;
  bad = good;
  // Root interior: make its first child pointer (big-endian) point at the root itself.
  size_t child = root + 12 + 16 + 4;
  bad[child] = static_cast<char>(root >> 24);
  bad[child + 1] = static_cast<char>(root >> 16);
  bad[child + 2] = static_cast<char>(root >> 8);
  bad[child + 3] = static_cast<char>(root);
  write(bad);
  {
    auto f = openIndexFile(path, false);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->tag("A")->first(), 0u);
    EXPECT_NE(indexFileError(*f).find("tag A: tree deeper"), std::string::npos)
        << indexFileError(*f);
    f->tag("A")->insert(keys[0].first, 99999);    // refused, not written into a broken tree
    EXPECT_EQ(walk(*f->tag("B")).size(), 3000u);  // the other tag is untouched
  }
  // Random damage anywhere: every walk ends, whatever it finds.
  std::mt19937 flip(7);
  for (int round = 0; round < 300; ++round) {
    bad = good;
    for (int k = 0; k < 4; ++k) bad[flip() % bad.size()] = static_cast<char>(flip());
    write(bad);
    auto f = openIndexFile(path, false);
    if (!f) continue;
    for (IndexTag* t : f->tags()) {
      size_t steps = 0;
      for (uint32_t r = t->first(); r != 0 && steps < 10000; r = t->next()) ++steps;
      EXPECT_LT(steps, 10000u);
      bool found;
      t->seek(keys[round].first, found);
      t->insert(keys[round].first, 5000 + round);
      t->remove(keys[round].first, static_cast<uint32_t>(round + 1));
    }
  }
}

// The runs' files go with the sorter, each closed before it is deleted: Windows refuses to
// delete a file still open, and a deletion refused would leave every run of a large build behind.
// Records of every slot width (held whole in 16 or 24 bytes, or longer), sorted in memory and in
// runs, come back in byte order.
TEST(KeySorter, EveryRecordSizeSortsInMemoryAndInRunsAndLeavesNoFileBehind) {
  for (size_t size : {6, 16, 17, 24, 25, 40})
    for (bool runs : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (runs ? " bytes, in runs" : " bytes, in memory"));
      ScratchDir dir;
      std::mt19937 rng(3);
      std::vector<std::string> all, out;
      {
        // About 45 records per run, or all of them in memory.
        KeySorter sorter(size, runs ? 45 * KeySorter::bytesPerRecord(size) : 64 << 20, dir.path());
        for (int i = 0; i < 5000; ++i) {
          std::string r(size, '\0');
          for (char& c : r) c = static_cast<char>(rng() % 4);  // many equal prefixes
          all.push_back(r);
          ASSERT_TRUE(sorter.add(r.data()));
        }
        ASSERT_TRUE(sorter.finish());
        EXPECT_EQ(sorter.runCount() > 50u, runs);
        while (const char* r = sorter.next()) out.emplace_back(r, size);
        EXPECT_FALSE(sorter.failed());
      }
      std::sort(all.begin(), all.end());
      EXPECT_EQ(out, all);
      EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    }
}

}  // namespace
}  // namespace tav::engine

namespace tav::engine {
namespace {

using namespace indextest;
using test::ScratchDir;

// The longest keys leave two entries per interior node: every split and merge is exercised.
TEST(CdxLongKeys, TreeStaysValidWithTwoEntriesPerInteriorNode) {
  ScratchDir dir;
  auto path = dir / "long.cdx";
  std::mt19937 rng(17);
  std::vector<Entry> none, model;
  auto f = createIndexFile(path);
  IndexTag* t = f->createTag("L", "L", KeyType::Character, 240, fromVector(none));
  ASSERT_TRUE(t);
  for (uint32_t r = 1; r <= 600; ++r) {
    if (rng() % 4 == 0 && !model.empty()) {
      size_t at = rng() % model.size();
      ASSERT_TRUE(t->remove(model[at].first, model[at].second));
      model.erase(model.begin() + static_cast<long>(at));
    } else {
      std::string k(240, ' ');
      for (size_t i = 0; i < 200; ++i) k[i] = static_cast<char>('A' + rng() % 3);
      t->insert(k, r);
      model.emplace_back(k, r);
      std::sort(model.begin(), model.end(), Order{KeyType::Character});
    }
  }
  EXPECT_EQ(walk(*t), model);
  EXPECT_EQ(toEntries(simplecdx::Reader(test::readWhole(path)).read().at(0).entries), model);
  auto g = createIndexFile(dir / "bulk.cdx");
  ASSERT_TRUE(g->createTag("L", "L", KeyType::Character, 240, fromVector(model)));
  EXPECT_EQ(toEntries(simplecdx::Reader(test::readWhole(dir / "bulk.cdx")).read().at(0).entries),
            model);
}

}  // namespace
}  // namespace tav::engine

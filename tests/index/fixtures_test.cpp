// Index files written by an independent engine: read, walked in every tag's order, searched and
// maintained, then walked again (and read by the simple reader, which must still accept them).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "engine/cdx/cdx_file.h"
#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"
#include "runtime/date.h"
#include "simple_cdx_reader.h"
#include "test_support.h"

namespace tav::engine {
namespace {

using namespace indextest;
using test::ScratchDir;
using test::Table;

const std::filesystem::path kData = std::filesystem::path(TAV_TEST_DATA) / "xbase";

std::string upperLatin(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

std::string descend(std::string s) {
  for (char& c : s) c = static_cast<char>(256 - static_cast<uint8_t>(c));
  return s;
}

// The key each kontr tag holds for a record, computed from the table as its README defines.
std::string kontrKey(const Table& t, const std::string& tag, uint32_t r) {
  if (tag == "LPP") return t.get(r, "LPP");
  if (tag == "NAZ") return upperLatin(t.get(r, "NAZWA"));
  if (tag == "KWO") return encodeKey(rt::Value(std::stod(t.get(r, "KWOTA"))), KeyType::Numeric, 8);
  if (tag == "DAT") return t.get(r, "DATA") + t.get(r, "LPP");
  if (tag == "DTA")
    return encodeKey(rt::Value(rt::Date::fromDtos(t.get(r, "DATA"))), KeyType::Date, 8);
  if (tag == "DSC") return descend(t.get(r, "LPP"));
  if (tag == "ILS") return t.get(r, "ILOSC") + t.get(r, "LPP");
  throw std::runtime_error("unknown tag " + tag);
}

bool byteOrdered(const std::vector<Entry>& v) {
  for (size_t i = 1; i < v.size(); ++i)
    if (v[i - 1].first > v[i].first) return false;
  return true;
}

TEST(KontrCdx, TagsListedInCreationOrderWithTheirExpressionsAndTypes) {
  std::string why;
  auto f = openIndexFile(kData / "kontr.cdx", true, {}, &why);
  ASSERT_TRUE(f) << why;
  std::vector<std::string> names, exprs;
  std::vector<KeyType> types;
  for (IndexTag* t : f->tags()) {
    names.push_back(t->name());
    exprs.push_back(t->keyExpression());
    types.push_back(t->keyType());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"LPP", "NAZ", "KWO", "DAT", "DTA", "DSC", "ILS"}));
  EXPECT_EQ(exprs, (std::vector<std::string>{"LPP", "UPPER(NAZWA)", "KWOTA", "DTOS(DATA)+LPP",
                                             "DATA", "DESCEND(LPP)", "STR(ILOSC,5,0)+LPP"}));
  // The file does not record key types: 8-byte keys of bare fields are told apart by content.
  EXPECT_EQ(types, (std::vector<KeyType>{KeyType::Character, KeyType::Character, KeyType::Numeric,
                                         KeyType::Character, KeyType::Date, KeyType::Character,
                                         KeyType::Character}));
  EXPECT_EQ(f->tag("dat"), f->tags()[3]);
  EXPECT_EQ(f->tag("nosuch"), nullptr);
}

// Every tag holds exactly the keys the README defines, for all 3000 records, deleted ones too,
// in plain byte order (the file was built without a national collation); walking backwards
// gives the same sequence; the simple reader agrees with the engine entry for entry.
TEST(KontrCdx, EveryTagHoldsEveryRecordInStoredOrder) {
  Table table(kData / "kontr.dbf");
  ASSERT_EQ(table.size(), 3000u);
  std::string why;
  auto f = openIndexFile(kData / "kontr.cdx", true, {}, &why);
  ASSERT_TRUE(f) << why;
  simplecdx::Reader simple(test::readWhole(kData / "kontr.cdx"), {{"KWO", '\0'}, {"DTA", '\0'}});
  auto simpleTags = simple.read();
  ASSERT_EQ(simpleTags.size(), 7u);
  size_t t = 0;
  for (IndexTag* tag : f->tags()) {
    SCOPED_TRACE(tag->name());
    auto entries = walk(*tag);
    EXPECT_EQ(entries.size(), 3000u);  // deleted records are indexed as well
    EXPECT_TRUE(byteOrdered(entries));
    EXPECT_EQ(walkBack(*tag), entries);
    std::multiset<Entry> expected, got(entries.begin(), entries.end());
    for (uint32_t r = 1; r <= table.size(); ++r)
      expected.emplace(kontrKey(table, tag->name(), r), r);
    EXPECT_TRUE(got == expected);
    ASSERT_EQ(simpleTags[t].entries.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      ASSERT_EQ(simpleTags[t].entries[i].key, entries[i].first);
      ASSERT_EQ(simpleTags[t].entries[i].rec, entries[i].second);
    }
    ++t;
  }
}

TEST(KontrCdx, SoftSeekLandsOnTheFirstKeyNotBelow) {
  Table table(kData / "kontr.dbf");
  auto f = openIndexFile(kData / "kontr.cdx", true);
  ASSERT_TRUE(f);
  IndexTag* lpp = f->tag("LPP");
  auto entries = walk(*lpp);
  for (size_t i = 0; i < entries.size(); i += 37) {
    bool found = false;
    uint32_t r = lpp->seek(entries[i].first, found);
    EXPECT_TRUE(found);
    // The first of equal keys: no earlier entry has this key.
    auto firstEqual = std::find_if(entries.begin(), entries.end(),
                                   [&](const Entry& e) { return e.first == entries[i].first; });
    EXPECT_EQ(r, firstEqual->second);
  }
  // A key between two stored ones lands on the next; one past the last is eof.
  bool found = true;
  uint32_t r = 0;
  std::string between = entries[100].first;
  between[9] = static_cast<char>(between[9] + 1);
  auto next = std::lower_bound(entries.begin(), entries.end(), between,
                               [](const Entry& e, const std::string& k) { return e.first < k; });
  r = lpp->seek(between, found);
  EXPECT_EQ(r, next->second);
  EXPECT_EQ(found, next->first == between);
  EXPECT_EQ(lpp->seek("9999999999", found), 0u);
  EXPECT_FALSE(found);
  // A prefix seek: DAT keys start with the date.
  IndexTag* dat = f->tag("DAT");
  auto datEntries = walk(*dat);
  std::string day = datEntries[1500].first.substr(0, 8);
  r = dat->seek(day, found);
  EXPECT_TRUE(found);
  EXPECT_EQ(dat->currentKey().substr(0, 8), day);
  // A numeric key seeks by value.
  IndexTag* kwo = f->tag("KWO");
  r = kwo->seek(encodeKey(rt::Value(0.0), KeyType::Numeric, 8), found);
  ASSERT_NE(r, 0u);
  EXPECT_GE(std::stod(table.get(r, "KWOTA")), 0.0);
  uint32_t before = kwo->prev();
  ASSERT_NE(before, 0u);
  EXPECT_LT(std::stod(table.get(before, "KWOTA")), 0.0);
  EXPECT_TRUE(kwo->locate(kontrKey(table, "KWO", 123), 123));
  EXPECT_FALSE(kwo->locate(kontrKey(table, "KWO", 123), 124));
}

// Changes through our engine keep the other engine's file a valid tree that both readers walk.
TEST(KontrCdx, MaintainedFileStaysConsistent) {
  ScratchDir dir;
  auto path = dir.copy("kontr.cdx");
  Table table(kData / "kontr.dbf");
  std::string why;
  auto f = openIndexFile(path, false, {}, &why);
  ASSERT_TRUE(f) << why;
  IndexTag* lpp = f->tag("LPP");
  IndexTag* kwo = f->tag("KWO");
  auto lppModel = walk(*lpp);
  auto kwoModel = walk(*kwo);
  // Remove every record divisible by 17 (as a pack would) and add 400 new ones.
  for (uint32_t r = 17; r <= 3000; r += 17) {
    ASSERT_TRUE(lpp->remove(table.get(r, "LPP"), r));
    ASSERT_TRUE(kwo->remove(kontrKey(table, "KWO", r), r));
    std::erase(lppModel, Entry(table.get(r, "LPP"), r));
    std::erase(kwoModel, Entry(kontrKey(table, "KWO", r), r));
  }
  EXPECT_FALSE(lpp->remove(table.get(17, "LPP"), 17));
  for (uint32_t r = 3001; r <= 3400; ++r) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%10u", (r * 7919u) % 999999u + 1);
    std::string k =
        encodeKey(rt::Value((static_cast<double>(r % 2000) - 1000) / 4), KeyType::Numeric, 8);
    lpp->insert(buf, r);
    kwo->insert(k, r);
    lppModel.emplace_back(buf, r);
    kwoModel.emplace_back(k, r);
  }
  std::sort(lppModel.begin(), lppModel.end());
  std::sort(kwoModel.begin(), kwoModel.end());
  EXPECT_EQ(walk(*lpp), lppModel);
  EXPECT_EQ(walk(*kwo), kwoModel);
  EXPECT_EQ(walkBack(*lpp), lppModel);
  f.reset();
  auto again = openIndexFile(path, true);
  ASSERT_TRUE(again);
  EXPECT_EQ(walk(*again->tag("LPP")), lppModel);
  simplecdx::Reader simple(test::readWhole(path), {{"KWO", '\0'}, {"DTA", '\0'}});
  auto tags = simple.read();
  ASSERT_EQ(tags.size(), 7u);
  EXPECT_EQ(tags[0].entries.size(), lppModel.size());
  EXPECT_EQ(tags[2].entries.size(), kwoModel.size());
  EXPECT_EQ(tags[1].entries.size(), 3000u);  // untouched tags stay as they were
}

// Walks a tag and tells whether every entry follows the previous one in the tag's own order
// (keys by compareKeys of the tag, equal keys by record number).
bool inTagOrder(IndexTag& tag, const std::vector<Entry>& v) {
  for (size_t i = 1; i < v.size(); ++i) {
    int c = compareKeys(tag, v[i - 1].first.data(), v[i].first.data(), tag.keyLength());
    if (c > 0 || (c == 0 && v[i - 1].second > v[i].second)) return false;
  }
  return true;
}

// True when some adjacent pair of v is ordered differently by the collation and by bytes: a
// test on such keys can tell the two orders apart.
bool ordersDisagree(const std::vector<Entry>& v) {
  for (size_t i = 1; i < v.size(); ++i) {
    const std::string& a = v[i - 1].first;
    const std::string& b = v[i].first;
    if ((a < b) != (rt::collate(a, b) < 0)) return true;
  }
  return false;
}

// DSC (inverted digits and blanks, whose codes are Polish letters) is in byte order, not in the
// collation. NAZ orders the same either way, but its keys, UPPER(NAZWA), kept their small Polish
// letters, which our upper() never leaves. The tags of digits, numbers and dates are the same in
// either dialect.
TEST(KontrCdx, TagsInPlainByteOrderAreToldByTheirKeys) {
  std::string why;
  auto f = openIndexFile(kData / "kontr.cdx", true, {}, &why);
  ASSERT_TRUE(f) << why;
  std::vector<std::string> plain;
  for (IndexTag* tag : f->tags()) {
    SCOPED_TRACE(tag->name());
    if (tag->plainByteOrder()) plain.push_back(tag->name());
    auto entries = walk(*tag);
    ASSERT_EQ(entries.size(), 3000u);
    EXPECT_TRUE(inTagOrder(*tag, entries));
    EXPECT_EQ(walkBack(*tag), entries);
  }
  EXPECT_EQ(plain, (std::vector<std::string>{"NAZ", "DSC"}));
  EXPECT_TRUE(ordersDisagree(walk(*f->tag("DSC"))));
  size_t smallPolish = 0;
  for (const Entry& e : walk(*f->tag("NAZ")))
    smallPolish += rt::upper(e.first) != upperLatin(e.first);
  EXPECT_GT(smallPolish, 1000u);
}

TEST(KontrCdx, PolishNamesAreFoundInThePlainTag) {
  Table table(kData / "kontr.dbf");
  auto f = openIndexFile(kData / "kontr.cdx", true);
  ASSERT_TRUE(f);
  IndexTag* naz = f->tag("NAZ");
  ASSERT_TRUE(naz && naz->plainByteOrder());
  const std::string polish = rt::utf8ToOem("ąćęłńóśźżĄĆĘŁŃÓŚŹŻ");
  size_t sought = 0;
  for (uint32_t r = 1; r <= table.size(); r += 7) {
    std::string key = kontrKey(table, "NAZ", r);
    if (key.find_first_of(polish) == std::string::npos) continue;
    ++sought;
    bool found = false;
    uint32_t at = naz->seek(key, found);
    ASSERT_TRUE(found) << r;
    EXPECT_EQ(naz->currentKey(), key);
    // Names end in their record number, so the key is unique.
    EXPECT_EQ(at, r);
    EXPECT_TRUE(naz->locate(key, r));
    // The name without its number seeks a prefix.
    std::string name = key.substr(0, key.find_last_not_of(" 0123456789") + 1);
    EXPECT_NE(naz->seek(name, found), 0u);
    EXPECT_TRUE(found) << r;
  }
  EXPECT_GT(sought, 100u);
}

// Inserts and removals in a plain tag keep byte order, and the tag stays plain when reopened.
TEST(KontrCdx, PlainTagsAreMaintainedInTheirOwnOrder) {
  ScratchDir dir;
  auto path = dir.copy("kontr.cdx");
  Table table(kData / "kontr.dbf");
  std::string why;
  auto f = openIndexFile(path, false, {}, &why);
  ASSERT_TRUE(f) << why;
  IndexTag* naz = f->tag("NAZ");
  IndexTag* dsc = f->tag("DSC");
  ASSERT_TRUE(naz->plainByteOrder() && dsc->plainByteOrder());
  auto nazModel = walk(*naz);
  auto dscModel = walk(*dsc);
  for (uint32_t r = 17; r <= 3000; r += 17) {
    ASSERT_TRUE(naz->remove(kontrKey(table, "NAZ", r), r)) << r;
    ASSERT_TRUE(dsc->remove(kontrKey(table, "DSC", r), r)) << r;
    std::erase(nazModel, Entry(kontrKey(table, "NAZ", r), r));
    std::erase(dscModel, Entry(kontrKey(table, "DSC", r), r));
  }
  const char* names[] = {"Łukasz Żółć", "ŻANETA źdźbło", "Ala ąę", "AZ", "A[",
                         "Ąb",          "śWIT",          "Zenon"};
  for (uint32_t r = 3001; r <= 3400; ++r) {
    std::string key = upperLatin(rt::utf8ToOem(names[r % 8]) + " " + std::to_string(r));
    key.resize(40, ' ');
    char lpp[16];
    std::snprintf(lpp, sizeof lpp, "%10u", (r * 7919u) % 999999u + 1);
    naz->insert(key, r);
    dsc->insert(descend(lpp), r);
    nazModel.emplace_back(key, r);
    dscModel.emplace_back(descend(lpp), r);
  }
  std::sort(nazModel.begin(), nazModel.end());
  std::sort(dscModel.begin(), dscModel.end());
  EXPECT_EQ(walk(*naz), nazModel);
  EXPECT_EQ(walkBack(*naz), nazModel);
  EXPECT_EQ(walk(*dsc), dscModel);
  bool found = false;
  std::string zaneta = upperLatin(rt::utf8ToOem("ŻANETA źdźbło 3001"));
  EXPECT_EQ(naz->seek(zaneta, found), 3001u);
  EXPECT_TRUE(found);
  f.reset();
  auto again = openIndexFile(path, true);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->tag("NAZ")->plainByteOrder());
  EXPECT_TRUE(again->tag("DSC")->plainByteOrder());
  EXPECT_EQ(walk(*again->tag("NAZ")), nazModel);
  auto tags = simplecdx::Reader(test::readWhole(path), {{"KWO", '\0'}, {"DTA", '\0'}}).read();
  ASSERT_EQ(tags.size(), 7u);
  EXPECT_EQ(tags[1].entries.size(), nazModel.size());
}

// Our own tags are in the collation, however far it is from byte order, and are never taken
// for plain ones; a rebuild of a plain tag writes it in the collation.
TEST(KontrCdx, OwnTagsAreNeverPlainAndARebuildConverts) {
  ScratchDir dir;
  auto path = dir.copy("kontr.cdx");
  Table table(kData / "kontr.dbf");
  std::vector<Entry> keys;
  for (uint32_t r = 1; r <= table.size(); ++r)
    keys.emplace_back(rt::upper(table.get(r, "NAZWA")), r);
  {
    auto f = openIndexFile(path, false);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->tag("NAZ")->plainByteOrder());
    ASSERT_TRUE(f->createTag("NAZ", "UPPER(NAZWA)", KeyType::Character, 40, fromVector(keys)));
    EXPECT_FALSE(f->tag("NAZ")->plainByteOrder());
    ASSERT_TRUE(f->createTag("NAZ2", "NAZWA", KeyType::Character, 40, fromVector(keys)));
    std::vector<Entry> few;
    for (const char* n : {"Ąb", "Az", "ab", "Ła", "Lz", "źle", "Zz", "a[", "A["})
      few.emplace_back(rt::utf8ToOem(n), static_cast<uint32_t>(few.size() + 1));
    ASSERT_TRUE(f->createTag("FEW", "NAZWA", KeyType::Character, 3, fromVector(few)));
  }
  auto f = openIndexFile(path, true);
  ASSERT_TRUE(f);
  for (const char* name : {"NAZ", "NAZ2", "FEW"}) {
    SCOPED_TRACE(name);
    IndexTag* t = f->tag(name);
    ASSERT_TRUE(t);
    EXPECT_FALSE(t->plainByteOrder());
    auto entries = walk(*t);
    EXPECT_TRUE(inTagOrder(*t, entries));
  }
  EXPECT_TRUE(ordersDisagree(walk(*f->tag("FEW"))));
  // The rebuilt NAZ holds the national upper() of every name.
  for (const Entry& e : walk(*f->tag("NAZ")))
    ASSERT_EQ(e.first, rt::upper(table.get(e.second, "NAZWA")));
  EXPECT_TRUE(f->tag("DSC")->plainByteOrder());
  EXPECT_EQ(walk(*f->tag("NAZ")).size(), 3000u);
}

// A tag we build on UPPER(...) or LOWER(...) must never show a byte that the same function
// would change again, or it would be taken for another engine's tag.
TEST(KontrCdx, OurCaseFunctionsLeaveNoLetterTheyWouldChange) {
  for (int b = 0; b < 256; ++b) {
    char c = static_cast<char>(b);
    EXPECT_EQ(rt::upperChar(rt::upperChar(c)), rt::upperChar(c)) << b;
    EXPECT_EQ(rt::lowerChar(rt::lowerChar(c)), rt::lowerChar(c)) << b;
  }
}

TEST(MalaCdx, OneLeafPerTagInKeyOrder) {
  std::string why;
  auto f = openIndexFile(kData / "mala.cdx", true, {}, &why);
  ASSERT_TRUE(f) << why;
  ASSERT_EQ(f->tags().size(), 2u);
  IndexTag* kod = f->tag("KOD");
  IndexTag* nr = f->tag("NR");
  ASSERT_TRUE(kod && nr);
  EXPECT_EQ(nr->keyType(), KeyType::Numeric);
  std::vector<uint32_t> kodOrder, nrOrder;
  for (const auto& e : walk(*kod)) kodOrder.push_back(e.second);
  for (const auto& e : walk(*nr)) nrOrder.push_back(e.second);
  EXPECT_EQ(kodOrder, (std::vector<uint32_t>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
  // NR = i * 7 mod 11: the values 1..10 belong to records 8, 5, 2, 10, 7, 4, 1, 9, 6, 3.
  EXPECT_EQ(nrOrder, (std::vector<uint32_t>{8, 5, 2, 10, 7, 4, 1, 9, 6, 3}));
  EXPECT_EQ(decodeNumericKey(nr->currentKey()), 0);  // past the end: no current key
  bool found = false;
  EXPECT_EQ(kod->seek("E", found), 6u);
  EXPECT_TRUE(found);
  EXPECT_EQ(kod->currentKey(), "E006");
  EXPECT_EQ(nr->seek(encodeKey(rt::Value(5.5), KeyType::Numeric, 8), found), 4u);
  EXPECT_FALSE(found);
}

// The engine, which compiles the key expressions, can settle the types the file leaves open.
TEST(MalaCdx, KeyTypesFromTheCaller) {
  std::vector<std::pair<std::string, size_t>> asked;
  auto f = openIndexFile(kData / "mala.cdx", true, [&](std::string_view expr, size_t len) {
    asked.emplace_back(std::string(expr), len);
    return expr == "NR" ? std::optional<KeyType>(KeyType::Date) : std::nullopt;
  });
  ASSERT_TRUE(f);
  EXPECT_EQ(asked, (std::vector<std::pair<std::string, size_t>>{{"KOD", 4}, {"NR", 8}}));
  EXPECT_EQ(f->tag("NR")->keyType(), KeyType::Date);
  EXPECT_EQ(f->tag("KOD")->keyType(), KeyType::Character);
}

TEST(MalaCdx, GrowsFromOneLeafToATree) {
  ScratchDir dir;
  auto path = dir.copy("mala.cdx");
  auto f = openIndexFile(path, false);
  ASSERT_TRUE(f);
  IndexTag* kod = f->tag("KOD");
  auto model = walk(*kod);
  for (uint32_t r = 11; r <= 600; ++r) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%c%03u", 'A' + r % 26, r % 1000);
    kod->insert(buf, r);
    model.emplace_back(buf, r);
  }
  std::sort(model.begin(), model.end());
  EXPECT_EQ(walk(*kod), model);
  auto tags = simplecdx::Reader(test::readWhole(path), {{"NR", '\0'}}).read();
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].entries.size(), 600u);
  EXPECT_EQ(tags[1].entries.size(), 10u);
}

TEST(JednNtx, WalkSeekAndMaintain) {
  Table table(kData / "jedn.dbf");
  ASSERT_EQ(table.size(), 2500u);
  ScratchDir dir;
  auto path = dir.copy("jedn.ntx");
  std::string why;
  auto f = openIndexFile(path, false, {}, &why);
  ASSERT_TRUE(f) << why;
  ASSERT_EQ(f->tags().size(), 1u);
  IndexTag* t = f->tags()[0];
  EXPECT_EQ(t->keyExpression(), "SYMBOL");
  EXPECT_EQ(t->keyLength(), 8u);
  EXPECT_EQ(f->tag("jedn"), t);
  auto entries = walk(*t);
  ASSERT_EQ(entries.size(), 2500u);
  EXPECT_TRUE(byteOrdered(entries));
  EXPECT_EQ(walkBack(*t), entries);
  std::multiset<Entry> expected, got(entries.begin(), entries.end());
  for (uint32_t r = 1; r <= 2500; ++r) expected.emplace(table.get(r, "SYMBOL"), r);
  EXPECT_TRUE(got == expected);
  for (size_t i = 0; i < entries.size(); i += 101) {
    bool found = false;
    EXPECT_NE(t->seek(entries[i].first, found), 0u);
    EXPECT_TRUE(found);
    EXPECT_EQ(t->currentKey(), entries[i].first);
    EXPECT_TRUE(t->locate(entries[i].first, entries[i].second));
  }
  bool found = true;
  EXPECT_EQ(t->seek("99999999z", found), 0u);
  // Remove a third, add new keys, then walk again here and after reopening.
  std::vector<Entry> model = entries;
  for (uint32_t r = 3; r <= 2500; r += 3) {
    ASSERT_TRUE(t->remove(table.get(r, "SYMBOL"), r)) << r;
    std::erase(model, Entry(table.get(r, "SYMBOL"), r));
  }
  for (uint32_t r = 2501; r <= 3000; ++r) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08u", (r * 104729u) % 100000000u);
    t->insert(buf, r);
    model.emplace_back(buf, r);
  }
  std::sort(model.begin(), model.end());
  EXPECT_EQ(walk(*t), model);
  EXPECT_EQ(walkBack(*t), model);
  f.reset();
  auto again = openIndexFile(path, true);
  ASSERT_TRUE(again);
  EXPECT_EQ(walk(*again->tags()[0]), model);
}

}  // namespace
}  // namespace tav::engine

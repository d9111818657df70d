// Groups: DbfHeader (the header we write and the forms of other writers we read), DbfFields (field
// values both ways, other writers' types, impossible dates), DamagedFiles (no crash on any
// damage) and MemoFile (blocks, pointers and lengths checked before use).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "engine/dbf/dbf_format.h"
#include "engine/dbf/table.h"
#include "engine/fpt/memo_file.h"
#include "engine/workarea.h"
#include "engine/workspace.h"
#include "engine_test_util.h"
#include "runtime/coding.h"
#include "runtime/error.h"

using namespace tav;
using namespace tav::engine;
using tav::test::TempDir;

namespace {

TEST(DbfHeader, BuildsWhatItParses) {
  DbfHeader h, back;
  std::string bytes, why;
  ASSERT_TRUE(buildHeader({{"nazwa", 'c', 40, 0},
                           {"KWOTA", 'N', 12, 2},
                           {"DATA", 'D', 8, 0},
                           {"AKT", 'L', 1, 0},
                           {"UWAGI", 'M', 10, 0}},
                          h, bytes, why))
      << why;
  EXPECT_EQ(h.version, 0xF5);
  EXPECT_EQ(bytes.size(), 32u + 5 * 32 + 1);
  EXPECT_EQ(static_cast<uint8_t>(bytes.back()), 0x0D);
  EXPECT_EQ(h.recordLength, 1 + 40 + 12 + 8 + 1 + 10);
  ASSERT_TRUE(parseHeader(bytes, back, why)) << why;
  ASSERT_EQ(back.fields.size(), 5u);
  EXPECT_EQ(back.fields[0].name, "NAZWA");
  EXPECT_EQ(back.fields[1].offset, 41u);
  EXPECT_EQ(back.fields[1].decimals, 2);
  EXPECT_EQ(back.codePage, 0x64);
  EXPECT_TRUE(back.hasMemo());
  EXPECT_FALSE(back.memoPointersBinary());
  ASSERT_TRUE(buildHeader({{"A", 'C', 1, 0}}, h, bytes, why));
  EXPECT_EQ(h.version, 0x03);
}

TEST(DbfHeader, CreateRefusesBadStructures) {
  DbfHeader h;
  std::string bytes, why;
  struct Case {
    std::vector<FieldSpec> fields;
    const char* reason;
  };
  const Case cases[] = {
      {{}, "no fields"},
      {{{"ZADLUGANAZWA", 'C', 5, 0}}, "name over 10 characters"},
      {{{"1ABC", 'C', 5, 0}}, "name starting with a digit"},
      {{{"A B", 'C', 5, 0}}, "blank inside a name"},
      {{{"A", 'C', 5, 0}, {"a", 'N', 5, 0}}, "duplicate name in another case"},
      {{{"A", 'C', 0, 0}}, "empty character field"},
      {{{"A", 'C', 255, 0}}, "character field over 254"},
      {{{"A", 'N', 21, 0}}, "number over 20 digits"},
      {{{"A", 'N', 5, 4}}, "decimals leaving no room for the point"},
      {{{"A", 'D', 10, 0}}, "date not 8 long"},
      {{{"A", 'L', 2, 0}}, "logical not 1 long"},
      {{{"A", 'M', 4, 0}}, "memo not 10 long"},
      {{{"A", 'X', 4, 0}}, "unknown type"},
      {{{"A", 'I', 4, 0}}, "type this engine only reads"},
  };
  for (const auto& c : cases) EXPECT_FALSE(buildHeader(c.fields, h, bytes, why)) << c.reason;
  std::vector<FieldSpec> wide;
  for (int i = 0; i < 300; ++i) wide.push_back({"F" + std::to_string(i), 'C', 254, 0});
  EXPECT_FALSE(buildHeader(wide, h, bytes, why));
}

TEST(DbfFields, NumbersAreRightAlignedAndRefusedWhenTooWide) {
  FieldDef f{"K", 'N', 8, 2, 0, 1};
  char raw[8];
  int code = 0;
  ASSERT_TRUE(encodeField(f, rt::Value(-12.345), raw, code));
  EXPECT_EQ(std::string(raw, 8), "  -12.35");
  ASSERT_TRUE(encodeField(f, rt::Value(99999.99), raw, code));
  EXPECT_EQ(std::string(raw, 8), "99999.99");
  EXPECT_FALSE(encodeField(f, rt::Value(100000.0), raw, code));
  EXPECT_EQ(code, rt::kErrDataWidth);
  EXPECT_FALSE(encodeField(f, rt::Value(-10000.0), raw, code));
  EXPECT_FALSE(encodeField(f, rt::Value(std::numeric_limits<double>::infinity()), raw, code));
  EXPECT_EQ(std::string(raw, 8), "99999.99");  // a refused value leaves the bytes alone
  EXPECT_FALSE(encodeField(f, rt::Value(true), raw, code));
  EXPECT_EQ(code, rt::kErrDataType);
  DbfHeader h;
  rt::Value v;
  uint32_t block = 0;
  for (const char* text : {"        ", "  -12.35", "garbage!", "*******"}) {
    std::memcpy(raw, text, 8);
    EXPECT_EQ(decodeField(f, raw, h, v, block), Decoded::Ok) << text;
    EXPECT_TRUE(v.isNumber());
  }
}

TEST(DbfFields, ReadsTheTypesOtherWritersUse) {
  DbfHeader h;
  h.version = 0x30;
  rt::Value v;
  uint32_t block = 0;
  char raw[8];
  rt::putLE32(raw, static_cast<uint32_t>(-42));
  decodeField(FieldDef{"I", 'I', 4, 0, 0, 1}, raw, h, v, block);
  EXPECT_EQ(v.num(), -42);
  rt::putLE64(raw, rt::doubleBits(3.25));
  decodeField(FieldDef{"B", 'B', 8, 2, 0, 1}, raw, h, v, block);
  EXPECT_EQ(v.num(), 3.25);
  rt::putLE64(raw, 123456);  // currency: four implied decimals
  decodeField(FieldDef{"Y", 'Y', 8, 4, 0, 1}, raw, h, v, block);
  EXPECT_DOUBLE_EQ(v.num(), 12.3456);
  rt::putLE32(raw, static_cast<uint32_t>(rt::Date::fromYmd(2024, 2, 29).julian()));
  rt::putLE32(raw + 4, 3600000);
  decodeField(FieldDef{"T", 'T', 8, 0, 0, 1}, raw, h, v, block);
  EXPECT_EQ(v.date(), rt::Date::fromYmd(2024, 2, 29));
  rt::putLE32(raw, 77);
  EXPECT_EQ(decodeField(FieldDef{"M", 'M', 4, 0, 0, 1}, raw, h, v, block), Decoded::Memo);
  EXPECT_EQ(block, 77u);
  h.version = 0xF5;
  std::memcpy(raw, "  12x45  ", 8);
  decodeField(FieldDef{"M", 'M', 8, 0, 0, 1}, raw, h, v, block);
  EXPECT_EQ(block, 0u);  // not a pointer: no memo, never a wild read
  for (char c : std::string("TtYyFfN? ")) {
    raw[0] = c;
    decodeField(FieldDef{"L", 'L', 1, 0, 0, 1}, raw, h, v, block);
    EXPECT_EQ(v.log(), c == 'T' || c == 't' || c == 'Y' || c == 'y') << c;
  }
}

// Tables of other programs hold days that do not exist. Such a date reads empty, is told by the
// check and never moves as bytes into a converted table; the last real day of the month beside it
// reads as itself. The standard library's calendar says where each month ends.
TEST(DbfFields, ImpossibleDatesOfOtherWritersReadEmptyNeverAsAnotherDay) {
  namespace chr = std::chrono;
  std::vector<std::string> impossible, real;
  for (int y : {1900, 2000, 2023, 2024, 2025}) {
    for (unsigned m = 1; m <= 12; ++m) {
      const unsigned last = unsigned(
          chr::year_month_day_last(chr::year(y), chr::month_day_last(chr::month(m))).day());
      char text[16];
      std::snprintf(text, sizeof text, "%04d%02u%02u", y, m, last);
      real.push_back(text);
      std::snprintf(text, sizeof text, "%04d%02u%02u", y, m, last + 1);
      impossible.push_back(text);
      std::snprintf(text, sizeof text, "%04d%02u00", y, m);
      impossible.push_back(text);
    }
    for (const char* md : {"0015", "1315", "0000", "9901"})
      impossible.push_back(std::to_string(y) + md);
  }
  TempDir dir;
  const std::string path = (dir / "obce.dbf").string();
  {
    Workspace ws;
    ASSERT_TRUE(ws.create(path, {{"NR", 'N', 4, 0}, {"DATA", 'D', 8, 0}}));
    ASSERT_TRUE(ws.use(path, "T", {}));
    for (size_t i = 0; i < impossible.size() + real.size(); ++i) {
      ASSERT_TRUE(ws.current()->append());
      ws.current()->put(1, rt::Value(static_cast<long long>(i)));
    }
  }
  // The dates written as another program would have written them, straight into the records.
  std::string bytes = test::readFile(path);
  const uint16_t header = rt::getLE16(bytes.data() + 8), length = rt::getLE16(bytes.data() + 10);
  std::vector<std::string> stored = impossible;
  stored.insert(stored.end(), real.begin(), real.end());
  for (size_t i = 0; i < stored.size(); ++i)
    bytes.replace(header + i * length + 1 + 4, 8, stored[i]);
  test::writeFile(path, bytes);

  Workspace ws;
  rt::HandlerGuard quiet([](rt::Error&) { return rt::Answer{}; });
  ASSERT_TRUE(ws.use(path, "T", UseOptions{true, true, ""}));
  WorkArea& a = *ws.current();
  const FieldDef& data = a.table().header().fields[1];
  for (size_t i = 0; i < stored.size(); ++i) {
    a.goTo(static_cast<uint32_t>(i + 1));
    const rt::Date got = a.get("DATA").date();
    const char* raw = a.buffer() + data.offset;
    ASSERT_EQ(std::string(raw, 8), stored[i]);
    if (i < impossible.size()) {
      EXPECT_TRUE(got.empty()) << stored[i] << " read as " << got.dtos();
      EXPECT_FALSE(wellFormed(data, raw)) << stored[i];
      EXPECT_FALSE(bytesRoundTrip(data, raw)) << stored[i];
    } else {
      EXPECT_EQ(got.dtos(), stored[i]);
      EXPECT_TRUE(wellFormed(data, raw)) << stored[i];
    }
  }

  // A datetime field holds the day as a number: blanks, zeros and numbers of no day in years 1
  // to 9999 read as the empty date, the first and last day as themselves.
  DbfHeader h;
  h.version = 0x30;
  const FieldDef stamp{"T", 'T', 8, 0, 0, 1};
  const int32_t first = rt::Date::fromYmd(1, 1, 1).julian(),
                last = rt::Date::fromYmd(9999, 12, 31).julian();
  char raw[8];
  rt::Value v;
  uint32_t block = 0;
  for (int32_t jd : {0x20202020, 0, 1, -first, first - 1, last + 1, 0x7FFFFFFF}) {
    rt::putLE32(raw, static_cast<uint32_t>(jd));
    rt::putLE32(raw + 4, 0);
    decodeField(stamp, raw, h, v, block);
    EXPECT_TRUE(v.date().empty()) << jd;
  }
  for (int32_t jd : {first, last}) {
    rt::putLE32(raw, static_cast<uint32_t>(jd));
    decodeField(stamp, raw, h, v, block);
    EXPECT_EQ(v.date().julian(), jd);
  }
}

TEST(DbfHeader, VisualFoxTablesWithNullFlagsAndBacklinkAreRead) {
  // Fields C(5) nullable, V(6) and the hidden _NullFlags, then a 263-byte backlink.
  std::string b(32 + 3 * 32 + 1 + 263, '\0');
  b[0] = 0x30;
  auto field = [&](int i, const char* name, char type, int len, uint8_t flags) {
    char* d = b.data() + 32 + 32 * i;
    std::memcpy(d, name, std::strlen(name));
    d[11] = type;
    d[16] = static_cast<char>(len);
    d[18] = static_cast<char>(flags);
  };
  field(0, "IMIE", 'C', 5, 0x02);
  field(1, "OPIS", 'V', 6, 0x00);
  field(2, "_NullFlags", '0', 1, 0x05);
  b[32 + 96] = 0x0D;
  rt::putLE16(b.data() + 8, static_cast<uint16_t>(b.size()));
  rt::putLE16(b.data() + 10, 1 + 5 + 6 + 1);
  DbfHeader h;
  std::string why;
  ASSERT_TRUE(parseHeader(b, h, why)) << why;
  ASSERT_EQ(h.fields.size(), 3u);
  EXPECT_TRUE(h.fields[2].hidden());
  EXPECT_EQ(h.fields[0].nullBit, 0);
  EXPECT_EQ(h.fields[1].varBit, 1);
  std::string rec = " ab   xy\x02\x00\x00\x00\x02";
  rec[12] = 0x01 | 0x02;  // IMIE null, OPIS shorter than its field
  rec[11] = 2;            // OPIS holds 2 bytes
  rt::Value v;
  uint32_t block;
  EXPECT_EQ(decodeField(h.fields[0], rec.data() + 1, h, v, block), Decoded::Null);
  decodeField(h.fields[1], rec.data() + 6, h, v, block);
  EXPECT_EQ(v.str(), "xy");
}

// Every prefix and a few thousand random corruptions of a sound table with memos: each open
// is either refused with a reason or reads every record and memo without a crash.
TEST(DamagedFiles, NeverCrashTheReader) {
  TempDir dir;
  std::string path = (dir / "d.dbf").string();
  {
    Workspace ws;
    rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
    ASSERT_TRUE(
        ws.create(path, {{"A", 'C', 7, 0}, {"N", 'N', 6, 1}, {"M", 'M', 10, 0}, {"D", 'D', 8, 0}}));
    ASSERT_TRUE(ws.use(path, "D", {}));
    for (int i = 0; i < 6; ++i) {
      ws.current()->append();
      ws.current()->put(3, rt::Value(std::string(40 * i + 1, 'x')));
    }
  }
  const std::string dbf = test::readFile(path), fpt = test::readFile(dir / "d.fpt");
  int refused = 0, read = 0;
  auto attempt = [&](const std::string& d, const std::string& m) {
    test::writeFile(path, d);
    test::writeFile(dir / "d.fpt", m);
    Workspace ws;
    rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
    if (!ws.use(path, "D", UseOptions{true, true, ""})) {
      ++refused;
      return;
    }
    ++read;
    WorkArea& a = *ws.current();
    for (a.goTop(); !a.eof(); a.skip())
      for (size_t i = 1; i <= a.fieldCount(); ++i) a.get(i);
  };
  for (size_t n = 0; n < dbf.size(); n += 7) attempt(dbf.substr(0, n), fpt);
  for (size_t n = 0; n < fpt.size(); n += 5) attempt(dbf, fpt.substr(0, n));
  std::mt19937 rng(12345);
  for (int i = 0; i < 800; ++i) {
    std::string d = dbf, m = fpt;
    for (int k = 0; k < 4; ++k) {
      if (rng() % 2)
        d[rng() % d.size()] = static_cast<char>(rng());
      else
        m[rng() % m.size()] = static_cast<char>(rng());
    }
    attempt(d, m);
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(read, 0);
}

TEST(MemoFile, WritesReadsAndRefusesPointersOutsideTheFile) {
  TempDir dir;
  auto p = dir / "m.fpt";
  ASSERT_TRUE(MemoFile::create(p, 32));
  std::string why;
  auto m = MemoFile::open(p, false, false, why);
  ASSERT_TRUE(m) << why;
  EXPECT_EQ(m->blockSize(), 32);
  uint32_t a = m->write("pierwszy");
  uint32_t b = m->write(std::string(100, 'b'));
  EXPECT_EQ(a, 16u);                  // 512 / 32
  EXPECT_EQ(b, 17u);                  // "pierwszy" + 8 fits one block
  EXPECT_EQ(m->nextFree(), 17u + 4);  // 108 bytes take four 32-byte blocks
  EXPECT_EQ(*m->read(a, why), "pierwszy");
  EXPECT_EQ(m->replace(b, std::string(120, 'c')), b);  // 128 still fits four blocks
  uint32_t grown = m->replace(a, std::string(40, 'd'));
  EXPECT_EQ(grown, 21u);
  EXPECT_EQ(*m->read(grown, why), std::string(40, 'd'));
  EXPECT_EQ(*m->read(b, why), std::string(120, 'c'));
  EXPECT_EQ(m->write(""), 0u);
  EXPECT_EQ(*m->read(0, why), "");
  EXPECT_FALSE(m->read(5, why));  // inside the header
  EXPECT_FALSE(m->read(100000, why));
  std::string bytes = test::readFile(p);
  EXPECT_EQ(rt::getBE32(bytes.data()), 23u);
  EXPECT_EQ(bytes.size(), 23u * 32);
  rt::putBE32(bytes.data() + 16 * 32 + 4, 0xFFFFFF00u);  // a length beyond the file
  test::writeFile(p, bytes);
  m = MemoFile::open(p, true, false, why);
  EXPECT_FALSE(m->read(16, why));
  EXPECT_NE(why.find("beyond the end"), std::string::npos);
}

}  // namespace

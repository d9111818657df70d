// Moving field bytes instead of values: a record copied with its bytes moved must come out byte
// for byte as the copy through values makes it, for every form a field's bytes can take on
// disk, the ones other writers leave included; and the move must really happen for the forms
// the engine itself writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/dbf/dbf_format.h"
#include "engine/dbf/table.h"
#include "engine/workarea.h"
#include "engine/workspace.h"
#include "engine_test_util.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace {

using namespace tav;
using namespace tav::engine;
using namespace tav::rt::literals;

// A field as a header read from disk may give it: other writers declare decimals this engine
// would not create (N(3,2)), and the formatter copes with them.
FieldDef def(char type, int length, int decimals) {
  FieldDef f;
  f.name = "F";
  f.type = type;
  f.length = static_cast<uint16_t>(length);
  f.decimals = static_cast<uint8_t>(decimals);
  return f;
}

// One record's field bytes, each field checked against its width.
std::string row(const std::vector<std::pair<std::string, size_t>>& fields) {
  std::string out;
  for (const auto& [bytes, width] : fields) {
    EXPECT_EQ(bytes.size(), width) << "\"" << bytes << "\"";
    out += bytes;
  }
  return out;
}

// What a copy through the value makes of these bytes; false when the write is refused.
bool throughValue(const FieldDef& f, const std::string& raw, std::string& out) {
  DbfHeader h;
  rt::Value v;
  uint32_t block = 0;
  decodeField(f, raw.data(), h, v, block);
  out.assign(f.length, ' ');
  int code = 0;
  return encodeField(f, v, out.data(), code);
}

// ---------------------------------------------------------------- the rule

TEST(FieldBytes, BytesMoveOnlyWhenTheValueWouldWriteThemBack) {
  // Every text of up to five characters over the alphabet numbers are made of, for every
  // decimals a field of that width can declare, and longer random ones.
  const std::string alphabet = " -0123456789.+";
  long moved = 0, checked = 0;
  auto probe = [&](const FieldDef& f, const std::string& raw) {
    ++checked;
    std::string out;
    const bool writtenBack = throughValue(f, raw, out) && out == raw;
    if (!bytesRoundTrip(f, raw.data())) {
      // And the other way: a number the value writes back as it was, in at most 15 digits (the
      // precision a double keeps), moves as bytes; only a negative zero is left to the value.
      const auto digits =
          std::count_if(raw.begin(), raw.end(), [](char c) { return c >= '0' && c <= '9'; });
      const bool negativeZero =
          raw.find('-') != std::string::npos && raw.find_first_of("123456789") == std::string::npos;
      if (f.type == 'N') {
        EXPECT_FALSE(writtenBack && digits <= 15 && !negativeZero)
            << "N(" << f.length << "," << int(f.decimals) << ") \"" << raw << "\" not moved";
      }
      return;
    }
    ++moved;
    ASSERT_TRUE(writtenBack) << "N(" << f.length << "," << int(f.decimals) << ") \"" << raw
                             << "\" became \"" << out << "\"";
  };
  for (int len = 1; len <= 5; ++len) {
    for (int dec = 0; dec <= len; ++dec) {
      const FieldDef f = def('N', len, dec);
      std::string raw(static_cast<size_t>(len), ' ');
      std::vector<size_t> digit(static_cast<size_t>(len), 0);
      for (;;) {
        for (int i = 0; i < len; ++i)
          raw[static_cast<size_t>(i)] = alphabet[digit[static_cast<size_t>(i)]];
        probe(f, raw);
        int i = 0;
        while (i < len && ++digit[static_cast<size_t>(i)] == alphabet.size())
          digit[static_cast<size_t>(i++)] = 0;
        if (i == len) break;
      }
    }
  }
  std::mt19937_64 rng(13);
  for (int i = 0; i < 300000; ++i) {
    const int len = 6 + static_cast<int>(rng() % 15), dec = static_cast<int>(rng() % 8);
    const FieldDef f = def('N', len, std::min(dec, len - 1));
    // Mostly what Str writes, with one character changed now and then.
    const double n = std::ldexp(static_cast<double>(rng() >> 12), -static_cast<int>(rng() % 60)) *
                     ((rng() & 1) ? -1 : 1);
    std::string raw = rt::Str(n, len, f.decimals);
    if (rng() % 3 == 0) raw[rng() % raw.size()] = alphabet[rng() % alphabet.size()];
    probe(f, raw);
  }
  // Dates and logicals: every byte in every position that matters.
  const FieldDef d = def('D', 8, 0), l = def('L', 1, 0);
  for (int c = 0; c < 256; ++c) {
    probe(l, std::string(1, static_cast<char>(c)));
    for (size_t pos = 0; pos < 8; ++pos) {
      std::string raw = "20240229";
      raw[pos] = static_cast<char>(c);
      probe(d, raw);
    }
  }
  for (const char* raw : {"        ", "20230229", "00000101", "99991231", "2024 229", "00010101"})
    probe(d, raw);
  EXPECT_GT(moved, checked / 100);
}

TEST(FieldBytes, WhatTheEngineWritesMovesAsBytesAndOddFormsDoNot) {
  struct Case {
    char type;
    int length, decimals;
    rt::Value value;
  };
  const Case written[] = {{'N', 12, 2, rt::Value(-1234567.891)},
                          {'N', 5, 0, rt::Value(0)},
                          {'N', 3, 2, rt::Value(1.25)},
                          {'N', 18, 3, rt::Value(999999999999.999)},
                          {'D', 8, 0, rt::Value(rt::Date::fromYmd(2025, 1, 31))},
                          {'D', 8, 0, rt::Value(rt::Date())},
                          {'L', 1, 0, rt::Value(true)},
                          {'C', 7, 0, rt::Value("Łódź"_oem)}};
  for (const Case& c : written) {
    const FieldDef f = def(c.type, c.length, c.decimals);
    std::string raw(f.length, ' ');
    int code = 0;
    ASSERT_TRUE(encodeField(f, c.value, raw.data(), code));
    EXPECT_TRUE(bytesRoundTrip(f, raw.data())) << c.type << " \"" << raw << "\"";
  }
  // Forms the formatter never writes: read as a number and written back differently.
  const std::pair<FieldDef, const char*> odd[] = {{def('N', 5, 0), "     "},
                                                  {def('N', 5, 0), "   +5"},
                                                  {def('N', 5, 0), "5    "},
                                                  {def('N', 5, 0), "  007"},
                                                  {def('N', 6, 2), " -0.00"},
                                                  {def('N', 6, 2), "  1.5 "},
                                                  {def('N', 20, 2), "12345678901234567.89"},
                                                  {def('L', 1, 0), "t"},
                                                  {def('L', 1, 0), "?"},
                                                  {def('D', 8, 0), "20230229"},
                                                  {def('M', 10, 0), "         1"}};
  for (const auto& [f, raw] : odd)
    EXPECT_FALSE(bytesRoundTrip(f, raw)) << f.type << " \"" << raw << "\"";
}

// ---------------------------------------------------------------- whole records

class RecordCopy : public ::testing::Test {
 protected:
  void TearDown() override { setFieldBytesMoved(true); }

  // A table whose records hold the given field bytes as they are, as another writer may leave
  // them, plus a memo text in every record.
  std::filesystem::path tableWith(const std::vector<FieldSpec>& fields,
                                  const std::vector<std::string>& records) {
    const auto host = dir_ / "source.dbf";
    std::string why;
    EXPECT_TRUE(Table::create(host, fields, why)) << why;
    {
      Workspace ws;
      EXPECT_TRUE(ws.useHost(host, "s", UseOptions{}));
      WorkArea& a = *ws.current();
      for (size_t i = 0; i < records.size(); ++i) {
        a.append();
        a.put(fields.size(), rt::Value::memo("memo " + std::to_string(i)));
      }
    }
    rt::Error e;
    auto t = Table::open(host, TableOptions{}, e);
    EXPECT_TRUE(t);
    std::string rec(t->header().recordLength, ' ');
    for (size_t r = 0; r < records.size(); ++r) {
      EXPECT_TRUE(t->readRecord(static_cast<uint32_t>(r + 1), rec.data()));
      std::memcpy(rec.data() + 1, records[r].data(),
                  records[r].size());  // everything but the memo pointer
      EXPECT_TRUE(t->writeRecord(static_cast<uint32_t>(r + 1), rec.data()));
    }
    return host;
  }
  // Each record's bytes with the memo pointer replaced by the memo's text.
  static std::vector<std::string> contents(const std::filesystem::path& host) {
    Workspace ws;
    UseOptions o;
    o.readOnly = o.shared = true;
    std::vector<std::string> out;
    if (!ws.useHost(host, "c", o)) return out;
    WorkArea& a = *ws.current();
    for (uint32_t r = 1; r <= a.lastRec(); ++r) {
      a.goTo(r);
      const FieldDef& memo = a.field(a.fieldCount());
      std::string rec(a.buffer(), memo.offset);
      out.push_back(rec + "|" + a.get(a.fieldCount()).str() + "|" + (a.deleted() ? "*" : " "));
    }
    return out;
  }

  test::TempDir dir_;
  rt::AbandonGuard guard_;
};

TEST_F(RecordCopy, ExportAndImportWriteTheSameBytesAsTheCopyThroughValues) {
  const std::vector<FieldSpec> fields = {{"NAZWA", 'C', 8, 0}, {"KWOTA", 'N', 10, 2},
                                         {"ILE", 'N', 4, 0},   {"DATA", 'D', 8, 0},
                                         {"OK", 'L', 1, 0},    {"OPIS", 'M', 10, 0}};
  // C8 N10.2 N4 D8 L1: canonical forms and what other writers leave (blank, "+", padded left,
  // invalid dates, '?' and 't').
  // Canonical forms and what other writers leave: blank numbers and dates, "+", left-aligned
  // and zero-padded numbers, a minus zero, invalid dates, '?', 't' and 'Y'.
  auto rec = [](std::string c, std::string n, std::string i, std::string d, std::string l) {
    return row({{c, 8}, {n, 10}, {i, 4}, {d, 8}, {l, 1}});
  };
  const std::vector<std::string> records = {
      rec("Kowalski", "   1234.50", "  12", "20250131", "T"),
      rec("Nowak   ", "          ", "    ", "        ", " "),
      rec("Łódź    "_oem, "1.5       ", "+  7", "20230229", "t"),
      rec("        ", "     -0.00", "0007", "2024 229", "?"),
      rec("x       ", "  -9999.99", "9999", "00010101", "F"),
      rec("ĄĘ      "_oem, "   12345.6", "  -1", "99991231", "Y")};
  const auto source = tableWith(fields, records);
  // Deleted records travel with their mark; a record the formatter could not write back (none
  // here) would raise in both copies alike.
  {
    Workspace ws;
    ASSERT_TRUE(ws.useHost(source, "s", UseOptions{}));
    ws.current()->goTo(3);
    ws.current()->remove();
  }
  // The same fields in another order, one of them wider: what lies side by side in one table
  // does not in the other, and the wider field goes through its value.
  const std::vector<FieldSpec> shuffledFields = {{"ILE", 'N', 4, 0},  {"KWOTA", 'N', 10, 2},
                                                 {"DATA", 'D', 8, 0}, {"NAZWA", 'C', 10, 0},
                                                 {"OK", 'L', 1, 0},   {"OPIS", 'M', 10, 0}};
  std::vector<std::string> exported[2], imported[2], shuffled[2];
  for (bool moved : {false, true}) {
    setFieldBytesMoved(moved);
    const auto ex = dir_ / (std::string(moved ? "moved" : "values") + "_export.dbf");
    const auto im = dir_ / (std::string(moved ? "moved" : "values") + "_import.dbf");
    Workspace ws;
    rt::settings().deletedHidden = false;
    ASSERT_TRUE(ws.useHost(source, "s", UseOptions{}));
    ASSERT_TRUE(ws.current()->exportTo(ex));
    ws.closeAll();
    std::string why;
    ASSERT_TRUE(Table::create(im, fields, why)) << why;
    ASSERT_TRUE(ws.useHost(im, "i", UseOptions{}));
    ASSERT_TRUE(ws.current()->importFrom(source));
    ws.closeAll();
    const auto sh = dir_ / (std::string(moved ? "moved" : "values") + "_shuffled.dbf");
    ASSERT_TRUE(Table::create(sh, shuffledFields, why)) << why;
    ASSERT_TRUE(ws.useHost(sh, "h", UseOptions{}));
    ASSERT_TRUE(ws.current()->importFrom(source));
    ws.closeAll();
    shuffled[moved] = contents(sh);
    rt::settings().deletedHidden = true;
    exported[moved] = contents(ex);
    imported[moved] = contents(im);
  }
  ASSERT_EQ(exported[false].size(), records.size());
  EXPECT_EQ(exported[true], exported[false]);
  EXPECT_EQ(imported[true], imported[false]);
  EXPECT_EQ(exported[true], imported[true]);
  ASSERT_EQ(shuffled[false].size(), records.size());
  EXPECT_EQ(shuffled[true], shuffled[false]);
  // The copy through values writes its own forms: blanks became zeros, "t" became "T".
  EXPECT_NE(contents(source), exported[false]);
  EXPECT_EQ(exported[true][1].substr(9, 14), "      0.00   0");
}

}  // namespace

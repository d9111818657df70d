// Index keys built from expressions. Group: Keys. A character key announces the width it then
// produces, for any constant argument, or -1 where only evaluation can tell; keys are typed;
// descend() inverts numbers and dates, and text byte by byte as other engines of the format do; key
// buffers are reused and character fields appended without being fetched as values.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/expr/functions.h"
#include "fake_context.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"

using namespace tav;
using namespace tav::engine;
using namespace tav::engine::testing;
using namespace tav::rt::literals;

namespace {

class Keys : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeTable& t = ctx.open("k");
    t.text("lpp_o", 8, "00000012");
    t.text("mc", 2, "03");
    t.text("Tkli", 1, "K");
    t.text("lpp_kli", 8, "00000044");
    t.date("data_ter", rt::Date::fromYmd(2025, 3, 14));
    t.text("lpp_k", 6, "000001");
    t.number("mcn", 2, 0, 4);
    t.text("lpp_p", 8, "00000009");
    t.text("rmc", 6, "202503");
    t.text("skrot", 10, "zażółć"_oem);
    t.text("dek", 3, "VAT");
    t.text("kor", 1, "0");
    t.number("kwota", 12, 2, 99.5);
    t.number("rok", 4, 0, 2025);
    t.date("data", rt::Date::fromYmd(2025, 12, 31));
    t.logical("ok", true);
  }
  std::unique_ptr<Expression> compile(std::string_view text) {
    std::unique_ptr<Expression> e;
    rt::Error err;
    if (!rt::guarded([&] { e = Expression::compile(text, ctx); }, &err))
      throw std::runtime_error(std::string(text) + ": " + err.summary());
    return e;
  }
  std::string key(std::string_view text) {
    std::string out;
    compile(text)->evalKey(out);
    return out;
  }
  SettingsReset settings;
  FakeContext ctx;
};

TEST_F(Keys, CharacterKeysOfTheCatalogue) {
  struct Case {
    const char* text;
    int width;
    std::string value;
  } cases[] = {
      {"lpp_o+mc", 10, "0000001203"},
      {"Tkli+lpp_kli+dtos(data_ter)", 17, "K0000004420250314"},
      {"lpp_k+strzero(mcn,2,0)", 8, "00000104"},
      {"upper(skrot)", 10, "ZAŻÓŁĆ    "_oem},
      {"dek+rmc+kor", 10, "VAT2025030"},
      {"left(skrot, 3)", 3, "zaż"_oem},
      {"substr(rmc, 5, 2)", 2, "03"},
      {"substr(rmc, 3)", 4, "2503"},
      {"str(kwota)", 12, "       99.50"},
      {"str(rok,6)+lower(dek)", 9, "  2025vat"},
      {"padl(alltrim(lpp_p), 10, '0')", 10, "0000000009"},
      {"space(2)+mc", 4, "  03"},
      {"iif(ok, mc, 'xx')", 2, "03"},
      {"right(rmc, 2)", 2, "03"},
  };
  for (const Case& c : cases) {
    auto e = compile(c.text);
    EXPECT_EQ(e->resultType(), 'C') << c.text;
    EXPECT_EQ(e->resultWidth(), c.width) << c.text;
    std::string out;
    e->evalKey(out);
    EXPECT_EQ(out, c.value) << c.text;
  }
  EXPECT_EQ(key("lpp_p+descend(rmc)").size(), 14u);
  EXPECT_EQ(compile("lpp_p+descend(rmc)")->resultWidth(), 14);
}

TEST_F(Keys, ConstantArgumentsGiveExactWidthsOverTheirWholeRange) {
  for (int a = -8; a <= 9; ++a) {
    std::string n = std::to_string(a);
    std::vector<std::string> texts = {
        "left(rmc," + n + ")",     "right(rmc," + n + ")",   "substr(rmc," + n + ")",
        "padr(rmc," + n + ")",     "padl(mc," + n + ",'0')", "space(" + n + ")",
        "replicate(mc," + n + ")", "str(rok," + n + ")",     "strzero(mcn," + n + ",0)"};
    for (int b = -2; b <= 8; ++b)
      texts.push_back("substr(rmc," + n + "," + std::to_string(b) + ")");
    for (const std::string& text : texts) {
      if (a < 0 && text.starts_with("str")) continue;  // a negative length asks for the default
      auto e = compile(text);
      std::string out;
      e->evalKey(out);
      EXPECT_EQ(e->resultWidth(), static_cast<int>(out.size())) << text;
    }
  }
}

TEST_F(Keys, WidthsThatOnlyEvaluationCanTell) {
  // Trimmed text reports its field's width, the most it can be.
  EXPECT_EQ(compile("alltrim(skrot)")->resultWidth(), 10);
  EXPECT_EQ(compile("left(skrot, mcn)")->resultWidth(), 10);
  EXPECT_EQ(compile("space(mcn)")->resultWidth(), -1);
  EXPECT_EQ(compile("substr(rmc, mcn)")->resultWidth(), -1);
  EXPECT_EQ(compile("left(mc, 5)")->resultWidth(), 2);  // cannot be longer than its text
}

TEST_F(Keys, StrOfANumberFieldKeepsThePromisedWidth) {
  // Even when the table hands the value over without its display width.
  ctx.tables["k"].add("bare", 'N', 7, 1, rt::Value(3.25));
  ctx.tables["k"].add("licznik", 'I', 4, 0, rt::Value(12));
  auto e = compile("str(bare)");
  EXPECT_EQ(e->resultWidth(), 7);
  EXPECT_EQ(key("str(bare)"), "    3.3");
  // A binary integer's length counts bytes: only evaluation tells its text width.
  EXPECT_EQ(compile("str(licznik)")->resultWidth(), -1);
  EXPECT_EQ(compile("licznik")->resultType(), 'N');
}

TEST_F(Keys, MemoAndForeignFieldsPromiseNoWidth) {
  ctx.tables["k"].add("uwagi", 'M', 10, 0, rt::Value::memo("long text of a memo"));
  ctx.tables["k"].add("stamp", 'T', 8, 0, rt::Value("20250101"));
  EXPECT_EQ(compile("uwagi")->resultType(), 'M');
  EXPECT_EQ(compile("uwagi")->resultWidth(), -1);
  EXPECT_EQ(compile("mc+uwagi")->resultWidth(), -1);
  EXPECT_EQ(key("mc+uwagi"), "03long text of a memo");
  EXPECT_EQ(compile("stamp")->resultType(), 'U');
  EXPECT_EQ(key("mc+stamp"), "0320250101");
}

TEST_F(Keys, NumericDateAndLogicalKeysAreTyped) {
  auto n = compile("kwota");
  EXPECT_EQ(n->resultType(), 'N');
  EXPECT_EQ(n->resultWidth(), 12);
  EXPECT_EQ(n->resultDecimals(), 2);
  auto sum = compile("rok * 100 + 3");
  EXPECT_EQ(sum->resultType(), 'N');
  EXPECT_EQ(sum->resultDecimals(), 0);
  auto d = compile("data");
  EXPECT_EQ(d->resultType(), 'D');
  EXPECT_EQ(d->resultWidth(), 8);
  EXPECT_EQ(compile("data + 1")->resultType(), 'D');
  EXPECT_EQ(compile("data - data")->resultType(), 'N');
  EXPECT_EQ(compile("descend(data)")->resultType(), 'N');
  EXPECT_EQ(compile("descend(kwota)")->resultType(), 'N');
  EXPECT_EQ(compile("ok")->resultType(), 'L');
  EXPECT_EQ(compile("ok")->resultWidth(), 1);
  EXPECT_EQ(compile("kwota > 1")->resultType(), 'L');
  EXPECT_EQ(compile("iif(ok, 1, 'a')")->resultType(), 'U');
  EXPECT_EQ(compile("{|x| x}")->resultType(), 'B');
}

TEST_F(Keys, DescendInvertsNumbersAndDates) {
  auto dn = compile("descend(kwota)");
  EXPECT_DOUBLE_EQ(dn->eval().num(), -99.5);
  EXPECT_EQ(dn->resultWidth(), 12);
  rt::Date d = rt::Date::fromYmd(2025, 12, 31);
  EXPECT_DOUBLE_EQ(compile("descend(data)")->eval().num(), -static_cast<double>(d.julian()));
  EXPECT_FALSE(compile("descend(ok)")->eval().log());
  // Later dates give smaller keys.
  EXPECT_TRUE(compile("descend(data) < descend(data - 1)")->eval().log());
}

TEST_F(Keys, DescendOfTextIsTheByteComplementAndReversesMonthKeys) {
  // Each byte b is stored as 256 - b (0 stays 0), as other engines of the format write it, and
  // descend undoes itself.
  for (int a = 0; a < 256; ++a) {
    char ca = static_cast<char>(a);
    char da = ca;
    expr::descendInPlace(&da, 1);
    ASSERT_EQ(static_cast<unsigned char>(da), (256 - a) & 0xFF);
    char back = da;
    expr::descendInPlace(&back, 1);
    ASSERT_EQ(back, ca);
  }
  // The keys the tool inverts (month texts of digits) sort in reverse under the collation the
  // index compares with. A blank maps to a letter's code, so blank-padded texts do not: the
  // accounting program's keys behave the same way, which is what matters for its seeks.
  std::vector<std::string> months = {"202501", "202412", "202502", "199912", "000000", "200001"};
  auto& rmc = ctx.tables["k"].fields["rmc"];
  auto e = compile("descend(rmc)");
  std::vector<std::pair<std::string, std::string>> keyed;
  for (const std::string& m : months) {
    rmc->value = rt::Value(m);
    std::string k;
    e->evalKey(k);
    keyed.emplace_back(k, m);
  }
  std::sort(keyed.begin(), keyed.end(),
            [](auto& x, auto& y) { return rt::collate(x.first, y.first) < 0; });
  std::vector<std::string> expect = months;
  std::sort(expect.begin(), expect.end(), [](auto& x, auto& y) { return rt::collate(x, y) > 0; });
  std::vector<std::string> got;
  for (auto& [k, m] : keyed) got.push_back(m);
  EXPECT_EQ(got, expect);
}

TEST_F(Keys, KeyBuffersAreReusedAndFieldsAppendedDirectly) {
  auto e = compile("lpp_o+mc+dtos(data_ter)+upper(skrot)");
  auto& lpp = ctx.tables["k"].fields["lpp_o"];
  std::string out;
  out.reserve(64);
  const char* buffer = out.data();
  for (int i = 0; i < 1000; ++i) e->evalKey(out);
  EXPECT_EQ(out.data(), buffer);  // the same storage every time
  EXPECT_EQ(out.size(), 28u);
  // Character fields were appended, never fetched as values.
  EXPECT_EQ(lpp->appends, 1000);
  EXPECT_EQ(lpp->gets, 0);
  lpp->value = rt::Value("00000013");
  e->evalKey(out);
  EXPECT_EQ(out.substr(0, 8), "00000013");
}

TEST_F(Keys, NonTextKeyIntoATextBufferIsADataTypeError) {
  auto e = compile("kwota");
  std::string out;
  rt::Error err;
  EXPECT_FALSE(rt::guarded([&] { e->evalKey(out); }, &err));
  EXPECT_EQ(err.genCode, rt::kErrDataType);
}

}  // namespace

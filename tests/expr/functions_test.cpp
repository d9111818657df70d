// Groups: Functions (dates and their impossible forms, Polish and ASCII case, cutting, trimming and
// padding text, numbers as text, record state, the conditional, argument counts and types).
#include <gtest/gtest.h>

#include "fake_context.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"

using namespace tav;
using namespace tav::engine;
using namespace tav::engine::testing;
using namespace tav::rt::literals;

namespace {

class Functions : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeTable& t = ctx.open("pr");
    t.text("nazwisko", 12, "  Żółw ęś"_oem);
    t.text("skrot", 6, "abc");
    t.text("pusty", 4);
    t.number("mc", 2, 0, 7);
    t.number("kwota", 10, 2, -12.345);
    t.date("data", rt::Date::fromYmd(2025, 1, 9));
    t.date("brak", rt::Date());
    t.logical("ok", false);
    t.area->rec = 17;
  }
  rt::Value ev(std::string_view text) { return evaluate(text, ctx); }
  std::string s(std::string_view text) { return ev(text).str(); }
  double n(std::string_view text) { return ev(text).num(); }
  SettingsReset settings;
  FakeContext ctx;
};

TEST_F(Functions, DateConversions) {
  EXPECT_EQ(s("dtos(data)"), "20250109");
  EXPECT_EQ(s("dtos(brak)"), "        ");
  EXPECT_EQ(s("dtos(0d00010101)"), "00010101");
  EXPECT_EQ(ev("stod('20250109')").date(), rt::Date::fromYmd(2025, 1, 9));
  EXPECT_TRUE(ev("stod('        ')").date().empty());
  rt::settings().century = true;
  EXPECT_EQ(s("dtoc(data)"), rt::Date::fromYmd(2025, 1, 9).toText());
  EXPECT_EQ(ev("ctod(dtoc(data))").date(), rt::Date::fromYmd(2025, 1, 9));
  EXPECT_TRUE(ev("ctod('nonsense')").date().empty());
  // A day that does not exist, typed or stored, is the empty date and never the day after it.
  for (const char* day : {"2025.09.31", "2023.02.29", "2100.02.29", "2025.04.31", "2025.01.00"})
    EXPECT_TRUE(ev("ctod('" + std::string(day) + "')").date().empty()) << day;
  for (const char* day : {"20250931", "20230229", "20251301", "20250632"})
    EXPECT_TRUE(ev("stod('" + std::string(day) + "')").date().empty()) << day;
  EXPECT_EQ(ev("ctod('2024.02.29')").date(), rt::Date::fromYmd(2024, 2, 29));
  EXPECT_EQ(ev("stod('20250930')").date(), rt::Date::fromYmd(2025, 9, 30));
  EXPECT_EQ(n("year(data)"), 2025);
  EXPECT_EQ(n("month(data)"), 1);
  EXPECT_EQ(n("day(data)"), 9);
  EXPECT_EQ(n("year(brak)"), 0);
  EXPECT_EQ(ev("date()").date(), rt::Date::today());
  std::string t = s("time()");
  ASSERT_EQ(t.size(), 8u);
  EXPECT_EQ(t[2], ':');
  EXPECT_EQ(t[5], ':');
}

TEST_F(Functions, CaseOfPolishText) {
  EXPECT_EQ(s("upper(nazwisko)"), "  ŻÓŁW ĘŚ   "_oem);
  EXPECT_EQ(s("lower(nazwisko)"), "  żółw ęś   "_oem);
  EXPECT_EQ(s("upper('" + "ąćęłńóśźż"_oem + "')"), "ĄĆĘŁŃÓŚŹŻ"_oem);
  EXPECT_EQ(s("lower('" + "ĄĆĘŁŃÓŚŹŻ"_oem + "')"), "ąćęłńóśźż"_oem);
}

// Keys of tags another engine built without the national code page: its upper() and lower()
// changed only a-z / A-Z, and every other byte stays as it was.
TEST_F(Functions, AsciiCaseWhenCompiledForIt) {
  CompileOptions ascii;
  ascii.asciiCase = true;
  auto eval = [&](const std::string& text, const CompileOptions& o) {
    auto e = Expression::compile(text, ctx, o);
    std::string key;
    e->evalKey(key);
    EXPECT_EQ(e->eval().str(), key) << text;
    return key;
  };
  EXPECT_EQ(eval("upper(nazwisko)", ascii), "  ŻółW ęś   "_oem);
  EXPECT_EQ(eval("lower(nazwisko)", ascii), "  Żółw ęś   "_oem);
  EXPECT_EQ(eval("uppe('" + "aąZŹ"_oem + "') + lower('" + "aąZŹ"_oem + "')", ascii),
            "AąZŹaązŹ"_oem);
  EXPECT_EQ(eval("upper(skrot) + str(mc, 2)", ascii), "ABC    7");
  // The same texts compiled without the option keep the national case functions.
  EXPECT_EQ(eval("upper(nazwisko)", {}), "  ŻÓŁW ĘŚ   "_oem);
  EXPECT_EQ(eval("uppe('" + "aąZŹ"_oem + "') + lower('" + "aąZŹ"_oem + "')", {}), "AĄZŹaązź"_oem);
}

TEST_F(Functions, CuttingText) {
  EXPECT_EQ(s("left(skrot, 2)"), "ab");
  EXPECT_EQ(s("left(skrot, 0)"), "");
  EXPECT_EQ(s("left(skrot, -3)"), "");
  EXPECT_EQ(s("left(skrot, 99)"), "abc   ");
  EXPECT_EQ(s("right(skrot, 4)"), "c   ");
  EXPECT_EQ(s("right('abc', 5)"), "abc");
  EXPECT_EQ(s("substr('abcdef', 2, 3)"), "bcd");
  EXPECT_EQ(s("substr('abcdef', 4)"), "def");
  EXPECT_EQ(s("substr('abcdef', 0, 2)"), "ab");  // 0 starts at the first character
  EXPECT_EQ(s("substr('abcdef', -2)"), "ef");    // negative counts from the end
  EXPECT_EQ(s("substr('abcdef', -9, 2)"), "ab");
  EXPECT_EQ(s("substr('abcdef', 7)"), "");
  EXPECT_EQ(s("substr('abcdef', 5, 9)"), "ef");
  EXPECT_EQ(s("substr('abcdef', 2, -1)"), "");
}

TEST_F(Functions, Trimming) {
  EXPECT_EQ(s("alltrim(nazwisko)"), "Żółw ęś"_oem);
  EXPECT_EQ(s("trim(nazwisko)"), "  Żółw ęś"_oem);
  EXPECT_EQ(s("rtrim(skrot)"), "abc");
  EXPECT_EQ(s("ltrim(nazwisko)"), "Żółw ęś   "_oem);
  EXPECT_EQ(s("alltrim(pusty)"), "");
  EXPECT_EQ(s("trim(skrot) + '|'"), "abc|");
}

TEST_F(Functions, NumbersAsText) {
  EXPECT_EQ(s("str(mc)"), " 7");             // a field shows with its own width
  EXPECT_EQ(s("str(kwota)"), "    -12.35");  // half away from zero
  EXPECT_EQ(s("str(42)"), "        42");
  EXPECT_EQ(s("str(3.5, 5)"), "    4");  // a length without decimals shows none
  EXPECT_EQ(s("str(3.14159, 6, 2)"), "  3.14");
  EXPECT_EQ(s("str(123456, 3)"), "***");
  EXPECT_EQ(s("strzero(mc, 2, 0)"), "07");
  EXPECT_EQ(s("strzero(mc, 4)"), "0007");
  EXPECT_EQ(s("strzero(-5, 4)"), "-005");
  EXPECT_EQ(s("strzero(kwota, 8, 1)"), "-00012.3");
  EXPECT_EQ(s("strzero(12345, 3)"), "***");
  EXPECT_DOUBLE_EQ(n("val('  12.50xyz')"), 12.5);
  EXPECT_EQ(ev("val('12.50')").numInfo().decimals, 2);
  EXPECT_DOUBLE_EQ(n("val('-7')"), -7);
  EXPECT_DOUBLE_EQ(n("val('abc')"), 0);
}

TEST_F(Functions, PaddingAndRepetition) {
  EXPECT_EQ(s("space(3)"), "   ");
  EXPECT_EQ(s("space(-1)"), "");
  EXPECT_EQ(s("padr('ab', 4)"), "ab  ");
  EXPECT_EQ(s("padl('ab', 4, '0')"), "00ab");
  EXPECT_EQ(s("padc('ab', 5, '*')"), "*ab**");
  EXPECT_EQ(s("padr('abcdef', 3)"), "abc");
  EXPECT_EQ(s("padl('abcdef', 3)"), "abc");
  EXPECT_EQ(s("padl(mc, 4, '0')"), "0007");  // numbers are padded as their trimmed text
  EXPECT_EQ(s("replicate('ab', 3)"), "ababab");
  EXPECT_EQ(s("replicate('ab', 0)"), "");
  EXPECT_EQ(s("chr(65) + chr(321)"), "AA");
  EXPECT_EQ(n("asc('A')"), 65);
  EXPECT_EQ(n("asc('')"), 0);
  EXPECT_EQ(n("at('c', skrot)"), 3);
  EXPECT_EQ(n("at('x', skrot)"), 0);
  EXPECT_EQ(n("at('', skrot)"), 0);
}

TEST_F(Functions, RecordStateAndEmptiness) {
  EXPECT_EQ(n("recno()"), 17);
  EXPECT_FALSE(ev("deleted()").log());
  ctx.tables["pr"].area->del = true;
  ctx.tables["pr"].area->rec = 18;
  auto e = Expression::compile("str(recno(), 3) + iif(deleted(), '*', ' ')", ctx);
  EXPECT_EQ(e->eval().str(), " 18*");

  EXPECT_TRUE(ev("empty(pusty)").log());
  EXPECT_FALSE(ev("empty(skrot)").log());
  EXPECT_TRUE(ev("empty(0)").log());
  EXPECT_TRUE(ev("empty(brak)").log());
  EXPECT_TRUE(ev("empty(ok)").log());
  EXPECT_TRUE(ev("empty(nil)").log());
  EXPECT_TRUE(ev("empty({})").log());
  EXPECT_FALSE(ev("empty(data)").log());
  EXPECT_EQ(n("len(skrot)"), 6);
  EXPECT_EQ(n("len('')"), 0);
  EXPECT_EQ(n("len({1,2,3})"), 3);
}

TEST_F(Functions, RecordStateWithoutAnAreaIsNeutral) {
  FakeContext none;
  EXPECT_EQ(evaluate("recno()", none).num(), 0);
  EXPECT_FALSE(evaluate("deleted()", none).log());
}

TEST_F(Functions, ConditionalEvaluatesOnlyTheChosenBranch) {
  auto& kwota = ctx.tables["pr"].fields["kwota"];
  int before = kwota->gets;
  EXPECT_EQ(s("iif(ok, kwota / 0, 'nie')"), "nie");
  EXPECT_EQ(kwota->gets, before);
  EXPECT_DOUBLE_EQ(n("if(!ok, mc, 0)"), 7);
  EXPECT_EQ(faultOf("iif(1, 2, 3)", ctx).genCode, rt::kErrArg);
}

TEST_F(Functions, NumberHelpers) {
  EXPECT_DOUBLE_EQ(n("int(-7.9)"), -7);
  EXPECT_DOUBLE_EQ(n("abs(kwota)"), 12.345);
  EXPECT_DOUBLE_EQ(n("round(2.675, 2)"), 2.68);
  EXPECT_DOUBLE_EQ(n("round(-2.5, 0)"), -3);
  EXPECT_DOUBLE_EQ(n("round(1234, -2)"), 1200);
  EXPECT_DOUBLE_EQ(n("max(mc, 9)"), 9);
  EXPECT_DOUBLE_EQ(n("min(mc, 9)"), 7);
  EXPECT_EQ(ev("max(data, brak)").date(), rt::Date::fromYmd(2025, 1, 9));
}

TEST_F(Functions, NamesIgnoreCaseAndMayBeAbbreviatedToFourLetters) {
  EXPECT_EQ(s("SUBS('abcdef', 2, 2)"), "bc");
  EXPECT_EQ(s("Subst('abcdef', 2, 2)"), "bc");
  EXPECT_EQ(s("ALLTR(nazwisko)"), "Żółw ęś"_oem);
  EXPECT_FALSE(ev("dele()").log());
  EXPECT_EQ(s("DESC(descend('xy'))"), "xy");
  EXPECT_EQ(s("strz(mc, 3)"), "007");
  EXPECT_EQ(s("Repl('-', 3)"), "---");
  EXPECT_EQ(s("UPPE(skrot)"), "ABC   ");
  // Fewer than four letters or a name that is no prefix is unknown.
  for (const char* bad : {"sub('abc', 1)", "al(skrot)", "substring('abc', 1)", "foo(1)"}) {
    rt::Error err = faultOf(bad, ctx);
    EXPECT_EQ(err.genCode, 12) << bad;  // undefined function
    EXPECT_FALSE(err.operation.empty());
  }
}

TEST_F(Functions, ArgumentCountsAreCheckedAtCompileTime) {
  for (const char* bad : {"dtos()", "dtos(data, data)", "left('a')", "substr('a', 1, 2, 3)",
                          "recno(1)", "iif(.t., 1)", "date(1)"}) {
    rt::Error err;
    EXPECT_FALSE(rt::guarded([&] { Expression::compile(bad, ctx); }, &err)) << bad;
    EXPECT_EQ(err.genCode, rt::kErrArg) << bad;
  }
}

TEST_F(Functions, WrongArgumentTypesAreArgumentErrorsNamedAfterTheFunction) {
  struct Case {
    const char* text;
    const char* op;
  } cases[] = {{"dtos(skrot)", "DTOS"},
               {"upper(mc)", "UPPER"},
               {"left(skrot, 'a')", "LEFT"},
               {"left(1, 2)", "LEFT"},
               {"substr(skrot, data)", "SUBSTR"},
               {"str('1')", "STR"},
               {"strzero(mc, '2')", "STRZERO"},
               {"alltrim(data)", "ALLTRIM"},
               {"val(1)", "VAL"},
               {"len(1)", "LEN"},
               {"space('a')", "SPACE"},
               {"padr(ok, 2)", "PADR"},
               {"descend(nil)", "DESCEND"},
               {"ctod(1)", "CTOD"},
               {"year('x')", "YEAR"},
               {"max(1, data)", "MAX"},
               {"round('1', 2)", "ROUND"}};
  for (const Case& c : cases) {
    rt::Error err = faultOf(c.text, ctx);
    EXPECT_EQ(err.genCode, rt::kErrArg) << c.text;
    EXPECT_EQ(err.operation, c.op) << c.text;
  }
  // A substitute replaces the call's result, untouched by the function.
  rt::HandlerGuard h([](rt::Error&) -> rt::Answer {
    return {rt::Answer::Substitute, rt::Value("x-y")};
  });
  EXPECT_EQ(Expression::compile("'<' + strzero(skrot, 3) + '>'", ctx)->eval().str(), "<x-y>");
  EXPECT_EQ(Expression::compile("upper(mc)", ctx)->eval().str(), "x-y");
}

TEST_F(Functions, CountsBeyondAnyTextAreArgumentErrors) {
  // Each once converted a number outside long's range (undefined) or asked for all memory.
  for (const char* text : {"space(10 ** 12)", "replicate('ab', 10 ** 300)", "padr('a', 10 ** 20)",
                           "padl('a', 10 ** 9)", "replicate(replicate('ab', 100000), 100000)",
                           "str(1, 10 ** 128)", "str(1, 5, -(10 ** 20))", "strzero(1, 10 ** 10)"}) {
    rt::Error err = faultOf(text, ctx);
    EXPECT_EQ(err.genCode, rt::kErrArg) << text;
  }
  EXPECT_EQ(faultOf("chr(10 ** 300)", ctx).genCode, rt::kErrNone);  // a saturated count: no fault
  EXPECT_EQ(s("space(-(10 ** 300))"), "");
  EXPECT_EQ(Expression::compile("replicate(replicate('ab', 100000), 100000)", ctx)->resultWidth(),
            -1);
}

}  // namespace

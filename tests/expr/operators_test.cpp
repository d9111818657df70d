// The operators of the expression language on one record's values. Group: Operators. "-" joins text
// moving the blanks behind; arithmetic keeps decimals; dates move in whole days, and a result
// outside the calendar is an argument error, never undefined behaviour; mismatched operands and
// division by zero go to the handler; text compares by the EXACT setting and the Polish collation;
// .AND. and .OR. short-circuit.
#include <gtest/gtest.h>

#include "fake_context.h"
#include "runtime/codepage.h"

using namespace tav;
using namespace tav::engine;
using namespace tav::engine::testing;
using namespace tav::rt::literals;

namespace {

class Operators : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeTable& t = ctx.open("dok");
    t.text("imie", 8, "Jan");
    t.text("nazw", 10, "Nowak");
    t.number("kwota", 12, 2, 100.25);
    t.number("ilosc", 5, 0, 4);
    t.date("data", rt::Date::fromYmd(2025, 2, 27));
    t.date("pusta", rt::Date());
    t.logical("ok", true);
  }
  rt::Value ev(std::string_view text) { return evaluate(text, ctx); }
  bool yes(std::string_view text) { return ev(text).log(); }
  SettingsReset settings;
  FakeContext ctx;
};

TEST_F(Operators, TextConcatenation) {
  EXPECT_EQ(ev("imie + nazw").str(), "Jan     Nowak     ");
  EXPECT_EQ(ev("'a' + 'b' + 'c'").str(), "abc");
  // Minus moves the left operand's trailing blanks behind the right one.
  EXPECT_EQ(ev("imie - nazw").str(), "JanNowak          ");
  EXPECT_EQ(ev("'ab  ' - 'cd '").str(), "abcd   ");
  EXPECT_EQ(ev("'    ' - 'x'").str(), "x    ");
  EXPECT_EQ(ev("imie - nazw").str().size(), 18u);
}

TEST_F(Operators, NumberArithmeticKeepsDecimals) {
  rt::Value sum = ev("kwota + ilosc");
  EXPECT_DOUBLE_EQ(sum.num(), 104.25);
  EXPECT_EQ(sum.numInfo().decimals, 2);
  rt::Value product = ev("kwota * 1.5");
  EXPECT_DOUBLE_EQ(product.num(), 150.375);
  EXPECT_EQ(product.numInfo().decimals, 3);
  EXPECT_DOUBLE_EQ(ev("kwota - 0.25").num(), 100);
  EXPECT_DOUBLE_EQ(ev("ilosc / 8").num(), 0.5);
  EXPECT_DOUBLE_EQ(ev("-ilosc % 3").num(), -1);
  EXPECT_DOUBLE_EQ(ev("ilosc ** 0.5").num(), 2);
}

TEST_F(Operators, DateArithmetic) {
  EXPECT_EQ(ev("data + 2").date(), rt::Date::fromYmd(2025, 3, 1));
  EXPECT_EQ(ev("2 + data").date(), rt::Date::fromYmd(2025, 3, 1));
  EXPECT_EQ(ev("data - 58").date(), rt::Date::fromYmd(2024, 12, 31));
  EXPECT_EQ(ev("data + 1.9").date(), rt::Date::fromYmd(2025, 2, 28));  // whole days only
  EXPECT_DOUBLE_EQ(ev("data - 0d20250101").num(), 57);
  EXPECT_DOUBLE_EQ(ev("0d20250101 - data").num(), -57);
  EXPECT_TRUE(ev("pusta + 5").date().empty());
  EXPECT_TRUE(ev("pusta + 10 ** 300").date().empty());
  EXPECT_EQ(ev("0d99991230 + 1").date(), rt::Date::fromYmd(9999, 12, 31));
}

TEST_F(Operators, DateArithmeticOutOfTheCalendarIsAnArgumentError) {
  // Far beyond any int: once undefined behaviour, now the operator's argument error.
  EXPECT_EQ(faultOf("data + 10 ** 300", ctx).operation, "+");
  EXPECT_EQ(faultOf("-(10 ** 10) + data", ctx).operation, "+");
  EXPECT_EQ(faultOf("data - 2420250131", ctx).operation, "-");
  EXPECT_EQ(faultOf("0d99991231 + 1", ctx).operation, "+");
  EXPECT_EQ(faultOf("0d00010101 - 1", ctx).operation, "-");
}

TEST_F(Operators, DivisionByZeroGoesToTheHandler) {
  rt::Error err = faultOf("kwota / (ilosc - 4)", ctx);
  EXPECT_EQ(err.genCode, rt::kErrZeroDiv);
  EXPECT_EQ(err.operation, "/");
  EXPECT_EQ(faultOf("ilosc % 0", ctx).genCode, rt::kErrZeroDiv);

  // The handler may substitute the quotient or take the default of 0.
  auto e = Expression::compile("kwota / 0 + 1", ctx);
  {
    rt::HandlerGuard h([](rt::Error& x) -> rt::Answer {
      EXPECT_TRUE(x.canSubstitute);
      return {rt::Answer::Substitute, rt::Value(41)};
    });
    EXPECT_DOUBLE_EQ(e->eval().num(), 42);
  }
  {
    rt::HandlerGuard h([](rt::Error&) -> rt::Answer { return {rt::Answer::Default, {}}; });
    EXPECT_DOUBLE_EQ(e->eval().num(), 1);
  }
}

TEST_F(Operators, MismatchedOperandsAreArgumentErrors) {
  struct Case {
    const char* text;
    const char* op;
  } cases[] = {{"imie + 1", "+"},     {"data + data", "+"},
               {"ok - 1", "-"},       {"'a' * 2", "*"},
               {"data / 2", "/"},     {"imie = 1", "="},
               {"data < 3", "<"},     {"ok .and. 1", ".AND."},
               {"1 .or. ok", ".OR."}, {".not. 1", ".NOT."},
               {"-imie", "-"},        {"1 $ 'a'", "$"},
               {"{1} = {1}", "="},    {"ilosc[1]", "array access"}};
  for (const Case& c : cases) {
    rt::Error err = faultOf(c.text, ctx);
    EXPECT_EQ(err.genCode, rt::kErrArg) << c.text;
    EXPECT_EQ(err.operation, c.op) << c.text;
    EXPECT_FALSE(err.args.empty()) << c.text;
  }
  // A substitute answers for the failed operation and evaluation goes on.
  rt::HandlerGuard h([](rt::Error&) -> rt::Answer {
    return {rt::Answer::Substitute, rt::Value("?")};
  });
  EXPECT_EQ(Expression::compile("(imie + 1) + '!'", ctx)->eval().str(), "?!");
}

TEST_F(Operators, ExactSettingGovernsTextEquality) {
  rt::settings().exact = false;
  EXPECT_TRUE(yes("'Nowakowski' = 'Nowak'"));  // a prefix matches
  EXPECT_FALSE(yes("'Nowak' = 'Nowakowski'"));
  EXPECT_TRUE(yes("'abc' = ''"));
  EXPECT_TRUE(yes("nazw = 'Nowak'"));
  EXPECT_FALSE(yes("'Nowakowski' != 'Nowak'"));
  EXPECT_FALSE(yes("'Nowakowski' <> 'Nowak'"));
  EXPECT_FALSE(yes("'Nowakowski' # 'Nowak'"));
  EXPECT_TRUE(yes("'Nowakowski' >= 'Nowak'"));
  EXPECT_FALSE(yes("'Nowakowski' > 'Nowak'"));
  EXPECT_FALSE(yes("'Nowakowski' == 'Nowak'"));  // == is always exact

  rt::settings().exact = true;
  EXPECT_FALSE(yes("'Nowakowski' = 'Nowak'"));
  EXPECT_TRUE(yes("nazw = 'Nowak'"));  // trailing blanks do not count
  EXPECT_TRUE(yes("'Nowak' = nazw"));
  EXPECT_FALSE(yes("'abc' = ''"));
  EXPECT_TRUE(yes("'Nowakowski' != 'Nowak'"));
  EXPECT_TRUE(yes("'Nowakowski' > 'Nowak'"));
  EXPECT_FALSE(yes("nazw == 'Nowak'"));  // but they do for ==
  EXPECT_TRUE(yes("nazw == 'Nowak     '"));
}

TEST_F(Operators, TextOrderFollowsThePolishCollation) {
  auto less = [&](const std::string& a, const std::string& b) {
    return yes("'" + a + "' < '" + b + "'") && yes("'" + b + "' > '" + a + "'") &&
           !yes("'" + b + "' <= '" + a + "'") && !yes("'" + a + "' >= '" + b + "'");
  };
  rt::settings().exact = true;
  // In code page 852 these letters lie far above Z; the collation puts each after its base letter.
  EXPECT_TRUE(less("A"_oem, "Ą"_oem));
  EXPECT_TRUE(less("Ą"_oem, "B"_oem));
  EXPECT_TRUE(less("Łódź"_oem, "Mława"_oem));
  EXPECT_TRUE(less("Lublin"_oem, "Łódź"_oem));
  EXPECT_TRUE(less("Żory"_oem, "ala"_oem));  // every capital before every small letter
  EXPECT_TRUE(less("zając"_oem, "źrebię"_oem));
  EXPECT_TRUE(less("źrebię"_oem, "żaba"_oem));
  EXPECT_TRUE(less("Sa"_oem, "Śa"_oem));
  EXPECT_TRUE(yes("'" + "Ś"_oem + "' <= '" + "Ś"_oem + "'"));
}

TEST_F(Operators, ComparisonsOfOtherTypes) {
  EXPECT_TRUE(yes("kwota > 100 .and. kwota < 100.5"));
  EXPECT_TRUE(yes("ilosc = 4 .and. ilosc == 4 .and. ilosc <= 4 .and. ilosc >= 4"));
  EXPECT_TRUE(yes("data > 0d20250226 .and. data = 0d20250227 .and. data != 0d20250228"));
  EXPECT_TRUE(yes("pusta < data"));
  EXPECT_TRUE(yes(".f. < .t. .and. ok = .t. .and. ok != .f."));
  EXPECT_TRUE(yes("nil = nil .and. nil == nil .and. !(nil = 1) .and. nil != 'a'"));
  EXPECT_TRUE(yes("'ow' $ nazw .and. !('wo' $ nazw) .and. !('' $ nazw)"));
}

TEST_F(Operators, LogicalOperatorsShortCircuit) {
  auto& f = ctx.tables["dok"].fields["kwota"];
  int before = f->gets;
  EXPECT_FALSE(yes(".f. .and. kwota / 0 > 1"));
  EXPECT_TRUE(yes(".t. .or. kwota / 0 > 1"));
  EXPECT_EQ(f->gets, before);
  EXPECT_TRUE(yes(".t. .and. kwota > 1"));
  EXPECT_EQ(f->gets, before + 1);
}

}  // namespace

// Groups: Syntax (literals of every kind, precedence, names and aliases, fields read at each
// evaluation, malformed and damaged texts refused at compile time, impossible date literals too).
#include <gtest/gtest.h>

#include "fake_context.h"
#include "runtime/codepage.h"

using namespace tav;
using namespace tav::engine;
using namespace tav::engine::testing;

namespace {

class Syntax : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeTable& t = ctx.open("klient");
    t.text("nazwa", 10, "KOWALSKI");
    t.number("kwota", 10, 2, 12.5);
    t.date("data", rt::Date::fromYmd(2025, 3, 31));
    t.logical("ok", false);
  }
  rt::Value ev(std::string_view text) { return evaluate(text, ctx); }
  double num(std::string_view text) { return ev(text).num(); }
  bool yes(std::string_view text) { return ev(text).log(); }
  SettingsReset settings;
  FakeContext ctx;
};

TEST_F(Syntax, LiteralsOfEveryKind) {
  EXPECT_EQ(ev("\"ab'c\"").str(), "ab'c");
  EXPECT_EQ(ev("'a\"b'").str(), "a\"b");
  EXPECT_EQ(ev("[x]").str(), "x");
  EXPECT_EQ(ev("\"\"").str(), "");
  // 852 bytes inside a literal pass through untouched.
  std::string polish = rt::utf8ToOem("Łódź");
  EXPECT_EQ(ev("'" + polish + "'").str(), polish);

  rt::Value n = ev("12.50");
  EXPECT_DOUBLE_EQ(n.num(), 12.5);
  EXPECT_EQ(n.numInfo().decimals, 2);
  EXPECT_DOUBLE_EQ(num(".5"), 0.5);
  EXPECT_DOUBLE_EQ(num("-3"), -3);

  EXPECT_TRUE(yes(".t.") && yes(".T.") && yes(".y."));
  EXPECT_FALSE(yes(".f.") || yes(".F.") || yes(".n."));
  EXPECT_TRUE(ev("nil").isNil());

  EXPECT_EQ(ev("0d20250131").date(), rt::Date::fromYmd(2025, 1, 31));
  EXPECT_EQ(ev("{^2024-02-29}").date(), rt::Date::fromYmd(2024, 2, 29));
  EXPECT_TRUE(ev("{^}").date().empty());
  EXPECT_TRUE(ev("0d00000000").date().empty());

  rt::Value a = ev("{1, 'x', {}}");
  ASSERT_TRUE(a.isArray());
  ASSERT_EQ(a.arr().size(), 3u);
  EXPECT_EQ(a.arr()[1].str(), "x");
  EXPECT_TRUE(a.arr()[2].isArray());
}

TEST_F(Syntax, OperatorPrecedenceAndAssociativity) {
  EXPECT_DOUBLE_EQ(num("2+3*4"), 14);
  EXPECT_DOUBLE_EQ(num("(2+3)*4"), 20);
  EXPECT_DOUBLE_EQ(num("10-4-3"), 3);  // left to right
  EXPECT_DOUBLE_EQ(num("48/4/3"), 4);
  EXPECT_DOUBLE_EQ(num("2**3**2"), 64);  // left to right, as the runtime does
  EXPECT_DOUBLE_EQ(num("2^3*2"), 16);    // power binds tighter than product
  EXPECT_DOUBLE_EQ(num("-2**2"), 4);     // unary minus binds tighter than power
  EXPECT_DOUBLE_EQ(num("7%4+1"), 4);
  EXPECT_DOUBLE_EQ(num("1+2,3+4"), 7);  // a list gives its last value
  EXPECT_TRUE(yes("1+1 = 2"));
  EXPECT_TRUE(yes(".t. .or. .f. .and. .f."));  // .and. before .or.
  EXPECT_FALSE(yes("(.t. .or. .f.) .and. .f."));
  EXPECT_FALSE(yes(".not. 1 = 1"));  // .not. negates the whole comparison
  EXPECT_TRUE(yes("!.f. .and. .t."));
  EXPECT_TRUE(yes("1 < 2 .and. 'a' $ 'abc'"));
  EXPECT_TRUE(yes("ok = !.t."));  // ! after an operator negates its operand
}

TEST_F(Syntax, NamesAndAliasesAreCaseInsensitive) {
  EXPECT_EQ(ev("NAZWA").str(), "KOWALSKI  ");
  EXPECT_EQ(ev("klient->Nazwa").str(), "KOWALSKI  ");
  EXPECT_EQ(ev("KLIENT->nazwa").str(), "KOWALSKI  ");
  EXPECT_EQ(ev("field->nazwa").str(), "KOWALSKI  ");
  EXPECT_EQ(ev("FIELD->klient->nazwa").str(), "KOWALSKI  ");
  EXPECT_EQ(ev("_FIELD->kwota").num(), 12.5);
  EXPECT_EQ(ev(" \t nazwa \r\n").str(), "KOWALSKI  ");
}

TEST_F(Syntax, AnotherAreaIsReachedByAlias) {
  ctx.tables["faktury"].text("numer", 4, "F/01");
  ctx.tables["faktury"].text("nazwa", 3, "FAK");
  EXPECT_EQ(ev("faktury->numer + nazwa").str(), "F/01KOWALSKI  ");
  EXPECT_EQ(ev("faktury->nazwa").str(), "FAK");
}

TEST_F(Syntax, FieldValuesAreReadAtEveryEvaluation) {
  auto e = Expression::compile("kwota * 2", ctx);
  EXPECT_DOUBLE_EQ(e->eval().num(), 25);
  ctx.tables["klient"].fields["kwota"]->value = rt::Value::number(1.25, 10, 2);
  EXPECT_DOUBLE_EQ(e->eval().num(), 2.5);
  EXPECT_EQ(e->text(), "kwota * 2");
}

TEST_F(Syntax, MalformedTextIsASyntaxErrorAtCompileTime) {
  for (const char* bad : {"",           "   ",         "1 +",           "(1",
                          "1)",         "'abc",        "nazwa nazwa",   "1 2",
                          ".and.",      "2 .xor. 3",   "a->",           "{|x| x",
                          "{|x x| 1}",  "{|x, x| 1}",  "1 := 2",        "nazwa + 1 := 2",
                          "@",          "0d2025",      "{^2025-13-01}", "0d20250931",
                          "0d20230229", "0d20250400",  "{^2025-09-31}", "{^2100-02-29}",
                          "12abc",      "upper(nazwa", "left(nazwa,)x"}) {
    rt::Error err;
    bool compiled = rt::guarded([&] { Expression::compile(bad, ctx); }, &err);
    EXPECT_FALSE(compiled) << bad;
    EXPECT_EQ(err.genCode, rt::kErrSyntax) << bad << " gave " << err.summary();
  }
}

TEST_F(Syntax, DamagedTextsFailCleanly) {
  // Key expressions are read back from index files, so any bytes may arrive here.
  std::string deep(150, '(');
  deep += "1" + std::string(150, ')');
  std::string longChain = "1";
  for (int i = 0; i < 4000; ++i) longChain += "+1";
  for (const std::string& text :
       {deep, std::string(500, '-') + "1", std::string(9000, ' ') + "1"}) {
    rt::Error err;
    EXPECT_FALSE(rt::guarded([&] { Expression::compile(text, ctx); }, &err));
    EXPECT_EQ(err.genCode, rt::kErrSyntax);
  }
  EXPECT_DOUBLE_EQ(num(longChain), 4001);
  EXPECT_DOUBLE_EQ(num(std::string(40, '(') + "2" + std::string(40, ')')), 2);

  // Random texts, of bytes and of the language's own tokens: each compiles or fails through the
  // handler, and what compiles evaluates or fails through the handler.
  const std::string bytes = "nazwakotd()[]{}|,.+-*/%^$#=<>!:'\"0123456789 ->tfandornot_";
  const std::vector<std::string> tokens = {
      "nazwa",   "kwota", "data",   "ok",         "klient->nazwa",
      "FIELD->", "(",     ")",      "+",          "-",
      "*",       "/",     "%",      "=",          "==",
      "<",       ">=",    "$",      ".and.",      ".or.",
      ".not.",   "!",     "'x'",    "'ab '",      "1",
      "0",       "2.5",   "upper(", "left(",      "substr(",
      "dtos(",   "str(",  "iif(",   "descend(",   "empty(",
      ",",       "[",     "]",      "{||",        "{|x|",
      "x",       "}",     ":=",     "0d20250101", "nil",
      "{1,2}"};
  uint32_t seed = 12345;
  auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 8; };
  int compiled = 0;
  for (int i = 0; i < 40000; ++i) {
    std::string text;
    size_t len = next() % 12;
    for (size_t k = 0; k < len; ++k) {
      if (i % 2)
        text += bytes[next() % bytes.size()];
      else
        text += tokens[next() % tokens.size()] + " ";
    }
    std::unique_ptr<Expression> e;
    rt::Error err;
    if (!rt::guarded([&] { e = Expression::compile(text, ctx); }, &err)) continue;
    ++compiled;
    rt::guarded([&] { e->eval(); });
    std::string key;
    rt::guarded([&] { e->evalKey(key); });
  }
  EXPECT_GT(compiled, 500);
}

}  // namespace

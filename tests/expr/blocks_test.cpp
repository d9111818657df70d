// Code blocks compiled from text. Group: Blocks. An assignment writes the named area's field, and a
// value the field refuses raises instead of being stored; "=" compares and never assigns;
// parameters shadow fields, missing ones are NIL and arrays are shared with the caller; bad
// subscripts and names nobody declared are errors, and a text must be exactly one block.
#include <gtest/gtest.h>

#include "fake_context.h"

using namespace tav;
using namespace tav::engine;
using namespace tav::engine::testing;

namespace {

class Blocks : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeTable& ntx = ctx.open("entex");
    ok = ntx.logical("ok", false);
    FakeTable& alu = ctx.open("alu");
    przelew = alu.text("przelew", 1, "N");
    kwota = alu.number("kwota", 8, 2, 10);
  }
  rt::BlockRef block(std::string_view text) {
    rt::BlockRef b;
    rt::Error err;
    if (!rt::guarded([&] { b = compileBlock(text, ctx); }, &err))
      throw std::runtime_error(std::string(text) + ": " + err.summary());
    return b;
  }
  rt::Value call(const rt::BlockRef& b, std::vector<rt::Value> args = {}) {
    rt::Value r;
    rt::Error err;
    if (!rt::guarded([&] { r = b->eval(args); }, &err)) throw std::runtime_error(err.summary());
    return r;
  }
  SettingsReset settings;
  FakeContext ctx;
  std::shared_ptr<FakeField> ok, przelew, kwota;
};

TEST_F(Blocks, AssignmentWritesTheFieldOfTheNamedArea) {
  rt::BlockRef b = block("{|| FIELD->entex->ok := .t. }");
  EXPECT_TRUE(call(b).log());  // an assignment gives the value assigned
  EXPECT_TRUE(ok->value.log());
  EXPECT_EQ(ok->puts, 1);
  call(b);
  EXPECT_EQ(ok->puts, 2);

  block("{|| FIELD->alu->przelew := 'T' }")->eval({});
  EXPECT_EQ(przelew->value.str(), "T");
  block("{|| alu->kwota := kwota * 2 + 1 }")->eval({});
  EXPECT_DOUBLE_EQ(kwota->value.num(), 21);
}

TEST_F(Blocks, AssignmentIsRightAssociativeAndLoosest) {
  ctx.tables["alu"].number("a", 5, 0, 0);
  ctx.tables["alu"].number("b", 5, 0, 0);
  call(block("{|| a := b := 2 + 3 }"));
  EXPECT_DOUBLE_EQ(ctx.tables["alu"].fields["a"]->value.num(), 5);
  EXPECT_DOUBLE_EQ(ctx.tables["alu"].fields["b"]->value.num(), 5);
  // "=" inside a block compares; it never assigns.
  EXPECT_FALSE(call(block("{|| a = 6 }")).log());
  EXPECT_DOUBLE_EQ(ctx.tables["alu"].fields["a"]->value.num(), 5);
}

TEST_F(Blocks, AFieldRefusingTheValueRaises) {
  rt::BlockRef b = block("{|| FIELD->entex->ok := 'yes' }");
  rt::Error err;
  EXPECT_FALSE(rt::guarded([&] { b->eval({}); }, &err));
  EXPECT_EQ(err.genCode, rt::kErrDataType);
  EXPECT_FALSE(ok->value.log());
}

TEST_F(Blocks, ParametersAndSubscripts) {
  rt::Value row(rt::Array{rt::Value("KWOTA"), rt::Value("N"), rt::Value(12), rt::Value(2)});
  EXPECT_TRUE(call(block("{|x| x[1] == 'KWOTA'}"), {row}).log());
  EXPECT_FALSE(call(block("{|x| x[1] == 'KWOT'}"), {row}).log());
  EXPECT_DOUBLE_EQ(call(block("{|x, y| x[3] * y}"), {row, rt::Value(2)}).num(), 24);
  EXPECT_EQ(call(block("{|X| upper(x[2])}"), {row}).str(), "N");  // names ignore case

  rt::Value table(rt::Array{row, rt::Value(rt::Array{rt::Value("NAZWA")})});
  EXPECT_EQ(call(block("{|t| t[2, 1] + t[1][2]}"), {table}).str(), "NAZWAN");
  // Missing arguments are NIL, surplus ones are ignored.
  EXPECT_TRUE(call(block("{|a, b| b == nil}"), {rt::Value(1)}).log());
  EXPECT_DOUBLE_EQ(call(block("{|a| a}"), {rt::Value(1), rt::Value(2)}).num(), 1);
  EXPECT_TRUE(call(block("{|| }")).isNil());
}

TEST_F(Blocks, ParametersShadowFieldsAndCanBeAssigned) {
  EXPECT_DOUBLE_EQ(call(block("{|kwota| kwota + 1}"), {rt::Value(1)}).num(), 2);
  EXPECT_DOUBLE_EQ(call(block("{|n| n := n * 10, n + 1}"), {rt::Value(4)}).num(), 41);
  // Array elements are written through: arrays are shared with the caller.
  rt::Value row(rt::Array{rt::Value("a"), rt::Value("b")});
  call(block("{|r| r[2] := upper(r[2])}"), {row});
  EXPECT_EQ(row.arr()[1].str(), "B");
}

TEST_F(Blocks, BadSubscriptsAreBoundOrArgumentErrors) {
  rt::Value row(rt::Array{rt::Value(1)});
  for (auto [text, code] : {std::pair{"{|x| x[2]}", rt::kErrBound},
                            {"{|x| x[0]}", rt::kErrBound},
                            {"{|x| x[-1]}", rt::kErrBound},
                            {"{|x| x[1, 1]}", rt::kErrArg},
                            {"{|x| x['1']}", rt::kErrArg}}) {
    rt::Error err;
    rt::BlockRef b = block(text);
    EXPECT_FALSE(rt::guarded([&] { b->eval(std::vector<rt::Value>{row}); }, &err)) << text;
    EXPECT_EQ(err.genCode, code) << text;
  }
}

TEST_F(Blocks, UnknownPlainNamesAreErrors) {
  // Variables of the routine that wrote a block are not visible to a compiled text.
  for (const char* text : {"{|x| x[1]==tp[i,1]}", "{|| M->wersja }", "{|| memvar->x }"}) {
    rt::Error err;
    EXPECT_FALSE(rt::guarded([&] { compileBlock(text, ctx); }, &err)) << text;
    EXPECT_EQ(err.genCode, rt::kErrNoVar) << text;
  }
}

TEST_F(Blocks, BlockTextMustBeOneBlock) {
  for (const char* text : {"ok", "{|| 1} + 1", "{1, 2}", "{|| 1}}", "", "{|x|"}) {
    rt::Error err;
    EXPECT_FALSE(rt::guarded([&] { compileBlock(text, ctx); }, &err)) << text;
    EXPECT_EQ(err.genCode, rt::kErrSyntax) << text;
  }
}

TEST_F(Blocks, BlockLiteralsInsideExpressionsAreValues) {
  rt::Value v = evaluate("{|a| a * 2}", ctx);
  ASSERT_TRUE(v.isBlock());
  EXPECT_DOUBLE_EQ(v.block().eval(std::vector<rt::Value>{rt::Value(21)}).num(), 42);
  // A nested block has its own parameters only.
  rt::Error err;
  EXPECT_FALSE(rt::guarded([&] { compileBlock("{|a| {|b| a + b}}", ctx); }, &err));
  EXPECT_EQ(err.genCode, rt::kErrNoVar);
  rt::Value inner = call(block("{|a| {|b| b * 3}}"), {rt::Value(1)});
  ASSERT_TRUE(inner.isBlock());
  EXPECT_DOUBLE_EQ(inner.block().eval(std::vector<rt::Value>{rt::Value(5)}).num(), 15);
}

}  // namespace

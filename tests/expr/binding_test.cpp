// How the names of an expression find their areas and fields, and where a fault goes. Group:
// Binding. A plain name binds the area current at compile time, and no later selection moves it; an
// unknown name, alias or area is refused at compile time with its own code, naming what was not
// found; an unguarded fault reaches the installed handler, and a retry answer cannot loop.
#include <gtest/gtest.h>

#include "fake_context.h"

using namespace tav;
using namespace tav::engine;
using namespace tav::engine::testing;

namespace {

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx.open("ins").text("nazwa", 10, "FIRMA");
    ctx.open("roboczy").text("lpp", 8, "00000001");
  }
  // The fault a guarded compile reports; compiling must fail.
  rt::Error compileFault(std::string_view text) {
    rt::Error err;
    bool ok = rt::guarded([&] { Expression::compile(text, ctx); }, &err);
    EXPECT_FALSE(ok) << text;
    return err;
  }
  SettingsReset settings;
  FakeContext ctx;
};

TEST_F(Binding, PlainNamesBindTheAreaCurrentAtCompileTime) {
  auto e = Expression::compile("lpp", ctx);
  ctx.current = "ins";  // selecting another area later changes nothing
  EXPECT_EQ(e->eval().str(), "00000001");
  EXPECT_EQ(compileFault("lpp").genCode, rt::kErrNoVar);
}

TEST_F(Binding, UnknownNamesAliasesAndAreasAreReported) {
  rt::Error field = compileFault("lpp + nip");
  EXPECT_EQ(field.genCode, rt::kErrNoVar);
  EXPECT_EQ(field.operation, "nip");
  EXPECT_NE(field.description.find("lpp + nip"), std::string::npos);

  rt::Error aliased = compileFault("ins->lpp");
  EXPECT_EQ(aliased.genCode, rt::kErrNoVar);
  EXPECT_EQ(aliased.operation, "ins->lpp");

  rt::Error alias = compileFault("sem->lpp");
  EXPECT_EQ(alias.genCode, rt::kErrNoAlias);
  EXPECT_EQ(alias.operation, "sem");
  EXPECT_EQ(compileFault("FIELD->sem->lpp").genCode, rt::kErrNoAlias);
  EXPECT_EQ(compileFault("{|| FIELD->entex->ok := .t. }").genCode, rt::kErrNoAlias);
  EXPECT_EQ(compileFault("sem->(lpp)").genCode, rt::kErrSyntax);

  FakeContext empty;
  rt::Error none;
  EXPECT_FALSE(rt::guarded([&] { Expression::compile("FIELD->lpp", empty); }, &none));
  EXPECT_EQ(none.genCode, rt::kErrNoTable);
}

TEST_F(Binding, AnUnguardedFaultReachesTheInstalledHandler) {
  std::vector<int> codes;
  rt::HandlerGuard h([&](rt::Error& e) -> rt::Answer {
    codes.push_back(e.genCode);
    throw rt::Abandon(e);
  });
  EXPECT_THROW(Expression::compile("nieznane", ctx), rt::Abandon);
  EXPECT_THROW(compileBlock("{|| nieznana(1) }", ctx), rt::Abandon);
  auto e = Expression::compile("lpp / 2", ctx);
  EXPECT_THROW(e->eval(), rt::Abandon);
  EXPECT_EQ(codes, (std::vector<int>{rt::kErrNoVar, 12, rt::kErrArg}));
}

TEST_F(Binding, ARetryAnswerCannotLoopForever) {
  // The operands would be the same on every retry, so a retry abandons instead.
  int asked = 0;
  rt::HandlerGuard h([&](rt::Error&) -> rt::Answer {
    ++asked;
    return {rt::Answer::Retry, {}};
  });
  auto e = Expression::compile("lpp * 2", ctx);
  EXPECT_THROW(e->eval(), rt::Abandon);
  EXPECT_EQ(asked, 1);
}

}  // namespace

// The process's set-up and its end: the table drivers built at start, every area committed and
// closed at exit, an area whose commit fails rolled back and closed all the same.
#include "shell/runtime_setup.h"

#include <gtest/gtest.h>

#include "db/table_access.h"
#include "engine/drivers.h"
#include "engine/engine_test_util.h"
#include "engine/workspace.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

using namespace tav;
using namespace tav::db;
using namespace tav::rt::literals;
using tav::engine::workspace;

namespace {

class RuntimeSetup : public ::testing::Test {
 protected:
  void SetUp() override { makeTable("a", 3); }
  void TearDown() override { workspace().closeAll(); }
  void makeTable(const std::string& name, int records) {
    rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
    engine::Workspace ws;
    ASSERT_TRUE(ws.create(dir_ + name + ".dbf", {{"NAZWA", 'C', 10, 0}}));
    ASSERT_TRUE(ws.use(dir_ + name + ".dbf", "X", {}));
    for (int i = 1; i <= records; ++i) {
      ws.current()->append();
      ws.current()->put(1, rt::Value("r" + std::to_string(i)));
    }
  }
  test::TempDir tmp_;
  std::string dir_ = tmp_.path().string() + "/";
};

TEST_F(RuntimeSetup, DbesysBuildsBothDriversAndReportsWhatFails) {
  engine::resetDrivers();
  std::vector<std::string> alerts;
  shell::DBESYS([&](const std::string& t) { alerts.push_back(t); });
  EXPECT_TRUE(alerts.empty());
  ASSERT_TRUE(engine::findDriver("DBFNTX"));
  EXPECT_EQ(engine::findDriver("dbfntx")->indexExtension, ".ntx");
  EXPECT_EQ(engine::defaultDriver().name, "FOXCDX");
  engine::resetDrivers();
  shell::DBESYS([&](const std::string& t) { alerts.push_back(t); },
                [](std::string_view c) { return c != "NTXDBE" && engine::loadComponent(c); });
  EXPECT_EQ(alerts, (std::vector<std::string>{"Nie mogę załadować NTX-DBE"_oem,
                                              "Nie mogę utworzyć DBF-NTX (engine)"_oem}));
  EXPECT_FALSE(engine::findDriver("DBFNTX"));
  EXPECT_EQ(engine::defaultDriver().name, "FOXCDX");
  engine::resetDrivers();
}

TEST_F(RuntimeSetup, AppexitCommitsAndClosesEveryArea) {
  ASSERT_TRUE(OTWORZ(dir_, "a", "A"));
  workspace().current()->goTo(1);
  workspace().current()->put(1, rt::Value("przed"));
  makeTable("b", 1);
  ASSERT_TRUE(S_OTWORZ(dir_, "b", "B"));
  workspace().current()->goTo(1);
  int outer = 0;
  rt::HandlerGuard g([&](rt::Error&) {
    ++outer;
    return rt::Answer{};
  });
  shell::APPEXIT();
  EXPECT_TRUE(workspace().aliases().empty());
  EXPECT_EQ(outer, 0);
  ASSERT_TRUE(OTWORZ(dir_, "a", "A"));
  EXPECT_EQ(rt::allTrim(workspace().current()->get(1).str()), "przed");
  rt::raise(rt::Error{});
  EXPECT_EQ(outer, 1);  // the handler of before is back
}

TEST_F(RuntimeSetup, AppexitRollsBackAnAreaWhoseCommitFailsAndStillClosesIt) {
  makeTable("b", 1);
  ASSERT_TRUE(OTWORZ(dir_, "b", "X"));
  ASSERT_TRUE(OTWORZ(dir_, "a", "A"));
  // A key that reads another area: once that area is closed, writing this record fails.
  auto idx = std::make_unique<test::FakeIndex>(dir_ + "a.idx");
  idx->createTag("K", "X->NAZWA", engine::KeyType::Character, 10,
                 [](std::string&, uint32_t&) { return false; });
  workspace().current()->attachIndex(std::move(idx));
  workspace().current()->goTo(1);
  workspace().current()->put(1, rt::Value("zmiana"));
  ZAMKNIJ("X");
  int outer = 0;
  rt::HandlerGuard g([&](rt::Error&) {
    ++outer;
    return rt::Answer{};
  });
  shell::APPEXIT();
  EXPECT_TRUE(workspace().aliases().empty());
  EXPECT_EQ(outer, 0);
  ASSERT_TRUE(OTWORZ(dir_, "a", "A"));
  EXPECT_EQ(rt::allTrim(workspace().current()->get(1).str()), "r1");  // rolled back
}

}  // namespace

// Opening, locking and closing tables as the steps do, against another process holding them. Group:
// TableAccess. OTWORZ, S_OTWORZ, REK_LOCK and REK_ADD keep the attempt counts and pauses other
// workstations are given; a file too short for its header is not even tried, and a failed index or
// tag leaves no half-open area; CLOSEALL spares the firm list and the database lock; record images
// move by position; STARTINIT gives every run the same table settings.
#include "db/table_access.h"

#include <gtest/gtest.h>

#include "engine/drivers.h"
#include "engine/engine_test_util.h"
#include "engine/process_helper.h"
#include "engine/workspace.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"

using namespace tav;
using namespace tav::db;
using namespace tav::rt::literals;
using tav::engine::UseOptions;
using tav::engine::WorkArea;
using tav::engine::workspace;

namespace {

class TableAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetSettings();
    rt::setSleeper([this](int h) { pauses.push_back(h); });
    rt::setToneSink([this](double f, double t) { tones.emplace_back(f, t); });
    makeTable("a", 3);
  }
  void TearDown() override {
    workspace().closeAll();
    rt::setSleeper({});
    rt::setToneSink({});
    setEventPump({});
  }
  void makeTable(const std::string& name, int records) {
    std::string p = dir_ + name + ".dbf";
    rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
    engine::Workspace ws;
    ASSERT_TRUE(ws.create(p, {{"NAZWA", 'C', 10, 0},
                              {"KWOTA", 'N', 8, 2},
                              {"DATA", 'D', 8, 0},
                              {"OK", 'L', 1, 0},
                              {"UWAGI", 'M', 10, 0}}));
    ASSERT_TRUE(ws.use(p, "X", {}));
    for (int i = 1; i <= records; ++i) {
      ws.current()->append();
      ws.current()->put(1, rt::Value("r" + std::to_string(i)));
      ws.current()->put(2, rt::Value(i));
    }
  }
  // Another workstation: opens a.dbf with `o` and runs `then` on it.
  test::OtherProcess other(UseOptions o, std::function<bool(WorkArea&)> then = {}) {
    std::string p = dir_ + "a.dbf";
    return test::OtherProcess([p, o, then] {
      static engine::Workspace* ws = new engine::Workspace;
      rt::HandlerGuard g([](rt::Error&) { return rt::Answer{}; });
      return ws->use(p, "A", o) && (!then || then(*ws->current()));
    });
  }
  uint64_t attempts() const { return engine::Table::openAttempts(); }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path().string() + "/";
  std::vector<int> pauses;
  std::vector<std::pair<double, double>> tones;
};

TEST_F(TableAccess, OtworzOpensExclusivelyAndCutsTheExtension) {
  ASSERT_TRUE(OTWORZ(dir_, "a.dbf", "firma"));
  EXPECT_EQ(workspace().alias(), "FIRMA");
  EXPECT_EQ(workspace().current()->recno(), 1u);
  EXPECT_FALSE(workspace().current()->shared());
  EXPECT_FALSE(OTWORZ(dir_, "brak", "B"));
  EXPECT_FALSE(OTWORZ(dir_, "a", "C", "TAG"));  // a tag without a .cdx beside the table
}

TEST_F(TableAccess, OnlyAFileThatCannotHoldItsHeaderIsNotEvenTried) {
  {
    engine::Workspace ws;
    ASSERT_TRUE(ws.create(dir_ + "k66.dbf", {{"NAZWA", 'C', 10, 0}}));
  }
  ASSERT_EQ(std::filesystem::file_size(tmp_ / "k66.dbf"), 66u);  // one field, no records
  test::writeFile(tmp_ / "k64.dbf", std::string(64, '\x03'));
  test::writeFile(tmp_ / "k67.dbf", std::string(67, '\x03'));  // declares a 771-byte header
  std::string damaged = test::readFile(tmp_ / "k66.dbf");
  damaged[64] = 'X';  // the field list runs on past its terminator
  test::writeFile(tmp_ / "bad.dbf", damaged);
  uint64_t before = attempts();
  EXPECT_FALSE(OTWORZ(dir_, "k64", "K"));
  EXPECT_FALSE(S_OTWORZ(dir_, "k67", "K"));
  EXPECT_EQ(attempts(), before);
  EXPECT_FALSE(OTWORZ(dir_, "bad", "K"));  // tried: the header is damaged, six times over
  EXPECT_EQ(attempts(), before + 6);
  EXPECT_FALSE(workspace().used("K"));
  ASSERT_TRUE(OTWORZ(dir_, "k66", "K"));
  EXPECT_EQ(workspace().current()->lastRec(), 0u);
}

TEST_F(TableAccess, AnOpenAliasIsSelectedOtworzRewindsSOtworzDoesNot) {
  ASSERT_TRUE(OTWORZ(dir_, "a", "A"));
  workspace().current()->goTo(3);
  makeTable("b", 1);
  ASSERT_TRUE(OTWORZ(dir_, "b", "B"));
  uint64_t before = attempts();
  ASSERT_TRUE(S_OTWORZ(dir_, "b", "a"));  // another table named: the open alias wins
  EXPECT_EQ(workspace().alias(), "A");
  EXPECT_EQ(workspace().current()->recno(), 3u);
  ASSERT_TRUE(OTWORZ(dir_, "a", "a"));
  EXPECT_EQ(workspace().current()->recno(), 1u);
  EXPECT_EQ(attempts(), before);
}

TEST_F(TableAccess, OtworzTriesSixTimesAgainstATableAnotherProcessHolds) {
  auto holder = other(UseOptions{true, false, ""});
  ASSERT_TRUE(holder.ready());
  uint64_t before = attempts();
  EXPECT_FALSE(OTWORZ(dir_, "a", "A"));
  EXPECT_EQ(attempts(), before + 6);
  EXPECT_TRUE(pauses.empty());  // no pause between the attempts
  EXPECT_FALSE(workspace().used("A"));
  EXPECT_FALSE(USEEX(dir_ + "a.dbf", "A"));
  EXPECT_TRUE(S_OTWORZ(dir_, "a", "A"));  // sharing with it is allowed
  EXPECT_TRUE(workspace().current()->shared());
}

TEST_F(TableAccess, SOtworzTriesOnceAgainstAnExclusiveHolder) {
  auto holder = other(UseOptions{false, false, ""});
  ASSERT_TRUE(holder.ready());
  int handled = 0;
  rt::HandlerGuard g([&](rt::Error&) {
    ++handled;
    return rt::Answer{};
  });
  uint64_t before = attempts();
  EXPECT_FALSE(S_OTWORZ(dir_, "a", "A"));
  EXPECT_EQ(attempts(), before + 1);
  EXPECT_EQ(handled, 0);  // the guard kept the error away from the handler
  EXPECT_FALSE(workspace().used("A"));
  holder.finish();
  EXPECT_TRUE(S_OTWORZ(dir_, "a", "A"));
}

TEST_F(TableAccess, AnIndexOrTagThatFailsLeavesNoAreaBehind) {
  {
    ASSERT_TRUE(OTWORZ(dir_, "a", "A"));
    ASSERT_TRUE(workspace().current()->orderCreate(tmp_ / "a.cdx", "NAZ", "UPPER(NAZWA)"));
    ZAMKNIJ("A");
  }
  int handled = 0;
  rt::HandlerGuard g([&](rt::Error&) {
    ++handled;
    return rt::Answer{};
  });
  EXPECT_FALSE(S_OTWORZ(dir_, "a", "A", "BRAK"));
  EXPECT_EQ(handled, 0);
  EXPECT_FALSE(workspace().used("A"));  // a second call must not find a half-open area
  EXPECT_FALSE(OTWORZ(dir_, "a", "A", "BRAK"));
  EXPECT_EQ(handled, 1);  // OTWORZ leaves the fault to the handler
  EXPECT_FALSE(workspace().used("A"));
  ASSERT_TRUE(S_OTWORZ(dir_, "a", "A", "naz"));
  EXPECT_EQ(workspace().current()->orderName(), "NAZ");
  EXPECT_EQ(workspace().current()->recno(), 1u);
}

TEST_F(TableAccess, RekLockAttemptCounts) {
  auto holder = other(UseOptions{true, false, ""}, [](WorkArea& a) {
    a.goTo(2);
    return a.rlock();
  });
  ASSERT_TRUE(holder.ready());
  ASSERT_TRUE(S_OTWORZ(dir_, "a", "A"));
  workspace().current()->goTo(2);
  struct Case {
    rt::Value count;
    size_t attempts;
  };
  for (const Case& c : {Case{rt::Value(), 10}, Case{rt::Value(0), 1}, Case{rt::Value(-4), 1},
                        Case{rt::Value(50), 20}, Case{rt::Value(3), 3}}) {
    pauses.clear();
    EXPECT_FALSE(REK_LOCK(c.count));
    EXPECT_EQ(pauses, std::vector<int>(c.attempts, 5)) << rt::toText(c.count);
  }
  workspace().current()->goTo(1);
  pauses.clear();
  EXPECT_TRUE(REK_LOCK());
  EXPECT_TRUE(pauses.empty());
}

TEST_F(TableAccess, RekAddBeepsOnceAndPumpsEventsBetweenAttempts) {
  auto holder =
      other(UseOptions{true, false, ""}, [](WorkArea& a) { return a.table().lockHeader(); });
  ASSERT_TRUE(holder.ready());
  ASSERT_TRUE(S_OTWORZ(dir_, "a", "A"));
  int pumped = 0;
  setEventPump([&] {
    ++pumped;
    return false;
  });
  EXPECT_FALSE(REK_ADD(rt::Value(6)));
  ASSERT_EQ(tones.size(), 1u);
  EXPECT_EQ(tones[0], (std::pair<double, double>(5000, 0.2)));
  EXPECT_EQ(pumped, 5);
  EXPECT_EQ(pauses, std::vector<int>(5, 1));
  // Esc in the pump: the next attempt follows at once.
  tones.clear();
  pauses.clear();
  setEventPump([] { return true; });
  EXPECT_FALSE(REK_ADD(rt::Value(4)));
  EXPECT_EQ(tones.size(), 1u);
  EXPECT_TRUE(pauses.empty());
  // No count (or an empty one) means 500 attempts.
  setEventPump({});
  pauses.clear();
  EXPECT_FALSE(REK_ADD(rt::Value(0)));
  EXPECT_EQ(pauses.size(), 499u);
  holder.finish();
  EXPECT_TRUE(REK_ADD());
  EXPECT_EQ(workspace().current()->recno(), 4u);
}

TEST_F(TableAccess, CloseallKeepsTheFirmListAndTheDatabaseLock) {
  makeTable("b", 0);
  makeTable("c", 0);
  ASSERT_TRUE(OTWORZ(dir_, "a", "ins"));
  ASSERT_TRUE(OTWORZ(dir_, "b", "Sem"));
  ASSERT_TRUE(OTWORZ(dir_, "c", "insx"));
  CLOSEALL();
  EXPECT_EQ(workspace().aliases(), (std::vector<std::string>{"INS", "SEM"}));
  ZAMKNIJ("");
  ZAMKNIJ("nieotwarty");
  ZAMKNIJ("sem");
  EXPECT_EQ(workspace().aliases(), (std::vector<std::string>{"INS"}));
}

TEST_F(TableAccess, WezRekordTakesValuesOrBlanksAndKeepsThePointer) {
  ASSERT_TRUE(OTWORZ(dir_, "a", "A"));
  WorkArea& a = *workspace().current();
  a.goTo(2);
  a.put("UWAGI", rt::Value("notatka"));
  rt::Value image = WEZ_REKORD();
  ASSERT_EQ(image.arr().size(), 5u);
  EXPECT_EQ(image.arr()[0].str(), rt::padRight("r2", 10));
  EXPECT_EQ(image.arr()[1].num(), 2);
  EXPECT_EQ(image.arr()[4].str(), "notatka");
  rt::Value blank = WEZ_REKORD(rt::Value(false));  // any argument asks for blanks
  EXPECT_EQ(a.recno(), 2u);
  EXPECT_EQ(blank.arr()[0].str(), std::string(10, ' '));
  EXPECT_EQ(blank.arr()[1].num(), 0);
  EXPECT_TRUE(blank.arr()[2].date().empty());
  EXPECT_FALSE(blank.arr()[3].log());
  EXPECT_EQ(blank.arr()[4].str(), "");
  makeTable("e", 0);
  ASSERT_TRUE(OTWORZ(dir_, "e", "E"));
  blank = WEZ_REKORD(rt::Value(true));
  EXPECT_EQ(blank.arr().size(), 5u);
  EXPECT_TRUE(workspace().current()->eof());
  EXPECT_EQ(workspace().current()->recno(), 1u);
}

TEST_F(TableAccess, PutRekordWritesByPositionUpToTheFieldCountAndMaximum) {
  ASSERT_TRUE(OTWORZ(dir_, "a", "A"));
  WorkArea& a = *workspace().current();
  rt::Value image = WEZ_REKORD();
  image.arr()[0] = rt::Value("nowy");
  image.arr()[1] = rt::Value(7.5);
  image.arr().push_back(rt::Value("nadmiarowy"));
  PUT_REKORD(image);
  EXPECT_EQ(a.get(1).str(), rt::padRight("nowy", 10));
  EXPECT_EQ(a.get(2).num(), 7.5);
  rt::Value other = WEZ_REKORD(rt::Value(true));
  other.arr()[0] = rt::Value("tylko1");
  PUT_REKORD(other, rt::Value(1));
  EXPECT_EQ(a.get(1).str(), rt::padRight("tylko1", 10));
  EXPECT_EQ(a.get(2).num(), 7.5);
}

TEST_F(TableAccess, StartinitSetsTheTableSettings) {
  STARTINIT();
  const rt::Settings& s = rt::settings();
  EXPECT_TRUE(s.deletedHidden);
  EXPECT_TRUE(s.exact);
  EXPECT_TRUE(s.softSeek);
  EXPECT_TRUE(s.century);
  EXPECT_EQ(s.dateFormat, "yyyy.mm.dd");
  EXPECT_EQ(s.decimals, 0);
  EXPECT_EQ(s.typeAhead, 100);
  EXPECT_TRUE(s.exclusiveDefault);
  EXPECT_FALSE(s.scoreboard);
  EXPECT_FALSE(s.cancelKey);
}

}  // namespace

// The widget toolkit on its headless backend, which every screen test stands on. Groups: FontTest
// (compound font names) and Toolkit (tab order and focus callbacks, a disabled parent stopping its
// children, events for destroyed targets dropped, owned windows and the focus going with their
// window, virtual time and timers, a wait with no input left failing instead of hanging, edits,
// trees, menus, and describe() showing what a window shows).
#include <gtest/gtest.h>

#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/codepage.h"

using namespace tav::gui;
using namespace tav::rt::literals;

namespace {

class Toolkit : public ::testing::Test {
 protected:
  void SetUp() override {
    hl = &useHeadless();
    dlg = &app().createDialog(nullptr, {0, 0}, {300, 200});
    dlg->show();
  }
  void TearDown() override { app().reset(); }

  PushButton& button(const std::string& caption, int y) {
    auto& b = dlg->drawingArea().add<PushButton>(Point{10, y}, Size{80, 20});
    b.setCaption(caption);
    return b;
  }

  Headless* hl = nullptr;
  Dialog* dlg = nullptr;
};

TEST(FontTest, CompoundNamesGiveSizeFaceAndStyle) {
  Font f = Font::parse("10.Arial");
  EXPECT_EQ(f.pointSize, 10);
  EXPECT_EQ(f.name, "Arial");
  EXPECT_FALSE(f.bold);
  Font g = Font::parse("8.Times New Roman Bold");
  EXPECT_EQ(g.pointSize, 8);
  EXPECT_EQ(g.name, "Times New Roman");
  EXPECT_TRUE(g.bold);
  EXPECT_EQ(Font::parse("Arial").pointSize, Font{}.pointSize);
}

TEST_F(Toolkit, TabOrderFollowsCreationAndSkipsDisabledAndHidden) {
  auto& a = button("a", 10);
  auto& b = button("b", 40);
  auto& c = button("c", 70);
  auto& d = button("d", 100);
  b.disable();
  d.hide();
  a.setFocus();
  input::press(key::Tab);
  app().processPending();
  EXPECT_TRUE(c.hasFocus());
  input::press(key::Tab);  // wraps past the hidden one
  app().processPending();
  EXPECT_TRUE(a.hasFocus());
  input::press(key::ShiftTab);
  app().processPending();
  EXPECT_TRUE(c.hasFocus());
}

TEST_F(Toolkit, FocusChangesRunKillThenSetCallbacks) {
  auto& a = button("a", 10);
  auto& b = button("b", 40);
  std::string log;
  a.onSetFocus = [&](Widget&) { log += "+a"; };
  a.onKillFocus = [&](Widget&) { log += "-a"; };
  b.onSetFocus = [&](Widget&) { log += "+b"; };
  a.setFocus();
  b.setFocus();
  b.setFocus();  // already there: nothing runs again
  EXPECT_EQ(log, "+a-a+b");
}

TEST_F(Toolkit, DisablingAParentStopsClicksKeysAndFocusOfItsChildren) {
  auto& a = button("a", 10);
  int clicks = 0, keys = 0;
  a.onActivate = [&](Widget&) { ++clicks; };
  a.onKey = [&](int, Widget&) { ++keys; };
  dlg->drawingArea().disable();
  EXPECT_FALSE(a.isEnabled());
  app().postActivate(a);
  app().postKey(a, 'x');
  app().processPending();
  EXPECT_FALSE(app().setFocus(&a));
  dlg->drawingArea().enable();
  app().postActivate(a);
  app().processPending();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(keys, 0);
}

TEST_F(Toolkit, KeyCallbackRunsBeforeDefaultHandlingAndSpaceClicks) {
  auto& a = button("a", 10);
  std::string log;
  a.onKey = [&](int k, Widget&) { log += "key" + std::to_string(k) + " "; };
  a.onActivate = [&](Widget&) { log += "click"; };
  app().postKey(a, key::Space);
  app().processPending();
  EXPECT_EQ(log, "key32 click");
}

TEST_F(Toolkit, CloseRequestPostedToAChildReachesItsWindow) {
  auto& a = button("a", 10);
  int closes = 0;
  dlg->onClose = [&](Widget&) { ++closes; };
  app().postClose(*a.parent());
  auto e = app().next(0);
  ASSERT_TRUE(e);
  app().dispatch(*e);
  EXPECT_EQ(closes, 1);
}

TEST_F(Toolkit, EventsForDestroyedTargetsAreDropped) {
  auto& a = button("a", 10);
  int clicks = 0;
  a.onActivate = [&](Widget&) { ++clicks; };
  app().postActivate(a);
  a.destroy();
  EXPECT_EQ(dlg->drawingArea().children().size(), 0u);
  app().processPending();
  EXPECT_EQ(clicks, 0);
}

TEST_F(Toolkit, DestroyingAWindowTakesItsOwnedWindowsAndTheFocus) {
  auto& child = app().createDialog(dlg, {0, 0}, {100, 100});
  auto& b = child.drawingArea().add<PushButton>(Point{0, 0}, Size{10, 10});
  b.setFocus();
  child.show();
  b.setFocus();
  ASSERT_EQ(app().focus(), &b);
  dlg->destroy();
  EXPECT_TRUE(app().windows().empty());
  EXPECT_EQ(app().focus(), nullptr);
}

TEST_F(Toolkit, WaitingWithATimeOutMovesVirtualTimeAndGivesNothing) {
  double t0 = app().seconds();
  EXPECT_FALSE(app().next(250));
  EXPECT_NEAR(app().seconds() - t0, 2.5, 1e-9);
}

TEST_F(Toolkit, WaitingForeverWithNoInputLeftIsAnError) { EXPECT_THROW(app().next(), Starved); }

TEST_F(Toolkit, StepsRunWhenTheQueueRunsDryAndMayInjectInput) {
  auto& a = button("a", 10);
  int clicks = 0;
  a.onActivate = [&](Widget&) { ++clicks; };
  hl->then([&] { input::click(a); });
  auto e = app().next();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->type, EventType::SetFocus);
  app().dispatch(*e);
  app().dispatch(*app().next());
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(a.hasFocus());
}

TEST_F(Toolkit, TimersFireInOrderOfTheirTimeOuts) {
  std::string log;
  app().addTimer(300, [&] { log += "late "; });
  app().addTimer(100, [&] { log += "early "; });
  auto cancelled = app().addTimer(200, [&] { log += "never "; });
  app().cancelTimer(cancelled);
  while (auto e = app().next(1000)) app().dispatch(*e);
  EXPECT_EQ(log, "early late ");
}

TEST_F(Toolkit, EditKeepsToItsBufferLengthAndEditsAtTheCursor) {
  auto& ed = dlg->drawingArea().add<Edit>(Point{0, 0}, Size{100, 20}, 8);
  ed.setFocus();
  input::type("ABCDEFGHIJ");
  app().processPending();
  EXPECT_EQ(ed.text(), "ABCDEFGH");
  input::press(key::Home);
  input::press(key::Delete);
  input::press(key::End);
  input::press(key::Backspace);
  input::type("xyz");
  app().processPending();
  EXPECT_EQ(ed.text(), "BCDEFGxy");
  ed.setText("1234567890");
  EXPECT_EQ(ed.text(), "12345678");
  ed.setText("Łódź"_oem);
  EXPECT_EQ(ed.cursor(), 4);
}

TEST_F(Toolkit, HeadlessMetricsAreProportionalAndBoldIsWider) {
  Font f = Font::parse("10.Arial");
  Size one = app().textSize(f, "abcd");
  EXPECT_EQ(app().textSize(f, "abcdabcd").w, 2 * one.w);
  EXPECT_GT(one.h, 0);
  Font b = f;
  b.bold = true;
  EXPECT_GT(app().textSize(b, "abcd").w, one.w);
  EXPECT_EQ(app().textSize(f, "").w, 0);
}

TEST_F(Toolkit, TreeKeysMoveTheMarkExpandAndCollapse) {
  auto& tree = dlg->drawingArea().add<TreeView>(Point{0, 0}, Size{200, 150});
  auto& c = tree.addItem(tree.root(), "C:\\", "C:\\", false);
  auto& d = tree.addItem(tree.root(), "D:\\", "D:\\", false);
  std::string log;
  tree.onItemExpanded = [&](TreeItem& i) {
    log += "expand " + i.caption + " ";
    if (i.children().empty()) tree.addItem(i, "Tav", i.data + "Tav\\", false);
  };
  tree.onItemMarked = [&](TreeItem& i) { log += "mark " + i.caption + " "; };
  tree.setFocus();
  for (int k : {key::Down, key::Right, key::Down, key::Down, key::Up, key::Left, key::Left})
    input::press(k);
  app().processPending();
  EXPECT_EQ(log, "mark C:\\ expand C:\\ mark Tav mark D:\\ mark Tav mark C:\\ ");
  EXPECT_FALSE(c.expanded());
  EXPECT_EQ(tree.marked(), &c);
  EXPECT_EQ(tree.shownItems().size(), 2u);
  tree.mark(*c.children()[0]);  // marking a hidden item opens its ancestors
  EXPECT_TRUE(c.expanded());
  tree.removeItem(c);
  EXPECT_EQ(tree.marked(), nullptr);
  EXPECT_EQ(tree.shownItems(), std::vector<TreeItem*>{&d});
}

TEST_F(Toolkit, PopupMenuRunsTheChosenActionOnly) {
  Menu m(dlg->drawingArea());
  std::string log;
  m.addItem("~Wybierz", [&] { log += "W"; });
  m.addItem("~Skasuj", [&] { log += "S"; });
  hl->then([&] {
    ASSERT_EQ(hl->openMenu(), &m);
    m.choose(2);
  });
  EXPECT_EQ(m.popup({5, 5}), 2);
  EXPECT_EQ(m.popup({5, 5}), 0);  // no step: the menu is left
  EXPECT_EQ(log, "S");
}

TEST_F(Toolkit, DescribeShowsWhatTheWindowShows) {
  dlg->setTitle("Okno");
  auto& a = button("Zakończ"_oem, 10);
  a.setFocus();
  auto& ed = dlg->drawingArea().add<Edit>(Point{0, 40}, Size{100, 20}, 10);
  ed.setText("abc");
  ed.disable();
  std::string s = describe(*dlg);
  EXPECT_NE(s.find("dialog 300x200 at 0,0 \"Okno\""), std::string::npos) << s;
  EXPECT_NE(s.find("button 80x20 at 10,10 \"Zakończ\" focus"), std::string::npos) << s;
  EXPECT_NE(s.find("edit 100x20 at 0,40 [abc] disabled"), std::string::npos) << s;
  EXPECT_EQ(findByCaption(*dlg, "Zakończ"_oem), &a);
  EXPECT_EQ(findByCaption(*dlg, "abc"), &ed);
}

TEST_F(Toolkit, StaticDrawingAndLines) {
  auto& s = dlg->drawingArea().add<Static>(StaticType::Text, Point{0, 0}, Size{100, 50});
  s.setCaption("one\ntwo\nthree");
  EXPECT_EQ(s.lines(), (std::vector<std::string>{"one", "two", "three"}));
  s.fillBox({0, 0}, {10, 5}, kFill);
  ASSERT_EQ(s.drawing().size(), 1u);
  s.clearDrawing();
  EXPECT_TRUE(s.drawing().empty());
  EXPECT_EQ(s.posInDialog(), (Point{0, 0}));
}

}  // namespace

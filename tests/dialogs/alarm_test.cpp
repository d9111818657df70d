// ALARM, the message box and question of every screen, on the headless backend. Groups: Alarm (the
// answer by button, first letter, Enter, Esc or the close box; time-outs; a layout measured from
// its text and buttons; title codes, icons and where the box stands; other windows kept working
// while it waits) and Vectors (the sums and scaling of positions).
#include <gtest/gtest.h>

#include "dialogs/alarm.h"
#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

using namespace tav;
using namespace tav::gui;
using namespace tav::dialogs;
using namespace tav::rt::literals;

namespace {

class Alarm : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetShared();
    hl = &useHeadless();
  }
  void TearDown() override { app().reset(); }

  // The box the tool is waiting on, checked to be there.
  Dialog& box() {
    Dialog* d = topWindow();
    EXPECT_NE(d, nullptr);
    return *d;
  }
  Widget& buttonOf(const std::string& oem) {
    Widget* w = findByCaption(box(), oem);
    EXPECT_NE(w, nullptr) << rt::oemToUtf8(oem);
    return *w;
  }
  std::vector<Widget*> buttons() {
    std::vector<Widget*> out;
    for (auto& c : box().drawingArea().children())
      if (c->kind() == Kind::Button) out.push_back(c.get());
    return out;
  }
  Static* messageText() {
    for (auto& c : box().drawingArea().children())
      for (auto& t : c->children())
        if (t->kind() == Kind::Static) return static_cast<Static*>(t.get());
    return nullptr;
  }

  Headless* hl = nullptr;
};

TEST_F(Alarm, DefaultButtonsAnswerOneTwoAndZeroForEsc) {
  hl->then([&] { input::click(buttonOf("Potwierdzam"_oem)); });
  EXPECT_EQ(ALARM({}, "4", "Z", "Czy na pewno?"_oem).choice, 1);
  hl->then([&] { input::click(buttonOf("Rezygnuję"_oem)); });
  EXPECT_EQ(ALARM({}, "5", "Z", "Czy na pewno?"_oem).choice, 2);
  hl->then([&] { input::press(key::Esc); });
  EXPECT_EQ(ALARM({}, "6", "Z", "Czy na pewno?"_oem).choice, 0);
  hl->then([&] { input::closeBox(box()); });
  EXPECT_EQ(ALARM({}, "4", "Z", "Czy na pewno?"_oem).choice, 0);
  hl->then([&] { input::press(key::Enter); });  // the first button has the focus
  EXPECT_EQ(ALARM({}, "4", "Z", "Czy na pewno?"_oem).choice, 1);
  EXPECT_TRUE(app().windows().empty());  // every box is gone afterwards
}

TEST_F(Alarm, FirstLetterActivatesItsButtonInEitherCase) {
  hl->then([&] { input::press('r'); });
  EXPECT_EQ(ALARM({}, "4", "Z", "x").choice, 2);
  hl->then([&] { input::press('R'); });
  EXPECT_EQ(ALARM({}, "4", "Z", "x").choice, 2);
  // Two captions with the same first letter: the first of them wins.
  rt::Array three{"Nie"_oem, "Anuluj"_oem, "Akceptuj"_oem};
  hl->then([&] { input::press('a'); });
  EXPECT_EQ(ALARM({}, "5", "Z", "x", three).choice, 2);
  // A Polish letter: lower case 852 "ź" finds "Źle".
  hl->then([&] { input::type("ź"_oem); });
  EXPECT_EQ(ALARM({}, "5", "Z", "x", rt::Array{"Dobrze"_oem, "Źle"_oem}).choice, 2);
  // A letter no caption starts with does nothing; the box waits on.
  hl->then([&] { input::press('q'); });
  hl->then([&] { input::press(key::Esc); });
  EXPECT_EQ(ALARM({}, "4", "Z", "x").choice, 0);
}

TEST_F(Alarm, MarkedDefaultButtonHasTheFocusWithoutItsMarker) {
  std::string marked = std::string("\x04") + "Rezygnuję"_oem;
  hl->then([&] {
    auto bs = buttons();
    ASSERT_EQ(bs.size(), 2u);
    EXPECT_EQ(bs[1]->caption(), "Rezygnuję"_oem);
    EXPECT_TRUE(bs[1]->hasFocus());
    EXPECT_TRUE(bs[1]->font().bold);
    EXPECT_EQ(bs[1]->tag.num(), 2);
    input::press(key::Enter);
  });
  EXPECT_EQ(ALARM({}, "5", "U", "Kasować?"_oem, rt::Array{"Potwierdzam"_oem, marked}).choice, 2);
}

TEST_F(Alarm, ArrowsMoveTheFocusAndTheBoldHighlight) {
  hl->then([&] {
    auto bs = buttons();
    input::press(key::Right);
  });
  hl->then([&] {
    auto bs = buttons();
    EXPECT_TRUE(bs[1]->hasFocus());
    EXPECT_TRUE(bs[1]->font().bold);
    EXPECT_FALSE(bs[0]->font().bold);
    input::press(key::Left);
  });
  hl->then([&] {
    EXPECT_TRUE(buttons()[0]->hasFocus());
    input::press(key::Enter);
  });
  EXPECT_EQ(ALARM({}, "4", "Z", "x").choice, 1);
}

TEST_F(Alarm, AcknowledgementsTimeOutToZero) {
  double t0 = app().seconds();
  EXPECT_EQ(ALARM({}, "2", "I", "Gotowe"_oem).choice, 0);
  double waited = app().seconds() - t0;
  EXPECT_GE(waited, 120);
  EXPECT_LT(waited, 123);
  t0 = app().seconds();
  EXPECT_EQ(ALARM({}, "3", "B", "Źle"_oem, 5).choice, 0);
  EXPECT_NEAR(app().seconds() - t0, 5, 1.5);
  // Questions wait 1000 seconds.
  t0 = app().seconds();
  EXPECT_EQ(ALARM({}, "4", "Z", "x").choice, 0);
  EXPECT_GE(app().seconds() - t0, 1000);
  hl->then([&] { input::click(buttonOf("Zamknij to okno"_oem)); });
  EXPECT_EQ(ALARM({}, "3", "B", "x").choice, 1);
}

TEST_F(Alarm, ThreeLinesAreMeasuredAndShownAsThree) {
  Font mf;
  mf.name = "Times New Roman";
  mf.pointSize = 13;
  int lineH = app().textSize(mf, "x").h;
  AlarmLayout l = alarmLayout("4", "Pierwsza;druga linia;trzecia;", {}, false);
  ASSERT_EQ(l.lines.size(), 3u);  // the trailing ";" adds no empty line
  EXPECT_EQ(l.textBlock.h, 3 * lineH);
  EXPECT_EQ(l.textBlock.w, app().textSize(mf, "druga linia").w);
  EXPECT_EQ(l.textArea, (Size{l.textBlock.w + 10, l.textBlock.h + 5}));
  EXPECT_EQ(l.frame, (Size{l.textArea.w + 4, l.textArea.h + 4}));
  hl->then([&] {
    Static* t = messageText();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->lines(), (std::vector<std::string>{"Pierwsza", "druga linia", "trzecia"}));
    // The default buttons are wider than this text, so the text area grows to their row.
    AlarmLayout shown = alarmLayout("4", "Pierwsza;druga linia;trzecia;",
                                    {"Potwierdzam"_oem, "Rezygnuję"_oem}, false);
    EXPECT_EQ(t->size(), shown.textArea);
    EXPECT_EQ(t->size().h, l.textArea.h);
    EXPECT_EQ(t->align(), Align::Center);
    input::press(key::Esc);
  });
  ALARM({}, "4", "Z", "Pierwsza;druga linia;trzecia;");
}

TEST_F(Alarm, ButtonRowWiderThanTheTextWidensTheFrame) {
  std::vector<std::string> caps{"Potwierdzam"_oem, "Rezygnuję"_oem};
  AlarmLayout narrow = alarmLayout("4", "x", caps, false);
  EXPECT_GT(narrow.rowWidth, narrow.textBlock.w + 14);
  EXPECT_EQ(narrow.frame.w, narrow.rowWidth);
  EXPECT_EQ(narrow.textArea.w, narrow.rowWidth - 4);
  std::string wide(120, 'W');
  AlarmLayout roomy = alarmLayout("4", wide, caps, false);
  EXPECT_EQ(roomy.frame.w, roomy.textBlock.w + 14);  // text wider than the row: as measured
  Font bf;
  bf.pointSize = 11;
  bf.bold = true;
  EXPECT_EQ(roomy.button,
            (Size{app().textSize(bf, "Potwierdzam").w + 36, app().textSize(bf, "x").h + 10}));
  EXPECT_EQ(roomy.window, (Size{roomy.frame.w + 28, roomy.frame.h + 74 + roomy.button.h}));
  // The shown buttons share the free width equally.
  hl->then([&] {
    Dialog& d = box();
    EXPECT_EQ(d.size(), narrow.window);
    auto bs = buttons();
    int gap = (d.size().w - 2 * narrow.button.w) / 3;
    EXPECT_EQ(bs[0]->pos().x, gap);
    EXPECT_EQ(bs[1]->pos().x, 2 * gap + narrow.button.w);
    input::press(key::Esc);
  });
  ALARM({}, "4", "Z", "x");
}

TEST_F(Alarm, NoticeReturnsItsWindowAtOnce) {
  AlarmResult r = ALARM({}, "1", "Chwileczkę", "");
  ASSERT_NE(r.window, nullptr);
  EXPECT_EQ(r.choice, 0);
  EXPECT_TRUE(r.window->isVisible());
  Static* t = messageText();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->caption(), "Proszę czekać..."_oem);  // the empty text of a notice
  EXPECT_TRUE(buttons().empty());
  AlarmLayout l = alarmLayout("1", "Proszę czekać..."_oem, {}, false);
  EXPECT_EQ(r.window->size(), (Size{l.frame.w + 28, l.frame.h + 54}));
  input::closeBox(*r.window);  // only hides it
  app().processPending();
  EXPECT_FALSE(r.window->isVisible());
  r.window->destroy();
  EXPECT_TRUE(app().windows().empty());
}

TEST_F(Alarm, TitleCodesAlignmentAndIcons) {
  struct Case {
    const char* title;
    const char* shown;
  } cases[] = {{"U", "Uwaga!"},       {"Z", "Potwierdź!"},    {"ZD", "Zdecyduj co robić!"},
               {"P", "Podsumowanie"}, {"I", "Informacja"},    {"B", "Błąd!"},
               {"O", "Ostrzeżenie!"}, {"Uwaga!!", "Uwaga!!"}, {"u", "u"}};
  for (const Case& c : cases) {
    AlarmResult r = ALARM({}, "1", rt::utf8ToOem(c.title), "x");
    EXPECT_EQ(r.window->title(), rt::utf8ToOem(c.shown)) << c.title;
    r.window->destroy();
  }
  AlarmResult r = ALARM({}, "1", {}, "\\Llewa;strona");
  EXPECT_EQ(r.window->title(), " ");
  EXPECT_EQ(r.window->icon(), 101);
  EXPECT_EQ(messageText()->align(), Align::Left);
  EXPECT_EQ(messageText()->lines()[0], "lewa");
  r.window->destroy();
  r = ALARM({}, "1", "x", "\\Rprawa");
  EXPECT_EQ(messageText()->align(), Align::Right);
  EXPECT_EQ(messageText()->caption(), "prawa");
  r.window->destroy();
  hl->then([&] {
    EXPECT_EQ(box().icon(), 103);
    EXPECT_EQ(messageText()->bg(), kWarningBack);
    input::press(key::Esc);
  });
  ALARM({}, "6", "B", "x");
  hl->then([&] {
    EXPECT_EQ(box().icon(), 102);
    EXPECT_EQ(messageText()->bg(), kDialogBack);
    input::press(key::Esc);
  });
  ALARM({}, "2", "I", "x");
}

TEST_F(Alarm, TheBoxStandsAtTheAnchorOfItsArea) {
  useHeadless().setScreen({1000, 800});
  // An area of 400 x 200 whose top is 100 from the screen top: bottom 500, anchor (300, 570).
  AlarmResult r = ALARM(AlarmArea::rect(100, 100, 400, 200), "1", "x", "tekst");
  Dialog& d = *r.window;
  EXPECT_NEAR(d.pos().x + d.size().w / 2.0, 300, 1);
  EXPECT_NEAR(d.pos().y + d.size().h / 2.0, 570, 1);
  r.window->destroy();
  // The whole screen: larger fonts.
  r = ALARM(true, "1", "x", "tekst");
  EXPECT_EQ(messageText()->font().pointSize, 14);
  EXPECT_NEAR(r.window->pos().x + r.window->size().w / 2.0, 500, 1);
  EXPECT_NEAR(r.window->pos().y + r.window->size().h / 2.0, 280, 1);
  r.window->destroy();
  // Over a window, owned by it.
  Dialog& owner = app().createDialog(nullptr, {200, 100}, {600, 400});
  r = ALARM(&owner, "1", "x", "tekst");
  EXPECT_EQ(r.window->owner(), &owner);
  EXPECT_NEAR(r.window->pos().x + r.window->size().w / 2.0, 500, 1);
  EXPECT_NEAR(r.window->pos().y + r.window->size().h / 2.0, 240, 1);
  EXPECT_EQ(messageText()->font().pointSize, 13);
}

TEST_F(Alarm, OtherWindowsKeepWorkingWhileTheBoxWaits) {
  Dialog& other = app().createDialog(nullptr, {0, 0}, {100, 100});
  other.show();
  auto& b = other.drawingArea().add<PushButton>(Point{0, 0}, Size{50, 20});
  int clicks = 0;
  b.onActivate = [&](Widget&) { ++clicks; };
  hl->then([&] { input::click(b); });
  hl->then([&] { input::press(key::Esc); });
  EXPECT_EQ(ALARM({}, "4", "Z", "x").choice, 0);
  EXPECT_EQ(clicks, 1);
}

TEST(Vectors, SumAndScale) {
  EXPECT_EQ(V1_PLUS_V2({{1, 2}, {10, 20}, {100, 200}}), (Vec2{111, 222}));
  EXPECT_EQ(V1_PLUS_V2({}), (Vec2{0, 0}));
  EXPECT_EQ(R_RAZY_V(0.5, {30, 7}), (Vec2{15, 3.5}));
}

}  // namespace

// LICZNIK, the progress bar of long operations, on the headless backend. Group: Progress. The fill
// follows the count in proportion and draws only when its width changes, a count past the maximum
// is kept but not drawn, the caption changes only when given, "NEW" empties the bar and "DEL"
// removes it, and a zero maximum or a destroyed window is never a crash.
#include <gtest/gtest.h>

#include <cmath>

#include "dialogs/progress_bar.h"
#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/shared_variables.h"

using namespace tav;
using namespace tav::gui;
using namespace tav::dialogs;

namespace {

class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetShared();
    useHeadless();
    win = &app().createDialog(nullptr, {0, 0}, {500, 300});
    win->show();
  }
  void TearDown() override {
    LICZNIK("DEL");
    app().reset();
  }
  // Width of the fill as drawn last (the box from the bar's left edge).
  static int filled() {
    auto s = licznikState();
    if (!s.bar || s.bar->drawing().empty()) return 0;
    const auto& box = s.bar->drawing().back();
    return box.color == kFill ? box.size.w : 0;
  }
  void create(int max, const char* caption = "Kopiowanie") {
    LICZNIK(rt::Array{20, 40}, 300, max, caption, &win->drawingArea());
  }
  Dialog* win = nullptr;
};

TEST_F(Progress, CreatedAsAFramedBarOnItsParent) {
  create(11);
  auto s = licznikState();
  ASSERT_NE(s.frame, nullptr);
  EXPECT_EQ(s.frame->parent(), &win->drawingArea());
  EXPECT_EQ(s.frame->type(), StaticType::GroupBox);
  EXPECT_EQ(s.frame->caption(), "Kopiowanie");
  EXPECT_EQ(s.frame->pos(), (Point{20, 40}));
  EXPECT_EQ(s.frame->size(), (Size{300, 60}));
  EXPECT_TRUE(s.frame->font().italic);
  EXPECT_EQ(s.frame->font().pointSize, 8);
  EXPECT_EQ(s.bar->parent(), s.frame);
  EXPECT_EQ(s.bar->type(), StaticType::RecessedBox);
  EXPECT_EQ(s.bar->pos(), (Point{12, 12}));
  EXPECT_EQ(s.bar->size(), (Size{276, 24}));
  EXPECT_EQ(s.count, 0);
  EXPECT_EQ(s.last, 0);
  EXPECT_TRUE(s.bar->drawing().empty());
}

TEST_F(Progress, ElevenStepsInSixAdvancesFillTheBar) {
  create(11);
  const int bw = licznikState().barWidth;
  LICZNIK(1);
  LICZNIK(6);
  EXPECT_EQ(filled(), static_cast<int>(std::lround(7.0 * bw / 11)));
  for (int i = 0; i < 4; ++i) LICZNIK(1);
  EXPECT_EQ(licznikState().count, 11);
  EXPECT_EQ(filled(), bw);
  EXPECT_EQ(licznikState().last, bw);
  size_t boxes = licznikState().bar->drawing().size();
  LICZNIK(1);  // beyond the maximum: counted, not drawn
  EXPECT_EQ(licznikState().count, 12);
  EXPECT_EQ(licznikState().bar->drawing().size(), boxes);
}

TEST_F(Progress, AnAdvanceThatRoundsToTheSameWidthDrawsNothing) {
  create(1000);
  LICZNIK(1);
  LICZNIK(1);  // 2 x 272 / 1000 rounds to 1 pixel, as did the first
  ASSERT_EQ(licznikState().bar->drawing().size(), 1u);
  EXPECT_EQ(filled(), 1);
  LICZNIK();  // no argument: one step
  EXPECT_EQ(licznikState().count, 3);
}

TEST_F(Progress, CaptionChangesWithAnAdvanceOnlyWhenGiven) {
  create(10);
  LICZNIK(1, {}, {}, "Indeksowanie");
  EXPECT_EQ(licznikState().frame->caption(), "Indeksowanie");
  LICZNIK(1, {}, {}, "");
  EXPECT_EQ(licznikState().frame->caption(), "Indeksowanie");
}

TEST_F(Progress, NewAfterAFullBarEmptiesItWithTheNewCaption) {
  create(2);
  LICZNIK(2);
  ASSERT_EQ(filled(), licznikState().barWidth);
  LICZNIK("NEW", 5, "Firma 2");
  auto s = licznikState();
  EXPECT_EQ(s.maximum, 5);
  EXPECT_EQ(s.count, 0);
  EXPECT_EQ(s.last, 0);
  EXPECT_EQ(filled(), 0);
  ASSERT_EQ(s.bar->drawing().size(), 1u);
  EXPECT_EQ(s.bar->drawing()[0].color, s.bar->bg());  // emptied in the background colour
  EXPECT_EQ(s.bar->drawing()[0].size.w, s.barWidth);
  EXPECT_EQ(s.frame->caption(), "Firma 2");
  LICZNIK("NEW", 5, "");
  EXPECT_EQ(licznikState().frame->caption(), "Firma 2");
  LICZNIK(1);
  EXPECT_EQ(filled(), static_cast<int>(std::lround(1.0 * s.barWidth / 5)));
}

TEST_F(Progress, DeleteRemovesItAndIsHarmlessWithoutOne) {
  LICZNIK("DEL");
  LICZNIK(3);  // advancing nothing does nothing
  EXPECT_EQ(licznikState().frame, nullptr);
  create(3);
  LICZNIK("DEL");
  EXPECT_EQ(licznikState().frame, nullptr);
  EXPECT_TRUE(win->drawingArea().children().empty());
}

TEST_F(Progress, ZeroMaximumAndAGoneWindowAreSafe) {
  create(0);
  LICZNIK(1);
  EXPECT_EQ(filled(), 0);
  win->destroy();
  LICZNIK(1);
  LICZNIK("NEW", 3, "x");
  EXPECT_EQ(licznikState().frame, nullptr);
}

}  // namespace

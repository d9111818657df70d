// The times the upgrade's progress window shows. Groups: RemainingTime (the average pace times the
// firms left, across midnight, never "00:00:60" and never cut at a day), TimeSum (clock times added
// modulo a day, a malformed part read as zero) and ProgressTexts (firm, estimate and finish time
// written into the window; an unknown estimate never makes the finish time "now").
#include "upgrade/progress_times.h"
#include "upgrade/progress_window.h"

#include <gtest/gtest.h>

#include <regex>

#include "gui/application.h"
#include "gui/headless/headless.h"

using namespace tav;
using namespace tav::upgrade;

namespace {

TEST(RemainingTime, AveragePaceTimesFirmsLeft) {
  EXPECT_EQ(OBLICZ_CZAS(10), "");
  EXPECT_EQ(OBLICZ_CZAS(1000, 1120, 2), "00:08:00");
  EXPECT_EQ(OBLICZ_CZAS(0, 7385, 5), "02:03:05");
  EXPECT_EQ(OBLICZ_CZAS(1000, 1000, 0), "00:00:00");
  EXPECT_EQ(OBLICZ_CZAS(0, 50, 12), "00:00:00");     // more done than counted: none left
  EXPECT_EQ(OBLICZ_CZAS(86340, 60, 5), "00:02:00");  // 23:59:00 to 00:01:00
  OBLICZ_CZAS(3);
  EXPECT_EQ(OBLICZ_CZAS(0, 119.3, 2), "00:01:00");  // 59.65 s, never "00:00:60"
  EXPECT_EQ(OBLICZ_CZAS(0, 118.8, 2), "00:00:59");
  OBLICZ_CZAS(2);
  EXPECT_EQ(OBLICZ_CZAS(0, 3599.7, 1), "01:00:00");
  EXPECT_EQ(OBLICZ_CZAS(0, 7199.9999999, 1), "02:00:00");  // a hair below the hour
  OBLICZ_CZAS(1000);
  EXPECT_EQ(OBLICZ_CZAS(0, 600, 1), "166:30:00");  // days ahead: not "**:30:00"
  OBLICZ_CZAS(std::nullopt);
  EXPECT_EQ(OBLICZ_CZAS(0, 60, 1), "?");
}

TEST(TimeSum, AddsModuloADay) {
  EXPECT_EQ(G1_P_G2("23:30:00", "01:45:30"), "01:15:30");
  EXPECT_EQ(G1_P_G2("00:00:59", "00:00:01"), "00:01:00");
  EXPECT_EQ(G1_P_G2("12:59:59", "11:00:01"), "00:00:00");
  EXPECT_EQ(G1_P_G2("23:59:59", "23:59:59"), "23:59:58");
  EXPECT_EQ(G1_P_G2("10:00:00", "166:30:00"), "08:30:00");
  EXPECT_EQ(G1_P_G2("?", "12:00:00"), "12:00:00");
  EXPECT_EQ(G1_P_G2("08:xx:10", "00:01:00"), "08:01:10");
}

// The upgrade's progress window: its drawing area's children 8 to 12 hold the values.
TEST(ProgressTexts, FirmsEstimatesAndFinishTime) {
  gui::useHeadless();
  gui::Widget& area = gui::app().createDialog(nullptr, {0, 0}, {500, 300}).drawingArea();
  for (int i = 1; i <= 12; ++i)
    area.add<gui::Static>(gui::StaticType::Text, gui::Point{0, 20 * i}, gui::Size{100, 18})
        .setCaption("?");
  auto text = [&](size_t n) { return area.children().at(n - 1)->caption(); };
  auto seconds = [](const std::string& t) {
    return std::stoi(t.substr(0, 2)) * 3600 + std::stoi(t.substr(3, 2)) * 60 +
           std::stoi(t.substr(6));
  };
  auto finishesAfter = [&](int left) {
    EXPECT_TRUE(std::regex_match(text(9), std::regex(R"(\d\d:\d\d:\d\d)"))) << text(9);
    EXPECT_EQ(seconds(text(11)), (seconds(text(9)) + left) % 86400) << text(9) << " " << text(11);
  };
  OPISY(&area, "Firma 1", "?", "3/3");
  EXPECT_EQ(text(8) + text(10) + text(11) + text(12), "Firma 1??3/3");  // no estimate, no finish
  OPISY(&area, {}, "00:08:00");
  EXPECT_EQ(text(8) + " " + text(12), "Firma 1 3/3");
  finishesAfter(480);
  OPISY(&area, "Firma 2", {}, "2/3");  // the last estimate, from the clock of now
  EXPECT_EQ(text(8) + " " + text(10), "Firma 2 00:08:00");
  finishesAfter(480);
  EXPECT_EQ(text(7), "?");  // labels are not touched

  const std::string finish = text(11);
  OPISY(&area, {}, "?");
  OPISY(&area, "Firma 3");  // "?" still shown: the finish time is not made "now"
  EXPECT_EQ(text(10) + " " + text(11), "? " + finish);
  OPISY(nullptr, "Firma", "00:01:00", "1/1");
  gui::app().reset();
}

}  // namespace

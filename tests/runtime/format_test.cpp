#include <gtest/gtest.h>

#include "runtime/date.h"
#include "runtime/format.h"
#include "runtime/settings.h"

using namespace tav::rt;

TEST(Format, StrRoundsAndPads) {
  EXPECT_EQ(Str(5, 4, 0), "   5");
  EXPECT_EQ(Str(2.675, 6, 2), "  2.68");
  EXPECT_EQ(Str(-2.675, 6, 2), " -2.68");
  EXPECT_EQ(Str(12345, 4, 0), "****");
  EXPECT_EQ(Str(7), "         7");
  EXPECT_EQ(Str(-0.001, 5, 2), " 0.00");
  EXPECT_EQ(StrZero(5, 4, 0), "0005");
  EXPECT_EQ(StrZero(-5, 4, 0), "-005");
  EXPECT_EQ(StrZero(3.5, 6, 1), "0003.5");
}

TEST(Format, ValReadsLeadingNumber) {
  EXPECT_EQ(Val("  12.50abc").value, 12.5);
  EXPECT_EQ(Val("  12.50abc").decimals, 2);
  EXPECT_EQ(Val("-7").value, -7);
  EXPECT_EQ(Val("x1").value, 0);
  EXPECT_EQ(Val("").value, 0);
}

TEST(Format, TextFormOfValues) {
  resetSettings();
  settings().century = true;
  EXPECT_EQ(toText(Value(true)), ".T.");
  EXPECT_EQ(toText(Value(false)), ".F.");
  EXPECT_EQ(toText(Value()), "NIL");
  EXPECT_EQ(toText(Value(Date::fromYmd(2025, 3, 7))), "2025.03.07");
  EXPECT_EQ(toText(Value(Date())), "    .  .  ");
  resetSettings();
}

TEST(Format, ExactComparisonFollowsSetting) {
  resetSettings();
  EXPECT_TRUE(textEquals("ABCDEF", "ABC"));
  EXPECT_FALSE(textEquals("ABC", "ABCDEF"));
  settings().exact = true;
  EXPECT_FALSE(textEquals("ABCDEF", "ABC"));
  EXPECT_TRUE(textEquals("ABC   ", "ABC"));
  resetSettings();
}

TEST(Dates, JulianAndTextForms) {
  Date d = Date::fromYmd(2024, 2, 29);
  EXPECT_FALSE(d.empty());
  EXPECT_EQ(d.dtos(), "20240229");
  EXPECT_EQ(Date::fromDtos("20240229"), d);
  EXPECT_TRUE(Date::fromYmd(2023, 2, 29).empty());
  EXPECT_TRUE(Date::fromDtos("        ").empty());
  EXPECT_EQ(Date().dtos(), "        ");
  EXPECT_EQ((d + 1).dtos(), "20240301");
  EXPECT_EQ(Date::fromYmd(2000, 1, 1).julian(), 2451545);
  settings().century = true;
  EXPECT_EQ(Date::parse("2025.12.31")->dtos(), "20251231");
  EXPECT_FALSE(Date::parse("2025.13.01").has_value());
  resetSettings();
}

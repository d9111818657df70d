// Groups: Format (Str and Val, the text form of values, exact comparison) and Dates (the
// Julian, DTOS and display forms, and every impossible date refused by each reader of dates).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

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

// Dates reach the books from tables other programs wrote and from typed text. Every reader must
// refuse a day that does not exist (day 0, a day past its month's end, February 29 of a common
// year, month 0 or 13), or the day after it is stored instead. The calendar of the standard
// library says which days exist, for every year a date can have.
TEST(Dates, EveryImpossibleDateIsRefusedByEveryReader) {
  namespace chr = std::chrono;
  resetSettings();
  settings().epoch = 1950;
  long refused = 0, accepted = 0, failures = 0;
  auto expect = [&](bool ok, const Date& got, int y, int m, int d, const char* reader) {
    const bool right =
        ok ? !got.empty() && got.year() == y && got.month() == m && got.day() == d : got.empty();
    if (!right && ++failures <= 20)
      ADD_FAILURE() << reader << " of " << y << "-" << m << "-" << d << " gave "
                    << (got.empty() ? std::string("the empty date") : got.dtos());
  };
  for (int y = 1; y <= 9999; ++y) {
    for (int m = 0; m <= 13; ++m) {
      for (int d = 0; d <= 32; ++d) {
        const bool ok = chr::year_month_day(chr::year(y), chr::month(static_cast<unsigned>(m)),
                                            chr::day(static_cast<unsigned>(d)))
                            .ok();
        ++(ok ? accepted : refused);
        expect(ok, Date::fromYmd(y, m, d), y, m, d, "fromYmd");
        char text[16];
        std::snprintf(text, sizeof text, "%04d%02d%02d", y, m, d);
        expect(ok, Date::fromDtos(text), y, m, d, "fromDtos");
        std::snprintf(text, sizeof text, "%04d.%02d.%02d", y, m, d);
        const std::optional<Date> typed = Date::parse(text);
        expect(ok, typed.value_or(Date()), y, m, d, "parse");
        if (y >= 1950 && y <= 2049) {
          std::snprintf(text, sizeof text, "%02d.%02d.%02d", y % 100, m, d);
          expect(ok, Date::parse(text).value_or(Date()), y, m, d, "parse of yy.mm.dd");
        }
      }
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(accepted, 3652059);  // every day of years 1 to 9999
  EXPECT_GT(refused, accepted / 10);
  resetSettings();
}

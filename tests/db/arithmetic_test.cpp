// The arithmetic the conversions and the duration estimate compute amounts and times with, whose
// exact results they depend on. Groups: CInt (a value a hair below a whole number through binary
// error counts as that number, and the result is never "-0"), Round2 (half away from zero with an
// allowance of 1e-12, no more), GToN and G1PlusG2 (hours.minutes notation to decimal hours, and
// sums carrying 60 minutes to an hour).
#include <gtest/gtest.h>

#include <cmath>

#include "db/arithmetic.h"

using namespace tav::db;

TEST(CInt, WholeNumbersSurviveRepresentationError) {
  EXPECT_EQ(C_INT(2.9999999), 3);
  EXPECT_EQ(C_INT(2.99999999), 3);
  EXPECT_EQ(C_INT(-2.99999999), -3);
  EXPECT_EQ(C_INT(3.4), 3);
  EXPECT_EQ(C_INT(2.6), 2);
  EXPECT_EQ(C_INT(-2.6), -2);
  EXPECT_EQ(C_INT(5), 5);
  EXPECT_EQ(C_INT(0), 0);
  // Rounding gives -1, truncation 0: the nudged -0.5000001 truncates to 0, and not to "-0".
  EXPECT_EQ(C_INT(-0.5), 0);
  EXPECT_FALSE(std::signbit(C_INT(-0.5)));
  EXPECT_EQ(C_INT((7.3 - 7) * 100), 30);  // 29.999999999999982 in binary
}

TEST(Round2, HalfAwayFromZeroWithAnAllowance) {
  EXPECT_DOUBLE_EQ(ROUND2(2.675), 2.68);  // stored as 2.67499999999999982...
  EXPECT_DOUBLE_EQ(ROUND2(-2.675), -2.68);
  EXPECT_DOUBLE_EQ(ROUND2(1.005, 2), 1.01);
  EXPECT_DOUBLE_EQ(ROUND2(std::nextafter(std::nextafter(2.675, 0.0), 0.0)),
                   2.68);                       // further below still
  EXPECT_DOUBLE_EQ(ROUND2(2.674999999), 2.67);  // the allowance is 1e-12, no more
  EXPECT_DOUBLE_EQ(ROUND2(2.674), 2.67);
  EXPECT_DOUBLE_EQ(ROUND2(2.5, 0), 3);
  EXPECT_DOUBLE_EQ(ROUND2(-2.5, 0), -3);
  EXPECT_DOUBLE_EQ(ROUND2(1234.5678, 3), 1234.568);
  EXPECT_EQ(ROUND2(0), 0);
  EXPECT_FALSE(std::signbit(ROUND2(-0.0)));
}

TEST(GToN, HoursMinutesToDecimalHours) {
  EXPECT_DOUBLE_EQ(G_TO_N(7.30), 7.5);
  EXPECT_DOUBLE_EQ(G_TO_N(0.45), 0.75);
  EXPECT_DOUBLE_EQ(G_TO_N(0.59), 59.0 / 60);
  EXPECT_DOUBLE_EQ(G_TO_N(2), 2);
  EXPECT_DOUBLE_EQ(G_TO_N(1.01), 1 + 1.0 / 60);
}

TEST(G1PlusG2, SumsInHoursMinutes) {
  EXPECT_DOUBLE_EQ(G1_PLUS_G2({1.45, 0.30}), 2.15);
  EXPECT_DOUBLE_EQ(G1_PLUS_G2({0.40, 0.40}), 1.20);
  EXPECT_EQ(G1_PLUS_G2({}), 0);
  EXPECT_DOUBLE_EQ(G1_PLUS_G2({7.30}), 7.30);
  EXPECT_DOUBLE_EQ(G1_PLUS_G2({0.30, 0.30}), 1.0);
  EXPECT_DOUBLE_EQ(G1_PLUS_G2({0.59, 0.01, 0.59}), 1.59);
  EXPECT_DOUBLE_EQ(G1_PLUS_G2(std::vector<double>{1.15, 2.15, 3.15, 4.15}), 11.0);
  // Decimal places of 60 and more are not checked: 0.75 is 75 minutes.
  EXPECT_DOUBLE_EQ(G1_PLUS_G2({0.75}), 1.15);
}

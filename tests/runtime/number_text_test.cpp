// Str and Val against the printf and pow forms the runtime used to compute them with: every
// numeric field of every table is written and read through these two, so the fast forms must
// give the same bytes and the same doubles for any value, width and decimals, not only for the
// amounts the sample data happens to hold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "runtime/format.h"
#include "runtime/settings.h"

namespace {

using tav::rt::Str;
using tav::rt::Val;

// The reference: the formatter as the runtime always had it (pow for the scale, printf for the
// digits), for a len and dec already settled by Str.
std::string referenceFormat(double n, int len, int dec) {
  double scale = std::pow(10.0, dec);
  double r = std::round(std::fabs(n) * scale + 1e-9 * (std::fabs(n) * scale > 1e6 ? 0 : 1)) / scale;
  if (n < 0) r = -r;
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", dec, r);
  std::string s = buf;
  if (s == "-0" || (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos)) s.erase(0, 1);
  if (static_cast<int>(s.size()) > len) return std::string(static_cast<size_t>(len), '*');
  return std::string(static_cast<size_t>(len) - s.size(), ' ') + s;
}

// Str's own settling of len and dec, for explicit arguments.
std::string referenceStr(double n, int len, int dec) {
  if (len <= 0) return std::string();
  if (dec > len - 2) dec = len > 2 ? len - 2 : 0;
  return referenceFormat(n, len, dec);
}

// The reference reader: digits folded into a double, then divided by pow(10, decimals).
tav::rt::Number referenceVal(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  double v = 0;
  int dec = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      v = v * 10 + (c - '0');
      if (point) ++dec;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  v /= std::pow(10.0, dec);
  return tav::rt::Number{neg ? -v : v, -1, static_cast<int16_t>(dec)};
}

uint64_t bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

class NumberText : public ::testing::Test {
 protected:
  // Counts mismatches and keeps the first few, so that a fault shows its pattern at once.
  void check(double n, int len, int dec) {
    ++checked_;
    const std::string got = Str(n, len, dec), want = referenceStr(n, len, dec);
    if (got == want) return;
    if (++failures_ <= 10)
      ADD_FAILURE() << "Str(" << std::hexfloat << n << std::defaultfloat << " = " << n << ", "
                    << len << ", " << dec << ") gave \"" << got << "\", the runtime gave \"" << want
                    << "\"";
  }
  void checkAround(double n, int len, int dec) {
    check(n, len, dec);
    check(std::nextafter(n, HUGE_VAL), len, dec);
    check(std::nextafter(n, -HUGE_VAL), len, dec);
    check(-n, len, dec);
  }
  void TearDown() override {
    EXPECT_EQ(failures_, 0) << "of " << checked_ << " values";
    EXPECT_GT(checked_, 0);
  }
  std::mt19937_64 rng_{20261207};
  long checked_ = 0, failures_ = 0;
};

TEST_F(NumberText, StrGivesTheRuntimesBytesForAmountsOfEveryMagnitude) {
  std::uniform_real_distribution<double> exponent(-12.0, 22.0);
  std::uniform_int_distribution<int> width(1, 32), places(0, 20);
  for (int i = 0; i < 800000; ++i) {
    double n = std::pow(10.0, exponent(rng_));
    if (rng_() & 1) n = -n;
    check(n, width(rng_), places(rng_));
  }
}

TEST_F(NumberText, StrRoundsHalfwayCentsAndTheirNeighboursAsTheRuntimeDid) {
  // Decimal fractions one digit longer than shown: the .5 cases binary cannot hold, each with
  // its neighbouring doubles, across the widths and decimals of real fields.
  std::uniform_int_distribution<long long> units(0, 99999999999LL);
  for (int dec = 0; dec <= 6; ++dec) {
    for (int i = 0; i < 40000; ++i) {
      const long long u = units(rng_) % static_cast<long long>(std::pow(10, 12 - dec));
      const double half = (static_cast<double>(u) * 10 + 5) / std::pow(10.0, dec + 1);
      checkAround(half, 20, dec);
      checkAround(static_cast<double>(u) / std::pow(10.0, dec), 20, dec);
    }
  }
  // The nudge of a hundred-millionth stops at a million units: values around that edge.
  for (int dec = 0; dec <= 4; ++dec)
    for (double v = 999990; v < 1000010; v += 0.25)
      checkAround(v / std::pow(10.0, dec) + 0.5 / std::pow(10.0, dec), 14, dec);
}

TEST_F(NumberText, StrStarsWhatDoesNotFitAndKeepsNoSignOnAZero) {
  for (int len = 1; len <= 20; ++len) {
    for (int dec = 0; dec <= len; ++dec) {
      for (int digits = 0; digits <= 21; ++digits) {
        const double edge = std::pow(10.0, digits);
        checkAround(edge, len, dec);
        checkAround(edge - 0.5, len, dec);
        checkAround(edge - 0.5 / std::pow(10.0, dec), len, dec);
      }
      for (double tiny :
           {0.0, -0.0, 1e-300, -1e-300, 4.9e-324, 0.004, -0.004, 0.005, -0.005, 0.0049999999})
        check(tiny, len, dec);
    }
  }
}

TEST_F(NumberText, StrOfHugeCountsInfinitiesAndNaNIsTheRuntimesText) {
  const double two51 = 2251799813685248.0, two53 = 9007199254740992.0;
  for (int len : {10, 20, 25, 40, 60, 120}) {
    for (int dec : {0, 1, 2, 4, 8, 19, 22, 23, 30, 41, 45, 58}) {
      for (double n :
           {two51, two51 - 1, two51 + 1, two53, two53 + 2, 1e17, 123456789012345678.0, 1e22, 1e23,
            1e30, 1.7976931348623157e308, std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::quiet_NaN(), 3.14159, 0.1, 1e-5})
        checkAround(n, len, dec);
      for (int i = 0; i < 200; ++i)
        check(std::ldexp(static_cast<double>(rng_() >> 11), static_cast<int>(rng_() % 120) - 60),
              len, dec);
    }
  }
  // Small counts of very many decimals: printed from the count, with a scale pow rounds.
  std::uniform_real_distribution<double> digits(0.0, 15.5);
  for (int dec = 20; dec <= 44; ++dec)
    for (int i = 0; i < 3000; ++i) checkAround(std::pow(10.0, digits(rng_) - dec), 60, dec);
}

TEST_F(NumberText, StrWithTheRuntimesDefaultsAndStrZeroFollowTheSameDigits) {
  // Defaults (len and dec left to the runtime) go through the same formatter.
  std::uniform_real_distribution<double> amount(-1e9, 1e9);
  for (int i = 0; i < 20000; ++i) {
    const double n = std::round(amount(rng_)) / 100;
    const int dec = n == std::floor(n) ? 0 : tav::rt::settings().decimals;
    ++checked_;
    EXPECT_EQ(Str(n), referenceStr(n, 10 + (dec > 0 ? dec + 1 : 0), dec)) << n;
    const std::string z = tav::rt::StrZero(n, 14, 2);
    std::string want = referenceStr(n, 14, 2);
    if (want[0] != '*') {
      const bool neg = want.find('-') != std::string::npos;
      for (char& c : want)
        if (c == ' ' || c == '-') c = '0';
      if (neg) want[0] = '-';
    }
    EXPECT_EQ(z, want) << n;
  }
}

TEST(NumberTextVal, ValReadsEveryTextAsTheSameDoubleAsTheRuntime) {
  std::mt19937_64 rng(7);
  const char alphabet[] = "0123456789012345678901234567890123456789.  -+x";
  long mismatches = 0;
  for (int i = 0; i < 600000; ++i) {
    std::string s;
    const size_t n = rng() % 40;
    for (size_t k = 0; k < n; ++k) s += alphabet[rng() % (sizeof alphabet - 1)];
    const auto got = Val(s), want = referenceVal(s);
    if (bits(got.value) != bits(want.value) || got.decimals != want.decimals) {
      if (++mismatches <= 10)
        ADD_FAILURE() << "Val(\"" << s << "\") = " << got.value << ", runtime " << want.value;
    }
  }
  // Field texts: right-aligned amounts with their decimals, the overwhelming case.
  for (int i = 0; i < 300000; ++i) {
    const int dec = static_cast<int>(rng() % 8);
    const long long u = static_cast<long long>(rng() % 100000000000000000ULL) >> (rng() % 50);
    std::string s =
        Str(static_cast<double>(u) / std::pow(10.0, dec) * ((rng() & 1) ? -1 : 1), 24, dec);
    const auto got = Val(s), want = referenceVal(s);
    if (bits(got.value) != bits(want.value) || got.decimals != want.decimals) {
      if (++mismatches <= 10)
        ADD_FAILURE() << "Val(\"" << s << "\") = " << got.value << ", runtime " << want.value;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(NumberTextVal, PowersOfTenAreThoseOfPow) {
  for (unsigned e = 0; e <= 400; ++e)
    EXPECT_EQ(bits(tav::rt::powerOfTen(e)), bits(std::pow(10.0, static_cast<double>(e))))
        << "10^" << e;
}

}  // namespace

namespace {

TEST(NumberTextDates, EveryDayIsWrittenAsPrintfWroteItAndReadsBack) {
  using tav::rt::Date;
  const Date first = Date::fromYmd(1, 1, 1), last = Date::fromYmd(9999, 12, 31);
  long mismatches = 0, days = 0;
  for (Date d = first; !(last < d); d = d + 1, ++days) {
    char want[16];
    std::snprintf(want, sizeof want, "%04d%02d%02d", d.year(), d.month(), d.day());
    const std::string got = d.dtos();
    if ((got != want || !(Date::fromDtos(got) == d)) && ++mismatches <= 10)
      ADD_FAILURE() << got << " for " << want;
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(days, 3652059);
}

}  // namespace

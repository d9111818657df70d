#pragma once

// How the tool truncates, rounds and adds amounts and times held in binary floating point. The
// small constants (1e-7, 1e-12) absorb representation error; the conversions and the duration
// estimate depend on exactly these results.

#include <initializer_list>
#include <vector>

namespace tav::db {

// The integer part, robust against representation error: 2.99999999 gives 3, 2.6 gives 2,
// -0.5 gives 0.
double C_INT(double n);

// Rounded half away from zero to `decimals` places, with 1e-12 added to the magnitude so that a
// value stored just below a half (2.67499999999) rounds up.
double ROUND2(double n, int decimals = 2);

// A time in hours.minutes notation (7.30 = 7 h 30 min) in decimal hours (7.5).
double G_TO_N(double hoursMinutes);

// The sum of times in hours.minutes notation, in that notation (1.45 + 0.30 = 2.15).
double G1_PLUS_G2(const std::vector<double>& hoursMinutes);
inline double G1_PLUS_G2(std::initializer_list<double> hoursMinutes) {
  return G1_PLUS_G2(std::vector<double>(hoursMinutes));
}

}  // namespace tav::db

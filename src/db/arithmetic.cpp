// The amount and time arithmetic of the conversions. Results carry no negative zero, which would
// print as "-0" in the books.

#include "db/arithmetic.h"

#include <cmath>

namespace tav::db {

namespace {

// The runtime's Round(): half away from zero, without any allowance of its own.
double roundHalfAway(double n, int decimals) {
  double scale = std::pow(10.0, decimals);
  return std::round(n * scale) / scale;
}

// No negative zero in results: it would print as "-0".
double noNegativeZero(double v) { return v == 0 ? 0.0 : v; }

// Minutes of a time in hours.minutes notation.
double minutesOf(double g) {
  double hours = C_INT(g);
  return hours * 60 + C_INT((g - hours) * 100);
}

}  // namespace

double C_INT(double n) {
  double whole = std::trunc(n);
  if (roundHalfAway(n, 0) == whole) return noNegativeZero(whole);
  return noNegativeZero(std::trunc(n > 0 ? n + 1e-7 : n - 1e-7));
}

double ROUND2(double n, int decimals) {
  if (n > 0) return roundHalfAway(n + 1e-12, decimals);
  if (n < 0) return -roundHalfAway(-n + 1e-12, decimals);
  return 0;
}

double G_TO_N(double g) {
  double hours = C_INT(g);
  double minutes = C_INT((g - hours) * 100);
  return hours + minutes / 60;
}

double G1_PLUS_G2(const std::vector<double>& times) {
  double total = 0;
  for (double g : times) total += minutesOf(g);
  double hours = C_INT(total / 60);
  double rest = total - hours * 60;
  // Totals are whole minutes, so this only guards against a remainder that lands a hair off
  // either end of the hour.
  if (std::fabs(rest) < 1e-6) rest = 0;
  if (std::fabs(rest - 60) < 1e-6) {
    hours += 1;
    rest = 0;
  }
  return noNegativeZero(hours + rest / 100);
}

}  // namespace tav::db

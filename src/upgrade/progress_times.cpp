// The progress window's times. Seconds are rounded before they are carried, so 59.6 seconds never
// shows as "60", and one clock reading serves both the time left and the finish time.

#include "upgrade/progress_times.h"

#include <cmath>
#include <vector>

#include "db/arithmetic.h"
#include "runtime/clock.h"
#include "runtime/format.h"

namespace tav::upgrade {
namespace {

constexpr double kDay = 24 * 3600;

std::optional<double>& totalFirms() {
  static std::optional<double> total;
  return total;
}

struct Clock {
  double hours = 0, minutes = 0, seconds = 0;
};

// Whole hours, minutes and seconds of a non-negative number of seconds. The seconds are rounded
// before they are carried: left for the formatting to round, 59.6 seconds would show as "60".
Clock split(double total) {
  Clock c;
  c.hours = db::C_INT(total / 3600);
  total -= c.hours * 3600;
  c.minutes = db::C_INT(total / 60);
  c.seconds = db::ROUND2(total - c.minutes * 60, 0);
  // C_INT rounds a hair below a whole number up, which leaves a hair below zero behind.
  if (c.minutes < 0) c.minutes = 0;
  if (c.seconds < 0) c.seconds = 0;
  if (c.seconds >= 60) {
    c.seconds = 0;
    c.minutes += 1;
  }
  if (c.minutes >= 60) {
    c.minutes = 0;
    c.hours += 1;
  }
  return c;
}

std::string twoDigits(double n) { return rt::StrZero(n, 2, 0); }

std::string format(const Clock& c) {
  // A huge database can be days from its end after the first firm; "**" would hide that.
  const int width =
      c.hours >= 100 ? static_cast<int>(std::to_string(static_cast<long long>(c.hours)).size()) : 2;
  return rt::StrZero(c.hours, width, 0) + ":" + twoDigits(c.minutes) + ":" + twoDigits(c.seconds);
}

// Seconds of an "HH:MM:SS" text.
double secondsOf(std::string_view time) {
  double parts[3] = {0, 0, 0};
  size_t part = 0;
  while (part < 3) {
    const size_t colon = time.find(':');
    parts[part++] = rt::Val(time.substr(0, colon)).value;
    if (colon == std::string_view::npos) break;
    time.remove_prefix(colon + 1);
  }
  return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

}  // namespace

std::string OBLICZ_CZAS(std::optional<double> total) {
  totalFirms() = total;
  return "";
}

std::string OBLICZ_CZAS(double startSeconds, double nowSeconds, double firmsDone) {
  if (!totalFirms()) return "?";
  if (firmsDone < 1) return "00:00:00";
  double remaining =
      (*totalFirms() - firmsDone) * elapsedSeconds(startSeconds, nowSeconds) / firmsDone;
  // More firms done than counted at the start: none are left, not a negative time.
  if (remaining < 0) remaining = 0;
  return format(split(remaining));
}

std::string G1_P_G2(std::string_view time1, std::string_view time2) {
  double sum = std::fmod(secondsOf(time1) + secondsOf(time2), kDay);
  if (sum < 0) sum += kDay;
  Clock c = split(sum);
  c.hours = std::fmod(c.hours, 24);
  return twoDigits(c.hours) + ":" + twoDigits(c.minutes) + ":" + twoDigits(c.seconds);
}

double elapsedSeconds(double startSeconds, double nowSeconds) {
  const double elapsed = nowSeconds - startSeconds;
  return elapsed < 0 ? elapsed + kDay : elapsed;
}

}  // namespace tav::upgrade

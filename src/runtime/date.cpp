// Dates as Julian day numbers: conversion from and to calendar dates, the DTOS and display
// forms. An empty date is day 0 and prints as blanks; only valid Gregorian dates of years 1 to
// 9999 are ever made from text.
#include "runtime/date.h"

#include <cstdio>
#include <ctime>

#include "runtime/settings.h"

namespace tav::rt {
namespace {

bool validYmd(int y, int m, int d) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  int dim = kDays[m - 1] + (m == 2 && leap ? 1 : 0);
  return d <= dim;
}

int digits(std::string_view s, size_t pos, size_t n) {
  int v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

}  // namespace

Date Date::fromYmd(int y, int m, int d) {
  if (!validYmd(y, m, d)) return Date();
  // Gregorian calendar to Julian day number (Fliegel and Van Flandern).
  int a = (14 - m) / 12;
  int yy = y + 4800 - a;
  int mm = m + 12 * a - 3;
  int32_t jd = d + (153 * mm + 2) / 5 + 365 * yy + yy / 4 - yy / 100 + yy / 400 - 32045;
  return fromJulian(jd);
}

Date Date::fromStoredJulian(int64_t jd) {
  static const int32_t first = fromYmd(1, 1, 1).julian(), last = fromYmd(9999, 12, 31).julian();
  return jd < first || jd > last ? Date() : fromJulian(static_cast<int32_t>(jd));
}

Date Date::today() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return fromYmd(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

void Date::toYmd(int& y, int& m, int& d) const {
  if (empty()) {
    y = m = d = 0;
    return;
  }
  int a = julian_ + 32044;
  int b = (4 * a + 3) / 146097;
  int c = a - 146097 * b / 4;
  int dd = (4 * c + 3) / 1461;
  int e = c - 1461 * dd / 4;
  int mm = (5 * e + 2) / 153;
  d = e - (153 * mm + 2) / 5 + 1;
  m = mm + 3 - 12 * (mm / 10);
  y = 100 * b + dd - 4800 + mm / 10;
}

int Date::year() const {
  int y, m, d;
  toYmd(y, m, d);
  return y;
}
int Date::month() const {
  int y, m, d;
  toYmd(y, m, d);
  return m;
}
int Date::day() const {
  int y, m, d;
  toYmd(y, m, d);
  return d;
}

std::string Date::dtos() const {
  if (empty()) return std::string(8, ' ');
  int y, m, d;
  toYmd(y, m, d);
  // Every date field of a table is written through here: digits by hand, not through printf.
  std::string out(8, '0');
  for (int i = 3; i >= 0; --i, y /= 10)
    out[static_cast<size_t>(i)] = static_cast<char>('0' + y % 10);
  out[4] = static_cast<char>('0' + m / 10);
  out[5] = static_cast<char>('0' + m % 10);
  out[6] = static_cast<char>('0' + d / 10);
  out[7] = static_cast<char>('0' + d % 10);
  return out;
}

Date Date::fromDtos(std::string_view s) {
  if (s.size() < 8) return Date();
  int y = digits(s, 0, 4), m = digits(s, 4, 2), d = digits(s, 6, 2);
  if (y < 0 || m < 0 || d < 0) return Date();
  return fromYmd(y, m, d);
}

std::string Date::toText() const {
  bool century = settings().century;
  if (empty()) return century ? "    .  .  " : "  .  .  ";
  int y, m, d;
  toYmd(y, m, d);
  char buf[16];
  if (century)
    std::snprintf(buf, sizeof buf, "%04d.%02d.%02d", y, m, d);
  else
    std::snprintf(buf, sizeof buf, "%02d.%02d.%02d", y % 100, m, d);
  return buf;
}

std::optional<Date> Date::parse(std::string_view s) {
  if (s.size() == 10 && s[4] == '.' && s[7] == '.') {
    int y = digits(s, 0, 4), m = digits(s, 5, 2), d = digits(s, 8, 2);
    if (y < 0 || m < 0 || d < 0 || !validYmd(y, m, d)) return std::nullopt;
    return fromYmd(y, m, d);
  }
  if (s.size() == 8 && s[2] == '.' && s[5] == '.') {
    int y = digits(s, 0, 2), m = digits(s, 3, 2), d = digits(s, 6, 2);
    if (y < 0 || m < 0 || d < 0) return std::nullopt;
    y += settings().epoch / 100 * 100;
    if (y < settings().epoch) y += 100;
    if (!validYmd(y, m, d)) return std::nullopt;
    return fromYmd(y, m, d);
  }
  return std::nullopt;
}

}  // namespace tav::rt

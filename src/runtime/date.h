#pragma once

// Calendar dates of the runtime, held as Julian day numbers; 0 is the empty date, which is what a
// blank date field reads as.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tav::rt {

// A calendar date held as its Julian day number; 0 is the empty date, as in the tables.
class Date {
 public:
  constexpr Date() = default;
  static constexpr Date fromJulian(int32_t jd) {
    Date d;
    d.julian_ = jd;
    return d;
  }
  static Date fromYmd(int year, int month, int day);  // empty when the date does not exist
  // A Julian day number another writer stored (a datetime field): empty outside 0001-01-01 to
  // 9999-12-31, the only days this runtime prints and writes back as eight digits.
  static Date fromStoredJulian(int64_t jd);
  static Date today();

  constexpr bool empty() const { return julian_ == 0; }
  constexpr int32_t julian() const { return julian_; }
  void toYmd(int& year, int& month, int& day) const;
  int year() const;
  int month() const;
  int day() const;

  // "yyyymmdd", eight blanks for the empty date.
  std::string dtos() const;
  static Date fromDtos(std::string_view s);  // empty for blanks or an invalid date
  // The display form of the runtime settings: "yyyy.mm.dd" (or "yy.mm.dd"); blanks with dots when
  // empty.
  std::string toText() const;
  // Reads the display form ("yyyy.mm.dd", "yy.mm.dd"); nullopt when it is not a date.
  static std::optional<Date> parse(std::string_view s);

  Date operator+(int days) const { return empty() ? *this : fromJulian(julian_ + days); }
  int operator-(Date o) const { return julian_ - o.julian_; }
  friend constexpr bool operator==(Date a, Date b) = default;
  friend constexpr auto operator<=>(Date a, Date b) = default;

 private:
  int32_t julian_ = 0;
};

}  // namespace tav::rt

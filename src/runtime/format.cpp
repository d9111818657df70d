// Str, StrZero and Val: the number texts of the runtime, which every numeric field of a table is
// written and read through, so they are built for speed without printf or pow and must give
// exactly the bytes the runtime always gave: |n| * 10^dec rounded half away from zero (a
// hundred-millionth of a unit nudging values at most a million units over a .5 that binary
// fractions miss), then that value printed to dec places as C's "%.*f" prints it, with a minus
// sign only on a result that is not zero. tests/runtime/number_text_test.cpp holds that printf form
// and checks this one against it over millions of values.
#include "runtime/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "runtime/settings.h"

namespace tav::rt {
namespace {

// 10^0 to 10^22: every power a double holds exactly, which is also what std::pow gives for them.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Below this a rounded count of units k prints, after k / 10^dec, as k's own digits: the
// quotient is then within far less than half a unit of the last place of k / 10^dec.
constexpr double kExactUnits = 2251799813685248.0;  // 2^51

// Longest text the runtime's formatter ever gave (its buffer held 511 characters and a NUL).
constexpr size_t kLongestText = 511;
// Decimals beyond these take the exact path: no field has so many.
constexpr int kFastDecimals = 40;

int decimalsOf(double n) {
  // The runtime shows fractions with SET DECIMALS places, whole numbers with none.
  return n == std::floor(n) ? 0 : settings().decimals;
}

// Writes the decimal digits of `units` with `dec` of them after a point (at least one before
// it) backwards from `end`; returns the first character written.
char* unitsText(uint64_t units, int dec, char* end) {
  char* p = end;
  int written = 0;
  do {
    if (dec > 0 && written == dec) *--p = '.';
    *--p = static_cast<char>('0' + units % 10);
    units /= 10;
    ++written;
  } while (units != 0 || written <= dec);
  return p;
}

// `r` printed exactly to `dec` places, as printf's "%.*f" prints it (to_chars is its exact,
// locale-free twin), cut where the runtime's buffer ended; a rounded zero keeps no sign.
std::string exactText(double r, int dec) {
  std::string out(330 + static_cast<size_t>(dec), '\0');  // sign, 309 digits, point, decimals
  auto res = std::to_chars(out.data(), out.data() + out.size(), r, std::chars_format::fixed, dec);
  out.resize(res.ec == std::errc()
                 ? std::min(static_cast<size_t>(res.ptr - out.data()), kLongestText)
                 : 0);
  if (!out.empty() && out[0] == '-' &&
      std::all_of(out.begin() + 1, out.end(), [](char c) { return c == '0' || c == '.'; }))
    out.erase(0, 1);
  return out;
}

std::string format(double n, int len, int dec) {
  const double scale = powerOfTen(static_cast<unsigned>(dec));
  const double a = std::fabs(n) * scale;
  const double units = std::round(a + (a > 1e6 ? 0.0 : 1e-9));
  const size_t width = static_cast<size_t>(len);
  if (units < kExactUnits && dec <= kFastDecimals) {
    // The common case: the digits of the rounded count, signed only when it is not zero.
    char buf[64];
    char* end = buf + sizeof buf;
    char* text = unitsText(static_cast<uint64_t>(units), dec, end);
    if (n < 0 && units != 0) *--text = '-';
    const size_t size = static_cast<size_t>(end - text);
    if (size > width) return std::string(width, '*');
    std::string out(width - size, ' ');
    out.append(text, size);
    return out;
  }
  // Huge counts, infinities and NaN.
  double r = units / scale;
  if (n < 0) r = -r;
  std::string text = exactText(r, dec);
  if (text.size() > width) return std::string(width, '*');
  return std::string(width - text.size(), ' ') + text;
}

}  // namespace

double powerOfTen(unsigned exponent) {
  if (exponent < std::size(kPowersOfTen)) return kPowersOfTen[exponent];
  // Beyond these pow is not even correctly rounded everywhere (10^23 comes out one unit high),
  // and the runtime's texts of numbers with so many decimals followed it: so do these, on a path
  // that no table field reaches.
  return std::pow(10.0, static_cast<double>(exponent));
}

std::string Str(double n, int len, int dec) {
  if (dec < 0) dec = decimalsOf(n);
  if (len < 0) len = 10 + (dec > 0 ? dec + 1 : 0);
  if (len <= 0) return std::string();
  if (dec > len - 2) dec = len > 2 ? len - 2 : 0;
  return format(n, len, dec);
}

std::string Str(const Number& n) {
  int dec = n.decimals >= 0 ? n.decimals : decimalsOf(n.value);
  int len = n.width >= 0 ? n.width : 10 + (dec > 0 ? dec + 1 : 0);
  return Str(n.value, len, dec);
}

std::string StrZero(double n, int len, int dec) {
  std::string s = Str(n, len, dec);
  if (!s.empty() && s[0] == '*') return s;
  bool neg = s.find('-') != std::string::npos;
  for (char& c : s) {
    if (c == ' ' || c == '-') c = '0';
  }
  if (neg) s[0] = '-';
  return s;
}

// The same double arithmetic as ever (each digit folded in as v * 10 + d, then one division by
// the power of the decimals), so that every text reads as the same number it always did.
Number Val(std::string_view s) {
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
  v /= powerOfTen(static_cast<unsigned>(dec));
  return Number{neg ? -v : v, -1, static_cast<int16_t>(dec)};
}

std::string toText(const Value& v) {
  switch (v.type()) {
    case Type::Nil:
      return "NIL";
    case Type::Character:
    case Type::Memo:
      return v.str();
    case Type::Numeric:
      return Str(v.numInfo());
    case Type::Date:
      return v.date().toText();
    case Type::Logical:
      return v.log() ? ".T." : ".F.";
    case Type::Array:
      return "{...}";
    case Type::Block:
      return "{||...}";
  }
  return "";
}

std::string_view allTrimmed(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return s.substr(b, e - b);
}

std::string allTrim(std::string_view s) { return std::string(allTrimmed(s)); }

std::string rTrim(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && s[e - 1] == ' ') --e;
  return std::string(s.substr(0, e));
}

std::string lTrim(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && s[b] == ' ') ++b;
  return std::string(s.substr(b));
}

std::string padRight(std::string_view s, size_t n, char fill) {
  std::string out(s.substr(0, n));
  out.resize(n, fill);
  return out;
}

std::string padLeft(std::string_view s, size_t n, char fill) {
  if (s.size() >= n) return std::string(s.substr(0, n));
  return std::string(n - s.size(), fill) + std::string(s);
}

bool textEquals(std::string_view a, std::string_view b) {
  if (settings().exact) return rTrim(a) == rTrim(b);
  if (b.size() > a.size()) return false;
  return a.substr(0, b.size()) == b;
}

}  // namespace tav::rt

#include "runtime/format.h"

#include <cmath>
#include <cstdio>

#include "runtime/settings.h"

namespace tav::rt {
namespace {

int decimalsOf(double n) {
  // The runtime shows fractions with SET DECIMALS places, whole numbers with none.
  return n == std::floor(n) ? 0 : settings().decimals;
}

std::string format(double n, int len, int dec) {
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

}  // namespace

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
  v /= std::pow(10.0, dec);
  return Number{neg ? -v : v, -1, static_cast<int16_t>(dec)};
}

std::string toText(const Value& v) {
  switch (v.type()) {
    case Type::Nil: return "NIL";
    case Type::Character:
    case Type::Memo: return v.str();
    case Type::Numeric: return Str(v.numInfo());
    case Type::Date: return v.date().toText();
    case Type::Logical: return v.log() ? ".T." : ".F.";
    case Type::Array: return "{...}";
    case Type::Block: return "{||...}";
  }
  return "";
}

std::string allTrim(std::string_view s) { return lTrim(rTrim(s)); }

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

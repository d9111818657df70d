// The code page converters and the 852 case mapping. Where two bytes of a page map to one code
// point, the reverse tables keep the lower byte, so a round trip always gives the same byte.

#include "runtime/codepage.h"

#include <array>
#include <unordered_map>

#include "runtime/codepage_tables.h"

namespace tav::rt {
namespace {

using detail::kCp1250ToUnicode;
using detail::kCp852ToUnicode;

struct Reverse {
  std::unordered_map<char32_t, unsigned char> map;
  explicit Reverse(const std::array<char32_t, 256>& t) {
    for (int b = 255; b >= 0; --b) map[t[b]] = static_cast<unsigned char>(b);
  }
  int find(char32_t cp) const {
    auto it = map.find(cp);
    return it == map.end() ? -1 : it->second;
  }
};

const Reverse& reverse852() {
  static const Reverse r(kCp852ToUnicode);
  return r;
}
const Reverse& reverse1250() {
  static const Reverse r(kCp1250ToUnicode);
  return r;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one scalar; malformed input yields U+FFFD and consumes one byte.
char32_t nextUtf8(std::string_view s, size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (int k = 1; k < len; ++k) {
    unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  i += len;
  return cp;
}

std::string toUtf8(std::string_view in, const std::array<char32_t, 256>& t) {
  std::string out;
  out.reserve(in.size() + in.size() / 4);
  for (char c : in) appendUtf8(out, t[static_cast<unsigned char>(c)]);
  return out;
}

std::string fromUtf8(std::string_view in, const Reverse& r) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    int b = r.find(nextUtf8(in, i));
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;
}

std::string between(std::string_view in, const std::array<char32_t, 256>& from, const Reverse& to) {
  std::string out;
  out.reserve(in.size());
  for (char c : in) {
    int b = to.find(from[static_cast<unsigned char>(c)]);
    out += b < 0 ? '?' : static_cast<char>(b);
  }
  return out;
}

struct CaseTables {
  std::array<char, 256> up{}, low{};
  CaseTables() {
    for (int b = 0; b < 256; ++b) up[b] = low[b] = static_cast<char>(b);
    for (int b = 0; b < 256; ++b) {
      char32_t cp = kCp852ToUnicode[b];
      char32_t u = cp, l = cp;
      if (cp >= U'a' && cp <= U'z')
        u = cp - 32;
      else if (cp >= U'A' && cp <= U'Z')
        l = cp + 32;
      else if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7)
        u = cp - 32;
      else if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7)
        l = cp + 32;
      else if (cp >= 0x100 && cp <= 0x17F) {
        // Latin Extended-A pairs capital/small as even/odd, except 0x138 and the 0x139..0x148 and
        // 0x179..0x17E runs, which pair odd/even.
        bool oddCapital = (cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E);
        bool isCapital = oddCapital ? (cp & 1) : !(cp & 1);
        if (cp != 0x138 && cp != 0x149 && cp != 0x17F) {
          if (isCapital)
            l = cp + 1;
          else
            u = cp - 1;
        }
      }
      int ub = reverse852().find(u), lb = reverse852().find(l);
      if (u != cp && ub >= 0) up[b] = static_cast<char>(ub);
      if (l != cp && lb >= 0) low[b] = static_cast<char>(lb);
    }
  }
};

const CaseTables& cases() {
  static const CaseTables t;
  return t;
}

}  // namespace

std::string oemToUtf8(std::string_view s) { return toUtf8(s, kCp852ToUnicode); }
std::string ansiToUtf8(std::string_view s) { return toUtf8(s, kCp1250ToUnicode); }
std::string utf8ToOem(std::string_view s) { return fromUtf8(s, reverse852()); }
std::string utf8ToAnsi(std::string_view s) { return fromUtf8(s, reverse1250()); }
std::string oemToAnsi(std::string_view s) { return between(s, kCp852ToUnicode, reverse1250()); }
std::string ansiToOem(std::string_view s) { return between(s, kCp1250ToUnicode, reverse852()); }

std::string utf8ToUtf16le(std::string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  auto unit = [&](char32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  };
  for (size_t i = 0; i < s.size();) {
    char32_t cp = nextUtf8(s, i);
    if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;  // a surrogate written as UTF-8 is malformed
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 | (cp >> 10));
      unit(0xDC00 | (cp & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

std::optional<std::string> utf16leToUtf8(std::string_view s) {
  if (s.size() % 2) return std::nullopt;
  std::string out;
  out.reserve(s.size());
  auto unit = [&](size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(s[i])) |
           (static_cast<char32_t>(static_cast<unsigned char>(s[i + 1])) << 8);
  };
  for (size_t i = 0; i < s.size(); i += 2) {
    char32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 2 < s.size()) {
      char32_t lo = unit(i + 2);
      if (lo >= 0xDC00 && lo < 0xE000) {
        appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        i += 2;
        continue;
      }
    }
    appendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
  }
  return out;
}

char upperCharBeyondAscii(char c) { return cases().up[static_cast<unsigned char>(c)]; }
char lowerCharBeyondAscii(char c) { return cases().low[static_cast<unsigned char>(c)]; }

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = upperChar(c);
  return out;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lowerChar(c);
  return out;
}

}  // namespace tav::rt

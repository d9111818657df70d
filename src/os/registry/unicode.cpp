#include "os/registry/unicode.h"

#include <cstdint>

namespace tav::os {
namespace {

void putUnit(std::string& out, uint32_t u) {
  out += static_cast<char>(u & 0xFF);
  out += static_cast<char>((u >> 8) & 0xFF);
}

void appendUtf8(std::string& out, uint32_t cp) {
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

}  // namespace

std::string utf8ToUtf16le(std::string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    uint32_t cp = 0xFFFD;
    if (len == 0 || i + len > s.size()) {
      ++i;
    } else {
      cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
      bool ok = true;
      for (int k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) { ok = false; break; }
        cp = (cp << 6) | (cc & 0x3F);
      }
      if (ok) {
        i += len;
      } else {
        cp = 0xFFFD;
        ++i;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      putUnit(out, 0xD800 | (cp >> 10));
      putUnit(out, 0xDC00 | (cp & 0x3FF));
    } else {
      putUnit(out, cp);
    }
  }
  return out;
}

std::optional<std::string> utf16leToUtf8(std::string_view s) {
  if (s.size() % 2) return std::nullopt;
  std::string out;
  out.reserve(s.size());
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[i])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(s[i + 1])) << 8);
  };
  for (size_t i = 0; i < s.size(); i += 2) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 2 < s.size()) {
      uint32_t lo = unit(i + 2);
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

}  // namespace tav::os

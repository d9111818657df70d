// The UTF-8 / 852 / 1250 <-> UTF-16 conversions of os/wide.h. Code page texts go through UTF-8,
// whose tables the runtime keeps (runtime/codepage), so each page has one table in the tool.
#include "os/wide.h"

#include "runtime/codepage.h"

namespace tav::os {

std::wstring wideFromUtf8(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  auto unit = [&](char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        return;
      }
    }
    out += static_cast<wchar_t>(c);
  };
  for (size_t i = 0; i < s.size();) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + static_cast<size_t>(len) > s.size()) {
      unit(0xFFFD);
      ++i;
      continue;
    }
    char32_t c = len == 1 ? b : b & (0x7F >> len);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      const unsigned char n = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      if ((n & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (n & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || c < kMin[len] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      unit(0xFFFD);
      ++i;
      continue;
    }
    unit(c);
    i += static_cast<size_t>(len);
  }
  return out;
}

std::string utf8FromWide(std::wstring_view w) {
  std::string out;
  out.reserve(w.size());
  for (size_t i = 0; i < w.size(); ++i) {
    char32_t c = static_cast<char32_t>(w[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 &&
          w[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(w[++i]) - 0xDC00);
      } else if (c >= 0xD800 && c <= 0xDFFF) {
        c = 0xFFFD;
      }
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring wideFromOem(std::string_view oem) { return wideFromUtf8(rt::oemToUtf8(oem)); }
std::string oemFromWide(std::wstring_view w) { return rt::utf8ToOem(utf8FromWide(w)); }
std::wstring wideFromAnsi(std::string_view ansi) { return wideFromUtf8(rt::ansiToUtf8(ansi)); }
std::string ansiFromWide(std::wstring_view w) { return rt::utf8ToAnsi(utf8FromWide(w)); }

std::filesystem::path hostPath(std::string_view utf8Text) {
#ifdef _WIN32
  return std::filesystem::path(wideFromUtf8(utf8Text));
#else
  return std::filesystem::path(std::string(utf8Text));
#endif
}

std::string utf8(const std::filesystem::path& host) {
#ifdef _WIN32
  return utf8FromWide(host.native());
#else
  return host.native();
#endif
}

std::string oemText(const std::filesystem::path& host) { return rt::utf8ToOem(utf8(host)); }

}  // namespace tav::os

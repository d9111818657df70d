// Parsing and writing the export-format text of one registry root. Every stored byte must read back
// exactly; a parent key is always written before its subkeys.

#include "os/registry/hive.h"

#include <array>
#include <cstdio>

#include "runtime/codepage.h"

namespace tav::os::reg {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr char kFoldedSeparator = '\x01';

// Upper case of code page 1250 bytes: through 852 where the letter exists in both pages, so that
// Polish key names fold the way the tool's own text does; other bytes stay as they are.
const std::array<char, 256>& ansiUpper() {
  static const std::array<char, 256> table = [] {
    std::array<char, 256> t{};
    for (int b = 0; b < 256; ++b) {
      std::string one(1, static_cast<char>(b));
      std::string oem = rt::ansiToOem(one);
      std::string back = rt::oemToAnsi(rt::upper(oem));
      t[b] = (rt::oemToAnsi(oem) == one && back.size() == 1 && back != "?") ? back[0]
                                                                            : static_cast<char>(b);
    }
    return t;
  }();
  return table;
}

bool isStringType(uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string quote(std::string_view ansi) {
  std::string out = "\"";
  for (char c : rt::ansiToUtf8(ansi)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The quoted form carries one line of text ending in a single terminating zero.
bool fitsQuoted(const RegValue& v) {
  if (v.type != REG_SZ || v.data.empty() || v.data.back() != '\0') return false;
  for (size_t i = 0; i + 1 < v.data.size(); ++i) {
    char c = v.data[i];
    if (c == '\0' || c == '\r' || c == '\n') return false;
  }
  return true;
}

void appendHex(std::string& out, size_t lineStart, std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto b = static_cast<unsigned char>(bytes[i]);
    out += digits[b >> 4];
    out += digits[b & 15];
    if (i + 1 < bytes.size()) {
      out += ',';
      // The editor breaks long lists near 80 columns with a backslash and a two-space indent.
      if (out.size() - lineStart > 76) {
        out += "\\\r\n  ";
        lineStart = out.size() - 2;
      }
    }
  }
}

std::string valueLine(const RegValue& v) {
  std::string line = v.name.empty() ? "@" : quote(v.name);
  line += '=';
  if (fitsQuoted(v)) {
    line += quote(std::string_view(v.data).substr(0, v.data.size() - 1));
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    line += buf;
  } else {
    if (v.type == REG_BINARY) {
      line += "hex:";
    } else {
      char buf[24];
      std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
      line += buf;
    }
    std::string bytes = isStringType(v.type) ? rt::utf8ToUtf16le(rt::ansiToUtf8(v.data)) : v.data;
    appendHex(line, 0, bytes);
  }
  return line;
}

// Reads a quoted text starting at s[i] == '"'; leaves i after the closing quote.
bool readQuoted(std::string_view s, size_t& i, std::string& utf8) {
  utf8.clear();
  for (++i; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') {
      ++i;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      c = s[++i];
    }
    utf8 += c;
  }
  return false;
}

}  // namespace

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool readHexList(std::string_view s, std::string& bytes) {
  bytes.clear();
  size_t i = 0;
  auto skipBlanks = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  skipBlanks();
  if (i == s.size()) return true;
  for (;;) {
    skipBlanks();
    if (i + 2 > s.size()) return false;
    int hi = hexDigit(s[i]), lo = hexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi * 16 + lo);
    i += 2;
    skipBlanks();
    if (i == s.size()) return true;
    if (s[i] != ',') return false;
    ++i;
  }
}

namespace {

std::string_view trimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

}  // namespace

std::string fold(std::string_view ansi) {
  const auto& up = ansiUpper();
  std::string out;
  out.reserve(ansi.size());
  for (char c : ansi) out += c == '\\' ? kFoldedSeparator : up[static_cast<unsigned char>(c)];
  return out;
}

std::string_view leafName(std::string_view path) {
  size_t p = path.rfind('\\');
  return p == std::string_view::npos ? path : path.substr(p + 1);
}

const RegValue* RegKey::find(std::string_view name) const {
  std::string f = fold(name);
  for (const auto& v : values)
    if (fold(v.name) == f) return &v;
  return nullptr;
}

void RegKey::set(RegValue v) {
  std::string f = fold(v.name);
  for (auto& old : values) {
    if (fold(old.name) == f) {
      old.type = v.type;
      old.data = std::move(v.data);
      return;
    }
  }
  values.push_back(std::move(v));
}

const RegKey* Hive::find(std::string_view path) const {
  auto it = keys_.find(fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

RegKey* Hive::find(std::string_view path) {
  auto it = keys_.find(fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

RegKey& Hive::create(std::string_view path, bool* created) {
  // Ancestors first, so that the store never holds a key whose parent is missing.
  size_t pos = 0;
  while ((pos = path.find('\\', pos)) != std::string_view::npos) {
    auto prefix = path.substr(0, pos);
    keys_.try_emplace(fold(prefix), RegKey{std::string(prefix), {}});
    ++pos;
  }
  auto [it, isNew] = keys_.try_emplace(fold(path), RegKey{std::string(path), {}});
  if (created) *created = isNew;
  return it->second;
}

std::vector<const RegKey*> Hive::subkeys(std::string_view path) const {
  std::vector<const RegKey*> out;
  std::string prefix = path.empty() ? std::string() : fold(path) + kFoldedSeparator;
  for (auto it = keys_.lower_bound(prefix); it != keys_.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    std::string_view rest = std::string_view(it->first).substr(prefix.size());
    if (!rest.empty() && rest.find(kFoldedSeparator) == std::string_view::npos)
      out.push_back(&it->second);
  }
  return out;
}

std::string serialize(const Hive& hive) {
  std::string out(kHeader);
  out += "\r\n\r\n";
  for (const auto& [folded, key] : hive.keys()) {
    if (key.path.empty() && key.values.empty()) continue;
    out += '[';
    out += rt::ansiToUtf8(hive.rootName());
    if (!key.path.empty()) out += "\\" + rt::ansiToUtf8(key.path);
    out += "]\r\n";
    for (const auto& v : key.values) out += valueLine(v) + "\r\n";
    out += "\r\n";
  }
  return out;
}

ParseError parse(std::string_view text, Hive& hive) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string_view> lines;
  for (size_t start = 0; start <= text.size();) {
    size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    lines.push_back(trimRight(text.substr(start, nl - start)));
    start = nl + 1;
  }
  size_t n = 0;
  while (n < lines.size() && lines[n].empty()) ++n;
  if (n == lines.size() || lines[n] != kHeader)
    return {static_cast<int>(n < lines.size() ? n + 1 : 1),
            "the first line is not \"" + std::string(kHeader) + "\""};

  RegKey* current = nullptr;
  for (++n; n < lines.size(); ++n) {
    const int lineNo = static_cast<int>(n + 1);
    std::string_view line = trimLeft(lines[n]);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3 || line[1] == '-')
        return {lineNo, "a key line must read [ROOT\\key]"};
      std::string full = rt::utf8ToAnsi(line.substr(1, line.size() - 2));
      size_t sep = full.find('\\');
      std::string root = full.substr(0, sep);
      std::string path = sep == std::string::npos ? std::string() : full.substr(sep + 1);
      if (fold(root) != fold(hive.rootName()))
        return {lineNo,
                "the key " + rt::ansiToUtf8(full) + " does not belong to " + hive.rootName()};
      if (!path.empty() &&
          (path.front() == '\\' || path.back() == '\\' || path.find("\\\\") != std::string::npos))
        return {lineNo, "the key path has an empty component"};
      current = &hive.create(path);
      continue;
    }
    if (!current) return {lineNo, "a value comes before the first key"};

    // A value line, with its continuation lines joined.
    std::string joined(line);
    while (!joined.empty() && joined.back() == '\\' && n + 1 < lines.size() &&
           joined.find("=hex") != std::string::npos) {
      joined.pop_back();
      joined += trimLeft(lines[++n]);
    }
    size_t i = 0;
    RegValue v;
    if (joined[0] == '@') {
      i = 1;
    } else if (joined[0] == '"') {
      std::string name;
      if (!readQuoted(joined, i, name)) return {lineNo, "the value name is not closed"};
      v.name = rt::utf8ToAnsi(name);
    } else {
      return {lineNo, "a value line must start with \" or @"};
    }
    if (i >= joined.size() || joined[i] != '=') return {lineNo, "'=' is missing after the name"};
    std::string_view data = std::string_view(joined).substr(i + 1);
    if (!data.empty() && data.front() == '"') {
      std::string textValue;
      size_t j = 0;
      if (!readQuoted(data, j, textValue) || j != data.size())
        return {lineNo, "the text value is not closed"};
      v.type = REG_SZ;
      v.data = rt::utf8ToAnsi(textValue) + '\0';
    } else if (data.substr(0, 6) == "dword:") {
      std::string_view digits = data.substr(6);
      if (digits.size() != 8) return {lineNo, "dword: needs eight hex digits"};
      uint32_t num = 0;
      for (char c : digits) {
        int d = hexDigit(c);
        if (d < 0) return {lineNo, "dword: needs eight hex digits"};
        num = num * 16 + static_cast<uint32_t>(d);
      }
      v.type = REG_DWORD;
      for (int k = 0; k < 4; ++k) v.data += static_cast<char>((num >> (8 * k)) & 0xFF);
    } else if (data.substr(0, 3) == "hex") {
      size_t colon = data.find(':');
      if (colon == std::string_view::npos) return {lineNo, "hex data needs a ':'"};
      std::string_view kind = data.substr(3, colon - 3);
      if (kind.empty()) {
        v.type = REG_BINARY;
      } else {
        if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
          return {lineNo, "the hex type must read hex(N)"};
        uint32_t t = 0;
        for (char c : kind.substr(1, kind.size() - 2)) {
          int d = hexDigit(c);
          if (d < 0 || t > 0x0FFFFFFF) return {lineNo, "the hex type must read hex(N)"};
          t = t * 16 + static_cast<uint32_t>(d);
        }
        v.type = t;
      }
      std::string bytes;
      if (!readHexList(data.substr(colon + 1), bytes)) return {lineNo, "bad hex byte list"};
      if (isStringType(v.type)) {
        auto utf8 = rt::utf16leToUtf8(bytes);
        if (!utf8) return {lineNo, "text data must have an even number of bytes"};
        v.data = rt::utf8ToAnsi(*utf8);
      } else {
        v.data = std::move(bytes);
      }
    } else {
      return {lineNo, "unknown value data"};
    }
    current->set(std::move(v));
  }
  return {};
}

}  // namespace tav::os::reg

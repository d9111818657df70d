// Reading and writing Wine's registry text. Wine's own server reads these files back, so what is
// written follows its writer to the letter: LF line ends, ASCII only, \x escapes (four digits when
// a hex digit follows), C escapes below 32 and octal for the rest, hex lists broken as Wine breaks
// them. Lines the tool did not change are copied, never re-encoded.

#include "os/registry/wine_format.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <set>

#include "os/registry/hive.h"
#include "runtime/codepage.h"

namespace tav::os::reg {
namespace {

bool isStringType(uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::u16string unitsOf(std::string_view ansi) {
  const std::string le = rt::utf8ToUtf16le(rt::ansiToUtf8(ansi));
  std::u16string out;
  out.reserve(le.size() / 2);
  for (size_t i = 0; i + 1 < le.size(); i += 2)
    out += static_cast<char16_t>(static_cast<unsigned char>(le[i]) |
                                 (static_cast<unsigned char>(le[i + 1]) << 8));
  return out;
}

std::string ansiOf(const std::u16string& units) {
  std::string le;
  le.reserve(units.size() * 2);
  for (char16_t u : units) {
    le += static_cast<char>(u & 0xFF);
    le += static_cast<char>(u >> 8);
  }
  auto utf8 = rt::utf16leToUtf8(le);
  return utf8 ? rt::utf8ToAnsi(*utf8) : std::string(units.size(), '?');
}

bool isHex(char16_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Wine's escaping of a string between the delimiters `d0` and `d1`.
std::string dumpStr(const std::u16string& s, char d0, char d1) {
  static const char escapes[33] = ".......abtnvfr.............e....";
  std::string out;
  char buf[16];
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    const bool more = i + 1 < s.size();
    if (c > 127) {
      std::snprintf(buf, sizeof buf,
                    more && s[i + 1] < 128 && isHex(s[i + 1]) ? "\\x%04x" : "\\x%x",
                    static_cast<unsigned>(c));
      out += buf;
    } else if (c < 32) {
      if (escapes[c] != '.') {
        out += '\\';
        out += escapes[c];
      } else {
        std::snprintf(buf, sizeof buf,
                      more && s[i + 1] >= '0' && s[i + 1] <= '7' ? "\\%03o" : "\\%o",
                      static_cast<unsigned>(c));
        out += buf;
      }
    } else {
      if (c == '\\' || c == d0 || c == d1) out += '\\';
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Reads Wine's escaped text from s[i] up to the unescaped `end`; leaves i after it. Bytes beyond
// ASCII are taken as UTF-8.
bool parseStr(std::string_view s, size_t& i, char end, std::u16string& out) {
  out.clear();
  std::string pending;  // raw bytes, decoded together
  auto flush = [&] {
    if (pending.empty()) return;
    const std::string le = rt::utf8ToUtf16le(pending);
    for (size_t k = 0; k + 1 < le.size(); k += 2)
      out += static_cast<char16_t>(static_cast<unsigned char>(le[k]) |
                                   (static_cast<unsigned char>(le[k + 1]) << 8));
    pending.clear();
  };
  while (i < s.size()) {
    char c = s[i];
    if (c == end) {
      flush();
      ++i;
      return true;
    }
    if (c != '\\') {
      pending += c;
      ++i;
      continue;
    }
    flush();
    if (++i >= s.size()) return false;
    c = s[i++];
    switch (c) {
      case 'a':
        out += u'\a';
        break;
      case 'b':
        out += u'\b';
        break;
      case 'e':
        out += char16_t(27);
        break;
      case 'f':
        out += u'\f';
        break;
      case 'n':
        out += u'\n';
        break;
      case 'r':
        out += u'\r';
        break;
      case 't':
        out += u'\t';
        break;
      case 'v':
        out += u'\v';
        break;
      case 'x': {
        unsigned v = 0;
        int n = 0;
        while (n < 4 && i < s.size() && hexDigit(s[i]) >= 0)
          v = v * 16 + static_cast<unsigned>(hexDigit(s[i++])), ++n;
        if (n == 0)
          out += u'x';
        else
          out += static_cast<char16_t>(v);
        break;
      }
      default:
        if (c >= '0' && c <= '7') {
          unsigned v = static_cast<unsigned>(c - '0');
          for (int n = 1; n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++n)
            v = v * 8 + static_cast<unsigned>(s[i++] - '0');
          out += static_cast<char16_t>(v);
        } else {
          out += static_cast<char16_t>(static_cast<unsigned char>(c));
        }
    }
  }
  return false;
}

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view withoutCr(std::string_view s) {
  if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
  return s;
}

// One value line (continuations joined); the message says what is wrong, empty when it parsed.
std::string parseValue(std::string_view line, RegValue& v) {
  size_t i = 0;
  if (line[0] == '@') {
    i = 1;
  } else {
    std::u16string name;
    i = 1;
    if (!parseStr(line, i, '"', name)) return "the value name is not closed";
    v.name = ansiOf(name);
  }
  while (i < line.size() && line[i] == ' ') ++i;
  if (i >= line.size() || line[i] != '=') return "'=' is missing after the name";
  std::string_view data = trimLeft(line.substr(i + 1));

  auto quoted = [&](std::string_view rest, uint32_t type) -> std::string {
    size_t j = 1;
    std::u16string text;
    if (rest.empty() || rest[0] != '"' || !parseStr(rest, j, '"', text))
      return "the text value is not closed";
    if (!trimLeft(rest.substr(j)).empty()) return "text after the closing quote";
    v.type = type;
    text += u'\0';
    v.data = ansiOf(text);
    return {};
  };
  if (!data.empty() && data[0] == '"') return quoted(data, REG_SZ);
  if (data.substr(0, 4) == "str:") return quoted(data.substr(4), REG_SZ);
  if (data.substr(0, 4) == "str(") {
    size_t close = data.find("):");
    uint32_t t = 0;
    if (close == std::string_view::npos || close == 4) return "the string type must read str(N)";
    for (char c : data.substr(4, close - 4)) {
      if (hexDigit(c) < 0) return "the string type must read str(N)";
      t = t * 16 + static_cast<uint32_t>(hexDigit(c));
    }
    return quoted(data.substr(close + 2), t);
  }
  if (data.substr(0, 6) == "dword:") {
    std::string_view digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) return "dword: needs one to eight hex digits";
    uint32_t num = 0;
    for (char c : digits) {
      if (hexDigit(c) < 0) return "dword: needs one to eight hex digits";
      num = num * 16 + static_cast<uint32_t>(hexDigit(c));
    }
    v.type = REG_DWORD;
    for (int k = 0; k < 4; ++k) v.data += static_cast<char>((num >> (8 * k)) & 0xFF);
    return {};
  }
  if (data.substr(0, 3) == "hex") {
    size_t colon = data.find(':');
    if (colon == std::string_view::npos) return "hex data needs a ':'";
    std::string_view kind = data.substr(3, colon - 3);
    if (kind.empty()) {
      v.type = REG_BINARY;
    } else {
      if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
        return "the hex type must read hex(N)";
      uint32_t t = 0;
      for (char c : kind.substr(1, kind.size() - 2)) {
        if (hexDigit(c) < 0 || t > 0x0FFFFFFF) return "the hex type must read hex(N)";
        t = t * 16 + static_cast<uint32_t>(hexDigit(c));
      }
      v.type = t;
    }
    std::string bytes;
    if (!readHexList(data.substr(colon + 1), bytes)) return "bad hex byte list";
    // Text types hold UTF-16 text; an odd length (which Wine allows) stays as the bytes it is.
    if (isStringType(v.type) && bytes.size() % 2 == 0) {
      std::u16string units;
      for (size_t k = 0; k + 1 < bytes.size(); k += 2)
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[k]) |
                                       (static_cast<unsigned char>(bytes[k + 1]) << 8));
      v.data = ansiOf(units);
    } else {
      v.data = std::move(bytes);
    }
    return {};
  }
  return "unknown value data";
}

// A value as Wine's server writes it.
std::string formatValue(const RegValue& v) {
  std::string out = v.name.empty() ? "@=" : "\"" + dumpStr(unitsOf(v.name), '"', '"') + "\"=";
  if (isStringType(v.type)) {
    std::u16string units = unitsOf(v.data);
    if (!units.empty() && units.back() == 0) {
      units.pop_back();
      if (v.type != REG_SZ) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "str(%x):", v.type);
        out += buf;
      }
      return out + "\"" + dumpStr(units, '"', '"') + "\"";
    }
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    return out + buf;
  }
  std::string bytes = v.data;
  if (isStringType(v.type)) {
    bytes.clear();
    for (char16_t u : unitsOf(v.data)) {
      bytes += static_cast<char>(u & 0xFF);
      bytes += static_cast<char>(u >> 8);
    }
  }
  char buf[24];
  if (v.type == REG_BINARY)
    std::snprintf(buf, sizeof buf, "hex:");
  else
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
  out += buf;
  // Wine counts the name, the type and two per byte plus one per comma, and breaks after 76.
  size_t count = out.size();
  static const char* digits = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto b = static_cast<unsigned char>(bytes[i]);
    out += digits[b >> 4];
    out += digits[b & 15];
    count += 2;
    if (i + 1 < bytes.size()) {
      out += ',';
      if (++count > 76) {
        out += "\\\n  ";
        count = 2;
      }
    }
  }
  return out;
}

bool sameValue(const RegValue& a, const RegValue& b) {
  return a.type == b.type && a.data == b.data;
}

std::string stampLine(std::string_view path, int64_t nowUnix) {
  return "[" + dumpStr(unitsOf(path), '[', ']') + "] " + std::to_string(nowUnix);
}

std::string timeLine(uint64_t fileTime) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "#time=%x%08x", static_cast<unsigned>(fileTime >> 32),
                static_cast<unsigned>(fileTime & 0xFFFFFFFFu));
  return buf;
}

}  // namespace

ParseError parseWine(std::string_view text, std::string_view expectedRoot, Hive& hive,
                     WineLayout& layout) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (lines.empty() || withoutCr(lines[0]) != kWineHeader)
    return {1, "the first line is not \"" + std::string(kWineHeader) + "\""};

  size_t n = 0;
  for (; n < lines.size() && (lines[n].empty() || lines[n][0] != '['); ++n) {
    std::string_view line = withoutCr(lines[n]);
    constexpr std::string_view kRelative = ";; All keys relative to ";
    if (line.substr(0, kRelative.size()) == kRelative)
      layout.relativeRoot = line.substr(kRelative.size());
    if (n > 0 && !trimLeft(line).empty() && line[0] != ';' && line[0] != '#')
      return {static_cast<int>(n + 1), "a line before the first key"};
    layout.preamble.emplace_back(lines[n]);
  }
  // "REGISTRY\\Machine", or "\\User\\S-1-5-..." as older Wine wrote it.
  std::string_view root = layout.relativeRoot;
  if (root.substr(0, 8) == "REGISTRY") root.remove_prefix(8);
  while (!root.empty() && root.front() == '\\') root.remove_prefix(1);
  root = root.substr(0, root.find('\\'));
  if (fold(root) != fold(expectedRoot))
    return {1, "the file is not relative to the " + std::string(expectedRoot) +
                   " root (\";; All keys relative to " + layout.relativeRoot + "\")"};

  RegKey* current = nullptr;
  for (; n < lines.size(); ++n) {
    const int lineNo = static_cast<int>(n + 1);
    std::string_view raw = lines[n];
    std::string_view line = trimLeft(withoutCr(raw));
    if (!line.empty() && line[0] == '[') {
      size_t i = 1;
      std::u16string path;
      if (!parseStr(line, i, ']', path)) return {lineNo, "a key line must read [key] time"};
      std::string ansiPath = ansiOf(path);
      if (!ansiPath.empty() && (ansiPath.front() == '\\' || ansiPath.back() == '\\' ||
                                ansiPath.find("\\\\") != std::string::npos))
        return {lineNo, "the key path has an empty component"};
      layout.sections.push_back({ansiPath, std::string(raw), {}});
      current = &hive.create(ansiPath);
      continue;
    }
    WineLayout::Line entry;
    entry.raw = std::string(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') {
      if (layout.sections.empty()) return {lineNo, "a line before the first key"};
      layout.sections.back().body.push_back(std::move(entry));
      continue;
    }
    if (!current) return {lineNo, "a value comes before the first key"};
    if (line[0] != '"' && line[0] != '@') return {lineNo, "a value line must start with \" or @"};
    std::string joined(line);
    while (!joined.empty() && joined.back() == '\\' && n + 1 < lines.size()) {
      joined.pop_back();
      joined += trimLeft(withoutCr(lines[++n]));
      entry.raw += "\n" + std::string(lines[n]);
    }
    RegValue v;
    if (std::string err = parseValue(joined, v); !err.empty()) return {lineNo, err};
    entry.isValue = true;
    entry.value = v;
    current->set(std::move(v));
    layout.sections.back().body.push_back(std::move(entry));
  }
  layout.endsWithNewline = !text.empty() && text.back() == '\n';
  return {};
}

std::string serializeWine(const Hive& hive, const WineLayout& layout, int64_t nowUnix,
                          uint64_t nowFileTime) {
  std::string out;
  auto emit = [&out](std::string_view line) {
    out += line;
    out += '\n';
  };
  for (const auto& line : layout.preamble) emit(line);

  std::set<std::string> inFile;
  for (const auto& s : layout.sections) inFile.insert(fold(s.path));
  // Keys the file does not have yet, in the order Wine keeps siblings. Like Wine, a key that
  // only leads to its subkeys needs no section of its own.
  std::vector<const RegKey*> fresh;
  for (const auto& [folded, key] : hive.keys()) {
    if (key.path.empty() || inFile.count(folded)) continue;
    if (!key.values.empty() || hive.subkeys(key.path).empty()) fresh.push_back(&key);
  }
  size_t nextFresh = 0;
  auto emitFresh = [&](const RegKey& key) {
    emit(stampLine(key.path, nowUnix));
    emit(timeLine(nowFileTime));
    std::vector<const RegValue*> values;
    for (const auto& v : key.values) values.push_back(&v);
    std::stable_sort(values.begin(), values.end(), [](const RegValue* a, const RegValue* b) {
      return fold(a->name) < fold(b->name);
    });
    for (const RegValue* v : values) emit(formatValue(*v));
    emit("");
  };

  // What the file said for each key and value, last line winning as when it was read: a value
  // the hive still holds in that form was not changed, whichever lines spelled it. Names Wine
  // keeps beyond code page 1250 read as '?' and may meet; comparing with the parsed form keeps
  // their lines untouched.
  std::map<std::string, std::map<std::string, const RegValue*>> parsed;
  for (const auto& section : layout.sections) {
    auto& values = parsed[fold(section.path)];
    for (const auto& line : section.body)
      if (line.isValue) values[fold(line.value.name)] = &line.value;
  }
  std::set<std::string> written;  // sections already given their new values
  struct OutLine {
    std::string text;
    bool isValue = false;
    std::string name;  // folded, for values
  };
  for (const auto& section : layout.sections) {
    const std::string folded = fold(section.path);
    while (nextFresh < fresh.size() && fold(fresh[nextFresh]->path) < folded)
      emitFresh(*fresh[nextFresh++]);
    const RegKey* key = hive.find(section.path);
    bool changed = false;
    std::vector<OutLine> body;
    for (const auto& line : section.body) {
      if (!line.isValue) {
        body.push_back({line.raw, false, {}});
        continue;
      }
      const std::string name = fold(line.value.name);
      const RegValue* now = key ? key->find(line.value.name) : nullptr;
      if (!now) {
        changed = true;
        continue;
      }
      const RegValue* was = parsed[folded][name];
      const bool same = sameValue(*now, *was) && now->name == was->name;
      body.push_back({same ? line.raw : formatValue(*now), true, name});
      changed = changed || !same;
    }
    if (key && written.insert(folded).second) {
      for (const auto& v : key->values) {
        const std::string name = fold(v.name);
        if (parsed[folded].count(name)) continue;
        // Among the values in name order, as Wine keeps them; else after the last value, else
        // before the section's closing blank line.
        size_t at = body.size();
        bool placed = false;
        for (size_t k = 0; k < body.size() && !placed; ++k)
          if (body[k].isValue && body[k].name > name) at = k, placed = true;
        if (!placed) {
          size_t lastValue = body.size();
          for (size_t k = 0; k < body.size(); ++k)
            if (body[k].isValue) lastValue = k;
          if (lastValue < body.size()) {
            at = lastValue + 1;
          } else {
            while (at > 0 && body[at - 1].text.empty()) --at;
          }
        }
        body.insert(body.begin() + static_cast<std::ptrdiff_t>(at),
                    OutLine{formatValue(v), true, name});
        changed = true;
      }
    }
    if (changed) {
      emit(stampLine(section.path, nowUnix));
      for (auto& line : body)
        if (line.text.rfind("#time=", 0) == 0) line.text = timeLine(nowFileTime);
    } else {
      emit(section.headerRaw);
    }
    for (const auto& line : body) emit(line.text);
  }
  while (nextFresh < fresh.size()) emitFresh(*fresh[nextFresh++]);
  if (!layout.endsWithNewline && !out.empty() && fresh.empty()) out.pop_back();
  return out;
}

WineLayout newWineLayout(std::string_view relativeRoot) {
  WineLayout l;
  l.relativeRoot = std::string(relativeRoot);
  l.preamble = {std::string(kWineHeader), ";; All keys relative to " + l.relativeRoot, "",
                "#arch=win64", ""};
  return l;
}

}  // namespace tav::os::reg

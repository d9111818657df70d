// Parsing the table schema and giving each table's structure as of a release. New fields come after
// the existing ones in release order, as an upgrade would have added them.

#include "schema.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace tav::mkrelease {
namespace {

std::string lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool sameName(std::string_view a, std::string_view b) { return lower(a) == lower(b); }

struct PlaceWord {
  std::string_view word;
  Place place;
};
constexpr PlaceWord kPlaces[] = {
    {"firm", Place::Firm},         {"str", Place::Str},         {"public", Place::Public},
    {"database", Place::Database}, {"program", Place::Program}, {"release", Place::Release},
};

// Widest lengths the table engine accepts per type; D, L and M have one fixed length.
struct TypeRule {
  char type;
  int minLength, maxLength;
};
constexpr TypeRule kTypes[] = {
    {'C', 1, 254}, {'N', 1, 20}, {'D', 8, 8}, {'L', 1, 1}, {'M', 10, 10}};

class ParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    size_t start = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

int number(std::string_view w, const char* what) {
  int v = 0;
  auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), v);
  if (ec != std::errc() || end != w.data() + w.size() || v < 0) {
    throw ParseError(std::string("expected a number for ") + what + ", found \"" + std::string(w) +
                     "\"");
  }
  return v;
}

int step(std::string_view w) {
  int s = number(w, "a release step");
  if (w.size() != 3 || s < 1)
    throw ParseError("a release step has three digits: \"" + std::string(w) + "\"");
  return s;
}

bool validName(std::string_view n) {
  if (n.empty() || n.size() > 10 || !std::isalpha(static_cast<unsigned char>(n[0]))) return false;
  return std::all_of(n.begin(), n.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

// "k01..k12" -> k01, k02, ... k12 (the digits keep their width). Plain names give themselves.
std::vector<std::string> expandNames(std::string_view w) {
  size_t dots = w.find("..");
  if (dots == std::string_view::npos) return {std::string(w)};
  auto split = [](std::string_view s) {
    size_t d = s.size();
    while (d > 0 && std::isdigit(static_cast<unsigned char>(s[d - 1]))) --d;
    return std::pair{s.substr(0, d), s.substr(d)};
  };
  auto [prefixA, digitsA] = split(w.substr(0, dots));
  auto [prefixB, digitsB] = split(w.substr(dots + 2));
  if (prefixA != prefixB || digitsA.empty() || digitsA.size() != digitsB.size()) {
    throw ParseError("a run of fields is written like k01..k12: \"" + std::string(w) + "\"");
  }
  int from = number(digitsA, "a run"), to = number(digitsB, "a run");
  if (to < from) throw ParseError("a run of fields must count upwards: \"" + std::string(w) + "\"");
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) {
    std::string digits = std::to_string(i);
    if (digits.size() < digitsA.size()) digits.insert(0, digitsA.size() - digits.size(), '0');
    out.push_back(std::string(prefixA) + digits);
  }
  return out;
}

Table parseTableLine(const std::vector<std::string_view>& w, int line) {
  if (w.size() < 3) throw ParseError("a table needs a name and at least one place");
  Table t;
  t.name = std::string(w[1]);
  t.line = line;
  for (size_t i = 2; i < w.size(); ++i) {
    auto place = std::find_if(std::begin(kPlaces), std::end(kPlaces),
                              [&](const PlaceWord& p) { return p.word == w[i]; });
    if (place != std::end(kPlaces)) {
      if (!t.at(place->place)) t.places.push_back(place->place);
    } else if (w[i] == "since" && i + 1 < w.size()) {
      t.since = step(w[++i]);
    } else if (w[i] == "optional") {
      t.optional = true;
    } else if (w[i] == "obsolete") {
      t.obsolete = true;
    } else {
      throw ParseError("unknown word \"" + std::string(w[i]) + "\" on a table line");
    }
  }
  if (t.places.empty()) throw ParseError("table " + t.name + " has no place");
  // File names keep to eight characters: the accounting program still opens them by short names.
  if (!validName(t.baseName()) || t.baseName().size() > 8)
    throw ParseError("bad table name: " + t.name);
  return t;
}

void parseFieldLine(const std::vector<std::string_view>& w, Table& t) {
  if (w.size() < 3) throw ParseError("a field needs a name, a type and a length");
  Field f;
  if (w[1].size() != 1) throw ParseError("a type is one letter: \"" + std::string(w[1]) + "\"");
  f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(w[1][0])));
  auto rule = std::find_if(std::begin(kTypes), std::end(kTypes),
                           [&](const TypeRule& r) { return r.type == f.type; });
  if (rule == std::end(kTypes)) throw ParseError("unknown type " + std::string(w[1]));
  f.length = number(w[2], "a length");
  size_t i = 3;
  if (i < w.size() && std::isdigit(static_cast<unsigned char>(w[i][0])))
    f.decimals = number(w[i++], "decimals");
  for (; i < w.size(); ++i) {
    if (w[i] == "added" && i + 1 < w.size()) {
      f.added = step(w[++i]);
    } else if (w[i] == "widened" && i + 3 < w.size() && w[i + 2] == "from") {
      f.widened = step(w[i + 1]);
      f.oldLength = number(w[i + 3], "the earlier length");
      i += 3;
    } else {
      throw ParseError("unknown word \"" + std::string(w[i]) + "\" on a field line");
    }
  }
  auto checkLength = [&](int len) {
    if (len < rule->minLength || len > rule->maxLength) {
      throw ParseError("length " + std::to_string(len) + " is not allowed for type " + f.type);
    }
  };
  checkLength(f.length);
  if (f.widened) {
    checkLength(f.oldLength);
    if (f.oldLength >= f.length) throw ParseError("a widened field must have been narrower");
    if (f.type != 'C' && f.type != 'N') throw ParseError("only C and N fields can be widened");
  }
  // A number needs room for its point and at least one digit before it.
  if (f.decimals != 0 &&
      (f.type != 'N' || f.decimals > f.length - 2 || (f.widened && f.decimals > f.oldLength - 2))) {
    throw ParseError("decimals do not fit the field");
  }
  for (std::string& name : expandNames(w[0])) {
    if (!validName(name))
      throw ParseError("bad field name \"" + name + "\" (letters, digits, _ and at most 10)");
    for (const Field& other : t.fields) {
      if (sameName(other.name, name))
        throw ParseError("field " + name + " appears twice in " + t.name);
    }
    // Conversions append new fields after the existing ones, in release order; a table whose
    // schema says otherwise could not have come about by upgrading.
    if (!t.fields.empty() && t.fields.back().added > f.added) {
      throw ParseError("field " + name + " must come before the fields added by later releases");
    }
    f.name = std::move(name);
    t.fields.push_back(f);
  }
}

}  // namespace

std::string stepRelease(int step) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "025.01.%03d", step);
  return buf;
}

bool Field::presentAt(std::string_view release) const {
  return added == 0 || stepRelease(added) <= release;
}

int Field::lengthAt(std::string_view release) const {
  return widened != 0 && release < stepRelease(widened) ? oldLength : length;
}

bool Table::at(Place p) const { return std::find(places.begin(), places.end(), p) != places.end(); }

std::string Table::baseName() const {
  size_t slash = name.find_last_of("\\/");
  return lower(slash == std::string::npos ? name : name.substr(slash + 1));
}

bool Table::existsAt(std::string_view release) const {
  return since == 0 || stepRelease(since) <= release;
}

std::vector<Field> Table::structureAt(std::string_view release) const {
  std::vector<Field> out;
  for (const Field& f : fields) {
    if (!f.presentAt(release)) continue;
    Field g = f;
    g.length = f.lengthAt(release);
    out.push_back(std::move(g));
  }
  return out;
}

bool Table::hasMemo() const {
  return std::any_of(fields.begin(), fields.end(), [](const Field& f) { return f.type == 'M'; });
}

bool Schema::parse(std::string_view text, Schema& out, std::string& why) {
  out.tables_.clear();
  int lineNo = 0;
  try {
    std::istringstream in{std::string(text)};
    std::string raw;
    while (std::getline(in, raw)) {
      ++lineNo;
      std::string_view line(raw);
      if (size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
      auto w = words(line);
      if (w.empty()) continue;
      if (w[0] == "table") {
        Table t = parseTableLine(w, lineNo);
        for (const Table& other : out.tables_) {
          for (Place p : t.places) {
            if (other.at(p) && sameName(other.name, t.name))
              throw ParseError("table " + t.name + " is described twice");
          }
        }
        out.tables_.push_back(std::move(t));
      } else {
        if (out.tables_.empty()) throw ParseError("a field before the first table");
        parseFieldLine(w, out.tables_.back());
      }
    }
    for (const Table& t : out.tables_) {
      if (t.fields.empty()) {
        lineNo = t.line;
        throw ParseError("table " + t.name + " has no fields");
      }
    }
  } catch (const ParseError& e) {
    why = "line " + std::to_string(lineNo) + ": " + e.what();
    out.tables_.clear();
    return false;
  }
  return true;
}

const Schema& Schema::builtIn() {
  static const Schema schema = [] {
    Schema s;
    std::string why;
    // The text is part of the program; a fault in it is a build fault, found by the tests.
    if (!parse(builtInSchemaText(), s, why)) throw std::logic_error("tables.schema: " + why);
    return s;
  }();
  return schema;
}

const Table* Schema::find(Place place, std::string_view name) const {
  for (const Table& t : tables_) {
    if (t.at(place) && sameName(t.name, name)) return &t;
  }
  if (place == Place::Str) {
    for (const Table& t : tables_) {
      if (t.at(Place::Firm) && t.baseName() == lower(name)) return &t;
    }
  }
  return nullptr;
}

}  // namespace tav::mkrelease

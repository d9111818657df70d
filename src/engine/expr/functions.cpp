// The built-in functions of the expression language, one table row each. Text functions have an
// append form that index builds use, and it must give exactly the bytes eval() would.

#include "engine/expr/functions.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cmath>
#include <optional>
#include <string>

#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"
#include "runtime/format.h"

namespace tav::engine::expr {
namespace {

class Call;
using EvalFn = rt::Value (*)(Call&, Frame&);
using AppendFn = void (*)(Call&, Frame&, std::string&);
using ShapeFn = Shape (*)(const Call&);

}  // namespace

// One function of the language. A function whose result is text has an append form, used both
// for keys (appended into the caller's buffer) and for plain evaluation; functions whose result
// type depends on their arguments have both forms and use the append form only when the
// compile-time shape says the result is text.
struct Builtin {
  const char* name;
  int minArgs;
  int maxArgs;
  ShapeFn shape;
  EvalFn eval;
  AppendFn append;
  bool needsArea;
};

namespace {

class Call final : public Node {
 public:
  Call(const Builtin& fn, std::vector<NodePtr> args, std::shared_ptr<BoundArea> area)
      : fn_(fn), args_(std::move(args)), area_(std::move(area)) {
    shape_ = fn_.shape(*this);
  }

  rt::Value eval(Frame& f) override {
    if (fn_.append && (shape_.text() || !fn_.eval)) {
      std::string s;
      if (shape_.width > 0) s.reserve(static_cast<size_t>(shape_.width));
      fn_.append(*this, f, s);
      return rt::Value(std::move(s));
    }
    return fn_.eval(*this, f);
  }

  void appendText(std::string& out, Frame& f) override {
    if (fn_.append && (shape_.text() || !fn_.eval))
      fn_.append(*this, f, out);
    else
      Node::appendText(out, f);
  }

  size_t count() const { return args_.size(); }
  Node& node(size_t i) const { return *args_[i]; }
  rt::Value arg(size_t i, Frame& f) const {
    return i < args_.size() ? args_[i]->eval(f) : rt::Value();
  }
  const Shape& argShape(size_t i) const {
    static const Shape none;
    return i < args_.size() ? args_[i]->shape() : none;
  }
  // A constant number argument, whole part only; nullopt when the argument is not one.
  std::optional<int> constInt(size_t i) const {
    if (i >= args_.size()) return std::nullopt;
    const rt::Value* v = args_[i]->constant();
    if (!v || !v->isNumber() || std::fabs(v->num()) > 1e6) return std::nullopt;
    return static_cast<int>(std::trunc(v->num()));
  }
  // A constant count (negative counts as 0), or -1 when it is not constant.
  int constCount(size_t i) const {
    std::optional<int> n = constInt(i);
    return n ? std::max(*n, 0) : -1;
  }
  const BoundArea* area() const { return area_.get(); }

  // The handler's substitute for the whole call, whose arguments it could not use.
  rt::Value bad(std::vector<rt::Value> args) const {
    return argumentFault(0, upperName(), std::move(args));
  }
  void badAppend(std::string& out, size_t keep, std::vector<rt::Value> args) const {
    out.resize(keep);
    appendSubstitute(out, bad(std::move(args)), upperName());
  }
  std::string upperName() const {
    std::string s = fn_.name;
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }

 private:
  const Builtin& fn_;
  std::vector<NodePtr> args_;
  std::shared_ptr<BoundArea> area_;
};

// ---- shapes ----

Shape textOf(int width) { return {'C', width, -1}; }
Shape number(int decimals = 0) { return {'N', -1, decimals}; }
Shape sameText(const Call& c) { return textOf(c.argShape(0).width); }
Shape dateShape(const Call&) { return {'D', 8, -1}; }
Shape logicalShape(const Call&) { return {'L', 1, -1}; }
Shape wholeNumber(const Call&) { return number(0); }
Shape anyNumber(const Call&) { return number(-1); }
Shape eight(const Call&) { return textOf(8); }

int minKnown(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

Shape leftShape(const Call& c) { return textOf(minKnown(c.constCount(1), c.argShape(0).width)); }

Shape substrShape(const Call& c) {
  int w = c.argShape(0).width;
  std::optional<int> start = c.constInt(1);
  int rest = -1;
  if (w >= 0 && start) {
    // Fixed-width text: a start from the end keeps at most -start characters.
    rest = *start > 0 ? std::max(0, w - *start + 1) : *start == 0 ? w : std::min(w, -*start);
  }
  if (c.count() < 3) return textOf(rest);
  return textOf(minKnown(c.constCount(2), rest));
}

Shape strShape(const Call& c) {
  if (c.count() >= 2) {
    // A negative length asks for the default one, which depends on the value.
    std::optional<int> len = c.constInt(1);
    return textOf(len && *len >= 0 ? *len : -1);
  }
  const Shape& n = c.argShape(0);
  if (n.width >= 0) return textOf(n.width);
  if (n.decimals >= 0) return textOf(10 + (n.decimals > 0 ? n.decimals + 1 : 0));
  return textOf(-1);
}

Shape padShape(const Call& c) { return textOf(c.constCount(1)); }
Shape spaceShape(const Call& c) { return textOf(c.constCount(0)); }
Shape replicateShape(const Call& c) {
  const long long w = c.argShape(0).width, n = c.constCount(1);
  return textOf(w >= 0 && n >= 0 && w * n <= kMaxTextLength ? static_cast<int>(w * n) : -1);
}
Shape charShape(const Call&) { return textOf(1); }
Shape dtocShape(const Call&) { return textOf(static_cast<int>(rt::Date().toText().size())); }

Shape descendShape(const Call& c) {
  const Shape& a = c.argShape(0);
  if (a.text()) return textOf(a.width);
  if (a.type == 'N') return a;
  if (a.type == 'D') return number(0);
  if (a.type == 'L') return {'L', 1, -1};
  return {};
}

Shape iifShape(const Call& c) {
  const Shape& a = c.argShape(1);
  const Shape& b = c.argShape(2);
  bool sameType = a.type == b.type || (a.text() && b.text());
  if (!sameType || a.type == 'U') return {};
  int w = a.width < 0 || b.width < 0 ? -1 : std::max(a.width, b.width);
  int d = a.decimals < 0 || b.decimals < 0 ? -1 : std::max(a.decimals, b.decimals);
  return {a.text() ? 'C' : a.type, w, d};
}

Shape absShape(const Call& c) { return c.argShape(0).type == 'N' ? c.argShape(0) : number(-1); }
Shape roundShape(const Call& c) { return number(c.constCount(1)); }
Shape extremeShape(const Call& c) {
  const Shape& a = c.argShape(0);
  return a.type == c.argShape(1).type && (a.type == 'N' || a.type == 'D') ? Shape{a.type, -1, -1}
                                                                          : Shape{};
}

// ---- helpers ----

// Appends argument i when it is text. Otherwise appends the handler's substitute for the whole
// call and returns false: the caller must not work on it further.
bool appendTextArg(Call& c, Frame& f, size_t i, std::string& out, size_t keep) {
  if (c.argShape(i).text()) {
    c.node(i).appendText(out, f);
    return true;
  }
  rt::Value v = c.arg(i, f);
  if (v.isText()) {
    out += v.str();
    return true;
  }
  c.badAppend(out, keep, {v});
  return false;
}

// A whole-number argument; false (with the substitute appended) when it is not a number.
bool intArg(Call& c, Frame& f, size_t i, std::string& out, size_t keep, long& n) {
  rt::Value v = c.arg(i, f);
  if (!v.isNumber()) {
    std::string seen = out.substr(keep);
    c.badAppend(out, keep, {rt::Value(std::move(seen)), v});
    return false;
  }
  // Saturated: a count beyond any text's length means the same as the largest one, and a
  // conversion of a number outside long's range would be undefined (long is 32 bits on Windows).
  const double d = std::trunc(v.num());
  if (std::isnan(d)) {
    c.badAppend(out, keep, {v});
    return false;
  }
  n = d >= static_cast<double>(LONG_MAX)   ? LONG_MAX
      : d <= static_cast<double>(LONG_MIN) ? LONG_MIN
                                           : static_cast<long>(d);
  return true;
}

// False (with the substitute appended) when a text of `length` bytes would be longer than any
// function may build.
bool fitsText(Call& c, double length, std::string& out, size_t keep, std::vector<rt::Value> args) {
  if (length <= static_cast<double>(kMaxTextLength)) return true;  // NaN fails too
  c.badAppend(out, keep, std::move(args));
  return false;
}

void appendDtos(std::string& out, rt::Date d) {
  if (d.empty()) {
    out.append(8, ' ');
    return;
  }
  int y, m, day;
  d.toYmd(y, m, day);
  char buf[8];
  for (int i = 3; i >= 0; --i, y /= 10) buf[i] = static_cast<char>('0' + y % 10);
  buf[4] = static_cast<char>('0' + m / 10);
  buf[5] = static_cast<char>('0' + m % 10);
  buf[6] = static_cast<char>('0' + day / 10);
  buf[7] = static_cast<char>('0' + day % 10);
  out.append(buf, 8);
}

// descend() of text stores each byte b as 256 - b (0 stays 0), the form other engines of this
// format and the accounting program write, so that keys built here seek the same bytes there.
// For the texts the tool's keys invert (month texts of digits) the mapped codes are non-letters,
// whose collation weights follow code order, so the inverted key still sorts in reverse; a blank
// maps to a letter's code, so blank-padded texts are not strictly reversed (nor are they there).
const std::array<char, 256>& descendTable() {
  static const std::array<char, 256> table = [] {
    std::array<char, 256> t{};
    for (int b = 0; b < 256; ++b) t[b] = static_cast<char>((256 - b) & 0xFF);
    return t;
  }();
  return table;
}

// ---- text functions (append form) ----

void fnDtos(Call& c, Frame& f, std::string& out) {
  rt::Value v = c.arg(0, f);
  if (v.isDate())
    appendDtos(out, v.date());
  else
    c.badAppend(out, out.size(), {v});
}

void fnDtoc(Call& c, Frame& f, std::string& out) {
  rt::Value v = c.arg(0, f);
  if (v.isDate())
    out += v.date().toText();
  else
    c.badAppend(out, out.size(), {v});
}

char upperAsciiChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char lowerAsciiChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

template <char (*Map)(char)>
void fnCase(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  if (!appendTextArg(c, f, 0, out, start)) return;
  for (size_t i = start; i < out.size(); ++i) out[i] = Map(out[i]);
}

void fnDescendText(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  if (!appendTextArg(c, f, 0, out, start)) return;
  descendInPlace(out.data() + start, out.size() - start);
}

void fnLeft(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  long n;
  if (!appendTextArg(c, f, 0, out, start) || !intArg(c, f, 1, out, start, n)) return;
  size_t len = out.size() - start;
  out.resize(start + std::min(len, static_cast<size_t>(std::max(n, 0L))));
}

void fnRight(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  long n;
  if (!appendTextArg(c, f, 0, out, start) || !intArg(c, f, 1, out, start, n)) return;
  size_t len = out.size() - start;
  size_t keep = std::min(len, static_cast<size_t>(std::max(n, 0L)));
  out.erase(start, len - keep);
}

void fnSubstr(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  long from, n = -1;
  if (!appendTextArg(c, f, 0, out, start) || !intArg(c, f, 1, out, start, from)) return;
  bool counted = c.count() >= 3;
  if (counted && !intArg(c, f, 2, out, start, n)) return;
  long len = static_cast<long>(out.size() - start);
  // A negative start counts from the end; 0 means the first character.
  if (from < 0) from = std::max(len + from + 1, 1L);
  if (from == 0) from = 1;
  long avail = std::max(len - (from - 1), 0L);
  long take = counted ? std::clamp(n, 0L, avail) : avail;
  out.erase(start, static_cast<size_t>(std::min(from - 1, len)));
  out.resize(start + static_cast<size_t>(take));
}

enum class Trim { Left, Right, Both };

template <Trim Kind>
void fnTrim(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  if (!appendTextArg(c, f, 0, out, start)) return;
  if (Kind != Trim::Left) {
    size_t e = out.size();
    while (e > start && out[e - 1] == ' ') --e;
    out.resize(e);
  }
  if (Kind != Trim::Right) {
    size_t b = start;
    while (b < out.size() && out[b] == ' ') ++b;
    out.erase(start, b - start);
  }
}

// False when the handler's substitute was appended instead.
bool appendStr(Call& c, Frame& f, std::string& out) {
  rt::Value n = c.arg(0, f), len = c.arg(1, f), dec = c.arg(2, f);
  bool ok = n.isNumber() && (len.isNil() || len.isNumber()) && (dec.isNil() || dec.isNumber());
  if (!ok) {
    c.badAppend(out, out.size(), {n, len, dec});
    return false;
  }
  if (len.isNil()) {
    // A number that lost its field's width on the way still shows as the key width promised.
    rt::Number shown = n.numInfo();
    if (shown.width < 0) shown.width = static_cast<int16_t>(c.argShape(0).width);
    if (shown.decimals < 0 && c.argShape(0).width >= 0)
      shown.decimals = static_cast<int16_t>(c.argShape(0).decimals);
    out += rt::Str(shown);
    return true;
  }
  // A length or decimals beyond any text are the caller's mistake, not a width to convert.
  auto inRange = [](const rt::Value& v) {
    return v.isNil() || std::fabs(v.num()) <= static_cast<double>(kMaxTextLength);  // not NaN
  };
  if (!inRange(len) || !inRange(dec)) {
    c.badAppend(out, out.size(), {n, len, dec});
    return false;
  }
  // A length without decimals shows none.
  out +=
      rt::Str(n.num(), static_cast<int>(len.num()), dec.isNil() ? 0 : static_cast<int>(dec.num()));
  return true;
}

void fnStr(Call& c, Frame& f, std::string& out) { appendStr(c, f, out); }

void fnStrZero(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  if (!appendStr(c, f, out)) return;
  std::string_view s(out.data() + start, out.size() - start);
  if (s.empty() || s.front() == '*') return;
  bool negative = s.find('-') != std::string_view::npos;
  for (size_t i = start; i < out.size(); ++i)
    if (out[i] == ' ' || out[i] == '-') out[i] = '0';
  if (negative) out[start] = '-';
}

void fnSpace(Call& c, Frame& f, std::string& out) {
  long n;
  const size_t start = out.size();
  if (intArg(c, f, 0, out, start, n) &&
      fitsText(c, static_cast<double>(n), out, start, {rt::Value(n)}))
    out.append(static_cast<size_t>(std::max(n, 0L)), ' ');
}

void fnReplicate(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  long n;
  if (!appendTextArg(c, f, 0, out, start) || !intArg(c, f, 1, out, start, n)) return;
  std::string one = out.substr(start);
  if (!fitsText(c, static_cast<double>(n) * static_cast<double>(one.size()), out, start,
                {rt::Value(one), rt::Value(n)}))
    return;
  out.resize(start);
  // Nothing repeated any number of times is nothing: a count in the billions must not loop.
  if (one.empty()) return;
  for (long i = 0; i < n; ++i) out += one;
}

void fnChr(Call& c, Frame& f, std::string& out) {
  long n;
  if (intArg(c, f, 0, out, out.size(), n))
    out += static_cast<char>(static_cast<unsigned char>(n & 0xFF));
}

void fnTime(Call&, Frame&, std::string& out) { out += rt::timeOfDay(); }

enum class Pad { Left, Right, Center };

template <Pad Kind>
void fnPad(Call& c, Frame& f, std::string& out) {
  size_t start = out.size();
  rt::Value x = c.arg(0, f), n = c.arg(1, f), fill = c.arg(2, f);
  std::string s;
  if (x.isText())
    s = x.str();
  else if (x.isNumber())
    s = rt::allTrim(rt::Str(x.numInfo()));
  else if (x.isDate())
    s = x.date().toText();
  bool ok =
      (x.isText() || x.isNumber() || x.isDate()) && n.isNumber() && (fill.isNil() || fill.isText());
  if (!ok) return c.badAppend(out, start, {x, n, fill});
  const double wanted = std::max(std::trunc(n.num()), 0.0);
  if (!fitsText(c, wanted, out, start, {x, n, fill})) return;
  size_t width = static_cast<size_t>(wanted);
  char pad = fill.isText() && !fill.str().empty() ? fill.str()[0] : ' ';
  if (s.size() >= width) {
    out.append(s, 0, width);
    return;
  }
  size_t gap = width - s.size();
  size_t before = Kind == Pad::Left ? gap : Kind == Pad::Center ? gap / 2 : 0;
  out.append(before, pad);
  out += s;
  out.append(gap - before, pad);
}

// ---- functions of other results ----

rt::Value fnDescend(Call& c, Frame& f) {
  rt::Value v = c.arg(0, f);
  if (v.isText()) {
    std::string s = v.str();
    descendInPlace(s.data(), s.size());
    return rt::Value(std::move(s));
  }
  if (v.isNumber()) {
    rt::Number n = v.numInfo();
    n.value = -n.value;
    return rt::Value(n);
  }
  if (v.isDate()) return rt::Value(rt::Number{-static_cast<double>(v.date().julian()), -1, 0});
  if (v.isLogical()) return rt::Value(!v.log());
  return c.bad({v});
}

rt::Value fnIif(Call& c, Frame& f) {
  rt::Value cond = c.arg(0, f);
  if (!cond.isLogical()) return c.bad({cond});
  return c.arg(cond.log() ? 1 : 2, f);
}

void fnIifText(Call& c, Frame& f, std::string& out) {
  rt::Value cond = c.arg(0, f);
  if (!cond.isLogical()) return c.badAppend(out, out.size(), {cond});
  c.node(cond.log() ? 1 : 2).appendText(out, f);
}

rt::Value fnVal(Call& c, Frame& f) {
  rt::Value s = c.arg(0, f);
  if (!s.isText()) return c.bad({s});
  return rt::Value(rt::Val(s.str()));
}

rt::Value fnRecno(Call& c, Frame&) {
  return rt::Value(static_cast<long long>(c.area() ? c.area()->recno() : 0));
}

rt::Value fnDeleted(Call& c, Frame&) { return rt::Value(c.area() ? c.area()->deleted() : false); }

rt::Value fnEmpty(Call& c, Frame& f) { return rt::Value(c.arg(0, f).empty()); }

rt::Value fnLen(Call& c, Frame& f) {
  rt::Value v = c.arg(0, f);
  if (v.isText()) return rt::Value(static_cast<long long>(v.str().size()));
  if (v.isArray()) return rt::Value(static_cast<long long>(v.arr().size()));
  return c.bad({v});
}

rt::Value fnCtod(Call& c, Frame& f) {
  rt::Value s = c.arg(0, f);
  if (!s.isText()) return c.bad({s});
  return rt::Value(rt::Date::parse(s.str()).value_or(rt::Date()));
}

rt::Value fnStod(Call& c, Frame& f) {
  rt::Value s = c.arg(0, f);
  if (!s.isText()) return c.bad({s});
  return rt::Value(rt::Date::fromDtos(s.str()));
}

rt::Value fnDate(Call&, Frame&) { return rt::Value(rt::Date::today()); }

template <int Part>
rt::Value fnDatePart(Call& c, Frame& f) {
  rt::Value v = c.arg(0, f);
  if (!v.isDate()) return c.bad({v});
  int y, m, d;
  v.date().toYmd(y, m, d);
  return rt::Value(Part == 0 ? y : Part == 1 ? m : d);
}

rt::Value fnInt(Call& c, Frame& f) {
  rt::Value v = c.arg(0, f);
  if (!v.isNumber()) return c.bad({v});
  return rt::Value(rt::Number{std::trunc(v.num()), -1, 0});
}

rt::Value fnAbs(Call& c, Frame& f) {
  rt::Value v = c.arg(0, f);
  if (!v.isNumber()) return c.bad({v});
  rt::Number n = v.numInfo();
  n.value = std::fabs(n.value);
  return rt::Value(n);
}

rt::Value fnRound(Call& c, Frame& f) {
  rt::Value v = c.arg(0, f), d = c.arg(1, f);
  if (!v.isNumber() || !d.isNumber()) return c.bad({v, d});
  // Beyond twenty places either way a double has no digit left to round; a count out of int's
  // range (or not a number at all) is taken as that far.
  const double wanted = std::isnan(d.num()) ? 0.0 : std::trunc(d.num());
  const int places = static_cast<int>(std::clamp(wanted, -20.0, 20.0));
  double scale = std::pow(10.0, places);
  // Half away from zero, with a nudge for binary fractions such as 2.675.
  double x = std::fabs(v.num()) * scale;
  double r = std::floor(x + 0.5 + 1e-9 * std::max(1.0, x)) / scale;
  return rt::Value(rt::Number{v.num() < 0 ? -r : r, -1, static_cast<int16_t>(std::max(places, 0))});
}

rt::Value fnAt(Call& c, Frame& f) {
  rt::Value a = c.arg(0, f), b = c.arg(1, f);
  if (!a.isText() || !b.isText()) return c.bad({a, b});
  if (a.str().empty()) return rt::Value(0);
  size_t p = b.str().find(a.str());
  return rt::Value(p == std::string::npos ? 0LL : static_cast<long long>(p + 1));
}

rt::Value fnAsc(Call& c, Frame& f) {
  rt::Value s = c.arg(0, f);
  if (!s.isText()) return c.bad({s});
  return rt::Value(s.str().empty() ? 0 : static_cast<int>(static_cast<unsigned char>(s.str()[0])));
}

template <bool Greater>
rt::Value fnExtreme(Call& c, Frame& f) {
  rt::Value a = c.arg(0, f), b = c.arg(1, f);
  if (a.isNumber() && b.isNumber()) return (a.num() < b.num()) == Greater ? b : a;
  if (a.isDate() && b.isDate()) return (a.date() < b.date()) == Greater ? b : a;
  return c.bad({a, b});
}

// Order matters only among abbreviations: the first function a prefix fits is taken.
const Builtin kFunctions[] = {
    {"dtos", 1, 1, eight, nullptr, fnDtos, false},
    {"descend", 1, 1, descendShape, fnDescend, fnDescendText, false},
    {"upper", 1, 1, sameText, nullptr, fnCase<rt::upperChar>, false},
    {"lower", 1, 1, sameText, nullptr, fnCase<rt::lowerChar>, false},
    {"left", 2, 2, leftShape, nullptr, fnLeft, false},
    {"right", 2, 2, leftShape, nullptr, fnRight, false},
    {"substr", 2, 3, substrShape, nullptr, fnSubstr, false},
    {"strzero", 1, 3, strShape, nullptr, fnStrZero, false},
    {"str", 1, 3, strShape, nullptr, fnStr, false},
    {"alltrim", 1, 1, sameText, nullptr, fnTrim<Trim::Both>, false},
    {"trim", 1, 1, sameText, nullptr, fnTrim<Trim::Right>, false},
    {"rtrim", 1, 1, sameText, nullptr, fnTrim<Trim::Right>, false},
    {"ltrim", 1, 1, sameText, nullptr, fnTrim<Trim::Left>, false},
    {"val", 1, 1, anyNumber, fnVal, nullptr, false},
    {"recno", 0, 0, wholeNumber, fnRecno, nullptr, true},
    {"deleted", 0, 0, logicalShape, fnDeleted, nullptr, true},
    {"empty", 1, 1, logicalShape, fnEmpty, nullptr, false},
    {"len", 1, 1, wholeNumber, fnLen, nullptr, false},
    {"iif", 3, 3, iifShape, fnIif, fnIifText, false},
    {"if", 3, 3, iifShape, fnIif, fnIifText, false},
    {"ctod", 1, 1, dateShape, fnCtod, nullptr, false},
    {"stod", 1, 1, dateShape, fnStod, nullptr, false},
    {"dtoc", 1, 1, dtocShape, nullptr, fnDtoc, false},
    {"date", 0, 0, dateShape, fnDate, nullptr, false},
    {"year", 1, 1, wholeNumber, fnDatePart<0>, nullptr, false},
    {"month", 1, 1, wholeNumber, fnDatePart<1>, nullptr, false},
    {"day", 1, 1, wholeNumber, fnDatePart<2>, nullptr, false},
    {"space", 1, 1, spaceShape, nullptr, fnSpace, false},
    {"padr", 2, 3, padShape, nullptr, fnPad<Pad::Right>, false},
    {"padl", 2, 3, padShape, nullptr, fnPad<Pad::Left>, false},
    {"padc", 2, 3, padShape, nullptr, fnPad<Pad::Center>, false},
    {"replicate", 2, 2, replicateShape, nullptr, fnReplicate, false},
    {"chr", 1, 1, charShape, nullptr, fnChr, false},
    {"asc", 1, 1, wholeNumber, fnAsc, nullptr, false},
    {"at", 2, 2, wholeNumber, fnAt, nullptr, false},
    {"time", 0, 0, eight, nullptr, fnTime, false},
    {"int", 1, 1, wholeNumber, fnInt, nullptr, false},
    {"abs", 1, 1, absShape, fnAbs, nullptr, false},
    {"round", 2, 2, roundShape, fnRound, nullptr, false},
    {"max", 2, 2, extremeShape, fnExtreme<true>, nullptr, false},
    {"min", 2, 2, extremeShape, fnExtreme<false>, nullptr, false},
};

// The case functions of expressions compiled with CompileOptions::asciiCase; never found by name.
const Builtin kAsciiUpper{"upper", 1, 1, sameText, nullptr, fnCase<upperAsciiChar>, false};
const Builtin kAsciiLower{"lower", 1, 1, sameText, nullptr, fnCase<lowerAsciiChar>, false};

}  // namespace

void descendInPlace(char* p, size_t n) {
  const auto& t = descendTable();
  for (size_t i = 0; i < n; ++i) p[i] = t[static_cast<unsigned char>(p[i])];
}

const Builtin* findFunction(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Builtin& fn : kFunctions)
    if (lower == fn.name) return &fn;
  if (lower.size() < 4) return nullptr;
  for (const Builtin& fn : kFunctions)
    if (std::string_view(fn.name).starts_with(lower)) return &fn;
  return nullptr;
}

NodePtr makeCall(const Builtin& fn, std::vector<NodePtr> args, ExprContext& ctx,
                 std::string_view text, const CompileOptions& options) {
  int n = static_cast<int>(args.size());
  if (n < fn.minArgs || n > fn.maxArgs) {
    std::string want = fn.minArgs == fn.maxArgs
                           ? std::to_string(fn.minArgs)
                           : std::to_string(fn.minArgs) + " to " + std::to_string(fn.maxArgs);
    compileFault(rt::kErrArg,
                 "Argument error: " + std::string(fn.name) + "() takes " + want + " arguments, " +
                     std::to_string(n) + " given",
                 fn.name, text);
  }
  std::shared_ptr<BoundArea> area = fn.needsArea ? ctx.bindArea("") : nullptr;
  const Builtin* use = &fn;
  if (options.asciiCase && use->append == fnCase<rt::upperChar>) use = &kAsciiUpper;
  if (options.asciiCase && use->append == fnCase<rt::lowerChar>) use = &kAsciiLower;
  return std::make_unique<Call>(*use, std::move(args), std::move(area));
}

}  // namespace tav::engine::expr

// The expression tests' stand-in for work areas: one-record tables in memory by alias, whose fields
// refuse a value of the wrong type as a table would and count their reads, appends and writes; with
// the settings reset and the guarded evaluate() and faultOf() the tests share.
#pragma once
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/context.h"
#include "engine/expr/expression.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tav::engine::testing {

inline std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A field of one record held in memory. put() checks the type as a table would.
class FakeField : public BoundField {
 public:
  FakeField(char type, int length, int decimals, rt::Value v)
      : type_(type), length_(length), decimals_(decimals), value(std::move(v)) {}
  rt::Value get() const override {
    ++gets;
    return value;
  }
  void put(const rt::Value& v) override {
    bool fits = (type_ == 'C' && v.isText()) || (type_ == 'N' && v.isNumber()) ||
                (type_ == 'D' && v.isDate()) || (type_ == 'L' && v.isLogical());
    if (!fits) {
      rt::Error e;
      e.genCode = rt::kErrDataType;
      e.description = "Data type error";
      e.operation = "field put";
      rt::fail(e);
    }
    value = v;
    ++puts;
  }
  void appendText(std::string& out) const override {
    ++appends;
    out += value.str();
  }
  char type() const override { return type_; }
  int length() const override { return length_; }
  int decimals() const override { return decimals_; }

  char type_;
  int length_, decimals_;
  rt::Value value;
  mutable int gets = 0, appends = 0;
  int puts = 0;
};

class FakeArea : public BoundArea {
 public:
  uint32_t recno() const override { return rec; }
  bool deleted() const override { return del; }
  uint32_t rec = 1;
  bool del = false;
};

struct FakeTable {
  std::shared_ptr<FakeArea> area = std::make_shared<FakeArea>();
  std::map<std::string, std::shared_ptr<FakeField>> fields;  // by lower-case name

  std::shared_ptr<FakeField> add(std::string_view name, char type, int length, int decimals,
                                 rt::Value v) {
    auto f = std::make_shared<FakeField>(type, length, decimals, std::move(v));
    fields[folded(name)] = f;
    return f;
  }
  // A character field holding `text` padded to `length`.
  std::shared_ptr<FakeField> text(std::string_view name, int length, std::string_view text = "") {
    std::string v(text);
    v.resize(static_cast<size_t>(length), ' ');
    return add(name, 'C', length, 0, rt::Value(std::move(v)));
  }
  std::shared_ptr<FakeField> number(std::string_view name, int length, int decimals, double v) {
    return add(name, 'N', length, decimals, rt::Value::number(v, length, decimals));
  }
  std::shared_ptr<FakeField> date(std::string_view name, rt::Date d) {
    return add(name, 'D', 8, 0, rt::Value(d));
  }
  std::shared_ptr<FakeField> logical(std::string_view name, bool b) {
    return add(name, 'L', 1, 0, rt::Value(b));
  }
};

// Work areas by alias; "" binds the current one.
class FakeContext : public ExprContext {
 public:
  FakeTable& open(std::string_view alias) {
    current = folded(alias);
    return tables[current];
  }
  std::shared_ptr<BoundField> bindField(std::string_view alias, std::string_view name) override {
    FakeTable* t = find(alias);
    if (!t) return nullptr;
    auto it = t->fields.find(folded(name));
    return it == t->fields.end() ? nullptr : it->second;
  }
  std::shared_ptr<BoundArea> bindArea(std::string_view alias) override {
    FakeTable* t = find(alias);
    return t ? t->area : nullptr;
  }
  FakeTable* find(std::string_view alias) {
    auto it = tables.find(alias.empty() ? current : folded(alias));
    return it == tables.end() ? nullptr : &it->second;
  }

  std::map<std::string, FakeTable> tables;
  std::string current;
};

// Restores the runtime settings a test changes.
struct SettingsReset {
  SettingsReset() { rt::resetSettings(); }
  ~SettingsReset() { rt::resetSettings(); }
};

// Compiles and evaluates under an abandoning guard; a fault fails the test with its summary.
inline rt::Value evaluate(std::string_view text, ExprContext& ctx) {
  rt::Value result;
  rt::Error err;
  bool ok = rt::guarded([&] { result = Expression::compile(text, ctx)->eval(); }, &err);
  if (!ok) throw std::runtime_error(std::string(text) + ": " + err.summary());
  return result;
}

// The fault that compiling and evaluating `text` abandons with; genCode kErrNone when none.
inline rt::Error faultOf(std::string_view text, ExprContext& ctx) {
  rt::Error err;
  rt::guarded([&] { Expression::compile(text, ctx)->eval(); }, &err);
  return err;
}

}  // namespace tav::engine::testing

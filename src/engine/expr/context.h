#pragma once

// What a compiled expression binds to: fields of open work areas and the current area, plus the
// compile options. Bindings are made once at compile time; evaluation looks no names up.

#include <cstdint>
#include <memory>
#include <string_view>

#include "runtime/value.h"

namespace tav::engine {

// A field of an open work area as a compiled expression holds it: bound once at compile time,
// read and written per record without looking the name up again.
class BoundField {
 public:
  virtual ~BoundField() = default;
  virtual rt::Value get() const = 0;
  virtual void put(const rt::Value& v) = 0;  // type and width errors go to the error handler
  virtual char type() const = 0;             // 'C', 'N', 'D', 'L', 'M', ...
  virtual int length() const = 0;
  virtual int decimals() const = 0;
  // Appends a character or memo field's bytes as get() would give them. Index builds call this
  // for every key of every record; an engine that holds the record buffer overrides it to copy
  // the bytes straight from there instead of building a Value.
  virtual void appendText(std::string& out) const {
    rt::Value v = get();
    if (v.isText()) out += v.str();
  }
};

// The work area an expression's recno() and deleted() refer to.
class BoundArea {
 public:
  virtual ~BoundArea() = default;
  virtual uint32_t recno() const = 0;
  virtual bool deleted() const = 0;
};

// How an expression is compiled. asciiCase: upper() and lower() change only the letters a-z /
// A-Z, as engines without the national code page did; the keys of index tags such engines built
// are compared with the expression compiled this way (see docs/cdx-format.md, "Dialects").
struct CompileOptions {
  bool asciiCase = false;
};

// What names in an expression mean. The table engine implements it over its work areas; an
// unqualified name binds to the area that is current when the expression is compiled (an index
// key binds to its table, a block to the area selected when it is compiled).
class ExprContext {
 public:
  virtual ~ExprContext() = default;
  // alias empty: the current area. nullptr when the alias is not open or has no such field.
  virtual std::shared_ptr<BoundField> bindField(std::string_view alias, std::string_view name) = 0;
  // nullptr when the alias is not open (empty alias: the current area; nullptr when none is).
  virtual std::shared_ptr<BoundArea> bindArea(std::string_view alias) = 0;
};

}  // namespace tav::engine

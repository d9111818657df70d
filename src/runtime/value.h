#pragma once

// The values the tool passes around (texts, numbers, dates, logicals, arrays, blocks). Arrays are
// shared by reference: a routine given a record image changes the caller's array.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "runtime/date.h"

namespace tav::rt {

class Value;
using Array = std::vector<Value>;
using ArrayRef = std::shared_ptr<Array>;

// A code block ({|| ... }): compiled once, evaluated many times.
class Block {
 public:
  virtual ~Block() = default;
  virtual Value eval(std::span<const Value> args) = 0;
};
using BlockRef = std::shared_ptr<Block>;

// The value types the tool passes around. Texts are code page 852 bytes. Arrays are shared by
// reference, as in the runtime the tool was written for: a record image passed to a routine is
// the caller's array.
enum class Type : uint8_t { Nil, Character, Memo, Numeric, Date, Logical, Array, Block };

// Type letter as ValType() gives it: "U", "C", "M", "N", "D", "L", "A", "B".
char typeLetter(Type t);

struct Number {
  double value = 0;
  int16_t width = -1;     // display width when known (a field's length); -1 unknown
  int16_t decimals = -1;  // decimals when known; -1 unknown
};

class Value {
 public:
  Value() = default;
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(double n) : v_(Number{n, -1, -1}) {}
  Value(int n) : v_(Number{static_cast<double>(n), -1, 0}) {}
  Value(long n) : v_(Number{static_cast<double>(n), -1, 0}) {}
  Value(long long n) : v_(Number{static_cast<double>(n), -1, 0}) {}
  Value(Number n) : v_(n) {}
  Value(Date d) : v_(d) {}
  Value(bool b) : v_(b) {}
  Value(ArrayRef a) : v_(std::move(a)) {}
  Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
  Value(BlockRef b) : v_(std::move(b)) {}
  static Value memo(std::string s) {
    Value v(std::move(s));
    v.memo_ = true;
    return v;
  }
  static Value number(double n, int width, int decimals) {
    return Value(Number{n, static_cast<int16_t>(width), static_cast<int16_t>(decimals)});
  }
  static Value array(size_t n) { return Value(std::make_shared<Array>(n)); }

  Type type() const;
  bool isNil() const { return std::holds_alternative<std::monostate>(v_); }
  bool isText() const { return std::holds_alternative<std::string>(v_); }  // Character or Memo
  bool isNumber() const { return std::holds_alternative<Number>(v_); }
  bool isDate() const { return std::holds_alternative<Date>(v_); }
  bool isLogical() const { return std::holds_alternative<bool>(v_); }
  bool isArray() const { return std::holds_alternative<ArrayRef>(v_); }
  bool isBlock() const { return std::holds_alternative<BlockRef>(v_); }

  // Accessors assert the type; callers check it first (a wrong type is a runtime error they raise).
  const std::string& str() const { return std::get<std::string>(v_); }
  std::string& str() { return std::get<std::string>(v_); }
  double num() const { return std::get<Number>(v_).value; }
  const Number& numInfo() const { return std::get<Number>(v_); }
  Date date() const { return std::get<Date>(v_); }
  bool log() const { return std::get<bool>(v_); }
  Array& arr() const { return *std::get<ArrayRef>(v_); }
  const ArrayRef& arrRef() const { return std::get<ArrayRef>(v_); }
  Block& block() const { return *std::get<BlockRef>(v_); }

  // EMPTY(): blanks, 0, empty date, .F., NIL, an empty array.
  bool empty() const;
  // Same type and same contents; texts compared byte for byte (no SET EXACT, no collation).
  bool identical(const Value& o) const;

 private:
  std::variant<std::monostate, std::string, Number, Date, bool, ArrayRef, BlockRef> v_;
  bool memo_ = false;
};

}  // namespace tav::rt

// Type letters, emptiness and identity of runtime values; identity of arrays and blocks is by
// reference, as the runtime the tool was written for compares them.

#include "runtime/value.h"

namespace tav::rt {

char typeLetter(Type t) {
  switch (t) {
    case Type::Nil:
      return 'U';
    case Type::Character:
      return 'C';
    case Type::Memo:
      return 'M';
    case Type::Numeric:
      return 'N';
    case Type::Date:
      return 'D';
    case Type::Logical:
      return 'L';
    case Type::Array:
      return 'A';
    case Type::Block:
      return 'B';
  }
  return 'U';
}

Type Value::type() const {
  switch (v_.index()) {
    case 0:
      return Type::Nil;
    case 1:
      return memo_ ? Type::Memo : Type::Character;
    case 2:
      return Type::Numeric;
    case 3:
      return Type::Date;
    case 4:
      return Type::Logical;
    case 5:
      return Type::Array;
    default:
      return Type::Block;
  }
}

bool Value::empty() const {
  switch (type()) {
    case Type::Nil:
      return true;
    case Type::Character:
    case Type::Memo:
      for (char c : str())
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
      return true;
    case Type::Numeric:
      return num() == 0;
    case Type::Date:
      return date().empty();
    case Type::Logical:
      return !log();
    case Type::Array:
      return arr().empty();
    case Type::Block:
      return false;
  }
  return true;
}

bool Value::identical(const Value& o) const {
  if (type() != o.type()) return false;
  switch (type()) {
    case Type::Nil:
      return true;
    case Type::Character:
    case Type::Memo:
      return str() == o.str();
    case Type::Numeric:
      return num() == o.num();
    case Type::Date:
      return date() == o.date();
    case Type::Logical:
      return log() == o.log();
    case Type::Array: {
      if (arrRef() == o.arrRef()) return true;
      const Array& a = arr();
      const Array& b = o.arr();
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!a[i].identical(b[i])) return false;
      return true;
    }
    case Type::Block:
      return std::get<BlockRef>(v_) == std::get<BlockRef>(o.v_);
  }
  return false;
}

}  // namespace tav::rt

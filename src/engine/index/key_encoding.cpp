#include "engine/index/key_encoding.h"

#include <cstring>

#include "runtime/coding.h"
#include "runtime/collation.h"

namespace tav::engine {
namespace {

std::string encodeDouble(double d) {
  if (d == 0) d = 0;  // -0 sorts with +0
  uint64_t u = rt::doubleBits(d);
  if (u & (1ULL << 63))
    u = ~u;
  else
    u |= 1ULL << 63;
  std::string out(8, '\0');
  rt::putBE64(out.data(), u);
  return out;
}

}  // namespace

std::string encodeKey(const rt::Value& v, KeyType type, size_t keyLength) {
  switch (type) {
    case KeyType::Character: {
      std::string s = v.isText() ? v.str() : std::string();
      s.resize(keyLength, ' ');
      return s;
    }
    case KeyType::Numeric: return encodeDouble(v.isNumber() ? v.num() : 0);
    case KeyType::Date: return encodeDouble(v.isDate() ? v.date().julian() : 0);
    case KeyType::Logical: return std::string(1, v.isLogical() && v.log() ? 'T' : 'F');
  }
  return std::string();
}

double decodeNumericKey(const std::string& key) {
  if (key.size() < 8) return 0;
  uint64_t u = rt::getBE64(key.data());
  if (u & (1ULL << 63))
    u &= ~(1ULL << 63);
  else
    u = ~u;
  return rt::bitsDouble(u);
}

size_t fixedKeyLength(KeyType type) {
  switch (type) {
    case KeyType::Numeric:
    case KeyType::Date: return 8;
    case KeyType::Logical: return 1;
    case KeyType::Character: return 0;
  }
  return 0;
}

KeyType keyTypeOf(const rt::Value& v) {
  if (v.isNumber()) return KeyType::Numeric;
  if (v.isDate()) return KeyType::Date;
  if (v.isLogical()) return KeyType::Logical;
  return KeyType::Character;
}

int compareKeys(KeyType type, const void* a, const void* b, size_t n) {
  if (type == KeyType::Character) return rt::collateKeys(a, b, n);
  int c = std::memcmp(a, b, n);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace tav::engine

// The key encodings of both index formats. -0 is made +0 before encoding, so equal numbers always
// give equal keys.

#include "engine/index/key_encoding.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
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
    case KeyType::Numeric:
      return encodeDouble(v.isNumber() ? v.num() : 0);
    case KeyType::Date:
      return encodeDouble(v.isDate() ? v.date().julian() : 0);
    case KeyType::Logical:
      return std::string(1, v.isLogical() && v.log() ? 'T' : 'F');
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

std::string encodeNtxKey(const rt::Value& v, KeyType type, size_t keyLength, int decimals) {
  switch (type) {
    case KeyType::Character:
      return encodeKey(v, type, keyLength);
    case KeyType::Numeric: {
      double d = v.isNumber() ? v.num() : 0;
      bool negative = d < 0;
      decimals = std::max(0, std::min(decimals, static_cast<int>(keyLength) - 1));
      char buf[400];
      int n = std::snprintf(buf, sizeof buf, "%0*.*f", static_cast<int>(keyLength), decimals,
                            std::fabs(d));
      std::string s;
      if (n < 0 || static_cast<size_t>(n) > keyLength) {
        s.assign(keyLength, '9');
        if (decimals > 0) s[keyLength - decimals - 1] = '.';
      } else {
        s.assign(buf, static_cast<size_t>(n));
      }
      if (negative && s.find_first_not_of("0.") != std::string::npos)
        for (char& c : s) c = static_cast<char>(92 - c);
      return s;
    }
    case KeyType::Date: {
      std::string s = v.isDate() ? v.date().dtos() : std::string(8, ' ');
      s.resize(keyLength, ' ');
      return s;
    }
    case KeyType::Logical: {
      std::string s(1, v.isLogical() && v.log() ? 'T' : 'F');
      s.resize(keyLength, ' ');
      return s;
    }
  }
  return std::string();
}

size_t fixedKeyLength(KeyType type) {
  switch (type) {
    case KeyType::Numeric:
    case KeyType::Date:
      return 8;
    case KeyType::Logical:
      return 1;
    case KeyType::Character:
      return 0;
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

int compareKeys(const IndexTag& tag, const void* a, const void* b, size_t n) {
  if (!tag.plainByteOrder()) return compareKeys(tag.keyType(), a, b, n);
  int c = std::memcmp(a, b, n);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace tav::engine

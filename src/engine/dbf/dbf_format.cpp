// DBF headers and field values: parsing (nothing read from disk is trusted before it is checked),
// building new headers, and the encoding of every field type. A value is written only in a form
// that reads back as the same value (bytesRoundTrip names the bytes that already are in it).
#include "engine/dbf/dbf_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>

#include "runtime/codepage.h"
#include "runtime/coding.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::engine {
namespace {

bool isVisualFox(uint8_t version) { return version == 0x30 || version == 0x31 || version == 0x32; }

std::string trimmed(const char* p, size_t n) {
  size_t b = 0, e = n;
  while (b < e && (p[b] == ' ' || p[b] == '\0')) ++b;
  while (e > b && (p[e - 1] == ' ' || p[e - 1] == '\0')) --e;
  return std::string(p + b, e - b);
}

bool validName(const std::string& n) {
  if (n.empty() || n.size() > 10) return false;
  if (!(n[0] >= 'A' && n[0] <= 'Z') && n[0] != '_') return false;
  for (char c : n)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

bool isBinaryMemo(const FieldDef& f) { return f.length == 4; }

}  // namespace

bool DbfHeader::hasMemo() const {
  for (const auto& f : fields)
    if (f.type == 'M' || f.type == 'G' || f.type == 'P') return true;
  return false;
}

bool DbfHeader::memoPointersBinary() const { return isVisualFox(version); }

bool parseHeader(std::string_view bytes, DbfHeader& h, std::string& why) {
  h = DbfHeader{};
  if (bytes.size() < dbf::kHeaderFixed) {
    why = "file is shorter than a table header";
    return false;
  }
  const char* p = bytes.data();
  h.version = static_cast<uint8_t>(p[0]);
  h.year = 1900 + static_cast<uint8_t>(p[1]);
  h.month = static_cast<uint8_t>(p[2]);
  h.day = static_cast<uint8_t>(p[3]);
  h.recordCount = rt::getLE32(p + 4);
  h.headerLength = rt::getLE16(p + 8);
  h.recordLength = rt::getLE16(p + 10);
  h.tableFlags = static_cast<uint8_t>(p[28]);
  h.codePage = static_cast<uint8_t>(p[29]);
  if ((h.version & 0x07) != 0x03 && (h.version & 0x07) != 0x04 && (h.version & 0x07) != 0x05 &&
      !isVisualFox(h.version) && h.version != 0x02) {
    why = "unknown table version byte " + std::to_string(h.version);
    return false;
  }
  if (h.headerLength < dbf::kHeaderFixed + dbf::kDescriptorSize + 1) {
    why = "header length " + std::to_string(h.headerLength) + " is too small for one field";
    return false;
  }
  if (h.headerLength > bytes.size()) {
    why = "header length " + std::to_string(h.headerLength) + " runs past the end of the file";
    return false;
  }
  size_t pos = dbf::kHeaderFixed;
  uint32_t offset = 1;
  int nullBits = 0;
  bool terminated = false;
  while (pos < h.headerLength) {
    if (static_cast<uint8_t>(p[pos]) == dbf::kFieldTerminator) {
      terminated = true;
      break;
    }
    if (pos + dbf::kDescriptorSize > h.headerLength) break;
    const char* d = p + pos;
    FieldDef f;
    size_t nameLen = 0;
    while (nameLen < 11 && d[nameLen] != '\0') ++nameLen;
    f.name = rt::upper(trimmed(d, nameLen));
    f.type = static_cast<char>(rt::upperChar(d[11]));
    f.length = static_cast<uint8_t>(d[16]);
    f.decimals = static_cast<uint8_t>(d[17]);
    f.flags = isVisualFox(h.version) ? static_cast<uint8_t>(d[18]) : 0;
    // Long character fields keep the high byte of their length in the decimals byte.
    if (f.type == 'C' && f.decimals != 0 && !isVisualFox(h.version)) {
      f.length = static_cast<uint16_t>(f.length + 256 * f.decimals);
      f.decimals = 0;
    }
    if (f.name.empty()) {
      why = "field " + std::to_string(h.fields.size() + 1) + " has no name";
      return false;
    }
    if (f.length == 0) {
      why = "field " + f.name + " has length 0";
      return false;
    }
    f.offset = offset;
    offset += f.length;
    if (f.type == '0') h.nullFlagsField = static_cast<int>(h.fields.size());
    if (f.flags & 0x02) f.nullBit = nullBits++;
    if ((f.type == 'V' || f.type == 'Q') && isVisualFox(h.version)) f.varBit = nullBits++;
    h.fields.push_back(std::move(f));
    if (h.fields.size() > dbf::kMaxFields) {
      why = "more than 255 fields";
      return false;
    }
    pos += dbf::kDescriptorSize;
  }
  if (!terminated) {
    why = "field descriptors are not ended by 0x0D within the header";
    return false;
  }
  if (h.fields.empty()) {
    why = "table has no fields";
    return false;
  }
  if (offset > h.recordLength) {
    why = "record length " + std::to_string(h.recordLength) + " is shorter than its fields (" +
          std::to_string(offset) + ")";
    return false;
  }
  if (h.nullFlagsField >= 0 &&
      size_t(h.fields[size_t(h.nullFlagsField)].length) * 8 < size_t(nullBits)) {
    why = "_NullFlags field is too short for its fields";
    return false;
  }
  return true;
}

bool buildHeader(const std::vector<FieldSpec>& specs, DbfHeader& h, std::string& out,
                 std::string& why) {
  h = DbfHeader{};
  if (specs.empty()) {
    why = "a table needs at least one field";
    return false;
  }
  if (specs.size() > dbf::kMaxFields) {
    why = "more than 255 fields";
    return false;
  }
  std::set<std::string> names;
  uint32_t offset = 1;
  bool memo = false;
  for (const auto& s : specs) {
    FieldDef f;
    f.name = rt::upper(rt::allTrim(s.name));
    f.type = rt::upperChar(s.type);
    if (!validName(f.name)) {
      why = "field name \"" + s.name + "\" is not a name of 1 to 10 letters, digits or _";
      return false;
    }
    if (!names.insert(f.name).second) {
      why = "field name " + f.name + " occurs twice";
      return false;
    }
    int len = s.length, dec = s.decimals;
    bool ok = dec >= 0;
    switch (f.type) {
      case 'C':
        ok = ok && len >= 1 && len <= 254 && dec == 0;
        break;
      case 'N':
      case 'F':
        ok = ok && len >= 1 && len <= 20 && (dec == 0 || (dec <= len - 2 && dec <= 15));
        break;
      case 'D':
        ok = ok && len == 8 && dec == 0;
        break;
      case 'L':
        ok = ok && len == 1 && dec == 0;
        break;
      case 'M':
        ok = ok && len == 10 && dec == 0;
        memo = true;
        break;
      default:
        why = "field " + f.name + " has type " + std::string(1, f.type) +
              ", a new table takes only C, N, F, D, L and M";
        return false;
    }
    if (!ok) {
      why = "field " + f.name + " of type " + std::string(1, f.type) + " cannot have length " +
            std::to_string(len) + " and " + std::to_string(dec) + " decimals";
      return false;
    }
    f.length = static_cast<uint16_t>(len);
    f.decimals = static_cast<uint8_t>(dec);
    f.offset = offset;
    offset += f.length;
    h.fields.push_back(std::move(f));
  }
  if (offset > dbf::kMaxRecordLength) {
    why = "record length " + std::to_string(offset) + " exceeds " +
          std::to_string(dbf::kMaxRecordLength);
    return false;
  }
  h.version = memo ? dbf::kVersionFoxMemo : dbf::kVersionPlain;
  h.recordLength = static_cast<uint16_t>(offset);
  h.headerLength =
      static_cast<uint16_t>(dbf::kHeaderFixed + dbf::kDescriptorSize * specs.size() + 1);
  h.codePage = dbf::kCodePage852;
  out.assign(h.headerLength, '\0');
  encodeCountAndDate(h.version, 0, out.data());
  rt::putLE16(out.data() + 8, h.headerLength);
  rt::putLE16(out.data() + 10, h.recordLength);
  out[29] = static_cast<char>(h.codePage);
  size_t pos = dbf::kHeaderFixed;
  for (const auto& f : h.fields) {
    std::memcpy(out.data() + pos, f.name.data(), f.name.size());
    out[pos + 11] = f.type;
    out[pos + 16] = static_cast<char>(f.length);
    out[pos + 17] = static_cast<char>(f.decimals);
    pos += dbf::kDescriptorSize;
  }
  out[pos] = static_cast<char>(dbf::kFieldTerminator);
  return true;
}

void encodeCountAndDate(uint8_t version, uint32_t count, char out[8]) {
  rt::Date today = rt::Date::today();
  out[0] = static_cast<char>(version);
  out[1] = static_cast<char>(today.year() - 1900);
  out[2] = static_cast<char>(today.month());
  out[3] = static_cast<char>(today.day());
  rt::putLE32(out + 4, count);
}

uint32_t memoPointer(const FieldDef& f, bool binary, const char* raw) {
  if (binary || isBinaryMemo(f)) return f.length >= 4 ? rt::getLE32(raw) : 0;
  uint64_t v = 0;
  bool digits = false;
  for (size_t i = 0; i < f.length; ++i) {
    char c = raw[i];
    if (c >= '0' && c <= '9') {
      v = v * 10 + uint64_t(c - '0');
      digits = true;
      if (v > 0xFFFFFFFFull) return 0;
    } else if (c != ' ' && c != '\0') {
      return 0;  // not a pointer at all: treated as "no memo" (check reports it)
    }
  }
  return digits ? static_cast<uint32_t>(v) : 0;
}

void encodeMemoPointer(const FieldDef& f, bool binary, uint32_t block, char* raw) {
  if (binary || isBinaryMemo(f)) {
    if (f.length >= 4) rt::putLE32(raw, block);
    return;
  }
  if (block == 0) {
    std::memset(raw, ' ', f.length);
    return;
  }
  std::string s = std::to_string(block);
  std::string padded = rt::padLeft(s, f.length);
  std::memcpy(raw, padded.data(), f.length);
}

Decoded decodeField(const FieldDef& f, const char* raw, const DbfHeader& h, rt::Value& out,
                    uint32_t& memoBlock) {
  if (f.nullBit >= 0 && h.nullFlagsField >= 0) {
    const FieldDef& nf = h.fields[size_t(h.nullFlagsField)];
    const char* bits = raw - f.offset + nf.offset;
    if (static_cast<uint8_t>(bits[f.nullBit / 8]) & (1u << (f.nullBit % 8))) {
      out = blankValue(f);
      return Decoded::Null;
    }
  }
  switch (f.type) {
    case 'C':
      out = rt::Value(std::string(raw, f.length));
      return Decoded::Ok;
    case 'V':
    case 'Q': {
      size_t n = f.length;
      if (f.varBit >= 0 && h.nullFlagsField >= 0) {
        const FieldDef& nf = h.fields[size_t(h.nullFlagsField)];
        const char* bits = raw - f.offset + nf.offset;
        if (static_cast<uint8_t>(bits[f.varBit / 8]) & (1u << (f.varBit % 8)))
          n = std::min<size_t>(static_cast<uint8_t>(raw[f.length - 1]), f.length - 1);
      }
      out = rt::Value(std::string(raw, n));
      return Decoded::Ok;
    }
    case 'N':
    case 'F': {
      // Leading blanks and NULs are no part of the number; Val stops at whatever ends it.
      size_t b = 0;
      while (b < f.length && (raw[b] == ' ' || raw[b] == '\0')) ++b;
      double v = rt::Val(std::string_view(raw + b, f.length - b)).value;
      out = rt::Value::number(v, f.length, f.decimals);
      return Decoded::Ok;
    }
    case 'D':
      out = rt::Value(f.length >= 8 ? rt::Date::fromDtos(std::string_view(raw, 8)) : rt::Date());
      return Decoded::Ok;
    case 'L': {
      char c = raw[0];
      out = rt::Value(c == 'T' || c == 't' || c == 'Y' || c == 'y');
      return Decoded::Ok;
    }
    case 'M':
    case 'G':
    case 'P':
      memoBlock = memoPointer(f, h.memoPointersBinary(), raw);
      out = rt::Value::memo(std::string());
      return Decoded::Memo;
    case 'I': {
      int32_t v = f.length >= 4 ? static_cast<int32_t>(rt::getLE32(raw)) : 0;
      out = rt::Value::number(v, 11, 0);
      return Decoded::Ok;
    }
    case 'B': {
      double v = f.length >= 8 ? rt::bitsDouble(rt::getLE64(raw)) : 0.0;
      out = rt::Value::number(v, 20, f.decimals);
      return Decoded::Ok;
    }
    case 'Y': {
      int64_t v = f.length >= 8 ? static_cast<int64_t>(rt::getLE64(raw)) : 0;
      out = rt::Value::number(static_cast<double>(v) / 10000.0, 20, 4);
      return Decoded::Ok;
    }
    case 'T': {
      // Blanks and other writers' stray bytes make day numbers no calendar has.
      int32_t jd = f.length >= 8 ? static_cast<int32_t>(rt::getLE32(raw)) : 0;
      out = rt::Value(rt::Date::fromStoredJulian(jd));
      return Decoded::Ok;
    }
    default:
      out = rt::Value(std::string(raw, f.length));
      return Decoded::Ok;
  }
}

bool encodeField(const FieldDef& f, const rt::Value& v, char* raw, int& errorCode) {
  errorCode = rt::kErrDataType;
  switch (f.type) {
    case 'C':
    case 'V': {
      if (!v.isText()) return false;
      std::string s = rt::padRight(v.str(), f.length);
      std::memcpy(raw, s.data(), f.length);
      return true;
    }
    case 'N':
    case 'F': {
      if (!v.isNumber()) return false;
      double n = v.num();
      errorCode = rt::kErrDataWidth;
      if (!std::isfinite(n)) return false;
      std::string s = rt::Str(n, f.length, f.decimals);
      // The runtime shows asterisks for a number too wide for its field; written to a table
      // they would replace the amount for good, so the write is refused instead.
      if (s.size() != f.length || s.find('*') != std::string::npos) return false;
      std::memcpy(raw, s.data(), f.length);
      return true;
    }
    case 'D': {
      if (!v.isDate()) return false;
      if (f.length < 8) return false;
      std::string s = v.date().dtos();
      std::memcpy(raw, s.data(), 8);
      return true;
    }
    case 'L':
      if (!v.isLogical()) return false;
      raw[0] = v.log() ? 'T' : 'F';
      return true;
    case 'I': {
      if (!v.isNumber() || f.length < 4) return false;
      double n = std::round(v.num());
      errorCode = rt::kErrDataWidth;
      if (!(n >= -2147483648.0 && n <= 2147483647.0)) return false;
      rt::putLE32(raw, static_cast<uint32_t>(static_cast<int32_t>(n)));
      return true;
    }
    case 'B':
      if (!v.isNumber() || f.length < 8) return false;
      rt::putLE64(raw, rt::doubleBits(v.num()));
      return true;
    case 'Y': {
      if (!v.isNumber() || f.length < 8) return false;
      double n = std::round(v.num() * 10000.0);
      errorCode = rt::kErrDataWidth;
      if (!(std::fabs(n) < 9.2e18)) return false;
      rt::putLE64(raw, static_cast<uint64_t>(static_cast<int64_t>(n)));
      return true;
    }
    case 'T':
      if (!v.isDate() || f.length < 8) return false;
      rt::putLE32(raw, static_cast<uint32_t>(v.date().julian()));
      rt::putLE32(raw + 4, 0);
      return true;
    default:
      return false;
  }
}

namespace {

bool blanks(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// Which bytes of a field are blanks and digits, a bit a byte from the field's first.
struct ByteClasses {
  uint64_t blank = 0, digit = 0;
};

// Any width up to 64 bytes, a byte at a time.
ByteClasses classified(const char* raw, size_t len) {
  ByteClasses c;
  for (size_t k = 0; k < len; ++k) {
    const unsigned char b = static_cast<unsigned char>(raw[k]);
    c.blank |= uint64_t(b == ' ') << k;
    c.digit |= uint64_t(unsigned(b - '0') <= 9) << k;
  }
  return c;
}

#if defined(__SSE2__)
// The widths of nearly every number field (8 to 16 bytes) all at once, every record of every
// copied table passing here field by field. The field's bytes are loaded without reading past
// them (a record's last field may end its buffer): bytes 8 and up come from its last eight,
// moved down, and the places after the field count as blanks.
ByteClasses classifiedWide(const char* raw, size_t len) {
  uint64_t low, high;
  std::memcpy(&low, raw, 8);
  std::memcpy(&high, raw + len - 8, 8);
  const unsigned shift = static_cast<unsigned>(16 - len) * 8;
  high = shift == 64 ? 0 : high >> shift;
  if (len < 16) high |= 0x2020202020202020ull << ((len - 8) * 8);
  const __m128i v = _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
  const __m128i units = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  auto mask = [](__m128i m) { return static_cast<uint64_t>(_mm_movemask_epi8(m)); };
  ByteClasses c;
  c.blank = mask(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
  c.digit = mask(_mm_cmpeq_epi8(_mm_min_epu8(units, _mm_set1_epi8(9)), units));
  return c;
}
#endif

// The form Str gives a number of at most 15 digits, which Val reads back to the very double
// that formats to it again (the count of units stays far below 2^51, where Str prints exactly):
// blanks, an optional minus, digits without a leading zero, the point where the decimals put it.
// The bytes are classified first and compared with the one pattern their first non-blank allows,
// instead of loops whose lengths follow each number's size.
bool formattedNumber(const RoundTripCheck& n, const char* raw) {
  const size_t len = n.length, intEnd = n.intEnd;
#if defined(__SSE2__)
  const ByteClasses c = len >= 8 && len <= 16 ? classifiedWide(raw, len) : classified(raw, len);
#else
  const ByteClasses c = classified(raw, len);
#endif
  const uint64_t nonBlank = ~c.blank & n.all;
  if (nonBlank == 0) return false;  // blank: a zero
  const size_t start = static_cast<size_t>(__builtin_ctzll(nonBlank));
  const bool negative = raw[start] == '-';
  const size_t intStart = start + (negative ? 1 : 0);
  if (intEnd <= intStart) return false;
  const uint64_t expected = n.all & ~((uint64_t(1) << intStart) - 1) & ~n.point;
  if ((c.digit & n.all) != expected || (n.point && raw[intEnd] != '.')) return false;
  if (intEnd - intStart > 1 && raw[intStart] == '0') return false;
  if ((intEnd - intStart) + n.decimals > 15) return false;
  if (!negative) return true;
  // Str writes no minus before a zero.
  for (size_t k = intStart; k < len; ++k)
    if (raw[k] != '0' && k != intEnd) return true;
  return false;
}

bool dateDigits(const char* raw) {
  for (int i = 0; i < 8; ++i)
    if (raw[i] < '0' || raw[i] > '9') return false;
  auto number = [&](int at, int n) {
    int v = 0;
    for (int i = at; i < at + n; ++i) v = v * 10 + (raw[i] - '0');
    return v;
  };
  return !rt::Date::fromYmd(number(0, 4), number(4, 2), number(6, 2)).empty();
}

}  // namespace

RoundTripCheck roundTripCheck(const FieldDef& f) {
  using Kind = RoundTripCheck::Kind;
  RoundTripCheck c;
  c.length = f.length;
  if (f.nullBit >= 0 || f.varBit >= 0) return c;
  switch (f.type) {
    case 'C':
      c.kind = Kind::Always;
      return c;
    case 'L':
      if (f.length >= 1) c.kind = Kind::Logical;
      return c;
    case 'D':
      if (f.length >= 8) c.kind = Kind::Date;
      return c;
    case 'N':
    case 'F': {
      // A field wider than 64 bytes (no number field is) goes through its value.
      const size_t len = f.length;
      if (len < 1 || len > 64) return c;
      // Str keeps two places for the units and the point, as encodeField's call of it does.
      size_t dec = f.decimals;
      if (dec + 2 > len) dec = len > 2 ? len - 2 : 0;
      c.kind = Kind::Number;
      c.decimals = static_cast<uint8_t>(dec);
      c.intEnd = static_cast<uint8_t>(dec > 0 ? len - dec - 1 : len);
      c.all = len == 64 ? ~uint64_t(0) : (uint64_t(1) << len) - 1;
      c.point = dec > 0 ? uint64_t(1) << c.intEnd : 0;
      return c;
    }
    default:
      return c;
  }
}

bool bytesRoundTrip(const RoundTripCheck& check, const char* raw) {
  using Kind = RoundTripCheck::Kind;
  switch (check.kind) {
    case Kind::Always:
      return true;
    case Kind::Number:
      return formattedNumber(check, raw);
    case Kind::Logical:
      return (raw[0] == 'T' || raw[0] == 'F') && blanks(raw + 1, check.length - 1u);
    case Kind::Date:
      return (blanks(raw, 8) || dateDigits(raw)) && blanks(raw + 8, check.length - 8u);
    case Kind::Never:
      break;
  }
  return false;
}

bool bytesRoundTrip(const FieldDef& f, const char* raw) {
  return bytesRoundTrip(roundTripCheck(f), raw);
}

bool wellFormed(const FieldDef& f, const char* raw) {
  const size_t len = f.length;
  auto blank = [](char c) { return c == ' ' || c == '\0'; };
  if (f.type == 'N' || f.type == 'F') {
    size_t i = 0, end = len;
    while (i < end && blank(raw[i])) ++i;
    while (end > i && blank(raw[end - 1])) --end;
    if (i == end) return true;  // blank: zero
    if (raw[i] == '-' || raw[i] == '+') ++i;
    size_t digits = 0, points = 0;
    for (; i < end; ++i) {
      if (raw[i] >= '0' && raw[i] <= '9')
        ++digits;
      else if (raw[i] == '.' && ++points == 1)
        continue;
      else
        return false;
    }
    return digits > 0;
  }
  if (f.type == 'D') {
    if (len < 8) return false;
    for (size_t i = 8; i < len; ++i)
      if (!blank(raw[i])) return false;
    bool allBlank = true;
    for (size_t i = 0; i < 8; ++i) allBlank = allBlank && blank(raw[i]);
    return allBlank || dateDigits(raw);
  }
  return true;
}

rt::Value blankValue(const FieldDef& f) {
  switch (f.type) {
    case 'C':
      return rt::Value(std::string(f.length, ' '));
    case 'V':
      return rt::Value(std::string());
    case 'N':
    case 'F':
      return rt::Value::number(0, f.length, f.decimals);
    case 'I':
      return rt::Value::number(0, 11, 0);
    case 'B':
      return rt::Value::number(0, 20, f.decimals);
    case 'Y':
      return rt::Value::number(0, 20, 4);
    case 'D':
    case 'T':
      return rt::Value(rt::Date());
    case 'L':
      return rt::Value(false);
    case 'M':
    case 'G':
    case 'P':
      return rt::Value::memo(std::string());
    default:
      return rt::Value(std::string(f.length, ' '));
  }
}

std::string blankRecord(const DbfHeader& h) {
  std::string r(h.recordLength, ' ');
  for (const auto& f : h.fields) {
    bool binary = f.type == 'I' || f.type == 'B' || f.type == 'Y' || f.type == 'T' ||
                  f.type == '0' || f.type == 'Q' ||
                  ((f.type == 'M' || f.type == 'G' || f.type == 'P') &&
                   (h.memoPointersBinary() || f.length == 4));
    if (binary) std::memset(r.data() + f.offset, 0, f.length);
  }
  return r;
}

}  // namespace tav::engine

#pragma once

// DBF byte layout (integers little-endian):
//   0      version: 0x03 no memo, 0xF5 with FPT memo; 0x30/0x31/0x32 are read (Visual FoxPro)
//   1..3   date of last update, Y M D with Y = year - 1900 (readers taking year % 100 agree)
//   4      u32 record count, always equal to the whole records in the file
//   8      u16 header length = offset of record 1
//   10     u16 record length, the deleted-flag byte included
//   28     table flags: 0x01 structural CDX, 0x02 memo (VFP), 0x04 database container
//   29     code page mark: 0x64 for 852 (0x1F is also met), 0xC8 for 1250
//   32     field descriptors of 32 bytes, ended by 0x0D; VFP tables then hold a 263-byte backlink
//   record: ' ' live or '*' deleted, then the fields in order; 0x1A after the last record

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/value.h"

namespace tav::engine {

namespace dbf {
constexpr uint8_t kVersionPlain = 0x03;
constexpr uint8_t kVersionFoxMemo = 0xF5;
constexpr uint8_t kFlagStructuralCdx = 0x01;
constexpr uint8_t kCodePage852 = 0x64;
constexpr uint8_t kEofMarker = 0x1A;
constexpr uint8_t kFieldTerminator = 0x0D;
constexpr size_t kHeaderFixed = 32;
constexpr size_t kDescriptorSize = 32;
constexpr size_t kMaxFields = 255;
constexpr size_t kMaxRecordLength = 65500;
}  // namespace dbf

// One field as the record layout holds it.
struct FieldDef {
  std::string name;  // upper case, at most 10 characters
  char type = 'C';
  uint16_t length = 0;
  uint8_t decimals = 0;
  uint8_t flags = 0;    // 0x01 system (hidden), 0x02 nullable, 0x04 binary
  uint32_t offset = 0;  // in the record, the deleted byte being offset 0
  int nullBit = -1;     // bit in _NullFlags that says "null" (nullable fields)
  int varBit = -1;      // bit in _NullFlags that says "shorter than the field" (V, Q)
  bool hidden() const { return (flags & 0x01) != 0 || type == '0'; }
};

// A field as DBCREATE and DBSTRUCT see it.
struct FieldSpec {
  std::string name;
  char type = 'C';
  int length = 0;
  int decimals = 0;
};

struct DbfHeader {
  uint8_t version = dbf::kVersionPlain;
  int year = 0, month = 0, day = 0;  // last update
  uint32_t recordCount = 0;
  uint16_t headerLength = 0;
  uint16_t recordLength = 0;
  uint8_t tableFlags = 0;
  uint8_t codePage = 0;
  std::vector<FieldDef> fields;  // every field, hidden ones included, in record order
  int nullFlagsField = -1;       // index of the _NullFlags field, -1 when none
  bool hasMemo() const;
  bool memoPointersBinary() const;  // VFP: u32 block numbers instead of 10 ASCII digits
};

// Parses the header bytes (at least headerLength of them, or all the file has).
// False with a plain reason for every inconsistency; nothing is trusted before it is checked.
bool parseHeader(std::string_view bytes, DbfHeader& h, std::string& why);
// The whole header of a new table for these fields (without the records and the 0x1A).
// False with a reason when a name, a type or a length is not allowed.
bool buildHeader(const std::vector<FieldSpec>& specs, DbfHeader& h, std::string& headerBytes,
                 std::string& why);
// The 8 bytes at offset 0..3 and the count at 4..7 of an existing header.
void encodeCountAndDate(uint8_t version, uint32_t count, char out[8]);

// Field values. `raw` is the field's bytes within the record.
enum class Decoded { Ok, Memo, Null };
// Decodes every non-memo type; for memo fields gives Decoded::Memo with the block number in
// `memoBlock` (0 = none). Damaged numbers read as 0, never as a crash.
Decoded decodeField(const FieldDef& f, const char* raw, const DbfHeader& h, rt::Value& out,
                    uint32_t& memoBlock);
// Encodes v into the field's bytes. False with the runtime error code (kErrDataType,
// kErrDataWidth) when the value's type does not suit the field or it does not fit.
bool encodeField(const FieldDef& f, const rt::Value& v, char* raw, int& errorCode);
// True when `raw` holds exactly the bytes encodeField writes for the value decodeField reads
// from it: such a field can move as bytes to a field of the same type, length and decimals with
// the very result of a move through its value. Character fields always qualify; numbers in the
// formatter's own form (right-aligned, the field's decimals, no leading zero or minus zero) of
// at most 15 digits, dates of eight valid digits or blanks, and logicals "T"/"F" do. Others
// (a blank number, read as 0 and written as "0"; memos; nullable fields) need their value.
bool bytesRoundTrip(const FieldDef& f, const char* raw);
// The same question worked out once for a field and then asked of each record's bytes, as a
// copy does for every field of every record.
struct RoundTripCheck {
  enum class Kind : uint8_t { Never, Always, Number, Logical, Date };
  Kind kind = Kind::Never;
  uint16_t length = 0;
  uint8_t decimals = 0;  // as Str keeps them within the width
  uint8_t intEnd = 0;    // a number's point, or its end without decimals
  uint64_t all = 0;      // a bit for each byte of the field
  uint64_t point = 0;    // the point's bit, 0 without decimals
};
RoundTripCheck roundTripCheck(const FieldDef& f);
bool bytesRoundTrip(const RoundTripCheck& check, const char* raw);
// False when a numeric (N, F) or date (D) field holds bytes that are no number or date: a
// number is blanks around an optional sign, digits and at most one point; a date is eight
// blanks or the eight digits of a real day; blanks may be NULs. Reads stay lenient on such
// bytes (decodeField gives the number read up to the first stray byte, an impossible date reads
// empty), since books written by other programs hold them and the upgrade must go on; this is
// how a check tells them. Every other type answers true.
bool wellFormed(const FieldDef& f, const char* raw);
void encodeMemoPointer(const FieldDef& f, bool binary, uint32_t block, char* raw);
uint32_t memoPointer(const FieldDef& f, bool binary, const char* raw);
// The blank value of the field (spaces, 0, empty date, .F., empty memo).
rt::Value blankValue(const FieldDef& f);
// The blank bytes of a whole record (deleted flag ' ').
std::string blankRecord(const DbfHeader& h);

}  // namespace tav::engine

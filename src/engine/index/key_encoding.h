#pragma once

// How key values become index bytes, for compound and single-key files. Byte order of an encoded
// key must be the order of its value: the trees compare keys by bytes alone.

#include <string>

#include "engine/index/index.h"
#include "runtime/value.h"

namespace tav::engine {

// Encodes a key expression's value as the bytes an index stores:
// character keys are the 852 bytes cut or padded with blanks to the key length (they order by
// the Polish collation); numeric keys are the IEEE double big-endian with the sign bit flipped
// for values >= 0 (and -0 made +0) and every bit inverted for negatives, so that byte order is
// numeric order; dates are their Julian day number encoded as a number (the empty date as 0);
// logicals are 'T' or 'F'. Numeric, date and logical keys have a fixed length (8, 8, 1).
std::string encodeKey(const rt::Value& v, KeyType type, size_t keyLength);
double decodeNumericKey(const std::string& key);

// The key form of single-key (.ntx) files, which keep every key as text of the key length:
// character keys as above; numbers as their digits with `decimals` decimals, zero-filled on the
// left (too large a value becomes all nines), and for a negative number every character c
// replaced by 92 - c ('0'..'9' become ','..'#', the point stays), so that negatives sort before
// positives and larger magnitudes first; dates as yyyymmdd (blanks when empty); logicals T/F.
std::string encodeNtxKey(const rt::Value& v, KeyType type, size_t keyLength, int decimals);
size_t fixedKeyLength(KeyType type);    // 0 for character keys
KeyType keyTypeOf(const rt::Value& v);  // the tag type for an expression's value

// Orders two encoded keys of one tag: collation for character keys, bytes otherwise.
int compareKeys(KeyType type, const void* a, const void* b, size_t n);
// The same as the tag itself orders its keys (bytes in a tag of plain byte order).
int compareKeys(const IndexTag& tag, const void* a, const void* b, size_t n);

}  // namespace tav::engine

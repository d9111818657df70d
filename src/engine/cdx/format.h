#pragma once

// The compound index file, as it lies on disk. All pointers are byte offsets of 512-byte pages.
//
// File header = tag header (1024 bytes, at offset 0 for the tag directory, anywhere page aligned
// for a tag):
//    0 u32 LE  root page
//    4 u32 LE  free-page list head (in the file header only; 0 or 0xFFFFFFFF = none).
//              A free page holds the next free page in its first 4 bytes (LE), zeros after.
//    8 u32 LE  change counter, bumped by every write so that other readers drop their caches
//   12 u16 LE  key length (1..240; 10 for the tag directory)
//   14 u8      options: 0x01 unique, 0x08 FOR clause, 0x20 compact, 0x40 compound,
//              0x80 structural. Tags: 0x60 (+0x08). The file header: 0xE0.
//   15 u8      signature 0x01
//  494 8 bytes collation name, all zero (keys are raw 852 bytes)
//  502 u16 LE  descending flag
//  504 u16 LE  FOR expression offset in the pool, 506 its length with the NUL (1 when empty)
//  508 u16 LE  key expression offset in the pool (0), 510 its length with the NUL
//  512..1023   expression pool: key expression, NUL, FOR expression, NUL
//
// Node (512 bytes), 12-byte head:
//    0 u16 LE  attributes: bit 0 root, bit 1 leaf (0 interior, 1 root, 2 leaf, 3 root leaf)
//    2 u16 LE  entry count
//    4 u32 LE  left sibling, 8 u32 LE right sibling (0xFFFFFFFF none); every level is a list
// Interior node: from 12, count entries of key (key length bytes), record number (u32 BE) and
// child page (u32 BE). Each entry is the last key and record of its child, exactly.
// Leaf node, head continued:
//   12 u16 LE  free bytes between the entry array and the packed key bytes
//   14 u32 LE  record mask, 18 u8 duplicate mask, 19 u8 trailing mask
//   20 u8 record bits, 21 u8 duplicate bits, 22 u8 trailing bits, 23 u8 bytes per entry
//   24..       count entries, each a little-endian integer of `bytes per entry` bytes:
//              record | duplicates << recordBits | trailing << (recordBits + duplicateBits)
//   ..511      key bytes packed backwards from the page end: entry i stores
//              keyLength - duplicates - trailing bytes; the key is the previous key's first
//              `duplicates` bytes, the stored bytes, then `trailing` filler bytes (a blank for
//              character keys, 0x00 for numeric, date and the others).
// Widths are chosen per page: duplicate and trailing bits hold the key length, the record bits
// take what is left of the smallest whole number of bytes that holds the page's largest record.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tav::engine::cdx {

inline constexpr uint32_t kPage = 512;
inline constexpr uint32_t kHeaderBytes = 1024;
inline constexpr uint32_t kNone = 0xFFFFFFFFu;
inline constexpr size_t kMaxKeyLength = 240;
inline constexpr size_t kTagNameLength = 10;
inline constexpr size_t kMaxDepth = 32;  // far beyond any real tree: a deeper one is a loop

namespace hdr {
inline constexpr size_t root = 0, freeList = 4, counter = 8, keyLength = 12, options = 14,
                        signature = 15, collation = 494, collationLength = 8, descending = 502,
                        forOffset = 504, forLength = 506, keyOffset = 508, keyExprLength = 510,
                        pool = 512, poolSize = 512;
}
namespace opt {
inline constexpr uint8_t unique = 0x01, forClause = 0x08, compact = 0x20, compound = 0x40,
                         structural = 0x80;
}
namespace node {
inline constexpr size_t attributes = 0, count = 2, left = 4, right = 8, interiorEntries = 12;
inline constexpr uint16_t rootBit = 1, leafBit = 2;
}  // namespace node
namespace leaf {
inline constexpr size_t freeBytes = 12, recordMask = 14, duplicateMask = 18, trailingMask = 19,
                        recordBits = 20, duplicateBits = 21, trailingBits = 22, entryBytes = 23,
                        entries = 24;
}

// A node decoded into full keys: keys holds count * keyLength bytes.
struct Node {
  uint32_t offset = 0;
  bool leaf = true;
  bool root = false;
  uint32_t left = kNone;
  uint32_t right = kNone;
  std::string keys;
  std::vector<uint32_t> recs;
  std::vector<uint32_t> children;  // interior nodes only

  size_t count() const { return recs.size(); }
  const char* key(size_t i, size_t keyLength) const { return keys.data() + i * keyLength; }
};

size_t interiorCapacity(size_t keyLength);

// Decodes one page. False (with the reason) when any count, width or length in it is out of
// bounds: a damaged page is refused, never read past.
bool decodeNode(const uint8_t* page, size_t keyLength, char filler, Node& out, std::string& why);
void encodeInterior(const Node& n, size_t keyLength, uint8_t* page);

// Packs leaf entries in key order and tells when the next one no longer fits the page.
class LeafPacker {
 public:
  LeafPacker(size_t keyLength, char filler);
  void reset();
  // Appends (key, record) after the last one; false, leaving the packer as it was, when the
  // page cannot take it.
  bool add(const char* key, uint32_t record);
  size_t count() const { return entries_.size(); }
  const char* lastKey() const { return last_.data(); }
  uint32_t lastRecord() const { return entries_.empty() ? 0 : entries_.back().record; }
  void write(uint8_t* page, bool root, uint32_t left, uint32_t right) const;

 private:
  struct Entry {
    uint32_t record;
    uint8_t duplicates;
    uint8_t trailing;
  };
  size_t entryBytes(uint32_t maxRecord) const;

  size_t keyLength_;
  char filler_;
  unsigned countBits_;  // duplicate and trailing bits
  std::vector<Entry> entries_;
  std::string stored_;  // key bytes in entry order
  std::string last_;
  uint32_t maxRecord_ = 0;
};

// Packs a whole leaf node; false when it does not fit one page.
bool encodeLeaf(const Node& n, size_t keyLength, char filler, uint8_t* page);

}  // namespace tav::engine::cdx

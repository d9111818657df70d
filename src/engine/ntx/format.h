#pragma once

// The single-key index file, as it lies on disk. All integers little-endian, pages of 1024 bytes,
// page pointers are byte offsets.
//
// Header (page 0):
//    0 u16  signature 0x0006          2 u16  change counter
//    4 u32  root page                  8 u32  first free page (0 none)
//   12 u16  entry size (key length + 8)  14 u16 key length   16 u16 decimals
//   18 u16  max entries per page      20 u16  half of it
//   22      key expression (256 bytes, NUL ended)
//  278 u16  unique                   280 u16  descending
//  282      FOR expression (256)     538      tag name (12, NUL ended)
//
// Page: 0 u16 count, 2 (max + 1) u16 offsets of the entries in key order, then the entry slots:
// u32 child page (0 in a leaf), u32 record number, key. A classic B-tree: keys of interior pages
// are entries of their own; child i holds the keys below entry i, and the slot at position count
// holds only the rightmost child. Our pages lay the slots out in order after the offsets.
// A free page: count 0, its first slot's child field is the next free page (0 ends).
// Max entries = 1020 / (key length + 10) - 1, made even; half = max / 2.

#include <cstddef>
#include <cstdint>

namespace tav::engine::ntx {

inline constexpr uint32_t kPage = 1024;
// The index byte of the single-key locking scheme, shared to read and exclusive to write.
inline constexpr uint64_t kIndexLockOffset = 1000000000ull;
inline constexpr uint16_t kSignature = 0x0006;
inline constexpr size_t kMaxDepth = 32;  // far beyond any real tree: a deeper one is a loop
inline constexpr size_t kMaxKeyLength = 250;

namespace hdr {
inline constexpr size_t signature = 0, counter = 2, root = 4, freeList = 8, entrySize = 12,
                        keyLength = 14, decimals = 16, maxEntries = 18, half = 20, keyExpr = 22,
                        unique = 278, descending = 280, forExpr = 282, tagName = 538,
                        exprLength = 256, tagNameLength = 12;
// What a change rewrites: signature, counter, root and free list.
inline constexpr size_t changedBytes = 12;
}  // namespace hdr

namespace page {
inline constexpr size_t count = 0, offsets = 2;
}
namespace entry {
inline constexpr size_t child = 0, record = 4, key = 8;
}

inline constexpr size_t entrySize(size_t keyLength) { return keyLength + 8; }
inline constexpr size_t maxEntriesFor(size_t keyLength) {
  return (1020 / (keyLength + 10) - 1) & ~size_t{1};
}
// Where slot 0 starts: after the count and max + 1 offsets.
inline constexpr size_t slotsBase(size_t maxEntries) {
  return page::offsets + 2 * (maxEntries + 1);
}

}  // namespace tav::engine::ntx

// Encoding and decoding of compound index pages and tag headers. Leaf widths are chosen per page,
// so a page always decodes to exactly the keys it was encoded from.

#include "engine/cdx/format.h"

#include <algorithm>
#include <cstring>

#include "runtime/coding.h"

namespace tav::engine::cdx {
namespace {

unsigned bitsFor(uint64_t v) {
  unsigned b = 0;
  while (v) {
    ++b;
    v >>= 1;
  }
  return b == 0 ? 1 : b;
}

uint64_t getLE(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

void putLE(uint8_t* p, size_t n, uint64_t v) {
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

size_t interiorCapacity(size_t keyLength) {
  return (kPage - node::interiorEntries) / (keyLength + 8);
}

bool decodeNode(const uint8_t* page, size_t keyLength, char filler, Node& out, std::string& why) {
  if (keyLength == 0 || keyLength > kMaxKeyLength) {
    why = "key length out of range";
    return false;
  }
  uint16_t attr = rt::getLE16(page + node::attributes);
  size_t count = rt::getLE16(page + node::count);
  if (attr > 3) {
    why = "unknown node attributes";
    return false;
  }
  out.leaf = attr & node::leafBit;
  out.root = attr & node::rootBit;
  out.left = rt::getLE32(page + node::left);
  out.right = rt::getLE32(page + node::right);
  out.keys.assign(count * keyLength, '\0');
  out.recs.resize(count);
  out.children.clear();
  if (!out.leaf) {
    if (count > interiorCapacity(keyLength)) {
      why = "interior node entry count out of range";
      return false;
    }
    out.children.resize(count);
    const uint8_t* e = page + node::interiorEntries;
    for (size_t i = 0; i < count; ++i, e += keyLength + 8) {
      std::memcpy(out.keys.data() + i * keyLength, e, keyLength);
      out.recs[i] = rt::getBE32(e + keyLength);
      out.children[i] = rt::getBE32(e + keyLength + 4);
    }
    return true;
  }
  unsigned recBits = page[leaf::recordBits], dupBits = page[leaf::duplicateBits],
           trailBits = page[leaf::trailingBits];
  size_t bytes = page[leaf::entryBytes];
  if (bytes == 0 || bytes > 8 || recBits == 0 || recBits > 32 || dupBits > 8 || trailBits > 8 ||
      recBits + dupBits + trailBits > bytes * 8) {
    why = "leaf entry widths out of range";
    return false;
  }
  if (leaf::entries + count * bytes > kPage) {
    why = "leaf entry count out of range";
    return false;
  }
  uint64_t recMask = rt::getLE32(page + leaf::recordMask);
  uint64_t dupMask = page[leaf::duplicateMask], trailMask = page[leaf::trailingMask];
  size_t keyEnd = kPage, keyFloor = leaf::entries + count * bytes;
  const char* prev = nullptr;
  for (size_t i = 0; i < count; ++i) {
    uint64_t v = getLE(page + leaf::entries + i * bytes, bytes);
    uint32_t rec = static_cast<uint32_t>(v & recMask);
    size_t dup = (v >> recBits) & dupMask;
    size_t trail = (v >> (recBits + dupBits)) & trailMask;
    if (dup + trail > keyLength || (i == 0 && dup != 0)) {
      why = "leaf duplicate or trailing count out of range";
      return false;
    }
    size_t stored = keyLength - dup - trail;
    if (keyEnd < keyFloor + stored) {
      why = "leaf key bytes overlap the entries";
      return false;
    }
    keyEnd -= stored;
    char* k = out.keys.data() + i * keyLength;
    if (dup) std::memcpy(k, prev, dup);
    std::memcpy(k + dup, page + keyEnd, stored);
    std::memset(k + dup + stored, filler, trail);
    out.recs[i] = rec;
    prev = k;
  }
  return true;
}

void encodeInterior(const Node& n, size_t keyLength, uint8_t* page) {
  std::memset(page, 0, kPage);
  rt::putLE16(page + node::attributes, n.root ? node::rootBit : 0);
  rt::putLE16(page + node::count, static_cast<uint16_t>(n.count()));
  rt::putLE32(page + node::left, n.left);
  rt::putLE32(page + node::right, n.right);
  uint8_t* e = page + node::interiorEntries;
  for (size_t i = 0; i < n.count(); ++i, e += keyLength + 8) {
    std::memcpy(e, n.key(i, keyLength), keyLength);
    rt::putBE32(e + keyLength, n.recs[i]);
    rt::putBE32(e + keyLength + 4, n.children[i]);
  }
}

LeafPacker::LeafPacker(size_t keyLength, char filler)
    : keyLength_(keyLength), filler_(filler), countBits_(bitsFor(keyLength)) {
  stored_.reserve(kPage);
  last_.assign(keyLength, filler);
}

void LeafPacker::reset() {
  entries_.clear();
  stored_.clear();
  maxRecord_ = 0;
}

size_t LeafPacker::entryBytes(uint32_t maxRecord) const {
  return (bitsFor(maxRecord) + 2 * countBits_ + 7) / 8;
}

bool LeafPacker::add(const char* key, uint32_t record) {
  size_t trail = 0;
  while (trail < keyLength_ && key[keyLength_ - 1 - trail] == filler_) ++trail;
  size_t dup = 0;
  if (!entries_.empty()) {
    size_t limit = keyLength_ - trail;
    while (dup < limit && key[dup] == last_[dup]) ++dup;
  }
  size_t stored = keyLength_ - dup - trail;
  uint32_t maxRec = std::max(maxRecord_, record);
  if (leaf::entries + (entries_.size() + 1) * entryBytes(maxRec) + stored_.size() + stored > kPage)
    return false;
  maxRecord_ = maxRec;
  entries_.push_back({record, static_cast<uint8_t>(dup), static_cast<uint8_t>(trail)});
  stored_.append(key + dup, stored);
  std::memcpy(last_.data(), key, keyLength_);
  return true;
}

void LeafPacker::write(uint8_t* page, bool root, uint32_t left, uint32_t right) const {
  std::memset(page, 0, kPage);
  size_t bytes = entryBytes(maxRecord_);
  unsigned recBits = std::min<unsigned>(32, static_cast<unsigned>(bytes * 8 - 2 * countBits_));
  rt::putLE16(page + node::attributes,
              static_cast<uint16_t>(node::leafBit | (root ? node::rootBit : 0)));
  rt::putLE16(page + node::count, static_cast<uint16_t>(entries_.size()));
  rt::putLE32(page + node::left, left);
  rt::putLE32(page + node::right, right);
  rt::putLE16(
      page + leaf::freeBytes,
      static_cast<uint16_t>(kPage - leaf::entries - entries_.size() * bytes - stored_.size()));
  rt::putLE32(page + leaf::recordMask,
              recBits == 32 ? 0xFFFFFFFFu : static_cast<uint32_t>((1ULL << recBits) - 1));
  page[leaf::duplicateMask] = static_cast<uint8_t>((1u << countBits_) - 1);
  page[leaf::trailingMask] = static_cast<uint8_t>((1u << countBits_) - 1);
  page[leaf::recordBits] = static_cast<uint8_t>(recBits);
  page[leaf::duplicateBits] = static_cast<uint8_t>(countBits_);
  page[leaf::trailingBits] = static_cast<uint8_t>(countBits_);
  page[leaf::entryBytes] = static_cast<uint8_t>(bytes);
  size_t keyEnd = kPage, from = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    uint64_t v = e.record | (static_cast<uint64_t>(e.duplicates) << recBits) |
                 (static_cast<uint64_t>(e.trailing) << (recBits + countBits_));
    putLE(page + leaf::entries + i * bytes, bytes, v);
    size_t stored = keyLength_ - e.duplicates - e.trailing;
    keyEnd -= stored;
    std::memcpy(page + keyEnd, stored_.data() + from, stored);
    from += stored;
  }
}

bool encodeLeaf(const Node& n, size_t keyLength, char filler, uint8_t* page) {
  LeafPacker p(keyLength, filler);
  for (size_t i = 0; i < n.count(); ++i)
    if (!p.add(n.key(i, keyLength), n.recs[i])) return false;
  p.write(page, n.root, n.left, n.right);
  return true;
}

}  // namespace tav::engine::cdx

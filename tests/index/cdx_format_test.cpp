// Leaf packing and page decoding of the compound index, and the order-preserving key bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "engine/cdx/format.h"
#include "engine/index/key_encoding.h"
#include "runtime/date.h"

namespace tav::engine {
namespace {

using cdx::LeafPacker;
using cdx::Node;

// Packs keys until the page is full, decodes the page, and expects every key and record back.
void roundTrip(size_t keyLength, char filler, const std::vector<std::string>& keys,
               const std::vector<uint32_t>& recs, size_t& packed) {
  LeafPacker p(keyLength, filler);
  packed = 0;
  while (packed < keys.size() && p.add(keys[packed].data(), recs[packed])) ++packed;
  uint8_t page[cdx::kPage];
  p.write(page, true, cdx::kNone, 4096);
  Node n;
  std::string why;
  ASSERT_TRUE(cdx::decodeNode(page, keyLength, filler, n, why)) << why;
  ASSERT_EQ(n.count(), packed);
  EXPECT_TRUE(n.leaf && n.root);
  EXPECT_EQ(n.left, cdx::kNone);
  EXPECT_EQ(n.right, 4096u);
  for (size_t i = 0; i < packed; ++i) {
    ASSERT_EQ(std::string(n.key(i, keyLength), keyLength), keys[i]) << i;
    ASSERT_EQ(n.recs[i], recs[i]);
  }
}

TEST(CdxLeaf, RoundTripsKeysOfEveryShape) {
  std::mt19937 rng(5);
  for (size_t keyLength : {1u, 4u, 8u, 10u, 15u, 16u, 40u, 100u, 240u}) {
    for (uint32_t maxRec : {1u, 200u, 70000u, 20000000u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(std::to_string(keyLength) + " / " + std::to_string(maxRec));
      std::vector<std::string> keys;
      std::vector<uint32_t> recs;
      for (int i = 0; i < 400; ++i) {
        // Keys with shared prefixes, blank tails, all blanks, and blanks inside.
        std::string k(keyLength, ' ');
        size_t used = rng() % (keyLength + 1);
        for (size_t j = 0; j < used; ++j) k[j] = "AAB C"[rng() % 5];
        keys.push_back(k);
        recs.push_back(maxRec == 1 ? 1 : 1 + rng() % maxRec);
      }
      std::sort(keys.begin(), keys.end());
      size_t packed = 0;
      roundTrip(keyLength, ' ', keys, recs, packed);
      EXPECT_GT(packed, 0u);
    }
  }
}

TEST(CdxLeaf, WidthsFollowThePagesLargestRecord) {
  std::vector<std::string> keys(3, "ab        ");
  uint8_t page[cdx::kPage];
  LeafPacker small(10, ' ');
  for (uint32_t r = 1; r <= 3; ++r) small.add(keys[0].data(), r * 100);
  small.write(page, false, 1, 2);
  EXPECT_EQ(page[cdx::leaf::entryBytes], 3);  // 9 record bits + 4 + 4 fit three bytes
  EXPECT_EQ(page[cdx::leaf::recordBits], 16);
  EXPECT_EQ(page[cdx::leaf::duplicateBits], 4);
  EXPECT_EQ(page[cdx::leaf::trailingBits], 4);
  LeafPacker large(10, ' ');
  large.add(keys[0].data(), 0x01000000);
  large.write(page, false, 1, 2);
  EXPECT_EQ(page[cdx::leaf::entryBytes], 5);
  // Numeric keys end in 0x00 filler: a whole number is stored in two bytes.
  std::string k = encodeKey(rt::Value(5.0), KeyType::Numeric, 8);
  LeafPacker num(8, '\0');
  num.add(k.data(), 1);
  num.write(page, false, 1, 2);
  EXPECT_EQ(page[cdx::leaf::entries] >> 4, 0);  // no duplicates; trailing bits at the top
  Node n;
  std::string why;
  ASSERT_TRUE(cdx::decodeNode(page, 8, '\0', n, why));
  EXPECT_EQ(std::string(n.key(0, 8), 8), k);
  EXPECT_EQ(page[cdx::leaf::entryBytes], 2);  // one record bit and two 4-bit counts
  EXPECT_EQ(cdx::kPage - cdx::leaf::entries - 2 - 2,
            static_cast<size_t>(page[cdx::leaf::freeBytes] | page[cdx::leaf::freeBytes + 1] << 8));
}

TEST(CdxLeaf, RefusesPagesWithCountsOutOfBounds) {
  std::vector<std::string> keys = {"aaaa", "aaab", "abbb"};
  LeafPacker p(4, ' ');
  for (uint32_t i = 0; i < 3; ++i) p.add(keys[i].data(), i + 1);
  uint8_t good[cdx::kPage];
  p.write(good, true, cdx::kNone, cdx::kNone);
  Node n;
  std::string why;
  ASSERT_TRUE(cdx::decodeNode(good, 4, ' ', n, why));
  auto refused = [&](auto damage) {
    uint8_t page[cdx::kPage];
    std::memcpy(page, good, sizeof page);
    damage(page);
    Node m;
    std::string w;
    return !cdx::decodeNode(page, 4, ' ', m, w) && !w.empty();
  };
  EXPECT_TRUE(refused([](uint8_t* pg) {
    pg[2] = 0xFF;
    pg[3] = 0x01;
  }));  // count past the page
  EXPECT_TRUE(refused([](uint8_t* pg) { pg[cdx::leaf::entryBytes] = 0; }));
  EXPECT_TRUE(refused([](uint8_t* pg) { pg[cdx::leaf::entryBytes] = 9; }));
  EXPECT_TRUE(refused([](uint8_t* pg) { pg[cdx::leaf::recordBits] = 40; }));
  EXPECT_TRUE(refused([](uint8_t* pg) { pg[0] = 7; }));  // unknown attributes
  // A duplicate count on the first key, and counts beyond the key length.
  const size_t width = good[cdx::leaf::entryBytes];
  EXPECT_TRUE(refused([](uint8_t* pg) {
    pg[cdx::leaf::entries] |= static_cast<uint8_t>(1u << pg[cdx::leaf::recordBits]);
  }));
  EXPECT_TRUE(refused([width](uint8_t* pg) { pg[cdx::leaf::entries + 2 * width - 1] = 0xFF; }));
  // Interior nodes: more entries than fit.
  uint8_t interior[cdx::kPage] = {};
  interior[2] = 200;
  Node m;
  EXPECT_FALSE(cdx::decodeNode(interior, 10, ' ', m, why));
  EXPECT_FALSE(cdx::decodeNode(good, 0, ' ', m, why));
  EXPECT_FALSE(cdx::decodeNode(good, 241, ' ', m, why));
}

// Byte order of the encoded numbers and dates is their numeric order, and they decode back.
TEST(KeyEncoding, NumbersAndDatesSortAsBytes) {
  std::vector<double> values = {-1e300, -123456.78, -1, -0.5, -1e-300, 0,
                                1e-300, 0.25,       1,  2,    1e6,     1e300};
  for (size_t i = 0; i < values.size(); ++i) {
    std::string a = encodeKey(rt::Value(values[i]), KeyType::Numeric, 8);
    EXPECT_EQ(decodeNumericKey(a), values[i]);
    if (i + 1 < values.size()) {
      std::string b = encodeKey(rt::Value(values[i + 1]), KeyType::Numeric, 8);
      EXPECT_LT(std::memcmp(a.data(), b.data(), 8), 0) << values[i];
    }
  }
  EXPECT_EQ(encodeKey(rt::Value(-0.0), KeyType::Numeric, 8),
            encodeKey(rt::Value(0.0), KeyType::Numeric, 8));
  std::string empty = encodeKey(rt::Value(rt::Date()), KeyType::Date, 8);
  std::string prev = empty;
  for (int y : {1900, 1999, 2000, 2024, 2100}) {
    std::string d = encodeKey(rt::Value(rt::Date::fromYmd(y, 3, 1)), KeyType::Date, 8);
    EXPECT_LT(std::memcmp(prev.data(), d.data(), 8), 0);
    EXPECT_EQ(decodeNumericKey(d), rt::Date::fromYmd(y, 3, 1).julian());
    prev = d;
  }
  EXPECT_EQ(empty, encodeKey(rt::Value(0.0), KeyType::Numeric, 8));
  EXPECT_EQ(encodeKey(rt::Value("ab"), KeyType::Character, 4), "ab  ");
  EXPECT_EQ(encodeKey(rt::Value("abcdef"), KeyType::Character, 4), "abcd");
}

TEST(KeyEncoding, NtxNumbersSortAsTextInValueOrder) {
  std::vector<double> values = {-99999.99, -100, -99.5, -10, -1.01, -1,
                                -0.01,     0,    0.01,  1,   10.5,  99999.99};
  for (size_t i = 0; i + 1 < values.size(); ++i) {
    std::string a = encodeNtxKey(rt::Value(values[i]), KeyType::Numeric, 9, 2);
    std::string b = encodeNtxKey(rt::Value(values[i + 1]), KeyType::Numeric, 9, 2);
    EXPECT_EQ(a.size(), 9u);
    EXPECT_LT(a, b) << values[i] << " " << values[i + 1];
  }
  EXPECT_EQ(encodeNtxKey(rt::Value(-0.0), KeyType::Numeric, 5, 0), "00000");
  EXPECT_EQ(encodeNtxKey(rt::Value(42), KeyType::Numeric, 5, 0), "00042");
}

}  // namespace
}  // namespace tav::engine

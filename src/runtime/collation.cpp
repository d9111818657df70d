// Builds the collation weights once: letters in the order of the Polish alphabet from weight 65,
// every other byte numbered by code around them, so the table remains a permutation of 0..255.

#include "runtime/collation.h"

#include <algorithm>
#include <cstring>

#include "runtime/codepage.h"

namespace tav::rt {
namespace {

std::array<uint8_t, 256> build() {
  const std::string alphabet =
      utf8ToOem("AĄBCĆDEĘFGHIJKLŁMNŃOÓPQRSŚTUVWXYZŹŻaąbcćdeęfghijklłmnńoópqrsśtuvwxyzźż");
  std::array<uint8_t, 256> w{};
  std::array<bool, 256> isLetter{};
  int highest = 0;
  for (int code = 65; code <= 254; ++code) {
    size_t pos = alphabet.find(static_cast<char>(code));
    if (pos == std::string::npos) continue;
    w[code] = static_cast<uint8_t>(64 + pos + 1);
    isLetter[code] = true;
    highest = std::max(highest, 64 + static_cast<int>(pos) + 1);
  }
  int next = 0;
  for (int code = 0; code < 256; ++code) {
    if (isLetter[code]) continue;
    if (next == 65) next = highest + 1;
    w[code] = static_cast<uint8_t>(next++);
  }
  return w;
}

}  // namespace

const std::array<uint8_t, 256>& collationWeights() {
  static const std::array<uint8_t, 256> w = build();
  return w;
}

int collate(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  int c = collateKeys(a.data(), b.data(), n);
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

int collateKeys(const void* a, const void* b, size_t n) {
  const auto& w = collationWeights();
  auto pa = static_cast<const unsigned char*>(a);
  auto pb = static_cast<const unsigned char*>(b);
  for (size_t i = 0; i < n; ++i) {
    if (pa[i] != pb[i]) return w[pa[i]] < w[pb[i]] ? -1 : 1;
  }
  return 0;
}

std::string collationKey(std::string_view s) {
  std::string out(s);
  collationKeyInPlace(out.data(), out.size());
  return out;
}

void collationKeyInPlace(char* p, size_t n) {
  const auto& w = collationWeights();
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(w[static_cast<unsigned char>(p[i])]);
}

std::string collationAlphabet() {
  std::string s;
  for (int c = 1; c <= 255; ++c) s += static_cast<char>(c);
  std::stable_sort(s.begin(), s.end(), [](char a, char b) { return weight(a) < weight(b); });
  return s;
}

}  // namespace tav::rt

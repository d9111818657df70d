#pragma once

// The Polish sort order of texts and index keys. Index files store keys that compare with memcmp
// on weights, so the weights must never change for an existing byte.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tav::rt {

// The Polish collation of the tool: each Polish letter right after its base letter, all capitals
// before all small letters, other characters by code (below the letters up to code 64, after them
// from weight 135 on). The weights are a permutation of 0..255, so comparing weight strings with
// memcmp orders texts exactly as the collation does.
const std::array<uint8_t, 256>& collationWeights();

inline uint8_t weight(char c) { return collationWeights()[static_cast<unsigned char>(c)]; }

// <0, 0, >0 as a sorts before, equal to, after b; a proper prefix sorts first.
int collate(std::string_view a, std::string_view b);
// The same over a fixed length, as index keys of equal length compare.
int collateKeys(const void* a, const void* b, size_t n);
// Each byte replaced by its weight: the form in which keys sort with plain byte comparison.
std::string collationKey(std::string_view s);
void collationKeyInPlace(char* p, size_t n);

// chr(1) to chr(255) in collation order, one 255-character text (lpp_alfabet).
std::string collationAlphabet();

}  // namespace tav::rt

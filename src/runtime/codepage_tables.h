#pragma once

// The byte-to-Unicode tables behind codepage.cpp, visible to the converters only. Each has exactly
// 256 entries, indexed by the byte.

#include <array>

namespace tav::rt::detail {

// Unicode scalar of every byte of code page 852 (OEM Polish) and code page 1250 (ANSI Central
// European).
extern const std::array<char32_t, 256> kCp852ToUnicode;
extern const std::array<char32_t, 256> kCp1250ToUnicode;

}  // namespace tav::rt::detail

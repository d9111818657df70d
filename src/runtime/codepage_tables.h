#pragma once
#include <array>

namespace tav::rt::detail {

// Unicode scalar of every byte of code page 852 (OEM Polish) and code page 1250 (ANSI Central European).
extern const std::array<char32_t, 256> kCp852ToUnicode;
extern const std::array<char32_t, 256> kCp1250ToUnicode;

}  // namespace tav::rt::detail

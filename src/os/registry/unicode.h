#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace tav::os {

// UTF-16 little-endian, the text form of the registry's string data and of shell links.
// Unpaired surrogates and malformed UTF-8 become U+FFFD.
std::string utf8ToUtf16le(std::string_view utf8);
// nullopt when the byte count is odd.
std::optional<std::string> utf16leToUtf8(std::string_view utf16le);

}  // namespace tav::os

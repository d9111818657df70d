#pragma once

// Text conversion at the edges of the tool: inside it every text stays code page 852 bytes, as the
// tables hold them, and only the screen, host names, the registry and links see other encodings.

#include <optional>
#include <string>
#include <string_view>

namespace tav::rt {

// Inside the tool every text is code page 852 (OEM) bytes, as the tables hold them. These convert
// at the edges: UTF-8 for the screen and host file names, code page 1250 (ANSI) for the registry
// and shell links.
std::string oemToUtf8(std::string_view oem);
std::string ansiToUtf8(std::string_view ansi);
// Characters without a code in the target page become '?'. Malformed UTF-8 bytes become '?'.
std::string utf8ToOem(std::string_view utf8);
std::string utf8ToAnsi(std::string_view utf8);
std::string oemToAnsi(std::string_view oem);
std::string ansiToOem(std::string_view ansi);

// UTF-16 little-endian, the text form of the registry's string data and of shell links.
// Unpaired surrogates and malformed UTF-8 become U+FFFD; nullopt when the byte count is odd.
std::string utf8ToUtf16le(std::string_view utf8);
std::optional<std::string> utf16leToUtf8(std::string_view utf16le);

// Upper and lower case of 852 text, Polish and the other letters of the page included.
std::string upper(std::string_view oem);
std::string lower(std::string_view oem);
// Inline for ASCII, which 852 keeps as it is (names and keys are compared a letter at a time
// for every record); the page's tables beyond it.
char upperCharBeyondAscii(char c);
char lowerCharBeyondAscii(char c);
inline char upperChar(char c) {
  if (static_cast<unsigned char>(c) >= 0x80) return upperCharBeyondAscii(c);
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
inline char lowerChar(char c) {
  if (static_cast<unsigned char>(c) >= 0x80) return lowerCharBeyondAscii(c);
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// Message literals in the source are UTF-8; "Błąd"_oem gives the 852 bytes the tool works with.
namespace literals {
inline std::string operator""_oem(const char* s, size_t n) {
  return utf8ToOem(std::string_view(s, n));
}
}  // namespace literals

}  // namespace tav::rt

// The one door between the tool's texts and the host's: on Windows every Win32 call takes UTF-16,
// and a std::filesystem::path made from a narrow string would read it in the ANSI code page
// (byte by byte), so every path built from text or turned into text goes through here. Inside the
// tool texts stay code page 852; host names and the console are UTF-8 on Linux.
//
// Invariants: the conversions round-trip every character the source encoding has (852 and 1250
// have a code for each of their 256 bytes; UTF-8 and UTF-16 carry every scalar value); a
// character the target has no code for becomes '?' (852, 1250) or U+FFFD (UTF-16).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tav::os {

// UTF-8 <-> UTF-16 (wchar_t holds UTF-16 units on Windows, UTF-32 on Linux: both work).
std::wstring wideFromUtf8(std::string_view utf8);
std::string utf8FromWide(std::wstring_view wide);
// Code page 852, the tool's own texts (paths, names, messages) <-> UTF-16.
std::wstring wideFromOem(std::string_view oem);
std::string oemFromWide(std::wstring_view wide);
// Code page 1250 (ANSI), the registry's and the shell links' texts <-> UTF-16.
std::wstring wideFromAnsi(std::string_view ansi);
std::string ansiFromWide(std::wstring_view wide);

// The host path of a UTF-8 text (on Linux the bytes as they are), and the UTF-8 text of a host
// path. Use these instead of std::filesystem::path(std::string) and path.string().
std::filesystem::path hostPath(std::string_view utf8);
std::string utf8(const std::filesystem::path& host);
// The tool's own text (852) of a host path, for the messages and error records that carry it with
// the tool's other texts: a person reads it with its Polish letters as they are.
std::string oemText(const std::filesystem::path& host);

}  // namespace tav::os

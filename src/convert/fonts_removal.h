#pragma once

// Emptying a directory that may hold fonts the system has loaded, as the program refresh does with
// the program's czytaj.to\.

#include <functional>
#include <string>
#include <string_view>

namespace tav::convert {

// Empties a directory that may hold fonts the system has loaded (the program refresh passes the
// program directory + "czytaj.to\"): each .ttf font is taken out of the font table, then every
// file there is deleted, and fonts that survived are released and deleted once more. A directory
// without fonts is left untouched. Nothing is reported. `directory` is 852 and ends with "\".
void USUN_FONTY(std::string_view directory);

// The deletion of one file (852 path): true when it is gone. Tests replace it to play a font
// that the system still holds; an empty function restores the real deletion.
using FileDeleter = std::function<bool(const std::string& path)>;
FileDeleter setFileDeleter(FileDeleter deleter);

}  // namespace tav::convert

#pragma once

// Making every level of a directory path and deleting a directory tree, as installation and
// clean-up steps use them.

#include <string>
#include <string_view>

namespace tav::db {

// The two directories of an installation, as the tool keeps them (852, each with its trailing
// backslash): the program's and the database's.
struct Directories {
  std::string program, database;
};

// Creates every missing level of a directory path ("C:\Tamborex\Tav\2025\", "\\server\share\a\b",
// "a\b"). Levels that exist, and the server and share of a network name, fail quietly on the
// way. False for an empty path; otherwise the result of creating the full path, so an existing
// full path gives false too.
bool MAKEDIR(std::string_view path);

// A directory as the tool keeps it: with its trailing backslash (added when missing).
std::string withBackslash(std::string directory);

// Deletes a directory with all its files and subdirectories, clearing read-only, hidden and
// system attributes on the way. A symbolic link inside is removed, never followed.
void DEL_ALL_DIR(std::string_view directory);

}  // namespace tav::db

#pragma once

// The file family every step of an installation and an upgrade works with in the program and
// database directories. Their retry counts and pauses (hundredths of a second, through
// rt::pause) are what other workstations holding the files briefly are given to let go; keep them.
// None of them shows a message or raises an error: results, or nothing, as listed.

#include <string>
#include <string_view>
#include <vector>

namespace tav::db {

// Deletes a file, clearing its read-only, system and hidden attributes when the first attempt
// does not take. True when the file does not exist afterwards (also when it never did).
bool DEL_FILE(std::string_view file);

// Deletes the normal files of one directory that match `mask`; subdirectories are neither entered
// nor removed, hidden and system files are not listed and so stay. A file is kept when its upper-
// case name occurs within `skip`, or when one of `keep` (upper-cased) occurs within that name.
// `keep` stands for the arguments from the 4th on: empty means they were not passed.
void DEL_KAT(std::string_view directory = "\\", std::string_view mask = "*.*",
             std::string_view skip = "", const std::vector<std::string>& keep = {});

// Creates one directory level (one trailing backslash allowed); the parent must exist. The result
// of the creation, unchanged.
bool MKDIR(std::string_view directory);

// Copies the files of `source` matching `mask` into `target`, under their names in lower case.
// Directories are never copied or entered. An entry is skipped when "," + its upper-case name +
// "," occurs within `skip` (taken in upper case). `only` stands for the arguments from the 5th on:
// when given (non-empty), a file is copied only if one of them, upper-cased, occurs within its
// name. `source` and `target` are used as given: they end in a backslash.
void COPY_KAT(std::string_view source, std::string_view target = "\\",
              std::string_view mask = "*.*", std::string_view skip = "",
              const std::vector<std::string>& only = {});

// Creates (or replaces) the file with `text` as its content; true when all of it was written.
bool WRITEFILE(std::string_view file, std::string_view text);

// Copies one file with up to 10 attempts 5 hundredths apart, deleting an existing target first.
// A target ending in a backslash is a directory: the source's file name is appended. Runtime
// errors inside an attempt make it a failed attempt. True when an attempt succeeded.
bool FCOPY(std::string_view source, std::string_view target);

// Removes what a copy or a structure change that was killed half-way left in one directory: copies
// under "~<name>.<process>.tmp" and staged tables "~<name>.dbf", ".fpt", ".cdx" beside the table
// they were to replace; nothing else, whatever its name (other programs make "~" files too). The
// tables themselves are never touched: each is the old one or the whole new one. Call it only where
// no other copy of the tool can be working (the database's lock held). With `subdirectories`, the
// directories below are cleaned too (a firm's zest\, bak\).
void removeLeftovers(std::string_view directory, bool subdirectories = false);

}  // namespace tav::db

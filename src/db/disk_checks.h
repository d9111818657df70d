#pragma once

// Checks that a program or database directory can hold the tool's tables before an installation
// uses it: the engine self-test and the directory name rules.

#include <string_view>

#include "frontend/questions.h"

namespace tav::db {

// Proves in directory + name (a scratch directory made and removed here) that the table engine
// can do all of its work in `directory` (trailing backslash): create, append, export, single
// indexes also through a relation, rebuild, pack, zap, commit, close and field addition.
// 0 when every stage ran, otherwise the number (1..19) of the stage under way when it failed.
int TEST_TAV(std::string_view directory, std::string_view name);

// Runs TEST_TAV(directory, "Test") behind a notice and tells the failed stage in an error box.
// kind "P" the program directory (local disks), "B" the database directory (the server's).
// True when the test failed.
bool SA_BLEDY(std::string_view directory, std::string_view kind, frontend::Questions& person);

// Whether a directory name is acceptable for an installation of `kind` ("P" or "B"); shows an
// error box and gives false when it is not. The directory need not exist. A full path is asked
// for, each of its names one Windows keeps as typed ("..", a trailing dot or blank, a character
// Windows refuses are refused).
bool ANALIZA_KAT(std::string_view directory, std::string_view kind, frontend::Questions& person);

}  // namespace tav::db

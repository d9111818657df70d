#pragma once

// The workstation's name as the tool puts it into file names and after "/N" on a command line.

#include <string>

namespace tav::db {

// The workstation's name in a form safe inside file names and after "/N" on a command line:
// from nazwa_sieciowa, else the environment variable ORB_NAME, else the computer name, else
// "BEZ_NAZWY"; upper case, Polish and other accented capitals of code page 852 made plain,
// spaces and punctuation turned into "_". Code page 852 text.
std::string NERKA();

// The same rewriting applied to a given name (852): the steps after the name is chosen.
std::string workstationNameFrom(const std::string& name);

}  // namespace tav::db

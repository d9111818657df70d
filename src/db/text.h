#pragma once

// The "|"-separated token lists and text trimming the conversions and the release catalogue use.

#include <string>
#include <string_view>
#include <vector>

namespace tav::db {

// Token lists are texts of items separated by "|" ("a|b|c", a trailing "|" optional).

// The item at `position` (counted from 1), untrimmed; "" when there are fewer items (or for a
// position below 1). Trailing blanks of the list are dropped first.
std::string TOKEN(std::string_view list, int position);
// Every item, each trimmed of leading and trailing blanks; empty for an empty list.
std::vector<std::string> TOKEN(std::string_view list);

// The text trimmed at both ends, every run of spaces inside reduced to one space.
std::string USUN_SPACJE(std::string_view text);

}  // namespace tav::db

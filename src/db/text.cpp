// Token lists and blank squeezing. A list is trimmed of trailing blanks before it is split.

#include "db/text.h"

#include "runtime/format.h"

namespace tav::db {

namespace {

// Trailing blanks off, then a closing "|" unless the list is empty or has one.
std::string closedList(std::string_view list) {
  std::string s = rt::rTrim(list);
  if (!s.empty() && s.back() != '|') s += '|';
  return s;
}

}  // namespace

std::string TOKEN(std::string_view list, int position) {
  std::string s = closedList(list);
  std::string_view rest = s;
  for (int i = 1; i <= position; ++i) {
    size_t bar = rest.find('|');
    if (bar == std::string_view::npos) return {};
    if (i == position) return std::string(rest.substr(0, bar));
    rest.remove_prefix(bar + 1);
  }
  return {};
}

std::vector<std::string> TOKEN(std::string_view list) {
  std::string s = closedList(list);
  std::vector<std::string> items;
  std::string_view rest = s;
  for (size_t bar; (bar = rest.find('|')) != std::string_view::npos; rest.remove_prefix(bar + 1))
    items.push_back(rt::allTrim(rest.substr(0, bar)));
  return items;
}

std::string USUN_SPACJE(std::string_view text) {
  std::string s = rt::allTrim(text);
  std::string out;
  out.reserve(s.size());
  for (char c : s)
    if (c != ' ' || out.empty() || out.back() != ' ') out += c;
  return out;
}

}  // namespace tav::db

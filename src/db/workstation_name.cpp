// Rewriting the workstation name. The replacement table must stay as it is: names the accounting
// program already stored were made by it, and the duration estimate finds earlier runs by them.

#include "db/workstation_name.h"

#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "db/text.h"
#include "db/xbpreg.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"

namespace tav::db {
namespace {

using namespace rt::literals;

void replaceEach(std::string& s, std::string_view chars, char by) {
  for (char& c : s)
    if (chars.find(c) != std::string_view::npos) c = by;
}

// Replacements in the order the name is rewritten; the letters are code page 852 capitals.
const std::vector<std::pair<std::string, std::string>>& polishCapitals() {
  static const std::vector<std::pair<std::string, std::string>> t = {
      {"Ą"_oem, "A"}, {"Ć"_oem, "C"}, {"Ę"_oem, "E"}, {"Ł"_oem, "L"}, {"Ń"_oem, "N"},
      {"Ó"_oem, "O"}, {"Ś"_oem, "S"}, {"Ż"_oem, "Z"}, {"Ź"_oem, "Z"},
  };
  return t;
}

// Í becomes J, not I: names already stored by the accounting program were made this way, and the
// duration estimate finds a workstation's earlier runs by this name.
const std::vector<std::pair<std::string, std::string>>& otherCapitals() {
  static const std::vector<std::pair<std::string, std::string>> t = {
      {"Á"_oem, "A"}, {"Ä"_oem, "A"}, {"Č"_oem, "C"}, {"Ç"_oem, "C"},  {"Ë"_oem, "E"},
      {"Ě"_oem, "E"}, {"É"_oem, "E"}, {"Í"_oem, "J"}, {"Ö"_oem, "OE"}, {"Ő"_oem, "O"},
      {"Ř"_oem, "R"}, {"Š"_oem, "S"}, {"Ş"_oem, "S"}, {"Ť"_oem, "T"},  {"Ü"_oem, "UE"},
      {"Ú"_oem, "U"}, {"Ů"_oem, "U"}, {"Ý"_oem, "Y"}, {"Ž"_oem, "Z"},
  };
  return t;
}

void replaceLetters(std::string& s, const std::vector<std::pair<std::string, std::string>>& t) {
  std::string out;
  out.reserve(s.size() + 4);
  for (char c : s) {
    bool replaced = false;
    for (const auto& [from, to] : t) {
      if (from.size() == 1 && from[0] == c) {
        out += to;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += c;
  }
  s = std::move(out);
}

}  // namespace

std::string workstationNameFrom(const std::string& chosen) {
  std::string name = rt::upper(chosen);
  replaceEach(name, "_", ' ');
  name = USUN_SPACJE(name);
  replaceEach(name, " ", '_');
  replaceEach(name, "./\\-:;,'\"", '_');
  replaceLetters(name, polishCapitals());
  replaceEach(name, "<>=!+@", '_');
  replaceLetters(name, otherCapitals());
  // A chosen name of nothing but underscores and blanks would leave "/N" with no name after it.
  return name.empty() ? "BEZ_NAZWY" : name;
}

std::string NERKA() {
  std::string name;
  const std::string& chosen = rt::shared().nazwa_sieciowa;
  if (!rt::allTrim(chosen).empty()) {
    name = rt::upper(rt::allTrim(chosen));
  } else {
    // The host's environment is UTF-8 where Windows had its ANSI code page.
    const char* env = std::getenv("ORB_NAME");
    name = env ? rt::utf8ToOem(env) : std::string();
    // The registry holds the computer name in the ANSI code page; the letters below are 852.
    if (rt::allTrim(name).empty()) name = rt::ansiToOem(NETNAME());
    if (rt::allTrim(name).empty()) name = "BEZ_NAZWY";
  }
  return workstationNameFrom(name);
}

}  // namespace tav::db

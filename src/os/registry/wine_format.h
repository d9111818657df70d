#pragma once

// The text format Wine keeps its registry in (system.reg, user.reg, userdef.reg), read into a Hive
// and written back so that a prefix stays Wine's own: every line the tool did not change comes
// back byte for byte and in its place (keys, values, time stamps, option lines such as #link and
// #class, comments). Only a section whose values changed gets a new time stamp; new keys and
// values go where Wine itself would put them (siblings in case-insensitive order), written the way
// Wine writes them (ASCII only, \x escapes for everything beyond it).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/registry/hive.h"

namespace tav::os::reg {

inline constexpr std::string_view kWineHeader = "WINE REGISTRY Version 2";

// Where each line of a parsed Wine file came from, so that writing it back can keep what did not
// change. Paths and names are ANSI, as in the Hive.
struct WineLayout {
  struct Line {
    std::string raw;  // the line(s) as read, continuation lines included, without the last '\n'
    bool isValue = false;
    RegValue value;  // as parsed, when isValue
  };
  struct Section {
    std::string path;        // the key, relative to the file's root
    std::string headerRaw;   // "[Software\\Foo] 1700000000"
    std::vector<Line> body;  // option lines, values, comments and blank lines, in file order
  };
  std::vector<std::string> preamble;  // header, relative-root comment, #arch, blank lines
  std::vector<Section> sections;
  // The relative root the file names ("REGISTRY\\Machine", "REGISTRY\\User\\S-1-5-21-..."), as
  // written, with its doubled backslashes.
  std::string relativeRoot;
  bool endsWithNewline = true;
};

// Parses a whole Wine registry file into `hive` (empty) and `layout`. The relative-root comment
// must name `expectedRoot` ("Machine" or "User"), so that a machine file is never taken for a user
// file.
ParseError parseWine(std::string_view text, std::string_view expectedRoot, Hive& hive,
                     WineLayout& layout);

// The file text for `hive`, keeping every line of `layout` whose content is unchanged. `nowUnix`
// and `nowFileTime` stamp new and changed sections, as Wine does on saving.
std::string serializeWine(const Hive& hive, const WineLayout& layout, int64_t nowUnix,
                          uint64_t nowFileTime);

// The preamble of a new Wine file for the root `relativeRoot` names.
WineLayout newWineLayout(std::string_view relativeRoot);

}  // namespace tav::os::reg

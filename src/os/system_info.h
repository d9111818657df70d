#pragma once

// The operating system as the tool asks about it: an NT-family system (never the 9x family),
// version 10.0 and a build number. The build number decides version-dependent conversion steps,
// so tests and unattended runs can set it: setBuildNumber() or the environment variable
// TAV_OS_BUILD; otherwise it is kDefaultBuild.

#include <cstdint>
#include <optional>
#include <string>

namespace tav::os {

struct OsVersion {
  uint32_t major = 10;
  uint32_t minor = 0;
  uint32_t build = 0;
  bool win9x = false;
};

inline constexpr uint32_t kDefaultBuild = 19045;

OsVersion osVersion();
// "WINNT"; the 9x family would answer "WIN9X".
std::string osFamily();
// "10.00.19045": major, minor and build, the text callers take the build number from.
std::string osVersionText();
// nullopt goes back to the environment or the default.
void setBuildNumber(std::optional<uint32_t> build);

// The computer's name as the network knows it (ANSI): the host name up to its first dot, in upper
// case, at most 15 characters. Tests give any name, Polish letters included, with
// setComputerName(); nullopt goes back to the host name.
std::string computerName();
void setComputerName(std::optional<std::string> ansi);

}  // namespace tav::os

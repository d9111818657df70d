#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tav::os {

// The tool works with Windows paths ("C:\Tamborex\Tav\2025\", "\\server\share\dane\", ".\str\")
// in code page 852. They reach the host through a drive map kept in a prefix directory
// ($TAV_PREFIX, default ~/.local/share/tav): dosdevices/c: -> ../drive_c, dosdevices/z: -> /,
// dosdevices/unc/SERVER/SHARE for network names. A path that starts with "/" is a host path and
// is taken as it is (tools and tests use them).

// The prefix directory, created with its drive map on first use.
std::filesystem::path prefixDir();
void resetPathCaches();  // forget cached listings and the prefix (tests that change TAV_PREFIX)

// Maps a Windows path to the host. Existing components are found ignoring letter case; missing
// ones keep the case given. Relative paths start from the current directory.
std::filesystem::path toHost(std::string_view winPath);
// The Windows form of a host path: through the drive that covers it, else Z:.
std::string fromHost(const std::filesystem::path& host);

std::string currentDirectory();  // "C:\...\" form, with a trailing backslash
char currentDrive();             // 'C', 'Z', ...
bool changeDirectory(std::string_view winPath);

}  // namespace tav::os

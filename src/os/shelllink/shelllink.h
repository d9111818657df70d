#pragma once

// Writing and reading Windows shortcut (.lnk) files, the desktop and Start-menu entries of the
// program. Every offset and count read from a link is checked; a damaged link is refused.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tav::os {

// A Windows shortcut as the tool makes and resolves them. Texts are ANSI (code page 1250), paths
// in Windows form ("C:\Tamborex\Tav\2025\tav.exe", "\\SERVER\SHARE\tav\tav.exe").
struct ShellLink {
  std::string target;
  std::string workingDir;
  std::string arguments;
  std::string description;
};

// The bytes of a shell link file as Windows writes it: the 76-byte header, LinkInfo with the
// target (a local base path with its volume, or a network share and the path below it), the
// counted Unicode strings, and the terminal block. docs/shell-links.md gives the layout.
std::string encodeShellLink(const ShellLink& link);
// nullopt for anything that is not a well-formed link; every offset and count is checked.
// A link made elsewhere without LinkInfo resolves to an empty target.
std::optional<ShellLink> decodeShellLink(std::string_view bytes);

// Writes the link to a host file (replacing it) and reads one back. The header's times and
// size are those of the target when it exists on this host.
bool writeShellLink(const std::filesystem::path& hostFile, const ShellLink& link);
std::optional<ShellLink> readShellLink(const std::filesystem::path& hostFile);

}  // namespace tav::os

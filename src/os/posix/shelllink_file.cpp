// Shell link files on a Linux host: the bytes of os/shelllink written beside the target name and
// renamed over it, so that a reader never sees half a link.
#include <filesystem>
#include <fstream>

#include "os/path.h"
#include "os/shelllink/shelllink.h"

namespace tav::os {

bool writeShellLink(const std::filesystem::path& hostFile, const ShellLink& link) {
  std::string bytes = encodeShellLink(link);
  std::filesystem::path tmp = hostFile;
  tmp += ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f.flush()) {
      std::error_code ec;
      std::filesystem::remove(tmp, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, hostFile, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(tmp, ignored);
    return false;
  }
  // The drive map's listings learn of the new name at once.
  noteCreated(hostFile);
  return true;
}

std::optional<ShellLink> readShellLink(const std::filesystem::path& hostFile) {
  std::ifstream f(hostFile, std::ios::binary);
  if (!f) return std::nullopt;
  // A link is a few hundred bytes; anything past 1 MiB is not one.
  std::string bytes;
  bytes.resize(1 << 20);
  f.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(f.gcount()));
  return decodeShellLink(bytes);
}

}  // namespace tav::os

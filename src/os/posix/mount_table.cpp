// The kind of drive a host directory lies on, read from the mount table: network file systems
// are remote drives, tmpfs a RAM disk, a disk the kernel calls removable a removable drive.
#include "os/mount_table.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace tav::os {

namespace fs = std::filesystem;

namespace {

// Whether `mountPoint` is `p` or one of the directories above it.
bool covers(const fs::path& mountPoint, const fs::path& p) {
  auto pi = p.begin();
  for (auto mi = mountPoint.begin(); mi != mountPoint.end(); ++mi, ++pi) {
    if (mi->empty()) break;
    if (pi == p.end() || *pi != *mi) return false;
  }
  return true;
}

std::string unescapeMountField(std::string_view f) {
  std::string out;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == '\\' && i + 3 < f.size() && f[i + 1] >= '0' && f[i + 1] <= '3') {
      out += static_cast<char>((f[i + 1] - '0') * 64 + (f[i + 2] - '0') * 8 + (f[i + 3] - '0'));
      i += 3;
    } else {
      out += f[i];
    }
  }
  return out;
}

bool removableDevice(unsigned major, unsigned minor) {
  std::error_code ec;
  fs::path dev =
      fs::canonical("/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor), ec);
  if (ec) return false;
  // A partition says nothing about removability; its disk does.
  if (fs::exists(dev / "partition", ec)) dev = dev.parent_path();
  std::ifstream in(dev / "removable");
  int v = 0;
  return (in >> v) && v == 1;
}

}  // namespace

DriveType typeOfHostDirectory(const fs::path& dir) {
  std::error_code ec;
  fs::path c = fs::canonical(dir, ec);
  if (ec || !fs::is_directory(c, ec)) return DriveType::NoRootDir;
  std::ifstream in("/proc/self/mountinfo");
  std::string line, bestType;
  size_t bestDepth = 0;
  unsigned bestMajor = 0, bestMinor = 0;
  bool any = false;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, parent, majmin, root, mountPoint, field;
    if (!(ls >> id >> parent >> majmin >> root >> mountPoint)) continue;
    while (ls >> field && field != "-") {
    }
    std::string fsType;
    if (!(ls >> fsType)) continue;
    fs::path mp = unescapeMountField(mountPoint);
    if (!covers(mp, c)) continue;
    const size_t d = static_cast<size_t>(std::distance(mp.begin(), mp.end()));
    if (!any || d >= bestDepth) {  // later mounts over the same point hide earlier ones
      any = true;
      bestDepth = d;
      bestType = fsType;
      std::sscanf(majmin.c_str(), "%u:%u", &bestMajor, &bestMinor);
    }
  }
  if (!any) return DriveType::Fixed;
  return driveTypeForFileSystem(bestType, removableDevice(bestMajor, bestMinor));
}

}  // namespace tav::os

// The Windows drive type of a Linux file system type, the same table on every platform (the Linux
// drive map asks it; tests check it everywhere).
#include <algorithm>
#include <iterator>
#include <string_view>

#include "os/path.h"

namespace tav::os {

DriveType driveTypeForFileSystem(std::string_view fsType, bool removable) {
  static constexpr std::string_view kRemote[] = {
      "nfs",        "nfs4",           "cifs",        "smb3",        "smbfs",        "ncpfs",
      "afs",        "coda",           "ceph",        "glusterfs",   "9p",           "davfs",
      "fuse.sshfs", "fuse.glusterfs", "fuse.davfs2", "fuse.rclone", "fuse.smbnetfs"};
  static constexpr std::string_view kRam[] = {"tmpfs", "ramfs"};
  static constexpr std::string_view kCd[] = {"iso9660", "udf"};
  auto in = [&](const auto& list) {
    return std::find(std::begin(list), std::end(list), fsType) != std::end(list);
  };
  if (fsType.empty()) return DriveType::Unknown;
  if (in(kRemote)) return DriveType::Remote;
  if (in(kRam)) return DriveType::RamDisk;
  if (in(kCd)) return DriveType::CdRom;
  return removable ? DriveType::Removable : DriveType::Fixed;
}

}  // namespace tav::os

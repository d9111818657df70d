#pragma once

// The tool works with Windows paths ("C:\Tamborex\Tav\2025\", "\\server\share\dane\", ".\str\")
// in code page 852. On Windows they are the host's own (no drive map, no prefix: prefixDir() is
// empty, mapDrive and mapShare refuse). On Linux they reach the host through a drive map kept in
// a prefix directory ($TAV_PREFIX, default ~/.local/share/tav), laid out as Wine lays out its
// prefix:
//   dosdevices/c:               -> ../drive_c
//   dosdevices/z:               -> /
//   dosdevices/unc/SERVER/SHARE -> wherever the share is mounted or kept
// A path that starts with "/" is a host path: it skips the drive map and the letter-case lookup
// (tools and tests use them); backslashes in it still separate components, so that the tool's
// own "directory + \ + name" works on it. Every path argument is 852 text, host paths included;
// host names on disk are UTF-8. docs/paths.md tells the whole story.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tav::os {

// The prefix directory; created with its drive map (c:, z:, unc/, drive_c/) on first use.
std::filesystem::path prefixDir();
// Forgets every cache: the prefix, the drive map and the directory listings (tests that change
// TAV_PREFIX call it).
void resetPathCaches();
// The letter-case lookup resolves each directory of a path once and keeps it while it holds
// (the directory still there, no directory in which a component matched ignoring case changed),
// and caches directory listings checked against the directory's modification time, so changes
// made by other programs are seen: a lookup in a known directory costs one stat. The file
// operations tell it of their own changes, which keeps the listing without reading it again: an
// entry they created (noteCreated) or removed or renamed away (noteRemoved); forgetListing drops
// a directory's listing altogether.
void forgetListing(const std::filesystem::path& hostDir);
void noteCreated(const std::filesystem::path& hostEntry);
void noteRemoved(const std::filesystem::path& hostEntry);
// What the lookups have cost so far: walks component by component, directory listings read.
struct PathLookupCounts {
  uint64_t walks = 0, listingReads = 0;
};
PathLookupCounts pathLookupCounts();

// The absolute Windows form of a path: drive or "\\server\share" root, "." and ".." resolved,
// no trailing backslash except on a drive root ("C:\"). Letter case is kept as given. A host
// path comes back in its drive form (fromHost).
std::string fullPath(std::string_view winPath);

// Maps a Windows path to the host. Existing components are found ignoring letter case (an exact
// match wins); the first missing one and all after it keep the case given. Relative paths start
// from the current directory; "\x" starts from the root of the current drive; "D:x" starts from
// the current directory when D: is the current drive, else from D:\.
// A drive or share that is not mapped gives a host path that does not exist, so every operation
// on it fails as it would for a missing drive.
std::filesystem::path toHost(std::string_view winPath);
// The Windows form of a host path: through the drive or share that covers it (the deepest one),
// else Z:. Symbolic links inside the path are resolved only when nothing but Z: covers it as
// written, so toHost followed by fromHost gives the path back.
std::string fromHost(const std::filesystem::path& host);

// True for the paths that name a root rather than a directory: "C:\", "\\server",
// "\\server\share". Such paths cannot be created or removed.
bool isRootPath(std::string_view winPath);

std::string currentDirectory();  // "C:\...\" form, with a trailing backslash
char currentDrive();  // 'C', 'Z', ...; '\\' when the current directory is a network share
bool changeDirectory(std::string_view winPath);

// Drives, for the directory chooser. The values are those of the Windows drive types.
enum class DriveType : int {
  Unknown = 0,
  NoRootDir = 1,  // no such drive, or its target is missing
  Removable = 2,
  Fixed = 3,
  Remote = 4,  // network shares: unc/ entries and nfs, cifs, sshfs... mounts
  CdRom = 5,
  RamDisk = 6,  // tmpfs, ramfs
};

// The mapped drive letters, upper case, in order ("GetLogicalDriveStrings").
std::vector<char> logicalDrives();
DriveType driveType(char drive);
// The type of a root given as a path: "C:\", "c:", "\\server\share\" (a mapped share is Remote,
// an unmapped one NoRootDir).
DriveType driveTypeOf(std::string_view rootPath);
// The type the host file system type gives (the "fstype" of /proc/self/mountinfo); removable is
// what the block device says about itself.
DriveType driveTypeForFileSystem(std::string_view fsType, bool removableDevice);

// Maps a drive letter or a network share to a host directory (replacing an earlier mapping).
// The installer's tests and set-up scripts use them; false when the link cannot be made.
bool mapDrive(char drive, const std::filesystem::path& target);
bool mapShare(std::string_view server, std::string_view share, const std::filesystem::path& target);

}  // namespace tav::os

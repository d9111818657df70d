// Paths on Windows: native. The tool's Windows paths are the host's own, so there is no drive
// map, no prefix and no letter-case look-up (the file system ignores case itself). A path crosses
// into Win32 as UTF-16 through os/wide.h and comes back as 852.
#include "os/path.h"

#include <windows.h>

#include "os/wide.h"

namespace tav::os {

namespace fs = std::filesystem;

namespace {

bool isSep(wchar_t c) { return c == L'\\' || c == L'/'; }

// GetFullPathNameW: "." and ".." resolved, relative paths from the current directory, "\x" from the
// current drive's root, "D:x" from D:'s current directory.
std::wstring full(std::string_view winPath) {
  std::wstring w = wideFromOem(winPath);
  if (w.empty()) w = L".";
  DWORD n = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring out(n, L'\0');
  n = ::GetFullPathNameW(w.c_str(), n, out.data(), nullptr);
  out.resize(n);
  return out;
}

// "C:\", "\\server", "\\server\share": the length of the root part of a full path.
size_t rootLength(const std::wstring& p) {
  if (p.size() >= 2 && isSep(p[0]) && isSep(p[1])) {
    size_t i = 2;
    while (i < p.size() && !isSep(p[i])) ++i;  // server
    if (i < p.size()) ++i;
    while (i < p.size() && !isSep(p[i])) ++i;  // share
    return i;
  }
  if (p.size() >= 3 && p[1] == L':' && isSep(p[2])) return 3;
  if (p.size() >= 2 && p[1] == L':') return 2;
  return 0;
}

std::wstring withoutTrailingSeparator(std::wstring p) {
  const size_t root = rootLength(p);
  while (p.size() > root && isSep(p.back())) p.pop_back();
  // "\\server\share\" -> "\\server\share"; "C:\" stays.
  if (p.size() == root && root > 3 && isSep(p.back())) p.pop_back();
  return p;
}

}  // namespace

// No prefix on Windows: the registry and the drives are the system's own.
fs::path prefixDir() { return {}; }
void resetPathCaches() {}
void forgetListing(const fs::path&) {}
void noteCreated(const fs::path&) {}
void noteRemoved(const fs::path&) {}
PathLookupCounts pathLookupCounts() { return {}; }

std::string fullPath(std::string_view winPath) {
  return oemFromWide(withoutTrailingSeparator(full(winPath)));
}

fs::path toHost(std::string_view winPath) { return fs::path(full(winPath)); }

std::string fromHost(const fs::path& host) {
  std::error_code ec;
  fs::path abs = fs::absolute(host, ec);
  std::wstring w = (ec ? host : abs).native();
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return oemFromWide(withoutTrailingSeparator(w));
}

bool isRootPath(std::string_view winPath) {
  const std::wstring f = withoutTrailingSeparator(full(winPath));
  const size_t root = rootLength(f);
  if (f.size() >= 2 && isSep(f[0]) && isSep(f[1])) return f.size() <= root;
  return f.size() <= 3 && root > 0;
}

std::string currentDirectory() {
  const DWORD n = ::GetCurrentDirectoryW(0, nullptr);
  std::wstring w(n, L'\0');
  w.resize(::GetCurrentDirectoryW(n, w.data()));
  if (w.empty() || w.back() != L'\\') w += L'\\';
  return oemFromWide(w);
}

char currentDrive() {
  const std::string d = currentDirectory();
  return d.size() >= 2 && d[1] == ':' ? static_cast<char>(std::toupper(d[0])) : '\\';
}

bool changeDirectory(std::string_view winPath) {
  return ::SetCurrentDirectoryW(wideFromOem(winPath).c_str()) != 0;
}

std::vector<char> logicalDrives() {
  std::vector<char> out;
  const DWORD mask = ::GetLogicalDrives();
  for (int i = 0; i < 26; ++i)
    if (mask & (1u << i)) out.push_back(static_cast<char>('A' + i));
  return out;
}

namespace {
DriveType fromWin(UINT t) {
  switch (t) {
    case DRIVE_NO_ROOT_DIR:
      return DriveType::NoRootDir;
    case DRIVE_REMOVABLE:
      return DriveType::Removable;
    case DRIVE_FIXED:
      return DriveType::Fixed;
    case DRIVE_REMOTE:
      return DriveType::Remote;
    case DRIVE_CDROM:
      return DriveType::CdRom;
    case DRIVE_RAMDISK:
      return DriveType::RamDisk;
    default:
      return DriveType::Unknown;
  }
}
}  // namespace

DriveType driveType(char drive) {
  const wchar_t root[] = {static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(drive))),
                          L':', L'\\', 0};
  return fromWin(::GetDriveTypeW(root));
}

DriveType driveTypeOf(std::string_view rootPath) {
  std::wstring w = wideFromOem(rootPath);
  if (w.size() == 2 && w[1] == L':') w += L'\\';
  if (!w.empty() && !isSep(w.back())) w += L'\\';
  return fromWin(::GetDriveTypeW(w.c_str()));
}

// Drives and shares are the system's: nothing to map (the drive map is the Linux build's).
bool mapDrive(char, const fs::path&) { return false; }
bool mapShare(std::string_view, std::string_view, const fs::path&) { return false; }

}  // namespace tav::os

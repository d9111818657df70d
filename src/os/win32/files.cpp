// File and directory operations on Windows paths, straight onto the Win32 calls: the behaviour the
// tool's retry loops are written against (read-only files refuse deletion, a rename never replaces,
// one directory level at a time) is Windows' own here. Every path crosses into Win32 as UTF-16
// through os/wide.h; names come back as 852. Every change passes the fault seam first.
#include "os/files.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "os/fault.h"
#include "os/path.h"
#include "os/wide.h"
#include "os/win32/win_error.h"
#include "runtime/codepage.h"

namespace tav::os {

namespace fs = std::filesystem;
using win32::injected;
using win32::lastStatus;

namespace {

constexpr DWORD kNoAttributes = INVALID_FILE_ATTRIBUTES;

DWORD attributesOfHost(const fs::path& host) { return ::GetFileAttributesW(host.c_str()); }

uint32_t toOurs(DWORD a) {
  uint32_t out = a & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrDirectory | kAttrArchive);
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) out |= kAttrReparsePoint;
  return out;
}

std::string twoDigits(int v) {
  char b[4];
  std::snprintf(b, sizeof b, "%02d", v % 100);
  return b;
}

// A rename's and a deletion's name for the fault seam (KIND@NAME rules).
std::string seamName(const fs::path& host) { return utf8(host); }

}  // namespace

bool exists(std::string_view path) { return attributesOfHost(toHost(path)) != kNoAttributes; }

bool isDirectory(std::string_view path) {
  const DWORD a = attributesOfHost(toHost(path));
  return a != kNoAttributes && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<uint64_t> fileSize(std::string_view path) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  if (!::GetFileAttributesExW(toHost(path).c_str(), GetFileExInfoStandard, &d) ||
      (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return std::nullopt;
  return (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

Status copyFile(std::string_view from, std::string_view to) {
  const fs::path src = toHost(from), dst = toHost(to);
  const DWORD sa = attributesOfHost(src);
  if (sa == kNoAttributes) return lastStatus();
  if (sa & FILE_ATTRIBUTE_DIRECTORY) return Status::failed(EISDIR, ERROR_DIRECTORY);
  const DWORD da = attributesOfHost(dst);
  if (da != kNoAttributes) {
    if (da & FILE_ATTRIBUTE_DIRECTORY) return Status::failed(EISDIR, ERROR_DIRECTORY);
    if (da & FILE_ATTRIBUTE_READONLY) return Status::failed(EACCES, ERROR_ACCESS_DENIED);
  }
  if (const int e = faultAt(FaultPoint::Open)) return injected(e);
  // Copied beside the target and put in its place only when whole: a copy that fails half-way
  // leaves the old target as it was.
  fs::path tmp = dst.parent_path() / (L"~" + dst.filename().native() + L"." +
                                      std::to_wstring(::GetCurrentProcessId()) + L".tmp");
  if (const int e = faultAt(FaultPoint::Write)) return injected(e);
  if (!::CopyFileW(src.c_str(), tmp.c_str(), FALSE)) {
    const Status s = lastStatus();
    ::DeleteFileW(tmp.c_str());
    return s;
  }
  // CopyFile carries the source's attributes; the copy is a new file (attributes are not copied).
  ::SetFileAttributesW(tmp.c_str(), FILE_ATTRIBUTE_ARCHIVE);
  if (const int e = faultAt(FaultPoint::Rename)) {
    ::DeleteFileW(tmp.c_str());
    return injected(e);
  }
  if (!::MoveFileExW(tmp.c_str(), dst.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const Status s = lastStatus();
    ::DeleteFileW(tmp.c_str());
    return s;
  }
  return Status::ok();
}

Status renameFile(std::string_view from, std::string_view to) {
  const fs::path src = toHost(from), dst = toHost(to);
  if (attributesOfHost(src) == kNoAttributes) return lastStatus();
  if (const int e = faultAt(FaultPoint::Rename, seamName(src).c_str())) return injected(e);
  // Without MOVEFILE_REPLACE_EXISTING an existing target refuses the move; the same file under
  // another letter case is a case-only rename, which Windows makes.
  if (!::MoveFileExW(src.c_str(), dst.c_str(), MOVEFILE_WRITE_THROUGH)) return lastStatus();
  return Status::ok();
}

Status replaceFile(std::string_view from, std::string_view to) {
  return replaceHostFile(toHost(from), toHost(to));
}

Status replaceHostFile(const fs::path& from, const fs::path& to) {
  if (const int e = faultAt(FaultPoint::Rename, seamName(from).c_str())) return injected(e);
  // Refused while another program holds the target open (a sharing violation): the callers'
  // retries and their clean failure handle that, as with a file held on a network share.
  if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return lastStatus();
  return Status::ok();
}

Status removeHostFile(const fs::path& path) {
  if (attributesOfHost(path) == kNoAttributes) return lastStatus();
  if (const int e = faultAt(FaultPoint::Delete, seamName(path).c_str())) return injected(e);
  if (!::DeleteFileW(path.c_str())) return lastStatus();
  return Status::ok();
}

Status probeReplace(const fs::path& host) {
  // Asking for the right to delete, sharing everything: only a holder that shares no deletion
  // refuses, exactly as it would refuse the rename.
  HANDLE h =
      ::CreateFileW(host.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return Status::ok();
    return win32::statusOf(e);
  }
  ::CloseHandle(h);
  return Status::ok();
}

Status removeFile(std::string_view path) {
  const fs::path host = toHost(path);
  const DWORD a = attributesOfHost(host);
  if (a == kNoAttributes) return lastStatus();
  if (a & FILE_ATTRIBUTE_DIRECTORY) return Status::failed(EISDIR, ERROR_ACCESS_DENIED);
  if (a & FILE_ATTRIBUTE_READONLY) return Status::failed(EACCES, ERROR_ACCESS_DENIED);
  if (const int e = faultAt(FaultPoint::Delete, seamName(host).c_str())) return injected(e);
  if (!::DeleteFileW(host.c_str())) return lastStatus();
  return Status::ok();
}

Status createDirectory(std::string_view path) {
  if (path.empty() || isRootPath(path)) return Status::failed(EEXIST, ERROR_ALREADY_EXISTS);
  const fs::path host = toHost(path);
  if (const int e = faultAt(FaultPoint::MakeDir)) return injected(e);
  if (!::CreateDirectoryW(host.c_str(), nullptr)) return lastStatus();
  return Status::ok();
}

Status removeDirectory(std::string_view path) {
  if (path.empty() || isRootPath(path)) return Status::failed(EBUSY, ERROR_BUSY);
  const fs::path host = toHost(path);
  const DWORD a = attributesOfHost(host);
  if (a == kNoAttributes) return lastStatus();
  if (!(a & FILE_ATTRIBUTE_DIRECTORY)) return Status::failed(ENOTDIR, ERROR_DIRECTORY);
  if (const int e = faultAt(FaultPoint::Delete)) return injected(e);
  if (!::RemoveDirectoryW(host.c_str())) return lastStatus();
  return Status::ok();
}

std::optional<uint32_t> attributes(std::string_view path) {
  const DWORD a = attributesOfHost(toHost(path));
  if (a == kNoAttributes) return std::nullopt;
  return toOurs(a);
}

Status setAttributes(std::string_view path, std::string_view change) {
  DWORD set = 0, clear = 0;
  for (size_t i = 0; i < change.size(); ++i) {
    char sign = '+';
    if (change[i] == '+' || change[i] == '-') {
      sign = change[i];
      if (++i == change.size()) return Status::failed(EINVAL, ERROR_INVALID_PARAMETER);
    }
    DWORD bit = 0;
    switch (rt::upperChar(change[i])) {
      case 'R':
        bit = FILE_ATTRIBUTE_READONLY;
        break;
      case 'H':
        bit = FILE_ATTRIBUTE_HIDDEN;
        break;
      case 'S':
        bit = FILE_ATTRIBUTE_SYSTEM;
        break;
      case 'A':
        bit = FILE_ATTRIBUTE_ARCHIVE;
        break;
      default:
        return Status::failed(EINVAL, ERROR_INVALID_PARAMETER);
    }
    (sign == '+' ? set : clear) |= bit;
    (sign == '+' ? clear : set) &= ~bit;
  }
  const fs::path host = toHost(path);
  const DWORD a = attributesOfHost(host);
  if (a == kNoAttributes) return lastStatus();
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return Status::ok();  // links carry no attributes
  constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  DWORD wanted = ((a & kSettable) | set) & ~clear;
  if (wanted == (a & kSettable)) return Status::ok();
  if (!::SetFileAttributesW(host.c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL))
    return lastStatus();
  return Status::ok();
}

std::vector<DirEntry> listDirectory(std::string_view pattern, std::string_view include) {
  std::string dirPart, mask;
  const size_t sep = pattern.find_last_of("\\/");
  if (sep != std::string_view::npos) {
    dirPart = pattern.substr(0, sep + 1);
    mask = pattern.substr(sep + 1);
  } else if (pattern.size() >= 2 && pattern[1] == ':') {
    dirPart = pattern.substr(0, 2);
    mask = pattern.substr(2);
  } else {
    mask = pattern;
  }
  if (mask.empty()) mask = "*.*";
  const std::string inc = rt::upper(include);
  const bool wantDirs = inc.find('D') != std::string::npos;
  const bool wantHidden = inc.find('H') != std::string::npos;
  const bool wantSystem = inc.find('S') != std::string::npos;

  const fs::path dir = toHost(dirPart.empty() ? std::string_view(".") : std::string_view(dirPart));
  std::vector<DirEntry> out;
  WIN32_FIND_DATAW d{};
  // Every entry is read and the mask applied here, with the same rules as on Linux (short 8.3
  // names would otherwise match masks the long names do not).
  HANDLE find = ::FindFirstFileExW((dir / L"*").c_str(), FindExInfoBasic, &d, FindExSearchNameMatch,
                                   nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    const std::wstring w = d.cFileName;
    if (w == L"." || w == L"..") continue;
    const std::string name = oemFromWide(w);
    if (!maskMatches(mask, name)) continue;
    const uint32_t a = toOurs(d.dwFileAttributes);
    if ((a & kAttrDirectory) && !wantDirs) continue;
    if ((a & kAttrHidden) && !wantHidden) continue;
    if ((a & kAttrSystem) && !wantSystem) continue;
    DirEntry entry;
    entry.name = name;
    entry.size =
        (a & kAttrDirectory) ? 0 : (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    FILETIME local{};
    SYSTEMTIME t{};
    ::FileTimeToLocalFileTime(&d.ftLastWriteTime, &local);
    ::FileTimeToSystemTime(&local, &t);
    entry.date = rt::Date::fromYmd(t.wYear, t.wMonth, t.wDay);
    entry.time = twoDigits(t.wHour) + ":" + twoDigits(t.wMinute) + ":" + twoDigits(t.wSecond);
    entry.attributes = a;
    entry.attributeText = attributeLetters(a);
    out.push_back(std::move(entry));
  } while (::FindNextFileW(find, &d));
  ::FindClose(find);
  std::sort(out.begin(), out.end(), [](const DirEntry& x, const DirEntry& y) {
    const std::string ux = rt::upper(x.name), uy = rt::upper(y.name);
    return ux != uy ? ux < uy : x.name < y.name;
  });
  return out;
}

int64_t writeFile(std::string_view path, std::string_view data) {
  const fs::path host = toHost(path);
  const DWORD a = attributesOfHost(host);
  if (a != kNoAttributes && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) return -1;
  if (faultAt(FaultPoint::Open)) return -1;
  HANDLE h = ::CreateFileW(host.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (faultAt(FaultPoint::Write)) {
    ::CloseHandle(h);
    return 0;
  }
  size_t done = 0;
  while (done < data.size()) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
    if (!::WriteFile(h, data.data() + done, want, &put, nullptr) || put == 0) break;
    done += put;
  }
  if (!::CloseHandle(h)) return 0;
  return static_cast<int64_t>(done);
}

std::optional<std::string> readFile(std::string_view path) {
  HANDLE h = ::CreateFileW(toHost(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string out;
  char buf[1 << 16];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(h, buf, sizeof buf, &got, nullptr)) {
      ::CloseHandle(h);
      return std::nullopt;
    }
    if (got == 0) break;
    out.append(buf, got);
  }
  ::CloseHandle(h);
  return out;
}

std::optional<uint64_t> freeSpace(std::string_view directory) {
  ULARGE_INTEGER free{};
  if (!::GetDiskFreeSpaceExW(toHost(directory).c_str(), &free, nullptr, nullptr))
    return std::nullopt;
  return free.QuadPart;
}

// The environment is Windows' own: names already compare ignoring case there.
std::filesystem::path getEnvPath(const char* name) {
  const std::wstring w = wideFromUtf8(name);
  const DWORD n = ::GetEnvironmentVariableW(w.c_str(), nullptr, 0);
  if (n == 0) return {};
  std::wstring v(n, L'\0');
  v.resize(::GetEnvironmentVariableW(w.c_str(), v.data(), n));
  return std::filesystem::path(v);
}

std::string getEnv(std::string_view name) {
  const std::wstring w = wideFromOem(name);
  const DWORD n = ::GetEnvironmentVariableW(w.c_str(), nullptr, 0);
  if (n == 0) return {};
  std::wstring v(n, L'\0');
  const DWORD got = ::GetEnvironmentVariableW(w.c_str(), v.data(), n);
  v.resize(got);
  return oemFromWide(v);
}

Status setEnv(std::string_view name, std::string_view value) {
  const std::wstring n = wideFromOem(name), v = wideFromOem(value);
  if (!::SetEnvironmentVariableW(n.c_str(), v.c_str())) return lastStatus();
  // The C runtime keeps a copy of its own, which getenv() reads.
  _wputenv_s(n.c_str(), v.c_str());
  return Status::ok();
}

Status unsetEnv(std::string_view name) {
  const std::wstring n = wideFromOem(name);
  if (!::SetEnvironmentVariableW(n.c_str(), nullptr) && ::GetLastError() != ERROR_ENVVAR_NOT_FOUND)
    return lastStatus();
  _wputenv_s(n.c_str(), L"");
  return Status::ok();
}

}  // namespace tav::os

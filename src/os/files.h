#pragma once

// File and directory operations on Windows paths (code page 852, mapped by os/path). They keep
// the Windows behaviour the tool's retry loops are written against:
// - a read-only file (no write permission bit) cannot be deleted, overwritten by a copy or
//   re-created until its read-only attribute is cleared (even for root);
// - a rename does not replace an existing target;
// - creating a directory creates one level and fails when it exists.
// Expected failures come back as results that carry the OS's reason (os::Status). Nothing here
// throws.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/status.h"
#include "runtime/date.h"

namespace tav::os {

// Attribute bits, with the values Windows gives them.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrReparsePoint = 0x400;  // a symbolic link

// The extended attribute that holds hidden, system and archive, as Samba keeps them. We write
// the text form "0x<hex>" with its terminating NUL (for example "0x22": hidden and archive) and
// read any value that starts with such a text (Samba's own values go on after the NUL with a
// binary record). Read-only always comes from the permission bits, never from this attribute;
// the directory bit from the file type.
inline constexpr const char* kDosAttribXattr = "user.DOSATTRIB";

bool exists(std::string_view path);  // a file, a directory or a link (dangling ones too)
bool isDirectory(std::string_view path);
std::optional<uint64_t> fileSize(std::string_view path);  // nullopt when not a regular file

// Copies a regular file, replacing the target (which must not be read-only or a directory).
// The target changes only when the whole copy is there: a failed copy leaves an existing target
// as it was and creates none. Attributes and times are not copied.
Status copyFile(std::string_view from, std::string_view to);
// Renames or moves a file or directory; fails when the target exists, unless it is the same
// file under another letter case (a case-only rename).
Status renameFile(std::string_view from, std::string_view to);
// Puts a file in the place of another in one step (MoveFileEx with replacing): there is never
// a moment without either. An existing target of another letter case keeps its name.
Status replaceFile(std::string_view from, std::string_view to);
// Deletes a file or a symbolic link; fails for directories and read-only files.
Status removeFile(std::string_view path);
// The same two doors for files already named on the host (the engine's staged tables, indexes
// and commit records): a rename that replaces its target, and a deletion (ENOENT when there was
// nothing to delete). Each is a fault-injection point and keeps the listing cache.
Status replaceHostFile(const std::filesystem::path& from, const std::filesystem::path& to);
Status removeHostFile(const std::filesystem::path& path);
// Whether a host file could be renamed over or deleted right now. On Windows a file another
// program holds open without sharing deletion refuses both (EWOULDBLOCK, a sharing violation), so
// a swap asks before it commits; on Linux nothing refuses. A missing file is no obstacle.
Status probeReplace(const std::filesystem::path& host);
// One level; the parent must exist. Fails for an existing entry and for roots.
Status createDirectory(std::string_view path);
// An empty directory, or a symbolic link to one (the link goes, its target stays).
Status removeDirectory(std::string_view path);

// The attribute bits of an entry; nullopt when it does not exist. Regular files without the
// extended attribute count as archive, as Windows marks new files.
std::optional<uint32_t> attributes(std::string_view path);
// Changes attributes by a text of signed letters: "-R-S-H", "+R", "+H-A". A letter without a sign
// is set. R works on the permission bits (clearing it gives back write permission as the umask
// allows), H, S and A on the extended attribute. On a file system without extended attributes,
// clearing H, S or A succeeds and setting them fails. Links carry no attributes: nothing is
// changed and the result is true. False for an unknown letter or a missing entry.
Status setAttributes(std::string_view path, std::string_view change);
// "RHSDA" order: "D", "RA", "HA", ...
std::string attributeLetters(uint32_t attrs);

// Windows mask matching, ignoring letter case: "*" and "?", "*.*" matching every name (with a dot
// or without), "rob*.*" matching "robo", "*." matching names without a dot, "*.cdx".
bool maskMatches(std::string_view mask, std::string_view name);

struct DirEntry {
  std::string name;  // 852, as the entry is called on disk
  uint64_t size = 0;
  rt::Date date;     // last write, local time
  std::string time;  // "hh:mm:ss"
  uint32_t attributes = 0;
  std::string attributeText;  // attributeLetters(attributes)
  bool isDirectory() const { return attributes & kAttrDirectory; }
};

// Entries matching a pattern: a directory and a mask ("C:\TAV\*.cdx", ".\STR\*.*", "rob*.*";
// a pattern ending in a separator means "*.*"). Without `include` only normal files are listed
// (read-only and archive ones included); the letters "D", "H" and "S" add directories, hidden
// and system entries. "." and ".." are never listed, nor host names holding a backslash. Sorted by
// name, ignoring case. An empty result for a missing directory.
std::vector<DirEntry> listDirectory(std::string_view pattern, std::string_view include = "");

// Writes `data` as the whole new content of a file (created or replaced); the number of bytes
// written, or -1 when the file cannot be created (a read-only file cannot).
int64_t writeFile(std::string_view path, std::string_view data);
std::optional<std::string> readFile(std::string_view path);

// The bytes free for this user on the disk that holds `directory`; nullopt when it cannot be
// asked (a missing directory).
std::optional<uint64_t> freeSpace(std::string_view directory);

// The environment. Names and values are 852 text (UTF-8 on the host). A name not found exactly
// is looked up ignoring case, as Windows does. An empty result when it is not set.
std::string getEnv(std::string_view name);
// The host path an environment variable holds, as the host keeps it (not through 852, which
// would turn a letter it lacks into '?'); empty when it is not set. The name is ASCII.
std::filesystem::path getEnvPath(const char* name);
Status setEnv(std::string_view name, std::string_view value);
Status unsetEnv(std::string_view name);

}  // namespace tav::os

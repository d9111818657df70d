#pragma once

// The registry functions the tool calls, with their arguments, access rights and result codes
// as the Windows registry gives them. On Windows they are the Win32 registry itself
// (os/win32/registry.cpp; docs/registry.md, "On Windows"). On Linux they work over the text files
// of the prefix directory: one export-format file per root (user.reg, system.reg, ...), or, in a
// prefix Wine made, Wine's own system.reg and user.reg in Wine's format. The two formats never
// mix in one prefix. Texts are ANSI (code page 1250).
//
// Every write takes an flock on the root's lock file, reads the file afresh, applies the change
// and replaces the file atomically (temporary file, fsync, rename), so two processes writing at
// once lose nothing. Reads see the last complete file. A file that does not parse is never
// written, moved or replaced: writes to it fail and its keys read as absent. Nothing is written
// to Wine's files while a Wine server runs for the prefix.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "os/registry/hive.h"

namespace tav::os::reg {

using HKEY = uint32_t;

inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;
inline constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005u;
inline constexpr HKEY HKEY_DYN_DATA = 0x80000006u;

// Access rights.
inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr uint32_t KEY_NOTIFY = 0x0010;
inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

// Result codes.
inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_ACCESS_DENIED = 5;
inline constexpr long ERROR_INVALID_HANDLE = 6;
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_BAD_PATHNAME = 161;
inline constexpr long ERROR_MORE_DATA = 234;
inline constexpr long ERROR_CANTWRITE = 1013;
inline constexpr long ERROR_KEY_DELETED = 1018;

// Dispositions of RegCreateKeyEx.
inline constexpr uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

struct FileTime {
  uint32_t low = 0, high = 0;
};

// What RegQueryInfoKey reports. Lengths are in characters without the terminating zero, except
// maxValueLen, which is in bytes of data.
struct KeyInfo {
  std::string className;
  uint32_t subKeys = 0;
  uint32_t maxSubKeyLen = 0;
  uint32_t maxClassLen = 0;
  uint32_t values = 0;
  uint32_t maxValueNameLen = 0;
  uint32_t maxValueLen = 0;
  uint32_t securityDescriptor = 0;
  FileTime lastWriteTime;  // the time the store file was last written
};

// `key` is a root or a handle that an earlier open or create gave. `subKey` is relative to it,
// components separated by '\', no leading backslash; empty opens `key` itself again. A write (a
// key created, a value set) that is not made gives back its code and, in `refused` when given,
// why in one line (UTF-8) naming what refused it: a store file that does not parse (its file and
// line), Wine's files beside the editor's, a Wine server running for the prefix, a file that
// cannot be written; on Windows the system's text for its code.
long RegOpenKeyEx(HKEY key, std::string_view subKey, uint32_t options, uint32_t access,
                  HKEY* result);
long RegCreateKeyEx(HKEY key, std::string_view subKey, uint32_t reserved,
                    std::string_view className, uint32_t options, uint32_t access, HKEY* result,
                    uint32_t* disposition, std::string* refused = nullptr);
long RegQueryInfoKey(HKEY key, KeyInfo* info);
// As the A function: with data null only the type and size are given back; a buffer smaller
// than the value gives ERROR_MORE_DATA with *dataSize set to the size needed. String values come
// back with their terminating zero, unexpanded.
long RegQueryValueEx(HKEY key, std::string_view valueName, uint32_t* type, uint8_t* data,
                     uint32_t* dataSize);
long RegSetValueEx(HKEY key, std::string_view valueName, uint32_t reserved, uint32_t type,
                   const uint8_t* data, uint32_t dataSize, std::string* refused = nullptr);
long RegCloseKey(HKEY key);

// Replaces every %NAME% by the environment variable NAME (host UTF-8, given back as ANSI); a name
// that is not set stays as written, as the shell does.
std::string expandEnvironmentStrings(std::string_view ansi);

// "HKEY_CURRENT_USER" for 0x80000001, ...; empty for anything that is not a root.
std::string_view rootName(HKEY root);
std::optional<HKEY> rootFromName(std::string_view name);  // ignoring letter case

// The store file of a root in the current prefix.
std::filesystem::path storeFile(HKEY root);

// Why the registry of the current prefix cannot be written now, found before anything is written:
// a store file that does not parse (its file and line), Wine's files beside the editor's, or a Wine
// server running for the prefix (it holds the registry and writes it back when it ends).
struct StoreProblem {
  enum class Kind { None, Damaged, Mixed, WineServerRunning };
  Kind kind = Kind::None;
  std::filesystem::path file;  // the file concerned (Damaged)
  int line = 0;                // 1-based line of the damage; 0 when the file could not be read
  std::string message;         // one line in English, naming the file and line
  explicit operator bool() const { return kind != Kind::None; }
};
StoreProblem checkStore();

// Whether the prefix keeps its registry in Wine's files.
bool isWinePrefix();

// Closes every handle and forgets cached files (tests that switch TAV_PREFIX).
void resetForTests();

// The key whose value "ComputerName" answers with the host's name, below HKEY_LOCAL_MACHINE.
inline constexpr std::string_view kComputerNameKey =
    "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

}  // namespace tav::os::reg

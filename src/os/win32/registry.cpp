// The registry functions of os/registry/registry.h on the Windows registry itself
// (RegOpenKeyExW, RegCreateKeyExW, RegQueryValueExW, RegSetValueExW, ...). The tool's texts are
// ANSI (1250) and cross into Win32 as UTF-16 (os/wide.h); string data keeps its zeros both ways,
// so what the tool writes reads back byte for byte. Handles of this API are numbers of our own,
// each standing for one Win32 key handle; the roots keep their Windows values.
//
// Two keys answer from the system rather than from their values, as on Linux the computer name
// does: the user's Desktop and Start-menu Programs of the Shell Folders key come from
// SHGetKnownFolderPath, the folders Windows itself shows, whatever that key still holds.
#include "os/registry/registry.h"

// windows.h first: the other Win32 headers build on it.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cstring>
#include <map>
#include <mutex>

#include "os/wide.h"
#include "os/win32/win_error.h"
#include "runtime/codepage.h"

// windows.h names the W functions after the A/W-neutral names this API keeps; here those names
// are ours, and the Win32 calls are spelled with their W.
#undef RegOpenKeyEx
#undef RegCreateKeyEx
#undef RegQueryInfoKey
#undef RegQueryValueEx
#undef RegSetValueEx

namespace tav::os::reg {
namespace {

struct Root {
  HKEY ours;
  ::HKEY win;
  std::string_view name;
};

const Root kRoots[] = {
    {HKEY_CLASSES_ROOT, ((::HKEY)(ULONG_PTR)((LONG)0x80000000)), "HKEY_CLASSES_ROOT"},
    {HKEY_CURRENT_USER, ((::HKEY)(ULONG_PTR)((LONG)0x80000001)), "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, ((::HKEY)(ULONG_PTR)((LONG)0x80000002)), "HKEY_LOCAL_MACHINE"},
    {HKEY_USERS, ((::HKEY)(ULONG_PTR)((LONG)0x80000003)), "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, ((::HKEY)(ULONG_PTR)((LONG)0x80000005)), "HKEY_CURRENT_CONFIG"},
    {HKEY_DYN_DATA, ((::HKEY)(ULONG_PTR)((LONG)0x80000006)), "HKEY_DYN_DATA"},
};

constexpr std::string_view kShellFolders =
    "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\EXPLORER\\SHELL FOLDERS";

struct Open {
  ::HKEY win;
  HKEY root;
  std::string path;  // below the root, upper case (to recognise the Shell Folders key)
};

struct State {
  std::mutex mutex;
  std::map<HKEY, Open> handles;
  HKEY next = 0x100;
};

State& state() {
  static State s;
  return s;
}

std::string upperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// The Win32 key and our root/path for a handle of this API.
bool resolve(HKEY key, Open& out) {
  for (const Root& r : kRoots)
    if (r.ours == key) {
      out = Open{r.win, r.ours, {}};
      return true;
    }
  State& s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.handles.find(key);
  if (it == s.handles.end()) return false;
  out = it->second;
  return true;
}

HKEY remember(::HKEY win, HKEY root, std::string path) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  const HKEY h = s.next++;
  s.handles[h] = Open{win, root, std::move(path)};
  return h;
}

std::string joined(const std::string& base, std::string_view sub) {
  if (sub.empty()) return base;
  return base.empty() ? upperAscii(std::string(sub)) : base + "\\" + upperAscii(std::string(sub));
}

// A write the registry refused: its code, and why in `refused` (UTF-8) when asked, naming the key
// (or value) and the system's text for the code.
long refusal(long rc, const Open& k, std::string_view name, std::string* refused) {
  if (refused) {
    std::string where = std::string(rootName(k.root));
    if (!k.path.empty()) where += "\\" + k.path;
    if (!name.empty()) where += "\\" + std::string(name);
    *refused = rt::ansiToUtf8(where) + ": " + win32::statusOf(static_cast<DWORD>(rc)).message();
  }
  return rc;
}

bool isStringType(uint32_t type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The known folder a Shell Folders value names, as ANSI with its zero; nullopt for other values.
std::optional<std::string> knownFolder(std::string_view valueName) {
  const std::string n = upperAscii(std::string(valueName));
  const KNOWNFOLDERID* id = n == "DESKTOP"    ? &FOLDERID_Desktop
                            : n == "PROGRAMS" ? &FOLDERID_Programs
                                              : nullptr;
  if (!id) return std::nullopt;
  wchar_t* path = nullptr;
  if (FAILED(::SHGetKnownFolderPath(*id, KF_FLAG_CREATE, nullptr, &path))) {
    ::CoTaskMemFree(path);
    return std::nullopt;
  }
  std::string ansi = ansiFromWide(path);
  ::CoTaskMemFree(path);
  ansi.push_back('\0');
  return ansi;
}

}  // namespace

std::string_view rootName(HKEY root) {
  for (const Root& r : kRoots)
    if (r.ours == root) return r.name;
  return {};
}

std::optional<HKEY> rootFromName(std::string_view name) {
  for (const Root& r : kRoots)
    if (upperAscii(std::string(r.name)) == upperAscii(std::string(name))) return r.ours;
  return std::nullopt;
}

long RegOpenKeyEx(HKEY key, std::string_view subKey, uint32_t options, uint32_t access,
                  HKEY* result) {
  Open parent;
  if (!resolve(key, parent)) return ERROR_INVALID_HANDLE;
  if (!result) return ERROR_INVALID_PARAMETER;
  ::HKEY out = nullptr;
  const long rc = ::RegOpenKeyExW(parent.win, wideFromAnsi(subKey).c_str(), options,
                                  static_cast<REGSAM>(access), &out);
  if (rc != ERROR_SUCCESS) return rc;
  *result = remember(out, parent.root, joined(parent.path, subKey));
  return ERROR_SUCCESS;
}

long RegCreateKeyEx(HKEY key, std::string_view subKey, uint32_t, std::string_view className,
                    uint32_t options, uint32_t access, HKEY* result, uint32_t* disposition,
                    std::string* refused) {
  Open parent;
  if (!resolve(key, parent)) return ERROR_INVALID_HANDLE;
  if (!result) return ERROR_INVALID_PARAMETER;
  ::HKEY out = nullptr;
  DWORD disp = 0;
  std::wstring cls = wideFromAnsi(className);
  const long rc = ::RegCreateKeyExW(parent.win, wideFromAnsi(subKey).c_str(), 0,
                                    cls.empty() ? nullptr : cls.data(), options,
                                    static_cast<REGSAM>(access), nullptr, &out, &disp);
  if (rc != ERROR_SUCCESS) return refusal(rc, parent, subKey, refused);
  *result = remember(out, parent.root, joined(parent.path, subKey));
  if (disposition) *disposition = disp;
  return ERROR_SUCCESS;
}

long RegQueryInfoKey(HKEY key, KeyInfo* info) {
  Open k;
  if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!info) return ERROR_INVALID_PARAMETER;
  wchar_t cls[256] = {};
  DWORD clsLen = 256, subKeys = 0, maxSub = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0,
        security = 0;
  FILETIME written{};
  const long rc = ::RegQueryInfoKeyW(k.win, cls, &clsLen, nullptr, &subKeys, &maxSub, &maxClass,
                                     &values, &maxName, &maxData, &security, &written);
  if (rc != ERROR_SUCCESS) return rc;
  *info = KeyInfo{};
  info->className = ansiFromWide(std::wstring_view(cls, clsLen));
  info->subKeys = subKeys;
  info->maxSubKeyLen = maxSub;
  info->maxClassLen = maxClass;
  info->values = values;
  info->maxValueNameLen = maxName;
  // In bytes of UTF-16 data: never less than the ANSI form the query gives back.
  info->maxValueLen = maxData;
  info->securityDescriptor = security;
  info->lastWriteTime = FileTime{written.dwLowDateTime, written.dwHighDateTime};
  return ERROR_SUCCESS;
}

long RegQueryValueEx(HKEY key, std::string_view valueName, uint32_t* type, uint8_t* data,
                     uint32_t* dataSize) {
  Open k;
  if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  uint32_t t = 0;
  std::string bytes;
  std::optional<std::string> known;
  if (k.root == HKEY_CURRENT_USER && k.path == kShellFolders) known = knownFolder(valueName);
  if (known) {
    t = REG_SZ;
    bytes = std::move(*known);
  } else {
    const std::wstring name = wideFromAnsi(valueName);
    DWORD wt = 0, size = 0;
    long rc = ::RegQueryValueExW(k.win, name.c_str(), nullptr, &wt, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    std::string raw(size, '\0');
    rc = ::RegQueryValueExW(k.win, name.c_str(), nullptr, &wt, reinterpret_cast<BYTE*>(raw.data()),
                            &size);
    if (rc != ERROR_SUCCESS) return rc;
    raw.resize(size);
    t = wt;
    if (isStringType(t)) {
      // UTF-16 units, zeros included, to ANSI bytes one for one.
      std::wstring w(raw.size() / 2, L'\0');
      std::memcpy(w.data(), raw.data(), w.size() * 2);
      bytes = ansiFromWide(w);
    } else {
      bytes = std::move(raw);
    }
  }
  if (type) *type = t;
  if (!dataSize) return ERROR_SUCCESS;
  const uint32_t room = *dataSize;
  *dataSize = static_cast<uint32_t>(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (room < bytes.size()) return ERROR_MORE_DATA;
  std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

long RegSetValueEx(HKEY key, std::string_view valueName, uint32_t, uint32_t type,
                   const uint8_t* data, uint32_t dataSize, std::string* refused) {
  Open k;
  if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!data && dataSize) return ERROR_INVALID_PARAMETER;
  const std::wstring name = wideFromAnsi(valueName);
  const std::string_view bytes(reinterpret_cast<const char*>(data), data ? dataSize : 0);
  long rc;
  if (isStringType(type)) {
    const std::wstring w = wideFromAnsi(bytes);  // zeros stay zeros
    rc = ::RegSetValueExW(k.win, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(w.data()),
                          static_cast<DWORD>(w.size() * sizeof(wchar_t)));
  } else {
    rc = ::RegSetValueExW(k.win, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
  }
  return rc == ERROR_SUCCESS ? rc : refusal(rc, k, valueName, refused);
}

long RegCloseKey(HKEY key) {
  for (const Root& r : kRoots)
    if (r.ours == key) return ERROR_SUCCESS;
  State& s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.handles.find(key);
  if (it == s.handles.end()) return ERROR_INVALID_HANDLE;
  ::RegCloseKey(it->second.win);
  s.handles.erase(it);
  return ERROR_SUCCESS;
}

std::string expandEnvironmentStrings(std::string_view ansi) {
  const std::wstring w = wideFromAnsi(ansi);
  const DWORD n = ::ExpandEnvironmentStringsW(w.c_str(), nullptr, 0);
  if (n == 0) return std::string(ansi);
  std::wstring out(n, L'\0');
  const DWORD got = ::ExpandEnvironmentStringsW(w.c_str(), out.data(), n);
  out.resize(got ? got - 1 : 0);
  return ansiFromWide(out);
}

// The system's registry has no store files of ours, cannot be damaged in a way we could parse,
// and has no Wine server to wait for.
std::filesystem::path storeFile(HKEY) { return {}; }
StoreProblem checkStore() { return {}; }
bool isWinePrefix() { return false; }

void resetForTests() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  for (auto& [h, k] : s.handles) ::RegCloseKey(k.win);
  s.handles.clear();
}

}  // namespace tav::os::reg

// The registry functions over the per-root store files. A write holds the root's lock file, reads
// the file afresh and replaces it by rename; a reader re-reads whenever the file's identity
// changed.

#include "os/registry/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "os/path.h"
#include "os/process/wine_server.h"
#include "os/registry/wine_format.h"
#include "os/system_info.h"
#include "runtime/codepage.h"

namespace tav::os::reg {
namespace fs = std::filesystem;
namespace {

struct RootFile {
  HKEY root;
  std::string_view name;
  std::string_view file;
};

constexpr RootFile kRoots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "classes.reg"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "user.reg"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "system.reg"},
    {HKEY_USERS, "HKEY_USERS", "users.reg"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "config.reg"},
    {HKEY_DYN_DATA, "HKEY_DYN_DATA", "dyndata.reg"},
};

HKEY rootFor(const std::filesystem::path& file) {
  for (const auto& r : kRoots)
    if (file.filename() == r.file) return r.root;
  return HKEY_CURRENT_USER;
}

const RootFile* findRoot(HKEY key) {
  for (const auto& r : kRoots)
    if (r.root == key) return &r;
  return nullptr;
}

struct OpenKey {
  HKEY root;
  std::string path;
  uint32_t access;
};

// A parsed store file and the identity of the file it came from: a write replaces the file by
// rename, so a new inode, size or time means another writer has been there.
struct CachedFile {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  Hive hive;
};

struct State {
  std::recursive_mutex mutex;
  std::map<HKEY, OpenKey> handles;
  HKEY next = 0x100;
  std::map<fs::path, CachedFile> files;
};

State& state() {
  static State s;
  return s;
}

// A file written in the last moments may be followed by another write that reuses the inode
// within the file system's clock granularity; such a file is read again rather than trusted.
bool sameFile(const CachedFile& c, const struct stat& st) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const int64_t ageNs = (static_cast<int64_t>(now.tv_sec) - st.st_mtim.tv_sec) * 1000000000 +
                        (now.tv_nsec - st.st_mtim.tv_nsec);
  return ageNs > 50'000'000 && c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size &&
         c.mtime.tv_sec == st.st_mtim.tv_sec && c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

void remember(const fs::path& file, const struct stat& st, Hive hive) {
  CachedFile c;
  c.dev = st.st_dev;
  c.ino = st.st_ino;
  c.size = st.st_size;
  c.mtime = st.st_mtim;
  c.hive = std::move(hive);
  state().files[file] = std::move(c);
}

// Holds an flock on the root's lock file. The store file itself cannot carry the lock because
// every write replaces it.
class StoreLock {
 public:
  explicit StoreLock(const fs::path& file) {
    std::string lockName = file.string() + ".lock";
    fd_ = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the flock
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

enum class Load { Ok, Missing, Damaged, Unreadable };

bool startsWith(std::string_view text, std::string_view head) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text.substr(0, head.size()) == head;
}

// The relative root a Wine file of this name must name ("" for a file Wine does not keep).
std::string_view wineRootOf(const fs::path& file) {
  const std::string name = file.filename().string();
  if (name == "system.reg") return "Machine";
  if (name == "user.reg" || name == "userdef.reg") return "User";
  return {};
}

// Reads and parses a store file in whichever of the two formats it is in; `layout` receives the
// lines of a Wine file.
Load readStore(const fs::path& file, Hive& hive, struct stat& st, ParseError& err,
               WineLayout* layout = nullptr) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Load::Missing : Load::Unreadable;
  std::string text;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok) {
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (ok && got < text.size()) {
      ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        ok = false;
      else
        got += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  if (!ok) return Load::Unreadable;
  if (startsWith(text, kWineHeader) && !wineRootOf(file).empty()) {
    WineLayout scratch;
    err = parseWine(text, wineRootOf(file), hive, layout ? *layout : scratch);
  } else {
    err = parse(text, hive);
  }
  return err ? Load::Damaged : Load::Ok;
}

// Which format the prefix keeps its registry in, from the first line of its files.
enum class Format { Editor, Wine, Mixed };

Format prefixFormat() {
  bool wine = false, editor = false;
  for (const char* name : {"system.reg", "user.reg"}) {
    int fd = ::open((prefixDir() / name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char head[64];
    ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    std::string_view text(head, n > 0 ? static_cast<size_t>(n) : 0);
    if (startsWith(text, kWineHeader))
      wine = true;
    else if (startsWith(text, "Windows Registry Editor Version 5.00"))
      editor = true;
  }
  return wine && editor ? Format::Mixed : wine ? Format::Wine : Format::Editor;
}

// Says a thing about a store file once per process: every registry call of a run would repeat it.
void reportOnce(const std::string& message) {
  static std::set<std::string> said;
  if (said.insert(message).second) std::fprintf(stderr, "registry: %s\n", message.c_str());
}

// A write that is not made: its reason goes to the caller that asked for it, and once to standard
// error.
void refuse(const std::string& message, std::string* refused) {
  if (refused) *refused = message;
  reportOnce(message);
}

std::string damageText(const fs::path& file, const ParseError& err) {
  return file.string() + " cannot be read as a registry file: line " + std::to_string(err.line) +
         ": " + err.message;
}

std::string userName() {
  if (const char* u = std::getenv("USER"); u && *u) return u;
  if (const passwd* pw = ::getpwuid(::getuid())) return pw->pw_name;
  return "user";
}

// A new user store gets the shell folders a freshly installed system has, with the folders
// themselves, so that desktop and Start-menu shortcuts have somewhere to go.
void seedUserStore(Hive& hive) {
  std::string profile = "C:\\users\\" + rt::utf8ToAnsi(userName());
  std::string desktop = profile + "\\Desktop";
  std::string programs = profile + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
  RegKey& key =
      hive.create("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
  key.set({"Desktop", REG_SZ, desktop + '\0'});
  key.set({"Programs", REG_SZ, programs + '\0'});
  for (const std::string& dir : {desktop, programs}) {
    const fs::path host = toHost(rt::ansiToOem(dir));
    std::error_code ec;
    fs::create_directories(host, ec);
    // The drive map's listings learn of every level made here.
    for (fs::path p = host; p.has_relative_path() && p != prefixDir(); p = p.parent_path())
      noteCreated(p);
  }
}

bool writeAtomically(const fs::path& file, const std::string& text) {
  std::string tmp = file.string() + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(tmp.c_str(), file.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

// Where a root is kept: its file and, in a Wine prefix, the key of that file it is below
// (HKEY_CLASSES_ROOT is the machine's Software\Classes there). No file: the root is not kept in
// this prefix's format and reads as empty.
struct Backing {
  fs::path file;
  std::string below;
  bool wine = false;
};

Backing backingOf(HKEY root, Format format) {
  if (format == Format::Editor) return {storeFile(root), {}, false};
  switch (root) {
    case HKEY_CURRENT_USER:
      return {prefixDir() / "user.reg", {}, true};
    case HKEY_LOCAL_MACHINE:
      return {prefixDir() / "system.reg", {}, true};
    case HKEY_CLASSES_ROOT:
      return {prefixDir() / "system.reg", "Software\\Classes", true};
    default:
      return {{}, {}, true};
  }
}

std::string below(const std::string& under, const std::string& path) {
  if (under.empty()) return path;
  return path.empty() ? under : under + "\\" + path;
}

// Runs `change` on the newest content of the root's file under the lock and writes the result
// when it reports a change. `change` gets the key its root lives below in that file. Returns the
// change's result code, or ERROR_CANTWRITE with the reason in `refused`; a file that does not
// parse is never written, moved or replaced.
long mutate(HKEY root,
            const std::function<long(Hive&, const std::string& under, bool& changed)>& change,
            std::string* refused = nullptr) {
  const RootFile* rf = findRoot(root);
  const Format format = prefixFormat();
  if (format == Format::Mixed) {
    refuse("the registry files of " + prefixDir().string() +
               " mix Wine's format and the registry editor's; nothing is written to them",
           refused);
    return ERROR_CANTWRITE;
  }
  const Backing b = backingOf(root, format);
  if (b.file.empty()) return ERROR_ACCESS_DENIED;
  if (b.wine && wineServerRunning(prefixDir())) {
    refuse("a Wine server is running for " + prefixDir().string() +
               "; its registry is not written while it runs",
           refused);
    return ERROR_CANTWRITE;
  }
  fs::path file = b.file;
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  StoreLock lock(file);
  if (!lock.held()) {
    if (refused) *refused = "the lock file of " + file.string() + " cannot be made";
    return ERROR_CANTWRITE;
  }

  Hive hive{std::string(rf->name)};
  WineLayout layout;
  struct stat st {};
  ParseError err;
  Load load = readStore(file, hive, st, err, &layout);
  if (load == Load::Unreadable) {
    if (refused) *refused = file.string() + " cannot be read (" + std::strerror(errno) + ")";
    return ERROR_CANTWRITE;
  }
  if (load == Load::Damaged) {
    refuse(damageText(file, err) + "; it is left as it is and nothing is written to it", refused);
    return ERROR_CANTWRITE;
  }
  bool changed = false;
  if (load == Load::Missing) {
    if (b.wine) {
      layout = newWineLayout(root == HKEY_CURRENT_USER ? "REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000"
                                                       : "REGISTRY\\\\Machine");
    } else if (root == HKEY_CURRENT_USER) {
      seedUserStore(hive);
      changed = true;
    }
  }
  long rc = change(hive, b.below, changed);
  if (changed) {
    std::string text;
    if (b.wine) {
      timespec now{};
      ::clock_gettime(CLOCK_REALTIME, &now);
      const uint64_t fileTime = (static_cast<uint64_t>(now.tv_sec) + 11644473600ull) * 10000000ull +
                                static_cast<uint64_t>(now.tv_nsec) / 100;
      text = serializeWine(hive, layout, now.tv_sec, fileTime);
    } else {
      text = serialize(hive);
    }
    if (!writeAtomically(file, text)) {
      if (refused) *refused = file.string() + " cannot be written (" + std::strerror(errno) + ")";
      return rc == ERROR_SUCCESS ? ERROR_CANTWRITE : rc;
    }
    if (::stat(file.c_str(), &st) != 0) return rc;
  }
  if (changed || load == Load::Ok) remember(file, st, std::move(hive));
  return rc;
}

// The parsed content of one file, from the cache while the file is unchanged. Empty when the
// file is missing, unreadable or damaged (said once on standard error).
Hive readFile(const fs::path& file, const std::string& rootName) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return Hive{rootName};
  auto it = state().files.find(file);
  if (it != state().files.end() && sameFile(it->second, st)) return it->second.hive;
  Hive fresh{rootName};
  ParseError err;
  struct stat rst {};
  Load load = readStore(file, fresh, rst, err);
  if (load == Load::Ok) {
    remember(file, rst, fresh);
    return fresh;
  }
  if (load == Load::Unreadable)
    reportOnce("cannot read " + file.string() + " (" + std::strerror(errno) +
               "); its keys are not seen");
  else if (load == Load::Damaged)
    reportOnce(damageText(file, err) + "; its keys are not seen");
  return Hive{rootName};
}

// Copies the keys of `from` below `prefix` into `into`, relative to it; later copies win.
void graft(Hive& into, const Hive& from, const std::string& prefix) {
  const std::string folded = fold(prefix);
  for (const auto& [key, value] : from.keys()) {
    if (key.compare(0, folded.size(), folded) != 0) continue;
    if (key.size() > folded.size() && key[folded.size()] != '\x01') continue;
    std::string rest =
        value.path.size() > prefix.size() ? value.path.substr(prefix.size() + 1) : std::string();
    RegKey& k = into.create(rest);
    for (const auto& v : value.values) k.set(v);
  }
}

// The newest content of the root, for reading. Keys that answer from the host (the computer
// name) are added to the copy and never reach the file.
Hive view(HKEY root) {
  const RootFile* rf = findRoot(root);
  const Format format = prefixFormat();
  Hive result{std::string(rf->name)};
  if (format == Format::Editor) {
    fs::path file = storeFile(root);
    // A new user store is made on first use, with its shell folders.
    if (root == HKEY_CURRENT_USER && !fs::exists(file))
      mutate(root, [](Hive&, const std::string&, bool&) { return ERROR_SUCCESS; });
    result = readFile(file, std::string(rf->name));
  } else if (root == HKEY_CLASSES_ROOT) {
    // The machine's classes, with the user's own over them.
    graft(result, readFile(prefixDir() / "system.reg", {}), "Software\\Classes");
    graft(result, readFile(prefixDir() / "user.reg", {}), "Software\\Classes");
  } else if (Backing b = backingOf(root, format); !b.file.empty()) {
    result = readFile(b.file, std::string(rf->name));
  }
  if (root == HKEY_LOCAL_MACHINE) {
    std::string name = computerName();
    result.create(kComputerNameKey).set({"ComputerName", REG_SZ, name + '\0'});
  }
  return result;
}

bool resolve(HKEY key, OpenKey& out) {
  if (findRoot(key)) {
    out = {key, "", KEY_ALL_ACCESS};
    return true;
  }
  auto it = state().handles.find(key);
  if (it == state().handles.end()) return false;
  out = it->second;
  return true;
}

// Joins a relative key path to its parent's; false for a path with an empty component.
bool joinPath(const std::string& base, std::string_view sub, std::string& out) {
  if (!sub.empty() && sub.back() == '\\') sub.remove_suffix(1);
  if (!sub.empty() && (sub.front() == '\\' || sub.find("\\\\") != std::string_view::npos))
    return false;
  out = base;
  if (!sub.empty()) {
    if (!out.empty()) out += '\\';
    out += sub;
  }
  return true;
}

HKEY newHandle(HKEY root, std::string path, uint32_t access) {
  State& s = state();
  HKEY h = s.next;
  s.next += 4;
  s.handles[h] = {root, std::move(path), access};
  return h;
}

FileTime fileTimeOf(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return {};
  // FILETIME counts 100 ns steps from 1601-01-01.
  uint64_t t = (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
               static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
  return {static_cast<uint32_t>(t), static_cast<uint32_t>(t >> 32)};
}

}  // namespace

std::string_view rootName(HKEY root) {
  const RootFile* r = findRoot(root);
  return r ? r->name : std::string_view();
}

std::optional<HKEY> rootFromName(std::string_view name) {
  for (const auto& r : kRoots)
    if (fold(r.name) == fold(name)) return r.root;
  return std::nullopt;
}

fs::path storeFile(HKEY root) {
  const RootFile* r = findRoot(root);
  return prefixDir() / std::string(r ? r->file : "unknown.reg");
}

long RegOpenKeyEx(HKEY key, std::string_view subKey, uint32_t /*options*/, uint32_t access,
                  HKEY* result) {
  std::lock_guard lock(state().mutex);
  if (!result) return ERROR_INVALID_PARAMETER;
  OpenKey parent;
  if (!resolve(key, parent)) return ERROR_INVALID_HANDLE;
  std::string full;
  if (!joinPath(parent.path, subKey, full)) return ERROR_BAD_PATHNAME;
  if (!full.empty()) {
    Hive hive = view(parent.root);
    if (!hive.find(full)) return ERROR_FILE_NOT_FOUND;
  }
  *result = newHandle(parent.root, full, access);
  return ERROR_SUCCESS;
}

long RegCreateKeyEx(HKEY key, std::string_view subKey, uint32_t /*reserved*/,
                    std::string_view /*className*/, uint32_t /*options*/, uint32_t access,
                    HKEY* result, uint32_t* disposition, std::string* refused) {
  std::lock_guard lock(state().mutex);
  if (!result) return ERROR_INVALID_PARAMETER;
  OpenKey parent;
  if (!resolve(key, parent)) return ERROR_INVALID_HANDLE;
  if (!(parent.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  std::string full;
  if (!joinPath(parent.path, subKey, full)) return ERROR_BAD_PATHNAME;
  bool created = false;
  if (!full.empty()) {
    long rc = mutate(
        parent.root,
        [&](Hive& hive, const std::string& under, bool& changed) {
          hive.create(below(under, full), &created);
          changed = changed || created;
          return ERROR_SUCCESS;
        },
        refused);
    if (rc != ERROR_SUCCESS) return rc;
  }
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = newHandle(parent.root, full, access);
  return ERROR_SUCCESS;
}

long RegQueryInfoKey(HKEY key, KeyInfo* info) {
  std::lock_guard lock(state().mutex);
  OpenKey k;
  if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Hive hive = view(k.root);
  const RegKey* rk = hive.find(k.path);
  if (!rk && !k.path.empty()) return ERROR_KEY_DELETED;
  if (!info) return ERROR_SUCCESS;
  *info = KeyInfo{};
  for (const RegKey* sub : hive.subkeys(k.path)) {
    ++info->subKeys;
    info->maxSubKeyLen =
        std::max(info->maxSubKeyLen, static_cast<uint32_t>(leafName(sub->path).size()));
  }
  if (rk) {
    for (const auto& v : rk->values) {
      ++info->values;
      info->maxValueNameLen = std::max(info->maxValueNameLen, static_cast<uint32_t>(v.name.size()));
      info->maxValueLen = std::max(info->maxValueLen, static_cast<uint32_t>(v.data.size()));
    }
  }
  info->lastWriteTime = fileTimeOf(storeFile(k.root));
  return ERROR_SUCCESS;
}

long RegQueryValueEx(HKEY key, std::string_view valueName, uint32_t* type, uint8_t* data,
                     uint32_t* dataSize) {
  std::lock_guard lock(state().mutex);
  OpenKey k;
  if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!(k.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  Hive hive = view(k.root);
  const RegKey* rk = hive.find(k.path);
  if (!rk) return k.path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  const RegValue* v = rk->find(valueName);
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  const auto size = static_cast<uint32_t>(v->data.size());
  if (data) {
    if (*dataSize < size) {
      *dataSize = size;
      return ERROR_MORE_DATA;
    }
    std::copy(v->data.begin(), v->data.end(), data);
  }
  if (dataSize) *dataSize = size;
  return ERROR_SUCCESS;
}

long RegSetValueEx(HKEY key, std::string_view valueName, uint32_t /*reserved*/, uint32_t type,
                   const uint8_t* data, uint32_t dataSize, std::string* refused) {
  std::lock_guard lock(state().mutex);
  OpenKey k;
  if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!data && dataSize) return ERROR_INVALID_PARAMETER;
  RegValue v{std::string(valueName), type,
             std::string(reinterpret_cast<const char*>(data), data ? dataSize : 0)};
  return mutate(
      k.root,
      [&](Hive& hive, const std::string& under, bool& changed) {
        const std::string path = below(under, k.path);
        RegKey* rk = path.empty() ? &hive.create("") : hive.find(path);
        if (!rk) return ERROR_KEY_DELETED;
        rk->set(std::move(v));
        changed = true;
        return ERROR_SUCCESS;
      },
      refused);
}

long RegCloseKey(HKEY key) {
  std::lock_guard lock(state().mutex);
  if (findRoot(key)) return ERROR_SUCCESS;
  return state().handles.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::string expandEnvironmentStrings(std::string_view s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    size_t open = s.find('%', i);
    if (open == std::string_view::npos) break;
    size_t close = s.find('%', open + 1);
    if (close == std::string_view::npos) break;
    out.append(s, i, open - i);
    std::string name = rt::ansiToUtf8(s.substr(open + 1, close - open - 1));
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value)
      out += rt::utf8ToAnsi(value);
    else
      out.append(s, open, close - open + 1);
    i = close + 1;
  }
  out.append(s, i, std::string_view::npos);
  return out;
}

StoreProblem checkStore() {
  std::lock_guard lock(state().mutex);
  const Format format = prefixFormat();
  const fs::path prefix = prefixDir();
  if (format == Format::Mixed)
    return {StoreProblem::Kind::Mixed, prefix / "user.reg", 0,
            "the registry files of " + prefix.string() +
                " mix Wine's format and the registry editor's"};
  std::vector<fs::path> files;
  if (format == Format::Wine) {
    files = {prefix / "system.reg", prefix / "user.reg", prefix / "userdef.reg"};
  } else {
    for (const auto& r : kRoots) files.push_back(storeFile(r.root));
  }
  for (const fs::path& file : files) {
    Hive hive{
        std::string(format == Format::Wine ? std::string_view() : findRoot(rootFor(file))->name)};
    struct stat st {};
    ParseError err;
    Load load = readStore(file, hive, st, err);
    if (load == Load::Damaged)
      return {StoreProblem::Kind::Damaged, file, err.line, damageText(file, err)};
    if (load == Load::Unreadable)
      return {StoreProblem::Kind::Damaged, file, 0,
              file.string() + " cannot be read (" + std::strerror(errno) + ")"};
  }
  if (format == Format::Wine && wineServerRunning(prefix))
    return {StoreProblem::Kind::WineServerRunning,
            {},
            0,
            "a Wine server is running for the prefix " + prefix.string() +
                ": close every program started in it (or end it with WINEPREFIX=" +
                prefix.string() + " wineserver -k)"};
  return {};
}

bool isWinePrefix() { return prefixFormat() == Format::Wine; }

void resetForTests() {
  std::lock_guard lock(state().mutex);
  state().handles.clear();
  state().files.clear();
}

}  // namespace tav::os::reg

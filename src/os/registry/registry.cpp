// The registry functions over the per-root store files. A write holds the root's lock file, reads
// the file afresh and replaces it by rename; a reader re-reads whenever the file's identity changed.

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

#include "os/path.h"
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
  return ageNs > 50'000'000 && c.dev == st.st_dev && c.ino == st.st_ino &&
         c.size == st.st_size && c.mtime.tv_sec == st.st_mtim.tv_sec &&
         c.mtime.tv_nsec == st.st_mtim.tv_nsec;
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

Load readStore(const fs::path& file, Hive& hive, struct stat& st, ParseError& err) {
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
      if (n <= 0) ok = false;
      else got += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  if (!ok) return Load::Unreadable;
  err = parse(text, hive);
  return err ? Load::Damaged : Load::Ok;
}

// Keeps a damaged file for a person to look at and says so; the store then starts afresh.
void setAside(const fs::path& file, const ParseError& err) {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  std::string aside = file.string() + ".damaged-" + stamp;
  for (int n = 2; fs::exists(aside); ++n)
    aside = file.string() + ".damaged-" + stamp + "-" + std::to_string(n);
  bool moved = ::rename(file.c_str(), aside.c_str()) == 0;
  std::fprintf(stderr, "registry: %s is damaged at line %d (%s); %s%s\n", file.c_str(), err.line,
               err.message.c_str(), moved ? "kept as " : "could not move it aside: ",
               moved ? aside.c_str() : std::strerror(errno));
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
  std::string programs =
      profile + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
  RegKey& key = hive.create(
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
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
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
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

// Runs `change` on the newest content of the root's file under the lock and writes the result
// when it reports a change. Returns the change's result code, or ERROR_CANTWRITE.
long mutate(HKEY root, const std::function<long(Hive&, bool& changed)>& change) {
  const RootFile* rf = findRoot(root);
  fs::path file = storeFile(root);
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  StoreLock lock(file);
  if (!lock.held()) return ERROR_CANTWRITE;

  Hive hive{std::string(rf->name)};
  struct stat st {};
  ParseError err;
  Load load = readStore(file, hive, st, err);
  if (load == Load::Unreadable) return ERROR_CANTWRITE;
  bool changed = false;
  if (load == Load::Damaged) {
    setAside(file, err);
    hive = Hive{std::string(rf->name)};
  }
  if (load != Load::Ok && root == HKEY_CURRENT_USER) {
    seedUserStore(hive);
    changed = true;
  }
  long rc = change(hive, changed);
  if (changed) {
    if (!writeAtomically(file, serialize(hive))) return rc == ERROR_SUCCESS ? ERROR_CANTWRITE : rc;
    if (::stat(file.c_str(), &st) != 0) return rc;
  }
  if (changed || load == Load::Ok) remember(file, st, std::move(hive));
  return rc;
}

// The newest content of the root, for reading. Keys that answer from the host (the computer
// name) are added to the copy and never reach the file.
Hive view(HKEY root) {
  const RootFile* rf = findRoot(root);
  fs::path file = storeFile(root);
  Hive result{std::string(rf->name)};
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
      auto it = state().files.find(file);
      if (it != state().files.end() && sameFile(it->second, st)) {
        result = it->second.hive;
        break;
      }
      Hive fresh{std::string(rf->name)};
      ParseError err;
      struct stat rst {};
      Load load = readStore(file, fresh, rst, err);
      if (load == Load::Ok) {
        remember(file, rst, fresh);
        result = std::move(fresh);
        break;
      }
      if (load == Load::Unreadable) {
        std::fprintf(stderr, "registry: cannot read %s (%s); its keys are not seen\n",
                     file.c_str(), std::strerror(errno));
        break;
      }
      if (load == Load::Missing) continue;
      // Damaged: the rename aside happens under the lock, after a second look.
    } else if (errno != ENOENT || root != HKEY_CURRENT_USER) {
      break;
    }
    mutate(root, [](Hive&, bool&) { return ERROR_SUCCESS; });
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
                    HKEY* result, uint32_t* disposition) {
  std::lock_guard lock(state().mutex);
  if (!result) return ERROR_INVALID_PARAMETER;
  OpenKey parent;
  if (!resolve(key, parent)) return ERROR_INVALID_HANDLE;
  if (!(parent.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  std::string full;
  if (!joinPath(parent.path, subKey, full)) return ERROR_BAD_PATHNAME;
  bool created = false;
  if (!full.empty()) {
    long rc = mutate(parent.root, [&](Hive& hive, bool& changed) {
      hive.create(full, &created);
      changed = changed || created;
      return ERROR_SUCCESS;
    });
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
                   const uint8_t* data, uint32_t dataSize) {
  std::lock_guard lock(state().mutex);
  OpenKey k;
  if (!resolve(key, k)) return ERROR_INVALID_HANDLE;
  if (!(k.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!data && dataSize) return ERROR_INVALID_PARAMETER;
  RegValue v{std::string(valueName), type,
             std::string(reinterpret_cast<const char*>(data), data ? dataSize : 0)};
  return mutate(k.root, [&](Hive& hive, bool& changed) {
    RegKey* rk = k.path.empty() ? &hive.create("") : hive.find(k.path);
    if (!rk) return ERROR_KEY_DELETED;
    rk->set(std::move(v));
    changed = true;
    return ERROR_SUCCESS;
  });
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
    if (value) out += rt::utf8ToAnsi(value);
    else out.append(s, open, close - open + 1);
    i = close + 1;
  }
  out.append(s, i, std::string_view::npos);
  return out;
}

void resetForTests() {
  std::lock_guard lock(state().mutex);
  state().handles.clear();
  state().files.clear();
}

}  // namespace tav::os::reg

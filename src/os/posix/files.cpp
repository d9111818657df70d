// File and directory operations on Windows paths (exists, copy, rename, delete, attributes,
// listings). Expected failures are results with the errno kept; every change is told to the
// path look-up so that its listings stay in step.
#include "os/files.h"

#include "os/fault.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <thread>

#include "os/path.h"
#include "runtime/codepage.h"

extern char** environ;

namespace tav::os {

namespace fs = std::filesystem;

namespace {

Status fail(int err) { return Status::fromErrno(err); }

constexpr uint32_t kStoredBits = kAttrHidden | kAttrSystem | kAttrArchive;

// Read-only is "nobody may write": the write bits are all clear.
bool readOnlyMode(mode_t m) { return (m & 0222) == 0; }

// The call that drops a file's last name frees its blocks, and on a disk mounted to discard what
// is freed waits for the disk to discard them (about 0.7 ms a megabyte on this project's VM),
// unless the file is still open: then the last close does (a link is left as it is). The tool drops
// the names of whole tables (a rename over the old table, a work copy deleted), so a large file is
// held open across the call and let go on a thread of its own, which waits in the caller's place
// while it goes on. A file the call does not drop stays as it was: the hold only postpones a free.
class FreedAside {
 public:
  // `known`: the name's own status, when the caller has it already.
  explicit FreedAside(const fs::path& host, const struct stat* known = nullptr) {
    if (known && !worthHolding(*known)) return;
    fd_ = ::open(host.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd_ >= 0 && !known && (::fstat(fd_, &st) != 0 || !worthHolding(st))) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~FreedAside() {
    if (fd_ < 0) return;
    const int fd = fd_;
    try {
      std::thread([fd] { ::close(fd); }).detach();
    } catch (const std::system_error&) {
      ::close(fd);  // no thread to be had: the wait is the caller's, as without the hold
    }
  }
  FreedAside(const FreedAside&) = delete;
  FreedAside& operator=(const FreedAside&) = delete;

 private:
  static bool worthHolding(const struct stat& st) {
    constexpr off_t kLarge = 256 * 1024;  // below it, a thread costs more than the wait
    return S_ISREG(st.st_mode) && st.st_size >= kLarge;
  }
  int fd_ = -1;
};

// The leading "0x<hex>" text of the extended attribute, or nullopt when there is none.
std::optional<uint32_t> readDosAttrib(const fs::path& host) {
  ssize_t n = ::getxattr(host.c_str(), kDosAttribXattr, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::string buf(static_cast<size_t>(n), '\0');
  n = ::getxattr(host.c_str(), kDosAttribXattr, buf.data(), buf.size());
  if (n <= 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  buf = buf.substr(0, buf.find('\0'));
  if (buf.size() < 3 || buf[0] != '0' || (buf[1] != 'x' && buf[1] != 'X')) return std::nullopt;
  char* end = nullptr;
  unsigned long v = std::strtoul(buf.c_str() + 2, &end, 16);
  if (end == buf.c_str() + 2) return std::nullopt;
  return static_cast<uint32_t>(v);
}

bool writeDosAttrib(const fs::path& host, uint32_t bits) {
  char text[16];
  int len = std::snprintf(text, sizeof text, "0x%x", bits);
  // With its NUL: Samba reads the text as a NUL-terminated string.
  return ::setxattr(host.c_str(), kDosAttribXattr, text, static_cast<size_t>(len) + 1, 0) == 0;
}

// `lst` is the entry itself, `st` what it leads to (the same for anything but a link; null for a
// dangling link).
uint32_t attributesOf(const fs::path& host, const struct stat& lst, const struct stat* st) {
  bool link = S_ISLNK(lst.st_mode);
  const struct stat& s = st ? *st : lst;
  uint32_t a = link ? kAttrReparsePoint : 0;
  if (S_ISDIR(s.st_mode)) a |= kAttrDirectory;
  if (!link && readOnlyMode(s.st_mode)) a |= kAttrReadOnly;
  std::optional<uint32_t> stored = link ? std::nullopt : readDosAttrib(host);
  if (stored) {
    a |= *stored & kStoredBits;
  } else if (S_ISREG(s.st_mode)) {
    a |= kAttrArchive;
  }
  return a;
}

// lstat and, for a link, stat of its target. False when the entry does not exist.
bool statEntry(const fs::path& host, struct stat& lst, struct stat& st, bool& targetOk) {
  if (::lstat(host.c_str(), &lst) != 0) return false;
  targetOk = true;
  if (S_ISLNK(lst.st_mode)) {
    targetOk = ::stat(host.c_str(), &st) == 0;
  } else {
    st = lst;
  }
  return true;
}

// The host path of `winPath` whose last component keeps the case given, even when an entry of
// another case exists (the target of a case-only rename).
fs::path hostWithLiteralName(std::string_view winPath) {
  std::string full = fullPath(winPath);
  size_t sep = full.find_last_of('\\');
  if (sep == std::string::npos) return toHost(winPath);
  std::string parent = full.substr(0, sep);
  if (parent.size() == 2 && parent[1] == ':') parent += '\\';
  return toHost(parent) / rt::oemToUtf8(full.substr(sep + 1));
}

std::string twoDigits(int v) {
  char b[4];
  std::snprintf(b, sizeof b, "%02d", v % 100);
  return b;
}

}  // namespace

bool exists(std::string_view path) {
  struct stat st;
  return ::lstat(toHost(path).c_str(), &st) == 0;
}

bool isDirectory(std::string_view path) {
  struct stat st;
  return ::stat(toHost(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<uint64_t> fileSize(std::string_view path) {
  struct stat st;
  if (::stat(toHost(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

Status copyFile(std::string_view from, std::string_view to) {
  fs::path src = toHost(from);
  fs::path dst = toHost(to);
  struct stat ss, ds;
  if (::stat(src.c_str(), &ss) != 0) return fail(errno);
  if (!S_ISREG(ss.st_mode)) return fail(EISDIR);
  if (::stat(dst.c_str(), &ds) == 0) {
    if (S_ISDIR(ds.st_mode)) return fail(EISDIR);
    if (ds.st_dev == ss.st_dev && ds.st_ino == ss.st_ino) return fail(EINVAL);
    if (readOnlyMode(ds.st_mode)) return fail(EACCES);
  }
  if (const int injected = faultAt(FaultPoint::Open)) return fail(injected);
  int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail(errno);
  // The copy is written beside the target and renamed over it only when complete, so a copy that
  // fails half-way (a full disk, a source that cannot be read) leaves the old target as it was.
  fs::path tmp = dst.parent_path() /
                 ("~" + dst.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
  int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    int e = errno;
    ::close(in);
    return fail(e);
  }
  // A disk that fills up during the copy, as the tests make it.
  int err = faultAt(FaultPoint::Write);
  // copy_file_range shares extents where the file system can; some cannot at all, and then the
  // plain loop goes on from where it stopped (both offsets have advanced together).
  bool plain = false;
  for (; !err;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (n > 0) continue;
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
        errno == EBADF) {
      plain = true;
      break;
    }
    err = errno;
    break;
  }
  if (plain && !err) {
    std::vector<char> buf(1 << 18);
    for (;;) {
      ssize_t n = ::read(in, buf.data(), buf.size());
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      for (ssize_t done = 0; done < n;) {
        ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          err = errno;
          break;
        }
        done += w;
      }
      if (err) break;
    }
  }
  ::close(in);
  if (::close(out) != 0 && !err) err = errno;
  if (!err) err = faultAt(FaultPoint::Rename);
  if (!err) {
    const FreedAside replaced(dst);
    if (::rename(tmp.c_str(), dst.c_str()) != 0) err = errno;
  }
  if (err) {
    ::unlink(tmp.c_str());
    noteRemoved(tmp);
    return fail(err);
  }
  noteCreated(dst);
  return Status::ok();
}

Status renameFile(std::string_view from, std::string_view to) {
  fs::path src = toHost(from);
  struct stat ss, ds;
  if (::lstat(src.c_str(), &ss) != 0) return fail(errno);
  fs::path dst = toHost(to);
  if (const int injected = faultAt(FaultPoint::Rename, src.c_str())) return fail(injected);
  if (::lstat(dst.c_str(), &ds) == 0) {
    if (ds.st_dev != ss.st_dev || ds.st_ino != ss.st_ino) return fail(EEXIST);
    // The same entry under another letter case: a case-only rename.
    fs::path literal = hostWithLiteralName(to);
    if (literal == src) return Status::ok();
    if (::rename(src.c_str(), literal.c_str()) != 0) return fail(errno);
    noteRemoved(src);
    noteCreated(literal);
    return Status::ok();
  }
  if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return fail(errno);
    // A file system without RENAME_NOREPLACE: the check above is all we can do.
    if (::rename(src.c_str(), dst.c_str()) != 0) return fail(errno);
  }
  noteRemoved(src);
  noteCreated(dst);
  return Status::ok();
}

Status replaceFile(std::string_view from, std::string_view to) {
  return replaceHostFile(toHost(from), toHost(to));
}

Status replaceHostFile(const fs::path& from, const fs::path& to) {
  if (const int injected = faultAt(FaultPoint::Rename, from.c_str())) return fail(injected);
  const FreedAside replaced(to);
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(errno);
  noteRemoved(from);
  noteCreated(to);
  return Status::ok();
}

Status removeHostFile(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return fail(errno);
  if (const int injected = faultAt(FaultPoint::Delete, path.c_str())) return fail(injected);
  const FreedAside removed(path, &st);
  if (::unlink(path.c_str()) != 0) return fail(errno);
  noteRemoved(path);
  return Status::ok();
}

// Linux lets a rename or a deletion through whoever holds the file.
Status probeReplace(const fs::path&) { return Status::ok(); }

Status removeFile(std::string_view path) {
  fs::path host = toHost(path);
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0) return fail(errno);
  if (S_ISDIR(st.st_mode)) return fail(EISDIR);
  if (!S_ISLNK(st.st_mode) && readOnlyMode(st.st_mode)) return fail(EACCES);
  if (const int injected = faultAt(FaultPoint::Delete, host.c_str())) return fail(injected);
  const FreedAside removed(host, &st);
  if (::unlink(host.c_str()) != 0) return fail(errno);
  noteRemoved(host);
  return Status::ok();
}

Status createDirectory(std::string_view path) {
  if (path.empty() || isRootPath(path)) return fail(EEXIST);
  fs::path host = toHost(path);
  if (const int injected = faultAt(FaultPoint::MakeDir)) return fail(injected);
  if (::mkdir(host.c_str(), 0777) != 0) return fail(errno);
  noteCreated(host);
  return Status::ok();
}

Status removeDirectory(std::string_view path) {
  if (path.empty() || isRootPath(path)) return fail(EBUSY);
  fs::path host = toHost(path);
  struct stat lst, st;
  bool targetOk;
  if (!statEntry(host, lst, st, targetOk)) return fail(errno);
  if (!targetOk || !S_ISDIR(st.st_mode)) return fail(ENOTDIR);
  if (const int injected = faultAt(FaultPoint::Delete)) return fail(injected);
  if ((S_ISLNK(lst.st_mode) ? ::unlink(host.c_str()) : ::rmdir(host.c_str())) != 0)
    return fail(errno);
  noteRemoved(host);
  forgetListing(host);
  return Status::ok();
}

std::optional<uint32_t> attributes(std::string_view path) {
  fs::path host = toHost(path);
  struct stat lst, st;
  bool targetOk;
  if (!statEntry(host, lst, st, targetOk)) return std::nullopt;
  return attributesOf(host, lst, targetOk ? &st : nullptr);
}

Status setAttributes(std::string_view path, std::string_view change) {
  uint32_t set = 0, clear = 0;
  for (size_t i = 0; i < change.size(); ++i) {
    char sign = '+';
    if (change[i] == '+' || change[i] == '-') {
      sign = change[i];
      if (++i == change.size()) return fail(EINVAL);
    }
    uint32_t bit = 0;
    switch (rt::upperChar(change[i])) {
      case 'R':
        bit = kAttrReadOnly;
        break;
      case 'H':
        bit = kAttrHidden;
        break;
      case 'S':
        bit = kAttrSystem;
        break;
      case 'A':
        bit = kAttrArchive;
        break;
      default:
        return fail(EINVAL);
    }
    (sign == '+' ? set : clear) |= bit;
    (sign == '+' ? clear : set) &= ~bit;
  }
  fs::path host = toHost(path);
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0) return fail(errno);
  if (S_ISLNK(st.st_mode)) return Status::ok();
  uint32_t current = attributesOf(host, st, &st);
  uint32_t wanted = (current | set) & ~clear;

  mode_t mode = st.st_mode & 07777;
  mode_t finalMode = mode;
  if ((wanted ^ current) & kAttrReadOnly) {
    if (wanted & kAttrReadOnly) {
      finalMode &= ~mode_t{0222};
    } else {
      mode_t mask = ::umask(0);
      ::umask(mask);
      mode_t w = ((mode & 0444) >> 1) & ~mask;
      finalMode |= w ? w : mode_t{0200};
    }
  }

  // The stored record follows the whole picture (read-only too) for Samba's sake; bits it holds
  // that we do not know are kept.
  std::optional<uint32_t> stored = readDosAttrib(host);
  uint32_t record =
      (wanted & (kStoredBits | kAttrReadOnly)) | (S_ISDIR(st.st_mode) ? kAttrDirectory : 0);
  bool writeRecord;
  if (stored) {
    record |= *stored & ~(kStoredBits | kAttrReadOnly | kAttrDirectory);
    writeRecord = record != *stored;
  } else {
    writeRecord = (wanted & kStoredBits) != (current & kStoredBits);
  }

  if (writeRecord) {
    // Only who may write the file may write its extended attributes: a read-only file is made
    // writable for the moment it takes.
    bool opened = readOnlyMode(mode) && ::chmod(host.c_str(), mode | 0200) == 0;
    bool written = writeDosAttrib(host, record);
    int e = errno;
    if (opened && finalMode == mode) ::chmod(host.c_str(), mode);
    if (!written) {
      // Without extended attributes an entry is never hidden or system; asking for that state
      // is no failure.
      uint32_t plain = S_ISREG(st.st_mode) ? kAttrArchive : 0;
      if (stored || (wanted & kStoredBits) != plain) {
        if (opened && finalMode != mode) ::chmod(host.c_str(), mode);
        return fail(e);
      }
    }
  }
  if (finalMode != mode && ::chmod(host.c_str(), finalMode) != 0) return fail(errno);
  return Status::ok();
}

std::vector<DirEntry> listDirectory(std::string_view pattern, std::string_view include) {
  std::string dirPart, mask;
  size_t sep = pattern.find_last_of("\\/");
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
  std::string inc = rt::upper(include);
  bool wantDirs = inc.find('D') != std::string::npos;
  bool wantHidden = inc.find('H') != std::string::npos;
  bool wantSystem = inc.find('S') != std::string::npos;

  fs::path dir = toHost(dirPart.empty() ? std::string_view(".") : std::string_view(dirPart));
  std::vector<DirEntry> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    std::string hostName = e->d_name;
    if (hostName == "." || hostName == "..") continue;
    // No Windows program can name such an entry, and joined to its directory the name would
    // read as a path leading elsewhere ("..\..\x"): it is not listed, so nothing acts on it.
    if (hostName.find('\\') != std::string::npos) continue;
    std::string name = rt::utf8ToOem(hostName);
    if (!maskMatches(mask, name)) continue;
    fs::path host = dir / hostName;
    struct stat lst, st;
    bool targetOk;
    if (!statEntry(host, lst, st, targetOk)) continue;  // gone meanwhile
    uint32_t a = attributesOf(host, lst, targetOk ? &st : nullptr);
    if ((a & kAttrDirectory) && !wantDirs) continue;
    if ((a & kAttrHidden) && !wantHidden) continue;
    if ((a & kAttrSystem) && !wantSystem) continue;
    const struct stat& s = targetOk ? st : lst;
    DirEntry entry;
    entry.name = std::move(name);
    entry.size = S_ISREG(s.st_mode) ? static_cast<uint64_t>(s.st_size) : 0;
    std::tm tm{};
    localtime_r(&s.st_mtim.tv_sec, &tm);
    entry.date = rt::Date::fromYmd(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    entry.time = twoDigits(tm.tm_hour) + ":" + twoDigits(tm.tm_min) + ":" + twoDigits(tm.tm_sec);
    entry.attributes = a;
    entry.attributeText = attributeLetters(a);
    out.push_back(std::move(entry));
  }
  ::closedir(d);
  std::sort(out.begin(), out.end(), [](const DirEntry& x, const DirEntry& y) {
    std::string ux = rt::upper(x.name), uy = rt::upper(y.name);
    return ux != uy ? ux < uy : x.name < y.name;
  });
  return out;
}

int64_t writeFile(std::string_view path, std::string_view data) {
  fs::path host = toHost(path);
  struct stat st;
  if (::stat(host.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return -1;
    if (readOnlyMode(st.st_mode)) return -1;
  }
  if (const int injected = faultAt(FaultPoint::Open)) return -1;
  int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  noteCreated(host);
  if (const int injected = faultAt(FaultPoint::Write)) {
    ::close(fd);
    return 0;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = ::write(fd, data.data() + done, data.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(w);
  }
  // A write the disk did not take shows in the count (a close that fails counts nothing).
  if (::close(fd) != 0) return 0;
  return static_cast<int64_t>(done);
}

std::optional<std::string> readFile(std::string_view path) {
  int fd = ::open(toHost(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

std::optional<uint64_t> freeSpace(std::string_view directory) {
  struct statvfs st {};
  if (::statvfs(toHost(directory).c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

std::filesystem::path getEnvPath(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::filesystem::path(v) : std::filesystem::path();
}

std::string getEnv(std::string_view name) {
  std::string u = rt::oemToUtf8(name);
  if (const char* v = std::getenv(u.c_str())) return rt::utf8ToOem(v);
  std::string key = rt::upper(name);
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    size_t eq = entry.find('=');
    if (eq != std::string_view::npos && rt::upper(rt::utf8ToOem(entry.substr(0, eq))) == key)
      return rt::utf8ToOem(entry.substr(eq + 1));
  }
  return {};
}

Status setEnv(std::string_view name, std::string_view value) {
  if (::setenv(rt::oemToUtf8(name).c_str(), rt::oemToUtf8(value).c_str(), 1) != 0)
    return fail(errno);
  return Status::ok();
}

Status unsetEnv(std::string_view name) {
  if (::unsetenv(rt::oemToUtf8(name).c_str()) != 0) return fail(errno);
  return Status::ok();
}

}  // namespace tav::os

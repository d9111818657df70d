// Windows paths onto the host through the drive map, with the case-insensitive look-up of existing
// components. Kept resolutions and listings answer only while they still describe the disk: a
// look-up gives the same host path the plain walk would.
#include "os/path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "os/listing_cache.h"
#include "os/mount_table.h"
#include "runtime/codepage.h"

namespace tav::os {

namespace fs = std::filesystem;

namespace {

bool isSep(char c) { return c == '\\' || c == '/'; }
bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Appends the components of `rest` to `parts`: empty and "." components vanish, ".." takes one
// back (never above the root, as Windows does).
void applyComponents(std::vector<std::string>& parts, std::string_view rest) {
  size_t i = 0;
  while (i <= rest.size()) {
    size_t j = i;
    while (j < rest.size() && !isSep(rest[j])) ++j;
    std::string_view c = rest.substr(i, j - i);
    if (c == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!c.empty() && c != ".") {
      parts.emplace_back(c);
    }
    i = j + 1;
  }
}

std::string joinParts(const std::vector<std::string>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '\\';
    out += parts[i];
  }
  return out;
}

// "/a/b/" -> "/a/b"; "/" stays.
fs::path stripTrailingSeparator(fs::path p) {
  if (p.has_relative_path() && p.filename().empty()) p = p.parent_path();
  return p;
}

// A Windows path taken apart. Texts are 852.
struct Parsed {
  enum class Kind { Host, Drive, Unc } kind = Kind::Drive;
  char drive = 'C';
  std::string server, share;
  std::vector<std::string> parts;  // after the drive root or after the share
  fs::path host;                   // Kind::Host only
};

// One root of the drive map: a drive letter or a network share.
struct Root {
  char drive = 0;   // 'A'..'Z'; 0 for a share
  std::string win;  // "C:" or "\\SERVER\SHARE" (852)
  fs::path link;    // the entry in dosdevices
  fs::path target;  // where it leads, canonical; the link itself when it leads nowhere
  bool present = false;
};

// A directory found from a base by its components, kept while the walk would find it again: the
// directory still exists (then every component matched by its exact name still does, and exact
// names win), and each directory in which a component was matched ignoring case still has the
// time stamp it had (no entry of the exact name can have come since).
struct ResolvedDirectory {
  fs::path host;
  std::vector<std::pair<fs::path, timespec>> caseMatchedIn;
};

// Listings of more directories than this are dropped wholesale; a lookup only costs a re-read.
constexpr size_t kMaxListings = 4096;

struct State {
  std::recursive_mutex mutex;
  std::optional<fs::path> prefix;
  std::optional<std::vector<Root>> roots;
  ListingCache listings;
  // Key: the base directory, a NUL, and the components as given, joined by backslashes.
  std::unordered_map<std::string, ResolvedDirectory> directories;
  PathLookupCounts counts;
};

State& state() {
  static State s;
  return s;
}

fs::path makePrefix() {
  std::error_code ec;
  fs::path dir;
  const char* env = std::getenv("TAV_PREFIX");
  if (env && *env) {
    dir = env;
  } else {
    const char* home = std::getenv("HOME");
    dir = fs::path(home && *home ? home : "/tmp") / ".local/share/tav";
  }
  fs::path abs = fs::absolute(dir, ec);
  if (!ec) dir = abs;
  dir = stripTrailingSeparator(dir.lexically_normal());
  fs::path dd = dir / "dosdevices";
  if (!fs::exists(fs::symlink_status(dd, ec))) {
    // A new prefix: the same first drives Wine gives one. Errors are left to the operations
    // that need the drive (another process may be making the same prefix right now).
    fs::create_directories(dd / "unc", ec);
    fs::create_directories(dir / "drive_c", ec);
    fs::create_directory_symlink("../drive_c", dd / "c:", ec);
    fs::create_directory_symlink("/", dd / "z:", ec);
  }
  return dir;
}

fs::path prefixLocked(State& s) {
  if (!s.prefix) s.prefix = makePrefix();
  return *s.prefix;
}

Root makeRoot(char drive, std::string win, const fs::path& link) {
  Root r;
  r.drive = drive;
  r.win = std::move(win);
  r.link = link;
  std::error_code ec;
  fs::path t = fs::canonical(link, ec);
  if (ec) {
    r.target = link;
    return r;
  }
  r.target = stripTrailingSeparator(t);
  r.present = fs::is_directory(t, ec);
  return r;
}

std::vector<Root> loadRoots(const fs::path& prefix) {
  std::vector<Root> roots;
  std::error_code ec;
  fs::path dd = prefix / "dosdevices";
  for (fs::directory_iterator it(dd, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    // "c:" is a drive; Wine's "c::" device entries and anything else are not.
    if (name.size() == 2 && isAsciiLetter(name[0]) && name[1] == ':') {
      char d = upperAscii(name[0]);
      roots.push_back(makeRoot(d, std::string{d, ':'}, it->path()));
    }
  }
  for (fs::directory_iterator sv(dd / "unc", ec), end; !ec && sv != end; sv.increment(ec)) {
    std::error_code ec2;
    for (fs::directory_iterator sh(sv->path(), ec2); !ec2 && sh != end; sh.increment(ec2)) {
      std::string win = "\\\\" + rt::utf8ToOem(sv->path().filename().string()) + "\\" +
                        rt::utf8ToOem(sh->path().filename().string());
      roots.push_back(makeRoot(0, std::move(win), sh->path()));
    }
  }
  // Drives first, in letter order, then the shares.
  std::sort(roots.begin(), roots.end(), [](const Root& a, const Root& b) {
    if ((a.drive == 0) != (b.drive == 0)) return a.drive != 0;
    return a.win < b.win;
  });
  return roots;
}

const std::vector<Root>& rootsLocked(State& s) {
  if (!s.roots) s.roots = loadRoots(prefixLocked(s));
  return *s.roots;
}

const Root* findDrive(const std::vector<Root>& roots, char drive) {
  drive = upperAscii(drive);
  for (const Root& r : roots)
    if (r.drive == drive) return &r;
  return nullptr;
}

const Root* findShare(const std::vector<Root>& roots, std::string_view server,
                      std::string_view share) {
  std::string key = rt::upper("\\\\" + std::string(server) + "\\" + std::string(share));
  for (const Root& r : roots)
    if (r.drive == 0 && rt::upper(r.win) == key) return &r;
  return nullptr;
}

// Walks the components down from a host directory, each found ignoring case while they exist.
// Every directory where a component was matched ignoring case is noted in `caseMatchedIn`;
// `settled` tells whether all their time stamps had settled.
fs::path walkLocked(State& s, fs::path cur, const std::vector<std::string>& parts, size_t count,
                    std::vector<std::pair<fs::path, timespec>>* caseMatchedIn, bool& allExist,
                    bool& settled) {
  allExist = settled = true;
  if (count) ++s.counts.walks;
  for (size_t i = 0; i < count; ++i) {
    const std::string& part = parts[i];
    std::string name = rt::oemToUtf8(part);
    if (allExist) {
      fs::path exact = cur / name;
      struct stat st;
      if (::lstat(exact.c_str(), &st) == 0) {
        cur = std::move(exact);
        continue;
      }
      timespec stamp{};
      bool stampSettled = false;
      if (auto found = s.listings.find(cur, rt::upper(part), &stamp, &stampSettled)) {
        if (caseMatchedIn) caseMatchedIn->emplace_back(cur, stamp);
        settled = settled && stampSettled;
        cur /= *found;
        continue;
      }
      allExist = false;
    }
    cur /= name;
  }
  return cur;
}

// The directory that the first `count` components lead to from `base`, with its stat, when all of
// them exist and it is a directory; resolved once and kept while it holds (ResolvedDirectory).
bool directoryLocked(State& s, const fs::path& base, const std::vector<std::string>& parts,
                     size_t count, fs::path& dir, struct stat& st) {
  if (count == 0) {
    dir = base;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  std::string key = base.string();
  key += '\0';
  for (size_t i = 0; i < count; ++i) {
    if (i) key += '\\';
    key += parts[i];
  }
  auto it = s.directories.find(key);
  if (it != s.directories.end()) {
    const ResolvedDirectory& r = it->second;
    bool holds = ::stat(r.host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    for (size_t i = 0; holds && i < r.caseMatchedIn.size(); ++i) {
      struct stat ps;
      holds = ::stat(r.caseMatchedIn[i].first.c_str(), &ps) == 0 &&
              sameTime(ps.st_mtim, r.caseMatchedIn[i].second);
    }
    if (holds) {
      dir = r.host;
      return true;
    }
    s.directories.erase(it);
  }
  ResolvedDirectory r;
  bool allExist = false, settled = false;
  r.host = walkLocked(s, base, parts, count, &r.caseMatchedIn, allExist, settled);
  if (!allExist || ::stat(r.host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  dir = r.host;
  // A stamp that has not settled could hide an entry made in the same tick: walk again then.
  if (!settled) return true;
  if (s.directories.size() >= kMaxListings) s.directories.clear();
  s.directories.emplace(std::move(key), std::move(r));
  return true;
}

// The host name for `part` in the directory `dir` (whose stat is `st`): the exact name when it
// exists, else an entry of another letter case, else the name as given.
std::string entryLocked(State& s, const fs::path& dir, const struct stat& st,
                        const std::string& part) {
  std::string name = rt::oemToUtf8(part);
  if (Listing* l = s.listings.kept(dir, st)) {
    // The listing is that of the directory as it is: it answers without a look at the disk,
    // except when only another case is listed, where an exact name may have come since.
    auto f = l->byKey.find(rt::upper(part));
    if (f == l->byKey.end() || std::binary_search(f->second.begin(), f->second.end(), name))
      return name;
    struct stat es;
    return ::lstat((dir / name).c_str(), &es) == 0 ? name : f->second.front();
  }
  struct stat es;
  if (::lstat((dir / name).c_str(), &es) == 0) return name;
  Listing* l = s.listings.listing(dir, st);
  if (!l) return name;
  auto f = l->byKey.find(rt::upper(part));
  return f == l->byKey.end() ? name : f->second.front();
}

// The host path of `parts` below `base`: directories through the kept resolutions, the last
// component through the directory's listing. The same path the plain walk gives.
fs::path resolveLocked(State& s, const fs::path& base, const std::vector<std::string>& parts) {
  if (parts.empty()) return base;
  const size_t dirs = parts.size() - 1;
  fs::path dir;
  struct stat st;
  if (directoryLocked(s, base, parts, dirs, dir, st))
    return dir / entryLocked(s, dir, st, parts[dirs]);
  bool allExist = false, settled = false;
  return walkLocked(s, base, parts, parts.size(), nullptr, allExist, settled);
}

std::string fromHostLocked(State& s, const fs::path& host);

Parsed parse(State& s, std::string_view win);

Parsed currentLocked(State& s) {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (ec) cwd = "/";
  return parse(s, fromHostLocked(s, cwd));
}

Parsed parse(State& s, std::string_view win) {
  Parsed p;
  if (!win.empty() && win[0] == '/') {
    p.kind = Parsed::Kind::Host;
    std::string u = rt::oemToUtf8(win);
    std::replace(u.begin(), u.end(), '\\', '/');
    p.host = stripTrailingSeparator(fs::path(u).lexically_normal());
    return p;
  }
  if (win.size() >= 2 && isSep(win[0]) && isSep(win[1])) {
    p.kind = Parsed::Kind::Unc;
    // The server and share are the first two names as written ("." and ".." are not names there).
    std::string_view rest = win.substr(2);
    size_t i = 0;
    auto nextName = [&]() -> std::string {
      while (i < rest.size() && isSep(rest[i])) ++i;
      size_t j = i;
      while (j < rest.size() && !isSep(rest[j])) ++j;
      std::string n(rest.substr(i, j - i));
      i = j;
      return n;
    };
    p.server = nextName();
    p.share = nextName();
    applyComponents(p.parts, rest.substr(i));
    return p;
  }
  std::string_view rest = win;
  if (win.size() >= 2 && isAsciiLetter(win[0]) && win[1] == ':') {
    char d = upperAscii(win[0]);
    rest = win.substr(2);
    p.kind = Parsed::Kind::Drive;
    p.drive = d;
    if (rest.empty() || !isSep(rest[0])) {
      // "D:x": one current directory is kept, that of the current drive; others start at the root.
      Parsed cur = currentLocked(s);
      if (cur.kind == Parsed::Kind::Drive && cur.drive == d) p = std::move(cur);
    }
  } else {
    p = currentLocked(s);
    if (!rest.empty() && isSep(rest[0])) p.parts.clear();  // "\x": the root of the current drive
  }
  applyComponents(p.parts, rest);
  return p;
}

fs::path toHostLocked(State& s, const Parsed& p) {
  switch (p.kind) {
    case Parsed::Kind::Host:
      return p.host;
    case Parsed::Kind::Drive: {
      const Root* r = findDrive(rootsLocked(s), p.drive);
      // An unmapped drive: its place in the map, which does not exist, so nothing below it can
      // be made either.
      fs::path base =
          r ? r->target : prefixLocked(s) / "dosdevices" / std::string{lowerAscii(p.drive), ':'};
      return resolveLocked(s, base, p.parts);
    }
    case Parsed::Kind::Unc: {
      if (!p.server.empty() && !p.share.empty()) {
        if (const Root* r = findShare(rootsLocked(s), p.server, p.share))
          return resolveLocked(s, r->target, p.parts);
      }
      // Not a mapped share: the place it would have in the map, which does not exist.
      std::vector<std::string> comps;
      if (!p.server.empty()) comps.push_back(p.server);
      if (!p.share.empty()) comps.push_back(p.share);
      comps.insert(comps.end(), p.parts.begin(), p.parts.end());
      return resolveLocked(s, prefixLocked(s) / "dosdevices" / "unc", comps);
    }
  }
  return {};
}

// The components of `p` below `base`, when `base` covers `p`.
std::optional<std::vector<std::string>> below(const fs::path& p, const fs::path& base) {
  auto pi = p.begin();
  for (auto bi = base.begin(); bi != base.end(); ++bi, ++pi) {
    if (bi->empty()) break;
    if (pi == p.end() || *pi != *bi) return std::nullopt;
  }
  std::vector<std::string> rel;
  for (; pi != p.end(); ++pi)
    if (!pi->empty()) rel.push_back(pi->string());
  return rel;
}

size_t depth(const fs::path& p) { return static_cast<size_t>(std::distance(p.begin(), p.end())); }

struct Match {
  const Root* root = nullptr;
  std::vector<std::string> rel;
  size_t depth = 0;
};

Match bestRoot(const std::vector<Root>& roots, const fs::path& p) {
  Match best;
  for (const Root& r : roots) {
    for (const fs::path* base : {&r.target, &r.link}) {
      auto rel = below(p, *base);
      size_t d = depth(*base);
      if (rel && (!best.root || d > best.depth)) best = Match{&r, std::move(*rel), d};
    }
  }
  return best;
}

std::string winForm(const std::string& root, bool isDrive, const std::vector<std::string>& rel) {
  std::string out = root;
  if (isDrive || !rel.empty()) out += '\\';
  for (size_t i = 0; i < rel.size(); ++i) {
    if (i) out += '\\';
    out += rt::utf8ToOem(rel[i]);
  }
  return out;
}

std::string fromHostLocked(State& s, const fs::path& host) {
  fs::path p = host;
  if (p.is_relative()) {
    std::error_code ec;
    p = fs::current_path(ec) / p;
  }
  p = stripTrailingSeparator(p.lexically_normal());
  const auto& roots = rootsLocked(s);
  Match m = bestRoot(roots, p);
  if (m.depth <= 1) {  // nothing but the root "/" (Z:) covers it as written
    std::error_code ec;
    fs::path c = fs::weakly_canonical(p, ec);
    if (!ec) {
      Match mc = bestRoot(roots, stripTrailingSeparator(c));
      if (mc.root && mc.depth > 1) m = std::move(mc);
    }
  }
  if (!m.root) {
    // No Z: in this map: the host path still gets the drive form the tool expects.
    auto rel = below(p, "/");
    return winForm("Z:", true, rel ? *rel : std::vector<std::string>{});
  }
  return winForm(m.root->win, m.root->drive != 0, m.rel);
}

std::string fullPathLocked(State& s, const Parsed& p) {
  switch (p.kind) {
    case Parsed::Kind::Host:
      return fromHostLocked(s, p.host);
    case Parsed::Kind::Drive:
      return std::string{p.drive, ':', '\\'} + joinParts(p.parts);
    case Parsed::Kind::Unc: {
      std::string out = "\\\\" + p.server;
      if (!p.share.empty()) out += "\\" + p.share;
      if (!p.parts.empty()) out += "\\" + joinParts(p.parts);
      return out;
    }
  }
  return {};
}

}  // namespace

fs::path prefixDir() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return prefixLocked(s);
}

void resetPathCaches() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.prefix.reset();
  s.roots.reset();
  s.listings.clear();
  s.directories.clear();
}

PathLookupCounts pathLookupCounts() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  PathLookupCounts c = s.counts;
  c.listingReads = s.listings.reads();
  return c;
}

void forgetListing(const fs::path& hostDir) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.listings.forget(stripTrailingSeparator(hostDir.lexically_normal()));
}

void noteCreated(const fs::path& hostEntry) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.listings.noteCreated(hostEntry);
}

void noteRemoved(const fs::path& hostEntry) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.listings.noteRemoved(hostEntry);
}

std::string fullPath(std::string_view winPath) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return fullPathLocked(s, parse(s, winPath));
}

fs::path toHost(std::string_view winPath) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return toHostLocked(s, parse(s, winPath));
}

std::string fromHost(const fs::path& host) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return fromHostLocked(s, host);
}

bool isRootPath(std::string_view winPath) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  Parsed p = parse(s, winPath);
  if (p.kind == Parsed::Kind::Host) return p.host == p.host.root_path();
  return p.parts.empty();
}

std::string currentDirectory() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  std::string out = fromHostLocked(s, ec ? fs::path("/") : cwd);
  if (out.empty() || out.back() != '\\') out += '\\';
  return out;
}

char currentDrive() { return currentDirectory()[0]; }

bool changeDirectory(std::string_view winPath) { return ::chdir(toHost(winPath).c_str()) == 0; }

std::vector<char> logicalDrives() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  std::vector<char> out;
  for (const Root& r : rootsLocked(s))
    if (r.drive) out.push_back(r.drive);
  return out;
}

DriveType driveType(char drive) {
  fs::path target;
  {
    State& s = state();
    std::lock_guard lock(s.mutex);
    const Root* r = findDrive(rootsLocked(s), drive);
    if (!r || !r->present) return DriveType::NoRootDir;
    target = r->target;
  }
  return typeOfHostDirectory(target);
}

DriveType driveTypeOf(std::string_view rootPath) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  Parsed p = parse(s, rootPath);
  switch (p.kind) {
    case Parsed::Kind::Drive:
      lock.unlock();
      return driveType(p.drive);
    case Parsed::Kind::Unc: {
      const Root* r = findShare(rootsLocked(s), p.server, p.share);
      return r && r->present ? DriveType::Remote : DriveType::NoRootDir;
    }
    case Parsed::Kind::Host: {
      fs::path h = p.host;
      lock.unlock();
      return typeOfHostDirectory(h);
    }
  }
  return DriveType::Unknown;
}

bool mapDrive(char drive, const fs::path& target) {
  if (!isAsciiLetter(drive)) return false;
  State& s = state();
  std::lock_guard lock(s.mutex);
  fs::path dd = prefixLocked(s) / "dosdevices";
  fs::path link = dd / std::string{lowerAscii(drive), ':'};
  std::error_code ec;
  fs::create_directories(dd, ec);
  fs::remove(link, ec);
  fs::create_directory_symlink(target, link, ec);
  s.roots.reset();
  s.directories.clear();
  return !ec;
}

bool mapShare(std::string_view server, std::string_view share, const fs::path& target) {
  if (server.empty() || share.empty()) return false;
  State& s = state();
  std::lock_guard lock(s.mutex);
  fs::path unc = prefixLocked(s) / "dosdevices" / "unc";
  fs::path dir = unc / rt::oemToUtf8(server);
  fs::path link = dir / rt::oemToUtf8(share);
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::remove(link, ec);
  fs::create_directory_symlink(target, link, ec);
  s.roots.reset();
  s.directories.clear();
  s.listings.forget(unc);
  s.listings.forget(dir);
  return !ec;
}

}  // namespace tav::os

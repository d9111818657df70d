// Directory listings for the letter-case look-up, checked against the directory's time stamp on
// every use (see listing_cache.h).
#include "os/listing_cache.h"

#include <dirent.h>

#include <algorithm>
#include <ctime>

#include "runtime/codepage.h"

namespace tav::os {

namespace fs = std::filesystem;

namespace {

// File systems stamp times from a coarse clock (one tick, at most 10 ms); this is well above it.
constexpr int64_t kSettleNanoseconds = 50'000'000;
// Listings of more directories than this are dropped wholesale; a lookup only costs a re-read.
constexpr size_t kMaxListings = 4096;

int64_t nanoseconds(const timespec& t) { return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

bool settledSince(const timespec& stamp) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return nanoseconds(now) - nanoseconds(stamp) > kSettleNanoseconds;
}

// True when the name was not there yet.
bool addName(Listing& l, std::string name) {
  std::vector<std::string>& same = l.byKey[rt::upper(rt::utf8ToOem(name))];
  auto at = std::lower_bound(same.begin(), same.end(), name);
  if (at != same.end() && *at == name) return false;
  same.insert(at, std::move(name));
  ++l.names;
  return true;
}

}  // namespace

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

Listing* ListingCache::listing(const fs::path& dir, const struct stat& st) {
  const bool settled = settledSince(st.st_mtim);
  std::string dirKey = dir.string();
  auto it = listings_.find(dirKey);
  if (it != listings_.end() && sameTime(it->second.mtime, st.st_mtim) &&
      (it->second.verified || !settled))
    return &it->second;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return nullptr;
  ++reads_;
  Listing l;
  l.mtime = st.st_mtim;
  l.verified = settled;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") addName(l, std::move(n));
  }
  ::closedir(d);
  if (it != listings_.end()) drop(it);
  if (listings_.size() >= kMaxListings || names_ + l.names > mostNames_) clear();
  names_ += l.names;
  return &listings_.emplace(dirKey, std::move(l)).first->second;
}

Listing* ListingCache::kept(const fs::path& dir, const struct stat& st) {
  auto it = listings_.find(dir.string());
  if (it == listings_.end() || !sameTime(it->second.mtime, st.st_mtim)) return nullptr;
  if (it->second.verified) return &it->second;
  return settledSince(st.st_mtim) ? nullptr : &it->second;
}

std::optional<std::string> ListingCache::find(const fs::path& dir, const std::string& key,
                                              timespec* mtime, bool* settled) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  Listing* l = listing(dir, st);
  if (!l) return std::nullopt;
  if (mtime) *mtime = l->mtime;
  if (settled) *settled = l->verified;
  auto f = l->byKey.find(key);
  if (f == l->byKey.end()) return std::nullopt;
  return f->second.front();
}

void ListingCache::drop(std::unordered_map<std::string, Listing>::iterator it) {
  names_ -= it->second.names;
  listings_.erase(it);
}

void ListingCache::forget(const fs::path& dir) {
  if (auto it = listings_.find(dir.string()); it != listings_.end()) drop(it);
}

// The kept listing of the entry's directory, to be patched for a change the tool made itself;
// null when none is kept (or the directory is gone, when the listing is dropped).
Listing* ListingCache::patchable(const fs::path& hostEntry) {
  const fs::path dir = hostEntry.parent_path();
  auto it = listings_.find(dir.string());
  if (it == listings_.end()) return nullptr;
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    drop(it);
    return nullptr;
  }
  // Patched, the listing is only as good as the stamp it now carries: not verified.
  it->second.mtime = st.st_mtim;
  it->second.verified = false;
  return &it->second;
}

void ListingCache::noteCreated(const fs::path& hostEntry) {
  if (Listing* l = patchable(hostEntry); l && addName(*l, hostEntry.filename().string())) ++names_;
}

void ListingCache::noteRemoved(const fs::path& hostEntry) {
  Listing* l = patchable(hostEntry);
  if (!l) return;
  const std::string name = hostEntry.filename().string();
  auto k = l->byKey.find(rt::upper(rt::utf8ToOem(name)));
  if (k == l->byKey.end()) return;
  const size_t removed = std::erase(k->second, name);
  l->names -= removed;
  names_ -= removed;
  if (k->second.empty()) l->byKey.erase(k);
}

}  // namespace tav::os

// The directory listings the letter-case look-up of os/path answers from. A listing is trusted
// while its directory keeps the time stamp recorded with it. File systems stamp times from a
// coarse clock, so a change made in the same tick as the listing would keep the stamp: a listing
// read or patched within a tick of its stamp is not `verified` and is read again once the stamp
// has settled. Until then it is trusted, so that creating many files in one directory (each a
// miss first) costs no re-read per file. Not thread-safe: os/path holds its lock around it.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tav::os {

struct Listing {
  timespec mtime{};
  bool verified = false;
  // Upper-case 852 name -> the host names of that key in byte order; the first one answers.
  std::unordered_map<std::string, std::vector<std::string>> byKey;
  size_t names = 0;  // host names held
};

bool sameTime(const timespec& a, const timespec& b);

class ListingCache {
 public:
  // The names kept across all listings stay under `mostNames`: a run over hundreds of firms keeps
  // the memory of a few, and a dropped listing only costs a directory read when asked again.
  explicit ListingCache(size_t mostNames = 8192) : mostNames_(mostNames) {}

  // The listing of `dir` (whose stat is `st`), read again unless the one kept is still good. Null
  // when the directory cannot be read.
  Listing* listing(const std::filesystem::path& dir, const struct stat& st);
  // The listing kept for `dir` when it still describes the directory, else null (nothing read).
  Listing* kept(const std::filesystem::path& dir, const struct stat& st);
  // The host name of the entry of `dir` whose 852 name equals `key` ignoring letter case. Two host
  // names may differ only in case; the first in byte order answers, every time. `mtime` receives
  // the time stamp of the listing that answered, `settled` whether that stamp has settled (a
  // change within the same tick would not show in it yet).
  std::optional<std::string> find(const std::filesystem::path& dir, const std::string& key,
                                  timespec* mtime = nullptr, bool* settled = nullptr);
  // The tool's own changes, patched into a kept listing instead of reading it again.
  void noteCreated(const std::filesystem::path& hostEntry);
  void noteRemoved(const std::filesystem::path& hostEntry);
  void forget(const std::filesystem::path& dir);
  void clear() {
    listings_.clear();
    names_ = 0;
  }
  uint64_t reads() const { return reads_; }
  size_t names() const { return names_; }

 private:
  Listing* patchable(const std::filesystem::path& hostEntry);
  void drop(std::unordered_map<std::string, Listing>::iterator it);
  std::unordered_map<std::string, Listing> listings_;
  uint64_t reads_ = 0;
  size_t mostNames_;
  size_t names_ = 0;
};

}  // namespace tav::os

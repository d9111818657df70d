// The shared half of bulk index builds: the key feed over the sorter and the in-order parallel
// runner. See bulk_build.h for what stays true.

#include "engine/index/bulk_build.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/coding.h"
#include "runtime/collation.h"

namespace tav::engine {
namespace {

// Sort runs go beside the index: the same disk, and room that the index will need anyway.
std::filesystem::path tempDirOf(const std::filesystem::path& indexFile) {
  std::filesystem::path dir = indexFile.parent_path();
  return dir.empty() ? std::filesystem::path(".") : dir;
}

}  // namespace

KeyFeed::KeyFeed(size_t keyLength, char filler, bool collate, size_t memoryLimit,
                 const std::filesystem::path& indexFile)
    : keyLength_(keyLength),
      filler_(filler),
      collate_(collate),
      sorter_(keyLength + 4, memoryLimit, tempDirOf(indexFile)),
      record_(keyLength + 4, '\0') {}

bool KeyFeed::add(std::string& key, uint32_t recno) {
  if (key.size() != keyLength_) key.resize(keyLength_, filler_);
  std::memcpy(record_.data(), key.data(), keyLength_);
  if (collate_) rt::collationKeyInPlace(record_.data(), keyLength_);
  rt::putBE32(record_.data() + keyLength_, recno);
  return sorter_.add(record_.data());
}

bool KeyFeed::feedAll(const KeySource& source) {
  std::string key(keyLength_, filler_);
  uint32_t recno = 0;
  while (source(key, recno))
    if (!add(key, recno)) return false;
  return finish();
}

bool KeyFeed::next(char* key, uint32_t& recno) {
  const char* r = sorter_.next();
  if (!r) return false;
  std::memcpy(key, r, keyLength_);
  if (collate_) collationKeyBack(key, keyLength_);
  recno = rt::getBE32(r + keyLength_);
  return true;
}

std::vector<size_t> shareSortMemory(size_t budget, const std::vector<size_t>& keyLengths) {
  size_t perRecord = 0;
  for (size_t len : keyLengths) perRecord += KeySorter::bytesPerRecord(len + 4);
  std::vector<size_t> shares;
  for (size_t len : keyLengths) {
    const size_t own = KeySorter::bytesPerRecord(len + 4);
    shares.push_back(perRecord ? static_cast<size_t>(static_cast<double>(budget) * own / perRecord)
                               : budget);
  }
  return shares;
}

// A file of one key builds it from the one definition, each key passed through.
std::vector<IndexTag*> IndexFile::createTags(const std::vector<TagDefinition>& tags,
                                             const KeysSource& source) {
  if (tags.size() != 1) return {};
  const TagDefinition& t = tags.front();
  std::vector<std::string> keys(1);
  KeySource one = [&](std::string& key, uint32_t& recno) {
    keys[0].swap(key);
    bool more = source(keys, recno);
    keys[0].swap(key);
    return more;
  };
  IndexTag* made = createTag(t.name, t.keyExpression, t.type, t.keyLength, one);
  if (!made) return {};
  return {made};
}

void inOrderAfterParallel(size_t n, const std::function<void(size_t)>& task,
                          const std::function<void(size_t)>& then) {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t workers = std::min(n, cores);
  if (workers <= 1) {
    for (size_t i = 0; i < n; ++i) {
      task(i);
      then(i);
    }
    return;
  }
  std::mutex m;
  std::condition_variable finished;
  std::vector<char> done(n, 0);
  std::vector<std::exception_ptr> errors(n);
  std::atomic<size_t> nextTask{0};
  std::atomic<bool> stop{false};
  auto work = [&] {
    for (size_t i; !stop && (i = nextTask++) < n;) {
      std::exception_ptr e;
      try {
        task(i);
      } catch (...) {
        e = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> lock(m);
        errors[i] = e;
        done[i] = 1;
      }
      finished.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (size_t w = 0; w < workers; ++w) pool.emplace_back(work);
  std::exception_ptr failure;
  for (size_t i = 0; i < n && !failure; ++i) {
    {
      std::unique_lock<std::mutex> lock(m);
      finished.wait(lock, [&] { return done[i] != 0; });
      failure = errors[i];
    }
    if (failure) break;
    try {
      then(i);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  stop = true;
  for (auto& t : pool) t.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tav::engine

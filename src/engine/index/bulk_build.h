#pragma once

// What both index formats share when they build a tag in bulk: the feed that turns a tag's keys
// into sorter records and back, and the runner that builds several tags on all cores.
//
// Invariants: a sorter record is the key's sort form (collation weights for a collated
// character key, the bytes otherwise) followed by the big-endian record number, so plain byte
// order is index order with ties by record, and next() gives back exactly the key's own bytes.
// Only the calling thread ever touches a file (the fault seam counts operations in one order);
// the workers of inOrderAfterParallel sort and pack in memory alone.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/index/index.h"
#include "engine/index/key_sorter.h"

namespace tav::engine {

class KeyFeed {
 public:
  KeyFeed(size_t keyLength, char filler, bool collate, size_t memoryLimit,
          const std::filesystem::path& indexFile);
  KeyFeed(const KeyFeed&) = delete;
  KeyFeed& operator=(const KeyFeed&) = delete;

  // Cuts or pads key to the key length; false when a sort run cannot be written.
  bool add(std::string& key, uint32_t recno);
  // Every key of the source, then finish(); false on a sort failure.
  bool feedAll(const KeySource& source);
  // Ends input: sorts what is held in memory (reading merges the runs on disk, if any).
  bool finish() { return sorter_.finish(); }
  // The next entry in index order: keyLength bytes into key; false at the end or on a read
  // error of a run (failed() tells which).
  bool next(char* key, uint32_t& recno);

  bool failed() const { return sorter_.failed(); }
  bool spilled() const { return sorter_.runCount() > 0; }
  size_t memoryInUse() const { return sorter_.memoryInUse(); }
  uint64_t size() const { return sorter_.size(); }
  size_t keyLength() const { return keyLength_; }
  char filler() const { return filler_; }

 private:
  size_t keyLength_;
  char filler_;
  bool collate_;
  KeySorter sorter_;
  std::string record_;
};

// The shares of one memory budget for sorters that take one key each per record (the tags of a
// one-pass build), given their keys' lengths: shares in proportion to what a record costs each,
// so that all of them hold as many records and go to disk together, never more than the budget
// between them.
std::vector<size_t> shareSortMemory(size_t budget, const std::vector<size_t>& keyLengths);

// Runs task(i) for i in [0, n) on up to one worker per core, and then(i) on the calling thread in
// order of i, each as soon as its task is done (so writing tag 0 overlaps sorting tag 2). An
// exception of a task is rethrown from the calling thread when its turn comes, after every
// worker has stopped. With one core, or n == 1, everything runs on the calling thread.
void inOrderAfterParallel(size_t n, const std::function<void(size_t)>& task,
                          const std::function<void(size_t)>& then);

}  // namespace tav::engine

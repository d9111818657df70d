#pragma once

// Sorting keys for bulk index builds, in memory or in runs on disk, by plain byte order.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "os/file.h"

namespace tav::engine {

// Memory a bulk index build may hold for its keys before it sorts them into runs on disk, in
// total: a build of several tags at once shares it among their sorters. Settable so that tests
// can force an external sort over a handful of records.
size_t indexBuildMemoryLimit();
void setIndexBuildMemoryLimit(size_t bytes);

// The collation weights are a byte permutation: a character key sorts as its weights, and the
// weights turn back into the key's own bytes.
void collationKeyBack(char* p, size_t n);

// Sorts fixed-size records by their bytes (memcmp order). Index builds feed it records of the
// collation-transformed key followed by the big-endian record number, so that byte order is
// index order with ties by record. Records stay in memory up to the limit; beyond it each full
// buffer is sorted and written as a run to a temporary file in `tempDir`, and reading merges runs.
// The files go, each closed first, when the sorter does; a killed build's are "~...<process>.tmp",
// the tool's leftovers that its next run clears.
// A record of up to 16 bytes is its sort slot alone and costs 16 bytes, one of up to 24 costs 24;
// a longer one costs a 32-byte slot (its first 24 bytes and its place) beside its own bytes. The
// memory held never passes the limit given (the buffers are set aside once and filled, never
// grown by copying), and only the part filled so far is touched.
class KeySorter {
 public:
  // Memory straight from the system for a sorter's large buffers: set aside whole, touched only as
  // filled, given back whole when freed. Taken through malloc, a block that large raises the size
  // below which malloc keeps memory in its heap, which then holds on to what later builds free,
  // and a process converting firm after firm grows with the largest table it met.
  template <class T>
  struct SystemPages {
    using value_type = T;
    SystemPages() = default;
    template <class U>
    SystemPages(const SystemPages<U>&) {}
    T* allocate(size_t n);
    void deallocate(T* p, size_t n);
    friend bool operator==(const SystemPages&, const SystemPages&) { return true; }
  };

  // What one record costs in memory while it waits to be sorted.
  static size_t bytesPerRecord(size_t recordSize);

  KeySorter(size_t recordSize, size_t memoryLimit, std::filesystem::path tempDir);
  ~KeySorter();
  KeySorter(const KeySorter&) = delete;
  KeySorter& operator=(const KeySorter&) = delete;

  bool add(const char* record);  // false on a write error of a run
  // Ends input; reading starts from the smallest record.
  bool finish();
  // The next record in order, nullptr at the end (or after a read error: see failed()).
  const char* next();
  bool failed() const { return failed_; }
  size_t runCount() const { return runs_.size(); }
  size_t size() const { return total_; }
  // The memory the records waiting in memory take (what a sort of them needs included).
  size_t memoryInUse() const { return buffered_ * bytesPerRecord(recordSize_); }

 private:
  struct Run;
  void sortBuffer();
  bool spill();

  size_t recordSize_;
  size_t capacity_;  // records per in-memory buffer
  std::filesystem::path tempDir_;
  std::vector<char, SystemPages<char>> buffer_;
  size_t buffered_ = 0;
  // The first 24 bytes of a record travel with its sort slot, so that short records (keys up
  // to 20 bytes) are compared and read back without touching the buffer in random order. A
  // record held whole needs no place: equal slots are equal records.
  static constexpr size_t kInline = 24;
  template <size_t Words>
  struct Whole {
    uint64_t word[Words];
  };
  struct Head {
    uint64_t word[3];
    uint32_t index;
  };
  template <class Slot>
  using Slots = std::vector<Slot, SystemPages<Slot>>;
  // One of them is in use, by the record's size.
  Slots<Whole<2>> upTo16_;
  Slots<Whole<3>> upTo24_;
  Slots<Head> longer_;
  template <class F>
  decltype(auto) withSlots(F&& f);
  template <size_t Words>
  const char* recordOf(const Whole<Words>& s);
  const char* recordOf(const Head& s);
  // The next record's slot, and the order of two slots.
  template <size_t Words>
  void fill(Whole<Words>& s, const char* record) const;
  void fill(Head& s, const char* record) const;
  template <size_t Words>
  bool less(const Whole<Words>& a, const Whole<Words>& b) const;
  bool less(const Head& a, const Head& b) const;
  char inlineRecord_[kInline];
  size_t cursor_ = 0;
  std::vector<std::unique_ptr<Run>> runs_;
  std::vector<size_t> heap_;  // runs by their current record, smallest on top
  bool failed_ = false;
  size_t total_ = 0;
};

}  // namespace tav::engine

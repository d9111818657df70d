// The key sorter of bulk index builds: in memory up to the limit, beyond it sorted runs in
// temporary files merged on reading. A run's file is closed before it is deleted (Windows refuses
// to delete a file that is open), when the sorter is done with it; one that a killed build left is
// named as the tool's own leftovers are ("~<name>.<process>.tmp"), which the next run removes.

#include "engine/index/key_sorter.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <new>

#include "os/memory.h"
#include "runtime/coding.h"
#include "runtime/collation.h"

namespace tav::engine {
namespace {

std::atomic<size_t> gMemoryLimit{64u << 20};
std::atomic<unsigned> gRunSerial{0};

constexpr size_t kRunReadBytes = 64 << 10;

}  // namespace

void collationKeyBack(char* p, size_t n) {
  static const std::array<uint8_t, 256> inverse = [] {
    std::array<uint8_t, 256> a{};
    const auto& w = rt::collationWeights();
    for (int c = 0; c < 256; ++c) a[w[c]] = static_cast<uint8_t>(c);
    return a;
  }();
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(inverse[static_cast<uint8_t>(p[i])]);
}

size_t indexBuildMemoryLimit() { return gMemoryLimit.load(); }
void setIndexBuildMemoryLimit(size_t bytes) { gMemoryLimit.store(bytes); }

struct KeySorter::Run {
  explicit Run(std::filesystem::path where) : path(std::move(where)) {}
  ~Run() {
    file.close();
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  std::filesystem::path path;
  os::File file;
  uint64_t records = 0;   // in the file
  uint64_t consumed = 0;  // handed out so far
  uint64_t readOffset = 0;
  std::string buffer;
  size_t bufferRecords = 0;
  size_t position = 0;  // within buffer
  const char* current() const { return buffer.data() + position; }
};

template <class T>
T* KeySorter::SystemPages<T>::allocate(size_t n) {
  void* p = os::takePages(n * sizeof(T));
  if (!p) throw std::bad_alloc();
  return static_cast<T*>(p);
}

template <class T>
void KeySorter::SystemPages<T>::deallocate(T* p, size_t n) {
  os::releasePages(p, n * sizeof(T));
}

template struct KeySorter::SystemPages<char>;

size_t KeySorter::bytesPerRecord(size_t recordSize) {
  // One sort slot, and the record's bytes beside it unless the slot holds it whole.
  if (recordSize <= 16) return sizeof(Whole<2>);
  if (recordSize <= kInline) return sizeof(Whole<3>);
  return sizeof(Head) + recordSize;
}

template <class F>
decltype(auto) KeySorter::withSlots(F&& f) {
  if (recordSize_ <= 16) return f(upTo16_);
  if (recordSize_ <= kInline) return f(upTo24_);
  return f(longer_);
}

namespace {

// The record's first bytes as big-endian words: comparing the words compares the bytes.
template <size_t Words>
void packWords(uint64_t (&word)[Words], const char* record, size_t size) {
  char prefix[8 * Words] = {};
  std::memcpy(prefix, record, std::min(sizeof prefix, size));
  for (size_t w = 0; w < Words; ++w) word[w] = rt::getBE64(prefix + 8 * w);
}

template <size_t Words>
bool wordsLess(const uint64_t (&a)[Words], const uint64_t (&b)[Words]) {
  for (size_t w = 0; w < Words; ++w)
    if (a[w] != b[w]) return a[w] < b[w];
  return false;
}

}  // namespace

template <size_t Words>
const char* KeySorter::recordOf(const Whole<Words>& s) {
  char whole[8 * Words];
  for (size_t w = 0; w < Words; ++w) rt::putBE64(whole + 8 * w, s.word[w]);
  std::memcpy(inlineRecord_, whole, recordSize_);
  return inlineRecord_;
}

const char* KeySorter::recordOf(const Head& s) { return buffer_.data() + s.index * recordSize_; }

template <size_t Words>
void KeySorter::fill(Whole<Words>& s, const char* record) const {
  packWords(s.word, record, recordSize_);
}

void KeySorter::fill(Head& s, const char* record) const {
  packWords(s.word, record, recordSize_);
  s.index = static_cast<uint32_t>(buffered_);
}

template <size_t Words>
bool KeySorter::less(const Whole<Words>& a, const Whole<Words>& b) const {
  return wordsLess(a.word, b.word);
}

bool KeySorter::less(const Head& a, const Head& b) const {
  for (int w = 0; w < 3; ++w)
    if (a.word[w] != b.word[w]) return a.word[w] < b.word[w];
  const char* base = buffer_.data();
  const size_t size = recordSize_;
  int c =
      std::memcmp(base + a.index * size + kInline, base + b.index * size + kInline, size - kInline);
  return c != 0 ? c < 0 : a.index < b.index;
}

KeySorter::KeySorter(size_t recordSize, size_t memoryLimit, std::filesystem::path tempDir)
    : recordSize_(recordSize), tempDir_(std::move(tempDir)) {
  capacity_ = std::max<size_t>(16, memoryLimit / bytesPerRecord(recordSize));
}

KeySorter::~KeySorter() = default;

bool KeySorter::add(const char* record) {
  if (buffered_ == capacity_ && !spill()) return false;
  // Set aside whole, once: growing by copying would hold the old buffer and the new one at once,
  // half as much again as the limit. Pages the records never reach are never touched.
  if (recordSize_ > kInline) {  // the slot holds a part: the whole record waits beside
    if (buffer_.capacity() < capacity_ * recordSize_) buffer_.reserve(capacity_ * recordSize_);
    const size_t at = buffered_ * recordSize_;
    if (buffer_.size() < at + recordSize_) buffer_.resize(at + recordSize_);
    std::memcpy(buffer_.data() + at, record, recordSize_);
  }
  withSlots([&](auto& slots) {
    if (slots.capacity() < capacity_) slots.reserve(capacity_);
    if (slots.size() <= buffered_) slots.emplace_back();
    fill(slots[buffered_], record);
  });
  ++buffered_;
  ++total_;
  return true;
}

void KeySorter::sortBuffer() {
  withSlots([this](auto& slots) {
    slots.resize(buffered_);
    std::sort(slots.begin(), slots.end(),
              [this](const auto& a, const auto& b) { return less(a, b); });
  });
}

bool KeySorter::spill() {
  sortBuffer();
  // A run that fails on the way is deleted with its object, the file closed first.
  auto run =
      std::make_unique<Run>(tempDir_ / ("~tav-sort-" + std::to_string(gRunSerial.fetch_add(1)) +
                                        "." + std::to_string(::getpid()) + ".tmp"));
  if (!run->file.open(run->path, os::File::Mode::Create)) {
    failed_ = true;
    return false;
  }
  std::string out;
  out.reserve(kRunReadBytes + recordSize_);
  uint64_t offset = 0;
  for (size_t i = 0; i < buffered_; ++i) {
    out.append(withSlots([&](auto& slots) { return recordOf(slots[i]); }), recordSize_);
    if (out.size() >= kRunReadBytes || i + 1 == buffered_) {
      if (!run->file.writeAt(offset, out.data(), out.size())) {
        failed_ = true;
        return false;
      }
      offset += out.size();
      out.clear();
    }
  }
  run->records = buffered_;
  runs_.push_back(std::move(run));
  buffered_ = 0;
  return true;
}

bool KeySorter::finish() {
  if (failed_) return false;
  if (runs_.empty()) {
    sortBuffer();
    cursor_ = 0;
    return true;
  }
  if (buffered_ && !spill()) return false;
  buffer_.clear();
  buffer_.shrink_to_fit();
  withSlots([](auto& slots) {
    slots.clear();
    slots.shrink_to_fit();
  });
  size_t perRead = std::max<size_t>(1, kRunReadBytes / recordSize_);
  auto refill = [&](Run& r) {
    uint64_t left = r.records - r.consumed;
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, perRead));
    r.buffer.resize(n * recordSize_);
    if (n && !r.file.readAt(r.readOffset, r.buffer.data(), r.buffer.size())) return false;
    r.readOffset += r.buffer.size();
    r.bufferRecords = n;
    r.position = 0;
    return true;
  };
  heap_.clear();
  for (size_t i = 0; i < runs_.size(); ++i) {
    if (!refill(*runs_[i])) {
      failed_ = true;
      return false;
    }
    if (runs_[i]->bufferRecords) heap_.push_back(i);
  }
  auto greater = [this](size_t a, size_t b) {
    int c = std::memcmp(runs_[a]->current(), runs_[b]->current(), recordSize_);
    return c != 0 ? c > 0 : a > b;
  };
  std::make_heap(heap_.begin(), heap_.end(), greater);
  return true;
}

const char* KeySorter::next() {
  if (failed_) return nullptr;
  if (runs_.empty()) {
    if (cursor_ >= buffered_) return nullptr;
    return withSlots([this](auto& slots) { return recordOf(slots[cursor_++]); });
  }
  // The record handed out last time stays valid until this call: advance its run now.
  auto greater = [this](size_t a, size_t b) {
    int c = std::memcmp(runs_[a]->current(), runs_[b]->current(), recordSize_);
    return c != 0 ? c > 0 : a > b;
  };
  if (cursor_ != 0) {
    size_t top = cursor_ - 1;
    Run& r = *runs_[top];
    std::pop_heap(heap_.begin(), heap_.end(), greater);
    heap_.pop_back();
    ++r.consumed;
    r.position += recordSize_;
    if (r.position >= r.bufferRecords * recordSize_) {
      uint64_t left = r.records - r.consumed;
      size_t perRead = std::max<size_t>(1, kRunReadBytes / recordSize_);
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, perRead));
      r.buffer.resize(n * recordSize_);
      if (n && !r.file.readAt(r.readOffset, r.buffer.data(), r.buffer.size())) {
        failed_ = true;
        return nullptr;
      }
      r.readOffset += r.buffer.size();
      r.bufferRecords = n;
      r.position = 0;
    }
    if (r.bufferRecords) {
      heap_.push_back(top);
      std::push_heap(heap_.begin(), heap_.end(), greater);
    }
  }
  if (heap_.empty()) {
    cursor_ = 0;
    return nullptr;
  }
  cursor_ = heap_.front() + 1;
  return runs_[heap_.front()]->current();
}

}  // namespace tav::engine

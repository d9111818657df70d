#pragma once

// What every index file is beneath its format: an open file of fixed-size pages after a header,
// its end, the index lock byte, the read-only flag, the last error and the list of free pages;
// and the cache of decoded pages each tag keeps.
//
// Invariants: the end is page aligned; a valid page lies wholly before it, at or after the first
// page; the free list is followed only through valid pages and cut at the first that is not.
// The formats differ here only in where a free page keeps the next one (freeLink and
// formatFreePage). A tag's cached pages are trusted only while its generation is the one they
// were read under: every change of the tag, and every change another process made, bumps it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/index/index.h"
#include "os/file.h"

namespace tav::engine {

// Thrown inside the format code when a page cannot be trusted or written; the tag entry points
// catch it (PageFile::guard) and answer with a value, so a damaged file never reaches the caller
// as an exception.
struct Damaged {
  std::string why;
};

// The sizes that tell one format's page file from the other's.
struct PageGeometry {
  uint32_t page;        // bytes per page
  uint32_t firstPage;   // offset of the first page after the header
  uint64_t lockOffset;  // the index byte every engine locks
};

class PageFile : public IndexFile {
 public:
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;
  ~PageFile() override;

  const std::string& path() const override { return pathText_; }
  const std::string& error() const override { return error_; }
  bool readOnly() const { return readOnly_; }
  void flush() override;
  // Takes the index byte, then looks for what another process changed (refresh).
  bool lock(bool exclusive) override;
  void unlock() override;

  bool validPage(uint32_t offset) const;
  uint64_t fileEnd() const { return fileEnd_; }
  // Reads one whole page; Damaged when it is out of the file or cannot be read.
  void readPage(uint32_t offset, uint8_t* buf);
  // Damaged when the bytes cannot be written.
  void write(uint64_t offset, const void* data, size_t n);
  // A page off the free list, or a new one at the end.
  uint32_t allocPage();
  // Puts a page at the head of the free list (written at once).
  void freePage(uint32_t offset);
  void fail(const std::string& why) { error_ = why; }

  // Runs an entry point of a tag or file: a Damaged thrown inside becomes the file's error, then
  // onFailure() runs and `failed` is the answer.
  template <class R, class Body, class OnFailure>
  R guard(R failed, Body&& body, OnFailure&& onFailure) {
    try {
      return body();
    } catch (const Damaged& d) {
      fail(d.why);
      onFailure();
      return failed;
    }
  }
  // The same for a change, refused on a read-only file.
  template <class R, class Body, class OnFailure>
  R change(R failed, Body&& body, OnFailure&& onFailure) {
    if (readOnly_) {
      fail("the index file is open read-only");
      return failed;
    }
    return guard(failed, std::forward<Body>(body), std::forward<OnFailure>(onFailure));
  }

 protected:
  explicit PageFile(PageGeometry geometry) : geometry_(geometry) {}
  // Opens an existing file; false with the reason when it cannot be opened or is shorter than
  // minSize (kind names the format in that reason).
  bool openFile(const std::filesystem::path& host, bool readOnly, uint64_t minSize,
                const char* kind, std::string& why);
  bool createFile(const std::filesystem::path& host, std::string& why);
  // Called with the lock taken: whatever another process changed since this one last looked.
  virtual void refresh() = 0;
  // The next free page as a free page records it (0: none or unreadable).
  virtual uint32_t freeLink(uint32_t page) = 0;
  // Formats a zeroed page as a free page that records next.
  virtual void formatFreePage(uint8_t* page, uint32_t next) const = 0;
  // The free list head as a header holds it; anything that is not a valid page ends the list.
  void setFreeHead(uint32_t head) { freeHead_ = validPage(head) ? head : 0; }
  // The end as the file's size says, whole pages only.
  void measureEnd();

  PageGeometry geometry_;
  os::File file_;
  std::filesystem::path host_;
  std::string pathText_;
  bool readOnly_ = false;
  bool locked_ = false;
  uint64_t fileEnd_ = 0;
  uint32_t freeHead_ = 0;  // 0: none
  bool freeChanged_ = false;
  KeyTypeResolver resolver_;
  std::string error_;
};

// The decoded pages a tag keeps between calls, and the pages changed by the call under way.
template <class Page>
class PageCache {
 public:
  explicit PageCache(size_t limit) : limit_(limit) {}

  // The cached page, or decode(offset) (a std::unique_ptr<Page>) kept from now on.
  template <class Decode>
  Page& get(uint32_t offset, Decode&& decode) {
    auto it = pages_.find(offset);
    if (it != pages_.end()) return *it->second;
    auto p = decode(offset);
    Page& ref = *p;
    pages_[offset] = std::move(p);
    return ref;
  }
  // A page made by the change under way.
  Page& add(uint32_t offset, std::unique_ptr<Page> p) {
    Page& ref = *p;
    pages_[offset] = std::move(p);
    dirty_.insert(offset);
    return ref;
  }
  Page& at(uint32_t offset) { return *pages_.at(offset); }
  void markDirty(uint32_t offset) { dirty_.insert(offset); }
  const std::set<uint32_t>& dirty() const { return dirty_; }
  void clean() { dirty_.clear(); }
  void erase(uint32_t offset) {
    pages_.erase(offset);
    dirty_.erase(offset);
  }
  void forget() { pages_.clear(); }  // pages only: read again when next needed
  void trim() {
    if (pages_.size() > limit_) pages_.clear();
  }
  // Everything cached becomes stale: another process or a failed change touched the tree.
  void drop() {
    pages_.clear();
    dirty_.clear();
    ++generation_;
  }
  uint64_t generation() const { return generation_; }
  void bump() { ++generation_; }

 private:
  size_t limit_;
  std::unordered_map<uint32_t, std::unique_ptr<Page>> pages_;
  std::set<uint32_t> dirty_;
  uint64_t generation_ = 1;
};

}  // namespace tav::engine

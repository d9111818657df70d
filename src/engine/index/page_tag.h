#pragma once

// What every tag of a page file shares above its tree: its definition, the cursor, the cache of
// decoded pages and the entry points with their guard. A format supplies the tree walks (edge,
// step, seekAt, locateAt) and the changes (insertAt, removeAt).
//
// Invariants: a damaged page met by any entry point becomes the file's error, leaves the tag
// unpositioned and is answered with 0 or false, never an exception; a change that fails drops
// every cached page, as its pages on disk may be half written. The position (curKey_, curRec_)
// is the entry last returned; its page and place are trusted only while curGeneration_ is the
// cache's generation, otherwise the format finds the entry again by key and record. Keys reach
// the hooks cut or padded to the key length.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/index/index.h"
#include "engine/index/page_file.h"

namespace tav::engine {

// The first i in [0, n) for which below(i) is false; below must hold for a prefix of [0, n).
// Both formats' descents search a page's entries with it.
template <class Below>
size_t firstNotBelow(size_t n, Below&& below) {
  size_t lo = 0, hi = n;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (below(mid))
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

template <class Page>
class PageTag : public IndexTag {
 public:
  PageTag(const PageTag&) = delete;
  PageTag& operator=(const PageTag&) = delete;

  const std::string& name() const override { return name_; }
  const std::string& keyExpression() const override { return expr_; }
  KeyType keyType() const override { return type_; }
  size_t keyLength() const override { return keyLength_; }
  std::string currentKey() const override { return positioned_ ? curKey_ : std::string(); }

  uint32_t first() final {
    return navigate(0u, [this] { return edge(false); });
  }
  uint32_t last() final {
    return navigate(0u, [this] { return edge(true); });
  }
  uint32_t next() final {
    if (!positioned_) return 0;
    return navigate(0u, [this] { return step(true); });
  }
  uint32_t prev() final {
    if (!positioned_) return 0;
    return navigate(0u, [this] { return step(false); });
  }
  uint32_t seek(std::string_view key, bool& found) final {
    found = false;
    return navigate(0u, [&] { return seekAt(key.substr(0, keyLength_), found); });
  }
  bool locate(std::string_view key, uint32_t recno) final {
    return navigate(false, [&] { return locateAt(normalise(key), recno); });
  }
  void insert(std::string_view key, uint32_t recno) final {
    change([&] { return insertAt(normalise(key), recno); });
  }
  bool remove(std::string_view key, uint32_t recno) final {
    return change([&] { return removeAt(normalise(key), recno); });
  }

 protected:
  PageTag(PageFile& file, size_t cacheLimit) : pageFile_(file), pages_(cacheLimit) {}

  // The first (lastEntry: the last) entry, positioned on; 0 when the tag is empty.
  virtual uint32_t edge(bool lastEntry) = 0;
  // The entry after (forward) or before the current one; 0, unpositioned, past either end.
  virtual uint32_t step(bool forward) = 0;
  // Positions on the first entry >= key (compared over key.size() bytes).
  virtual uint32_t seekAt(std::string_view key, bool& found) = 0;
  virtual bool locateAt(const std::string& key, uint32_t recno) = 0;
  // False when nothing changed (the entry was there already, or is not there to remove).
  virtual bool insertAt(const std::string& key, uint32_t recno) = 0;
  virtual bool removeAt(const std::string& key, uint32_t recno) = 0;
  // Why a change cannot be made on a writable file; nullptr when it can.
  virtual const char* changeRefused() const { return nullptr; }

  void dropCache() {
    pages_.drop();
    positioned_ = false;
  }
  std::string normalise(std::string_view key) const {
    std::string k(key.substr(0, keyLength_));
    k.resize(keyLength_, filler_);
    return k;
  }

  PageFile& pageFile_;
  std::string name_, expr_, forExpr_;
  KeyType type_ = KeyType::Character;
  size_t keyLength_ = 0;
  char filler_ = ' ';
  PageCache<Page> pages_;

  bool positioned_ = false;
  std::string curKey_;
  uint32_t curRec_ = 0;
  uint64_t curGeneration_ = 0;

 private:
  template <class R, class Body>
  R navigate(R failed, Body&& body) {
    pages_.trim();
    return pageFile_.guard(failed, body, [this] { positioned_ = false; });
  }
  template <class Body>
  bool change(Body&& body) {
    if (const char* why = changeRefused(); why && !pageFile_.readOnly()) {
      pageFile_.fail(why);
      return false;
    }
    return pageFile_.change(false, body, [this] { dropCache(); });
  }
};

}  // namespace tav::engine

#pragma once

// An open compound (.cdx) index file and its tags. Every change is written through before the call
// returns and bumps the tag's change counter, which is how other readers know to drop their caches.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/cdx/format.h"
#include "engine/index/index.h"
#include "os/file.h"

namespace tav::engine {
class KeyFeed;
}

namespace tav::engine::cdx {

class CdxFile;

// Decides a tag's key type from its key expression and key length when the caller knows it
// (the file itself does not record it); nullopt leaves the choice to the file's own guess.
using KeyTypeResolver = std::function<std::optional<KeyType>(std::string_view expr, size_t len)>;

// One tag, or the tag directory (the file header's own tree, keyed by tag name, whose record
// numbers are tag header offsets). Pages are cached decoded; every change is written through
// before the call returns, and the change counter in the tag header is bumped so that another
// reader's cache notices.
class CdxTag final : public IndexTag {
 public:
  CdxTag(CdxFile& file, uint32_t headerOffset);
  CdxTag(const CdxTag&) = delete;
  CdxTag& operator=(const CdxTag&) = delete;

  const std::string& name() const override { return name_; }
  const std::string& keyExpression() const override { return expr_; }
  KeyType keyType() const override { return type_; }
  size_t keyLength() const override { return keyLength_; }
  bool plainByteOrder() const override { return plain_; }

  uint32_t first() override;
  uint32_t last() override;
  uint32_t next() override;
  uint32_t prev() override;
  uint32_t seek(std::string_view key, bool& found) override;
  bool locate(std::string_view key, uint32_t recno) override;
  std::string currentKey() const override { return positioned_ ? curKey_ : std::string(); }
  void insert(std::string_view key, uint32_t recno) override;
  bool remove(std::string_view key, uint32_t recno) override;

  const std::string& forExpression() const { return forExpr_; }
  bool descending() const { return descending_; }
  bool unique() const { return options_ & opt::unique; }
  uint32_t headerOffset() const { return header_; }
  uint32_t root() const { return root_; }

 private:
  friend class CdxFile;
  struct Step {
    uint32_t page;
    size_t index;
  };
  enum class Match { Entry, Prefix };

  // Reads the tag header; false with the reason when it is out of bounds.
  bool loadHeader(std::string& why, const KeyTypeResolver& resolver);
  void setType(KeyType t);
  KeyType guessType();
  void detectDialect();
  Node& node(uint32_t page);
  Node& dirty(uint32_t page);
  void dropCache();
  int compare(const char* a, const char* b, size_t n) const;
  int compareEntry(const Node& n, size_t i, const char* key, size_t len, uint32_t rec,
                   Match m) const;
  std::vector<Step> descend(const char* key, size_t len, uint32_t rec, Match m);
  uint32_t settle(std::vector<Step>& path, bool forward);
  uint32_t edge(bool lastEntry);
  uint32_t positionAt(uint32_t page, size_t index);
  bool reposition();
  std::string normalise(std::string_view key) const;
  bool fits(const Node& n);
  uint32_t split(Node& n, size_t inserted);
  void fixUp(std::vector<Step>& path, size_t inserted);
  void collectPages(std::vector<uint32_t>& out);
  void writeChanges();
  void resetCursor() { positioned_ = false; }

  CdxFile& file_;
  uint32_t header_;
  std::string name_, expr_, forExpr_;
  KeyType type_ = KeyType::Character;
  size_t keyLength_ = 0;
  char filler_ = ' ';
  bool collate_ = true;
  bool plain_ = false;  // a character tag another engine ordered by plain bytes
  uint8_t options_ = 0;
  bool descending_ = false;
  uint32_t root_ = kNone;
  uint32_t counter_ = 0;
  bool rootChanged_ = false;

  std::unordered_map<uint32_t, std::unique_ptr<Node>> cache_;
  std::set<uint32_t> dirty_;

  bool positioned_ = false;
  uint32_t curPage_ = 0;
  size_t curIndex_ = 0;
  std::string curKey_;
  uint32_t curRec_ = 0;
  uint64_t curGeneration_ = 0;
  uint64_t generation_ = 1;  // bumped by every change of this tag
};

// A compound index file: the directory tag at offset 0 and the tags it lists.
class CdxFile final : public IndexFile {
 public:
  CdxFile(const CdxFile&) = delete;
  CdxFile& operator=(const CdxFile&) = delete;
  ~CdxFile() override;

  // nullptr and the reason in why when the file is missing or damaged.
  static std::unique_ptr<CdxFile> open(const std::filesystem::path& host, bool readOnly,
                                       std::string& why, KeyTypeResolver resolver = {});
  static std::unique_ptr<CdxFile> create(const std::filesystem::path& host, std::string& why);

  const std::string& path() const override { return pathText_; }
  std::vector<IndexTag*> tags() override;
  IndexTag* tag(std::string_view name) override;
  IndexTag* createTag(std::string_view name, std::string_view keyExpression, KeyType type,
                      size_t keyLength, const KeySource& source) override;
  std::vector<IndexTag*> createTags(const std::vector<TagDefinition>& tags,
                                    const KeysSource& source) override;
  void removeAll() override;
  void flush() override;
  bool lock(bool exclusive) override;
  void unlock() override;

  CdxTag* cdxTag(std::string_view name);
  CdxTag& directory() { return *directory_; }
  // The last failure (a damaged page met by an operation, an I/O error); empty when none.
  const std::string& error() const { return error_; }
  bool readOnly() const { return readOnly_; }

 private:
  friend class CdxTag;
  CdxFile() = default;
  bool loadTags(std::string& why);
  bool readPage(uint32_t offset, uint8_t* buf, std::string& why);
  bool writeBytes(uint64_t offset, const void* data, size_t n);
  uint32_t allocPage();
  void freePage(uint32_t offset);
  bool validPage(uint32_t offset) const;
  void fail(const std::string& why);
  void writeTagHeader(CdxTag& t);
  struct Definition {
    std::string name, keyExpression;
    KeyType type = KeyType::Character;
    size_t keyLength = 0;
  };
  bool define(std::string_view name, std::string_view keyExpression, KeyType type,
              size_t keyLength, Definition& out);
  std::unique_ptr<KeyFeed> feedFor(const Definition& d, size_t memoryLimit) const;
  CdxTag& prepareTag(const Definition& d);
  void buildTree(CdxTag& t, KeyFeed& sorted);
  void finishTag(CdxTag& t);
  void writeFreeList();

  os::File file_;
  std::filesystem::path host_;
  std::string pathText_;
  bool readOnly_ = false;
  bool locked_ = false;
  uint64_t fileEnd_ = 0;
  uint32_t freeHead_ = 0;  // 0 = none
  bool freeChanged_ = false;
  std::unique_ptr<CdxTag> directory_;
  std::vector<std::unique_ptr<CdxTag>> tags_;  // by header offset = creation order
  KeyTypeResolver resolver_;
  std::string error_;
};

}  // namespace tav::engine::cdx

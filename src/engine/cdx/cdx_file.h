#pragma once

// An open compound (.cdx) index file and its tags. Every change is written through before the call
// returns and bumps the tag's change counter, which is how other readers know to drop their caches.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/cdx/format.h"
#include "engine/index/index.h"
#include "engine/index/page_file.h"
#include "engine/index/page_tag.h"

namespace tav::engine {
class KeyFeed;
}

namespace tav::engine::cdx {

class CdxFile;

// The index byte other engines lock: shared while reading, exclusive while writing.
inline constexpr uint64_t kIndexLockOffset = 0x7FFFFFFEull;

// One tag, or the tag directory (the file header's own tree, keyed by tag name, whose record
// numbers are tag header offsets). Pages are cached decoded; every change is written through
// before the call returns, and the change counter in the tag header is bumped so that another
// reader's cache notices.
class CdxTag final : public PageTag<Node> {
 public:
  CdxTag(CdxFile& file, uint32_t headerOffset);

  bool plainByteOrder() const override { return plain_; }
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
  int compare(const char* a, const char* b, size_t n) const;
  int compareEntry(const Node& n, size_t i, const char* key, size_t len, uint32_t rec,
                   Match m) const;
  std::vector<Step> descend(const char* key, size_t len, uint32_t rec, Match m);
  uint32_t settle(std::vector<Step>& path, bool forward);
  uint32_t edge(bool lastEntry) override;
  uint32_t positionAt(uint32_t page, size_t index);
  bool reposition();
  uint32_t step(bool forward) override;
  uint32_t seekAt(std::string_view key, bool& found) override;
  // Changes: the pages they touch are kept until writeChanges puts them on disk.
  Node& dirty(uint32_t page);
  bool fits(const Node& n);
  uint32_t split(Node& n, size_t inserted);
  void fixUp(std::vector<Step>& path, size_t inserted);
  void collectPages(std::vector<uint32_t>& out);
  bool locateAt(const std::string& key, uint32_t recno) override;
  bool insertAt(const std::string& key, uint32_t recno) override;
  bool removeAt(const std::string& key, uint32_t recno) override;
  void writeChanges();
  void resetCursor() { positioned_ = false; }

  CdxFile& file_;
  uint32_t header_;
  bool collate_ = true;
  bool plain_ = false;  // a character tag another engine ordered by plain bytes
  uint8_t options_ = 0;
  bool descending_ = false;
  uint32_t root_ = kNone;
  uint32_t counter_ = 0;
  bool rootChanged_ = false;

  uint32_t curPage_ = 0;
  // Leaves crossed since the walk last started or turned: a bound on a walk over damaged links.
  size_t leavesCrossed_ = 0;
  bool walkForward_ = true;
  size_t curIndex_ = 0;
};

// A compound index file: the directory tag at offset 0 and the tags it lists.
class CdxFile final : public PageFile {
 public:
  CdxFile(const CdxFile&) = delete;
  CdxFile& operator=(const CdxFile&) = delete;

  std::vector<IndexTag*> tags() override;
  IndexTag* tag(std::string_view name) override;
  IndexTag* createTag(std::string_view name, std::string_view keyExpression, KeyType type,
                      size_t keyLength, const KeySource& source) override;
  std::vector<IndexTag*> createTags(const std::vector<TagDefinition>& tags,
                                    const KeysSource& source) override;
  void removeAll() override;

  CdxTag* cdxTag(std::string_view name);
  CdxTag& directory() { return *directory_; }

 private:
  friend class CdxTag;
  friend std::unique_ptr<IndexFile> openCdx(const std::filesystem::path&, bool, std::string&,
                                            const KeyTypeResolver&);
  friend std::unique_ptr<IndexFile> createCdx(const std::filesystem::path&, std::string&);
  CdxFile();
  bool loadTags(std::string& why);
  void refresh() override;
  uint32_t freeLink(uint32_t page) override;
  void formatFreePage(uint8_t* page, uint32_t next) const override;
  void writeTagHeader(CdxTag& t);
  struct Definition {
    std::string name, keyExpression;
    KeyType type = KeyType::Character;
    size_t keyLength = 0;
  };
  bool define(std::string_view name, std::string_view keyExpression, KeyType type, size_t keyLength,
              Definition& out);
  std::unique_ptr<KeyFeed> feedFor(const Definition& d, size_t memoryLimit) const;
  CdxTag& prepareTag(const Definition& d);
  void buildTree(CdxTag& t, KeyFeed& sorted);
  void finishTag(CdxTag& t);
  void writeFreeList();

  std::unique_ptr<CdxTag> directory_;
  std::vector<std::unique_ptr<CdxTag>> tags_;  // by header offset = creation order
};

// nullptr and the reason in why when the file is missing or damaged.
std::unique_ptr<IndexFile> openCdx(const std::filesystem::path& host, bool readOnly,
                                   std::string& why, const KeyTypeResolver& resolver);
// A file with the tag directory and no tag (replacing one that exists).
std::unique_ptr<IndexFile> createCdx(const std::filesystem::path& host, std::string& why);

}  // namespace tav::engine::cdx

#pragma once

// The single-key index file, as it lies on disk (all integers little-endian, pages of 1024
// bytes, page pointers are byte offsets):
//   header (page 0): 0 u16 signature 0x0006, 2 u16 change counter, 4 u32 root page,
//     8 u32 first free page (0 none), 12 u16 entry size (key length + 8), 14 u16 key length,
//     16 u16 decimals, 18 u16 max entries per page, 20 u16 half of it, 22 key expression
//     (256 bytes, NUL ended), 278 u16 unique, 280 u16 descending, 282 FOR expression (256),
//     538 tag name (12, NUL ended).
//   page: 0 u16 count, 2 (max + 1) u16 offsets of the entries in key order, then the entry
//     slots: u32 child page (0 in a leaf), u32 record number, key. A classic B-tree: keys of
//     interior pages are entries of their own; child i holds the keys below entry i, and the
//     slot at position count holds only the rightmost child.
//   A free page: count 0, its first slot's child field is the next free page (0 ends).
// Max entries = 1020 / (key length + 10) - 1, made even; half = max / 2.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/index/index.h"
#include "os/file.h"

namespace tav::engine::ntx {

inline constexpr uint32_t kPage = 1024;
// Clipper locking scheme: the index byte, shared to read and exclusive to write.
inline constexpr uint64_t kIndexLockOffset = 1000000000ull;

class NtxFile;

class NtxTag final : public IndexTag {
 public:
  explicit NtxTag(NtxFile& file) : file_(file) {}
  NtxTag(const NtxTag&) = delete;
  NtxTag& operator=(const NtxTag&) = delete;

  const std::string& name() const override { return name_; }
  const std::string& keyExpression() const override { return expr_; }
  KeyType keyType() const override { return type_; }
  size_t keyLength() const override { return keyLength_; }
  uint32_t first() override;
  uint32_t last() override;
  uint32_t next() override;
  uint32_t prev() override;
  uint32_t seek(std::string_view key, bool& found) override;
  bool locate(std::string_view key, uint32_t recno) override;
  std::string currentKey() const override { return positioned_ ? curKey_ : std::string(); }
  void insert(std::string_view key, uint32_t recno) override;
  bool remove(std::string_view key, uint32_t recno) override;

  struct Step {
    uint32_t page;
    size_t index;  // the entry on the top step; the child slot taken on the others
  };

  size_t maxEntries() const { return max_; }
  uint32_t root() const { return root_; }
  int decimals() const { return decimals_; }

 private:
  friend class NtxFile;
  struct Page {
    uint32_t offset = 0;
    std::string keys;
    std::vector<uint32_t> recs;
    std::vector<uint32_t> children;  // count + 1
    size_t count() const { return recs.size(); }
    bool leaf() const { return children.empty() || children[0] == 0; }
  };

  Page& page(uint32_t offset);
  Page& dirty(uint32_t offset);
  int compare(const char* a, const char* b, size_t n) const;
  int compareAt(const Page& p, size_t i, const char* key, size_t len, uint32_t rec,
                bool withRec) const;
  // Path to the first entry >= (key, rec); the top step may be past its page (no such entry).
  std::vector<Step> descend(const char* key, size_t len, uint32_t rec, bool withRec);
  uint32_t settleForward(std::vector<Step>& path);
  uint32_t take(std::vector<Step>& path);
  void downLeft(std::vector<Step>& path, uint32_t from);
  void downRight(std::vector<Step>& path, uint32_t from);
  bool stepForward();
  bool stepBack();
  bool findExact(const std::string& key, uint32_t rec, std::vector<Step>& path);
  void fixEmpty(std::vector<Step>& path, size_t level);
  void writeChanges();
  void dropCache();
  std::string normalise(std::string_view key) const;

  NtxFile& file_;
  std::string name_, expr_, forExpr_;
  KeyType type_ = KeyType::Character;
  size_t keyLength_ = 0;
  int decimals_ = 0;
  size_t max_ = 0;
  uint32_t root_ = 0;
  uint16_t counter_ = 0;
  std::unordered_map<uint32_t, std::unique_ptr<Page>> cache_;
  std::set<uint32_t> dirty_;

  bool positioned_ = false;
  std::vector<Step> cursor_;
  std::string curKey_;
  uint32_t curRec_ = 0;
  uint64_t curGeneration_ = 0;
  uint64_t generation_ = 1;
};

class NtxFile final : public IndexFile {
 public:
  using KeyTypeResolver =
      std::function<std::optional<KeyType>(std::string_view expr, size_t keyLength)>;
  NtxFile(const NtxFile&) = delete;
  NtxFile& operator=(const NtxFile&) = delete;
  ~NtxFile() override;

  static std::unique_ptr<NtxFile> open(const std::filesystem::path& host, bool readOnly,
                                       std::string& why, KeyTypeResolver resolver = {});
  // An empty file: its one tag comes with createTag.
  static std::unique_ptr<NtxFile> create(const std::filesystem::path& host, std::string& why);

  const std::string& path() const override { return pathText_; }
  std::vector<IndexTag*> tags() override;
  IndexTag* tag(std::string_view name) override;
  IndexTag* createTag(std::string_view name, std::string_view keyExpression, KeyType type,
                      size_t keyLength, const KeySource& source) override;
  void removeAll() override;
  void flush() override;
  bool lock(bool exclusive) override;
  void unlock() override;

  const std::string& error() const { return error_; }
  // Decimals written into a new file's header for a numeric key (STR(n, len, dec) form).
  void setDecimals(int d) { decimals_ = d; }

 private:
  friend class NtxTag;
  NtxFile() : tag_(*this) {}
  bool loadHeader(std::string& why);
  void writeHeader();
  bool validPage(uint32_t offset) const;
  uint32_t allocPage();
  void freePage(uint32_t offset);
  void fail(const std::string& why) { error_ = why; }

  os::File file_;
  std::filesystem::path host_;
  std::string pathText_;
  bool readOnly_ = false;
  bool locked_ = false;
  bool hasTag_ = false;
  uint64_t fileEnd_ = 0;
  uint32_t freeHead_ = 0;
  int decimals_ = 0;
  NtxTag tag_;
  KeyTypeResolver resolver_;
  std::string error_;
};

}  // namespace tav::engine::ntx

#pragma once

// An open single-key (.ntx) index file and its one tag. The layout on disk is in format.h; every
// change is written through before the call returns and bumps the header's change counter, which
// is how other readers know to drop their caches.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/index/index.h"
#include "engine/index/page_file.h"
#include "engine/index/page_tag.h"
#include "engine/ntx/format.h"

namespace tav::engine::ntx {

class NtxFile;

// A decoded page: count entries, and count + 1 children (all 0 in a leaf).
struct NtxPage {
  uint32_t offset = 0;
  std::string keys;
  std::vector<uint32_t> recs;
  std::vector<uint32_t> children;
  size_t count() const { return recs.size(); }
  bool leaf() const { return children.empty() || children[0] == 0; }
};

class NtxTag final : public PageTag<NtxPage> {
 public:
  explicit NtxTag(NtxFile& file);

  // All keys are text: numbers with the file's decimals, dates as yyyymmdd.
  std::string keyFor(const rt::Value& value) const override;

  struct Step {
    uint32_t page;
    size_t index;  // the entry on the top step; the child slot taken on the others
  };

  size_t maxEntries() const { return max_; }
  uint32_t root() const { return root_; }
  int decimals() const { return decimals_; }

 private:
  friend class NtxFile;
  using Page = NtxPage;

  Page& page(uint32_t offset);
  Page& dirty(uint32_t offset);
  int compare(const char* a, const char* b, size_t n) const;
  int compareAt(const Page& p, size_t i, const char* key, size_t len, uint32_t rec,
                bool withRec) const;
  // Path to the first entry >= (key, rec); the top step may be past its page (no such entry).
  std::vector<Step> descend(const char* key, size_t len, uint32_t rec, bool withRec);
  uint32_t settleForward(std::vector<Step>& path);
  uint32_t edge(bool lastEntry) override;
  uint32_t take(std::vector<Step>& path);
  void downLeft(std::vector<Step>& path, uint32_t from);
  void downRight(std::vector<Step>& path, uint32_t from);
  bool stepForward();
  bool stepBack();
  uint32_t step(bool forward) override;
  uint32_t seekAt(std::string_view key, bool& found) override;
  bool findExact(const std::string& key, uint32_t rec, std::vector<Step>& path);
  bool locateAt(const std::string& key, uint32_t recno) override;
  bool insertAt(const std::string& key, uint32_t recno) override;
  void fixEmpty(std::vector<Step>& path, size_t level);
  bool removeAt(const std::string& key, uint32_t recno) override;
  const char* changeRefused() const override;
  void writeChanges();
  void countStep(bool forward);

  NtxFile& file_;
  int decimals_ = 0;
  size_t max_ = 0;
  uint32_t root_ = 0;
  uint16_t counter_ = 0;
  std::vector<Step> cursor_;
  // Steps since the walk last started or turned: a bound on a walk over a damaged tree.
  size_t stepsTaken_ = 0;
  bool walkForward_ = true;
};

class NtxFile final : public PageFile {
 public:
  std::vector<IndexTag*> tags() override;
  IndexTag* tag(std::string_view name) override;
  IndexTag* createTag(std::string_view name, std::string_view keyExpression, KeyType type,
                      size_t keyLength, const KeySource& source) override;
  void removeAll() override;

  // Decimals written into a new file's header for a numeric key (STR(n, len, dec) form).
  void setDecimals(int d) { decimals_ = d; }

 private:
  // The page file's hooks: the free link lives in the first slot's child field.
  void refresh() override;
  uint32_t freeLink(uint32_t page) override;
  void formatFreePage(uint8_t* page, uint32_t next) const override;

  friend class NtxTag;
  NtxFile();
  bool loadHeader(std::string& why);
  void writeHeader();
  void startOver();
  friend std::unique_ptr<IndexFile> openNtx(const std::filesystem::path&, bool, std::string&,
                                            const KeyTypeResolver&);
  friend std::unique_ptr<IndexFile> createNtx(const std::filesystem::path&, std::string&);

  bool hasTag_ = false;
  int decimals_ = 0;
  NtxTag tag_;
};

std::unique_ptr<IndexFile> openNtx(const std::filesystem::path& host, bool readOnly,
                                   std::string& why, const KeyTypeResolver& resolver);
// An empty file: its one tag comes with createTag.
std::unique_ptr<IndexFile> createNtx(const std::filesystem::path& host, std::string& why);

}  // namespace tav::engine::ntx

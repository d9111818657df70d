// What the engine tests, and the db, os, install, shell and tool tests beside them, share: a
// scratch directory that goes with the test, whole files read and written, the read-only fixtures
// of tests/data/xbase copied writable, and an index held in memory (FakeTag, FakeIndex) that orders
// as the real files do and counts maintenance calls, so the record layer is tested apart from the
// index files.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/index/index.h"
#include "engine/index/key_encoding.h"

namespace tav::test {

// A scratch directory removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
    // A new directory of a name no one has taken (mkdtemp's promise, on every platform).
    std::random_device seed;
    for (;;) {
      path_ = std::filesystem::temp_directory_path() /
              ("tav-engine-" + std::to_string(seed()) + std::to_string(seed()));
      std::error_code ec;
      if (std::filesystem::create_directory(path_, ec)) break;
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Copies a fixture of tests/data/xbase (read-only there) into `dir`, writable.
inline std::filesystem::path copyFixture(const TempDir& dir, const std::string& name) {
  auto to = dir / name;
  writeFile(to, readFile(std::filesystem::path(TAV_TEST_DATA) / "xbase" / name));
  return to;
}

// An index held in memory: a sorted list with one cursor, ordered as the real files order
// (collation for character keys, bytes otherwise, then record number). It also counts the
// maintenance calls, which is what the record layer's tests look at.
class FakeTag : public engine::IndexTag {
 public:
  FakeTag(std::string name, std::string expr, engine::KeyType type, size_t len)
      : name_(std::move(name)), expr_(std::move(expr)), type_(type), len_(len) {}
  const std::string& name() const override { return name_; }
  const std::string& keyExpression() const override { return expr_; }
  engine::KeyType keyType() const override { return type_; }
  size_t keyLength() const override { return len_; }
  uint32_t first() override {
    pos_ = 0;
    return at();
  }
  uint32_t last() override {
    pos_ = entries_.empty() ? 0 : entries_.size() - 1;
    return at();
  }
  uint32_t next() override {
    if (pos_ < entries_.size()) ++pos_;
    return at();
  }
  uint32_t prev() override {
    if (pos_ == 0 || pos_ > entries_.size()) {
      pos_ = entries_.size();
      return 0;
    }
    --pos_;
    return at();
  }
  uint32_t seek(std::string_view key, bool& found) override {
    pos_ = 0;
    while (pos_ < entries_.size() &&
           engine::compareKeys(type_, entries_[pos_].first.data(), key.data(), key.size()) < 0)
      ++pos_;
    found = pos_ < entries_.size() && entries_[pos_].first.compare(0, key.size(), key) == 0;
    return at();
  }
  bool locate(std::string_view key, uint32_t recno) override {
    for (pos_ = 0; pos_ < entries_.size(); ++pos_)
      if (entries_[pos_].first == key && entries_[pos_].second == recno) return true;
    return false;
  }
  std::string currentKey() const override {
    return pos_ < entries_.size() ? entries_[pos_].first : "";
  }
  void insert(std::string_view key, uint32_t recno) override {
    EXPECT_EQ(key.size(), len_);
    ++inserts;
    size_t i = 0;
    while (i < entries_.size() && less(entries_[i], {std::string(key), recno})) ++i;
    entries_.insert(entries_.begin() + static_cast<long>(i), {std::string(key), recno});
    pos_ = entries_.size();
  }
  bool remove(std::string_view key, uint32_t recno) override {
    ++removes;
    for (size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i].first == key && entries_[i].second == recno) {
        entries_.erase(entries_.begin() + static_cast<long>(i));
        pos_ = entries_.size();
        return true;
      }
    return false;
  }
  void build(const engine::KeySource& src) {
    entries_.clear();
    std::string k;
    uint32_t r;
    while (src(k, r)) entries_.push_back({k, r});
    std::stable_sort(entries_.begin(), entries_.end(),
                     [&](auto& a, auto& b) { return less(a, b); });
  }
  std::vector<uint32_t> order() const {
    std::vector<uint32_t> out;
    for (auto& e : entries_) out.push_back(e.second);
    return out;
  }
  size_t size() const { return entries_.size(); }
  int inserts = 0, removes = 0;

 private:
  using Entry = std::pair<std::string, uint32_t>;
  bool less(const Entry& a, const Entry& b) const {
    int c = engine::compareKeys(type_, a.first.data(), b.first.data(), len_);
    return c < 0 || (c == 0 && a.second < b.second);
  }
  uint32_t at() const { return pos_ < entries_.size() ? entries_[pos_].second : 0; }
  std::string name_, expr_;
  engine::KeyType type_;
  size_t len_;
  std::vector<Entry> entries_;
  size_t pos_ = 0;
};

class FakeIndex : public engine::IndexFile {
 public:
  explicit FakeIndex(std::string path) : path_(std::move(path)) {}
  const std::string& path() const override { return path_; }
  std::vector<engine::IndexTag*> tags() override {
    std::vector<engine::IndexTag*> out;
    for (auto& t : tags_) out.push_back(t.get());
    return out;
  }
  engine::IndexTag* tag(std::string_view name) override {
    for (auto& t : tags_)
      if (t->name() == name) return t.get();
    return nullptr;
  }
  engine::IndexTag* createTag(std::string_view name, std::string_view expr, engine::KeyType type,
                              size_t len, const engine::KeySource& src) override {
    ++builds;
    for (auto& t : tags_)
      if (t->name() == name) {
        t->build(src);
        return t.get();
      }
    tags_.push_back(std::make_unique<FakeTag>(std::string(name), std::string(expr), type, len));
    tags_.back()->build(src);
    return tags_.back().get();
  }
  void removeAll() override {
    for (auto& t : tags_) t->build([](std::string&, uint32_t&) { return false; });
  }
  void flush() override {}
  FakeTag* fake(size_t i) { return tags_.at(i).get(); }
  int builds = 0;

 private:
  std::string path_;
  std::vector<std::unique_ptr<FakeTag>> tags_;
};

}  // namespace tav::test

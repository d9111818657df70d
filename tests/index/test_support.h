// What the index tests share: scratch directories, writable copies of the xbase fixtures, a table
// reader of their own so that no fault of the table engine masks or fakes one of the index, and
// walks both ways, key sources and the order a model index is sorted in.
#pragma once
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/index/index.h"
#include "engine/index/key_encoding.h"

// Helpers for the index tests: a scratch directory per test and a deliberately tiny reader of
// fixed-width tables (header and record length from the header, fields by offset), so that
// these tests do not depend on the table engine.
namespace tav::test {

class ScratchDir {
 public:
  ScratchDir() {
    static int serial = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("tav-index-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // A writable copy of a fixture file.
  std::filesystem::path copy(const std::string& fixture) const {
    auto to = path_ / fixture;
    std::filesystem::copy_file(std::filesystem::path(TAV_TEST_DATA) / "xbase" / fixture, to,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(
        to, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    return to;
  }

 private:
  std::filesystem::path path_;
};

inline std::string readWhole(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Table {
  struct Field {
    std::string name;
    char type;
    size_t offset, length, decimals;
  };
  std::vector<Field> fields;
  std::vector<std::string> records;  // each with its deleted flag byte first

  explicit Table(const std::filesystem::path& p) {
    std::string d = readWhole(p);
    auto u16 = [&](size_t o) { return size_t(uint8_t(d[o])) | size_t(uint8_t(d[o + 1])) << 8; };
    size_t count = u16(4) | u16(6) << 16, header = u16(8), length = u16(10);
    size_t offset = 1;
    for (size_t f = 32; f + 32 <= header && d[f] != '\x0D'; f += 32) {
      Field fd{std::string(d.c_str() + f), d[f + 11], offset, size_t(uint8_t(d[f + 16])),
               size_t(uint8_t(d[f + 17]))};
      offset += fd.length;
      fields.push_back(fd);
    }
    for (size_t r = 0; r < count && header + (r + 1) * length <= d.size(); ++r)
      records.push_back(d.substr(header + r * length, length));
  }
  const Field& field(const std::string& name) const {
    for (const auto& f : fields)
      if (f.name == name) return f;
    throw std::runtime_error("no field " + name);
  }
  // Raw field text of record recno (1-based).
  std::string get(uint32_t recno, const std::string& name) const {
    const Field& f = field(name);
    return records.at(recno - 1).substr(f.offset, f.length);
  }
  bool deleted(uint32_t recno) const { return records.at(recno - 1)[0] == '*'; }
  uint32_t size() const { return static_cast<uint32_t>(records.size()); }
};

}  // namespace tav::test

// Walks and key sources shared by the index tests.
namespace tav::engine::indextest {

using Entry = std::pair<std::string, uint32_t>;

inline std::vector<Entry> walk(IndexTag& t) {
  std::vector<Entry> out;
  for (uint32_t r = t.first(); r != 0; r = t.next()) out.emplace_back(t.currentKey(), r);
  return out;
}

inline std::vector<Entry> walkBack(IndexTag& t) {
  std::vector<Entry> out;
  for (uint32_t r = t.last(); r != 0; r = t.prev()) out.emplace_back(t.currentKey(), r);
  std::reverse(out.begin(), out.end());
  return out;
}

// Feeds the entries of v (which must outlive the build) to a bulk build.
inline KeySource fromVector(const std::vector<Entry>& v) {
  auto i = std::make_shared<size_t>(0);
  return [&v, i](std::string& key, uint32_t& rec) {
    if (*i >= v.size()) return false;
    key = v[*i].first;
    rec = v[*i].second;
    ++*i;
    return true;
  };
}

// Index order: collation for character keys, bytes for the others, then record number.
struct Order {
  KeyType type;
  bool operator()(const Entry& a, const Entry& b) const {
    int c = compareKeys(type, a.first.data(), b.first.data(), a.first.size());
    return c != 0 ? c < 0 : a.second < b.second;
  }
};

}  // namespace tav::engine::indextest

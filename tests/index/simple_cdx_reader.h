// The second reader of the compound index tests. It shares no code with the engine, so that a fault
// in the pages the engine writes cannot hide behind the same fault in the reader that checks them.
#pragma once
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

// A second, deliberately plain reader of compound index files, written from the format notes
// alone and sharing nothing with the engine: it decodes every page itself, walks each tag's
// leaves once through the tree from the root and once along the sibling links of every level,
// and refuses a file on the first inconsistency. The tests read files the engine wrote with it.
namespace simplecdx {

struct Entry {
  std::string key;
  uint32_t rec;
  bool operator==(const Entry& o) const { return key == o.key && rec == o.rec; }
};

struct Tag {
  std::string name;
  uint32_t header = 0;
  std::string expr;
  std::string forExpr;
  unsigned keyLength = 0;
  unsigned options = 0;
  std::vector<Entry> entries;  // in stored order
};

class Reader {
 public:
  // fillers: the trailing filler per tag name (' ' when absent; 0 for numeric and date tags).
  Reader(std::string bytes, std::map<std::string, char> fillers = {})
      : d_(std::move(bytes)), fillers_(std::move(fillers)) {}

  std::vector<Tag> read() {
    need(d_.size() >= 1536, "file shorter than a header and a page");
    need(u8(14) == 0xE0, "file header options are not 0xE0");
    need(u8(15) == 1, "file header signature is not 1");
    need(u16(12) == 10, "tag names are not 10 bytes");
    std::vector<Entry> dir = walk(0, 10, ' ');
    std::vector<Tag> tags;
    for (const Entry& e : dir) {
      Tag t;
      t.name = e.key.substr(0, e.key.find_last_not_of(' ') + 1);
      t.header = e.rec;
      need(t.header % 512 == 0 && t.header + 1024 <= d_.size(), "tag header outside the file");
      t.keyLength = u16(t.header + 12);
      t.options = u8(t.header + 14);
      need(t.keyLength >= 1 && t.keyLength <= 240, "key length out of range");
      need(u8(t.header + 15) == 1, "tag signature is not 1");
      for (unsigned i = 494; i < 502; ++i)
        need(u8(t.header + i) == 0, "collation name bytes are not zero");
      t.expr = pool(t.header, u16(t.header + 508), u16(t.header + 510));
      t.forExpr = pool(t.header, u16(t.header + 504), u16(t.header + 506));
      auto f = fillers_.find(t.name);
      t.entries = walk(t.header, t.keyLength, f == fillers_.end() ? ' ' : f->second);
      tags.push_back(t);
    }
    // Listing order is creation order, which is header order.
    std::sort(tags.begin(), tags.end(),
              [](const Tag& a, const Tag& b) { return a.header < b.header; });
    return tags;
  }

 private:
  static void need(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
  }
  unsigned u8(size_t o) const {
    need(o < d_.size(), "read past the end");
    return static_cast<unsigned char>(d_[o]);
  }
  unsigned u16(size_t o) const { return u8(o) | u8(o + 1) << 8; }
  uint32_t le32(size_t o) const { return u16(o) | static_cast<uint32_t>(u16(o + 2)) << 16; }
  uint32_t be32(size_t o) const {
    return static_cast<uint32_t>(u8(o)) << 24 | u8(o + 1) << 16 | u8(o + 2) << 8 | u8(o + 3);
  }
  std::string pool(uint32_t header, unsigned off, unsigned len) const {
    need(off + len <= 512, "expression outside the pool");
    std::string s = d_.substr(header + 512 + off, len);
    return s.substr(0, s.find('\0'));
  }

  struct Page {
    unsigned attr;
    uint32_t left, right;
    std::vector<Entry> entries;
    std::vector<uint32_t> children;
  };

  Page page(uint32_t at, unsigned keyLength, char filler) const {
    need(at % 512 == 0 && at >= 512 && at + 512 <= d_.size(), "page pointer outside the file");
    Page p;
    p.attr = u16(at);
    unsigned count = u16(at + 2);
    p.left = le32(at + 4);
    p.right = le32(at + 8);
    need(p.attr <= 3, "bad node attributes");
    if (!(p.attr & 2)) {
      need(12 + count * (keyLength + 8) <= 512, "interior count too large");
      for (unsigned i = 0; i < count; ++i) {
        size_t e = at + 12 + i * (keyLength + 8);
        p.entries.push_back({d_.substr(e, keyLength), be32(e + keyLength)});
        p.children.push_back(be32(e + keyLength + 4));
      }
      return p;
    }
    uint32_t recMask = le32(at + 14);
    unsigned dupMask = u8(at + 18), trailMask = u8(at + 19);
    unsigned recBits = u8(at + 20), dupBits = u8(at + 21), bytes = u8(at + 23);
    need(bytes >= 1 && bytes <= 8, "bad entry width");
    need(24 + count * bytes <= 512, "leaf count too large");
    unsigned free = u16(at + 12);
    size_t end = at + 512;
    std::string prev;
    size_t used = 0;
    for (unsigned i = 0; i < count; ++i) {
      uint64_t v = 0;
      for (unsigned b = 0; b < bytes; ++b)
        v |= static_cast<uint64_t>(u8(at + 24 + i * bytes + b)) << (8 * b);
      uint32_t rec = static_cast<uint32_t>(v & recMask);
      unsigned dup = static_cast<unsigned>((v >> recBits) & dupMask);
      unsigned trail = static_cast<unsigned>((v >> (recBits + dupBits)) & trailMask);
      need(dup + trail <= keyLength, "duplicate and trailing counts exceed the key");
      need(i > 0 || dup == 0, "first key shares bytes with nothing");
      unsigned stored = keyLength - dup - trail;
      used += stored;
      need(24 + count * bytes + used <= 512, "key bytes overlap the entries");
      end -= stored;
      std::string key = prev.substr(0, dup) + d_.substr(end, stored) + std::string(trail, filler);
      p.entries.push_back({key, rec});
      prev = key;
    }
    need(free == 512 - 24 - count * bytes - used, "free byte count is wrong");
    return p;
  }

  // Both walks of one tree; they must agree entry for entry.
  std::vector<Entry> walk(uint32_t header, unsigned keyLength, char filler) {
    uint32_t root = le32(header);
    leafDepths_.clear();
    std::vector<std::vector<uint32_t>> levels;
    std::vector<Entry> viaTree;
    std::set<uint32_t> seen;
    descend(root, 0, keyLength, filler, true, levels, viaTree, seen);
    // Along the siblings: every level, left to right, from its first node.
    std::vector<Entry> viaSiblings;
    for (size_t lvl = 0; lvl < levels.size(); ++lvl) {
      std::vector<uint32_t> chain;
      uint32_t at = levels[lvl].front(), prev = 0xFFFFFFFF;
      while (at != 0xFFFFFFFF) {
        need(chain.size() <= seen.size(), "sibling links loop");
        Page p = page(at, keyLength, filler);
        need(p.left == prev, "left sibling link does not point back");
        chain.push_back(at);
        if (lvl + 1 == levels.size())
          viaSiblings.insert(viaSiblings.end(), p.entries.begin(), p.entries.end());
        prev = at;
        at = p.right;
      }
      need(chain == levels[lvl], "sibling chain differs from the tree's level");
    }
    need(viaTree == viaSiblings, "leaf entries differ between tree and sibling walks");
    return viaTree;
  }

  void descend(uint32_t at, size_t depth, unsigned keyLength, char filler, bool isRoot,
               std::vector<std::vector<uint32_t>>& levels, std::vector<Entry>& out,
               std::set<uint32_t>& seen) {
    need(depth < 32, "tree too deep");
    need(seen.insert(at).second, "page reached twice");
    Page p = page(at, keyLength, filler);
    need(((p.attr & 1) != 0) == isRoot, "root attribute wrong");
    if (levels.size() <= depth) levels.resize(depth + 1);
    levels[depth].push_back(at);
    if (p.attr & 2) {
      out.insert(out.end(), p.entries.begin(), p.entries.end());
      leafDepths_.insert(depth);
      need(leafDepths_.size() == 1, "leaves at different depths");
      return;
    }
    need(!p.entries.empty(), "empty interior node");
    for (size_t i = 0; i < p.entries.size(); ++i) {
      size_t before = out.size();
      descend(p.children[i], depth + 1, keyLength, filler, false, levels, out, seen);
      need(out.size() > before, "interior entry over an empty child");
      need(out.back() == p.entries[i], "interior entry differs from its child's last entry");
    }
  }

  std::string d_;
  std::map<std::string, char> fillers_;
  std::set<size_t> leafDepths_;
};

}  // namespace simplecdx

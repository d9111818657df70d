// Compound index files: the tag directory, tag trees, cached pages and the index lock. A page that
// cannot be trusted is reported as a damaged index, never followed; every change is on disk and the
// tag's change counter bumped before a call returns, so other workstations' caches see it.

#include "engine/cdx/cdx_file.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <unordered_set>

#include "engine/index/bulk_build.h"
#include "engine/index/key_encoding.h"
#include "engine/index/key_sorter.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/coding.h"
#include "runtime/collation.h"

namespace tav::engine::cdx {
namespace {

constexpr size_t kCacheLimit = 4096;  // decoded pages kept per tag between calls
constexpr size_t kNoEntry = static_cast<size_t>(-1);

std::string upperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string trimName(const char* p, size_t n) {
  std::string s(p, n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// Reads an expression out of the pool; empty when its offset or length leaves the pool.
std::string poolText(const uint8_t* h, size_t offsetField, size_t lengthField) {
  size_t off = rt::getLE16(h + offsetField), len = rt::getLE16(h + lengthField);
  if (off >= hdr::poolSize || len > hdr::poolSize - off) return std::string();
  const char* p = reinterpret_cast<const char*>(h + hdr::pool + off);
  return std::string(p, strnlen(p, len));
}

bool bareName(std::string_view expr) {
  for (char c : expr)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '>' ||
          c == ' '))
      return false;
  return !expr.empty();
}

// Batches pages that follow one another into single writes.
class PageWriter {
 public:
  explicit PageWriter(std::function<void(uint64_t, const void*, size_t)> write)
      : write_(std::move(write)) {}
  uint8_t* page(uint32_t offset) {
    if (!pending_.empty() && offset != start_ + pending_.size()) flush();
    if (pending_.empty()) start_ = offset;
    if (pending_.size() >= (256u * kPage)) {
      flush();
      start_ = offset;
    }
    pending_.resize(pending_.size() + kPage);
    return reinterpret_cast<uint8_t*>(pending_.data() + pending_.size() - kPage);
  }
  void flush() {
    if (!pending_.empty()) write_(start_, pending_.data(), pending_.size());
    pending_.clear();
  }

 private:
  std::function<void(uint64_t, const void*, size_t)> write_;
  uint64_t start_ = 0;
  std::string pending_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// CdxTag

CdxTag::CdxTag(CdxFile& file, uint32_t headerOffset)
    : PageTag(file, kCacheLimit), file_(file), header_(headerOffset) {}

void CdxTag::setType(KeyType t) {
  type_ = t;
  filler_ = t == KeyType::Character ? ' ' : '\0';
  collate_ = t == KeyType::Character;
}

bool CdxTag::loadHeader(std::string& why, const KeyTypeResolver& resolver) {
  uint8_t h[kHeaderBytes];
  if (header_ % kPage != 0 || header_ + uint64_t{kHeaderBytes} > file_.fileEnd_ ||
      !file_.file_.readAt(header_, h, sizeof h)) {
    why = "tag header out of the file";
    return false;
  }
  root_ = rt::getLE32(h + hdr::root);
  counter_ = rt::getLE32(h + hdr::counter);
  keyLength_ = rt::getLE16(h + hdr::keyLength);
  options_ = h[hdr::options];
  descending_ = rt::getLE16(h + hdr::descending) != 0;
  if (keyLength_ == 0 || keyLength_ > kMaxKeyLength) {
    why = "tag key length out of range";
    return false;
  }
  if (!file_.validPage(root_)) {
    why = "tag root out of the file";
    return false;
  }
  expr_ = poolText(h, hdr::keyOffset, hdr::keyExprLength);
  forExpr_ = poolText(h, hdr::forOffset, hdr::forLength);
  pages_.drop();
  if (header_ == 0) {  // the directory: tag names in plain byte order
    type_ = KeyType::Character;
    filler_ = ' ';
    collate_ = false;
    return true;
  }
  std::optional<KeyType> t;
  if (resolver) t = resolver(expr_, keyLength_);
  if (t) {
    setType(*t);
  } else {
    setType(KeyType::Character);
    if (keyLength_ == 8 && (bareName(expr_) || upperAscii(expr_).rfind("DESCEND(", 0) == 0)) {
      try {
        setType(guessType());
      } catch (const Damaged& d) {
        why = d.why;
        return false;
      }
    }
  }
  detectDialect();
  return true;
}

// Which case function, if any, the whole key expression is the result of: 'U' for
// UPPER(...), 'L' for LOWER(...), 0 otherwise (quoted text may hold parentheses).
static char wholeCaseFunction(std::string_view expr) {
  std::string e = upperAscii(expr);
  while (!e.empty() && e.back() == ' ') e.pop_back();
  size_t from = e.find_first_not_of(' ');
  if (from == std::string::npos) return 0;
  e.erase(0, from);
  char which = e.rfind("UPPER(", 0) == 0 ? 'U' : e.rfind("LOWER(", 0) == 0 ? 'L' : 0;
  if (!which || e.back() != ')') return 0;
  int depth = 0;
  char quote = 0;
  for (size_t i = 5; i < e.size(); ++i) {
    char c = e[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      return i + 1 == e.size() ? which : 0;
    }
  }
  return 0;
}

// Character tags that another engine built without the national collation hold their keys in
// plain byte order, and their upper()/lower() changed only a-z / A-Z. Only the pages along the
// tree's two edges (the root and every node down to the first and to the last leaf) are looked
// at, as tables open often. The first pair of adjacent keys that the two orders put differently
// decides. When the orders agree on every pair seen, a key of a tag whose whole expression is
// UPPER(...) (LOWER(...)) holding a letter our upper() (lower()) would have changed tells the
// same. Otherwise the tag counts as ours, which is never wrong for a tag we built: none of its
// pairs is in byte order only, and our case functions leave no such letter. A damaged page
// leaves the question to the operation that meets it.
void CdxTag::detectDialect() {
  plain_ = false;
  if (!collate_ || header_ == 0) return;
  const char caseFn = wholeCaseFunction(expr_);
  bool caseSign = false;
  try {
    for (bool fromEnd : {false, true}) {
      uint32_t page = root_;
      for (size_t depth = 0; depth < kMaxDepth; ++depth) {
        const Node& n = node(page);
        if (depth > 0 || !fromEnd) {
          for (size_t i = 0; i < n.count(); ++i) {
            const char* b = n.key(i, keyLength_);
            if (caseFn && !caseSign) {
              for (size_t j = 0; j < keyLength_ && !caseSign; ++j)
                caseSign = (caseFn == 'U' ? rt::upperChar(b[j]) : rt::lowerChar(b[j])) != b[j];
            }
            if (i == 0) continue;
            const char* a = n.key(i - 1, keyLength_);
            int bytes = std::memcmp(a, b, keyLength_);
            int collated = rt::collateKeys(a, b, keyLength_);
            if ((bytes < 0 && collated > 0) || (bytes > 0 && collated < 0)) {
              plain_ = bytes < 0;
              pages_.forget();
              return;
            }
          }
        }
        if (n.leaf || n.count() == 0) break;
        page = fromEnd ? n.children.back() : n.children.front();
      }
    }
    plain_ = caseSign;
  } catch (const Damaged&) {
    plain_ = false;
  }
  pages_.forget();
}

// The file does not say whether an 8-byte key is text or a number: numbers and dates are
// encoded doubles, which carry bytes below 0x20 that no text key holds, and dates fall in the
// Julian day range 2^21..2^22 (first bytes 0xC1 0x4x, or 0x80 0... for the empty date).
KeyType CdxTag::guessType() {
  setType(KeyType::Numeric);  // decode with 0x00 filler
  std::vector<std::string> sample;
  for (bool fromEnd : {false, true}) {
    uint32_t page = root_;
    for (size_t depth = 0; depth < kMaxDepth; ++depth) {
      const Node& n = node(page);
      if (n.leaf) {
        for (size_t i = 0; i < n.count(); ++i) sample.emplace_back(n.key(i, 8), 8);
        break;
      }
      if (n.count() == 0) break;
      page = fromEnd ? n.children.back() : n.children.front();
    }
  }
  pages_.forget();
  bool binary = false, dates = !sample.empty();
  for (const std::string& k : sample) {
    for (unsigned char c : k)
      if (c < 0x20) binary = true;
    auto b0 = static_cast<uint8_t>(k[0]), b1 = static_cast<uint8_t>(k[1]);
    bool emptyDate = b0 == 0x80 && k.find_first_not_of('\0', 1) == std::string::npos;
    if (!emptyDate && !(b0 == 0xC1 && (b1 & 0xF0) == 0x40)) dates = false;
  }
  if (!binary) return KeyType::Character;
  return dates ? KeyType::Date : KeyType::Numeric;
}

Node& CdxTag::node(uint32_t page) {
  return pages_.get(page, [this](uint32_t at) {
    uint8_t buf[kPage];
    file_.readPage(at, buf);
    auto n = std::make_unique<Node>();
    std::string why;
    if (!decodeNode(buf, keyLength_, filler_, *n, why))
      throw Damaged{"tag " + name_ + ", page " + std::to_string(at) + ": " + why};
    n->offset = at;
    return n;
  });
}

Node& CdxTag::dirty(uint32_t page) {
  Node& n = node(page);
  pages_.markDirty(page);
  return n;
}

// Every comparison of the tag's keys comes here: seek, insert, remove and navigation all order
// the keys as the tag's builder did.
int CdxTag::compare(const char* a, const char* b, size_t n) const {
  if (collate_ && !plain_) return rt::collateKeys(a, b, n);
  return std::memcmp(a, b, n);
}

int CdxTag::compareEntry(const Node& n, size_t i, const char* key, size_t len, uint32_t rec,
                         Match m) const {
  int c = compare(n.key(i, keyLength_), key, len);
  if (c != 0 || m == Match::Prefix) return c;
  return n.recs[i] < rec ? -1 : n.recs[i] > rec ? 1 : 0;
}

std::vector<CdxTag::Step> CdxTag::descend(const char* key, size_t len, uint32_t rec, Match m) {
  std::vector<Step> path;
  uint32_t page = root_;
  for (size_t depth = 0; depth < kMaxDepth; ++depth) {
    const Node& n = node(page);
    size_t lo = firstNotBelow(n.count(),
                              [&](size_t i) { return compareEntry(n, i, key, len, rec, m) < 0; });
    if (n.leaf) {
      path.push_back({page, lo});
      return path;
    }
    if (n.count() == 0) throw Damaged{"tag " + name_ + ": empty interior node"};
    if (lo == n.count()) lo = n.count() - 1;
    path.push_back({page, lo});
    page = n.children[lo];
  }
  throw Damaged{"tag " + name_ + ": tree deeper than any valid one"};
}

uint32_t CdxTag::positionAt(uint32_t page, size_t index) {
  const Node& n = node(page);
  positioned_ = true;
  curPage_ = page;
  curIndex_ = index;
  curKey_.assign(n.key(index, keyLength_), keyLength_);
  curRec_ = n.recs[index];
  curGeneration_ = pages_.generation();
  return curRec_;
}

// Moves along the leaf level from (page, index) to the nearest entry in the given direction,
// following sibling links over empty leaves; index may be one past either end.
uint32_t CdxTag::settle(std::vector<Step>& path, bool forward) {
  uint32_t page = path.back().page;
  long index = static_cast<long>(path.back().index);
  size_t hops = file_.fileEnd_ / kPage + 1;
  while (hops--) {
    const Node& n = node(page);
    if (!n.leaf) throw Damaged{"tag " + name_ + ": sibling link leaves the leaf level"};
    if (index >= 0 && static_cast<size_t>(index) < n.count())
      return positionAt(page, static_cast<size_t>(index));
    uint32_t to = forward ? n.right : n.left;
    if (to == kNone) {
      positioned_ = false;
      return 0;
    }
    // A walk in one direction crosses each leaf once: more crossings than the file has pages
    // mean the sibling links go round in a circle, and the walk would never end.
    if (forward != walkForward_) {
      walkForward_ = forward;
      leavesCrossed_ = 0;
    }
    if (++leavesCrossed_ > file_.fileEnd_ / kPage + 1)
      throw Damaged{"tag " + name_ + ": sibling links form a loop"};
    page = to;
    index = forward ? 0 : static_cast<long>(node(page).count()) - 1;
  }
  throw Damaged{"tag " + name_ + ": sibling links form a loop"};
}

uint32_t CdxTag::edge(bool lastEntry) {
  leavesCrossed_ = 0;
  uint32_t page = root_;
  for (size_t depth = 0; depth < kMaxDepth; ++depth) {
    const Node& n = node(page);
    if (n.leaf) {
      // An empty edge leaf (index -1 going left) is stepped over by settle.
      std::vector<Step> path{{page, lastEntry ? n.count() - 1 : 0}};
      return settle(path, !lastEntry);
    }
    if (n.count() == 0) throw Damaged{"tag " + name_ + ": empty interior node"};
    page = lastEntry ? n.children.back() : n.children.front();
  }
  throw Damaged{"tag " + name_ + ": tree deeper than any valid one"};
}

// After a change of the tag the cached position may name a page that moved: find the entry
// again by its key and record. True when it is still there; otherwise the position is the first
// entry after it (index may be past the leaf's end).
bool CdxTag::reposition() {
  auto path = descend(curKey_.data(), keyLength_, curRec_, Match::Entry);
  const Step& s = path.back();
  const Node& n = node(s.page);
  curPage_ = s.page;
  curIndex_ = s.index;
  curGeneration_ = pages_.generation();
  return s.index < n.count() && n.recs[s.index] == curRec_ &&
         std::memcmp(n.key(s.index, keyLength_), curKey_.data(), keyLength_) == 0;
}

uint32_t CdxTag::step(bool forward) {
  if (forward) {
    bool exact = curGeneration_ == pages_.generation() || reposition();
    std::vector<Step> path{{curPage_, exact ? curIndex_ + 1 : curIndex_}};
    return settle(path, true);
  }
  if (curGeneration_ != pages_.generation()) reposition();
  // Index 0 wraps to -1, which settle takes as "the left sibling's last entry".
  std::vector<Step> path{{curPage_, curIndex_ - 1}};
  return settle(path, false);
}

uint32_t CdxTag::seekAt(std::string_view key, bool& found) {
  leavesCrossed_ = 0;
  auto path = descend(key.data(), key.size(), 0, Match::Prefix);
  uint32_t rec = settle(path, true);
  found = rec != 0 && std::memcmp(curKey_.data(), key.data(), key.size()) == 0;
  return rec;
}

bool CdxTag::locateAt(const std::string& k, uint32_t recno) {
  auto path = descend(k.data(), keyLength_, recno, Match::Entry);
  uint32_t rec = settle(path, true);
  if (rec == recno && curKey_ == k) return true;
  positioned_ = false;
  return false;
}

bool CdxTag::fits(const Node& n) {
  if (!n.leaf) return n.count() <= interiorCapacity(keyLength_);
  LeafPacker p(keyLength_, filler_);
  for (size_t i = 0; i < n.count(); ++i)
    if (!p.add(n.key(i, keyLength_), n.recs[i])) return false;
  return true;
}

// Moves the upper half of n into a new page linked in to its right; returns that page.
uint32_t CdxTag::split(Node& n, size_t inserted) {
  uint32_t mp = file_.allocPage();
  auto m = std::make_unique<Node>();
  // Keys added in ascending order (appended records) fill pages instead of leaving them half
  // empty: when the new entry is the node's last, only it moves to the new page.
  size_t half = inserted + 1 == n.count() ? n.count() - 1 : n.count() / 2;
  m->offset = mp;
  m->leaf = n.leaf;
  m->root = false;
  m->keys.assign(n.keys, half * keyLength_, std::string::npos);
  m->recs.assign(n.recs.begin() + static_cast<long>(half), n.recs.end());
  if (!n.leaf) m->children.assign(n.children.begin() + static_cast<long>(half), n.children.end());
  n.keys.resize(half * keyLength_);
  n.recs.resize(half);
  if (!n.leaf) n.children.resize(half);
  m->left = n.offset;
  m->right = n.right;
  if (n.right != kNone) dirty(n.right).left = mp;
  n.right = mp;
  bool ok = fits(*m) && fits(n);
  pages_.add(mp, std::move(m));
  if (!ok) throw Damaged{"tag " + name_ + ": a node cannot be split to fit"};
  return mp;
}

// Restores the invariants along the path from a changed leaf to the root: empty nodes leave
// the tree, overfull ones split, and every parent entry equals its child's last entry.
void CdxTag::fixUp(std::vector<Step>& path, size_t inserted) {
  auto setEntry = [this](Node& parent, size_t i, const Node& child) {
    size_t last = child.count() - 1;
    std::memcpy(parent.keys.data() + i * keyLength_, child.key(last, keyLength_), keyLength_);
    parent.recs[i] = child.recs[last];
    parent.children[i] = child.offset;
  };
  auto insertEntry = [this](Node& parent, size_t i, const Node& child) {
    size_t last = child.count() - 1;
    parent.keys.insert(i * keyLength_, child.key(last, keyLength_), keyLength_);
    parent.recs.insert(parent.recs.begin() + static_cast<long>(i), child.recs[last]);
    parent.children.insert(parent.children.begin() + static_cast<long>(i), child.offset);
  };
  for (size_t lvl = path.size(); lvl-- > 0;) {
    uint32_t page = path[lvl].page;
    Node& n = dirty(page);
    bool isRoot = lvl == 0;
    if (n.count() == 0) {
      if (isRoot) {
        n.leaf = true;
        n.children.clear();
        continue;
      }
      if (n.left != kNone) dirty(n.left).right = n.right;
      if (n.right != kNone) dirty(n.right).left = n.left;
      Node& parent = dirty(path[lvl - 1].page);
      size_t pi = path[lvl - 1].index;
      parent.keys.erase(pi * keyLength_, keyLength_);
      parent.recs.erase(parent.recs.begin() + static_cast<long>(pi));
      parent.children.erase(parent.children.begin() + static_cast<long>(pi));
      pages_.erase(page);
      file_.freePage(page);
      continue;
    }
    size_t hot = inserted;
    inserted = kNoEntry;
    if (!fits(n)) {
      uint32_t mp = split(n, hot);
      Node& m = node(mp);
      if (isRoot) {
        uint32_t rp = file_.allocPage();
        auto r = std::make_unique<Node>();
        r->offset = rp;
        r->leaf = false;
        r->root = true;
        n.root = false;
        insertEntry(*r, 0, n);
        insertEntry(*r, 1, m);
        pages_.add(rp, std::move(r));
        root_ = rp;
        rootChanged_ = true;
      } else {
        Node& parent = dirty(path[lvl - 1].page);
        size_t pi = path[lvl - 1].index;
        setEntry(parent, pi, n);
        insertEntry(parent, pi + 1, m);
        inserted = pi + 1;
      }
      continue;
    }
    if (!isRoot) setEntry(dirty(path[lvl - 1].page), path[lvl - 1].index, n);
  }
  // A root left with one child hands the root over to it.
  for (size_t depth = 0; depth < kMaxDepth; ++depth) {
    Node& r = node(root_);
    if (r.leaf || r.count() != 1) break;
    uint32_t old = root_, child = r.children[0];
    Node& c = dirty(child);
    c.root = true;
    c.left = c.right = kNone;
    root_ = child;
    rootChanged_ = true;
    pages_.erase(old);
    file_.freePage(old);
  }
}

void CdxTag::writeChanges() {
  uint8_t buf[kPage];
  for (uint32_t page : pages_.dirty()) {
    Node& n = pages_.at(page);
    n.root = page == root_;
    if (n.leaf) {
      if (!encodeLeaf(n, keyLength_, filler_, buf))
        throw Damaged{"tag " + name_ + ": leaf overflow"};
    } else {
      encodeInterior(n, keyLength_, buf);
    }
    file_.write(page, buf, kPage);
  }
  pages_.clean();
  ++counter_;
  uint8_t field[4];
  if (rootChanged_) {
    rt::putLE32(field, root_);
    file_.write(header_ + hdr::root, field, 4);
    rootChanged_ = false;
  }
  rt::putLE32(field, counter_);
  file_.write(header_ + hdr::counter, field, 4);
  file_.writeFreeList();
  pages_.bump();
}

bool CdxTag::insertAt(const std::string& k, uint32_t recno) {
  auto path = descend(k.data(), keyLength_, recno, Match::Entry);
  Node& leafNode = dirty(path.back().page);
  size_t i = path.back().index;
  if (i < leafNode.count() && leafNode.recs[i] == recno &&
      std::memcmp(leafNode.key(i, keyLength_), k.data(), keyLength_) == 0) {
    pages_.clean();
    return false;  // already present: an entry is kept once
  }
  leafNode.keys.insert(i * keyLength_, k);
  leafNode.recs.insert(leafNode.recs.begin() + static_cast<long>(i), recno);
  fixUp(path, i);
  writeChanges();
  return true;
}

bool CdxTag::removeAt(const std::string& k, uint32_t recno) {
  auto path = descend(k.data(), keyLength_, recno, Match::Entry);
  Node& leafNode = node(path.back().page);
  size_t i = path.back().index;
  if (i >= leafNode.count() || leafNode.recs[i] != recno ||
      std::memcmp(leafNode.key(i, keyLength_), k.data(), keyLength_) != 0)
    return false;
  pages_.markDirty(path.back().page);
  leafNode.keys.erase(i * keyLength_, keyLength_);
  leafNode.recs.erase(leafNode.recs.begin() + static_cast<long>(i));
  fixUp(path, kNoEntry);
  writeChanges();
  return true;
}

void CdxTag::collectPages(std::vector<uint32_t>& out) {
  std::unordered_set<uint32_t> seen;
  std::deque<uint32_t> todo{root_};
  size_t limit = file_.fileEnd_ / kPage + 1;
  while (!todo.empty()) {
    uint32_t p = todo.front();
    todo.pop_front();
    if (!seen.insert(p).second) throw Damaged{"tag " + name_ + ": a page is reached twice"};
    if (seen.size() > limit) throw Damaged{"tag " + name_ + ": more pages than the file holds"};
    out.push_back(p);
    const Node& n = node(p);
    if (!n.leaf)
      for (uint32_t c : n.children) todo.push_back(c);
  }
  pages_.forget();
}

// ---------------------------------------------------------------------------------------------
// CdxFile

CdxFile::CdxFile() : PageFile({kPage, kPage, kIndexLockOffset}) {}

uint32_t CdxFile::freeLink(uint32_t page) {
  uint8_t link[4];
  return file_.readAt(page, link, 4) ? rt::getLE32(link) : 0;
}

void CdxFile::formatFreePage(uint8_t* page, uint32_t next) const { rt::putLE32(page, next); }

void CdxFile::writeFreeList() {
  if (!freeChanged_) return;
  uint8_t field[4];
  rt::putLE32(field, freeHead_);
  write(hdr::freeList, field, 4);
  freeChanged_ = false;
}

std::unique_ptr<IndexFile> openCdx(const std::filesystem::path& host, bool readOnly,
                                   std::string& why, const KeyTypeResolver& resolver) {
  std::unique_ptr<CdxFile> f(new CdxFile);
  f->resolver_ = resolver;
  if (!f->openFile(host, readOnly, kHeaderBytes + kPage, "a compound index", why)) return nullptr;
  if (!f->loadTags(why)) {
    why = os::oemText(host) + ": " + why;
    return nullptr;
  }
  return f;
}

bool CdxFile::loadTags(std::string& why) {
  uint8_t h[16];
  if (!file_.readAt(0, h, sizeof h)) {
    why = "cannot read the header";
    return false;
  }
  setFreeHead(rt::getLE32(h + hdr::freeList));
  if (!directory_) directory_ = std::make_unique<CdxTag>(*this, 0);
  if (!directory_->loadHeader(why, resolver_)) return false;
  if (directory_->keyLength_ != kTagNameLength) {
    why =
        "not a compound index (tag names of length " + std::to_string(directory_->keyLength_) + ")";
    return false;
  }
  std::vector<std::pair<std::string, uint32_t>> found;
  try {
    CdxTag& d = *directory_;
    size_t limit = fileEnd_ / kHeaderBytes + 1;
    error_.clear();
    for (d.edge(false); d.positioned_; d.next()) {
      found.emplace_back(trimName(d.curKey_.data(), d.curKey_.size()), d.curRec_);
      if (found.size() > limit) {
        why = "the tag directory lists more tags than the file can hold";
        return false;
      }
    }
    if (!error_.empty()) {
      why = error_;
      return false;
    }
  } catch (const Damaged& d) {
    why = d.why;
    return false;
  }
  std::vector<std::unique_ptr<CdxTag>> tags;
  for (auto& [name, off] : found) {
    std::unique_ptr<CdxTag> t;
    for (auto& old : tags_)
      if (old && old->header_ == off) t = std::move(old);
    if (!t) t = std::make_unique<CdxTag>(*this, off);
    if (off == 0 || !t->loadHeader(why, resolver_)) {
      why = "tag " + name + ": " + (off == 0 ? std::string("header at offset 0") : why);
      return false;
    }
    t->name_ = name;
    tags.push_back(std::move(t));
  }
  std::sort(tags.begin(), tags.end(),
            [](const auto& a, const auto& b) { return a->header_ < b->header_; });
  tags_ = std::move(tags);
  return true;
}

std::unique_ptr<IndexFile> createCdx(const std::filesystem::path& host, std::string& why) {
  std::unique_ptr<CdxFile> f(new CdxFile);
  if (!f->createFile(host, why)) return nullptr;
  uint8_t buf[kHeaderBytes + kPage] = {};
  rt::putLE32(buf + hdr::root, kHeaderBytes);
  rt::putLE16(buf + hdr::keyLength, kTagNameLength);
  buf[hdr::options] = opt::structural | opt::compound | opt::compact;
  buf[hdr::signature] = 1;
  rt::putLE16(buf + hdr::forOffset, 1);
  rt::putLE16(buf + hdr::forLength, 1);
  rt::putLE16(buf + hdr::keyOffset, 0);
  rt::putLE16(buf + hdr::keyExprLength, 1);
  LeafPacker(kTagNameLength, ' ').write(buf + kHeaderBytes, true, kNone, kNone);
  if (!f->file_.writeAt(0, buf, sizeof buf)) {
    why = "cannot write " + os::oemText(host);
    return nullptr;
  }
  f->fileEnd_ = sizeof buf;
  if (!f->loadTags(why)) return nullptr;
  return f;
}

std::vector<IndexTag*> CdxFile::tags() {
  std::vector<IndexTag*> out;
  for (auto& t : tags_) out.push_back(t.get());
  return out;
}

CdxTag* CdxFile::cdxTag(std::string_view name) {
  std::string n = upperAscii(name);
  while (!n.empty() && n.back() == ' ') n.pop_back();
  for (auto& t : tags_)
    if (upperAscii(t->name_) == n) return t.get();
  return nullptr;
}

IndexTag* CdxFile::tag(std::string_view name) { return cdxTag(name); }

void CdxFile::writeTagHeader(CdxTag& t) {
  uint8_t h[kHeaderBytes] = {};
  rt::putLE32(h + hdr::root, t.root_);
  rt::putLE32(h + hdr::counter, t.counter_);
  rt::putLE16(h + hdr::keyLength, static_cast<uint16_t>(t.keyLength_));
  h[hdr::options] = t.options_;
  h[hdr::signature] = 1;
  rt::putLE16(h + hdr::descending, t.descending_ ? 1 : 0);
  size_t keyLen = t.expr_.size() + 1, forLen = t.forExpr_.size() + 1;
  std::memcpy(h + hdr::pool, t.expr_.data(), t.expr_.size());
  std::memcpy(h + hdr::pool + keyLen, t.forExpr_.data(), t.forExpr_.size());
  rt::putLE16(h + hdr::keyOffset, 0);
  rt::putLE16(h + hdr::keyExprLength, static_cast<uint16_t>(keyLen));
  rt::putLE16(h + hdr::forOffset, static_cast<uint16_t>(keyLen));
  rt::putLE16(h + hdr::forLength, static_cast<uint16_t>(forLen));
  write(t.header_, h, sizeof h);
}

namespace {

// The pages of one tag's tree built on a worker before its place in the file is known: numbered
// from 0 in the order the build takes them, so that moving every page pointer by the first
// page's offset gives exactly the pages a build straight into the file writes there.
class PageImage {
 public:
  // Set aside at once, so that the image is not copied as it grows; from the system, as a
  // sorter's buffers are (key_sorter.h).
  void reserve(uint64_t bytes) { bytes_.reserve(static_cast<size_t>(bytes)); }
  uint32_t alloc() {
    bytes_.resize(bytes_.size() + kPage);
    return static_cast<uint32_t>(bytes_.size() - kPage);
  }
  uint8_t* page(uint32_t offset) { return reinterpret_cast<uint8_t*>(bytes_.data() + offset); }
  void flush() {}
  size_t size() const { return bytes_.size(); }
  const char* data() const { return bytes_.data(); }
  // Moves the sibling links and the children of interior entries by base.
  void rebase(uint32_t base, size_t keyLength) {
    for (size_t at = 0; at < bytes_.size(); at += kPage) {
      auto* p = reinterpret_cast<uint8_t*>(bytes_.data() + at);
      for (size_t link : {node::left, node::right})
        if (uint32_t v = rt::getLE32(p + link); v != kNone) rt::putLE32(p + link, v + base);
      if (rt::getLE16(p + node::attributes) & node::leafBit) continue;
      size_t count = rt::getLE16(p + node::count);
      uint8_t* e = p + node::interiorEntries + keyLength + 4;
      for (size_t i = 0; i < count; ++i, e += keyLength + 8) rt::putBE32(e, rt::getBE32(e) + base);
    }
  }

 private:
  std::vector<char, KeySorter::SystemPages<char>> bytes_;
};

// Writes the sorted keys as leaves left to right, then each interior level from the one below,
// taking pages from alloc in that order; returns the root. No key is inserted one at a time.
template <class Alloc, class Sink>
uint32_t writeTree(KeyFeed& feed, Alloc alloc, Sink& out) {
  const size_t len = feed.keyLength();
  std::string key(len, feed.filler());
  uint32_t rec = 0;
  std::string upperKeys;
  std::vector<uint32_t> upperRecs, upperPages;
  LeafPacker packer(len, feed.filler());
  uint32_t current = alloc(), previous = kNone;
  auto closeLeaf = [&](uint32_t right) {
    packer.write(out.page(current), previous == kNone && right == kNone, previous, right);
    upperKeys.append(packer.lastKey(), len);
    upperRecs.push_back(packer.lastRecord());
    upperPages.push_back(current);
  };
  while (feed.next(key.data(), rec)) {
    if (!packer.add(key.data(), rec)) {
      uint32_t nextPage = alloc();
      closeLeaf(nextPage);
      previous = current;
      current = nextPage;
      packer.reset();
      packer.add(key.data(), rec);
    }
  }
  if (feed.failed()) throw Damaged{"cannot read a sort run"};
  closeLeaf(kNone);

  const size_t capacity = interiorCapacity(len);
  while (upperPages.size() > 1) {
    size_t n = upperPages.size();
    size_t nodes = (n + capacity - 1) / capacity;
    std::vector<uint32_t> pages(nodes);
    for (auto& p : pages) p = alloc();
    std::string levelKeys;
    std::vector<uint32_t> levelRecs;
    size_t from = 0;
    for (size_t i = 0; i < nodes; ++i) {
      // Spread entries evenly so that no node at the end of a level is left nearly empty.
      size_t take = n / nodes + (i < n % nodes ? 1 : 0);
      Node node;
      node.offset = pages[i];
      node.leaf = false;
      node.root = nodes == 1;
      node.left = i ? pages[i - 1] : kNone;
      node.right = i + 1 < nodes ? pages[i + 1] : kNone;
      node.keys.assign(upperKeys, from * len, take * len);
      node.recs.assign(upperRecs.begin() + static_cast<long>(from),
                       upperRecs.begin() + static_cast<long>(from + take));
      node.children.assign(upperPages.begin() + static_cast<long>(from),
                           upperPages.begin() + static_cast<long>(from + take));
      encodeInterior(node, len, out.page(pages[i]));
      levelKeys.append(node.key(take - 1, len), len);
      levelRecs.push_back(node.recs.back());
      from += take;
    }
    upperKeys = std::move(levelKeys);
    upperRecs = std::move(levelRecs);
    upperPages = std::move(pages);
  }
  out.flush();
  return upperPages.front();
}

}  // namespace

std::unique_ptr<KeyFeed> CdxFile::feedFor(const Definition& d, size_t memoryLimit) const {
  bool collate = d.type == KeyType::Character;
  return std::make_unique<KeyFeed>(d.keyLength, collate ? ' ' : '\0', collate, memoryLimit, host_);
}

void CdxFile::buildTree(CdxTag& t, KeyFeed& sorted) {
  PageWriter out([this](uint64_t off, const void* p, size_t n) { write(off, p, n); });
  t.root_ = writeTree(
      sorted, [this] { return allocPage(); }, out);
}

// The name as the directory keeps it and the key length the type allows; false (with the
// reason) when the tag cannot be made.
bool CdxFile::define(std::string_view name, std::string_view keyExpression, KeyType type,
                     size_t keyLength, Definition& out) {
  out.name = upperAscii(name.substr(0, kTagNameLength));
  while (!out.name.empty() && out.name.back() == ' ') out.name.pop_back();
  if (size_t fixed = fixedKeyLength(type)) keyLength = fixed;
  out.keyExpression = std::string(keyExpression);
  out.type = type;
  out.keyLength = keyLength;
  if (out.name.empty() || keyLength == 0 || keyLength > kMaxKeyLength ||
      keyExpression.size() + 2 > hdr::poolSize) {
    fail("tag " + out.name + ": invalid name, key length or expression");
    return false;
  }
  return true;
}

// Gives the tag its header (a new one after the last page, listed in the directory; an existing
// tag keeps its own, and with it its place in creation order, and frees its pages) and its
// definition. Its tree is then written by the caller.
CdxTag& CdxFile::prepareTag(const Definition& d) {
  CdxTag* t = cdxTag(d.name);
  if (t) {
    std::vector<uint32_t> pages;
    t->collectPages(pages);
    t->dropCache();
    for (uint32_t p : pages) freePage(p);
  } else {
    uint32_t header = static_cast<uint32_t>(fileEnd_);
    fileEnd_ += kHeaderBytes;
    auto owned = std::make_unique<CdxTag>(*this, header);
    t = owned.get();
    std::string dirKey = d.name;
    dirKey.resize(kTagNameLength, ' ');
    t->name_ = d.name;
    t->root_ = kNone;
    t->keyLength_ = d.keyLength;
    writeTagHeader(*t);  // reserves the header's bytes before any page follows it
    error_.clear();
    directory_->insert(dirKey, header);
    if (!error_.empty()) throw Damaged{error_};
    tags_.push_back(std::move(owned));
  }
  t->name_ = d.name;
  t->expr_ = d.keyExpression;
  t->forExpr_.clear();
  t->setType(d.type);
  t->plain_ = false;  // a rebuild writes even another engine's tag in the collation
  t->keyLength_ = d.keyLength;
  t->options_ = opt::compact | opt::compound;
  t->descending_ = false;
  t->positioned_ = false;
  return *t;
}

void CdxFile::finishTag(CdxTag& t) {
  ++t.counter_;
  writeTagHeader(t);
  writeFreeList();
  t.pages_.forget();
  t.pages_.bump();
}

IndexTag* CdxFile::createTag(std::string_view name, std::string_view keyExpression, KeyType type,
                             size_t keyLength, const KeySource& source) {
  Definition d;
  return change<IndexTag*>(
      nullptr,
      [&]() -> IndexTag* {
        if (!define(name, keyExpression, type, keyLength, d)) return nullptr;
        CdxTag& t = prepareTag(d);
        auto feed = feedFor(d, indexBuildMemoryLimit());
        if (!feed->feedAll(source)) throw Damaged{"cannot sort the keys"};
        buildTree(t, *feed);
        finishTag(t);
        return &t;
      },
      [] {});
}

// One pass over the source feeds every tag's sorter; then each tag's keys are sorted and its
// tree packed on a core of its own, while this thread writes the finished tags in order. Tags
// whose pages all come from the end of the file (no free page, no tag replaced) are packed
// into an image at page 0 and moved into place, which gives the bytes the tags would have had
// built one after another; otherwise the trees are written here, still in that order. A tag
// whose keys went to runs on disk is sorted and written here too, as only this thread touches
// the file. The sorters share the memory limit, and the images are made only while they and the
// keys still held stay within it together, so the build holds no more however many tags it makes.
std::vector<IndexTag*> CdxFile::createTags(const std::vector<TagDefinition>& tags,
                                           const KeysSource& source) {
  if (tags.size() == 1) return IndexFile::createTags(tags, source);
  if (readOnly_) {
    fail("the index file is open read-only");
    return {};
  }
  std::vector<Definition> defs(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    const TagDefinition& t = tags[i];
    if (!define(t.name, t.keyExpression, t.type, t.keyLength, defs[i])) return {};
    for (size_t j = 0; j < i; ++j)
      if (defs[j].name == defs[i].name) {
        fail("tag " + defs[i].name + " is defined twice");
        return {};
      }
  }
  std::vector<IndexTag*> made;
  try {
    std::vector<std::unique_ptr<KeyFeed>> feeds;
    std::vector<std::string> keys;
    std::vector<size_t> keyLengths;
    for (const Definition& d : defs) keyLengths.push_back(d.keyLength);
    const std::vector<size_t> shares = shareSortMemory(indexBuildMemoryLimit(), keyLengths);
    for (size_t i = 0; i < defs.size(); ++i) {
      feeds.push_back(feedFor(defs[i], shares[i]));
      keys.emplace_back(defs[i].keyLength, feeds.back()->filler());
    }
    uint32_t recno = 0;
    while (source(keys, recno))
      for (size_t i = 0; i < feeds.size(); ++i)
        if (!feeds[i]->add(keys[i], recno)) throw Damaged{"cannot write a sort run"};

    bool fromTheEnd = freeHead_ == 0;
    uint64_t imageBytes = 0, held = 0;
    for (const Definition& d : defs)
      if (cdxTag(d.name)) fromTheEnd = false;
    std::vector<uint64_t> imageEstimate(defs.size());
    for (size_t i = 0; i < defs.size(); ++i) {
      imageEstimate[i] = feeds[i]->size() * (defs[i].keyLength + 4) + kPage;
      imageBytes += imageEstimate[i];
      held += feeds[i]->memoryInUse();
    }
    // The images live beside the keys still waiting: together they stay within the one budget.
    const bool images = fromTheEnd && held + imageBytes <= indexBuildMemoryLimit();

    std::vector<PageImage> image(defs.size());
    std::vector<uint32_t> imageRoot(defs.size(), kNone);
    auto sortAndPack = [&](size_t i) {
      KeyFeed& feed = *feeds[i];
      if (feed.spilled()) return;  // merging reads the runs: left to this thread
      if (!feed.finish()) throw Damaged{"cannot sort the keys"};
      if (!images) return;
      PageImage& img = image[i];
      img.reserve(imageEstimate[i]);
      imageRoot[i] = writeTree(
          feed, [&img] { return img.alloc(); }, img);
      feeds[i].reset();  // its memory goes back before the other tags are done
    };
    auto place = [&](size_t i) {
      CdxTag& t = prepareTag(defs[i]);
      if (imageRoot[i] != kNone) {
        uint32_t base = static_cast<uint32_t>(fileEnd_);
        if (fileEnd_ + image[i].size() + kPage > (uint64_t{1} << 32))
          throw Damaged{"the index file is full"};
        image[i].rebase(base, defs[i].keyLength);
        write(base, image[i].data(), image[i].size());
        fileEnd_ += image[i].size();
        t.root_ = imageRoot[i] + base;
        image[i] = PageImage();
      } else {
        if (feeds[i]->spilled() && !feeds[i]->finish()) throw Damaged{"cannot sort the keys"};
        buildTree(t, *feeds[i]);
        feeds[i].reset();
      }
      finishTag(t);
      made.push_back(&t);
    };
    inOrderAfterParallel(defs.size(), sortAndPack, place);
  } catch (const Damaged& d) {
    fail(d.why);
  }
  return made;
}

void CdxFile::removeAll() {
  change(
      false,
      [this] {
        for (auto& t : tags_) {
          std::vector<uint32_t> pages;
          t->collectPages(pages);
          t->dropCache();
          // The root page stays as an empty root leaf; the rest go to the free list.
          for (uint32_t p : pages)
            if (p != t->root_) freePage(p);
          uint8_t buf[kPage];
          LeafPacker(t->keyLength_, t->filler_).write(buf, true, kNone, kNone);
          write(t->root_, buf, kPage);
          ++t->counter_;
          uint8_t field[4];
          rt::putLE32(field, t->counter_);
          write(t->header_ + hdr::counter, field, 4);
        }
        writeFreeList();
        return true;
      },
      [] {});
}

// Another process may have changed the file since we last looked: compare change counters.
void CdxFile::refresh() {
  uint64_t known = fileEnd_;
  measureEnd();
  fileEnd_ = std::max(known, fileEnd_);
  uint8_t h[12];
  if (!file_.readAt(0, h, sizeof h)) return;
  setFreeHead(rt::getLE32(h + hdr::freeList));
  std::string why;
  if (rt::getLE32(h + hdr::counter) != directory_->counter_ && !loadTags(why)) fail(why);
  for (auto& t : tags_) {
    if (!file_.readAt(t->header_, h, sizeof h)) continue;
    if (rt::getLE32(h + hdr::counter) != t->counter_ || rt::getLE32(h + hdr::root) != t->root_) {
      KeyType type = t->type_;
      std::string name = t->name_;
      if (!t->loadHeader(why, [type](std::string_view, size_t) { return type; })) fail(why);
      t->name_ = name;
      t->dropCache();
    }
  }
}

}  // namespace tav::engine::cdx

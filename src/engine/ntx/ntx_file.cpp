// Single-key index files: tree navigation, insertion, deletion and the bulk build. Equal keys of
// our own files are ordered by record; files written elsewhere may not be, and lookups allow for
// that.

#include "engine/ntx/ntx_file.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/index/key_sorter.h"
#include "runtime/coding.h"
#include "runtime/collation.h"

namespace tav::engine::ntx {
namespace {

struct Damaged {
  std::string why;
};

namespace hdr {
constexpr size_t signature = 0, counter = 2, root = 4, freeList = 8, entrySize = 12,
                 keyLength = 14, decimals = 16, maxEntries = 18, half = 20, keyExpr = 22,
                 unique = 278, descending = 280, forExpr = 282, tagName = 538,
                 exprLength = 256, tagNameLength = 12;
}
constexpr uint16_t kSignature = 0x0006;
constexpr size_t kMaxDepth = 32;
constexpr size_t kMaxKeyLength = 250;
constexpr size_t kCacheLimit = 2048;

size_t maxEntriesFor(size_t keyLength) {
  size_t m = 1020 / (keyLength + 10) - 1;
  return m & ~size_t{1};
}

std::string upperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// NtxTag

NtxTag::Page& NtxTag::page(uint32_t offset) {
  auto it = cache_.find(offset);
  if (it != cache_.end()) return *it->second;
  if (!file_.validPage(offset))
    throw Damaged{"page pointer " + std::to_string(offset) + " is outside the file"};
  uint8_t buf[kPage];
  if (!file_.file_.readAt(offset, buf, kPage))
    throw Damaged{"cannot read page " + std::to_string(offset)};
  auto p = std::make_unique<Page>();
  p->offset = offset;
  size_t count = rt::getLE16(buf);
  size_t entry = keyLength_ + 8;
  if (count > max_) throw Damaged{"page " + std::to_string(offset) + ": entry count too large"};
  p->keys.resize(count * keyLength_);
  p->recs.resize(count);
  p->children.resize(count + 1);
  for (size_t i = 0; i <= count; ++i) {
    size_t o = rt::getLE16(buf + 2 + 2 * i);
    if (o < 2 || o + entry > kPage)
      throw Damaged{"page " + std::to_string(offset) + ": entry offset out of the page"};
    p->children[i] = rt::getLE32(buf + o);
    if (i < count) {
      p->recs[i] = rt::getLE32(buf + o + 4);
      std::memcpy(p->keys.data() + i * keyLength_, buf + o + 8, keyLength_);
    }
    if ((p->children[i] == 0) != (p->children[0] == 0))
      throw Damaged{"page " + std::to_string(offset) + ": leaf and branch entries mixed"};
  }
  Page& ref = *p;
  cache_[offset] = std::move(p);
  return ref;
}

NtxTag::Page& NtxTag::dirty(uint32_t offset) {
  Page& p = page(offset);
  dirty_.insert(offset);
  return p;
}

void NtxTag::dropCache() {
  cache_.clear();
  dirty_.clear();
  positioned_ = false;
  ++generation_;
}

int NtxTag::compare(const char* a, const char* b, size_t n) const {
  if (type_ == KeyType::Character) return rt::collateKeys(a, b, n);
  return std::memcmp(a, b, n);
}

int NtxTag::compareAt(const Page& p, size_t i, const char* key, size_t len, uint32_t rec,
                      bool withRec) const {
  int c = compare(p.keys.data() + i * keyLength_, key, len);
  if (c != 0 || !withRec) return c;
  return p.recs[i] < rec ? -1 : p.recs[i] > rec ? 1 : 0;
}

std::vector<NtxTag::Step> NtxTag::descend(const char* key, size_t len, uint32_t rec,
                                          bool withRec) {
  std::vector<Step> path;
  uint32_t offset = root_;
  for (size_t depth = 0; depth < kMaxDepth; ++depth) {
    const Page& p = page(offset);
    size_t lo = 0, hi = p.count();
    while (lo < hi) {
      size_t mid = (lo + hi) / 2;
      if (compareAt(p, mid, key, len, rec, withRec) < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    path.push_back({offset, lo});
    if (p.leaf()) return path;
    offset = p.children[lo];
  }
  throw Damaged{"the tree is deeper than any valid one"};
}

void NtxTag::downLeft(std::vector<Step>& path, uint32_t from) {
  for (size_t depth = 0; depth < kMaxDepth; ++depth) {
    const Page& p = page(from);
    path.push_back({from, 0});
    if (p.leaf()) return;
    from = p.children[0];
  }
  throw Damaged{"the tree is deeper than any valid one"};
}

void NtxTag::downRight(std::vector<Step>& path, uint32_t from) {
  for (size_t depth = 0; depth < kMaxDepth; ++depth) {
    const Page& p = page(from);
    if (p.leaf()) {
      path.push_back({from, p.count() - 1});  // wraps for an empty leaf: nothing here
      return;
    }
    path.push_back({from, p.count()});
    from = p.children[p.count()];
  }
  throw Damaged{"the tree is deeper than any valid one"};
}

// Climbs from a position past the end of a page to the entry that follows in key order.
static bool settleUp(std::vector<NtxTag::Step>& path,
                     const std::function<size_t(uint32_t)>& countOf) {
  while (!path.empty()) {
    if (path.back().index < countOf(path.back().page)) return true;
    path.pop_back();
  }
  return false;
}

uint32_t NtxTag::settleForward(std::vector<Step>& path) {
  if (!settleUp(path, [this](uint32_t o) { return page(o).count(); })) {
    positioned_ = false;
    return 0;
  }
  return take(path);
}

uint32_t NtxTag::take(std::vector<Step>& path) {
  const Page& p = page(path.back().page);
  size_t i = path.back().index;
  cursor_ = path;
  curKey_.assign(p.keys.data() + i * keyLength_, keyLength_);
  curRec_ = p.recs[i];
  curGeneration_ = generation_;
  positioned_ = true;
  return curRec_;
}

// The next entry after the top of cursor_, in key order; false at the end.
bool NtxTag::stepForward() {
  Step& top = cursor_.back();
  const Page& p = page(top.page);
  top.index += 1;
  if (!p.leaf()) downLeft(cursor_, p.children[top.index]);
  return settleUp(cursor_, [this](uint32_t o) { return page(o).count(); });
}

bool NtxTag::stepBack() {
  Step& top = cursor_.back();
  const Page& p = page(top.page);
  if (!p.leaf())
    downRight(cursor_, p.children[top.index]);
  else
    top.index -= 1;  // wraps below 0
  while (!cursor_.empty()) {
    if (cursor_.back().index < page(cursor_.back().page).count()) return true;
    cursor_.pop_back();
    if (!cursor_.empty()) cursor_.back().index -= 1;  // the entry left of the child slot
  }
  return false;
}

uint32_t NtxTag::first() {
  try {
    if (cache_.size() > kCacheLimit) cache_.clear();
    std::vector<Step> path;
    downLeft(path, root_);
    return settleForward(path);
  } catch (const Damaged& d) {
    file_.fail(d.why);
    positioned_ = false;
    return 0;
  }
}

uint32_t NtxTag::last() {
  try {
    if (cache_.size() > kCacheLimit) cache_.clear();
    cursor_.clear();
    downRight(cursor_, root_);
    while (!cursor_.empty()) {
      if (cursor_.back().index < page(cursor_.back().page).count()) return take(cursor_);
      cursor_.pop_back();
      if (!cursor_.empty()) cursor_.back().index -= 1;
    }
    positioned_ = false;
    return 0;
  } catch (const Damaged& d) {
    file_.fail(d.why);
    positioned_ = false;
    return 0;
  }
}

uint32_t NtxTag::next() {
  if (!positioned_) return 0;
  try {
    if (cache_.size() > kCacheLimit) cache_.clear();
    if (curGeneration_ != generation_) {
      // The tree changed under the cursor: find the current entry, or the one after it.
      auto path = descend(curKey_.data(), keyLength_, curRec_, true);
      if (!settleUp(path, [this](uint32_t o) { return page(o).count(); })) {
        positioned_ = false;
        return 0;
      }
      const Page& p = page(path.back().page);
      size_t i = path.back().index;
      bool same = p.recs[i] == curRec_ &&
                  std::memcmp(p.keys.data() + i * keyLength_, curKey_.data(), keyLength_) == 0;
      cursor_ = path;
      if (!same) return take(cursor_);
    }
    if (!stepForward()) {
      positioned_ = false;
      return 0;
    }
    return take(cursor_);
  } catch (const Damaged& d) {
    file_.fail(d.why);
    positioned_ = false;
    return 0;
  }
}

uint32_t NtxTag::prev() {
  if (!positioned_) return 0;
  try {
    if (cache_.size() > kCacheLimit) cache_.clear();
    if (curGeneration_ != generation_) {
      auto path = descend(curKey_.data(), keyLength_, curRec_, true);
      if (!settleUp(path, [this](uint32_t o) { return page(o).count(); })) return last();
      cursor_ = path;
    }
    if (!stepBack()) {
      positioned_ = false;
      return 0;
    }
    return take(cursor_);
  } catch (const Damaged& d) {
    file_.fail(d.why);
    positioned_ = false;
    return 0;
  }
}

uint32_t NtxTag::seek(std::string_view key, bool& found) {
  found = false;
  try {
    if (cache_.size() > kCacheLimit) cache_.clear();
    size_t len = std::min(key.size(), keyLength_);
    auto path = descend(key.data(), len, 0, false);
    uint32_t rec = settleForward(path);
    found = rec != 0 && std::memcmp(curKey_.data(), key.data(), len) == 0;
    return rec;
  } catch (const Damaged& d) {
    file_.fail(d.why);
    positioned_ = false;
    return 0;
  }
}

std::string NtxTag::normalise(std::string_view key) const {
  std::string k(key.substr(0, keyLength_));
  k.resize(keyLength_, ' ');
  return k;
}

// Finds (key, rec). Our files order equal keys by record; others' may not, so when the ordered
// search misses, every entry of that key is looked at.
bool NtxTag::findExact(const std::string& key, uint32_t rec, std::vector<Step>& path) {
  auto countOf = [this](uint32_t o) { return page(o).count(); };
  auto matches = [&](const std::vector<Step>& p, bool withRec) {
    const Page& pg = page(p.back().page);
    size_t i = p.back().index;
    return std::memcmp(pg.keys.data() + i * keyLength_, key.data(), keyLength_) == 0 &&
           (!withRec || pg.recs[i] == rec);
  };
  path = descend(key.data(), keyLength_, rec, true);
  if (settleUp(path, countOf) && matches(path, true)) return true;
  cursor_ = descend(key.data(), keyLength_, 0, false);
  positioned_ = false;
  size_t guard = file_.fileEnd_ / kPage * (max_ + 1) + 1;
  bool ok = settleUp(cursor_, countOf);
  while (ok && guard-- && matches(cursor_, false)) {
    if (matches(cursor_, true)) {
      path = cursor_;
      return true;
    }
    ok = stepForward();
  }
  return false;
}

bool NtxTag::locate(std::string_view key, uint32_t recno) {
  try {
    if (cache_.size() > kCacheLimit) cache_.clear();
    std::string k = normalise(key);
    std::vector<Step> path;
    if (!findExact(k, recno, path)) {
      positioned_ = false;
      return false;
    }
    take(path);
    return true;
  } catch (const Damaged& d) {
    file_.fail(d.why);
    positioned_ = false;
    return false;
  }
}

void NtxTag::insert(std::string_view key, uint32_t recno) {
  if (file_.readOnly_ || !file_.hasTag_) {
    file_.fail(file_.readOnly_ ? "the index file is open read-only" : "the index has no key");
    return;
  }
  try {
    std::string k = normalise(key);
    auto path = descend(k.data(), keyLength_, recno, true);
    {
      auto probe = path;
      if (settleUp(probe, [this](uint32_t o) { return page(o).count(); })) {
        const Page& p = page(probe.back().page);
        size_t i = probe.back().index;
        if (p.recs[i] == recno &&
            std::memcmp(p.keys.data() + i * keyLength_, k.data(), keyLength_) == 0)
          return;  // already present
      }
    }
    // The first entry >= (key, rec) lies in the subtree of the last step's slot, so the new
    // entry goes into that leaf at that position.
    Page& leafPage = dirty(path.back().page);
    size_t i = path.back().index;
    leafPage.keys.insert(i * keyLength_, k);
    leafPage.recs.insert(leafPage.recs.begin() + static_cast<long>(i), recno);
    leafPage.children.push_back(0);
    for (size_t lvl = path.size(); lvl-- > 0;) {
      Page& p = dirty(path[lvl].page);
      if (p.count() <= max_) break;
      size_t half = p.count() / 2;
      std::string medianKey = p.keys.substr(half * keyLength_, keyLength_);
      uint32_t medianRec = p.recs[half];
      uint32_t ro = file_.allocPage();
      auto r = std::make_unique<Page>();
      r->offset = ro;
      r->keys = p.keys.substr((half + 1) * keyLength_);
      r->recs.assign(p.recs.begin() + static_cast<long>(half + 1), p.recs.end());
      r->children.assign(p.children.begin() + static_cast<long>(half + 1), p.children.end());
      p.keys.resize(half * keyLength_);
      p.recs.resize(half);
      p.children.resize(half + 1);
      cache_[ro] = std::move(r);
      dirty_.insert(ro);
      if (lvl == 0) {
        uint32_t no = file_.allocPage();
        auto n = std::make_unique<Page>();
        n->offset = no;
        n->keys = medianKey;
        n->recs = {medianRec};
        n->children = {p.offset, ro};
        cache_[no] = std::move(n);
        dirty_.insert(no);
        root_ = no;
      } else {
        Page& parent = dirty(path[lvl - 1].page);
        size_t s = path[lvl - 1].index;
        parent.keys.insert(s * keyLength_, medianKey);
        parent.recs.insert(parent.recs.begin() + static_cast<long>(s), medianRec);
        parent.children.insert(parent.children.begin() + static_cast<long>(s + 1), ro);
      }
    }
    writeChanges();
  } catch (const Damaged& d) {
    file_.fail(d.why);
    dropCache();
  }
}

// A page left without entries borrows one through its parent from a sibling that can spare
// one, or is merged with a sibling that cannot; an emptied parent is mended the same way.
void NtxTag::fixEmpty(std::vector<Step>& path, size_t level) {
  Page& n = dirty(path[level].page);
  Page& par = dirty(path[level - 1].page);
  size_t s = path[level - 1].index;
  auto keyOf = [this](const Page& p, size_t i) {
    return p.keys.substr(i * keyLength_, keyLength_);
  };
  if (s > 0) {
    Page& l = dirty(par.children[s - 1]);
    if (l.count() >= 2) {
      n.keys = keyOf(par, s - 1);
      n.recs = {par.recs[s - 1]};
      n.children = {l.children.back(), n.children[0]};
      std::memcpy(par.keys.data() + (s - 1) * keyLength_, l.keys.data() + (l.count() - 1) * keyLength_,
                  keyLength_);
      par.recs[s - 1] = l.recs.back();
      l.keys.resize((l.count() - 1) * keyLength_);
      l.recs.pop_back();
      l.children.pop_back();
      return;
    }
    l.keys += keyOf(par, s - 1);
    l.recs.push_back(par.recs[s - 1]);
    l.children.push_back(n.children[0]);
    par.keys.erase((s - 1) * keyLength_, keyLength_);
    par.recs.erase(par.recs.begin() + static_cast<long>(s - 1));
    par.children.erase(par.children.begin() + static_cast<long>(s));
  } else {
    if (par.children.size() < 2) throw Damaged{"a branch page without a right child"};
    Page& r = dirty(par.children[1]);
    if (r.count() >= 2) {
      n.keys = keyOf(par, 0);
      n.recs = {par.recs[0]};
      n.children = {n.children[0], r.children[0]};
      std::memcpy(par.keys.data(), r.keys.data(), keyLength_);
      par.recs[0] = r.recs[0];
      r.keys.erase(0, keyLength_);
      r.recs.erase(r.recs.begin());
      r.children.erase(r.children.begin());
      return;
    }
    r.keys.insert(0, keyOf(par, 0));
    r.recs.insert(r.recs.begin(), par.recs[0]);
    r.children.insert(r.children.begin(), n.children[0]);
    par.keys.erase(0, keyLength_);
    par.recs.erase(par.recs.begin());
    par.children.erase(par.children.begin());
  }
  uint32_t gone = n.offset;
  cache_.erase(gone);
  dirty_.erase(gone);
  file_.freePage(gone);
  if (par.count() == 0) {
    if (level - 1 == 0) {
      root_ = par.children[0];
      uint32_t old = par.offset;
      cache_.erase(old);
      dirty_.erase(old);
      file_.freePage(old);
    } else {
      fixEmpty(path, level - 1);
    }
  }
}

bool NtxTag::remove(std::string_view key, uint32_t recno) {
  if (file_.readOnly_ || !file_.hasTag_) {
    file_.fail(file_.readOnly_ ? "the index file is open read-only" : "the index has no key");
    return false;
  }
  try {
    std::string k = normalise(key);
    std::vector<Step> path;
    if (!findExact(k, recno, path)) return false;
    Page& p = dirty(path.back().page);
    size_t i = path.back().index;
    if (!p.leaf()) {
      // An interior entry is replaced by its predecessor, which then leaves its leaf.
      downRight(path, p.children[i]);
      Page& lf = dirty(path.back().page);
      if (lf.count() == 0) throw Damaged{"an empty leaf under a branch entry"};
      size_t j = lf.count() - 1;
      std::memcpy(p.keys.data() + i * keyLength_, lf.keys.data() + j * keyLength_, keyLength_);
      p.recs[i] = lf.recs[j];
    }
    Page& lf = dirty(path.back().page);
    size_t j = path.back().index;
    lf.keys.erase(j * keyLength_, keyLength_);
    lf.recs.erase(lf.recs.begin() + static_cast<long>(j));
    lf.children.pop_back();
    if (lf.count() == 0 && path.size() > 1) fixEmpty(path, path.size() - 1);
    writeChanges();
    return true;
  } catch (const Damaged& d) {
    file_.fail(d.why);
    dropCache();
    return false;
  }
}

void NtxTag::writeChanges() {
  const size_t entry = keyLength_ + 8, base = 2 + 2 * (max_ + 1);
  uint8_t buf[kPage];
  for (uint32_t offset : dirty_) {
    const Page& p = *cache_.at(offset);
    std::memset(buf, 0, sizeof buf);
    rt::putLE16(buf, static_cast<uint16_t>(p.count()));
    for (size_t j = 0; j <= max_; ++j) {
      size_t o = base + j * entry;
      rt::putLE16(buf + 2 + 2 * j, static_cast<uint16_t>(o));
      if (j < p.children.size()) rt::putLE32(buf + o, p.children[j]);
      if (j < p.count()) {
        rt::putLE32(buf + o + 4, p.recs[j]);
        std::memcpy(buf + o + 8, p.keys.data() + j * keyLength_, keyLength_);
      }
    }
    if (!file_.file_.writeAt(offset, buf, kPage)) throw Damaged{"cannot write the index file"};
  }
  dirty_.clear();
  ++counter_;
  uint8_t h[12];
  rt::putLE16(h + hdr::signature, kSignature);
  rt::putLE16(h + hdr::counter, counter_);
  rt::putLE32(h + hdr::root, root_);
  rt::putLE32(h + hdr::freeList, file_.freeHead_);
  if (!file_.file_.writeAt(0, h, sizeof h)) throw Damaged{"cannot write the index file"};
  ++generation_;
}

// ---------------------------------------------------------------------------------------------
// NtxFile

NtxFile::~NtxFile() {
  if (locked_) unlock();
}

bool NtxFile::validPage(uint32_t offset) const {
  return offset != 0 && offset % kPage == 0 && uint64_t{offset} + kPage <= fileEnd_;
}

uint32_t NtxFile::allocPage() {
  if (freeHead_ != 0 && validPage(freeHead_)) {
    uint32_t p = freeHead_;
    uint8_t link[8];
    uint32_t next = 0;
    if (file_.readAt(p, link, sizeof link)) {
      size_t o = rt::getLE16(link + 2);
      uint8_t child[4];
      if (o + 4 <= kPage && file_.readAt(p + o, child, 4)) next = rt::getLE32(child);
    }
    freeHead_ = validPage(next) ? next : 0;
    return p;
  }
  if (fileEnd_ + kPage > 0xFFFFFC00ull) throw Damaged{"the index file is full"};
  uint32_t p = static_cast<uint32_t>(fileEnd_);
  fileEnd_ += kPage;
  return p;
}

void NtxFile::freePage(uint32_t offset) {
  uint8_t buf[kPage] = {};
  size_t base = 2 + 2 * (tag_.max_ + 1);
  rt::putLE16(buf + 2, static_cast<uint16_t>(base));
  rt::putLE32(buf + base, freeHead_);
  if (!file_.writeAt(offset, buf, kPage)) throw Damaged{"cannot write the index file"};
  freeHead_ = offset;
}

bool NtxFile::loadHeader(std::string& why) {
  uint8_t h[kPage];
  if (!file_.readAt(0, h, sizeof h)) {
    why = "cannot read the header";
    return false;
  }
  uint16_t sig = rt::getLE16(h + hdr::signature);
  size_t entry = rt::getLE16(h + hdr::entrySize), keyLength = rt::getLE16(h + hdr::keyLength);
  size_t max = rt::getLE16(h + hdr::maxEntries);
  if ((sig & 0xFF) != 6 && (sig & 0xFF) != 7) {
    why = "not a single-key index (signature " + std::to_string(sig) + ")";
    return false;
  }
  if (keyLength == 0 || keyLength > kMaxKeyLength || entry != keyLength + 8 || max < 2 ||
      2 + (max + 1) * (2 + entry) > kPage) {
    why = "key length or page layout out of range";
    return false;
  }
  NtxTag& t = tag_;
  t.keyLength_ = keyLength;
  t.max_ = max;
  t.decimals_ = rt::getLE16(h + hdr::decimals);
  t.counter_ = rt::getLE16(h + hdr::counter);
  t.root_ = rt::getLE32(h + hdr::root);
  uint32_t freeHead = rt::getLE32(h + hdr::freeList);
  freeHead_ = validPage(freeHead) ? freeHead : 0;
  if (!validPage(t.root_)) {
    why = "root page out of the file";
    return false;
  }
  auto text = [&h](size_t off, size_t len) {
    const char* p = reinterpret_cast<const char*>(h + off);
    return std::string(p, strnlen(p, len));
  };
  t.expr_ = text(hdr::keyExpr, hdr::exprLength);
  t.forExpr_ = text(hdr::forExpr, hdr::exprLength);
  t.name_ = upperAscii(text(hdr::tagName, hdr::tagNameLength));
  if (t.name_.empty()) t.name_ = upperAscii(host_.stem().string());
  std::optional<KeyType> type;
  if (resolver_) type = resolver_(t.expr_, keyLength);
  t.type_ = type ? *type : t.decimals_ > 0 ? KeyType::Numeric : KeyType::Character;
  t.dropCache();
  hasTag_ = true;
  return true;
}

void NtxFile::writeHeader() {
  const NtxTag& t = tag_;
  uint8_t h[kPage] = {};
  rt::putLE16(h + hdr::signature, kSignature);
  rt::putLE16(h + hdr::counter, t.counter_);
  rt::putLE32(h + hdr::root, t.root_);
  rt::putLE32(h + hdr::freeList, freeHead_);
  rt::putLE16(h + hdr::entrySize, static_cast<uint16_t>(t.keyLength_ + 8));
  rt::putLE16(h + hdr::keyLength, static_cast<uint16_t>(t.keyLength_));
  rt::putLE16(h + hdr::decimals, static_cast<uint16_t>(t.decimals_));
  rt::putLE16(h + hdr::maxEntries, static_cast<uint16_t>(t.max_));
  rt::putLE16(h + hdr::half, static_cast<uint16_t>(t.max_ / 2));
  std::memcpy(h + hdr::keyExpr, t.expr_.data(), std::min(t.expr_.size(), hdr::exprLength - 1));
  std::memcpy(h + hdr::forExpr, t.forExpr_.data(),
              std::min(t.forExpr_.size(), hdr::exprLength - 1));
  std::memcpy(h + hdr::tagName, t.name_.data(), std::min(t.name_.size(), hdr::tagNameLength - 1));
  if (!file_.writeAt(0, h, sizeof h)) throw Damaged{"cannot write the index file"};
}

std::unique_ptr<NtxFile> NtxFile::open(const std::filesystem::path& host, bool readOnly,
                                       std::string& why, KeyTypeResolver resolver) {
  std::unique_ptr<NtxFile> f(new NtxFile);
  f->host_ = host;
  f->pathText_ = host.string();
  f->readOnly_ = readOnly;
  f->resolver_ = std::move(resolver);
  if (!f->file_.open(host, readOnly ? os::File::Mode::Read : os::File::Mode::ReadWrite)) {
    why = "cannot open " + host.string() + ": " + std::strerror(f->file_.lastError());
    return nullptr;
  }
  int64_t size = f->file_.size();
  if (size < static_cast<int64_t>(2 * kPage)) {
    why = host.string() + " is too short for a single-key index";
    return nullptr;
  }
  f->fileEnd_ = static_cast<uint64_t>(size) / kPage * kPage;
  if (!f->loadHeader(why)) {
    why = host.string() + ": " + why;
    return nullptr;
  }
  return f;
}

std::unique_ptr<NtxFile> NtxFile::create(const std::filesystem::path& host, std::string& why) {
  std::unique_ptr<NtxFile> f(new NtxFile);
  f->host_ = host;
  f->pathText_ = host.string();
  if (!f->file_.open(host, os::File::Mode::Create)) {
    why = "cannot create " + host.string() + ": " + std::strerror(f->file_.lastError());
    return nullptr;
  }
  f->fileEnd_ = kPage;
  return f;
}

std::vector<IndexTag*> NtxFile::tags() {
  if (!hasTag_) return {};
  return {&tag_};
}

IndexTag* NtxFile::tag(std::string_view name) {
  if (!hasTag_) return nullptr;
  std::string n = upperAscii(name);
  while (!n.empty() && n.back() == ' ') n.pop_back();
  return n == tag_.name_ || n == upperAscii(host_.stem().string()) ? &tag_ : nullptr;
}

// Writes the sorted keys as a balanced classic B-tree, children before their parents. The
// subtree for n keys of height h takes c children of height h-1 and c-1 keys between them,
// with c as small as the children's capacity allows, and the keys spread evenly over them.
IndexTag* NtxFile::createTag(std::string_view name, std::string_view keyExpression, KeyType type,
                             size_t keyLength, const KeySource& source) {
  if (readOnly_) {
    fail("the index file is open read-only");
    return nullptr;
  }
  if (keyLength == 0 || keyLength > kMaxKeyLength) {
    fail("key length out of range");
    return nullptr;
  }
  NtxTag& t = tag_;
  try {
    // One key per file: a new key replaces the old one, so the file starts over.
    if (!file_.truncate(kPage)) throw Damaged{"cannot truncate the index file"};
    fileEnd_ = kPage;
    freeHead_ = 0;
    t.dropCache();
    t.name_ = upperAscii(name.substr(0, hdr::tagNameLength - 1));
    if (t.name_.empty()) t.name_ = upperAscii(host_.stem().string());
    t.expr_ = std::string(keyExpression);
    t.forExpr_.clear();
    t.type_ = type;
    t.keyLength_ = keyLength;
    t.decimals_ = type == KeyType::Numeric ? decimals_ : 0;
    t.max_ = maxEntriesFor(keyLength);
    hasTag_ = true;

    const size_t recordSize = keyLength + 4;
    const bool collate = type == KeyType::Character;
    std::filesystem::path tempDir = host_.parent_path();
    if (tempDir.empty()) tempDir = ".";
    KeySorter sorter(recordSize, indexBuildMemoryLimit(), tempDir);
    std::string key(keyLength, ' '), record(recordSize, '\0');
    uint32_t rec = 0;
    while (source(key, rec)) {
      if (key.size() != keyLength) key.resize(keyLength, ' ');
      std::memcpy(record.data(), key.data(), keyLength);
      if (collate) rt::collationKeyInPlace(record.data(), keyLength);
      rt::putBE32(record.data() + keyLength, rec);
      if (!sorter.add(record.data())) throw Damaged{"cannot write a sort run"};
    }
    if (!sorter.finish()) throw Damaged{"cannot sort the keys"};
    const uint64_t n = sorter.size();
    const size_t max = t.max_, entry = keyLength + 8, base = 2 + 2 * (max + 1);

    auto capacity = [max](size_t h) {  // keys a subtree of height h can hold
      uint64_t c = 1;
      for (size_t i = 0; i < h; ++i) {
        if (c > (uint64_t{1} << 40)) return uint64_t{1} << 50;
        c *= max + 1;
      }
      return c - 1;
    };
    size_t height = 1;
    while (capacity(height) < n) ++height;

    auto nextKey = [&](uint8_t* slot) {
      const char* r = sorter.next();
      if (!r) throw Damaged{"the key sort ended early"};
      std::memcpy(slot + 8, r, keyLength);
      if (collate) collationKeyBack(reinterpret_cast<char*>(slot + 8), keyLength);
      rt::putLE32(slot + 4, rt::getBE32(r + keyLength));
    };
    std::function<uint32_t(uint64_t, size_t)> build = [&](uint64_t keys, size_t h) -> uint32_t {
      std::string buf(kPage, '\0');
      auto* b = reinterpret_cast<uint8_t*>(buf.data());
      for (size_t j = 0; j <= max; ++j) rt::putLE16(b + 2 + 2 * j, static_cast<uint16_t>(base + j * entry));
      size_t count = 0;
      if (h == 1) {
        count = static_cast<size_t>(keys);
        for (size_t j = 0; j < count; ++j) nextKey(b + base + j * entry);
      } else {
        uint64_t below = capacity(h - 1);
        uint64_t children = (keys + 1 + below) / (below + 1);  // ceil((keys + 1) / (below + 1))
        uint64_t spread = keys - (children - 1);
        for (uint64_t c = 0; c < children; ++c) {
          uint64_t share = spread / children + (c < spread % children ? 1 : 0);
          uint32_t child = build(share, h - 1);
          rt::putLE32(b + base + c * entry, child);
          if (c + 1 < children) nextKey(b + base + c * entry);
        }
        count = static_cast<size_t>(children - 1);
      }
      rt::putLE16(b, static_cast<uint16_t>(count));
      uint32_t at = allocPage();
      if (!file_.writeAt(at, b, kPage)) throw Damaged{"cannot write the index file"};
      return at;
    };
    t.root_ = build(n, height);
    if (sorter.failed()) throw Damaged{"cannot read a sort run"};
    ++t.counter_;
    writeHeader();
    ++t.generation_;
    return &t;
  } catch (const Damaged& d) {
    fail(d.why);
    return nullptr;
  }
}

void NtxFile::removeAll() {
  if (readOnly_ || !hasTag_) return;
  try {
    if (!file_.truncate(kPage)) throw Damaged{"cannot truncate the index file"};
    fileEnd_ = kPage;
    freeHead_ = 0;
    NtxTag& t = tag_;
    t.dropCache();
    uint8_t buf[kPage] = {};
    size_t base = 2 + 2 * (t.max_ + 1);
    for (size_t j = 0; j <= t.max_; ++j)
      rt::putLE16(buf + 2 + 2 * j, static_cast<uint16_t>(base + j * (t.keyLength_ + 8)));
    t.root_ = allocPage();
    if (!file_.writeAt(t.root_, buf, kPage)) throw Damaged{"cannot write the index file"};
    ++t.counter_;
    writeHeader();
  } catch (const Damaged& d) {
    fail(d.why);
  }
}

void NtxFile::flush() {
  if (!readOnly_) file_.sync();
}

bool NtxFile::lock(bool exclusive) {
  if (!file_.lockRange(kIndexLockOffset, 1, exclusive && !readOnly_)) return false;
  locked_ = true;
  uint8_t h[12];
  if (hasTag_ && file_.readAt(0, h, sizeof h) &&
      (rt::getLE16(h + hdr::counter) != tag_.counter_ || rt::getLE32(h + hdr::root) != tag_.root_)) {
    int64_t size = file_.size();
    if (size > 0) fileEnd_ = static_cast<uint64_t>(size) / kPage * kPage;
    KeyType type = tag_.type_;
    std::string why;
    auto keep = resolver_;
    resolver_ = [type](std::string_view, size_t) { return type; };
    if (!loadHeader(why)) fail(why);
    resolver_ = keep;
  }
  return true;
}

void NtxFile::unlock() {
  if (!locked_) return;
  file_.unlockRange(kIndexLockOffset, 1);
  locked_ = false;
}

}  // namespace tav::engine::ntx

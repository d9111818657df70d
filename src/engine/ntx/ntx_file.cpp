// Single-key index files: tree navigation, insertion, deletion and the bulk build. Equal keys of
// our own files are ordered by record; files written elsewhere may not be, and lookups allow for
// that.

#include "engine/ntx/ntx_file.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "engine/index/bulk_build.h"
#include "engine/index/key_encoding.h"
#include "engine/index/key_sorter.h"
#include "os/wide.h"
#include "runtime/coding.h"
#include "runtime/collation.h"

namespace tav::engine::ntx {
namespace {

constexpr size_t kCacheLimit = 2048;  // decoded pages kept between calls

// Writes the slot offsets of a page whose slots lie in order after them.
void layOutSlots(uint8_t* buf, size_t max, size_t keyLength) {
  const size_t base = slotsBase(max);
  for (size_t j = 0; j <= max; ++j)
    rt::putLE16(buf + page::offsets + 2 * j,
                static_cast<uint16_t>(base + j * entrySize(keyLength)));
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

NtxTag::NtxTag(NtxFile& file) : PageTag(file, kCacheLimit), file_(file) {}

std::string NtxTag::keyFor(const rt::Value& value) const {
  return encodeNtxKey(value, keyTypeOf(value), keyLength_, decimals_);
}

NtxTag::Page& NtxTag::page(uint32_t offset) {
  return pages_.get(offset, [this](uint32_t at) {
    uint8_t buf[kPage];
    file_.readPage(at, buf);
    auto p = std::make_unique<Page>();
    p->offset = at;
    size_t count = rt::getLE16(buf + page::count);
    size_t size = entrySize(keyLength_);
    if (count > max_) throw Damaged{"page " + std::to_string(at) + ": entry count too large"};
    p->keys.resize(count * keyLength_);
    p->recs.resize(count);
    p->children.resize(count + 1);
    for (size_t i = 0; i <= count; ++i) {
      size_t o = rt::getLE16(buf + page::offsets + 2 * i);
      if (o < page::offsets || o + size > kPage)
        throw Damaged{"page " + std::to_string(at) + ": entry offset out of the page"};
      p->children[i] = rt::getLE32(buf + o + entry::child);
      if (i < count) {
        p->recs[i] = rt::getLE32(buf + o + entry::record);
        std::memcpy(p->keys.data() + i * keyLength_, buf + o + entry::key, keyLength_);
      }
      if ((p->children[i] == 0) != (p->children[0] == 0))
        throw Damaged{"page " + std::to_string(at) + ": leaf and branch entries mixed"};
    }
    return p;
  });
}

NtxTag::Page& NtxTag::dirty(uint32_t offset) {
  Page& p = page(offset);
  pages_.markDirty(offset);
  return p;
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

std::vector<NtxTag::Step> NtxTag::descend(const char* key, size_t len, uint32_t rec, bool withRec) {
  std::vector<Step> path;
  for (uint32_t offset = root_; path.size() < kMaxDepth;) {
    const Page& p = page(offset);
    size_t at = firstNotBelow(
        p.count(), [&](size_t i) { return compareAt(p, i, key, len, rec, withRec) < 0; });
    path.push_back({offset, at});
    if (p.leaf()) return path;
    offset = p.children[at];
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
  curGeneration_ = pages_.generation();
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

// A walk in one direction meets each entry of the file once: more steps than the file can hold
// entries mean its pages are shared or circular (a damaged file), and the walk would never end.
void NtxTag::countStep(bool forward) {
  if (forward != walkForward_) {
    walkForward_ = forward;
    stepsTaken_ = 0;
  }
  if (++stepsTaken_ > file_.fileEnd() / kPage * (max_ + 1) + 1)
    throw Damaged{"tag " + name_ + ": its pages lead round to entries already met"};
}

uint32_t NtxTag::edge(bool lastEntry) {
  stepsTaken_ = 0;
  if (!lastEntry) {
    std::vector<Step> path;
    downLeft(path, root_);
    return settleForward(path);
  }
  cursor_.clear();
  downRight(cursor_, root_);
  while (!cursor_.empty()) {
    if (cursor_.back().index < page(cursor_.back().page).count()) return take(cursor_);
    cursor_.pop_back();
    if (!cursor_.empty()) cursor_.back().index -= 1;
  }
  positioned_ = false;
  return 0;
}

uint32_t NtxTag::step(bool forward) {
  countStep(forward);
  if (forward) {
    if (curGeneration_ != pages_.generation()) {
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
  }
  if (curGeneration_ != pages_.generation()) {
    auto path = descend(curKey_.data(), keyLength_, curRec_, true);
    if (!settleUp(path, [this](uint32_t o) { return page(o).count(); })) return edge(true);
    cursor_ = path;
  }
  if (!stepBack()) {
    positioned_ = false;
    return 0;
  }
  return take(cursor_);
}

uint32_t NtxTag::seekAt(std::string_view key, bool& found) {
  stepsTaken_ = 0;
  auto path = descend(key.data(), key.size(), 0, false);
  uint32_t rec = settleForward(path);
  found = rec != 0 && std::memcmp(curKey_.data(), key.data(), key.size()) == 0;
  return rec;
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
  size_t guard = file_.fileEnd() / kPage * (max_ + 1) + 1;
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

bool NtxTag::locateAt(const std::string& k, uint32_t recno) {
  std::vector<Step> path;
  if (!findExact(k, recno, path)) {
    positioned_ = false;
    return false;
  }
  take(path);
  return true;
}

// A change needs the key the file holds; a file created but not yet given one has none.
const char* NtxTag::changeRefused() const {
  return file_.hasTag_ ? nullptr : "the index has no key";
}

bool NtxTag::insertAt(const std::string& k, uint32_t recno) {
  auto path = descend(k.data(), keyLength_, recno, true);
  {
    auto probe = path;
    if (settleUp(probe, [this](uint32_t o) { return page(o).count(); })) {
      const Page& p = page(probe.back().page);
      size_t i = probe.back().index;
      if (p.recs[i] == recno &&
          std::memcmp(p.keys.data() + i * keyLength_, k.data(), keyLength_) == 0)
        return false;  // already present
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
    pages_.add(ro, std::move(r));
    if (lvl == 0) {
      uint32_t no = file_.allocPage();
      auto n = std::make_unique<Page>();
      n->offset = no;
      n->keys = medianKey;
      n->recs = {medianRec};
      n->children = {p.offset, ro};
      pages_.add(no, std::move(n));
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
  return true;
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
      std::memcpy(par.keys.data() + (s - 1) * keyLength_,
                  l.keys.data() + (l.count() - 1) * keyLength_, keyLength_);
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
  pages_.erase(gone);
  file_.freePage(gone);
  if (par.count() == 0) {
    if (level - 1 == 0) {
      root_ = par.children[0];
      uint32_t old = par.offset;
      pages_.erase(old);
      file_.freePage(old);
    } else {
      fixEmpty(path, level - 1);
    }
  }
}

bool NtxTag::removeAt(const std::string& k, uint32_t recno) {
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
}

void NtxTag::writeChanges() {
  const size_t size = entrySize(keyLength_), base = slotsBase(max_);
  uint8_t buf[kPage];
  for (uint32_t offset : pages_.dirty()) {
    const Page& p = pages_.at(offset);
    std::memset(buf, 0, sizeof buf);
    rt::putLE16(buf + page::count, static_cast<uint16_t>(p.count()));
    layOutSlots(buf, max_, keyLength_);
    for (size_t j = 0; j <= max_; ++j) {
      uint8_t* slot = buf + base + j * size;
      if (j < p.children.size()) rt::putLE32(slot + entry::child, p.children[j]);
      if (j < p.count()) {
        rt::putLE32(slot + entry::record, p.recs[j]);
        std::memcpy(slot + entry::key, p.keys.data() + j * keyLength_, keyLength_);
      }
    }
    file_.write(offset, buf, kPage);
  }
  pages_.clean();
  ++counter_;
  uint8_t h[hdr::changedBytes];
  rt::putLE16(h + hdr::signature, kSignature);
  rt::putLE16(h + hdr::counter, counter_);
  rt::putLE32(h + hdr::root, root_);
  rt::putLE32(h + hdr::freeList, file_.freeHead_);
  file_.write(0, h, sizeof h);
  pages_.bump();
}

// ---------------------------------------------------------------------------------------------
// NtxFile

NtxFile::NtxFile() : PageFile({kPage, kPage, kIndexLockOffset}), tag_(*this) {}

uint32_t NtxFile::freeLink(uint32_t p) {
  uint8_t link[page::offsets + 2];
  uint8_t child[4];
  if (!file_.readAt(p, link, sizeof link)) return 0;
  size_t o = rt::getLE16(link + page::offsets);
  if (o + sizeof child > kPage || !file_.readAt(p + o + entry::child, child, sizeof child))
    return 0;
  return rt::getLE32(child);
}

void NtxFile::formatFreePage(uint8_t* buf, uint32_t next) const {
  size_t base = slotsBase(tag_.max_);
  rt::putLE16(buf + page::offsets, static_cast<uint16_t>(base));
  rt::putLE32(buf + base + entry::child, next);
}

bool NtxFile::loadHeader(std::string& why) {
  uint8_t h[kPage];
  if (!file_.readAt(0, h, sizeof h)) {
    why = "cannot read the header";
    return false;
  }
  uint16_t sig = rt::getLE16(h + hdr::signature);
  size_t size = rt::getLE16(h + hdr::entrySize), keyLength = rt::getLE16(h + hdr::keyLength);
  size_t max = rt::getLE16(h + hdr::maxEntries);
  if ((sig & 0xFF) != 6 && (sig & 0xFF) != 7) {
    why = "not a single-key index (signature " + std::to_string(sig) + ")";
    return false;
  }
  if (keyLength == 0 || keyLength > kMaxKeyLength || size != entrySize(keyLength) || max < 2 ||
      slotsBase(max) + (max + 1) * size > kPage) {
    why = "key length or page layout out of range";
    return false;
  }
  NtxTag& t = tag_;
  t.keyLength_ = keyLength;
  t.max_ = max;
  t.decimals_ = rt::getLE16(h + hdr::decimals);
  t.counter_ = rt::getLE16(h + hdr::counter);
  t.root_ = rt::getLE32(h + hdr::root);
  setFreeHead(rt::getLE32(h + hdr::freeList));
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
  // Trailing blanks are padding, not part of the name: tag() finds a tag by its name without them.
  t.name_ = upperAscii(text(hdr::tagName, hdr::tagNameLength));
  while (!t.name_.empty() && t.name_.back() == ' ') t.name_.pop_back();
  if (t.name_.empty()) t.name_ = upperAscii(os::oemText(host_.stem()));
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
  rt::putLE16(h + hdr::entrySize, static_cast<uint16_t>(entrySize(t.keyLength_)));
  rt::putLE16(h + hdr::keyLength, static_cast<uint16_t>(t.keyLength_));
  rt::putLE16(h + hdr::decimals, static_cast<uint16_t>(t.decimals_));
  rt::putLE16(h + hdr::maxEntries, static_cast<uint16_t>(t.max_));
  rt::putLE16(h + hdr::half, static_cast<uint16_t>(t.max_ / 2));
  std::memcpy(h + hdr::keyExpr, t.expr_.data(), std::min(t.expr_.size(), hdr::exprLength - 1));
  std::memcpy(h + hdr::forExpr, t.forExpr_.data(),
              std::min(t.forExpr_.size(), hdr::exprLength - 1));
  std::memcpy(h + hdr::tagName, t.name_.data(), std::min(t.name_.size(), hdr::tagNameLength - 1));
  write(0, h, sizeof h);
}

std::unique_ptr<IndexFile> openNtx(const std::filesystem::path& host, bool readOnly,
                                   std::string& why, const KeyTypeResolver& resolver) {
  std::unique_ptr<NtxFile> f(new NtxFile);
  f->resolver_ = resolver;
  if (!f->openFile(host, readOnly, 2 * kPage, "a single-key index", why)) return nullptr;
  if (!f->loadHeader(why)) {
    why = os::oemText(host) + ": " + why;
    return nullptr;
  }
  return f;
}

std::unique_ptr<IndexFile> createNtx(const std::filesystem::path& host, std::string& why) {
  std::unique_ptr<NtxFile> f(new NtxFile);
  if (!f->createFile(host, why)) return nullptr;
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
  return n == tag_.name_ || n == upperAscii(os::oemText(host_.stem())) ? &tag_ : nullptr;
}

// One key per file: a new key replaces the old one, so the file starts over.
void NtxFile::startOver() {
  if (!file_.truncate(kPage)) throw Damaged{"cannot truncate the index file"};
  fileEnd_ = kPage;
  freeHead_ = 0;
  tag_.dropCache();
}

// Writes the sorted keys as a balanced classic B-tree, children before their parents. The
// subtree for n keys of height h takes c children of height h-1 and c-1 keys between them,
// with c as small as the children's capacity allows, and the keys spread evenly over them.
IndexTag* NtxFile::createTag(std::string_view name, std::string_view keyExpression, KeyType type,
                             size_t keyLength, const KeySource& source) {
  if (!readOnly_ && (keyLength == 0 || keyLength > kMaxKeyLength)) {
    fail("key length out of range");
    return nullptr;
  }
  NtxTag& t = tag_;
  return change<IndexTag*>(
      nullptr,
      [&]() -> IndexTag* {
        startOver();
        t.name_ = upperAscii(name.substr(0, hdr::tagNameLength - 1));
        if (t.name_.empty()) t.name_ = upperAscii(os::oemText(host_.stem()));
        t.expr_ = std::string(keyExpression);
        t.forExpr_.clear();
        t.type_ = type;
        t.keyLength_ = keyLength;
        t.decimals_ = type == KeyType::Numeric ? decimals_ : 0;
        t.max_ = maxEntriesFor(keyLength);
        hasTag_ = true;

        KeyFeed feed(keyLength, ' ', type == KeyType::Character, indexBuildMemoryLimit(), host_);
        if (!feed.feedAll(source)) throw Damaged{"cannot sort the keys"};
        const uint64_t n = feed.size();
        const size_t max = t.max_, size = entrySize(keyLength), base = slotsBase(max);

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
          uint32_t rec = 0;
          if (!feed.next(reinterpret_cast<char*>(slot + entry::key), rec))
            throw Damaged{"the key sort ended early"};
          rt::putLE32(slot + entry::record, rec);
        };
        std::function<uint32_t(uint64_t, size_t)> build = [&](uint64_t keys, size_t h) -> uint32_t {
          uint8_t b[kPage] = {};
          layOutSlots(b, max, keyLength);
          size_t count = 0;
          if (h == 1) {
            count = static_cast<size_t>(keys);
            for (size_t j = 0; j < count; ++j) nextKey(b + base + j * size);
          } else {
            uint64_t below = capacity(h - 1);
            uint64_t children = (keys + 1 + below) / (below + 1);  // ceil((keys + 1) / (below + 1))
            uint64_t spread = keys - (children - 1);
            for (uint64_t c = 0; c < children; ++c) {
              uint64_t share = spread / children + (c < spread % children ? 1 : 0);
              uint32_t child = build(share, h - 1);
              rt::putLE32(b + base + c * size + entry::child, child);
              if (c + 1 < children) nextKey(b + base + c * size);
            }
            count = static_cast<size_t>(children - 1);
          }
          rt::putLE16(b + page::count, static_cast<uint16_t>(count));
          uint32_t at = allocPage();
          write(at, b, kPage);
          return at;
        };
        t.root_ = build(n, height);
        if (feed.failed()) throw Damaged{"cannot read a sort run"};
        ++t.counter_;
        writeHeader();
        t.pages_.bump();
        return &t;
      },
      [] {});
}

void NtxFile::removeAll() {
  if (readOnly_ || !hasTag_) return;
  guard(
      false,
      [this] {
        startOver();
        NtxTag& t = tag_;
        uint8_t buf[kPage] = {};
        layOutSlots(buf, t.max_, t.keyLength_);
        t.root_ = allocPage();
        write(t.root_, buf, kPage);
        ++t.counter_;
        writeHeader();
        return true;
      },
      [] {});
}

void NtxFile::refresh() {
  uint8_t h[hdr::changedBytes];
  if (hasTag_ && file_.readAt(0, h, sizeof h) &&
      (rt::getLE16(h + hdr::counter) != tag_.counter_ ||
       rt::getLE32(h + hdr::root) != tag_.root_)) {
    measureEnd();
    KeyType type = tag_.type_;
    std::string why;
    auto keep = resolver_;
    resolver_ = [type](std::string_view, size_t) { return type; };
    if (!loadHeader(why)) fail(why);
    resolver_ = keep;
  }
}

}  // namespace tav::engine::ntx

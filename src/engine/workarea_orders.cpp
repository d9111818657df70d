// A work area's orders: the index files in its order list, the current tag, the damaged
// structural index the table opened without, and the building of tags (ORDCREATE, INDEX ON) from
// one pass over the table.
#include "engine/workarea.h"

#include <algorithm>
#include <cstring>

#include "engine/drivers.h"
#include "engine/expr/expression.h"
#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "engine/staging.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "os/files.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace tav::engine {
namespace {
bool samePath(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  return a.lexically_normal() == b.lexically_normal();
}

}  // namespace

// ---------------------------------------------------------------- orders

void WorkArea::detachDamagedStructuralIndex(const std::filesystem::path& host, std::string why) {
  damagedIndex_ = host;
  table_->noteIssue("structural index " + os::oemText(host) + " is damaged (" + why +
                    "): opened without it");
}

bool WorkArea::settleDamagedIndex(const char* operation) {
  if (damagedIndex_.empty() || table_->readOnly()) return true;
  // A write the damaged index does not follow would leave it stale in a way nothing detects.
  // Another workstation may have that file open: only an exclusive holder may remove it.
  if (table_->shared()) {
    raise(rt::kErrCorruption,
          "structural index " + os::oemText(damagedIndex_) +
              " is damaged; no write until it is rebuilt",
          operation);
    return false;
  }
  std::error_code ec;
  std::filesystem::remove(damagedIndex_, ec);
  if (std::filesystem::exists(damagedIndex_)) {
    raise(rt::kErrWrite, "cannot remove the damaged index " + os::oemText(damagedIndex_),
          operation);
    return false;
  }
  table_->setTableFlags(table_->header().tableFlags & ~dbf::kFlagStructuralCdx);
  damagedIndex_.clear();
  return true;
}

void WorkArea::attachIndex(std::unique_ptr<IndexFile> file) {
  bool hadOrder = current_ >= 0;
  std::vector<Order> added;
  for (IndexTag* t : file->tags()) {
    ValueFn fn = compileKey(*t, t->plainByteOrder());
    if (!fn) continue;
    added.push_back({file.get(), t, std::move(fn), t->name(), t->plainByteOrder()});
  }
  bool first = !added.empty();
  orders_.insert(orders_.end(), added.begin(), added.end());
  indexes_.push_back(std::move(file));
  // An index added to an area in natural order gives it its first tag as the order, as the
  // single-key index files always did; the structural .cdx that opens with a table does not.
  if (!hadOrder && first && driver_->indexExtension == ".ntx")
    current_ = static_cast<int>(orders_.size() - added.size());
  tagPositioned_ = false;
}

IndexKeyTypeResolver WorkArea::keyTypeResolver() {
  return [this](std::string_view expression, size_t) -> std::optional<KeyType> {
    std::unique_ptr<Expression> e;
    {
      AliasSelected here(*this);
      rt::guarded([&] { e = Expression::compile(expression, ws_); });
    }
    return e ? keyTypeOf(e->resultType()) : std::nullopt;
  };
}

bool WorkArea::orderListAdd(const std::filesystem::path& host) {
  flushRecord();
  for (auto& f : indexes_)
    if (samePath(os::hostPath(f->path()), host)) return true;
  std::string why;
  auto file = openIndexFile(host, table_->readOnly(), keyTypeResolver(), &why);
  if (!file) {
    raise(rt::kErrOpen, "cannot open index " + os::oemText(host) + ": " + why, "ORDLISTADD");
    return false;
  }
  attachIndex(std::move(file));
  return true;
}

void WorkArea::orderListClear() {
  flushRecord();
  for (auto& f : indexes_) f->flush();
  orders_.clear();
  indexes_.clear();
  current_ = -1;
  tagPositioned_ = false;
}

void WorkArea::rebuildOrders(const std::function<bool(const IndexFile*)>& which) {
  IndexGuard guard(*this, true);
  {
    CursorKept cursor(*this);
    for (auto& o : orders_) {
      if (which && !which(o.file)) continue;
      std::string name = o.tag->name(), expr = o.tag->keyExpression();
      KeyType type = o.tag->keyType();
      size_t len = o.tag->keyLength();
      // Another engine's tag is rebuilt as ours: in the collation, with the national upper().
      if (o.plain) {
        ValueFn fn = compileKey(*o.tag, false);
        if (!fn) continue;
        o.key = std::move(fn);
        o.plain = false;
      }
      uint32_t r = 0, count = table_->recordCount();
      // Deleted records stay in the index: a later RECALL then finds its key in place.
      KeySource src = [&](std::string& key, uint32_t& recno) {
        if (++r > count) return false;
        if (!table_->readRecord(r, buf_.data())) return false;
        standOnRead(r);
        key = keyOf(o);
        recno = r;
        return true;
      };
      IndexTag* t = o.file->createTag(name, expr, type, len, src);
      if (t) o.tag = t;
    }
    for (auto& o : orders_)
      if (IndexTag* t = o.file->tag(o.tag->name())) o.tag = t;
  }
  afterMove();
  tagPositioned_ = false;
}

bool WorkArea::orderListRebuild() {
  if (table_->shared() || table_->readOnly()) {
    raise(rt::kErrShared, "rebuilding indexes needs the table opened exclusively",
          "ORDLISTREBUILD");
    return false;
  }
  flushRecord();
  rebuildOrders();
  goTop();
  return true;
}

bool WorkArea::setOrder(std::string_view tagName) {
  std::string n = rt::upper(rt::allTrim(tagName));
  if (n.empty()) {
    current_ = -1;
    return true;
  }
  for (size_t i = 0; i < orders_.size(); ++i) {
    if (rt::upper(orders_[i].tag->name()) == n) {
      current_ = static_cast<int>(i);
      tagPositioned_ = false;
      return true;
    }
  }
  raise(rt::kErrNoOrder, "no tag " + n, "ORDSETFOCUS");
  return false;
}

IndexTag* WorkArea::order() const {
  return current_ >= 0 ? orders_[size_t(current_)].tag : nullptr;
}

std::string WorkArea::orderName() const {
  return current_ >= 0 ? orders_[size_t(current_)].tag->name() : "";
}

bool WorkArea::orderCreate(const std::filesystem::path& host, std::string_view tagName,
                           std::string_view keyExpression) {
  return orderCreate(host, {{std::string(tagName), std::string(keyExpression)}});
}

bool WorkArea::orderCreate(const std::filesystem::path& host, const std::vector<TagText>& tags) {
  flushRecord();
  if (tags.empty()) return true;
  // A tag for the damaged structural index starts a new file in its place.
  if (!damagedIndex_.empty() && samePath(damagedIndex_, host) && !settleDamagedIndex("ORDCREATE"))
    return false;
  const bool cdx = host.extension() == ".cdx" || host.extension() == ".CDX";
  if (!cdx && tags.size() > 1) {
    raise(rt::kErrCreate, "a single-key index file holds one key: " + os::oemText(host),
          "ORDCREATE");
    return false;
  }
  IndexFile* file = nullptr;
  for (auto& f : indexes_)
    if (samePath(os::hostPath(f->path()), host)) file = f.get();
  std::unique_ptr<IndexFile> fresh;
  if (!file) {
    std::string why;
    fresh = std::filesystem::exists(host) ? openIndexFile(host, false, keyTypeResolver(), &why)
                                          : createIndexFile(host, &why);
    if (!fresh) {
      raise(rt::kErrCreate, "cannot create index " + os::oemText(host) + ": " + why, "ORDCREATE");
      return false;
    }
    file = fresh.get();
  }
  std::vector<ValueFn> fns;
  for (const TagText& t : tags) {
    {
      AliasSelected here(*this);
      fns.push_back(ws_.compile(t.keyExpression));
    }
    if (!fns.back()) return false;
  }
  std::vector<TagDefinition> defs;
  std::vector<IndexTag*> made;
  {
    CursorKept cursor(*this);
    // Each key's type and width come from its value over a blank record.
    buf_ = blank_;
    for (size_t i = 0; i < tags.size(); ++i) {
      rt::Value sample = fns[i]();
      KeyType type = keyTypeOf(sample);
      size_t len = type == KeyType::Character ? (sample.isText() ? sample.str().size() : 0)
                                              : fixedKeyLength(type);
      if (len == 0 || len > 240) {
        raise(rt::kErrDataWidth,
              "key of " + tags[i].keyExpression + " has length " + std::to_string(len),
              "ORDCREATE");
        return false;
      }
      // A single-key file stores numbers and dates as text of the key's width, which the blank
      // record cannot tell; the tool builds such files on character keys only.
      if (type != KeyType::Character && !cdx) {
        raise(rt::kErrDataType, "single-key index files are built on character keys", "ORDCREATE");
        return false;
      }
      defs.push_back({rt::upper(tags[i].name), tags[i].keyExpression, type, len});
    }
    IndexGuard guard(*this, true);
    uint32_t r = 0, count = table_->recordCount();
    KeysSource src = [&](std::vector<std::string>& keys, uint32_t& recno) {
      if (++r > count) return false;
      if (!table_->readRecord(r, buf_.data())) return false;
      standOnRead(r);
      for (size_t i = 0; i < defs.size(); ++i)
        keys[i] = encodeKey(fns[i](), defs[i].type, defs[i].keyLength);
      recno = r;
      return true;
    };
    made = file->createTags(defs, src);
  }
  afterMove();  // related areas follow the record the area is back on
  // A page that could not be written (a full disk) leaves a tag pointing past the end of the
  // file: the build has failed even though the tags came back.
  if (made.size() != defs.size() || !indexFileError(*file).empty()) {
    raise(rt::kErrCreate,
          "cannot build tag " + tags[std::min(made.size(), tags.size() - 1)].name + ": " +
              indexFileError(*file),
          "ORDCREATE");
    return false;
  }
  if (fresh) indexes_.push_back(std::move(fresh));
  // A tag made in the table's own .cdx makes it the structural index, which opens with the
  // table from now on.
  if (driver_->structuralIndex && host.stem() == table_->path().stem() &&
      !(table_->header().tableFlags & dbf::kFlagStructuralCdx))
    table_->setTableFlags(table_->header().tableFlags | dbf::kFlagStructuralCdx);
  for (size_t i = 0; i < defs.size(); ++i) {
    IndexTag* t = made[i];
    const std::string& upperName = defs[i].name;
    orders_.erase(std::remove_if(orders_.begin(), orders_.end(),
                                 [&](const Order& o) {
                                   return o.file == file && rt::upper(o.tag->name()) == upperName;
                                 }),
                  orders_.end());
    orders_.push_back({file, t, fns[i], t->name()});
    for (auto& o : orders_)
      if (o.file == file)
        if (IndexTag* same = file->tag(o.tag == t ? upperName : o.tag->name())) o.tag = same;
  }
  current_ = static_cast<int>(orders_.size() - 1);
  goTop();
  return true;
}

bool WorkArea::indexCreate(const std::filesystem::path& host, const std::vector<TagText>& tags) {
  const char* op = "INDEX";
  if (table_->shared() || table_->readOnly()) {
    raise(rt::kErrShared, "building an index file needs the table opened exclusively", op);
    return false;
  }
  const bool compound = host.extension() == ".cdx" || host.extension() == ".CDX";
  if (tags.empty() || (!compound && tags.size() != 1)) {
    raise(rt::kErrArg, compound ? "no tag to build" : "a single-key index file holds one tag", op);
    return false;
  }
  flushRecord();
  std::vector<TagText> named;
  for (const TagText& t : tags) {
    const std::string name = rt::upper(rt::allTrim(t.name));
    for (const TagText& n : named)
      if (n.name == name) {
        raise(rt::kErrArg, "tag " + name + " is named twice", op);
        return false;
      }
    named.push_back({name, t.keyExpression});
  }
  // The old file goes out of the order list; the new one comes in when it is in place.
  auto leaveOrderList = [&](const std::filesystem::path& path) {
    std::string error;
    for (size_t i = 0; i < indexes_.size();) {
      if (!samePath(os::hostPath(indexes_[i]->path()), path)) {
        ++i;
        continue;
      }
      IndexFile* f = indexes_[i].get();
      f->flush();
      error = indexFileError(*f);
      orders_.erase(std::remove_if(orders_.begin(), orders_.end(),
                                   [&](const Order& o) { return o.file == f; }),
                    orders_.end());
      indexes_.erase(indexes_.begin() + long(i));
    }
    current_ = -1;
    tagPositioned_ = false;
    return error;
  };
  leaveOrderList(host);
  if (!damagedIndex_.empty() && samePath(damagedIndex_, host)) damagedIndex_.clear();
  // Built under the staging name by the one-pass build, then let go of: it comes back under its
  // own name once it is whole on the disk.
  const std::filesystem::path staged = stagedPath(host);
  os::removeHostFile(staged);
  // However the build ends (an error the handler abandons at included), the staged file goes
  // unless it has taken the index's name.
  struct StagedRemoved {
    const std::filesystem::path& path;
    ~StagedRemoved() { os::removeHostFile(path); }
  } stagedRemoved{staged};
  const bool built = orderCreate(staged, named);
  std::string why = leaveOrderList(staged);
  bool ok = built && why.empty();
  if (ok) {
    // Forced whole before the rename, so that the name never leads to a file still unwritten.
    os::File sync;
    ok = sync.open(staged, os::File::Mode::Read) && sync.syncAll();
    sync.close();
    if (ok) {
      const os::Status swapped = os::replaceHostFile(staged, host);
      if (!(ok = static_cast<bool>(swapped))) why = swapped.message();
    }
  }
  if (!ok) {
    // A build that failed has said why already.
    if (built)
      raise(rt::kErrWrite, "cannot build " + os::oemText(host) + (why.empty() ? "" : ": " + why),
            op);
    goTop();
    return false;
  }
  std::unique_ptr<IndexFile> file = openIndexFile(host, false, keyTypeResolver(), &why);
  if (!file) {
    raise(rt::kErrOpen, "cannot open the new " + os::oemText(host) + ": " + why, op);
    goTop();
    return false;
  }
  for (const TagText& t : named) {
    IndexTag* tag = file->tag(t.name);
    if (!tag) continue;
    ValueFn fn;
    {
      AliasSelected here(*this);
      fn = ws_.compile(t.keyExpression);
    }
    orders_.push_back({file.get(), tag, std::move(fn), tag->name()});
  }
  indexes_.push_back(std::move(file));
  if (driver_->structuralIndex && host.stem() == table_->path().stem() &&
      !(table_->header().tableFlags & dbf::kFlagStructuralCdx))
    table_->setTableFlags(table_->header().tableFlags | dbf::kFlagStructuralCdx);
  goTop();
  return true;
}

}  // namespace tav::engine

// Work areas: navigation, field access, record buffers, locks and relations. A record buffer
// reaches the file and every tag of every open index together, when the area moves, commits or
// closes; copies move field bytes only where the value would write the same bytes. The area's
// writes and rewrites, its orders and its export and import have files of their own
// (workarea_changes, workarea_orders, workarea_transfer).
#include "engine/workarea.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "engine/drivers.h"
#include "engine/expr/expression.h"
#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "engine/staging.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace tav::engine {
namespace {
constexpr int kMaxRelationDepth = 8;
constexpr int kIndexLockTries = 500;
}  // namespace

WorkArea::WorkArea(Workspace& ws, int number, std::string alias, std::unique_ptr<Table> table,
                   const Driver& driver)
    : ws_(ws),
      number_(number),
      alias_(std::move(alias)),
      table_(std::move(table)),
      driver_(&driver),
      blank_(blankRecord(table_->header())) {
  buf_ = orig_ = blank_;
  recno_ = table_->recordCount() + 1;
}

WorkArea::~WorkArea() {
  try {
    close();
  } catch (...) {
    // A destructor cannot report; close() already raised through the handler.
  }
}

void WorkArea::close() {
  if (!table_) return;
  flushRecord();
  unlock();
  for (auto& f : indexes_) f->flush();
  // Appended records may still be waiting to be written: a close that could not write them
  // (a full disk) says so, or a caller would take the short table for the whole one and, say,
  // swap it in for the table it was copied from. What the area changed reaches the disk with
  // its indexes, which their close forces: a caller that records its work as done after the
  // close (a conversion step its release) must not find after a power cut the record on disk
  // and the changes it names still in memory.
  const bool written = table_->syncWritten();
  const rt::Error unwritten = errorFor(rt::kErrWrite, "cannot write the table", "DBCLOSEAREA");
  orders_.clear();
  indexes_.clear();
  table_.reset();
  if (!written) rt::raise(rt::Error(unwritten));
}

void WorkArea::raise(int code, std::string description, const std::string& operation) {
  rt::Error e = errorFor(code, std::move(description), operation);
  rt::raise(e);
}

rt::Error WorkArea::errorFor(int code, std::string description,
                             const std::string& operation) const {
  rt::Error e;
  e.genCode = code;
  e.subSystem = driver_->name;
  e.description = std::move(description);
  e.filename = table_ ? os::oemText(table_->path()) : std::string();
  e.operation = operation;
  e.canDefault = true;
  return e;
}

// ---------------------------------------------------------------- index locks

WorkArea::IndexGuard::IndexGuard(WorkArea& a, bool exclusive) : area_(a) {
  held_ = a.lockIndexes(exclusive);
}

void WorkArea::IndexGuard::release() {
  if (held_) area_.unlockIndexes();
  held_ = false;
}

bool WorkArea::lockIndexes(bool exclusive) {
  if (!table_->shared() || indexes_.empty()) return false;
  // Another workstation holds an index only while it writes a few pages; these tries, a
  // hundredth of a second apart, outlast that by far.
  for (int attempt = 0; attempt < kIndexLockTries; ++attempt) {
    size_t done = 0;
    while (done < indexes_.size() && indexes_[done]->lock(exclusive)) ++done;
    if (done == indexes_.size()) {
      // A file that saw another writer's changes may have loaded its tags anew.
      for (auto& o : orders_)
        if (IndexTag* t = o.file->tag(o.name)) o.tag = t;
      return true;
    }
    for (size_t i = 0; i < done; ++i) indexes_[i]->unlock();
    rt::pause(1);
  }
  raise(rt::kErrLock, "index files are locked by another workstation", "INDEX");
  return false;
}

void WorkArea::unlockIndexes() {
  for (auto& f : indexes_) f->unlock();
}

// ---------------------------------------------------------------- positioning

void WorkArea::load(uint32_t recno) {
  if (!table_->readRecord(recno, buf_.data())) {
    raise(rt::kErrRead, "cannot read record " + std::to_string(recno), "DBGOTO");
    phantom();
    return;
  }
  origBehind_ = true;
  recno_ = recno;
  eof_ = false;
}

void WorkArea::phantom() {
  buf_ = orig_ = blank_;
  origBehind_ = false;
  recno_ = table_->recordCount() + 1;
  eof_ = true;
  tagPositioned_ = false;
}

bool WorkArea::visibleHere() {
  if (rt::settings().deletedHidden && buf_[0] == '*') return false;
  if (filter_ && !filter_()) return false;
  return true;
}

uint32_t WorkArea::lastRec() {
  if (table_->shared()) table_->refreshCount();
  return table_->recordCount();
}

bool WorkArea::deleted() const { return !eof_ && buf_[0] == '*'; }

uint32_t WorkArea::nextVisible(uint32_t from, bool forward) {
  uint32_t count = table_->recordCount();
  for (uint32_t r = from; r >= 1 && r <= count; forward ? ++r : --r) {
    if (!table_->readRecord(r, buf_.data())) break;
    origBehind_ = true;
    recno_ = r;
    eof_ = false;
    if (visibleHere()) return r;
  }
  return 0;
}

uint32_t WorkArea::visibleAlong(IndexTag& t, uint32_t r, bool forward) {
  for (; r; r = forward ? t.next() : t.prev()) {
    // A key of a record appended by another workstation after our count was read.
    if (r > table_->recordCount()) continue;
    load(r);
    if (visibleHere()) break;
  }
  return r;
}

std::string WorkArea::keyOf(Order& o) {
  // Another process may have rebuilt another engine's tag in our collation since the key was
  // compiled (or the other way round): the key follows the tag's dialect.
  if (o.tag->plainByteOrder() != o.plain) {
    if (ValueFn fn = compileKey(*o.tag, o.tag->plainByteOrder())) {
      o.key = std::move(fn);
      o.plain = o.tag->plainByteOrder();
    }
  }
  // keyFor gives each file kind its own key form (binary for .cdx, text for .ntx).
  return keyFor(*o.tag, o.key());
}

WorkArea::AliasSelected::AliasSelected(WorkArea& a) : ws_(a.ws_), previous_(a.ws_.current()) {
  ws_.select(a.alias_);
}

WorkArea::AliasSelected::~AliasSelected() {
  if (previous_) ws_.select(previous_->alias());
}

ValueFn WorkArea::compileKey(const IndexTag& tag, bool plain) {
  AliasSelected here(*this);
  CompileOptions options;
  options.asciiCase = plain;
  return ws_.compile(tag.keyExpression(), options);
}

void WorkArea::positionTag() {
  if (tagPositioned_ || current_ < 0 || eof_) return;
  Order& o = orders_[size_t(current_)];
  std::string key = keyOf(o);
  if (!o.tag->locate(key, recno_)) {
    bool found = false;
    o.tag->seek(key, found);
  }
  tagPositioned_ = true;
}

void WorkArea::goTop() {
  flushRecord();
  bof_ = found_ = false;
  lastRec();
  uint32_t r = 0;
  IndexGuard guard(*this, false);
  if (current_ >= 0) {
    IndexTag* t = orders_[size_t(current_)].tag;
    r = visibleAlong(*t, t->first(), true);
    tagPositioned_ = r != 0;
  } else {
    r = nextVisible(1, true);
  }
  if (!r) {
    phantom();
    bof_ = true;
  }
  guard.release();
  afterMove();
}

void WorkArea::goBottom() {
  flushRecord();
  bof_ = found_ = false;
  IndexGuard guard(*this, false);
  uint32_t r = lastVisible();
  if (!r) {
    phantom();
    bof_ = true;
  }
  guard.release();
  afterMove();
}

// Loads the last record visible in the controlling order (or in record order); 0 when none is.
// The caller holds the index guard.
uint32_t WorkArea::lastVisible() {
  uint32_t count = lastRec();
  if (current_ < 0) return nextVisible(count, false);
  IndexTag* t = orders_[size_t(current_)].tag;
  uint32_t r = visibleAlong(*t, t->last(), false);
  tagPositioned_ = r != 0;
  return r;
}

void WorkArea::goTo(uint32_t recno) {
  flushRecord();
  bof_ = found_ = false;
  tagPositioned_ = false;
  if (recno >= 1 && recno > table_->recordCount()) lastRec();
  if (recno >= 1 && recno <= table_->recordCount())
    load(recno);
  else
    phantom();
  afterMove();
}

void WorkArea::skip(long n) {
  flushRecord();
  found_ = false;
  if (n == 0) {
    if (!eof_) load(recno_);
    afterMove();
    return;
  }
  IndexGuard guard(*this, false);
  if (n > 0) {
    bof_ = false;
    for (long i = 0; i < n && !eof_; ++i) {
      uint32_t r = 0;
      if (current_ >= 0) {
        positionTag();
        IndexTag* t = orders_[size_t(current_)].tag;
        r = visibleAlong(*t, t->next(), true);
      } else {
        if (recno_ >= table_->recordCount()) lastRec();
        r = nextVisible(recno_ + 1, true);
      }
      if (!r) phantom();
    }
  } else {
    for (long i = 0; i < -n; ++i) {
      if (eof_) {
        // One step back from the end is the last visible record.
        uint32_t r = lastVisible();
        if (!r) {
          phantom();
          bof_ = true;
          break;
        }
        continue;
      }
      uint32_t keep = recno_;
      uint32_t r = 0;
      if (current_ >= 0) {
        positionTag();
        IndexTag* t = orders_[size_t(current_)].tag;
        r = visibleAlong(*t, t->prev(), false);
      } else {
        r = recno_ > 1 ? nextVisible(recno_ - 1, false) : 0;
      }
      if (!r) {
        // Before the first record: BOF, and the pointer stays on the first one.
        load(keep);
        tagPositioned_ = false;
        bof_ = true;
        break;
      }
    }
  }
  guard.release();
  afterMove();
}

bool WorkArea::seek(const rt::Value& key, std::optional<bool> softOpt) {
  flushRecord();
  bof_ = found_ = false;
  bool soft = softOpt.value_or(rt::settings().softSeek);
  if (current_ < 0) {
    raise(rt::kErrNoOrder, "no controlling order", "DBSEEK");
    return false;
  }
  IndexTag* t = orders_[size_t(current_)].tag;
  std::string k;
  if (t->keyType() == KeyType::Character) {
    if (!key.isText()) {
      raise(rt::kErrDataType, "seek key is not a text", "DBSEEK");
      return false;
    }
    k = key.str().substr(0, t->keyLength());
  } else {
    if (key.isNil() || keyTypeOf(key) != t->keyType()) {
      raise(rt::kErrDataType, "seek key does not match the order's key type", "DBSEEK");
      return false;
    }
    k = keyFor(*t, key);
  }
  lastRec();
  IndexGuard guard(*this, false);
  t = orders_[size_t(current_)].tag;
  bool found = false;
  uint32_t r = visibleAlong(*t, t->seek(k, found), true);
  if (r) found = t->currentKey().compare(0, k.size(), k) == 0;
  if (r && (found || soft)) {
    tagPositioned_ = true;
  } else {
    phantom();
  }
  found_ = found && r;
  guard.release();
  afterMove();
  return found_;
}

bool WorkArea::locate(Condition cond, Condition whileCond, bool rest) {
  locateCond_ = std::move(cond);
  locateWhile_ = std::move(whileCond);
  if (!rest) goTop();
  for (; !eof_; skip(1)) {
    if (locateWhile_ && !locateWhile_()) break;
    if (locateCond_()) {
      found_ = true;
      return true;
    }
  }
  found_ = false;
  return false;
}

bool WorkArea::continueLocate() {
  if (!locateCond_ || eof_) return found_ = false;
  skip(1);
  for (; !eof_; skip(1)) {
    if (locateWhile_ && !locateWhile_()) break;
    if (locateCond_()) return found_ = true;
  }
  return found_ = false;
}

void WorkArea::afterMove() {
  if (relations_.empty() || relationDepth_ >= kMaxRelationDepth) return;
  ++relationDepth_;
  struct Depth {
    int& d;
    ~Depth() { --d; }
  } depth{relationDepth_};
  for (auto& rel : relations_) {
    WorkArea* child = ws_.find(rel.child);
    if (!child || child == this) continue;
    if (eof_) {
      child->goTo(0);
      continue;
    }
    rt::Value v = rel.key();
    if (child->order())
      child->seek(v, false);
    else if (v.isNumber() && v.num() >= 1)
      child->goTo(static_cast<uint32_t>(v.num()));
    else
      child->goTo(0);
  }
}

void WorkArea::standOnRead(uint32_t recno) {
  recno_ = recno;
  eof_ = false;
  afterMove();
}

// ---------------------------------------------------------------- fields

int WorkArea::fieldPos(std::string_view asked) const {
  // Asked for each record a conversion reads or changes by name: the name is compared where it
  // is, trimmed of blanks and in upper case as the fields' names are kept, with no copy made.
  const std::string_view name = rt::allTrimmed(asked);
  const auto& vis = table_->visibleFields();
  const auto& fields = table_->header().fields;
  auto named = [&](size_t i) {
    const std::string& f = fields[vis[i]].name;
    if (f.size() != name.size()) return false;
    for (size_t k = 0; k < f.size(); ++k)
      if (f[k] != rt::upperChar(name[k])) return false;
    return true;
  };
  NameHit& hit = nameHits_[(reinterpret_cast<uintptr_t>(name.data()) >> 3) % nameHits_.size()];
  if (hit.text == name.data() && hit.pos > 0 && static_cast<size_t>(hit.pos) <= vis.size() &&
      named(static_cast<size_t>(hit.pos) - 1))
    return hit.pos;
  for (size_t i = 0; i < vis.size(); ++i)
    if (named(i)) {
      hit = {name.data(), static_cast<int>(i + 1)};
      return hit.pos;
    }
  return 0;
}

const FieldDef& WorkArea::field(size_t pos) const {
  return table_->header().fields[table_->visibleFields().at(pos - 1)];
}

rt::Value WorkArea::readMemo(const FieldDef& f, const char* raw) {
  uint32_t block = memoPointer(f, table_->header().memoPointersBinary(), raw);
  if (!block || !table_->memo()) return rt::Value::memo(std::string());
  std::string why;
  auto text = table_->memo()->read(block, why);
  if (!text) {
    raise(rt::kErrCorruption, "damaged memo of field " + f.name + ": " + why, "FIELDGET");
    return rt::Value::memo(std::string());
  }
  return rt::Value::memo(std::move(*text));
}

rt::Value WorkArea::get(size_t pos) {
  if (pos < 1 || pos > fieldCount()) {
    raise(rt::kErrBound, "field position " + std::to_string(pos) + " out of range", "FIELDGET");
    return rt::Value();
  }
  size_t idx = table_->visibleFields()[pos - 1];
  const FieldDef& f = table_->header().fields[idx];
  auto pending = memos_.find(idx);
  if (pending != memos_.end()) return rt::Value::memo(pending->second);
  rt::Value v;
  uint32_t block = 0;
  if (decodeField(f, buf_.data() + f.offset, table_->header(), v, block) == Decoded::Memo && block)
    return readMemo(f, buf_.data() + f.offset);
  return v;
}

rt::Value WorkArea::get(std::string_view name) {
  int pos = fieldPos(name);
  if (!pos) {
    raise(rt::kErrNoVar, "no field " + std::string(name), "FIELDGET");
    return rt::Value();
  }
  return get(size_t(pos));
}

void WorkArea::appendRaw(size_t pos, std::string& out) const {
  const FieldDef& f = field(pos);
  if (f.type == 'C') {
    out.append(buf_.data() + f.offset, f.length);
    return;
  }
  rt::Value v = const_cast<WorkArea*>(this)->get(pos);
  if (v.isText()) out += v.str();
}

std::string WorkArea::fieldBytes(size_t first, size_t last) const {
  const FieldDef &from = field(first), &to = field(last);
  return buf_.substr(from.offset, to.offset + to.length - from.offset);
}

void WorkArea::putFieldBytes(size_t first, std::string_view bytes) {
  if (eof_ || !requireWritable("FIELDPUT")) return;
  buf_.replace(field(first).offset, bytes.size(), bytes);
  dirty_ = true;
}

namespace {
std::atomic<bool> gFieldBytesMoved{true};
}  // namespace

bool setFieldBytesMoved(bool on) { return gFieldBytesMoved.exchange(on); }

void WorkArea::putFields(WorkArea& from, const std::vector<std::pair<size_t, size_t>>& pairs) {
  putFields(from, planFieldCopy(from, pairs));
}

FieldCopy WorkArea::planFieldCopy(const WorkArea& from,
                                  const std::vector<std::pair<size_t, size_t>>& pairs) const {
  FieldCopy plan;
  plan.source = &from;
  for (auto [here, there] : pairs) {
    FieldCopy::Field c;
    c.here = here;
    c.there = there;
    size_t to = 0, at = 0, length = 0;
    if (here >= 1 && here <= fieldCount() && there >= 1 && there <= from.fieldCount()) {
      const FieldDef& f = field(here);
      const FieldDef& g = from.field(there);
      c.bytes = f.type == g.type && f.length == g.length && f.decimals == g.decimals &&
                f.nullBit < 0 && f.varBit < 0 && g.nullBit < 0 && g.varBit < 0;
      c.alwaysBytes = c.bytes && g.type == 'C';
      c.source = g;
      c.check = roundTripCheck(g);
      to = f.offset;
      at = g.offset;
      length = f.length;
    }
    plan.fields.push_back(std::move(c));
    const size_t k = plan.fields.size() - 1;
    FieldCopy::Run* last = plan.runs.empty() ? nullptr : &plan.runs.back();
    // Within one area the bytes of a run could overlap themselves: there, field by field.
    if (plan.fields[k].bytes && last && last->bytes && &from != this &&
        last->to + last->length == to && last->from + last->length == at) {
      ++last->count;
      last->length += length;
    } else {
      plan.runs.push_back({k, 1, to, at, length, plan.fields[k].bytes});
    }
  }
  return plan;
}

void WorkArea::putFields(WorkArea& from, const FieldCopy& plan) {
  if (plan.source != &from) {
    raise(rt::kErrArg, "field copy planned for another area", "FIELDPUT");
    return;
  }
  const bool moveBytes = gFieldBytesMoved;
  // Whether the record may be written is the same for every field of it: asked once, and again
  // per field only while the answer is no, so each refused field raises as put() does.
  bool writable = false;
  const char* source = from.buf_.data();
  auto oneField = [&](const FieldCopy::Field& c) {
    if (moveBytes && c.bytes && bytesRoundTrip(c.check, source + c.source.offset)) {
      if (!writable && !(writable = requireWritable("FIELDPUT"))) return;
      std::memcpy(buf_.data() + field(c.here).offset, source + c.source.offset, c.source.length);
      dirty_ = true;
      return;
    }
    put(c.here, from.get(c.there));
  };
  for (const FieldCopy::Run& run : plan.runs) {
    const FieldCopy::Field* first = plan.fields.data() + run.first;
    bool whole = moveBytes && run.bytes;
    for (size_t k = 0; whole && k < run.count; ++k)
      whole =
          first[k].alwaysBytes || bytesRoundTrip(first[k].check, source + first[k].source.offset);
    if (!whole) {
      for (size_t k = 0; k < run.count; ++k) oneField(first[k]);
      continue;
    }
    if (writable || (writable = requireWritable("FIELDPUT"))) {
      std::memcpy(buf_.data() + run.to, source + run.from, run.length);
      dirty_ = true;
      continue;
    }
    // Refused: that was the first field's error; each of the others raises its own.
    for (size_t k = 1; k < run.count; ++k) oneField(first[k]);
  }
}

bool WorkArea::isLocked(uint32_t recno) const {
  return !table_->shared() || fileLocked_ || locks_.count(recno) != 0;
}

bool WorkArea::requireWritable(const char* operation) {
  if (table_->readOnly()) {
    raise(rt::kErrReadOnly, "table is open read-only", operation);
    return false;
  }
  if (!settleDamagedIndex(operation)) return false;
  if (eof_) {
    raise(rt::kErrArg, "no current record (end of file)", operation);
    return false;
  }
  // Writing a record another workstation may hold would let both versions race to the file.
  if (!isLocked(recno_)) {
    raise(rt::kErrUnlocked, "record " + std::to_string(recno_) + " is not locked", operation);
    return false;
  }
  // Every change of the record passes here first: the record as read is kept before it.
  if (origBehind_) {
    orig_ = buf_;
    origBehind_ = false;
  }
  return true;
}

void WorkArea::put(size_t pos, const rt::Value& value) {
  if (pos < 1 || pos > fieldCount()) {
    raise(rt::kErrBound, "field position " + std::to_string(pos) + " out of range", "FIELDPUT");
    return;
  }
  if (!requireWritable("FIELDPUT")) return;
  size_t idx = table_->visibleFields()[pos - 1];
  const FieldDef& f = table_->header().fields[idx];
  rt::Value v = value;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int code = rt::kErrDataType;
    if (f.type == 'M' || f.type == 'G' || f.type == 'P') {
      if (v.isText()) {
        memos_[idx] = v.str();
        dirty_ = true;
        return;
      }
    } else {
      std::string raw(f.length, ' ');
      if (encodeField(f, v, raw.data(), code)) {
        std::memcpy(buf_.data() + f.offset, raw.data(), f.length);
        dirty_ = true;
        return;
      }
    }
    rt::Error e;
    e.genCode = code;
    e.subSystem = driver_->name;
    e.description = code == rt::kErrDataWidth
                        ? "value " + rt::toText(v) + " does not fit field " + f.name + " (" +
                              std::to_string(f.length) + "," + std::to_string(f.decimals) + ")"
                        : "value of type " + std::string(1, rt::typeLetter(v.type())) +
                              " for field " + f.name + " of type " + std::string(1, f.type);
    e.filename = os::oemText(table_->path());
    e.operation = "FIELDPUT";
    e.args = {v};
    e.canDefault = e.canSubstitute = true;
    rt::Answer a = rt::raise(e);
    if (a.kind != rt::Answer::Substitute) return;
    v = a.value;
  }
}

void WorkArea::put(std::string_view name, const rt::Value& v) {
  int pos = fieldPos(name);
  if (!pos) {
    raise(rt::kErrNoVar, "no field " + std::string(name), "FIELDPUT");
    return;
  }
  put(size_t(pos), v);
}

std::vector<FieldSpec> WorkArea::structure() const {
  std::vector<FieldSpec> s;
  for (size_t idx : table_->visibleFields()) {
    const FieldDef& f = table_->header().fields[idx];
    s.push_back({f.name, f.type, f.length, f.decimals});
  }
  return s;
}

void WorkArea::eval(const std::function<void()>& body, Condition forCond, Condition whileCond) {
  for (goTop(); !eof_; skip(1)) {
    if (whileCond && !whileCond()) break;
    if (!forCond || forCond()) body();
  }
}

// ---------------------------------------------------------------- locks

bool WorkArea::rlock() {
  if (eof_) return false;
  if (!table_->shared()) return true;
  // RLOCK() holds one record: the others this area held are released first.
  flushRecord();
  for (uint32_t r : locks_)
    if (r != recno_) table_->unlockRecord(r);
  bool had = locks_.count(recno_) != 0;
  locks_.clear();
  if (had) {
    locks_.insert(recno_);
    return true;
  }
  return rlock(recno_);
}

bool WorkArea::rlock(uint32_t recno) {
  if (!table_->shared()) return true;
  if (locks_.count(recno)) return true;
  if (!table_->lockRecord(recno)) return false;
  locks_.insert(recno);
  return true;
}

bool WorkArea::flock() {
  if (!table_->shared() || fileLocked_) return true;
  fileLocked_ = table_->lockFile();
  return fileLocked_;
}

void WorkArea::unlock() {
  if (!table_) return;
  flushRecord();
  for (uint32_t r : locks_) table_->unlockRecord(r);
  locks_.clear();
  if (fileLocked_) table_->unlockFile();
  fileLocked_ = false;
}

// ---------------------------------------------------------------- filter, relations

void WorkArea::setFilter(Condition cond, std::string text) {
  filter_ = std::move(cond);
  filterText_ = std::move(text);
}

void WorkArea::clearFilter() {
  filter_ = nullptr;
  filterText_.clear();
}

void WorkArea::setRelation(std::string_view childAlias, ValueFn key, std::string text) {
  relations_.push_back({rt::upper(childAlias), std::move(key), std::move(text)});
  afterMove();
}

void WorkArea::clearRelations() { relations_.clear(); }

}  // namespace tav::engine

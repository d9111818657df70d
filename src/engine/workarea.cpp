// Work areas: navigation, field access, record buffers, locks, order lists, relations, export
// and import. A record buffer reaches the file and every tag of every open index together, when
// the area moves, commits or closes; copies move field bytes only where the value would write
// the same bytes.
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
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace tav::engine {
namespace {
constexpr int kMaxRelationDepth = 8;
constexpr int kIndexLockTries = 500;

bool samePath(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  return a.lexically_normal() == b.lexically_normal();
}

bool numericType(char t) { return t == 'N' || t == 'F' || t == 'I' || t == 'B' || t == 'Y'; }
bool textType(char t) { return t == 'C' || t == 'M' || t == 'V'; }
bool dateType(char t) { return t == 'D' || t == 'T'; }
bool compatible(char a, char b) {
  return a == b || (numericType(a) && numericType(b)) || (textType(a) && textType(b)) ||
         (dateType(a) && dateType(b));
}
}  // namespace

WorkArea::WorkArea(Workspace& ws, int number, std::string alias, std::unique_ptr<Table> table,
                   const Driver& driver)
    : ws_(ws), number_(number), alias_(std::move(alias)), table_(std::move(table)), driver_(&driver) {
  buf_ = orig_ = blankRecord(table_->header());
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
  // swap it in for the table it was copied from.
  const bool written = table_->flush();
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

rt::Error WorkArea::errorFor(int code, std::string description, const std::string& operation) const {
  rt::Error e;
  e.genCode = code;
  e.subSystem = driver_->name;
  e.description = std::move(description);
  e.filename = table_ ? table_->path().string() : std::string();
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
  orig_ = buf_;
  recno_ = recno;
  eof_ = false;
}

void WorkArea::phantom() {
  buf_ = orig_ = blankRecord(table_->header());
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
    orig_ = buf_;
    recno_ = r;
    eof_ = false;
    if (visibleHere()) return r;
  }
  return 0;
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

ValueFn WorkArea::compileKey(const IndexTag& tag, bool plain) {
  WorkArea* previous = ws_.current();
  ws_.select(alias_);
  ValueFn fn;
  try {
    CompileOptions options;
    options.asciiCase = plain;
    fn = ws_.compile(tag.keyExpression(), options);
  } catch (...) {
    if (previous) ws_.select(previous->alias());
    throw;
  }
  if (previous) ws_.select(previous->alias());
  return fn;
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
    for (r = t->first(); r; r = t->next()) {
      if (r > table_->recordCount()) continue;
      load(r);
      if (visibleHere()) break;
    }
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
  uint32_t r = t->last();
  for (; r; r = t->prev()) {
    if (r > count) continue;
    load(r);
    if (visibleHere()) break;
  }
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
        for (r = t->next(); r; r = t->next()) {
          if (r > table_->recordCount()) continue;
          load(r);
          if (visibleHere()) break;
        }
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
        for (r = t->prev(); r; r = t->prev()) {
          if (r > table_->recordCount()) continue;
          load(r);
          if (visibleHere()) break;
        }
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
  uint32_t r = t->seek(k, found);
  for (; r; r = t->next()) {
    if (r > table_->recordCount()) continue;
    load(r);
    if (visibleHere()) break;
  }
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

// ---------------------------------------------------------------- fields

int WorkArea::fieldPos(std::string_view name) const {
  std::string n = rt::upper(rt::allTrim(name));
  const auto& vis = table_->visibleFields();
  for (size_t i = 0; i < vis.size(); ++i)
    if (table_->header().fields[vis[i]].name == n) return static_cast<int>(i + 1);
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

namespace {
std::atomic<bool> gFieldBytesMoved{true};
}  // namespace

bool setFieldBytesMoved(bool on) { return gFieldBytesMoved.exchange(on); }

void WorkArea::putFields(WorkArea& from, const std::vector<std::pair<size_t, size_t>>& pairs) {
  const bool moveBytes = gFieldBytesMoved;
  for (auto [here, there] : pairs) {
    if (moveBytes && here >= 1 && here <= fieldCount() && there >= 1 && there <= from.fieldCount()) {
      const FieldDef& f = field(here);
      const FieldDef& g = from.field(there);
      const char* raw = from.buf_.data() + g.offset;
      if (f.type == g.type && f.length == g.length && f.decimals == g.decimals && f.nullBit < 0 &&
          f.varBit < 0 && bytesRoundTrip(g, raw)) {
        if (!requireWritable("FIELDPUT")) continue;  // raised per field, as put() does
        std::memcpy(buf_.data() + f.offset, raw, f.length);
        dirty_ = true;
        continue;
      }
    }
    put(here, from.get(there));
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
    e.filename = table_->path().string();
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

// ---------------------------------------------------------------- changes

void WorkArea::flushRecord() {
  if (!dirty_ || !table_) return;
  const DbfHeader& h = table_->header();
  for (auto& [idx, text] : memos_) {
    const FieldDef& f = h.fields[idx];
    char* raw = buf_.data() + f.offset;
    uint32_t block = 0;
    if (!text.empty()) {
      if (!table_->memo()) {
        raise(rt::kErrWrite, "table has no memo file", "DBCOMMIT");
        continue;
      }
      // In place only when the block is this record's own, as it was read from the file.
      uint32_t old = appended_ ? 0 : memoPointer(f, h.memoPointersBinary(), orig_.data() + f.offset);
      block = table_->memo()->replace(old, text);
      if (!block) {
        raise(rt::kErrWrite, "cannot write the memo of field " + f.name, "DBCOMMIT");
        continue;
      }
    }
    encodeMemoPointer(f, h.memoPointersBinary(), block, raw);
  }
  memos_.clear();
  std::vector<std::string> newKeys, oldKeys;
  if (!orders_.empty()) {
    for (auto& o : orders_) newKeys.push_back(keyOf(o));
    if (!appended_) {
      std::swap(buf_, orig_);
      try {
        for (auto& o : orders_) oldKeys.push_back(keyOf(o));
      } catch (...) {
        std::swap(buf_, orig_);
        throw;
      }
      std::swap(buf_, orig_);
    }
  }
  if (!table_->writeRecord(recno_, buf_.data())) {
    raise(rt::kErrWrite, "cannot write record " + std::to_string(recno_), "DBCOMMIT");
    return;
  }
  IndexGuard guard(*this, true);
  for (size_t i = 0; i < orders_.size(); ++i) {
    IndexTag* t = orders_[i].tag;
    if (appended_) {
      t->insert(newKeys[i], recno_);
    } else if (oldKeys[i] != newKeys[i]) {
      t->remove(oldKeys[i], recno_);
      t->insert(newKeys[i], recno_);
    } else {
      continue;
    }
    tagPositioned_ = false;
  }
  orig_ = buf_;
  dirty_ = appended_ = false;
}

bool WorkArea::append() {
  flushRecord();
  netErr_ = false;
  ws_.setNetErr(false);
  if (table_->readOnly()) {
    raise(rt::kErrReadOnly, "table is open read-only", "DBAPPEND");
    return false;
  }
  if (!settleDamagedIndex("DBAPPEND")) return false;
  std::string blank = blankRecord(table_->header());
  if (table_->shared()) unlock();
  uint32_t r = 0;
  switch (table_->append(blank.data(), r)) {
    case Table::AppendResult::Locked:
      netErr_ = true;
      ws_.setNetErr(true);
      return false;
    case Table::AppendResult::Failed:
      raise(rt::kErrWrite, "cannot append a record", "DBAPPEND");
      return false;
    case Table::AppendResult::Ok: break;
  }
  // The new record is the appender's: locked until it is released like any record lock.
  if (table_->shared() && table_->lockRecord(r)) locks_.insert(r);
  buf_ = orig_ = blank;
  recno_ = r;
  eof_ = bof_ = found_ = false;
  appended_ = dirty_ = true;
  tagPositioned_ = false;
  afterMove();
  return true;
}

void WorkArea::remove() {
  if (eof_ || !requireWritable("DBDELETE")) return;
  buf_[0] = '*';
  dirty_ = true;
}

void WorkArea::recall() {
  if (eof_ || !requireWritable("DBRECALL")) return;
  buf_[0] = ' ';
  dirty_ = true;
}

void WorkArea::commit() {
  flushRecord();
  for (auto& f : indexes_) f->flush();
  if (!table_->commit()) raise(rt::kErrWrite, "cannot write the table to disk", "DBCOMMIT");
}

void WorkArea::flush() {
  flushRecord();
  if (!table_->flush()) raise(rt::kErrWrite, "cannot write the table", "DBCOMMIT");
}

void WorkArea::rollback() {
  buf_ = orig_;
  memos_.clear();
  // A new record stays new: its blank keys still have to reach the indexes.
  dirty_ = appended_;
}

namespace {
bool markedDeleted(uint32_t, const char* record) { return record[0] == '*'; }
}  // namespace

void WorkArea::pack() { rewriteFiles(markedDeleted, "DBPACK"); }

void WorkArea::packWithout(const std::set<uint32_t>& records) {
  rewriteFiles([&](uint32_t recno, const char* record) { return record[0] == '*' || records.count(recno); },
               "DBPACK");
}

bool WorkArea::compactMemo() {
  // Without a memo file there is nothing to compact: the table stays as it is.
  if (!table_->memo()) return true;
  return rewriteFiles({}, "MEMOPACK");
}

bool WorkArea::writeStagedTable(const std::filesystem::path& staged, const std::filesystem::path& stagedMemo,
                                const DropRule& drop, const char* operation) {
  const DbfHeader& h = table_->header();
  // The header goes over byte for byte (version, flags, code page mark, descriptors, backlink):
  // only the count and the date of the packed table are its own.
  std::string head(h.headerLength, '\0');
  {
    os::File in;
    if (!in.open(table_->path(), os::File::Mode::Read) || !in.readAt(0, head.data(), head.size())) {
      raise(rt::kErrRead, "cannot read the header of " + table_->path().string(), operation);
      return false;
    }
  }
  char first[8];
  encodeCountAndDate(h.version, 0, first);
  std::memcpy(head.data(), first, sizeof first);
  head.push_back(static_cast<char>(dbf::kEofMarker));
  {
    os::File out;
    if (!out.open(staged, os::File::Mode::Create) || !out.writeAt(0, head.data(), head.size())) {
      raise(rt::kErrCreate, "cannot create " + staged.string(), operation);
      return false;
    }
  }
  MemoFile* oldMemo = table_->memo();
  if (oldMemo && !MemoFile::create(stagedMemo, oldMemo->blockSize())) {
    raise(rt::kErrCreate, "cannot create " + stagedMemo.string(), operation);
    return false;
  }
  rt::Error err;
  std::unique_ptr<Table> out = Table::open(staged, TableOptions{}, err);
  if (!out) {
    rt::raise(err);
    return false;
  }
  const bool binary = h.memoPointersBinary();
  std::vector<const FieldDef*> memoFields;
  for (const auto& f : h.fields)
    if (oldMemo && (f.type == 'M' || f.type == 'G' || f.type == 'P')) memoFields.push_back(&f);
  std::string rec(h.recordLength, ' ');
  const uint32_t count = table_->recordCount();
  for (uint32_t r = 1; r <= count; ++r) {
    if (!table_->readRecord(r, rec.data())) {
      raise(rt::kErrRead, "cannot read record " + std::to_string(r), operation);
      return false;
    }
    if (drop && drop(r, rec.data())) continue;
    // Only the texts a kept record points to are written: the dead blocks stay behind.
    for (const FieldDef* f : memoFields) {
      char* raw = rec.data() + f->offset;
      uint32_t block = memoPointer(*f, binary, raw);
      if (!block) continue;
      std::string why;
      uint32_t type = MemoFile::kTypeText;
      auto text = oldMemo->read(block, why, &type);
      if (!text) {
        raise(rt::kErrCorruption, "damaged memo of field " + f->name + " in record " + std::to_string(r) + ": " + why,
              operation);
        return false;
      }
      uint32_t moved = text->empty() ? 0 : out->memo()->write(*text, type);
      if (!text->empty() && !moved) {
        raise(rt::kErrWrite, "cannot write " + stagedMemo.string(), operation);
        return false;
      }
      encodeMemoPointer(*f, binary, moved, raw);
    }
    uint32_t n = 0;
    if (out->append(rec.data(), n) != Table::AppendResult::Ok) {
      raise(rt::kErrWrite, "cannot write " + staged.string(), operation);
      return false;
    }
  }
  if (!out->commit()) {
    raise(rt::kErrWrite, "cannot write " + staged.string() + " to disk", operation);
    return false;
  }
  return true;
}

bool WorkArea::writeStagedIndex(IndexFile& file, const std::filesystem::path& staged, const DropRule& drop,
                                const char* operation) {
  std::unique_ptr<IndexFile> out = createIndexFile(staged);
  if (!out) {
    raise(rt::kErrCreate, "cannot create " + staged.string() + ": " + lastIndexError(), operation);
    return false;
  }
  std::string saved = buf_;
  bool ok = true;
  for (auto& o : orders_) {
    if (o.file != &file) continue;
    // Another engine's tag is built as ours: in the collation, with the national upper().
    ValueFn key = o.plain ? compileKey(*o.tag, false) : o.key;
    if (!key) continue;
    uint32_t r = 0, kept = 0;
    const uint32_t count = table_->recordCount();
    // The keys of the old records, numbered as the new table numbers them.
    KeySource src = [&](std::string& k, uint32_t& recno) {
      while (++r <= count) {
        if (!table_->readRecord(r, buf_.data())) {
          ok = false;
          return false;
        }
        if (drop && drop(r, buf_.data())) continue;
        recno_ = r;
        eof_ = false;
        afterMove();  // keys through a relation read the child's matching record
        k = keyFor(*o.tag, key());
        recno = ++kept;
        return true;
      }
      return false;
    };
    if (!out->createTag(o.tag->name(), o.tag->keyExpression(), o.tag->keyType(), o.tag->keyLength(), src)) ok = false;
  }
  buf_ = saved;
  out->flush();
  if (!ok || !indexFileError(*out).empty()) {
    raise(rt::kErrWrite, "cannot build " + staged.string() + ": " + indexFileError(*out), operation);
    return false;
  }
  return true;
}

bool WorkArea::rewriteFiles(const DropRule& drop, const char* operation) {
  if (table_->shared() || table_->readOnly()) {
    raise(rt::kErrShared, std::string(operation) + " needs the table opened exclusively", operation);
    return false;
  }
  if (!settleDamagedIndex(operation)) return false;
  flushRecord();
  for (auto& f : indexes_) f->flush();
  if (!table_->flush()) {
    raise(rt::kErrWrite, "cannot write the table", operation);
    return false;
  }
  const std::filesystem::path host = table_->path(), staged = stagedPath(host);
  std::vector<Companion> companions;
  const std::filesystem::path stagedMemo = Table::memoPathFor(staged);
  if (table_->memo()) companions.push_back({stagedMemo, table_->memo()->path()});
  // Index files beside the table are rewritten and swapped with it. One elsewhere (a .ntx in
  // another directory) cannot be renamed in the same directory operation: it stays open and is
  // built again in place once the new table is in.
  std::vector<std::filesystem::path> indexPaths;
  std::vector<IndexFile*> stagedIndexes;
  for (auto& f : indexes_) {
    std::filesystem::path ip(f->path());
    std::error_code ec;
    if (ip.parent_path() != host.parent_path() || !std::filesystem::is_regular_file(ip, ec)) continue;
    indexPaths.push_back(ip);
    stagedIndexes.push_back(f.get());
    companions.push_back({stagedPath(ip), ip});
  }
  removeStaged(host, staged, companions);

  bool built = writeStagedTable(staged, stagedMemo, drop, operation);
  for (size_t i = 0; built && i < stagedIndexes.size(); ++i)
    built = writeStagedIndex(*stagedIndexes[i], stagedPath(indexPaths[i]), drop, operation);
  if (!built) {
    removeStaged(host, staged, companions);
    goTop();
    return false;
  }

  // The old files are let go before the new ones take their names, and opened again after.
  const std::string order = orderName();
  TableOptions options;
  options.scheme = table_->scheme();
  options.chooseSchemeByHeader = false;
  auto isStaged = [&](const IndexFile* f) {
    return std::find(stagedIndexes.begin(), stagedIndexes.end(), f) != stagedIndexes.end();
  };
  std::erase_if(orders_, [&](const Order& o) { return isStaged(o.file); });
  std::erase_if(indexes_, [&](const std::unique_ptr<IndexFile>& f) { return isStaged(f.get()); });
  std::vector<const IndexFile*> keptOpen;
  for (auto& f : indexes_) keptOpen.push_back(f.get());
  current_ = -1;
  memos_.clear();
  dirty_ = appended_ = false;
  tagPositioned_ = false;
  table_.reset();
  bool swapped = swapStaged(host, staged, companions);
  // A swap stopped after its commit is finished here, as the next open would.
  finishInterruptedSwap(host);
  for (;;) {
    rt::Error err;
    table_ = Table::open(host, options, err);
    if (table_) break;
    if (rt::raise(err).kind != rt::Answer::Retry) throw rt::Abandon(err);
  }
  for (const auto& p : indexPaths) {
    auto f = openIndexFile(p, false, keyTypeResolver());
    if (!f) {
      raise(rt::kErrCorruption, "cannot open " + p.string() + " again: " + lastIndexError(), operation);
      continue;
    }
    attachIndex(std::move(f));
  }
  if (!keptOpen.empty())
    rebuildOrders([&](const IndexFile* f) {
      return std::find(keptOpen.begin(), keptOpen.end(), f) != keptOpen.end();
    });
  for (size_t i = 0; i < orders_.size() && !order.empty(); ++i)
    if (rt::upper(orders_[i].tag->name()) == rt::upper(order)) current_ = static_cast<int>(i);
  goTop();
  if (!swapped) raise(rt::kErrWrite, "cannot put the rewritten table in place", operation);
  return swapped;
}

void WorkArea::zap() {
  if (table_->shared() || table_->readOnly()) {
    raise(rt::kErrShared, "ZAP needs the table opened exclusively", "DBZAP");
    return;
  }
  if (!settleDamagedIndex("DBZAP")) return;
  dirty_ = appended_ = false;
  memos_.clear();
  table_->truncateTo(0);
  if (table_->memo()) table_->memo()->clear();
  for (auto& f : indexes_) f->removeAll();
  tagPositioned_ = false;
  goTop();
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

// ---------------------------------------------------------------- orders

void WorkArea::detachDamagedStructuralIndex(const std::filesystem::path& host, std::string why) {
  damagedIndex_ = host;
  table_->noteIssue("structural index " + host.string() + " is damaged (" + why + "): opened without it");
}

bool WorkArea::settleDamagedIndex(const char* operation) {
  if (damagedIndex_.empty() || table_->readOnly()) return true;
  // A write the damaged index does not follow would leave it stale in a way nothing detects.
  // Another workstation may have that file open: only an exclusive holder may remove it.
  if (table_->shared()) {
    raise(rt::kErrCorruption, "structural index " + damagedIndex_.string() + " is damaged; no write until it is rebuilt",
          operation);
    return false;
  }
  std::error_code ec;
  std::filesystem::remove(damagedIndex_, ec);
  if (std::filesystem::exists(damagedIndex_)) {
    raise(rt::kErrWrite, "cannot remove the damaged index " + damagedIndex_.string(), operation);
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
    WorkArea* previous = ws_.current();
    ws_.select(alias_);
    std::unique_ptr<Expression> e;
    rt::guarded([&] { e = Expression::compile(expression, ws_); });
    if (previous) ws_.select(previous->alias());
    if (!e) return std::nullopt;
    switch (e->resultType()) {
      case 'C': return KeyType::Character;
      case 'N': return KeyType::Numeric;
      case 'D': return KeyType::Date;
      case 'L': return KeyType::Logical;
      default: return std::nullopt;
    }
  };
}

bool WorkArea::orderListAdd(const std::filesystem::path& host) {
  flushRecord();
  for (auto& f : indexes_)
    if (samePath(f->path(), host)) return true;
  auto file = openIndexFile(host, table_->readOnly(), keyTypeResolver());
  if (!file) {
    raise(rt::kErrOpen, "cannot open index " + host.string() + ": " + lastIndexError(), "ORDLISTADD");
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
  std::string saved = buf_, savedOrig = orig_;
  bool savedEof = eof_;
  uint32_t savedRec = recno_;
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
      recno_ = r;
      eof_ = false;
      afterMove();  // keys through a relation read the child's matching record
      key = keyOf(o);
      recno = r;
      return true;
    };
    IndexTag* t = o.file->createTag(name, expr, type, len, src);
    if (t) o.tag = t;
  }
  for (auto& o : orders_)
    if (IndexTag* t = o.file->tag(o.tag->name())) o.tag = t;
  buf_ = saved;
  orig_ = savedOrig;
  eof_ = savedEof;
  recno_ = savedRec;
  afterMove();
  tagPositioned_ = false;
}

bool WorkArea::orderListRebuild() {
  if (table_->shared() || table_->readOnly()) {
    raise(rt::kErrShared, "rebuilding indexes needs the table opened exclusively", "ORDLISTREBUILD");
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

IndexTag* WorkArea::order() const { return current_ >= 0 ? orders_[size_t(current_)].tag : nullptr; }

std::string WorkArea::orderName() const { return current_ >= 0 ? orders_[size_t(current_)].tag->name() : ""; }

bool WorkArea::orderCreate(const std::filesystem::path& host, std::string_view tagName,
                           std::string_view keyExpression) {
  return orderCreate(host, {{std::string(tagName), std::string(keyExpression)}});
}

bool WorkArea::orderCreate(const std::filesystem::path& host, const std::vector<TagText>& tags) {
  flushRecord();
  if (tags.empty()) return true;
  // A tag for the damaged structural index starts a new file in its place.
  if (!damagedIndex_.empty() && samePath(damagedIndex_, host) && !settleDamagedIndex("ORDCREATE")) return false;
  const bool cdx = host.extension() == ".cdx" || host.extension() == ".CDX";
  if (!cdx && tags.size() > 1) {
    raise(rt::kErrCreate, "a single-key index file holds one key: " + host.string(), "ORDCREATE");
    return false;
  }
  IndexFile* file = nullptr;
  for (auto& f : indexes_)
    if (samePath(f->path(), host)) file = f.get();
  std::unique_ptr<IndexFile> fresh;
  if (!file) {
    fresh = std::filesystem::exists(host) ? openIndexFile(host, false, keyTypeResolver()) : createIndexFile(host);
    if (!fresh) {
      raise(rt::kErrCreate, "cannot create index " + host.string() + ": " + lastIndexError(), "ORDCREATE");
      return false;
    }
    file = fresh.get();
  }
  std::vector<ValueFn> fns;
  for (const TagText& t : tags) {
    WorkArea* previous = ws_.current();
    ws_.select(alias_);
    fns.push_back(ws_.compile(t.keyExpression));
    if (previous) ws_.select(previous->alias());
    if (!fns.back()) return false;
  }
  // Each key's type and width come from its value over a blank record.
  std::string saved = buf_, savedOrig = orig_;
  uint32_t savedRec = recno_;
  bool savedEof = eof_;
  buf_ = blankRecord(table_->header());
  std::vector<TagDefinition> defs;
  for (size_t i = 0; i < tags.size(); ++i) {
    rt::Value sample = fns[i]();
    KeyType type = keyTypeOf(sample);
    size_t len = type == KeyType::Character ? (sample.isText() ? sample.str().size() : 0) : fixedKeyLength(type);
    if (len == 0 || len > 240) {
      buf_ = saved;
      raise(rt::kErrDataWidth, "key of " + tags[i].keyExpression + " has length " + std::to_string(len), "ORDCREATE");
      return false;
    }
    // A single-key file stores numbers and dates as text of the key's width, which the blank
    // record cannot tell; the tool builds such files on character keys only.
    if (type != KeyType::Character && !cdx) {
      buf_ = saved;
      raise(rt::kErrDataType, "single-key index files are built on character keys", "ORDCREATE");
      return false;
    }
    defs.push_back({rt::upper(tags[i].name), tags[i].keyExpression, type, len});
  }
  IndexGuard guard(*this, true);
  uint32_t r = 0, count = table_->recordCount();
  // Keys that reach into a related area ("test->a") need the child to follow every record, as it
  // does on any other move.
  const bool related = !relations_.empty();
  KeysSource src = [&](std::vector<std::string>& keys, uint32_t& recno) {
    if (++r > count) return false;
    if (!table_->readRecord(r, buf_.data())) return false;
    if (related) {
      recno_ = r;
      eof_ = false;
      afterMove();
    }
    for (size_t i = 0; i < defs.size(); ++i) keys[i] = encodeKey(fns[i](), defs[i].type, defs[i].keyLength);
    recno = r;
    return true;
  };
  std::vector<IndexTag*> made = file->createTags(defs, src);
  buf_ = saved;
  orig_ = savedOrig;
  recno_ = savedRec;
  eof_ = savedEof;
  if (related) afterMove();
  // A page that could not be written (a full disk) leaves a tag pointing past the end of the
  // file: the build has failed even though the tags came back.
  if (made.size() != defs.size() || !indexFileError(*file).empty()) {
    raise(rt::kErrCreate,
          "cannot build tag " + tags[std::min(made.size(), tags.size() - 1)].name + ": " + indexFileError(*file),
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
                                 [&](const Order& o) { return o.file == file && rt::upper(o.tag->name()) == upperName; }),
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
  struct Plan {
    std::string name;
    ValueFn fn;
    KeyType type;
    size_t len;
  };
  std::vector<Plan> plans;
  std::string saved = buf_, savedOrig = orig_;
  buf_ = blankRecord(table_->header());
  WorkArea* previous = ws_.current();
  ws_.select(alias_);
  for (const auto& d : tags) {
    std::string name = rt::upper(rt::allTrim(d.name));
    for (const auto& p : plans)
      if (p.name == name) {
        raise(rt::kErrArg, "tag " + name + " is named twice", op);
        name.clear();
      }
    ValueFn fn = name.empty() ? ValueFn() : ws_.compile(d.keyExpression);
    if (!fn) break;
    // The key's type and width come from its value over a blank record, as for ORDCREATE.
    rt::Value sample = fn();
    KeyType type = keyTypeOf(sample);
    size_t len = type == KeyType::Character ? (sample.isText() ? sample.str().size() : 0) : fixedKeyLength(type);
    if (len == 0 || len > 240 || (!compound && type != KeyType::Character)) {
      raise(len == 0 || len > 240 ? rt::kErrDataWidth : rt::kErrDataType,
            len == 0 || len > 240 ? "key of " + d.keyExpression + " has length " + std::to_string(len)
                                  : "single-key index files are built on character keys",
            op);
      break;
    }
    plans.push_back({name, std::move(fn), type, len});
  }
  if (previous) ws_.select(previous->alias());
  if (plans.size() != tags.size()) {
    buf_ = saved;
    return false;
  }
  // The old file goes out of the order list; the new one comes in when it is in place.
  for (size_t i = 0; i < indexes_.size();) {
    if (samePath(indexes_[i]->path(), host)) {
      IndexFile* f = indexes_[i].get();
      f->flush();
      orders_.erase(std::remove_if(orders_.begin(), orders_.end(), [&](const Order& o) { return o.file == f; }),
                    orders_.end());
      indexes_.erase(indexes_.begin() + long(i));
    } else {
      ++i;
    }
  }
  current_ = -1;
  tagPositioned_ = false;
  if (!damagedIndex_.empty() && samePath(damagedIndex_, host)) damagedIndex_.clear();
  const std::filesystem::path staged = stagedPath(host);
  std::error_code ec;
  std::filesystem::remove(staged, ec);
  std::unique_ptr<IndexFile> out = createIndexFile(staged);
  if (!out) {
    buf_ = saved;
    raise(rt::kErrCreate, "cannot create " + staged.string() + ": " + lastIndexError(), op);
    return false;
  }
  const bool related = !relations_.empty();
  const uint32_t count = table_->recordCount();
  uint32_t r = 0;
  bool ok = true;
  std::vector<TagDefinition> defs;
  for (size_t i = 0; i < plans.size(); ++i)
    defs.push_back({plans[i].name, tags[i].keyExpression, plans[i].type, plans[i].len});
  // The one pass: every tag's key of each record.
  KeysSource src = [&](std::vector<std::string>& keys, uint32_t& recno) {
    if (++r > count) return false;
    if (!table_->readRecord(r, buf_.data())) {
      ok = false;
      return false;
    }
    if (related) {
      recno_ = r;
      eof_ = false;
      afterMove();
    }
    for (size_t i = 0; i < plans.size(); ++i) keys[i] = encodeKey(plans[i].fn(), plans[i].type, plans[i].len);
    recno = r;
    return true;
  };
  ok = out->createTags(defs, src).size() == defs.size() && ok;
  buf_ = saved;
  orig_ = savedOrig;
  out->flush();
  if (ok && !indexFileError(*out).empty()) ok = false;
  std::string why = indexFileError(*out);
  out.reset();
  if (ok) {
    // Forced whole before the rename, so that the name never leads to a file still unwritten.
    os::File sync;
    ok = sync.open(staged, os::File::Mode::Read) && sync.syncAll();
    sync.close();
    if (ok) {
      std::filesystem::rename(staged, host, ec);
      ok = !ec;
      if (ok) {
        os::noteRemoved(staged);
        os::noteCreated(host);
      }
      else why = ec.message();
    }
  }
  if (!ok) {
    std::filesystem::remove(staged, ec);
    raise(rt::kErrWrite, "cannot build " + host.string() + (why.empty() ? "" : ": " + why), op);
    goTop();
    return false;
  }
  std::unique_ptr<IndexFile> file = openIndexFile(host, false, keyTypeResolver());
  if (!file) {
    raise(rt::kErrOpen, "cannot open the new " + host.string() + ": " + lastIndexError(), op);
    goTop();
    return false;
  }
  for (auto& p : plans)
    if (IndexTag* t = file->tag(p.name)) orders_.push_back({file.get(), t, std::move(p.fn), t->name()});
  indexes_.push_back(std::move(file));
  if (driver_->structuralIndex && host.stem() == table_->path().stem() &&
      !(table_->header().tableFlags & dbf::kFlagStructuralCdx))
    table_->setTableFlags(table_->header().tableFlags | dbf::kFlagStructuralCdx);
  goTop();
  return true;
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

// ---------------------------------------------------------------- export, import

bool WorkArea::exportTo(const std::filesystem::path& host, const std::vector<std::string>& names,
                        Condition forCond) {
  flushRecord();
  std::vector<size_t> positions;
  if (names.empty()) {
    for (size_t i = 1; i <= fieldCount(); ++i) positions.push_back(i);
  } else {
    for (const auto& n : names) {
      int p = fieldPos(n);
      if (!p) {
        raise(rt::kErrNoVar, "no field " + n, "DBEXPORT");
        return false;
      }
      positions.push_back(size_t(p));
    }
  }
  std::vector<FieldSpec> specs;
  for (size_t p : positions) {
    const FieldDef& f = field(p);
    specs.push_back({f.name, f.type, f.length, f.decimals});
  }
  std::string why;
  if (!Table::create(host, specs, why)) {
    raise(rt::kErrCreate, why, "DBEXPORT");
    return false;
  }
  rt::Error err;
  auto t = Table::open(host, TableOptions{}, err);
  if (!t) {
    rt::raise(err);
    return false;
  }
  WorkArea target(ws_, 0, "", std::move(t), *driver_);
  std::vector<std::pair<size_t, size_t>> pairs;
  for (size_t i = 0; i < positions.size(); ++i) pairs.emplace_back(i + 1, positions[i]);
  uint32_t saved = recno_;
  bool savedEof = eof_;
  for (goTop(); !eof_; skip(1)) {
    if (forCond && !forCond()) continue;
    target.append();
    target.putFields(*this, pairs);
    if (deleted()) target.remove();
  }
  target.commit();
  target.close();
  if (savedEof)
    goTo(0);
  else
    goTo(saved);
  return true;
}

bool WorkArea::importFrom(const std::filesystem::path& host, Condition forCond) {
  flushRecord();
  rt::Error err;
  TableOptions o;
  o.shared = true;
  o.readOnly = true;
  auto t = Table::open(host, o, err);
  if (!t) {
    rt::raise(err);
    return false;
  }
  WorkArea source(ws_, 0, "", std::move(t), *driver_);
  std::vector<std::pair<size_t, size_t>> map;  // (here, there)
  for (size_t i = 1; i <= fieldCount(); ++i) {
    int p = source.fieldPos(fieldName(i));
    if (p && compatible(field(i).type, source.field(size_t(p)).type)) map.emplace_back(i, size_t(p));
  }
  for (source.goTop(); !source.eof(); source.skip(1)) {
    if (forCond && !forCond()) continue;
    if (!append()) {
      raise(rt::kErrAppendLock, "cannot append: the table header is locked", "DBIMPORT");
      return false;
    }
    putFields(source, map);
    if (source.deleted()) remove();
  }
  flushRecord();
  return true;
}

}  // namespace tav::engine

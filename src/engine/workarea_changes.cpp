// A work area's changes: the record buffer written to the table and its indexes, appends,
// deletion marks, and the rewrites (PACK, memo compaction, ZAP). A rewrite writes the table, its
// memo and its indexes anew under staging names and swaps them in together (engine/staging.h):
// a crash leaves the old files or the new ones, never a mix.
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
#include "os/path.h"
#include "os/wide.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/settings.h"

namespace tav::engine {

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
      uint32_t old =
          appended_ ? 0 : memoPointer(f, h.memoPointersBinary(), orig_.data() + f.offset);
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
  origBehind_ = true;
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
  if (table_->shared()) unlock();
  uint32_t r = 0;
  switch (table_->append(blank_.data(), r)) {
    case Table::AppendResult::Locked:
      netErr_ = true;
      ws_.setNetErr(true);
      return false;
    case Table::AppendResult::Failed:
      raise(rt::kErrWrite, "cannot append a record", "DBAPPEND");
      return false;
    case Table::AppendResult::Ok:
      break;
  }
  // The new record is the appender's: locked until it is released like any record lock.
  if (table_->shared() && table_->lockRecord(r)) locks_.insert(r);
  buf_ = orig_ = blank_;
  origBehind_ = false;
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

void WorkArea::markStaged() {
  if (table_) table_->markStaged();
}

void WorkArea::flush() {
  flushRecord();
  if (!table_->flush()) raise(rt::kErrWrite, "cannot write the table", "DBCOMMIT");
}

void WorkArea::rollback() {
  if (!origBehind_) buf_ = orig_;
  memos_.clear();
  // A new record stays new: its blank keys still have to reach the indexes.
  dirty_ = appended_;
}

namespace {
bool markedDeleted(uint32_t, const char* record) { return record[0] == '*'; }
}  // namespace

void WorkArea::pack() { rewriteFiles(markedDeleted, "DBPACK"); }

void WorkArea::packWithout(const std::set<uint32_t>& records) {
  rewriteFiles(
      [&](uint32_t recno, const char* record) { return record[0] == '*' || records.count(recno); },
      "DBPACK");
}

bool WorkArea::compactMemo() {
  // Without a memo file there is nothing to compact: the table stays as it is.
  if (!table_->memo()) return true;
  return rewriteFiles({}, "MEMOPACK");
}

bool WorkArea::writeStagedTable(const std::filesystem::path& staged,
                                const std::filesystem::path& stagedMemo, const DropRule& drop,
                                const char* operation) {
  const DbfHeader& h = table_->header();
  // The header goes over byte for byte (version, flags, code page mark, descriptors, backlink):
  // only the count and the date of the packed table are its own.
  std::string head;
  if (!table_->readHeaderBytes(head)) {
    raise(rt::kErrRead, "cannot read the header of " + os::oemText(table_->path()), operation);
    return false;
  }
  char first[8];
  encodeCountAndDate(h.version, 0, first);
  std::memcpy(head.data(), first, sizeof first);
  head.push_back(static_cast<char>(dbf::kEofMarker));
  {
    os::File out;
    if (!out.open(staged, os::File::Mode::Create) || !out.writeAt(0, head.data(), head.size())) {
      raise(rt::kErrCreate, "cannot create " + os::oemText(staged), operation);
      return false;
    }
  }
  MemoFile* oldMemo = table_->memo();
  if (oldMemo && !MemoFile::create(stagedMemo, oldMemo->blockSize())) {
    raise(rt::kErrCreate, "cannot create " + os::oemText(stagedMemo), operation);
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
        raise(rt::kErrCorruption,
              "damaged memo of field " + f->name + " in record " + std::to_string(r) + ": " + why,
              operation);
        return false;
      }
      uint32_t moved = text->empty() ? 0 : out->memo()->write(*text, type);
      if (!text->empty() && !moved) {
        raise(rt::kErrWrite, "cannot write " + os::oemText(stagedMemo), operation);
        return false;
      }
      encodeMemoPointer(*f, binary, moved, raw);
    }
    uint32_t n = 0;
    if (out->append(rec.data(), n) != Table::AppendResult::Ok) {
      raise(rt::kErrWrite, "cannot write " + os::oemText(staged), operation);
      return false;
    }
  }
  if (!out->commit()) {
    raise(rt::kErrWrite, "cannot write " + os::oemText(staged) + " to disk", operation);
    return false;
  }
  return true;
}

bool WorkArea::writeStagedIndex(IndexFile& file, const std::filesystem::path& staged,
                                const DropRule& drop, const char* operation) {
  std::string why;
  std::unique_ptr<IndexFile> out = createIndexFile(staged, &why);
  if (!out) {
    raise(rt::kErrCreate, "cannot create " + os::oemText(staged) + ": " + why, operation);
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
        // The record as the new table holds it: recno() in a key is its new number.
        recno = ++kept;
        standOnRead(recno);
        k = keyFor(*o.tag, key());
        return true;
      }
      return false;
    };
    if (!out->createTag(o.tag->name(), o.tag->keyExpression(), o.tag->keyType(), o.tag->keyLength(),
                        src))
      ok = false;
  }
  buf_ = saved;
  out->flush();
  if (!ok || !indexFileError(*out).empty()) {
    raise(rt::kErrWrite, "cannot build " + os::oemText(staged) + ": " + indexFileError(*out),
          operation);
    return false;
  }
  return true;
}

bool WorkArea::rewriteFiles(const DropRule& drop, const char* operation) {
  if (table_->shared() || table_->readOnly()) {
    raise(rt::kErrShared, std::string(operation) + " needs the table opened exclusively",
          operation);
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
    const std::filesystem::path ip = os::hostPath(f->path());
    std::error_code ec;
    if (ip.parent_path() != host.parent_path() || !std::filesystem::is_regular_file(ip, ec))
      continue;
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
    std::string why;
    auto f = openIndexFile(p, false, keyTypeResolver(), &why);
    if (!f) {
      raise(rt::kErrCorruption, "cannot open " + os::oemText(p) + " again: " + why, operation);
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

}  // namespace tav::engine

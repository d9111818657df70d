// DBF tables on the host: opening with its sharing mode, buffered record reads, appends, commits
// and the lock offsets of each scheme. Records are written before the 0x1A after them, and the
// header's count last, so a reader never counts a record that is not there.

#include "engine/dbf/table.h"

#include <errno.h>

#include <algorithm>
#include <cstring>

#include "os/wide.h"
#include "runtime/coding.h"

namespace tav::engine {
namespace {
constexpr size_t kBufferBytes = 64 * 1024;
// What an open reads of a table's start at first: the header of any usual table.
constexpr int64_t kFirstHeaderRead = 8192;
constexpr uint64_t kFoxHeaderLock = 0x7FFFFFFE;
constexpr uint64_t kFoxPlainBase = 0x40000000;
constexpr uint64_t kClipperBase = 1000000000;
// Whole-table locks (FLOCK) span these ranges, so that they meet every record lock.
constexpr uint64_t kFoxFileLockStart = 0x77FFFFFF, kFoxFileLockLength = 0x07FFFFFF;
constexpr uint64_t kFoxPlainFileLockStart = 0x40000001, kFoxPlainFileLockLength = 0x3FFFFFFD;
constexpr uint64_t kClipperFileLockStart = 1000000001, kClipperFileLockLength = 1000000000;

uint64_t& attemptCounter() {
  static uint64_t n = 0;
  return n;
}

rt::Error openError(int code, const std::filesystem::path& p, std::string text, int os = 0) {
  rt::Error e;
  e.genCode = code;
  e.osCode = os;
  e.subSystem = "DBFNTX";
  e.description = std::move(text);
  e.filename = os::oemText(p);
  e.operation = "DBUSEAREA";
  e.canRetry = code == rt::kErrShared || code == rt::kErrOpen;
  e.canDefault = true;
  return e;
}
}  // namespace

uint64_t headerLockOffset(LockScheme s) {
  switch (s) {
    case LockScheme::FoxPro:
      return kFoxHeaderLock;
    case LockScheme::FoxProPlain:
      return kFoxPlainBase;
    case LockScheme::Clipper:
      return kClipperBase;
  }
  return kFoxHeaderLock;
}

uint64_t recordLockOffset(LockScheme s, uint32_t recno, uint32_t headerLength,
                          uint32_t recordLength) {
  switch (s) {
    case LockScheme::FoxPro:
      return kFoxHeaderLock - recno;
    case LockScheme::FoxProPlain:
      return kFoxPlainBase + headerLength + uint64_t(recno - 1) * recordLength;
    case LockScheme::Clipper:
      return kClipperBase + recno;
  }
  return kFoxHeaderLock - recno;
}

Table::~Table() {
  if (file_.isOpen() && !options_.readOnly) flush();
}

std::filesystem::path Table::memoPathFor(const std::filesystem::path& dbf) {
  std::filesystem::path p = dbf;
  std::string ext = os::utf8(dbf.extension());
  bool upperExt = ext.size() > 1 && ext[1] >= 'A' && ext[1] <= 'Z';
  p.replace_extension(upperExt ? ".FPT" : ".fpt");
  if (!std::filesystem::exists(p)) {
    std::filesystem::path q = dbf;
    q.replace_extension(upperExt ? ".fpt" : ".FPT");
    if (std::filesystem::exists(q)) return q;
  }
  return p;
}

uint64_t Table::openAttempts() { return attemptCounter(); }

std::unique_ptr<Table> Table::open(const std::filesystem::path& host, const TableOptions& o,
                                   rt::Error& error) {
  ++attemptCounter();
  std::unique_ptr<Table> t(new Table);
  t->options_ = o;
  if (!t->file_.open(host, o.readOnly ? os::File::Mode::Read : os::File::Mode::ReadWrite)) {
    int err = t->file_.lastError();
    // On Windows an exclusive holder refuses the open itself (a sharing violation), where Linux
    // refuses the open mode below: the same conflict, reported the same way.
    if (err == EWOULDBLOCK) {
      error = openError(
          rt::kErrShared, host,
          o.shared ? "table is open exclusively elsewhere" : "table is in use elsewhere", err);
      return nullptr;
    }
    // Permission denied is no sharing violation: nobody else holds the file, waiting won't help.
    error = openError(rt::kErrOpen, host,
                      err == ENOENT                   ? "file does not exist"
                      : err == EACCES || err == EPERM ? "no permission to open the file"
                                                      : "cannot open file",
                      err);
    return nullptr;
  }
  // The open mode holds for as long as the descriptor is open; a conflicting holder (another
  // workstation or another work area here) makes the open fail at once.
  if (!t->file_.lockOpenMode(!o.shared)) {
    error =
        openError(rt::kErrShared, host,
                  o.shared ? "table is open exclusively elsewhere" : "table is in use elsewhere",
                  t->file_.lastError());
    return nullptr;
  }
  int64_t size = t->file_.size();
  // A header of up to 254 fields fits the first read; only a longer one (the header length says
  // so) needs a second. Reading 64 KB for every open cost more than the header of most tables.
  std::string head(static_cast<size_t>(std::clamp<int64_t>(size, 0, kFirstHeaderRead)), '\0');
  if (size < 0 || (!head.empty() && t->file_.readSomeAt(0, head.data(), head.size()) < 0)) {
    error = openError(rt::kErrRead, host, "cannot read the table header", t->file_.lastError());
    return nullptr;
  }
  if (head.size() >= dbf::kHeaderFixed && rt::getLE16(head.data() + 8) > head.size() &&
      int64_t(head.size()) < size) {
    head.resize(static_cast<size_t>(std::min<int64_t>(size, rt::getLE16(head.data() + 8))));
    if (t->file_.readSomeAt(0, head.data(), head.size()) < 0) {
      error = openError(rt::kErrRead, host, "cannot read the table header", t->file_.lastError());
      return nullptr;
    }
  }
  std::string why;
  if (!parseHeader(head, t->header_, why)) {
    error = openError(rt::kErrCorruption, host, "damaged table header: " + why);
    return nullptr;
  }
  if (o.chooseSchemeByHeader && o.scheme != LockScheme::Clipper)
    t->options_.scheme = (t->header_.tableFlags & dbf::kFlagStructuralCdx)
                             ? LockScheme::FoxPro
                             : LockScheme::FoxProPlain;
  for (size_t i = 0; i < t->header_.fields.size(); ++i)
    if (!t->header_.fields[i].hidden()) t->visible_.push_back(i);
  if (t->header_.hasMemo()) {
    auto mp = memoPathFor(host);
    t->memo_ = MemoFile::open(mp, o.readOnly, o.shared, why);
    if (!t->memo_) {
      error = openError(rt::kErrOpen, mp, why);
      return nullptr;
    }
  }
  t->checkConsistency(size);
  return t;
}

void Table::checkConsistency(int64_t size) {
  const uint64_t hdr = header_.headerLength, rl = header_.recordLength;
  uint64_t body = uint64_t(size) > hdr ? uint64_t(size) - hdr : 0;
  uint32_t whole = static_cast<uint32_t>(std::min<uint64_t>(body / rl, 0xFFFFFFFFull));
  uint64_t rest = body - uint64_t(whole) * rl;
  count_ = fileRecords_ = whole;
  // Shared opens never touch the file: another workstation may be in the middle of an append,
  // and what looks like a partial record may be its record being written.
  bool mend = !options_.shared && !options_.readOnly;
  // Each finding says what is wrong and, when this open puts it right, what was done.
  auto note = [&](std::string text, const char* action, bool inDoubt) {
    issues_.push_back({mend ? text + ": " + action : text, mend, inDoubt});
  };
  if (header_.recordCount < whole) {
    note("header counts " + std::to_string(header_.recordCount) + " records, the file holds " +
             std::to_string(whole),
         "count corrected", true);
  } else if (header_.recordCount > whole) {
    // Records the header counts are gone; what is left is readable. The count is put right so
    // that strict readers accept the file, and the loss stays reported.
    issues_.push_back({"header counts " + std::to_string(header_.recordCount) +
                           " records, the file holds only " + std::to_string(whole) + ": " +
                           std::to_string(header_.recordCount - whole) + " records are missing",
                       false, true});
  }
  bool eofOk = false;
  if (rest == 1) {
    uint8_t b = 0;
    eofOk = file_.readAt(uint64_t(size) - 1, &b, 1) && b == dbf::kEofMarker;
    if (!eofOk) note("the file ends with a stray byte after the last record", "removed", false);
  } else if (rest > 1) {
    note("the last record is incomplete (" + std::to_string(rest) + " of " + std::to_string(rl) +
             " bytes)",
         "dropped", true);
  } else if (uint64_t(size) >= hdr) {
    note("end-of-file marker 0x1A missing", "added", false);
  }
  if (uint64_t(size) < hdr) issues_.push_back({"file is shorter than its header", false, true});
  bool countWrong = header_.recordCount != whole;
  if (mend && (countWrong || !eofOk)) {
    uint8_t eof = dbf::kEofMarker;
    uint64_t end = hdr + uint64_t(whole) * rl;
    if (uint64_t(size) >= hdr) {
      file_.truncate(end);
      file_.writeAt(end, &eof, 1);
    }
    header_.recordCount = whole;
    writeHeaderCount();
  }
}

uint32_t Table::refreshCount() {
  if (!options_.shared) return count_;
  int64_t size = file_.size();
  if (size < 0) return count_;
  uint64_t hdr = header_.headerLength;
  uint64_t body = uint64_t(size) > hdr ? uint64_t(size) - hdr : 0;
  count_ = fileRecords_ =
      static_cast<uint32_t>(std::min<uint64_t>(body / header_.recordLength, 0xFFFFFFFFull));
  return count_;
}

bool Table::readHeaderBytes(std::string& into) {
  into.assign(header_.headerLength, '\0');
  return file_.readAt(0, into.data(), into.size());
}

bool Table::readRecord(uint32_t recno, char* dst) {
  const size_t rl = header_.recordLength;
  if (recno == 0 || recno > count_) return false;
  if (recno > fileRecords_) {
    std::memcpy(dst, pending_.data() + size_t(recno - fileRecords_ - 1) * rl, rl);
    return true;
  }
  if (!cacheable()) return file_.readAt(recordOffset(recno), dst, rl);
  if (recno < cacheFirst_ || recno >= cacheFirst_ + cacheCount_) {
    uint32_t window = static_cast<uint32_t>(std::max<size_t>(1, kBufferBytes / rl));
    // Moving backwards fills the window that ends at the record, forwards the one that starts
    // there: a skip in either direction then reads the file once per window, as does a walk
    // forwards with gaps (an index whose order follows the records'). A jump further away (a
    // seek) reads the record alone, since its neighbours are worth reading only when the reads
    // go on from it, which the next one shows.
    uint32_t first = recno;
    const uint32_t end = cacheFirst_ + cacheCount_;
    const bool backwards = cacheCount_ && recno + 1 == cacheFirst_;
    const bool onwards = recno >= end && recno - end < window;
    if (backwards) first = recno >= window ? recno - window + 1 : 1;
    if (cacheCount_ && !backwards && !onwards) window = 1;
    uint32_t n = std::min(window, fileRecords_ - first + 1);
    cache_.resize(size_t(n) * rl);
    if (!file_.readAt(recordOffset(first), cache_.data(), cache_.size())) {
      cacheCount_ = 0;
      return false;
    }
    cacheFirst_ = first;
    cacheCount_ = n;
  }
  std::memcpy(dst, cache_.data() + size_t(recno - cacheFirst_) * rl, rl);
  return true;
}

bool Table::writeRecord(uint32_t recno, const char* src) {
  const size_t rl = header_.recordLength;
  if (options_.readOnly || recno == 0 || recno > count_) return false;
  headerDirty_ = true;
  if (recno > fileRecords_) {
    std::memcpy(pending_.data() + size_t(recno - fileRecords_ - 1) * rl, src, rl);
    return true;
  }
  if (recno >= cacheFirst_ && recno < cacheFirst_ + cacheCount_)
    std::memcpy(cache_.data() + size_t(recno - cacheFirst_) * rl, src, rl);
  return file_.writeAt(recordOffset(recno), src, rl);
}

Table::AppendResult Table::append(const char* src, uint32_t& recno) {
  const size_t rl = header_.recordLength;
  if (options_.readOnly) return AppendResult::Failed;
  if (count_ == 0xFFFFFFFFu) return AppendResult::Failed;
  if (!options_.shared) {
    pending_.insert(pending_.end(), src, src + rl);
    recno = ++count_;
    headerDirty_ = true;
    if (pending_.size() >= kBufferBytes && !flushPending()) return AppendResult::Failed;
    return AppendResult::Ok;
  }
  if (!lockHeader()) return AppendResult::Locked;
  refreshCount();
  recno = count_ + 1;
  std::vector<char> buf(src, src + rl);
  buf.push_back(static_cast<char>(dbf::kEofMarker));
  bool ok = file_.writeAt(recordOffset(recno), buf.data(), buf.size());
  if (ok) {
    count_ = fileRecords_ = recno;
    header_.recordCount = recno;
    ok = writeHeaderCount();
  }
  unlockHeader();
  return ok ? AppendResult::Ok : AppendResult::Failed;
}

bool Table::flushPending() {
  if (pending_.empty()) return true;
  // Records first, then the 0x1A after them, then the count: see the class invariant.
  pending_.push_back(static_cast<char>(dbf::kEofMarker));
  bool ok = file_.writeAt(recordOffset(fileRecords_ + 1), pending_.data(), pending_.size());
  pending_.clear();
  if (!ok) {
    count_ = fileRecords_;
    return false;
  }
  fileRecords_ = count_;
  header_.recordCount = count_;
  return writeHeaderCount();
}

bool Table::writeHeaderCount() {
  if (options_.readOnly) return false;
  char b[8];
  encodeCountAndDate(header_.version, header_.recordCount, b);
  headerDirty_ = false;
  return file_.writeAt(0, b, sizeof b);
}

bool Table::flush() {
  if (options_.readOnly) return true;
  bool ok = flushPending();
  if (headerDirty_) {
    if (options_.shared) {
      // The count belongs to whoever holds the header lock; here only the date changes.
      char b[8];
      if (file_.readAt(0, b, sizeof b)) {
        uint32_t c = rt::getLE32(b + 4);
        encodeCountAndDate(header_.version, c, b);
        ok = file_.writeAt(0, b, 4) && ok;
      }
      headerDirty_ = false;
    } else {
      header_.recordCount = count_;
      ok = writeHeaderCount() && ok;
    }
  }
  return ok;
}

bool Table::commit() {
  bool ok = flush();
  if (!options_.readOnly) {
    // The first commit forces the whole file, whoever wrote it (the creation of a new table, a
    // copy made beside it); later ones only what this table wrote since.
    ok = (committed_ ? file_.sync() : file_.syncAll()) && ok;
    if (memo_) ok = (committed_ ? memo_->sync() : memo_->syncAll()) && ok;
    committed_ = true;
  }
  return ok;
}

bool Table::syncWritten() {
  bool ok = flush();
  if (!options_.readOnly && !staged_) {
    ok = file_.sync() && ok;
    if (memo_) ok = memo_->sync() && ok;
  }
  return ok;
}

bool Table::truncateTo(uint32_t count) {
  if (options_.readOnly || options_.shared) return false;
  if (!flushPending()) return false;
  if (count > count_) return false;
  uint64_t end = recordOffset(count + 1);
  uint8_t eof = dbf::kEofMarker;
  bool ok = file_.truncate(end) && file_.writeAt(end, &eof, 1);
  count_ = fileRecords_ = count;
  header_.recordCount = count;
  cacheCount_ = 0;
  return writeHeaderCount() && ok;
}

bool Table::setTableFlags(uint8_t flags) {
  if (options_.readOnly) return false;
  char b = static_cast<char>(flags);
  if (!file_.writeAt(28, &b, 1)) return false;
  header_.tableFlags = flags;
  return true;
}

bool Table::lockRecord(uint32_t recno) {
  if (!options_.shared) return true;
  return file_.lockRange(
      recordLockOffset(options_.scheme, recno, header_.headerLength, header_.recordLength), 1,
      true);
}

bool Table::unlockRecord(uint32_t recno) {
  if (!options_.shared) return true;
  return file_.unlockRange(
      recordLockOffset(options_.scheme, recno, header_.headerLength, header_.recordLength), 1);
}

bool Table::lockHeader() {
  if (!options_.shared) return true;
  return file_.lockRange(headerLockOffset(options_.scheme), 1, true);
}

void Table::unlockHeader() {
  if (options_.shared) file_.unlockRange(headerLockOffset(options_.scheme), 1);
}

bool Table::lockFile() {
  if (!options_.shared) return true;
  switch (options_.scheme) {
    case LockScheme::FoxPro:
      return file_.lockRange(kFoxFileLockStart, kFoxFileLockLength, true);
    case LockScheme::FoxProPlain:
      return file_.lockRange(kFoxPlainFileLockStart, kFoxPlainFileLockLength, true);
    case LockScheme::Clipper:
      return file_.lockRange(kClipperFileLockStart, kClipperFileLockLength, true);
  }
  return false;
}

void Table::unlockFile() {
  if (!options_.shared) return;
  switch (options_.scheme) {
    case LockScheme::FoxPro:
      file_.unlockRange(kFoxFileLockStart, kFoxFileLockLength);
      break;
    case LockScheme::FoxProPlain:
      file_.unlockRange(kFoxPlainFileLockStart, kFoxPlainFileLockLength);
      break;
    case LockScheme::Clipper:
      file_.unlockRange(kClipperFileLockStart, kClipperFileLockLength);
      break;
  }
}

bool Table::create(const std::filesystem::path& host, const std::vector<FieldSpec>& fields,
                   std::string& why) {
  DbfHeader h;
  std::string bytes;
  if (!buildHeader(fields, h, bytes, why)) return false;
  bytes.push_back(static_cast<char>(dbf::kEofMarker));
  // A table being replaced may be open elsewhere: truncating it under another workstation's
  // feet would destroy its records, so the file is emptied only while no one else holds it.
  os::File f;
  if (!f.open(host, os::File::Mode::OpenAlways)) {
    why = "cannot create " + os::oemText(host) + ": " + std::strerror(f.lastError());
    return false;
  }
  if (!f.lockOpenMode(true)) {
    why = "cannot create " + os::oemText(host) + ": the table is in use";
    return false;
  }
  if (!f.truncate(0) || !f.writeAt(0, bytes.data(), bytes.size())) {
    why = "cannot write " + os::oemText(host);
    return false;
  }
  if (h.hasMemo() && !MemoFile::create(memoPathFor(host))) {
    why = "cannot create the memo file of " + os::oemText(host);
    return false;
  }
  return true;
}

}  // namespace tav::engine

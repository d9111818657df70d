#pragma once

// An open DBF table and the lock scheme it shares with other workstations. The lock offsets are the
// ones other engines use on the same files; changing one makes our locks invisible to them.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/dbf/dbf_format.h"
#include "engine/fpt/memo_file.h"
#include "os/file.h"
#include "runtime/error.h"

namespace tav::engine {

// Where record, header and file locks live; 1-byte OFD locks far beyond any real file size, so
// that they never block reads. Other workstations' engines use the same offsets, which is what
// makes our locks visible to them.
enum class LockScheme {
  FoxPro,       // tables with a structural .cdx: record r at 0x7FFFFFFE - r, header 0x7FFFFFFE
  FoxProPlain,  // without one: record r at 0x40000000 + its file offset, header 0x40000000
  Clipper,      // .ntx tables: record r at 1,000,000,000 + r, header at 1,000,000,000
};
uint64_t headerLockOffset(LockScheme s);
uint64_t recordLockOffset(LockScheme s, uint32_t recno, uint32_t headerLength,
                          uint32_t recordLength);

struct TableOptions {
  bool shared = false;  // others may open it too; records are locked before they change
  bool readOnly = false;
  LockScheme scheme = LockScheme::FoxPro;
  bool chooseSchemeByHeader = true;  // FoxPro vs FoxProPlain from the structural-CDX flag
  // For a table only read while others may use it (an import's source, a check).
  static TableOptions sharedReadOnly() {
    TableOptions o;
    o.shared = o.readOnly = true;
    return o;
  }
};

// One finding of the open-time consistency check.
struct TableIssue {
  std::string text;
  bool repaired = false;  // true when the file was put right (only on an exclusive writable open)
  // The records read may not be all the table has, or more than its header counts: a reader
  // showing them must not present them as the whole table (a missing 0x1A is no such doubt).
  bool recordsInDoubt = false;
};

// A DBF file (with its FPT when the table has memo fields): records by number, buffered.
// Invariant kept on disk after every flush: header count = whole records in the file, and the
// file ends with 0x1A right after the last record. Appended records are written before the
// header that counts them, so a process killed in between leaves a count that lags the file,
// which the next open repairs; it never leaves a count that claims a record not written.
class Table {
 public:
  ~Table();
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  // nullptr with the runtime error to raise (kErrOpen, kErrShared, kErrCorruption).
  static std::unique_ptr<Table> open(const std::filesystem::path& host, const TableOptions& o,
                                     rt::Error& error);
  // Writes a new empty table (and its .fpt when there are memo fields), replacing any file.
  static bool create(const std::filesystem::path& host, const std::vector<FieldSpec>& fields,
                     std::string& why);
  static std::filesystem::path memoPathFor(const std::filesystem::path& dbf);
  // Opens tried by this process so far, successful or not (diagnostics and retry tests).
  static uint64_t openAttempts();

  const DbfHeader& header() const { return header_; }
  const std::filesystem::path& path() const { return file_.path(); }
  // Positions in header().fields of the fields a program sees (the _NullFlags field hidden).
  const std::vector<size_t>& visibleFields() const { return visible_; }
  const std::vector<TableIssue>& issues() const { return issues_; }
  // A finding of the layers above (a damaged index beside the table), kept with the table's own.
  void noteIssue(std::string text) { issues_.push_back({std::move(text), false, false}); }
  bool shared() const { return options_.shared; }
  bool readOnly() const { return options_.readOnly; }
  LockScheme scheme() const { return options_.scheme; }
  MemoFile* memo() { return memo_.get(); }

  uint32_t recordCount() const { return count_; }
  // Shared use: other workstations may have appended; takes the count from the file again.
  uint32_t refreshCount();

  bool readRecord(uint32_t recno, char* dst);
  // The header's bytes as the file holds them, through the table's own open (on Windows an
  // exclusive open shuts out every other open, this process's own included).
  bool readHeaderBytes(std::string& into);
  bool writeRecord(uint32_t recno, const char* src);
  enum class AppendResult { Ok, Locked, Failed };
  // Appends a record. Shared: under the header lock, after taking the count from the file
  // again; Locked when another holder has the header lock (the network-error case).
  AppendResult append(const char* src, uint32_t& recno);
  // Writes buffered appends and the header. commit() also forces the data to the disk;
  // syncWritten() forces only what this open wrote, and nothing when it wrote nothing or the
  // table is staged (a close).
  bool flush();
  bool commit();
  bool syncWritten();
  // A copy that a swap puts in place, forcing it to the disk before it counts: syncWritten leaves
  // that to the swap instead of forcing it twice.
  void markStaged() { staged_ = true; }
  // Keeps the first `count` records and drops the rest (PACK and ZAP).
  bool truncateTo(uint32_t count);

  // Sets the table flags byte (0x01: a structural .cdx belongs to the table).
  bool setTableFlags(uint8_t flags);

  bool lockRecord(uint32_t recno);
  bool unlockRecord(uint32_t recno);
  bool lockHeader();
  void unlockHeader();
  bool lockFile();
  void unlockFile();

 private:
  Table() = default;
  uint64_t recordOffset(uint32_t recno) const {
    return uint64_t(header_.headerLength) + uint64_t(recno - 1) * header_.recordLength;
  }
  bool writeHeaderCount();
  bool flushPending();
  bool cacheable() const { return !options_.shared || options_.readOnly; }
  void checkConsistency(int64_t size);

  os::File file_;
  TableOptions options_;
  DbfHeader header_;
  std::vector<size_t> visible_;
  std::unique_ptr<MemoFile> memo_;
  std::vector<TableIssue> issues_;
  uint32_t count_ = 0;        // records including buffered appends
  uint32_t fileRecords_ = 0;  // records written to the file
  bool headerDirty_ = false;
  bool committed_ = false;  // a commit has forced the whole file since the open
  bool staged_ = false;
  // Read window: records [cacheFirst_, cacheFirst_ + cacheCount_) of the file.
  std::vector<char> cache_;
  uint32_t cacheFirst_ = 0, cacheCount_ = 0;
  // Appended records not yet in the file: fileRecords_ + 1 .. count_.
  std::vector<char> pending_;
};

}  // namespace tav::engine

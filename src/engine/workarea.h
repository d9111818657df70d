#pragma once

// Work areas: an open table with its record buffer, position, orders, locks, relations and filter.
// A changed record reaches the file and every open tag when the area moves, commits or closes.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dbf/table.h"
#include "engine/index/index.h"
#include "engine/index/index_files.h"
#include "runtime/error.h"
#include "runtime/value.h"

namespace tav::engine {

class Workspace;
struct Driver;

// What putFields moves for a list of (position here, position there) pairs, worked out once for
// a copy loop rather than per record: which pairs agree in type, length and decimals on both
// sides (and so may move as bytes), grouped into runs that lie side by side on both sides, so
// that a record whose fields all read back as written moves each run with one copy.
struct FieldCopy {
  struct Field {
    size_t here = 0, there = 0;
    bool bytes = false;        // may move as bytes when its bytes read back as written
    bool alwaysBytes = false;  // a character field: its bytes always do
    FieldDef source;
    RoundTripCheck check;  // of the source field's bytes
  };
  struct Run {
    size_t first = 0, count = 0;          // fields[first, first + count)
    size_t to = 0, from = 0, length = 0;  // byte offsets in the records and the run's width
    bool bytes = false;
  };
  std::vector<Field> fields;
  std::vector<Run> runs;
  const void* source = nullptr;  // the area it was worked out for
};

// Whether putFields may move field bytes (on by default). Off, every field goes through its
// value, the way records were always copied: the reference that tests hold the bytes against.
// Returns the previous setting.
bool setFieldBytesMoved(bool on);

// A compiled expression over the work areas, evaluated against the current record buffers.
using ValueFn = std::function<rt::Value()>;
using Condition = std::function<bool()>;

// One work area: an open table, its record buffer and position, its order list, locks,
// relations and filter. Field writes go to the record buffer; the buffer reaches the file (and
// every tag of every open index) when the area moves, commits or closes. Positions are record
// numbers from 1; the phantom record lastrec() + 1 stands for end of file, with blank fields.
class WorkArea {
 public:
  WorkArea(Workspace& ws, int number, std::string alias, std::unique_ptr<Table> table,
           const Driver& driver);
  ~WorkArea();
  WorkArea(const WorkArea&) = delete;
  WorkArea& operator=(const WorkArea&) = delete;

  int number() const { return number_; }
  const std::string& alias() const { return alias_; }
  Table& table() { return *table_; }
  bool shared() const { return table_->shared(); }
  const Driver& driver() const { return *driver_; }

  // Navigation. Deleted records are skipped when rt::settings().deletedHidden, records that fail
  // the filter always; goTo() goes where it is told.
  void goTop();
  void goBottom();
  void goTo(uint32_t recno);
  void skip(long n = 1);
  // DBSEEK in the controlling order; soft (rt::settings().softSeek by default) stops at the next
  // greater key. A character key shorter than the tag's key seeks a prefix.
  bool seek(const rt::Value& key, std::optional<bool> soft = std::nullopt);
  // DBLOCATE: from the top (or from here when `rest`), the first visible record for which
  // `cond` holds while `whileCond` holds. found() tells the result.
  bool locate(Condition cond, Condition whileCond = {}, bool rest = false);
  bool continueLocate();
  bool eof() const { return eof_; }
  bool bof() const { return bof_; }
  bool found() const { return found_; }
  uint32_t recno() const { return recno_; }
  uint32_t lastRec();
  bool deleted() const;

  // Fields by position (1-based, hidden system fields not counted) or name (any case).
  size_t fieldCount() const { return table_->visibleFields().size(); }
  int fieldPos(std::string_view name) const;  // 0 when there is no such field
  const FieldDef& field(size_t pos) const;
  std::string fieldName(size_t pos) const { return field(pos).name; }
  rt::Value get(size_t pos);
  rt::Value get(std::string_view name);
  // Type and width faults go to the error handler; a value never reaches the file in a form
  // that loses part of it (a number too wide for its field is refused, not starred).
  void put(size_t pos, const rt::Value& v);
  void put(std::string_view name, const rt::Value& v);
  // Copies fields of the current record of `from` into this area's current record, given as
  // pairs (position here, position there). A field whose type, length and decimals are the same
  // on both sides and whose bytes read back as written (bytesRoundTrip) moves as bytes; every
  // other one, memos included, goes through its value exactly as put(here, from.get(there)).
  // The result is the same either way, byte for byte; only the time differs.
  void putFields(WorkArea& from, const std::vector<std::pair<size_t, size_t>>& pairs);
  // The same, with the pairs worked out once before a loop over records (both areas keep their
  // tables for as long as the plan is used).
  FieldCopy planFieldCopy(const WorkArea& from,
                          const std::vector<std::pair<size_t, size_t>>& pairs) const;
  void putFields(WorkArea& from, const FieldCopy& plan);
  // Appends the raw bytes of a character field of the buffer (no Value built).
  void appendRaw(size_t pos, std::string& out) const;
  // The bytes of the fields first..last of the record, which lie side by side, and the same
  // fields of the current record set to such bytes: constants worked out once, then copied.
  std::string fieldBytes(size_t first, size_t last) const;
  void putFieldBytes(size_t first, std::string_view bytes);
  std::vector<FieldSpec> structure() const;

  // Changes.
  bool append();  // false with netErr() set when the header lock could not be had
  bool netErr() const { return netErr_; }
  void remove();  // DBDELETE
  void recall();
  void commit();  // DBCOMMIT: written out and forced to the disk
  // Written out to the file, not forced to the disk (the caller syncs once, when it matters);
  // a failed write raises as commit() does.
  void flush();
  // The close forces to the disk what the area changed, unless the table is a staged copy that
  // a swap will force before it takes the table's place (engine/staging.h).
  void markStaged();
  void rollback();  // the buffer's unwritten changes are discarded
  // PACK: the records marked deleted go, and with them their memo texts. The table, its memo
  // and every open index are written anew beside the old ones and swapped in together (see
  // engine/staging.h): a crash leaves the old table or the packed one, never a mix.
  void pack();
  // PACK that also leaves out the listed records, marked or not, in the same one rewrite: a
  // crash leaves the table as it was, never with the records marked and not yet packed (a
  // rerun, finding them already hidden, would not know to pack them).
  void packWithout(const std::set<uint32_t>& records);
  // The memo file rewritten with only the texts the records point to, deleted records kept, in
  // the same crash-safe way; the indexes come along anew. False (raised) when the table is not
  // held exclusively or a file could not be written; then the old files stay in use.
  bool compactMemo();
  void zap();
  // DBEVAL over the visible records from the top; `forCond` selects, `whileCond` stops.
  void eval(const std::function<void()>& body, Condition forCond = {}, Condition whileCond = {});

  // Locks (always granted on an exclusive table).
  bool rlock();
  bool rlock(uint32_t recno);
  bool flock();
  void unlock();
  bool isLocked(uint32_t recno) const;

  // Order list.
  bool orderListAdd(const std::filesystem::path& host);
  void orderListClear();
  bool orderListRebuild();
  // ORDSETFOCUS: empty name = natural order. An unknown tag raises kErrNoOrder.
  bool setOrder(std::string_view tagName);
  IndexTag* order() const;
  std::string orderName() const;
  // ORDCREATE: a tag in `host` (created when missing) from a key expression; becomes the order.
  bool orderCreate(const std::filesystem::path& host, std::string_view tagName,
                   std::string_view keyExpression);
  // Several tags of one file from one pass over the table (their keys sorted and their pages
  // packed on all cores); the file ends as after orderCreate for each in turn. The last becomes
  // the order.
  struct TagText {
    std::string name, keyExpression;
  };
  bool orderCreate(const std::filesystem::path& host, const std::vector<TagText>& tags);
  // INDEX ON for several tags at once: `host` written anew holding exactly these tags, in this
  // order, from one pass over the table. The new file is written under its staging name and
  // takes the old one's place only when complete, so a failure leaves the old index as it was.
  // Needs the table held exclusively; the area ends in natural order, on the top.
  bool indexCreate(const std::filesystem::path& host, const std::vector<TagText>& tags);
  // Adds an index file that is already open (tests and the CDX/NTX layer use this).
  void attachIndex(std::unique_ptr<IndexFile> file);
  // A structural index that would not open: the table opened without it. The first write
  // (record change, append, delete, recall, pack, zap) to a table held exclusively deletes the
  // file and clears the table's structural flag, so that nobody can later trust it stale; on a
  // shared table writes are refused. A new tag made in that file starts it afresh.
  void detachDamagedStructuralIndex(const std::filesystem::path& host, std::string why);
  // The damaged structural index still in place; empty when there is none.
  const std::filesystem::path& damagedIndex() const { return damagedIndex_; }
  // Tells an index file the type of a tag's key from its expression compiled against this area.
  IndexKeyTypeResolver keyTypeResolver();
  size_t indexCount() const { return indexes_.size(); }
  size_t orderCount() const { return orders_.size(); }
  IndexTag* orderAt(size_t i) const { return orders_.at(i).tag; }
  IndexFile* orderFile(size_t i) const { return orders_.at(i).file; }
  // The current record's key for order i, encoded as the tag stores it.
  std::string currentKey(size_t i) { return keyOf(orders_.at(i)); }

  // Filter and relations.
  void setFilter(Condition cond, std::string text = {});
  void clearFilter();
  const std::string& filterText() const { return filterText_; }
  // The child area follows this one on every move: seek of the key in its controlling order,
  // or goTo of the key as a record number when it has none.
  void setRelation(std::string_view childAlias, ValueFn key, std::string text = {});
  void clearRelations();

  // COPY TO / DBEXPORT: the visible records (deleted ones too unless hidden) into a new table
  // with the chosen fields (all when empty), memos included. The record pointer is kept.
  bool exportTo(const std::filesystem::path& host, const std::vector<std::string>& fields = {},
                Condition forCond = {});
  // APPEND FROM / DBIMPORT: records of another table appended here, fields matched by name.
  bool importFrom(const std::filesystem::path& host, Condition forCond = {});

  // The record buffer, for the key and field bindings.
  const char* buffer() const { return buf_.data(); }
  void flushRecord();
  void close();

 private:
  struct Order {
    IndexFile* file;
    IndexTag* tag;
    ValueFn key;
    std::string name;    // the tag's name, to find it again when its file reloads its tags
    bool plain = false;  // key compiled for a tag of plain byte order (ASCII-only upper/lower)
  };
  // Shared tables: index files are read under a shared and changed under an exclusive lock of
  // their lock byte, held for one operation only.
  class IndexGuard {
   public:
    IndexGuard(WorkArea& a, bool exclusive);
    ~IndexGuard() { release(); }
    void release();
    IndexGuard(const IndexGuard&) = delete;
    IndexGuard& operator=(const IndexGuard&) = delete;

   private:
    WorkArea& area_;
    bool held_ = false;
  };
  bool lockIndexes(bool exclusive);
  void unlockIndexes();
  // This area selected in its workspace for the scope (expressions compile against the selected
  // area); the one selected before is selected again however the scope ends.
  class AliasSelected {
   public:
    explicit AliasSelected(WorkArea& a);
    ~AliasSelected();
    AliasSelected(const AliasSelected&) = delete;
    AliasSelected& operator=(const AliasSelected&) = delete;

   private:
    Workspace& ws_;
    WorkArea* previous_;
  };
  // The record buffer and position as they were, put back however the scope ends: a build reads
  // every record through them, and a key that fails to evaluate must not leave the area on a
  // record it never moved to.
  class CursorKept {
   public:
    explicit CursorKept(WorkArea& a)
        : a_(a),
          buf_(a.buf_),
          orig_(a.orig_),
          origBehind_(a.origBehind_),
          recno_(a.recno_),
          eof_(a.eof_) {}
    ~CursorKept() {
      a_.buf_ = std::move(buf_);
      a_.orig_ = std::move(orig_);
      a_.origBehind_ = origBehind_;
      a_.recno_ = recno_;
      a_.eof_ = eof_;
    }
    CursorKept(const CursorKept&) = delete;
    CursorKept& operator=(const CursorKept&) = delete;

   private:
    WorkArea& a_;
    std::string buf_, orig_;
    bool origBehind_;
    uint32_t recno_;
    bool eof_;
  };
  struct Relation {
    std::string child;
    ValueFn key;
    std::string text;
  };
  void load(uint32_t recno);
  void phantom();
  bool visibleHere();
  bool requireWritable(const char* operation);
  bool settleDamagedIndex(const char* operation);
  std::string keyOf(Order& o);
  // A tag's key expression compiled against this area; plain: as an engine without the
  // national collation evaluated it (ASCII-only upper/lower).
  ValueFn compileKey(const IndexTag& tag, bool plain);
  void positionTag();
  uint32_t nextVisible(uint32_t from, bool forward);
  // From the tag's record `r` (what its first, last, next, prev or seek gave) on along the tag
  // until a record the area shows (filter, deleted records), which is loaded; 0 past the end.
  uint32_t visibleAlong(IndexTag& t, uint32_t r, bool forward);
  uint32_t lastVisible();
  void afterMove();
  // The area stands on record `recno`, whose bytes a build has just read into the buffer itself:
  // recno() in a key is that number, and keys that reach into a related area read the child's
  // matching record.
  void standOnRead(uint32_t recno);
  // Every tag (or those of the files `which` picks) built again from the table.
  void rebuildOrders(const std::function<bool(const IndexFile*)>& which = {});
  // Which records a rewrite leaves out, by number and raw bytes; empty keeps them all.
  using DropRule = std::function<bool(uint32_t recno, const char* record)>;
  // Writes the table (without the records `drop` picks), a compact memo and every open index
  // under staging names, swaps them in and reopens them.
  bool rewriteFiles(const DropRule& drop, const char* operation);
  bool writeStagedTable(const std::filesystem::path& staged,
                        const std::filesystem::path& stagedMemo, const DropRule& drop,
                        const char* operation);
  bool writeStagedIndex(IndexFile& file, const std::filesystem::path& staged, const DropRule& drop,
                        const char* operation);
  void raise(int code, std::string description, const std::string& operation);
  rt::Error errorFor(int code, std::string description, const std::string& operation) const;
  rt::Value readMemo(const FieldDef& f, const char* raw);

  Workspace& ws_;
  int number_;
  std::string alias_;
  std::unique_ptr<Table> table_;
  const Driver* driver_;
  std::string blank_;  // a new record's bytes: the header does not change while the table is open
  // Where the last names asked for were found, by the address of the name's text: a rule asks
  // for the same few names, from the same literals, for every record. A position found here is
  // used only when its field has the name asked for.
  struct NameHit {
    const char* text = nullptr;
    int pos = 0;
  };
  mutable std::array<NameHit, 16> nameHits_{};
  // The record as the area holds it, and as it was read: the indexes' old keys and a memo's own
  // blocks come from orig_. A record only read leaves orig_ behind (origBehind_) and copies it
  // at its first change, so a loop that reads does not copy each record twice.
  std::string buf_, orig_;
  bool origBehind_ = false;
  uint32_t recno_ = 0;
  bool eof_ = true, bof_ = true, found_ = false;
  bool dirty_ = false, appended_ = false;
  bool netErr_ = false;
  std::map<size_t, std::string> memos_;  // pending memo values by field index
  std::set<uint32_t> locks_;
  bool fileLocked_ = false;
  std::vector<std::unique_ptr<IndexFile>> indexes_;
  std::vector<Order> orders_;
  int current_ = -1;  // controlling order in orders_, -1 natural
  bool tagPositioned_ = false;
  Condition filter_;
  std::string filterText_;
  Condition locateCond_, locateWhile_;
  std::vector<Relation> relations_;
  int relationDepth_ = 0;
  std::filesystem::path damagedIndex_;
};

}  // namespace tav::engine

// The read-only consistency check of a table, its memo and its indexes. Invariants: nothing is
// written (read-only opens under a shared open-mode lock; a table with a pending rebuild is not
// opened through the engine, whose open would finish it), every finding has its kind and a line
// of its own, and a damaged byte is reported, never followed (memo references are checked
// against the memo file before anything is read there, index walks stop after as many entries
// as the table has records). The table is read once: a tag's keys are computed from the check's
// own reads of the records, exactly as a work area over the table would compute them (through a
// work area when the table has memo fields).
#include "engine/table_check.h"

#include <errno.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <map>
#include <optional>
#include <set>

#include "engine/dbf/dbf_format.h"
#include "engine/dbf/table.h"
#include "engine/expr/expression.h"
#include "engine/fpt/memo_file.h"
#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/coding.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::engine {
namespace {

// Findings of one kind (one field's bad values, one tag's faults) kept before the rest is counted.
constexpr size_t kShownPerKind = 20;
// Records read at once by the record scan.
constexpr size_t kScanBytes = 256 * 1024;
// What is read of a table's start at first: the header of any usual table.
constexpr int64_t kFirstHeaderRead = 8192;
// Memo files up to this size are read whole for the check of their references.
constexpr uint64_t kMemoReadWhole = 64ull << 20;

bool memoVersion(uint8_t v) {
  return v == dbf::kVersionFoxMemo || v == 0x30 || v == 0x31 || v == 0x32 || v == 0x83 || v == 0x8B;
}

// The high bit of each byte of w that is below `bound` (bytes taken unsigned, bound <= 0x80),
// exactly: no carry runs from one byte into the next.
inline uint64_t bytesBelow(uint64_t w, uint8_t bound) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full, kHigh = 0x8080808080808080ull;
  return ~(((w & kLow7) + 0x0101010101010101ull * uint64_t(0x80 - bound)) | w) & kHigh;
}

// The form nearly every number has (blanks, then digits with at most one point), told without a
// call: wellFormed, the rule itself, accepts all of these and is asked about everything else.
inline bool plainNumber(const char* p, size_t n) {
  size_t i = 0;
  if (n < 8) {
    while (i < n && p[i] == ' ') ++i;
    if (i == n) return true;
    unsigned bad = 0, points = 0;
    for (size_t j = i; j < n; ++j) {
      const uint8_t c = static_cast<uint8_t>(p[j]);
      const unsigned digit = uint8_t(c - '0') <= 9, point = c == '.';
      bad |= (digit | point) ^ 1u;
      points += point;
    }
    return !bad && points <= 1 && n - i > points;
  }
  // Numbers are most of a firm's bytes: eight at a time. The blanks in front up to the first
  // byte that is none ...
  constexpr uint64_t kBlanks = 0x2020202020202020ull, kHigh = 0x8080808080808080ull,
                     kZeros = 0x3030303030303030ull, kPoints = 0x2E2E2E2E2E2E2E2Eull;
  // Eight bytes are read as a little-endian number: byte k of the field is byte k of the word.
  for (; i + 8 <= n; i += 8) {
    if (const uint64_t x = rt::getLE64(p + i) ^ kBlanks) {
      i += size_t(__builtin_ctzll(x)) / 8;
      break;
    }
  }
  if (i + 8 > n) {
    while (i < n && p[i] == ' ') ++i;
    if (i == n) return true;
  }
  // ... then digits and at most one point; the last eight bytes overlap the ones already seen,
  // which are masked out.
  bool point = false;
  for (size_t at = i; at < n; at += 8) {
    uint64_t w, valid = kHigh;
    if (at + 8 <= n) {
      w = rt::getLE64(p + at);
    } else {
      w = rt::getLE64(p + n - 8);
      valid <<= (at + 8 - n) * 8;
    }
    const uint64_t digits = bytesBelow(w ^ kZeros, 10), points = bytesBelow(w ^ kPoints, 1);
    if (((digits | points) & valid) != valid) return false;
    if (const uint64_t pt = points & valid) {
      if (point || (pt & (pt - 1))) return false;
      point = true;
    }
  }
  return n - i > size_t(point);
}

#ifdef __SSE2__
// plainNumber for a field of up to 16 bytes with 16 bytes readable from its start: every byte told
// at once (the bytes past the field are read and masked out).
inline bool plainNumber16(const char* p, size_t n) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i fromZero = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  const unsigned blanks = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
  const unsigned digits = unsigned(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(fromZero, _mm_set1_epi8(9)), fromZero)));
  const unsigned points = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('.'))));
  const unsigned field = (1u << n) - 1;  // one bit a byte, the field's first byte lowest
  const unsigned rest = ~blanks & field;
  if (!rest) return true;
  const unsigned tail = field & ~((rest & (0u - rest)) - 1);  // from the first byte no blank
  const unsigned point = points & tail;
  return ((digits | points) & tail) == tail && !(point & (point - 1)) && (digits & tail);
}
#endif

// A number field's plainNumber, all at once where the bytes after it may be read.
inline bool plainNumberIn(const char* p, size_t n, const char* readable) {
#ifdef __SSE2__
  if (n <= 16 && readable - p >= 16) return plainNumber16(p, n);
#else
  (void)readable;
#endif
  return plainNumber(p, n);
}

// Findings and their lines, in the order found; a part of the check fills one and the parts are
// joined in a fixed order at the end.
struct Part {
  std::vector<Finding> findings;
  std::vector<std::string> lines;
  std::vector<std::pair<Damage, size_t>> omitted;
  void add(Finding f) {
    lines.push_back(f.text);
    findings.push_back(std::move(f));
  }
};

// Findings of one kind, cut after kShownPerKind with a line counting the rest.
class Limited {
 public:
  Limited(Part& out, Damage kind, std::string prefix = {})
      : out_(out), kind_(kind), prefix_(std::move(prefix)) {}
  void add(uint32_t record, std::string field, std::string index, const std::string& text) {
    if (seen_++ < kShownPerKind)
      out_.add({kind_, record, std::move(field), std::move(index), prefix_ + text});
  }
  void finish(const std::string& what) {
    if (seen_ <= kShownPerKind) return;
    out_.lines.push_back(prefix_ + std::to_string(seen_ - kShownPerKind) + " more " + what);
    out_.omitted.emplace_back(kind_, seen_ - kShownPerKind);
  }

 private:
  Part& out_;
  Damage kind_;
  std::string prefix_;
  size_t seen_ = 0;
};

std::string lowerWithoutBlanks(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != ' ') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The memo file as the references are checked against it: its size, block size and the next
// free block its header names.
struct MemoFacts {
  os::File file;
  uint64_t size = 0;
  uint32_t blockSize = 0, nextFree = 0;
  bool usable = false;
  bool whole = false;  // `bytes` holds the whole file
  std::string bytes;
  bool readAt(uint64_t offset, uint8_t* dst, size_t n) {
    if (!whole) return file.readAt(offset, dst, n);
    if (offset + n > bytes.size()) return false;
    std::memcpy(dst, bytes.data() + offset, n);
    return true;
  }
};

// The record scan: flags, numbers, dates and memo references of every whole record.
class RecordScan {
 public:
  RecordScan(const DbfHeader& h, MemoFacts* memo, bool memoMissing, CheckDepth depth)
      : h_(h),
        memo_(memo),
        memoMissing_(memoMissing),
        depth_(depth),
        flags_(flagPart_, Damage::DeletedFlag),
        memos_(memoPart_, Damage::MemoPastEnd),
        freed_(memoPart_, Damage::MemoFreed),
        unreadable_(memoPart_, Damage::MemoFileDamaged),
        pointers_(memoPart_, Damage::MemoPointer) {
    for (size_t i = 0; i < h.fields.size(); ++i) {
      // Only numbers, dates and memo references can be malformed; the guard reads the last alone.
      const FieldDef& f = h.fields[i];
      const bool memoField = f.type == 'M' || f.type == 'G' || f.type == 'P';
      const bool number = f.type == 'N' || f.type == 'F';
      if (memoField || (depth == CheckDepth::Full && (number || f.type == 'D')))
        checked_.push_back({f.offset, f.length, i, number, memoField});
    }
  }

  // `readable`: where the buffer holding the record ends (the record's own end when unknown).
  void record(uint32_t r, const char* rec, const char* readable) {
    // The record's name is made only for a finding: most records have none.
    auto at = [r] { return "record " + std::to_string(r); };
    const bool full = depth_ == CheckDepth::Full;
    if (full && rec[0] != ' ' && rec[0] != '*')
      flags_.add(r, {}, {}, at() + " has deleted flag byte " + std::to_string(uint8_t(rec[0])));
    for (const Checked& c : checked_) {
      const char* raw = rec + c.offset;
      if (c.number && plainNumberIn(raw, c.length, readable)) continue;
      const FieldDef& f = h_.fields[c.index];
      if (!wellFormed(f, raw)) {
        // A field's line-up of findings is made at its first one.
        auto l = byField_.try_emplace(c.index, fieldPart_,
                                      f.type == 'D' ? Damage::BadDate : Damage::BadNumber);
        l.first->second.add(r, f.name, {},
                            at() + " field " + f.name + ": \"" + std::string(raw, f.length) +
                                "\" is not a " + (f.type == 'D' ? "date" : "number"));
        continue;
      }
      if (c.memo) reference(r, f, raw);
    }
  }

  void finish(Part& out) {
    flags_.finish("records with a bad deleted flag");
    memos_.finish("bad memo pointers");
    freed_.finish("memo references into free space");
    unreadable_.finish("memo blocks that cannot be read");
    pointers_.finish("memo pointers that are no number");
    for (auto& [i, l] : byField_)
      l.finish("records whose field " + h_.fields[i].name + " holds no " +
               (h_.fields[i].type == 'D' ? "date" : "number"));
    for (Part* p : {&flagPart_, &fieldPart_, &memoPart_}) {
      out.findings.insert(out.findings.end(), p->findings.begin(), p->findings.end());
      out.lines.insert(out.lines.end(), p->lines.begin(), p->lines.end());
      out.omitted.insert(out.omitted.end(), p->omitted.begin(), p->omitted.end());
    }
  }

 private:
  void reference(uint32_t r, const FieldDef& f, const char* raw) {
    // The lines are made only for a finding.
    auto at = [&] { return "record " + std::to_string(r) + " field " + f.name; };
    const uint32_t block = memoPointer(f, h_.memoPointersBinary(), raw);
    if (!block) {
      if (!h_.memoPointersBinary() && f.length != 4 &&
          std::string(raw, f.length).find_first_not_of(" 0") != std::string::npos)
        pointers_.add(
            r, f.name, {},
            at() + ": memo pointer \"" + std::string(raw, f.length) + "\" is not a number");
      return;
    }
    if (memoMissing_) {
      memos_.add(r, f.name, {}, at() + " points to a memo but there is no memo file");
      return;
    }
    if (!memo_ || !memo_->usable) return;  // the damaged memo header is the finding
    const uint64_t offset = uint64_t(block) * memo_->blockSize;
    uint8_t head[8];
    if (offset < MemoFile::kHeaderSize || offset + 8 > memo_->size) {
      memos_.add(r, f.name, {},
                 at() + ": memo block " + std::to_string(block) + " lies outside the memo file");
      return;
    }
    if (!memo_->readAt(offset, head, sizeof head)) {
      unreadable_.add(
          r, f.name, {},
          at() + ": memo block " + std::to_string(block) + " cannot be read from the memo file");
      return;
    }
    const uint32_t length = rt::getBE32(head + 4);
    if (length > memo_->size - offset - 8) {
      memos_.add(r, f.name, {},
                 at() + ": memo at block " + std::to_string(block) + " claims " +
                     std::to_string(length) + " bytes beyond the end of the memo file");
      return;
    }
    const uint64_t end = block + (8 + uint64_t(length) + memo_->blockSize - 1) / memo_->blockSize;
    if (end > memo_->nextFree)
      freed_.add(r, f.name, {},
                 at() + ": memo at block " + std::to_string(block) +
                     " lies in the memo file's free space (the next free block is " +
                     std::to_string(memo_->nextFree) + ")");
  }

  const DbfHeader& h_;
  MemoFacts* memo_;
  bool memoMissing_;
  CheckDepth depth_;
  Part flagPart_, fieldPart_, memoPart_;
  Limited flags_, memos_, freed_, unreadable_, pointers_;
  std::map<size_t, Limited> byField_;  // by field, in field order
  // The fields whose bytes can be wrong, where they lie in a record.
  struct Checked {
    size_t offset, length, index;
    bool number, memo;
  };
  std::vector<Checked> checked_;
};

// Whether `p` may exist, as far as the caller's listing of its directory tells: a name it does not
// hold (ASCII letters compared in any case; a name with other letters is always looked for) is
// not there, and no file system call asks.
bool listed(const CheckOptions& options, const std::filesystem::path& p) {
  if (!options.directoryNames) return true;
  std::string name;
  const std::filesystem::path file = p.filename();
  for (const auto c : file.native()) {  // narrow on Linux, wide on Windows
    if (static_cast<unsigned long>(c) > 0x7F) return true;
    name += static_cast<char>(std::tolower(static_cast<int>(c)));
  }
  return options.directoryNames->count(name) != 0;
}

bool present(const CheckOptions& options, const std::filesystem::path& p) {
  std::error_code ec;
  return listed(options, p) && std::filesystem::exists(p, ec);
}

// The path of `host` with another extension, in lower case or else in upper case when only that
// one is there; nullopt when neither is.
std::optional<std::filesystem::path> beside(const std::filesystem::path& host, const char* lower,
                                            const CheckOptions& options) {
  std::filesystem::path p = host;
  p.replace_extension(lower);
  if (present(options, p)) return p;
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  p.replace_extension(upper);
  if (present(options, p)) return p;
  return std::nullopt;
}

// The fields of the record in hand as a key expression binds them, with what a work area over the
// table would give for them (the same decoding, hidden fields left out, the same names and alias),
// read from the record scan's own buffer: a table without memo fields has its tags checked without
// a second open of the table through a work area.
class RecordFields : public ExprContext {
 public:
  explicit RecordFields(const DbfHeader& h) : h_(h) {
    for (size_t i = 0; i < h.fields.size(); ++i)
      if (!h.fields[i].hidden()) visible_.push_back(i);
  }
  void at(uint32_t recno, const char* record) {
    recno_ = recno;
    record_ = record;
  }

  std::shared_ptr<BoundField> bindField(std::string_view alias, std::string_view name) override {
    std::string a = rt::upper(rt::allTrim(alias));
    if (a == "FIELD") a.clear();
    if (!a.empty() && a != kAlias) return nullptr;
    const std::string n = rt::upper(rt::allTrim(name));
    for (size_t i : visible_)
      if (h_.fields[i].name == n) return std::make_shared<Field>(*this, h_.fields[i]);
    return nullptr;
  }
  std::shared_ptr<BoundArea> bindArea(std::string_view alias) override {
    const std::string a = rt::upper(rt::allTrim(alias));
    if (!a.empty() && a != kAlias) return nullptr;
    return std::make_shared<Area>(*this);
  }

  // The alias the table has while its keys are computed.
  static constexpr const char* kAlias = "T";

 private:
  class Field : public BoundField {
   public:
    Field(const RecordFields& r, const FieldDef& f) : r_(r), f_(f) {}
    rt::Value get() const override {
      rt::Value v;
      uint32_t block = 0;
      decodeField(f_, r_.record_ + f_.offset, r_.h_, v, block);
      return v;
    }
    void put(const rt::Value&) override {}  // a key computes, it never assigns
    char type() const override { return f_.type; }
    int length() const override { return f_.length; }
    int decimals() const override { return f_.decimals; }
    void appendText(std::string& out) const override {
      if (f_.type == 'C') {
        out.append(r_.record_ + f_.offset, f_.length);
        return;
      }
      const rt::Value v = get();
      if (v.isText()) out += v.str();
    }

   private:
    const RecordFields& r_;
    const FieldDef& f_;
  };
  class Area : public BoundArea {
   public:
    explicit Area(const RecordFields& r) : r_(r) {}
    uint32_t recno() const override { return r_.recno_; }
    bool deleted() const override { return r_.record_ && r_.record_[0] == '*'; }

   private:
    const RecordFields& r_;
  };

  const DbfHeader& h_;
  std::vector<size_t> visible_;
  uint32_t recno_ = 0;
  const char* record_ = nullptr;
};

// Every tag: each record indexed once, keys in order and equal to what the key expression gives
// for the record. The caller walks the records once in record order, every tag's key of every
// record is kept, and then each tag is walked once against them: the table is read once, not once
// per entry of each tag in key order. A table without memo fields has its index files opened
// directly and its keys computed from the record scan's buffer (RecordFields); one with memo
// fields is opened through a work area, which reads the memo texts a key may name, and the caller
// stands the area on each record in turn.
class IndexCheck {
 public:
  IndexCheck(const std::filesystem::path& host, const DbfHeader& h, uint32_t records,
             const CheckOptions& options, Part& out, std::vector<std::string>& errors)
      : out_(out), errors_(errors) {
    const auto cdx = beside(host, ".cdx", options), ntx = beside(host, ".ntx", options);
    std::filesystem::path structural = host;
    structural.replace_extension(".cdx");
    if (!cdx && !options.expectedTags.empty()) {
      std::string names;
      for (const auto& [name, key] : options.expectedTags)
        names += (names.empty() ? "" : ", ") + name;
      out.add({Damage::TagMissing,
               0,
               {},
               os::oemText(structural.filename()),
               "index " + os::oemText(structural.filename()) + " is missing (expected tags " +
                   names + ")"});
    }
    if (!cdx && !ntx) return;
    const bool structuralOpen =
        h.hasMemo() ? openThroughArea(host, cdx, ntx) : openDirectly(h, records, cdx, ntx);
    if (!area_ && !fields_) return;
    errors_.clear();
    if (structuralOpen) expect(options, *cdx);
    keys_.resize(tags_.size());
    odd_.resize(tags_.size());
    for (size_t i = 0; i < tags_.size(); ++i)
      keys_[i].assign((size_t(count_) + 1) * tags_[i]->keyLength(), '\0');
  }

  // The work area to walk the records with; null when there is no tag to check or the keys are
  // computed from the caller's records (`direct`).
  WorkArea* area() const { return tags_.empty() ? nullptr : area_; }
  bool direct() const { return fields_ && !tags_.empty(); }
  uint32_t count() const { return count_; }

  // The area stands on record r: its key for every tag.
  void record(uint32_t r) {
    for (size_t i = 0; i < tags_.size(); ++i) keep(i, r, area_->currentKey(i));
  }
  // Record r's bytes, for keys computed directly.
  void record(uint32_t r, const char* bytes) {
    fields_->at(r, bytes);
    for (size_t i = 0; i < tags_.size(); ++i) keep(i, r, keyFor(*tags_[i], keyExpr_[i]->eval()));
  }

  void walk() {
    std::set<const IndexFile*> failedFiles;  // a file's read fault is told once, not per tag
    for (size_t i = 0; i < tags_.size(); ++i) {
      IndexTag* tag = tags_[i];
      const std::string where = "tag " + tag->name() + ": ";
      Limited report(out_, Damage::TagFaulty, where);
      std::vector<bool> seen(size_t(count_) + 1, false);
      std::string previousKey;
      uint32_t previousRec = 0, entries = 0;
      for (uint32_t r = tag->first(); r; r = tag->next()) {
        if (++entries > count_ + 1) break;
        std::string key = tag->currentKey();
        if (r > count_) {
          report.add(r, {}, tag->name(),
                     "entry points to record " + std::to_string(r) + " beyond the table");
          continue;
        }
        if (seen[r])
          report.add(r, {}, tag->name(), "record " + std::to_string(r) + " is indexed twice");
        seen[r] = true;
        if (previousRec) {
          int c = compareKeys(*tag, previousKey.data(), key.data(), tag->keyLength());
          if (c > 0 || (c == 0 && previousRec > r))
            report.add(r, {}, tag->name(), "keys out of order at record " + std::to_string(r));
        }
        if (expected(i, r) != key)
          report.add(r, {}, tag->name(),
                     "key of record " + std::to_string(r) + " differs from its expression " +
                         tag->keyExpression());
        previousKey = std::move(key);
        previousRec = r;
      }
      report.finish("faults");
      const IndexFile& file = *files_[i];
      if (!indexFileError(file).empty() && failedFiles.insert(&file).second)
        out_.add({Damage::IndexUnreadable,
                  0,
                  {},
                  os::oemText(os::hostPath(file.path()).filename()),
                  where + indexFileError(file)});
      if (entries != count_)
        out_.add({Damage::TagFaulty,
                  0,
                  {},
                  tag->name(),
                  where + std::to_string(entries) + " entries for " + std::to_string(count_) +
                      " records"});
    }
    for (const auto& e : errors_) out_.add({Damage::IndexUnreadable, 0, {}, {}, e});
  }

 private:
  using Beside = std::optional<std::filesystem::path>;

  // The table opened shared and read-only through a work area with its index files. True when
  // the structural index is among them.
  bool openThroughArea(const std::filesystem::path& host, const Beside& cdx, const Beside& ntx) {
    UseOptions uo;
    uo.shared = true;
    uo.readOnly = true;
    errors_.clear();
    if (!ws_.useHost(host, RecordFields::kAlias, uo)) {
      out_.add({Damage::IndexUnreadable,
                0,
                {},
                {},
                "indexes not checked: table cannot be opened: " +
                    (errors_.empty() ? std::string() : errors_.back())});
      return false;
    }
    area_ = ws_.current();
    // The structural index opened with its table when the table's flag says it has one; the
    // files that did not are added, and one that will not open is named.
    bool structuralOpen = false;
    for (size_t i = 0; i < area_->orderCount() && cdx; ++i)
      structuralOpen = structuralOpen || area_->orderFile(i)->path() == os::utf8(*cdx);
    for (const auto& p : {cdx, ntx}) {
      if (!p || (p == cdx && structuralOpen)) continue;
      errors_.clear();
      if (area_->orderListAdd(*p)) {
        structuralOpen = structuralOpen || p == cdx;
        continue;
      }
      unopened(*p, errors_.empty() ? std::string() : errors_.back());
    }
    count_ = area_->lastRec();
    for (size_t i = 0; i < area_->orderCount(); ++i) {
      tags_.push_back(area_->orderAt(i));
      files_.push_back(area_->orderFile(i));
    }
    return structuralOpen;
  }

  // The index files opened read-only as the work area would open them (the structural index,
  // then a single-key index of the table's name), each tag's key compiled as the area compiles
  // it (in the tag's dialect) against RecordFields; a tag whose key does not compile is left out,
  // as the area leaves it. True when the structural index opened.
  bool openDirectly(const DbfHeader& h, uint32_t records, const Beside& cdx, const Beside& ntx) {
    fields_.emplace(h);
    count_ = records;
    const IndexKeyTypeResolver resolver = [this](std::string_view expression,
                                                 size_t) -> std::optional<KeyType> {
      std::unique_ptr<Expression> e;
      rt::guarded([&] { e = Expression::compile(expression, *fields_); });
      return e ? keyTypeOf(e->resultType()) : std::nullopt;
    };
    bool structuralOpen = false;
    for (const auto& p : {cdx, ntx}) {
      if (!p) continue;
      errors_.clear();
      std::string why;
      std::unique_ptr<IndexFile> file = openIndexFile(*p, true, resolver, &why);
      if (!file) {
        // In the words of the engine's own refusal (ORDLISTADD), which the line shortens.
        unopened(*p, "cannot open index " + os::oemText(*p) + ": " + why);
        continue;
      }
      structuralOpen = structuralOpen || p == cdx;
      for (IndexTag* t : file->tags()) {
        CompileOptions co;
        co.asciiCase = t->plainByteOrder();
        std::unique_ptr<Expression> key = Expression::compile(t->keyExpression(), *fields_, co);
        if (!key) continue;
        tags_.push_back(t);
        files_.push_back(file.get());
        keyExpr_.push_back(std::move(key));
      }
      indexFiles_.push_back(std::move(file));
    }
    return structuralOpen;
  }

  // An index file that does not open: the engine's reason and the index's own each put the
  // file's path in front; the line names the file once.
  void unopened(const std::filesystem::path& p, std::string why) {
    const std::string named = os::oemText(p.filename()) + ": ";
    if (const size_t at = why.rfind(named); at != std::string::npos)
      why.erase(0, at + named.size());
    out_.add({Damage::IndexUnreadable,
              0,
              {},
              os::oemText(p.filename()),
              "index " + os::oemText(p.filename()) + " cannot be opened: " + why});
  }

  // The tags the caller expects in the structural index, by name and key expression.
  void expect(const CheckOptions& options, const std::filesystem::path& cdx) {
    for (const auto& [name, key] : options.expectedTags) {
      const IndexTag* found = nullptr;
      for (size_t i = 0; i < tags_.size(); ++i)
        if (files_[i]->path() == os::utf8(cdx) &&
            lowerWithoutBlanks(tags_[i]->name()) == lowerWithoutBlanks(name))
          found = tags_[i];
      if (!found)
        out_.add({Damage::TagMissing,
                  0,
                  {},
                  name,
                  "tag " + name + " (" + key + ") is missing from " + os::oemText(cdx.filename())});
      else if (lowerWithoutBlanks(found->keyExpression()) != lowerWithoutBlanks(key))
        out_.add({Damage::TagDiffers,
                  0,
                  {},
                  name,
                  "tag " + name + " has the key " + found->keyExpression() + ", not " + key});
    }
  }

  void keep(size_t i, uint32_t r, const std::string& key) {
    const size_t length = tags_[i]->keyLength();
    // Keys have their tag's length and lie side by side; one of another length, which no tag
    // should give, is kept apart.
    if (key.size() == length)
      key.copy(keys_[i].data() + size_t(r) * length, length);
    else
      odd_[i][r] = key;
  }

  std::string_view expected(size_t i, uint32_t r) const {
    const auto it = odd_[i].find(r);
    if (it != odd_[i].end()) return it->second;
    const size_t length = tags_[i]->keyLength();
    return std::string_view(keys_[i].data() + size_t(r) * length, length);
  }

  Part& out_;
  std::vector<std::string>& errors_;
  // Through a work area:
  Workspace ws_;
  WorkArea* area_ = nullptr;
  // Directly: the index files, the record's fields and each tag's compiled key.
  std::vector<std::unique_ptr<IndexFile>> indexFiles_;
  std::optional<RecordFields> fields_;
  std::vector<std::unique_ptr<Expression>> keyExpr_;
  // Either way: the tags checked, each tag's file, every record's key by tag.
  std::vector<IndexTag*> tags_;
  std::vector<const IndexFile*> files_;
  uint32_t count_ = 0;
  std::vector<std::string> keys_;
  std::vector<std::map<uint32_t, std::string>> odd_;
};

// The header against the file's size, as an exclusive open of the engine would find it: what
// is missing, what is not counted, what follows the last whole record.
// `bytes` holds the file when its first read took all of it.
void checkSize(os::File& file, const std::string* bytes, uint64_t size, const DbfHeader& h,
               TableCheck& out, Part& part) {
  const uint64_t hdr = h.headerLength, rl = h.recordLength;
  const uint64_t body = size > hdr ? size - hdr : 0;
  const uint32_t whole = static_cast<uint32_t>(std::min<uint64_t>(body / rl, 0xFFFFFFFFull));
  const uint64_t rest = body - uint64_t(whole) * rl;
  out.headerCount = h.recordCount;
  out.wholeRecords = whole;
  out.recordLength = h.recordLength;
  out.partialBytes = rest > 1 ? static_cast<uint32_t>(rest) : 0;
  if (h.recordCount < whole)
    part.add({Damage::RecordsUncounted,
              0,
              {},
              {},
              "header counts " + std::to_string(h.recordCount) + " records, the file holds " +
                  std::to_string(whole)});
  else if (h.recordCount > whole)
    part.add({Damage::RecordsMissing,
              0,
              {},
              {},
              "header counts " + std::to_string(h.recordCount) + " records, the file holds only " +
                  std::to_string(whole) + ": " + std::to_string(h.recordCount - whole) +
                  " records are missing"});
  if (rest == 1) {
    uint8_t b = 0;
    if (bytes ? (b = uint8_t((*bytes)[size - 1])) != dbf::kEofMarker
              : !file.readAt(size - 1, &b, 1) || b != dbf::kEofMarker)
      part.add(
          {Damage::EndMarker, 0, {}, {}, "the file ends with a stray byte after the last record"});
  } else if (rest > 1) {
    part.add({Damage::PartialRecord,
              whole + 1,
              {},
              {},
              "the last record is incomplete (" + std::to_string(rest) + " of " +
                  std::to_string(rl) + " bytes)"});
  } else if (size >= hdr) {
    part.add({Damage::EndMarker, 0, {}, {}, "end-of-file marker 0x1A missing"});
  }
  if (size < hdr) part.add({Damage::RecordsMissing, 0, {}, {}, "file is shorter than its header"});
}

void take(TableCheck& out, Part& part) {
  out.findings.insert(out.findings.end(), part.findings.begin(), part.findings.end());
  out.problems.insert(out.problems.end(), part.lines.begin(), part.lines.end());
  out.omitted.insert(out.omitted.end(), part.omitted.begin(), part.omitted.end());
  part = Part{};
}

}  // namespace

bool TableCheck::has(Damage kind) const {
  for (const Finding& f : findings)
    if (f.kind == kind) return true;
  return false;
}

const Finding* TableCheck::firstLoss() const {
  for (const Finding& f : findings) {
    if (f.kind == Damage::RecordsMissing || f.kind == Damage::MemoFileMissing ||
        f.kind == Damage::MemoFileDamaged || f.kind == Damage::MemoPastEnd)
      return &f;
  }
  return nullptr;
}

bool TableCheck::losesData() const { return firstLoss() != nullptr; }

std::optional<std::vector<std::pair<std::string, std::string>>> indexFileTags(
    const std::filesystem::path& host) {
  std::unique_ptr<IndexFile> file = openIndexFile(host, true);
  if (!file || file->tags().empty()) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> tags;
  for (IndexTag* t : file->tags()) tags.emplace_back(t->name(), t->keyExpression());
  return tags;
}

std::string sizeText(const TableCheck& c) {
  if (c.headerCount == c.wholeRecords && !c.partialBytes) return {};
  std::string t = "header " + std::to_string(c.headerCount) +
                  (c.headerCount == 1 ? " record" : " records") + ", file holds " +
                  std::to_string(c.wholeRecords);
  if (c.partialBytes)
    t += " and " + std::to_string(c.partialBytes) + " of the " + std::to_string(c.recordLength) +
         " bytes of the next";
  return t;
}

TableCheck checkTable(const std::filesystem::path& host, const CheckOptions& options) {
  TableCheck out;
  std::vector<std::string> errors;
  // Faults raised while reading are findings: collected, never retried, never fatal.
  rt::HandlerGuard handler([&](rt::Error& e) {
    errors.push_back(e.description.empty() ? e.summary() : e.description);
    return rt::Answer{};
  });
  Part part;
  // The engine's open would finish the rebuild (a write): the files are mid-swap and the check
  // says so instead of reading them.
  std::filesystem::path commit = host.parent_path() / os::hostPath("~" + os::utf8(host.filename()));
  commit.replace_extension(".swp");
  if (present(options, commit)) {
    part.add({Damage::RebuildPending,
              0,
              {},
              {},
              "a rebuild of the table stopped after its commit (" + os::oemText(commit.filename()) +
                  "): the next writable open finishes it"});
    take(out, part);
    return out;
  }

  os::File file;
  if (!file.open(host, os::File::Mode::Read)) {
    out.opened = false;
    out.unreadable = file.lastError() == ENOENT ? "no such file" : "cannot open the file";
    return out;
  }
  if (!file.lockOpenMode(false)) {
    out.opened = false;
    out.inUse = true;
    out.unreadable = "table is open exclusively elsewhere";
    return out;
  }
  const int64_t size = file.size();
  // The header of any usual table in one read; a longer one (its length says so) in a second.
  std::string head(static_cast<size_t>(std::clamp<int64_t>(size, 0, kFirstHeaderRead)), '\0');
  if (size < 0 || (!head.empty() && !file.readAt(0, head.data(), head.size()))) {
    out.opened = false;
    out.unreadable = "cannot read the table header";
    return out;
  }
  if (head.size() >= dbf::kHeaderFixed && rt::getLE16(head.data() + 8) > head.size() &&
      int64_t(head.size()) < size) {
    head.resize(static_cast<size_t>(std::min<int64_t>(size, rt::getLE16(head.data() + 8))));
    if (!file.readAt(0, head.data(), head.size())) {
      out.opened = false;
      out.unreadable = "cannot read the table header";
      return out;
    }
  }
  DbfHeader h;
  std::string why;
  if (!parseHeader(head, h, why)) {
    part.add({Damage::Header, 0, {}, {}, "damaged table header: " + why});
    take(out, part);
    return out;
  }
  // A small table came whole with its header: its records are read from there.
  const std::string* whole = int64_t(head.size()) == size ? &head : nullptr;
  checkSize(file, whole, uint64_t(size), h, out, part);
  const bool full = options.depth == CheckDepth::Full;
  if (full) {
    if (h.month < 1 || h.month > 12 || h.day < 1 || h.day > 31)
      part.add({Damage::HeaderDate, 0, {}, {}, "date of last update is not a date"});
    if (h.hasMemo() && !memoVersion(h.version))
      part.add(
          {Damage::VersionByte, 0, {}, {}, "table has memo fields but its version byte says none"});
    if (!h.hasMemo() && h.version == dbf::kVersionFoxMemo)
      part.add({Damage::VersionByte, 0, {}, {}, "version byte says memo, no memo field"});
  }
  take(out, part);
  if (!full && !h.hasMemo()) return out;

  MemoFacts memo;
  bool memoMissing = false;
  if (h.hasMemo()) {
    const std::filesystem::path mp = Table::memoPathFor(host);
    if (!present(options, mp)) {
      memoMissing = true;
      part.add({Damage::MemoFileMissing,
                0,
                {},
                os::oemText(mp.filename()),
                "memo file " + os::oemText(mp.filename()) + " is missing"});
    } else {
      uint8_t mh[8];
      if (!memo.file.open(mp, os::File::Mode::Read) || !memo.file.readAt(0, mh, sizeof mh)) {
        part.add({Damage::MemoFileDamaged,
                  0,
                  {},
                  os::oemText(mp.filename()),
                  "memo file header is short: " + os::oemText(mp.filename())});
      } else if (rt::getBE16(mh + 6) == 0) {
        part.add({Damage::MemoFileDamaged,
                  0,
                  {},
                  os::oemText(mp.filename()),
                  "memo file has block size 0: " + os::oemText(mp.filename())});
      } else {
        memo.size = static_cast<uint64_t>(std::max<int64_t>(0, memo.file.size()));
        memo.blockSize = rt::getBE16(mh + 6);
        memo.nextFree = rt::getBE32(mh);
        memo.usable = true;
        // A memo file of an office's size is read once, not once per reference.
        if (memo.size <= kMemoReadWhole) {
          memo.bytes.resize(static_cast<size_t>(memo.size));
          memo.whole = memo.file.readAt(0, memo.bytes.data(), memo.bytes.size());
        }
      }
    }
    take(out, part);
  }

  // Whole records only: a partial one is a finding of its own above. A table is read in large
  // pieces, each record's keys computed from them; one whose keys need a work area (it has memo
  // fields) is walked once through the area instead.
  RecordScan scan(h, &memo, memoMissing, options.depth);
  Part indexPart;
  std::optional<IndexCheck> indexes;
  if (full && !memoMissing && (!h.hasMemo() || memo.usable))
    indexes.emplace(host, h, out.wholeRecords, options, indexPart, errors);
  IndexCheck* direct = indexes && indexes->direct() ? &*indexes : nullptr;
  if (WorkArea* a = indexes ? indexes->area() : nullptr) {
    const uint32_t n = std::min(indexes->count(), out.wholeRecords);
    for (uint32_t r = 1; r <= n; ++r) {
      a->goTo(r);
      scan.record(r, a->buffer(), a->buffer() + h.recordLength);
      indexes->record(r);
    }
  } else if (whole) {
    const size_t rl = h.recordLength;
    for (uint32_t r = 1; r <= out.wholeRecords; ++r) {
      const char* bytes = whole->data() + h.headerLength + size_t(r - 1) * rl;
      scan.record(r, bytes, whole->data() + whole->size());
      if (direct) direct->record(r, bytes);
    }
  } else {
    const size_t rl = h.recordLength;
    // The buffer holds no more than the table: most tables are small, and zeroing a large one
    // for each of them cost more than reading them.
    const size_t perRead = std::max<size_t>(
        1, std::min<size_t>(kScanBytes / rl, std::max<uint32_t>(out.wholeRecords, 1)));
    std::vector<char> buf(perRead * rl + 16);  // numbers are read sixteen bytes at a time
    for (uint32_t r = 1; r <= out.wholeRecords;) {
      const uint32_t n =
          static_cast<uint32_t>(std::min<uint64_t>(perRead, out.wholeRecords - r + 1));
      if (!file.readAt(uint64_t(h.headerLength) + uint64_t(r - 1) * rl, buf.data(), n * rl)) {
        part.add(
            {Damage::RecordsMissing, r, {}, {}, "record " + std::to_string(r) + " cannot be read"});
        break;
      }
      for (uint32_t i = 0; i < n; ++i) {
        scan.record(r + i, buf.data() + size_t(i) * rl, buf.data() + buf.size());
        if (direct) direct->record(r + i, buf.data() + size_t(i) * rl);
      }
      r += n;
    }
  }
  scan.finish(part);
  take(out, part);
  if (indexes) indexes->walk();
  take(out, indexPart);
  return out;
}

}  // namespace tav::engine

// The read-only consistency check of a table, its memo and its indexes. Invariants: nothing is
// written (read-only opens under a shared open-mode lock; a table with a pending rebuild is not
// opened through the engine, whose open would finish it), every finding has its kind and a line
// of its own, and a damaged byte is reported, never followed (memo references are checked
// against the memo file before anything is read there, index walks stop after as many entries
// as the table has records).
#include "engine/table_check.h"

#include <errno.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "engine/dbf/dbf_format.h"
#include "engine/dbf/table.h"
#include "engine/fpt/memo_file.h"
#include "engine/index/index_files.h"
#include "engine/index/key_encoding.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "os/wide.h"
#include "runtime/coding.h"
#include "runtime/error.h"

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

// The form nearly every number has (blanks, then digits with at most one point), told without a
// call: wellFormed, the rule itself, accepts all of these and is asked about everything else.
inline bool plainNumber(const char* p, size_t n) {
  constexpr uint64_t kBlanks = 0x2020202020202020ull, kHigh = 0xF0F0F0F0F0F0F0F0ull,
                     kDigits = 0x3030303030303030ull, kSix = 0x0606060606060606ull;
  size_t i = 0;
  // Eight bytes at a time where they are blanks, or digits: numbers are most of a firm's bytes.
  for (uint64_t w; i + 8 <= n && (std::memcpy(&w, p + i, 8), w == kBlanks);) i += 8;
  while (i < n && p[i] == ' ') ++i;
  if (i == n) return true;
  const size_t first = i;
  for (uint64_t w; i + 8 <= n && (std::memcpy(&w, p + i, 8),
                                  (w & kHigh) == kDigits && ((w + kSix) & kHigh) == kDigits);)
    i += 8;
  unsigned bad = 0, points = 0;
  for (; i < n; ++i) {
    const uint8_t c = static_cast<uint8_t>(p[i]);
    const unsigned digit = uint8_t(c - '0') <= 9, point = c == '.';
    bad |= (digit | point) ^ 1u;
    points += point;
  }
  return !bad && points <= 1 && n - first > points;
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
      byField_.emplace(
          i, Limited(fieldPart_, h.fields[i].type == 'D' ? Damage::BadDate : Damage::BadNumber));
      // Only numbers, dates and memo references can be malformed; the guard reads the last alone.
      const char t = h.fields[i].type;
      const bool memoField = t == 'M' || t == 'G' || t == 'P';
      if (memoField || (depth == CheckDepth::Full && (t == 'N' || t == 'F' || t == 'D')))
        checked_.push_back(i);
    }
  }

  void record(uint32_t r, const char* rec) {
    // The record's name is made only for a finding: most records have none.
    auto at = [r] { return "record " + std::to_string(r); };
    const bool full = depth_ == CheckDepth::Full;
    if (full && rec[0] != ' ' && rec[0] != '*')
      flags_.add(r, {}, {}, at() + " has deleted flag byte " + std::to_string(uint8_t(rec[0])));
    for (size_t i : checked_) {
      const FieldDef& f = h_.fields[i];
      const char* raw = rec + f.offset;
      const bool memoField = f.type == 'M' || f.type == 'G' || f.type == 'P';
      if (!((f.type == 'N' || f.type == 'F') && plainNumber(raw, f.length)) &&
          !wellFormed(f, raw)) {
        byField_.at(i).add(r, f.name, {},
                           at() + " field " + f.name + ": \"" + std::string(raw, f.length) +
                               "\" is not a " + (f.type == 'D' ? "date" : "number"));
        continue;
      }
      if (memoField) reference(r, f, raw);
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
  std::map<size_t, Limited> byField_;
  std::vector<size_t> checked_;  // the fields whose bytes can be wrong
};

// The path of `host` with another extension, in lower case or else in upper case when only that
// one is there; nullopt when neither is.
std::optional<std::filesystem::path> beside(const std::filesystem::path& host, const char* lower) {
  std::error_code ec;
  std::filesystem::path p = host;
  p.replace_extension(lower);
  if (std::filesystem::exists(p, ec)) return p;
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  p.replace_extension(upper);
  if (std::filesystem::exists(p, ec)) return p;
  return std::nullopt;
}

// Every tag: each record indexed once, keys in order and equal to what the key expression gives
// for the record. The table is opened through a work area with its index files; the caller walks
// the records once in record order (the area standing on each in turn), every tag's key of every
// record is kept, and then each tag is walked once against them: the table is read once, not once
// per entry of each tag in key order.
class IndexCheck {
 public:
  IndexCheck(const std::filesystem::path& host, const CheckOptions& options, Part& out,
             std::vector<std::string>& errors)
      : out_(out), errors_(errors) {
    const auto cdx = beside(host, ".cdx"), ntx = beside(host, ".ntx");
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
    UseOptions uo;
    uo.shared = true;
    uo.readOnly = true;
    errors_.clear();
    if (!ws_.useHost(host, "T", uo)) {
      out.add({Damage::IndexUnreadable,
               0,
               {},
               {},
               "indexes not checked: table cannot be opened: " +
                   (errors_.empty() ? std::string() : errors_.back())});
      return;
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
      // The engine's open and the index's own reason each put the file's path in front; the line
      // names the file once.
      std::string why = errors_.empty() ? std::string() : errors_.back();
      const std::string named = os::oemText(p->filename()) + ": ";
      if (const size_t at = why.rfind(named); at != std::string::npos)
        why.erase(0, at + named.size());
      out.add({Damage::IndexUnreadable,
               0,
               {},
               os::oemText(p->filename()),
               "index " + os::oemText(p->filename()) + " cannot be opened: " + why});
    }
    errors_.clear();
    if (structuralOpen) expect(options, *cdx);
    count_ = area_->lastRec();
    tags_ = area_->orderCount();
    keys_.resize(tags_);
    odd_.resize(tags_);
    for (size_t i = 0; i < tags_; ++i)
      keys_[i].assign((size_t(count_) + 1) * area_->orderAt(i)->keyLength(), '\0');
  }

  // The work area to walk the records with; null when there is no tag to check.
  WorkArea* area() const { return tags_ ? area_ : nullptr; }
  uint32_t count() const { return count_; }

  // The area stands on record r: its key for every tag.
  void record(uint32_t r) {
    for (size_t i = 0; i < tags_; ++i) {
      const size_t length = area_->orderAt(i)->keyLength();
      const std::string key = area_->currentKey(i);
      // Keys have their tag's length and lie side by side; one of another length, which no tag
      // should give, is kept apart.
      if (key.size() == length)
        key.copy(keys_[i].data() + size_t(r) * length, length);
      else
        odd_[i][r] = key;
    }
  }

  void walk() {
    std::set<const IndexFile*> failedFiles;  // a file's read fault is told once, not per tag
    for (size_t i = 0; i < tags_; ++i) {
      IndexTag* tag = area_->orderAt(i);
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
      const IndexFile& file = *area_->orderFile(i);
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
  // The tags the caller expects in the structural index, by name and key expression.
  void expect(const CheckOptions& options, const std::filesystem::path& cdx) {
    for (const auto& [name, key] : options.expectedTags) {
      const IndexTag* found = nullptr;
      for (size_t i = 0; i < area_->orderCount(); ++i)
        if (area_->orderFile(i)->path() == os::utf8(cdx) &&
            lowerWithoutBlanks(area_->orderAt(i)->name()) == lowerWithoutBlanks(name))
          found = area_->orderAt(i);
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

  std::string_view expected(size_t i, uint32_t r) const {
    const auto it = odd_[i].find(r);
    if (it != odd_[i].end()) return it->second;
    const size_t length = area_->orderAt(i)->keyLength();
    return std::string_view(keys_[i].data() + size_t(r) * length, length);
  }

  Part& out_;
  std::vector<std::string>& errors_;
  Workspace ws_;
  WorkArea* area_ = nullptr;
  uint32_t count_ = 0;
  size_t tags_ = 0;
  std::vector<std::string> keys_;
  std::vector<std::map<uint32_t, std::string>> odd_;
};

// The header against the file's size, as an exclusive open of the engine would find it: what
// is missing, what is not counted, what follows the last whole record.
void checkSize(os::File& file, uint64_t size, const DbfHeader& h, TableCheck& out, Part& part) {
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
    if (!file.readAt(size - 1, &b, 1) || b != dbf::kEofMarker)
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
  std::error_code ec;
  Part part;
  // The engine's open would finish the rebuild (a write): the files are mid-swap and the check
  // says so instead of reading them.
  std::filesystem::path commit = host.parent_path() / os::hostPath("~" + os::utf8(host.filename()));
  commit.replace_extension(".swp");
  if (std::filesystem::exists(commit, ec)) {
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
  checkSize(file, uint64_t(size), h, out, part);
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
    if (!std::filesystem::exists(mp, ec)) {
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

  // Whole records only: a partial one is a finding of its own above. A table with indexes is
  // walked once through the work area that computes the keys; any other is read in large pieces.
  RecordScan scan(h, &memo, memoMissing, options.depth);
  Part indexPart;
  std::optional<IndexCheck> indexes;
  if (full && !memoMissing && (!h.hasMemo() || memo.usable))
    indexes.emplace(host, options, indexPart, errors);
  if (WorkArea* a = indexes ? indexes->area() : nullptr) {
    const uint32_t n = std::min(indexes->count(), out.wholeRecords);
    for (uint32_t r = 1; r <= n; ++r) {
      a->goTo(r);
      scan.record(r, a->buffer());
      indexes->record(r);
    }
  } else {
    const size_t rl = h.recordLength;
    const size_t perRead = std::max<size_t>(1, kScanBytes / rl);
    std::vector<char> buf(perRead * rl);
    for (uint32_t r = 1; r <= out.wholeRecords;) {
      const uint32_t n =
          static_cast<uint32_t>(std::min<uint64_t>(perRead, out.wholeRecords - r + 1));
      if (!file.readAt(uint64_t(h.headerLength) + uint64_t(r - 1) * rl, buf.data(), n * rl)) {
        part.add(
            {Damage::RecordsMissing, r, {}, {}, "record " + std::to_string(r) + " cannot be read"});
        break;
      }
      for (uint32_t i = 0; i < n; ++i) scan.record(r + i, buf.data() + size_t(i) * rl);
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

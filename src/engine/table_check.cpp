// The read-only consistency check of a table, its memo and its indexes. Invariants: nothing is
// written (shared, read-only opens only), every finding is a line of its own, and a damaged
// byte is reported, never followed (memo pointers are checked before a memo is read, index
// walks stop after as many entries as the table has records).
#include "engine/table_check.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/dbf/table.h"
#include "engine/index/key_encoding.h"
#include "engine/workspace.h"
#include "runtime/error.h"

namespace tav::engine {
namespace {

// Lines of one kind (one field's bad values, one tag's faults) shown before the rest is counted.
constexpr size_t kShownPerKind = 20;

bool memoVersion(uint8_t v) {
  return v == dbf::kVersionFoxMemo || v == 0x30 || v == 0x31 || v == 0x32 || v == 0x83 || v == 0x8B;
}

// Collects lines of one kind, cut after kShownPerKind with a line counting the rest.
class Limited {
 public:
  Limited(std::vector<std::string>& out, std::string prefix)
      : out_(out), prefix_(std::move(prefix)) {}
  void add(std::string text) {
    if (seen_++ < kShownPerKind) out_.push_back(prefix_ + text);
  }
  void finish(const std::string& what) {
    if (seen_ > kShownPerKind)
      out_.push_back(prefix_ + std::to_string(seen_ - kShownPerKind) + " more " + what);
  }

 private:
  std::vector<std::string>& out_;
  std::string prefix_;
  size_t seen_ = 0;
};

void checkRecords(Table& t, std::vector<std::string>& problems) {
  const DbfHeader& h = t.header();
  for (const auto& i : t.issues()) problems.push_back(i.text);
  if (h.month < 1 || h.month > 12 || h.day < 1 || h.day > 31)
    problems.push_back("date of last update is not a date");
  if (h.hasMemo() && !memoVersion(h.version))
    problems.push_back("table has memo fields but its version byte says none");
  if (!h.hasMemo() && h.version == dbf::kVersionFoxMemo)
    problems.push_back("version byte says memo, no memo field");

  std::vector<std::string> fieldProblems, memoProblems, flagProblems;
  // Per field, so that one bad column does not hide another.
  std::map<size_t, Limited> byField;
  Limited flags(flagProblems, "");
  Limited memos(memoProblems, "");
  for (size_t i = 0; i < h.fields.size(); ++i) byField.emplace(i, Limited(fieldProblems, ""));
  std::string rec(h.recordLength, ' ');
  for (uint32_t r = 1; r <= t.recordCount(); ++r) {
    const std::string at = "record " + std::to_string(r);
    if (!t.readRecord(r, rec.data())) {
      problems.push_back(at + " cannot be read");
      break;
    }
    if (rec[0] != ' ' && rec[0] != '*')
      flags.add(at + " has deleted flag byte " + std::to_string(uint8_t(rec[0])));
    for (size_t i = 0; i < h.fields.size(); ++i) {
      const FieldDef& f = h.fields[i];
      const char* raw = rec.data() + f.offset;
      if (!wellFormed(f, raw)) {
        byField.at(i).add(at + " field " + f.name + ": \"" + std::string(raw, f.length) +
                          "\" is not a " + (f.type == 'D' ? "date" : "number"));
        continue;
      }
      if (f.type != 'M' && f.type != 'G' && f.type != 'P') continue;
      uint32_t block = memoPointer(f, h.memoPointersBinary(), raw);
      if (!block) {
        if (!h.memoPointersBinary() && f.length != 4 &&
            std::string(raw, f.length).find_first_not_of(" 0") != std::string::npos)
          memos.add(at + " field " + f.name + ": memo pointer \"" + std::string(raw, f.length) +
                    "\" is not a number");
        continue;
      }
      if (!t.memo()) {
        memos.add(at + " field " + f.name + " points to a memo but there is no memo file");
        continue;
      }
      std::string why;
      if (!t.memo()->read(block, why)) memos.add(at + " field " + f.name + ": " + why);
    }
  }
  flags.finish("records with a bad deleted flag");
  memos.finish("bad memo pointers");
  for (auto& [i, l] : byField)
    l.finish("records whose field " + h.fields[i].name + " holds no " +
             (h.fields[i].type == 'D' ? "date" : "number"));
  for (auto* list : {&flagProblems, &fieldProblems, &memoProblems})
    problems.insert(problems.end(), list->begin(), list->end());
}

// Every tag: each record indexed once, keys in order and equal to what the key expression
// gives for the record. One pass per tag, keeping the previous entry and a bit per record.
void checkIndexes(const std::filesystem::path& host, std::vector<std::string>& problems,
                  std::vector<std::string>& errors) {
  std::vector<std::filesystem::path> indexes;
  for (const char* ext : {".cdx", ".CDX", ".ntx", ".NTX"}) {
    std::filesystem::path p = host;
    p.replace_extension(ext);
    std::error_code ec;
    if (std::filesystem::exists(p, ec) &&
        std::find(indexes.begin(), indexes.end(), p) == indexes.end())
      indexes.push_back(p);
  }
  Workspace ws;
  UseOptions uo;
  uo.shared = true;
  uo.readOnly = true;
  errors.clear();
  if (!ws.useHost(host, "T", uo)) {
    problems.push_back("table cannot be opened: " +
                       (errors.empty() ? std::string() : errors.back()));
    return;
  }
  WorkArea& a = *ws.current();
  a.orderListClear();
  for (const auto& p : indexes) {
    errors.clear();
    if (!a.orderListAdd(p))
      problems.push_back("index " + p.filename().string() +
                         " cannot be opened: " + (errors.empty() ? "" : errors.back()));
  }
  errors.clear();
  const uint32_t count = a.lastRec();
  std::set<const IndexFile*> failedFiles;  // a file's read fault is told once, not per tag
  for (size_t i = 0; i < a.orderCount(); ++i) {
    IndexTag* tag = a.orderAt(i);
    const std::string where = "tag " + tag->name() + ": ";
    Limited report(problems, where);
    std::vector<bool> seen(size_t(count) + 1, false);
    std::string previousKey;
    uint32_t previousRec = 0, entries = 0;
    for (uint32_t r = tag->first(); r; r = tag->next()) {
      if (++entries > count + 1) break;
      std::string key = tag->currentKey();
      if (r > count) {
        report.add("entry points to record " + std::to_string(r) + " beyond the table");
        continue;
      }
      if (seen[r]) report.add("record " + std::to_string(r) + " is indexed twice");
      seen[r] = true;
      if (previousRec) {
        int c = compareKeys(*tag, previousKey.data(), key.data(), tag->keyLength());
        if (c > 0 || (c == 0 && previousRec > r))
          report.add("keys out of order at record " + std::to_string(r));
      }
      previousKey = key;
      previousRec = r;
      a.goTo(r);
      if (a.currentKey(i) != key)
        report.add("key of record " + std::to_string(r) + " differs from its expression " +
                   tag->keyExpression());
    }
    report.finish("faults");
    const IndexFile& file = *a.orderFile(i);
    if (!indexFileError(file).empty() && failedFiles.insert(&file).second)
      problems.push_back(where + indexFileError(file));
    if (entries != count)
      problems.push_back(where + std::to_string(entries) + " entries for " + std::to_string(count) +
                         " records");
  }
  for (const auto& e : errors) problems.push_back(e);
}

}  // namespace

TableCheck checkTable(const std::filesystem::path& host) {
  TableCheck out;
  std::vector<std::string> errors;
  // Faults raised while reading are findings: collected, never retried, never fatal.
  rt::HandlerGuard handler([&](rt::Error& e) {
    errors.push_back(e.description.empty() ? e.summary() : e.description);
    return rt::Answer{};
  });
  std::error_code ec;
  if (!std::filesystem::exists(host, ec)) {
    out.opened = false;
    out.unreadable = "no such file";
    return out;
  }
  rt::Error err;
  auto t = Table::open(host, TableOptions::sharedReadOnly(), err);
  if (!t) {
    // The table file itself unreadable is no finding about a table; a damaged header or a memo
    // file that is missing or damaged is.
    if (err.genCode != rt::kErrCorruption && err.filename == host.string()) {
      out.opened = false;
      out.unreadable = err.description;
    } else {
      out.problems.push_back(err.description);
    }
    return out;
  }
  checkRecords(*t, out.problems);
  t.reset();
  checkIndexes(host, out.problems, errors);
  return out;
}

}  // namespace tav::engine

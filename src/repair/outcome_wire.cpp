// The encoding of a directory's outcome: nested length-prefixed fields (upgrade::putField), numbers
// as decimal text, lists as their count followed by their items.
#include "repair/outcome_wire.h"

#include <charconv>

#include "upgrade/worker_process.h"

namespace tav::repair {
namespace {

using upgrade::putField;

std::string number(uint64_t n) { return std::to_string(n); }

// Reads the fields of one encoded value in order; any fault makes `ok` false and every later
// read empty.
class Reader {
 public:
  explicit Reader(const std::string& bytes) {
    if (auto f = upgrade::fields(bytes))
      parts_ = std::move(*f);
    else
      ok_ = false;
  }
  std::string text() {
    if (at_ >= parts_.size()) {
      ok_ = false;
      return {};
    }
    return parts_[at_++];
  }
  uint64_t count() {
    const std::string t = text();
    uint64_t n = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
    if (ec != std::errc() || end != t.data() + t.size()) ok_ = false;
    return n;
  }
  bool flag() { return text() == "1"; }
  bool good() const { return ok_; }
  bool ok() const { return ok_ && at_ == parts_.size(); }

 private:
  std::vector<std::string> parts_;
  size_t at_ = 0;
  bool ok_ = true;
};

std::string encode(const engine::TableCheck& c) {
  std::string s;
  putField(s, c.opened ? "1" : "0");
  putField(s, c.unreadable);
  putField(s, c.inUse ? "1" : "0");
  for (uint64_t n : {uint64_t(c.headerCount), uint64_t(c.wholeRecords), uint64_t(c.partialBytes),
                     uint64_t(c.recordLength)})
    putField(s, number(n));
  putField(s, number(c.findings.size()));
  for (const engine::Finding& f : c.findings) {
    putField(s, number(static_cast<uint64_t>(f.kind)));
    putField(s, number(f.record));
    putField(s, f.field);
    putField(s, f.index);
    putField(s, f.text);
  }
  putField(s, number(c.omitted.size()));
  for (const auto& [kind, n] : c.omitted) {
    putField(s, number(static_cast<uint64_t>(kind)));
    putField(s, number(n));
  }
  putField(s, number(c.problems.size()));
  for (const std::string& p : c.problems) putField(s, p);
  return s;
}

engine::TableCheck decodeCheck(Reader& r) {
  engine::TableCheck c;
  c.opened = r.flag();
  c.unreadable = r.text();
  c.inUse = r.flag();
  c.headerCount = static_cast<uint32_t>(r.count());
  c.wholeRecords = static_cast<uint32_t>(r.count());
  c.partialBytes = static_cast<uint32_t>(r.count());
  c.recordLength = static_cast<uint32_t>(r.count());
  for (uint64_t i = 0, n = r.count(); i < n && r.good(); ++i) {
    engine::Finding f{static_cast<engine::Damage>(r.count()), 0, {}, {}, {}};
    f.record = static_cast<uint32_t>(r.count());
    f.field = r.text();
    f.index = r.text();
    f.text = r.text();
    c.findings.push_back(std::move(f));
  }
  for (uint64_t i = 0, n = r.count(); i < n && r.good(); ++i) {
    const auto kind = static_cast<engine::Damage>(r.count());
    c.omitted.emplace_back(kind, static_cast<size_t>(r.count()));
  }
  for (uint64_t i = 0, n = r.count(); i < n && r.good(); ++i) c.problems.push_back(r.text());
  return c;
}

}  // namespace

std::string encode(const DirectoryOutcome& o) {
  std::string s;
  putField(s, number(static_cast<uint64_t>(o.place)));
  putField(s, std::to_string(o.number));
  putField(s, o.name);
  putField(s, o.directory);
  putField(s, o.label);
  putField(s, o.missing ? "1" : "0");
  putField(s, number(o.tablesRead));
  putField(s, number(o.tables.size()));
  for (const TableOutcome& t : o.tables) {
    std::string e;
    putField(e, t.table);
    putField(e, encode(t.found));
    putField(e, number(t.done.size()));
    for (const Done& d : t.done) {
      putField(e, number(static_cast<uint64_t>(d.kind)));
      putField(e, d.text);
    }
    putField(e, number(t.left.size()));
    for (const std::string& l : t.left) putField(e, l);
    putField(e, t.inUse ? "1" : "0");
    putField(e, t.originals);
    putField(s, e);
  }
  return s;
}

std::optional<DirectoryOutcome> decode(const std::string& bytes) {
  Reader r(bytes);
  DirectoryOutcome o;
  o.place = static_cast<DirectoryOutcome::Place>(r.count());
  o.number = std::strtod(r.text().c_str(), nullptr);
  o.name = r.text();
  o.directory = r.text();
  o.label = r.text();
  o.missing = r.flag();
  o.tablesRead = static_cast<size_t>(r.count());
  for (uint64_t i = 0, n = r.count(); i < n && r.good(); ++i) {
    Reader t(r.text());
    TableOutcome out;
    out.table = t.text();
    Reader check(t.text());
    out.found = decodeCheck(check);
    for (uint64_t j = 0, m = t.count(); j < m && t.good(); ++j) {
      const auto kind = static_cast<Mend>(t.count());
      out.done.push_back({kind, t.text()});
    }
    for (uint64_t j = 0, m = t.count(); j < m && t.good(); ++j) out.left.push_back(t.text());
    out.inUse = t.flag();
    out.originals = t.text();
    if (!t.ok() || !check.ok()) return std::nullopt;
    o.tables.push_back(std::move(out));
  }
  if (!r.ok()) return std::nullopt;
  return o;
}

}  // namespace tav::repair

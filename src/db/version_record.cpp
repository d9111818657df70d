// The version record read and marked through the table door, under an alias of its own so that
// no caller's open area is taken for it or closed under it.
#include "db/version_record.h"

#include "db/table_access.h"
#include "engine/workspace.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::db {
namespace {

constexpr const char* kAlias = "~wersja";

// A field read as text: a year or a level kept as a number is written without decimals.
std::string text(const rt::Value& v) {
  if (v.isText()) return rt::allTrim(v.str());
  if (v.isNumber()) return rt::allTrim(rt::Str(v.num(), 10, 0));
  return {};
}

// Opens the record shared, runs `work` on its area positioned on the first record, and closes
// it again whatever happens; false when the table does not open.
template <class Work>
bool withRecord(std::string_view directory, std::string_view table, Work work) {
  rt::guarded([] { ZAMKNIJ(kAlias); });
  if (!S_OTWORZ(directory, table, kAlias)) return false;
  rt::guarded([&] {
    engine::WorkArea* a = engine::workspace().find(kAlias);
    a->goTop();
    work(*a);
  });
  rt::guarded([] { ZAMKNIJ(kAlias); });
  return true;
}

// Writes under the record's lock; false when there is no record or it cannot be locked.
template <class Change>
bool changeRecord(std::string_view directory, std::string_view table, Change change) {
  bool written = false;
  withRecord(directory, table, [&](engine::WorkArea& a) {
    if (a.eof() || !REK_LOCK()) return;
    change(a);
    a.commit();
    a.unlock();
    written = true;
  });
  return written;
}

}  // namespace

bool releaseBelow(std::string_view a, std::string_view b) { return rt::rTrim(a) < rt::rTrim(b); }

std::optional<VersionRecord> readVersionRecord(std::string_view directory, std::string_view table) {
  VersionRecord r;
  const bool opened = withRecord(directory, table, [&](engine::WorkArea& a) {
    if (a.eof()) return;
    // Each field on its own: a record without ROK still tells its release.
    rt::guarded([&] { r.baza = text(a.get("baza")); });
    rt::guarded([&] { r.tavValue = a.get("tav"); });
    rt::guarded([&] { r.rok = text(a.get("rok")); });
    rt::guarded([&] { r.ok = text(a.get("ok")) == "T"; });
    r.tav = text(r.tavValue);
  });
  if (!opened) return std::nullopt;
  return r;
}

bool markVersionRecord(std::string_view directory, bool complete, const std::string& programLevel,
                       std::string_view table) {
  return changeRecord(directory, table, [&](engine::WorkArea& a) {
    a.put("ok", rt::Value(std::string(complete ? "T" : "N")));
    const rt::Value tav = a.get("tav");
    if (!programLevel.empty() && tav.isText() && releaseBelow(programLevel, tav.str()))
      a.put("tav", rt::Value(programLevel));
  });
}

namespace {

std::string levelText(const rt::Value& level) {
  return level.isNumber() ? rt::lTrim(rt::Str(level.num())) : level.isText() ? level.str() : "";
}

// True when `current` is below `level`. Two texts compare as releases; a number on either side
// makes it a comparison of numbers, the text read as one.
bool levelBelow(const rt::Value& current, const rt::Value& level) {
  if (current.isText() && level.isText()) return releaseBelow(current.str(), level.str());
  if (!current.isText() && !current.isNumber()) return true;
  auto number = [](const rt::Value& v) { return v.isNumber() ? v.num() : rt::Val(v.str()).value; };
  return number(current) < number(level);
}

}  // namespace

void raiseProgramLevel(std::string_view directory, const rt::Value& level) {
  if (level.isNil()) return;  // nothing was read: writing a blank level would lower it
  withRecord(directory, "wersja", [&](engine::WorkArea& a) {
    if (a.eof()) return;
    const rt::Value tav = a.get("tav");
    if (!levelBelow(tav, level) || !REK_LOCK()) return;
    if (tav.isNumber())
      a.put("tav", level.isNumber() ? level : rt::Value(rt::Val(level.str())));
    else
      a.put("tav", rt::Value(levelText(level)));
    a.unlock();
  });
}

bool writeVersionYear(std::string_view directory, const std::string& year) {
  return changeRecord(directory, "wersja",
                      [&](engine::WorkArea& a) { a.put("rok", rt::Value(year)); });
}

}  // namespace tav::db

// The tool's only door to the tables: opens by directory and name with the retry rules other
// workstations rely on, closes, locks and appends with bounded retries, and copies record
// images. Failures come back as results; none of these shows a message.
#include "db/table_access.h"

#include <algorithm>
#include <filesystem>

#include "db/run_variables.h"
#include "engine/workspace.h"
#include "os/file.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/coding.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/settings.h"
#include "runtime/shared_variables.h"

namespace tav::db {
namespace {

// The smallest header a table can have: the 32-byte prologue, one field descriptor and the
// terminator. An empty table of one field is this header and its end-of-file mark, 66 bytes.
constexpr int64_t kMinHeaderLength = 32 + 32 + 1;
constexpr int kExclusiveOpenTries = 6;
constexpr int kDefaultLockTries = 10, kMaxLockTries = 20, kLockPause = 5;
constexpr int kDefaultAppendTries = 500, kAppendPause = 1;
constexpr double kAppendToneFrequency = 5000, kAppendToneTicks = 0.2;

EventPump& pump() {
  static EventPump p;
  return p;
}

std::filesystem::path host(const std::string& winPath) { return os::toHost(winPath); }

// A file too short for a table header, or for the header length it declares, is no table:
// refused before any open is tried (and retried). Whatever else is wrong is the open's to find.
bool holdsItsHeader(const std::filesystem::path& file) {
  os::File f;
  if (!f.open(file, os::File::Mode::Read)) return true;  // the open will say why
  int64_t size = f.size();
  unsigned char prologue[12] = {};
  if (size < kMinHeaderLength || f.readSomeAt(0, prologue, sizeof prologue) != sizeof prologue)
    return false;
  const int64_t headerLength = rt::getLE16(prologue + 8);
  return headerLength >= kMinHeaderLength && size >= headerLength;
}

struct Target {
  std::string table, index;
};

// Steps 1 to 5 shared by both opens: names, existence, the size rule, the index file.
bool prepare(std::string_view dir, std::string_view name, std::string_view tag, Target& t) {
  std::string n(name);
  size_t dot = n.find('.');
  if (dot != std::string::npos) n.erase(dot);
  t.table = std::string(dir) + n + ".dbf";
  t.index = tag.empty() ? std::string() : std::string(dir) + n + ".cdx";
  std::error_code ec;
  auto h = host(t.table);
  if (!std::filesystem::is_regular_file(h, ec)) return false;
  if (!holdsItsHeader(h)) return false;
  if (!t.index.empty() && !std::filesystem::is_regular_file(host(t.index), ec)) return false;
  return true;
}

// False when the index or the tag could not be had (after the error went to the handler).
bool attachIndex(const Target& t, std::string_view tag) {
  engine::WorkArea* a = engine::workspace().current();
  if (!a || t.index.empty()) return true;
  return a->orderListAdd(host(t.index)) && a->setOrder(tag);
}

// A damaged structural index does not keep its table shut (the engine opens it without the
// index and never lets a write leave it stale); an upgrade says which one in its report.
void sayDamagedIndex(const Target& t) {
  engine::WorkArea* a = engine::workspace().current();
  if (!a || a->damagedIndex().empty()) return;
  RunVariables* run = runVariables();
  if (!run || !run->tlist.isArray()) return;  // no upgrade run is collecting
  rt::Value& notes = run->tlist;
  const std::string note =
      t.table.substr(0, t.table.size() - 4) + ".cdx: uszkodzony indeks, tabela otwarta bez niego";
  rt::Array& list = notes.arr();
  // A step opens its tables more than once; the report names each damaged index once.
  if (std::none_of(list.begin(), list.end(),
                   [&](const rt::Value& v) { return v.isText() && v.str() == note; }))
    list.push_back(rt::Value(note));
}

int count(const rt::Value& v, int none) {
  if (v.isNil() || v.empty() || !v.isNumber()) return none;
  return static_cast<int>(v.num());
}

}  // namespace

bool USEEX(std::string_view file, std::string_view alias) {
  rt::AbandonGuard guard;
  bool opened = false;
  bool ok = rt::sequence([&] {
    engine::UseOptions o;
    o.shared = false;
    opened = engine::workspace().use(file, alias, o);
  });
  return ok && opened && engine::workspace().select(alias);
}

bool OTWORZ(std::string_view dir, std::string_view name, std::string_view alias,
            std::string_view tag) {
  Target t;
  if (!prepare(dir, name, tag, t)) return false;
  auto& ws = engine::workspace();
  if (ws.used(alias)) {
    ws.select(alias);
    ws.current()->goTop();
    return true;
  }
  bool open = false;
  for (int i = 0; i < kExclusiveOpenTries && !open; ++i) open = USEEX(t.table, alias);
  if (!open) return false;
  ws.select(alias);
  // Outside any guard: a damaged index or a missing tag is the error handler's business here.
  // Should the handler let it pass, the area is not left open without its order: a later call
  // with the alias would take it for a good open.
  if (!attachIndex(t, tag)) {
    ZAMKNIJ(alias);
    return false;
  }
  sayDamagedIndex(t);
  ws.current()->goTop();
  return true;
}

bool S_OTWORZ(std::string_view dir, std::string_view name, std::string_view alias,
              std::string_view tag) {
  Target t;
  if (!prepare(dir, name, tag, t)) return false;
  auto& ws = engine::workspace();
  if (ws.used(alias)) {
    ws.select(alias);
    return true;
  }
  rt::AbandonGuard guard;
  bool opened = false;
  bool ok = rt::sequence([&] {
    engine::UseOptions o;
    o.shared = true;
    opened = ws.use(t.table, alias, o);
    if (!opened) return;
    ws.select(alias);
    attachIndex(t, tag);
    sayDamagedIndex(t);
    ws.current()->goTop();
  });
  // An area whose index or tag failed is closed again: left open, the next S_OTWORZ of the
  // alias would report success for a table without its order.
  if (!ok && opened) rt::sequence([&] { ZAMKNIJ(alias); });
  return ok && opened;
}

void ZAMKNIJ(std::string_view alias) {
  auto& ws = engine::workspace();
  if (rt::allTrim(alias).empty() || !ws.used(alias)) return;
  ws.select(alias);
  engine::WorkArea* a = ws.current();
  a->clearFilter();
  a->orderListClear();
  ws.close(alias);
}

void CLOSEALL() {
  static const std::string kKept = ",INS,SEM,";
  for (const std::string& alias : engine::workspace().aliases()) {
    if (alias.empty()) continue;
    if (kKept.find("," + rt::upper(alias) + ",") != std::string::npos) continue;
    ZAMKNIJ(alias);
  }
}

void STARTINIT() {
  rt::Settings& s = rt::settings();
  s.typeAhead = 100;
  s.century = true;
  s.dateFormat = s.century ? "yyyy.mm.dd" : "yy.mm.dd";
  s.decimals = 0;
  s.deletedHidden = true;
  s.exact = true;
  s.scoreboard = false;
  s.softSeek = true;
  s.printer = false;
  s.exclusiveDefault = true;
  s.cancelKey = false;
}

bool REK_LOCK(const rt::Value& attempts) {
  int n = attempts.isNil() || !attempts.isNumber()
              ? kDefaultLockTries
              : std::clamp(static_cast<int>(attempts.num()), 1, kMaxLockTries);
  engine::WorkArea* a = engine::workspace().current();
  if (!a) return false;
  for (int i = 0; i < n; ++i) {
    if (a->rlock()) return true;
    rt::pause(kLockPause);
  }
  return false;
}

bool REK_ADD(const rt::Value& attempts) {
  int n = count(attempts, kDefaultAppendTries);
  engine::WorkArea* a = engine::workspace().current();
  if (!a) return false;
  for (int i = 1; i <= n; ++i) {
    if (a->append() && !a->netErr()) return true;
    if (i == 1) {
      rt::tone(kAppendToneFrequency, kAppendToneTicks);
    } else if (!NIC()) {
      rt::pause(kAppendPause);
    }
  }
  return false;
}

rt::Value WEZ_REKORD() {
  engine::WorkArea* a = engine::workspace().current();
  if (!a) return rt::Value(rt::Array{});
  rt::Array image;
  image.reserve(a->fieldCount());
  for (size_t i = 1; i <= a->fieldCount(); ++i) image.push_back(a->get(i));
  return rt::Value(std::move(image));
}

rt::Value WEZ_REKORD(const rt::Value&) {
  engine::WorkArea* a = engine::workspace().current();
  if (!a) return rt::Value(rt::Array{});
  uint32_t saved = a->recno();
  a->goBottom();
  a->skip(1);
  rt::Value image = WEZ_REKORD();
  a->goTo(saved);
  return image;
}

void PUT_REKORD(const rt::Value& image, const rt::Value& max) {
  engine::WorkArea* a = engine::workspace().current();
  if (!a || !image.isArray()) return;
  size_t n = std::min(image.arr().size(), a->fieldCount());
  if (max.isNumber()) n = std::min(n, static_cast<size_t>(std::max(0.0, max.num())));
  for (size_t i = 1; i <= n; ++i) a->put(i, image.arr()[i - 1]);
}

EventPump setEventPump(EventPump p) {
  EventPump previous = std::move(pump());
  pump() = std::move(p);
  return previous;
}

bool NIC() { return pump() ? pump()() : false; }

}  // namespace tav::db

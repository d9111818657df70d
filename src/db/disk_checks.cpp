// The engine self-test run in a directory before anything is installed there, and the directory
// name checks. The error box names the failed stage by number, so a stage keeps its number.

#include "db/disk_checks.h"

#include <algorithm>
#include <string>

#include "db/files.h"
#include "db/structure_change.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::db {
namespace {
using namespace rt::literals;

constexpr int kTestRecords = 5;

// An operation that reports failure by its result fails its stage as an error would.
void require(bool ok, const char* what) {
  if (ok) return;
  rt::Error e;
  e.genCode = rt::kErrWrite;
  e.description = what;
  rt::fail(std::move(e));
}

// The engine takes a host path ("/...", as tests give) literally: there the scratch directory is
// joined with the host's separator, everywhere else with a backslash.
std::string inScratch(const std::string& s, const char* file) {
  return s + (!s.empty() && s[0] == '/' ? "/" : "\\") + file;
}

void clearScratch(const std::string& s) {
  DEL_KAT(s);
  for (const char* f : {"test.dbf", "test.ntx", "test0.dbf", "test0.ntx"})
    DEL_FILE(inScratch(s, f));
  os::removeDirectory(s);
}

}  // namespace

int TEST_TAV(std::string_view directory, std::string_view name) {
  const std::string s = std::string(directory) + std::string(name);
  const std::string test = inScratch(s, "test.dbf"), test0 = inScratch(s, "test0.dbf");
  auto& ws = engine::workspace();
  int stage = 0;
  rt::AbandonGuard guard;
  bool completed = rt::sequence([&] {
    stage = 1;
    clearScratch(s);
    stage = 2;
    MKDIR(s);
    stage = 3;
    Structure fields;
    for (const char* f : {"A", "B", "C", "D", "E", "F"}) fields.push_back({f, 'C', 10, 0});
    require(ws.create(test, fields), "create test.dbf");
    stage = 4;
    engine::UseOptions exclusive;
    exclusive.shared = false;
    require(ws.use(test, "test", exclusive) && ws.select("test"), "open test.dbf");
    engine::WorkArea* t = ws.current();
    stage = 5;
    for (int i = 1; i <= kTestRecords; ++i) {
      require(t->append(), "append");
      t->put("a", rt::Value(rt::StrZero(i, 10)));
      t->put("b", rt::Value(rt::timeOfDay()));
    }
    stage = 6;
    require(t->exportTo(os::toHost(test0), {"B"}), "export test0.dbf");
    stage = 7;
    require(t->orderCreate(os::toHost(inScratch(s, "test.ntx")), "ntx", "b"), "index test.ntx");
    stage = 8;
    require(ws.use(test0, "test0", exclusive) && ws.select("test0"), "open test0.dbf");
    engine::WorkArea* t0 = ws.current();
    stage = 9;
    engine::ValueFn parentKey = ws.compile("test0->b");
    require(static_cast<bool>(parentKey), "relation key");
    t0->setRelation("test", parentKey, "test0->b");
    t0->goTop();
    stage = 10;
    require(t0->orderCreate(os::toHost(inScratch(s, "test0.ntx")), "ntx", "test->a"),
            "index test0.ntx");
    t0->goTop();
    ws.select("test");
    for (t->goTop(); !t->eof(); t->skip(1)) {
      if (t->recno() % 2 == 0) t->remove();
      t->put("a", rt::Value(rt::timeOfDay()));
    }
    ws.select("test0");
    stage = 11;
    require(t0->orderListRebuild(), "rebuild");
    stage = 12;
    t0->pack();
    stage = 13;
    t0->zap();
    stage = 14;
    t0->commit();
    stage = 15;
    t0->clearRelations();
    stage = 16;
    ws.close("test0");
    stage = 17;
    ws.select("test");
    ws.close("test");
    stage = 18;
    require(DODAJ_POLA(inScratch(s, ""), "test.dbf",
                       {{"PTU1", 'C', 2, 0}, {"PTU2", 'C', 3, 0}, {"PTU3", 'C', 4, 0}}),
            "add fields");
    stage = 19;
    clearScratch(s);
  });
  rt::sequence([&] {
    ZAMKNIJ("test0");
    ZAMKNIJ("test");
  });
  return completed ? 0 : stage;
}

bool SA_BLEDY(std::string_view directory, std::string_view kind, frontend::Questions& person) {
  const bool local = kind == "P";
  person.tell(local ? frontend::Box{"1",
                                    "Test dysków lokalnych"_oem,
                                    "Trwa testowanie dostepu do lokalnych dysków twardych..."_oem,
                                    {}}
                    : frontend::Box{"1",
                                    "Test dysków sieciowych"_oem,
                                    "Trwa testowanie dostepu do dysków twardych serwera..."_oem,
                                    {}});
  int stage = TEST_TAV(directory, "Test");
  person.doneWorking();
  if (stage <= 0) return false;
  const std::string where = kind == "B" ? "Na dysku sieciowym"_oem : "Na dysku lokalnym"_oem;
  person.tell({"3",
               "Błąd nr ("_oem + std::to_string(stage) + ")",
               where +
                   " nie można przeprowadzić wszystkich operacji;prawdopodobnie są blokowane przez "
                   "program antywirusowy, lub;użytkownik ma zbyt ograniczone uprawnienia!"_oem,
               {}});
  return true;
}

namespace {

// Whether every name of a path below its root is one Windows would keep as typed and that stays
// inside the directory above it: no "." or "..", which would lead out of the place the user
// named; no name ending in a dot or a blank, which Windows drops and the host would keep, so the
// two would disagree on where the files are; none of the characters Windows refuses in a name.
bool plainNames(std::string_view below) {
  size_t start = 0;
  while (start < below.size()) {
    size_t end = below.find('\\', start);
    if (end == std::string_view::npos) end = below.size();
    const std::string_view name = below.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;  // the closing backslash
    if (name == "." || name == ".." || name.back() == '.' || name.back() == ' ') return false;
    for (unsigned char c : name)
      if (c < 0x20 ||
          std::string_view("<>:\"/|?*").find(static_cast<char>(c)) != std::string_view::npos)
        return false;
  }
  return true;
}

}  // namespace

bool ANALIZA_KAT(std::string_view directory, std::string_view kind, frontend::Questions& person) {
  const bool program = kind == "P";
  const std::string title = program ? "Katalog Programu" : "Katalog Bazy";
  const std::string subject =
      program ? "Katalog do instalacji Programu" : "Katalog do instalacji Bazy danych";
  auto refuse = [&](const std::string& tail) {
    person.tell({"3", title, subject + tail, {}});
    return false;
  };
  const std::string dir(directory);
  if (dir.size() <= 3) return refuse(" nie może być;głównym katalogiem dysku!"_oem);
  if (dir.compare(0, 2, "\\\\") == 0) {
    size_t backslashes = std::count(dir.begin(), dir.end(), '\\');
    if (dir[2] == '\\' || backslashes < 3) return refuse(". Błędna nazwa!!!"_oem);
    // A server and a share: the drive rules do not apply, the names below the share do.
    const size_t share = dir.find('\\', dir.find('\\', 2) + 1);
    if (share != std::string::npos && !plainNames(std::string_view(dir).substr(share + 1)))
      return refuse(". Błędna nazwa!!!"_oem);
    return true;
  }
  if (dir.compare(1, 2, ":\\") != 0 || !plainNames(std::string_view(dir).substr(3)))
    return refuse(". Błędna nazwa katalogu!!!"_oem);
  if (rt::upper(dir).find("WINDOWS") != std::string::npos)
    return refuse(" nie powinien zawierać słowa \"WINDOWS\"!"_oem);
  return true;
}

}  // namespace tav::db

// Fuzz target: the expression compiler. The bytes are a text of the engine's expression
// language, compiled against a small table of every field type and evaluated on each of its
// records (as a value, and as an index key when it gives text); a text that holds a code block
// is compiled as a block and run too. The table is opened read-only, so an assignment in a text
// raises instead of changing it, and every input sees the same records. Invariant: a fault of
// the text is raised through the error handler, never a crash.

#include <string>
#include <vector>

#include "engine/expr/expression.h"
#include "engine/workspace.h"
#include "fuzz_support.h"
#include "runtime/date.h"

using namespace tav;
using namespace tav::engine;

namespace {

WorkArea& area() {
  static WorkArea* a = [] {
    Workspace& ws = workspace();
    auto path = fuzz::scratch() / "e.dbf";
    bool ok = fuzz::underHandler([&] {
      if (!ws.createHost(path, {{"NAZWA", 'C', 20, 0},
                                {"KWOTA", 'N', 12, 2},
                                {"ILOSC", 'N', 5, 0},
                                {"DATA", 'D', 8, 0},
                                {"OK", 'L', 1, 0},
                                {"UWAGI", 'M', 10, 0}}))
        fuzz::finding("cannot create the table");
      UseOptions rw;
      if (!ws.useHost(path, "W", rw)) fuzz::finding("cannot open the table to fill it");
      WorkArea* w = ws.current();
      const char* names[] = {"Kowalski", "  Nowak Jan", ""};
      for (int i = 0; i < 3; ++i) {
        w->append();
        w->put("NAZWA", rt::Value(names[i]));
        w->put("KWOTA", rt::Value(i == 1 ? -1234.5 : 99999999.99 * i));
        w->put("ILOSC", rt::Value(i * 7));
        w->put("DATA", rt::Value(i == 2 ? rt::Date() : rt::Date::fromYmd(2025, 1 + i, 31 - i)));
        w->put("OK", rt::Value(i != 1));
        w->put("UWAGI", rt::Value::memo(i == 0 ? "notatka" : ""));
        if (i == 1) w->remove();
      }
      ws.close("W");
      UseOptions ro;
      ro.readOnly = true;
      if (!ws.useHost(path, "T", ro)) fuzz::finding("cannot open the table read-only");
    });
    if (!ok) fuzz::finding("cannot set up the table");
    return ws.current();
  }();
  return *a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WorkArea& a = area();
  Workspace& ws = workspace();
  const std::string_view text = fuzz::bytesOf(data, size);
  std::unique_ptr<Expression> e;
  fuzz::underHandler([&] { e = Expression::compile(text, ws); });
  if (e) {
    (void)e->resultType();
    (void)e->resultWidth();
    (void)e->resultDecimals();
    for (uint32_t r = 1; r <= a.lastRec() + 1; ++r) {
      fuzz::underHandler([&] { a.goTo(r); });
      fuzz::underHandler([&] { (void)e->eval(); });
      if (e->resultType() == 'C') {
        std::string key;
        fuzz::underHandler([&] { e->evalKey(key); });
      }
    }
  }
  if (text.find("{|") != std::string_view::npos) {
    rt::BlockRef b;
    fuzz::underHandler([&] { b = compileBlock(text, ws); });
    if (b) {
      const std::vector<rt::Value> args = {rt::Value("A"), rt::Value(2), rt::Value()};
      fuzz::underHandler([&] { (void)b->eval(args); });
      fuzz::underHandler([&] { (void)b->eval({}); });
    }
  }
  fuzz::underHandler([&] { a.rollback(); });
  return 0;
}

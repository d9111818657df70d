// DBESYS and APPEXIT. The drivers are set up in a fixed order, FOXCDX last as the default; a step
// that fails is reported and the next one still runs.

#include "shell/runtime_setup.h"

#include <cstdio>
#include <vector>

#include "engine/drivers.h"
#include "engine/workspace.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tav::shell {
namespace {
using namespace rt::literals;

// The two drivers in the order they are set up, with the alert texts of each step.
struct DriverStep {
  const char* driver;
  const char* tableComponent;
  const char* indexComponent;
  const char* tableFailure;
  const char* indexFailure;
  const char* buildFailure;
};
constexpr DriverStep kDrivers[] = {
    {"DBFNTX", "DBFDBE", "NTXDBE", "Nie mogę załadować DBF-DBE", "Nie mogę załadować NTX-DBE",
     "Nie mogę utworzyć DBF-NTX (engine)"},
    {"FOXCDX", "FOXDBE", "CDXDBE", "Nie mogę załadować FOX-DBE", "Nie mogę załadować CDX-DBE",
     "Nie mogę utworzyć FOX-CDX (engine)"},
};

void stderrAlert(const std::string& text) {
  std::fprintf(stderr, "%s\n", rt::oemToUtf8(text).c_str());
}

}  // namespace

void DBESYS(SystemAlert alert, ComponentLoader loader) {
  if (!alert) alert = stderrAlert;
  if (!loader) loader = [](std::string_view c) { return engine::loadComponent(c); };
  rt::Settings& s = rt::settings();
  s.dateFormat = s.century ? "yyyy.mm.dd" : "yy.mm.dd";
  rt::collationWeights();  // the Polish collation is the runtime's own; built here once
  for (const auto& d : kDrivers) {
    if (!loader(d.tableComponent)) alert(rt::utf8ToOem(d.tableFailure));
    if (!loader(d.indexComponent)) alert(rt::utf8ToOem(d.indexFailure));
    if (!engine::buildDriver(d.driver, {d.tableComponent, d.indexComponent}))
      alert(rt::utf8ToOem(d.buildFailure));
  }
  engine::setDefaultDriver("FOXCDX");
}

void APPEXIT() {
  auto& ws = engine::workspace();
  rt::AbandonGuard guard;
  for (const std::string& alias : ws.aliases()) {
    engine::WorkArea* a = ws.find(alias);
    if (!a) continue;
    if (!rt::sequence([&] { a->commit(); })) rt::sequence([&] { a->rollback(); });
    rt::sequence([&] { ws.close(alias); });
  }
}

}  // namespace tav::shell

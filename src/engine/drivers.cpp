// The driver registry: components loaded, drivers built from them, the default driver. A driver's
// lock scheme follows its index format, since other engines lock by the index family they know.

#include "engine/drivers.h"

#include <algorithm>
#include <memory>

#include "runtime/codepage.h"

namespace tav::engine {
namespace {

struct Registry {
  std::vector<std::string> loaded;
  std::vector<std::unique_ptr<Driver>> drivers;
  std::string defaultName = "FOXCDX";
};

// Never destroyed: work areas hold pointers to their driver, and the process-wide workspace
// closes its areas at exit, after statics made later than it (this one, on the first open) are
// gone. Destroying the drivers first made that last close read a freed driver.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

// What each component contributes to a driver: a table format or an index format.
struct ComponentInfo {
  const char* name;
  bool table;
  const char* indexExtension;
  LockScheme scheme;
  bool structural;
};
constexpr ComponentInfo kComponents[] = {
    {"DBFDBE", true, "", LockScheme::Clipper, false},
    {"FOXDBE", true, "", LockScheme::FoxPro, false},
    {"NTXDBE", false, ".ntx", LockScheme::Clipper, false},
    {"CDXDBE", false, ".cdx", LockScheme::FoxPro, true},
};

const ComponentInfo* component(std::string_view name) {
  std::string n = rt::upper(name);
  for (const auto& c : kComponents)
    if (n == c.name) return &c;
  return nullptr;
}

}  // namespace

bool loadComponent(std::string_view name) {
  const ComponentInfo* c = component(name);
  if (!c) return false;
  auto& l = registry().loaded;
  if (std::find(l.begin(), l.end(), c->name) == l.end()) l.push_back(c->name);
  return true;
}

bool componentLoaded(std::string_view name) {
  const ComponentInfo* c = component(name);
  auto& l = registry().loaded;
  return c && std::find(l.begin(), l.end(), c->name) != l.end();
}

bool buildDriver(std::string_view name, const std::vector<std::string>& components) {
  if (name.empty()) return false;
  const ComponentInfo* table = nullptr;
  const ComponentInfo* index = nullptr;
  for (const auto& n : components) {
    const ComponentInfo* c = component(n);
    if (!c || !componentLoaded(n)) return false;
    (c->table ? table : index) = c;
  }
  if (!table || !index) return false;
  auto d = std::make_unique<Driver>();
  d->name = rt::upper(name);
  for (const auto& n : components) d->components.push_back(rt::upper(n));
  d->indexExtension = index->indexExtension;
  // The lock offsets follow the index format: other engines that share the files use the
  // offsets of the index family they were built for.
  d->scheme = index->scheme;
  d->structuralIndex = index->structural;
  auto& ds = registry().drivers;
  ds.erase(std::remove_if(ds.begin(), ds.end(), [&](auto& x) { return x->name == d->name; }),
           ds.end());
  ds.push_back(std::move(d));
  return true;
}

const Driver* findDriver(std::string_view name) {
  std::string n = rt::upper(name);
  for (auto& d : registry().drivers)
    if (d->name == n) return d.get();
  return nullptr;
}

bool setDefaultDriver(std::string_view name) {
  if (!findDriver(name)) return false;
  registry().defaultName = rt::upper(name);
  return true;
}

const Driver& defaultDriver() {
  if (const Driver* d = findDriver(registry().defaultName)) return *d;
  loadComponent("FOXDBE");
  loadComponent("CDXDBE");
  buildDriver("FOXCDX", {"FOXDBE", "CDXDBE"});
  registry().defaultName = "FOXCDX";
  return *findDriver("FOXCDX");
}

void resetDrivers() { registry() = Registry{}; }

}  // namespace tav::engine

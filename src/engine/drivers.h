#pragma once

// Table drivers put together from the engine's components, as the runtime set-up names them.

#include <string>
#include <string_view>
#include <vector>

#include "engine/dbf/table.h"

namespace tav::engine {

// A table driver as the runtime set-up builds it from components: the table component, the
// index component and what follows from them (index extension, lock scheme).
struct Driver {
  std::string name;
  std::vector<std::string> components;
  std::string indexExtension;  // ".cdx" or ".ntx"
  LockScheme scheme = LockScheme::FoxPro;
  bool structuralIndex = false;  // the table's own .cdx opens with it
};

// Components the engine carries: DBFDBE (dBASE tables), NTXDBE (single-key .ntx),
// FOXDBE (FoxPro tables with .fpt memos), CDXDBE (compound .cdx).
bool loadComponent(std::string_view name);
bool componentLoaded(std::string_view name);
// Builds a driver from loaded components; false when one is missing or they do not combine.
bool buildDriver(std::string_view name, const std::vector<std::string>& components);
const Driver* findDriver(std::string_view name);  // nullptr when not built
bool setDefaultDriver(std::string_view name);
// The default driver; FOXCDX built on demand when nothing was set up (tools and tests).
const Driver& defaultDriver();
void resetDrivers();  // tests

}  // namespace tav::engine

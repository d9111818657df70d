#pragma once

// Setting the runtime and its table drivers up before MAIN, and committing and closing every work
// area at process end.

#include <functional>
#include <string>
#include <string_view>

namespace tav::shell {

// Shows a plain system alert with the single button "OK" (text in 852).
using SystemAlert = std::function<void(const std::string& text)>;
// Loads one table engine component by name; false when it cannot be loaded.
using ComponentLoader = std::function<bool(std::string_view component)>;

// Runtime set-up before MAIN: date format, collation, and the table drivers DBFNTX
// (DBFDBE + NTXDBE) and FOXCDX (FOXDBE + CDXDBE), FOXCDX the default. A component or driver
// that fails is reported through the alert and set-up goes on with the next step.
// Empty arguments: the engine's own loader and an alert on standard error.
void DBESYS(SystemAlert alert = {}, ComponentLoader loader = {});

// At process end: every open work area is committed and closed; an area whose commit fails is
// rolled back instead and closed. Errors are caught; the previous handler is restored.
void APPEXIT();

}  // namespace tav::shell

#pragma once

// The tool's only door to its tables. Failures are results; the retry counts and pauses are
// the ones other workstations' timing has always been tuned against, so they stay exact.
// Directories carry their trailing backslash and are joined to names without a separator.

#include <functional>
#include <string>
#include <string_view>

#include "runtime/value.h"

namespace tav::db {

// Opens dir + name + ".dbf" exclusively under `alias` (6 attempts, no pause), with the .cdx of
// the same name and `tag` as the order when a tag is given. An alias already open is selected
// and put on its first record.
bool OTWORZ(std::string_view dir, std::string_view name, std::string_view alias,
            std::string_view tag = {});
// The same, opened shared, one attempt, everything guarded; an alias already open is selected
// and keeps its record pointer.
bool S_OTWORZ(std::string_view dir, std::string_view name, std::string_view alias,
              std::string_view tag = {});
// Opens the file exclusively in a new area under `alias`; any error gives false.
bool USEEX(std::string_view file, std::string_view alias);
void ZAMKNIJ(std::string_view alias);
// Closes every area but the firm list "INS" and the database lock "SEM".
void CLOSEALL();
// The process-wide table settings, once at start-up.
void STARTINIT();
// Locks the current record: 10 attempts without a count, else the count clamped to 1..20, a
// pause of 5 hundredths after each failure.
bool REK_LOCK(const rt::Value& attempts = rt::Value());
// Appends a blank record: 500 attempts without a count; one tone after the first failure, the
// event pump and a pause of 1 hundredth (none when Esc was pressed) after each later one.
bool REK_ADD(const rt::Value& attempts = rt::Value());
// The current record's values in field order; with an argument the blank values of every field
// (taken from the phantom record; the pointer comes back where it was).
rt::Value WEZ_REKORD();
rt::Value WEZ_REKORD(const rt::Value& blank);
// Stores the image's first n values by position: n = min(image length, field count, max).
void PUT_REKORD(const rt::Value& image, const rt::Value& max = rt::Value());

// The upgrade's event pump: processes pending window events and tells whether Esc was pressed.
// Until a screen installs one, it processes nothing and reports no Esc.
using EventPump = std::function<bool()>;
EventPump setEventPump(EventPump pump);  // returns the previous one; empty restores the default
bool NIC();

}  // namespace tav::db

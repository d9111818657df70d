#pragma once

// The process-wide SET switches of the runtime. The start-up sets them once; a routine that flips
// one for a while must put it back on every exit.

#include <string>

namespace tav::rt {

// The process-wide switches of the xBase runtime. The start-up sets them once; a few routines
// flip `deletedHidden` for the length of a copy and always put it back.
struct Settings {
  bool deletedHidden = false;  // SET DELETED ON: navigation and index builds skip deleted records
  bool exact = false;          // SET EXACT ON: "=" on texts needs equal length, not only a prefix
  bool softSeek = false;       // SET SOFTSEEK ON: a missed seek stops at the next greater key
  bool century = false;        // four-digit years in the date display form
  std::string dateFormat = "yy.mm.dd";
  int epoch = 1900;               // first year of the century window for two-digit years
  int decimals = 2;               // SET DECIMALS
  bool exclusiveDefault = false;  // SET EXCLUSIVE ON: opens that name no mode are exclusive
  int typeAhead = 0;
  bool scoreboard = true;
  bool printer = false;
  bool cancelKey = true;
};

Settings& settings();
void resetSettings();  // back to the runtime's defaults (tests)

// `deletedHidden` as given for a scope, the setting before it back on every way out.
class DeletedHiddenAs {
 public:
  explicit DeletedHiddenAs(bool hidden) : was_(settings().deletedHidden) {
    settings().deletedHidden = hidden;
  }
  ~DeletedHiddenAs() { settings().deletedHidden = was_; }
  DeletedHiddenAs(const DeletedHiddenAs&) = delete;
  DeletedHiddenAs& operator=(const DeletedHiddenAs&) = delete;
  bool was() const { return was_; }

 private:
  bool was_;
};

}  // namespace tav::rt

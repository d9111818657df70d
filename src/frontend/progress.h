#pragma once

// How far a run has got, as the core tells a front-end: the progress bar and the run's window
// with its four lines on a screen, a line per firm on a terminal. It is also where the run asks
// whether the person wants it to stop: Esc on a screen, a signal unattended.
//
// Invariants: the calls come in the run's order from its one thread; a front-end may ignore any
// of them but `stopRequested`, which must not block.

#include <string>

#include "runtime/value.h"

namespace tav::frontend {

// What became of one firm in a run.
enum class FirmStatus { Converted, Current, Failed, Skipped };
const char* statusName(FirmStatus s);  // "converted", "current", "failed", "skipped"

// One firm, before its conversion (`done` false) and after it, with the estimate of the time
// left and the time of day the run would end (empty while there is none).
struct FirmProgress {
  int index = 0, total = 0;
  double nr = 0;
  std::string name;  // firma.dbf's ident (852); empty without firma.dbf
  bool done = false;
  FirmStatus status = FirmStatus::Skipped;
  std::string remaining, finish;
};

class Progress {
 public:
  virtual ~Progress() = default;
  // The run's own window over the screen, titled `title` (852); the progress bar moves into it.
  virtual void openWindow(const std::string& title) = 0;
  virtual bool windowOpen() const = 0;
  // The window goes, and the progress bar with it.
  virtual void closeWindow() = 0;
  // The bar starts again at nothing out of `steps`, under `caption` (852; empty keeps the last
  // one); where there is no bar yet, the front-end puts one where its screen has room.
  virtual void restart(double steps, const std::string& caption) = 0;
  virtual void advance(double steps = 1, const std::string& caption = {}) = 0;
  virtual void removeBar() = 0;
  // The window's lines: the firm (or what is being done), the minutes left, the firms left; a nil
  // value leaves its line as it is.
  virtual void describe(const rt::Value& firm, const rt::Value& remaining,
                        const rt::Value& firmsLeft) = 0;
  virtual void firm(const FirmProgress& progress) = 0;
  // Whether the person has asked the run to stop since the last call; a screen also takes the
  // chance to keep its windows alive.
  virtual bool stopRequested() = 0;
};

// A front-end that shows nothing and never asks to stop: what a caller passes when no one
// watches (a test, a tool).
class NoProgress : public Progress {
 public:
  void openWindow(const std::string&) override { open_ = true; }
  bool windowOpen() const override { return open_; }
  void closeWindow() override { open_ = false; }
  void restart(double, const std::string&) override {}
  void advance(double, const std::string&) override {}
  void removeBar() override {}
  void describe(const rt::Value&, const rt::Value&, const rt::Value&) override {}
  void firm(const FirmProgress&) override {}
  bool stopRequested() override { return false; }

 private:
  bool open_ = false;
};

}  // namespace tav::frontend

#pragma once

// The tool's one progress bar, driven by LICZNIK's call forms.

#include "gui/widgets.h"
#include "runtime/value.h"

namespace tav::dialogs {

// The one progress display of the tool, a captioned frame whose bar fills left to right. Its
// state lives here between calls; the call form picks the action:
//   LICZNIK({x, y}, width, max, caption, &parent)  create on `parent` (count and fill 0)
//   LICZNIK("NEW", max, caption)                    restart; the caption changes when not empty
//   LICZNIK("DEL")                                  remove it (nothing when there is none)
//   LICZNIK(n) / LICZNIK(n, {}, {}, caption)        advance by n, caption first when not empty
//   LICZNIK()                                       advance by 1
void LICZNIK(const rt::Value& a1 = {}, const rt::Value& a2 = {}, const rt::Value& a3 = {},
             const rt::Value& a4 = {}, gui::Widget* parent = nullptr);

// What the progress bar holds now, for screens that ask and for tests.
struct LicznikState {
  gui::Static* frame = nullptr;  // null when there is no progress bar
  gui::Static* bar = nullptr;
  double maximum = 0;
  double count = 0;
  int last = 0;  // pixels filled so far
  int barWidth = 0, barHeight = 0;
};
LicznikState licznikState();

}  // namespace tav::dialogs

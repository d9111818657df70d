// The screens the gallery photographs alone, made by the same calls on both platforms: the Linux
// screenshot test and the Windows gallery program show exactly these, so their pictures compare.
// Invariants: each screen is shown and drawn when its function returns; its caller closes it.
#pragma once
#include <string>

#include "dialogs/alarm.h"
#include "dialogs/progress_bar.h"
#include "gui/application.h"
#include "runtime/codepage.h"

namespace tav::testing {

// The message box without buttons that stays up while its caller copies the program's files.
inline std::string copyingNoticeText() {
  using namespace rt::literals;
  return "Trwa kopiowanie plików programu...;Proszę czekać"_oem;
}
inline dialogs::AlarmResult copyingNotice() {
  return dialogs::ALARM({}, "1", "Kopiowanie", copyingNoticeText());
}

// LICZNIK at 7 of 11 steps in a dialog of its own.
inline gui::Dialog& progressBarAt7Of11() {
  using namespace rt::literals;
  gui::Dialog& d = gui::app().createDialog(nullptr, {300, 300}, {400, 120});
  d.setTitle("Postęp"_oem);
  d.show();
  dialogs::LICZNIK(rt::Array{20, 30}, 360, 11, "Kopiowanie", &d.drawingArea());
  dialogs::LICZNIK(1);
  dialogs::LICZNIK(6);
  return d;
}

}  // namespace tav::testing

// screens_gallery.exe: one of the screens the Linux gallery photographs alone, built by the same
// calls, kept on a real Win32 display for scripts/wine-gui to photograph. Built for the tests of
// the Windows build only; never part of the package. Usage: screens_gallery notice|progress_bar
//   notice        the message box without buttons that stays up while its caller works on
//   progress_bar  LICZNIK at 7 of 11 steps in a dialog of its own
// Invariants: the screen stays up, its events handled, until its window is closed (close box,
// Alt+F4) or Esc is pressed, and only then does the program end, with exit 0; so the test waits
// for the window by its title and for the program's end, never for a time. Exit 2 without a
// display ("no display here") or for an unknown screen, having shown nothing.
#include <cstdio>
#include <string>

#include "e2e/gallery_screens.h"
#include "gui/application.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

using namespace tav;
using namespace tav::rt::literals;

namespace {

gui::Dialog* notice() { return testing::copyingNotice().window; }

gui::Dialog* progressBar() { return &testing::progressBarAt7Of11(); }

}  // namespace

int main(int argc, char** argv) {
  const std::string name = argc == 2 ? argv[1] : "";
  if (name != "notice" && name != "progress_bar") {
    std::fprintf(stderr, "usage: screens_gallery notice|progress_bar\n");
    return 2;
  }
  if (std::string(gui::chooseBackend()) == "headless") {
    std::fprintf(stderr, "screens_gallery: no display here\n");
    return 2;
  }
  rt::resetShared();
  gui::Dialog* shown = name == "notice" ? notice() : progressBar();
  if (!shown) {
    std::fprintf(stderr, "screens_gallery: %s made no window\n", name.c_str());
    return 1;
  }
  const uint64_t id = shown->id();
  auto& a = gui::app();
  // The close request ends the program before the screen's own handling: a notice's close box
  // would only hide it, leaving a process with nothing on screen for the test to wait on.
  for (;;) {
    auto e = a.next(-1);
    if (!e) continue;
    if (e->type == gui::EventType::Key && e->key == gui::key::Esc) break;
    if (e->type == gui::EventType::Close && e->target == id) break;
    a.dispatch(*e);
    if (!a.find(id)) break;
  }
  if (a.find(id)) shown->destroy();
  return 0;
}

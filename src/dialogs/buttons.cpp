// The buttons of the tool's screens: bold while focused or under the pointer, and the keys that
// move between them, press them and leave the screen.
#include "dialogs/buttons.h"

#include "gui/application.h"
#include "runtime/shared_variables.h"

namespace tav::dialogs {
namespace {

void setWeight(gui::Widget& button, bool bold) {
  gui::Font f = button.font();
  f.weightClass = 0;
  f.height = 0;
  f.width = 0;
  f.italic = false;
  f.bold = bold;
  f.codePage = 238;
  f.pointSize = rt::shared().fh12;
  button.setFont(f);
}

}  // namespace

void DP(gui::Widget& button) { setWeight(button, true); }
void PP(gui::Widget& button) { setWeight(button, false); }

void KEYHANDLER(int k, gui::Widget& button) {
  auto& a = gui::app();
  switch (k) {
    case gui::key::Esc:
      a.postClose(*button.parent());
      break;
    case gui::key::Enter:
      a.postActivate(button);
      break;
    case gui::key::Left:
    case gui::key::Up:
      a.postKey(*button.parent(), gui::key::Tab);
      break;
    case gui::key::Right:
    case gui::key::Down:
      a.postKey(*button.parent(), gui::key::ShiftTab);
      break;
    default:
      break;
  }
}

}  // namespace tav::dialogs

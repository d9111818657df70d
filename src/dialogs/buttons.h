// The focus highlighting and the keyboard of the buttons every screen of the tool shares.
#pragma once
#include "gui/widgets.h"

namespace tav::dialogs {

// Focus highlighting of the screens' buttons: bold while focused or under the mouse.
void DP(gui::Widget& button);
void PP(gui::Widget& button);

// Keyboard callback of the screens' buttons: Esc asks the button's window to close, Enter presses
// the button, the arrows move the focus like Tab and Shift+Tab.
void KEYHANDLER(int key, gui::Widget& button);

}  // namespace tav::dialogs

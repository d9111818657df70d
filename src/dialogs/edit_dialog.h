#pragma once

// The one-line text entry dialog, with its validation.

#include <functional>
#include <string>

#include "gui/widgets.h"
#include "runtime/value.h"

namespace tav::dialogs {

// Asks for one line of text: an optional explanation (lines separated by ";"), an edit field of
// `length` characters starting with `initial`, and "Rezygnuję" / "Zapamiętaj". A value the
// validation refuses makes the field flash and beep, and the dialog stays. Returns the accepted
// text, or empty text when the user cancelled or saved an empty field (the validation is not
// asked about an empty one). `over`: the window the dialog is centred on (default the main
// window).
std::string ORB_EDTSTR(const std::string& initial, int length, const rt::Value& title = {},
                       const rt::Value& text = {},
                       std::function<bool(const std::string&)> valid = {},
                       gui::Dialog* over = nullptr);

// The edit field's keyboard callback: Enter saves, exactly as "Zapamiętaj" does.
void KLAWISZE(gui::Widget& field, int key);

}  // namespace tav::dialogs

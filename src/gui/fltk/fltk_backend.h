#pragma once

// Real windows for the toolkit through FLTK, when a display answers.

#include <memory>

#include "gui/application.h"

namespace tav::gui {

// Real windows through FLTK 1.3. Null when the tool was built without FLTK or when no X display
// answers (the caller then stays headless).
std::unique_ptr<Backend> makeFltkBackend();

// Back to headless and the display connection closed (a display that is about to go away).
void releaseFltkDisplay();

}  // namespace tav::gui

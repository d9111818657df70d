#pragma once
#include <memory>

#include "gui/application.h"

namespace tav::gui {

// Real windows through FLTK 1.3. Null when the tool was built without FLTK or when no X display
// answers (the caller then stays headless).
std::unique_ptr<Backend> makeFltkBackend();

}  // namespace tav::gui

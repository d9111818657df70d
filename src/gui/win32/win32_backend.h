#pragma once

// Real windows for the toolkit through the Win32 API, in the Windows build: every model object
// becomes a window of Windows' own (buttons, edit fields and the tree are the system's controls).
// The model keeps every piece of state; keys never reach a control directly but go through the
// tool's event queue, so the screens behave as they do on the other backends.

#include <memory>

#include "gui/application.h"

namespace tav::gui {

// The Win32 backend; null when Windows gives the process no desktop to put a window on (a service,
// or Wine without a display), so that the caller stays headless.
std::unique_ptr<Backend> makeWin32Backend();

}  // namespace tav::gui

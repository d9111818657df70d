#pragma once

// Refreshing an installed program's files from the shipped release, and the progress window calls
// the upgrade run hands down to it (the refresh cannot call up into the run).

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/step_registry.h"
#include "runtime/value.h"

namespace tav::gui {
class Dialog;
class Widget;
}  // namespace tav::gui

namespace tav::convert {

// The upgrade's progress window belongs to the upgrade run (PREPARE_INS creates it, OPISY
// re-labels it). The refresh reaches it through these calls, which the run installs; until
// then the refresh shows no window of its own and counts on the progress bar alone.
struct ProgressWindowCalls {
  // PREPARE_INS(dialog, window, area, title): creates the window over `dialog` and hands back
  // the window and its drawing area (owned by the dialog's widget tree).
  std::function<void(gui::Widget* dialog, gui::Dialog*& window, gui::Widget*& area,
                     const std::string& title)>
      prepare;
  // OPISY(area, firm, remaining, firms): a nil argument leaves its text as it is.
  std::function<void(gui::Widget* area, const rt::Value& firm, const rt::Value& remaining,
                     const rt::Value& firms)>
      describe;
};
// Returns the previous calls; empty calls restore "no window".
ProgressWindowCalls setProgressWindowCalls(ProgressWindowCalls calls);

// The refresh's title on the progress window.
std::string refreshTitle();  // "Instalacja nowej wersji programu"

// Installs the shipped release's program files (taken from the tool's working directory, ".\")
// over the program in `programDirectory`, brings the database's program level and update stamp
// up to the release, and runs the program steps above `previousRelease` ("25.01.019" form).
// `progressWindow` and `progressArea` are the upgrade run's window, or null: then the refresh
// makes one and hands it back for the caller to destroy. Copies and deletions that fail are
// given up without a word, as everywhere in the file family; the result is true.
// The files WIN2WIN installs from the release (the working directory, ".\\"): each one's name in
// the release and in the program directory, and whether the program must hold the release's very
// bytes. The printout templates of txt\\ need only be there: the refresh adds the missing ones and
// leaves a template the user changed to the program steps. Files the release does not ship are
// not listed.
struct ShippedFile {
  std::string release, program;  // 852, relative
  bool sameBytes = true;
};
std::vector<ShippedFile> shippedProgramFiles();

bool WIN2WIN(gui::Widget* dialog, std::string_view programDirectory,
             std::string_view databaseDirectory, gui::Dialog*& progressWindow,
             gui::Widget*& progressArea, std::string_view previousRelease,
             const StepRegistry& steps = shippedSteps());

}  // namespace tav::convert

#pragma once

// The main window of the tool and its actions.

#include <functional>
#include <string>
#include <vector>

#include "dialogs/buttons.h"
#include "gui/widgets.h"
#include "os/registry/registry.h"

namespace tav::shell {

// The two actions behind the main window's working buttons; each runs with the main window
// disabled and gets it as the owner of its own screens.
struct MainActions {
  std::function<void(gui::Dialog&)> upgrade;               // UPGRADE
  std::function<void(gui::Dialog&)> firstInstall;          // PIERWSZA_INSTALACJA
  std::function<bool()> tavRunning;                        // IS_TAV_RUN; empty: never running
  std::function<void()> folders;                           // start-up steps 5-8; empty: none
  std::function<os::reg::StoreProblem()> registryProblem;  // os::reg::checkStore; empty: none
};
// The tool's own actions: the upgrade's screen with the installation's services, and the first
// installation's screen.
MainActions defaultMainActions();

// The main window as laid out for the tool: 630 x 260, five buttons, the logo.
class MainWindow {
 public:
  explicit MainWindow(MainActions actions);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  gui::Dialog& dialog() { return *dialog_; }
  // Bottom to top, which is also the tab order.
  const std::vector<gui::PushButton*>& buttons() const { return buttons_; }
  gui::PushButton& button(int orderFromBottom) { return *buttons_.at(orderFromBottom - 1); }
  gui::Static& logo() { return *logo_; }
  bool done = false;

  // Waits for events and dispatches them until a close request or `done`.
  void run();

 private:
  void act(gui::PushButton& b, const std::function<void(gui::Dialog&)>& action);

  MainActions actions_;
  gui::Dialog* dialog_ = nullptr;
  gui::Static* logo_ = nullptr;
  std::vector<gui::PushButton*> buttons_;
};

// Start-up without the runtime set-up that precedes it: the shared variables from the three
// arguments, error.log removed, the running-copy question, the folders of earlier
// installations, lpp_alfabet; then the main window until it closes. Returns the exit code.
int MAIN(const std::vector<std::string>& args, MainActions actions = defaultMainActions());

}  // namespace tav::shell

#pragma once

// The backend without a screen, for tests and unattended runs. Its text sizes are the same on every
// host and its time is virtual, so a scripted run behaves identically everywhere.

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>

#include "gui/application.h"

namespace tav::gui {

// Raised when the tool waits for input without limit and no one will ever give it any: a test
// that forgot a step, or an unattended run that reached a question it has no answer for.
class Starved : public std::runtime_error {
 public:
  Starved() : std::runtime_error("headless: waiting for input that will never come") {}
};

// A backend without a screen. Text metrics are fixed arithmetic on the point size, so sizes are
// the same on every host. Time is virtual: waiting with a time-out and nothing to do moves the
// clock on by the time-out at once. Input comes from steps: each time the tool waits and its
// queue is empty, the next step runs; a step may look at what the windows show and inject input.
class Headless : public Backend {
 public:
  const char* name() const override { return "headless"; }
  Size screenSize() override { return screen_; }
  Size textSize(const Font& font, std::string_view oemLine) override;
  void pump(int hundredths) override;
  double seconds() override { return clock_; }
  void popup(Menu& menu, Point at) override;

  void setScreen(Size s) { screen_ = s; }
  void advance(double secs) { clock_ += secs; }
  void then(std::function<void()> step) { steps_.push_back(std::move(step)); }
  size_t stepsLeft() const { return steps_.size(); }
  Menu* openMenu() const { return menu_; }
  int idleWaits() const { return idleWaits_; }

 private:
  Size screen_{1024, 768};
  double clock_ = 1000.0;
  std::deque<std::function<void()>> steps_;
  Menu* menu_ = nullptr;
  int idleWaits_ = 0;
};

// Installs a fresh headless backend (all windows gone) and returns it.
Headless& useHeadless();

namespace input {
// What a person does, as the host would deliver it.
void press(int key);                // to the widget with the focus when it is handled
void type(const std::string& oem);  // one key per byte
void click(Widget& w);              // a button: focus and activation; ignored when disabled
void closeBox(Dialog& d);
void hover(Widget& w, bool inside);
}  // namespace input

// Readable state: what a window shows, one line per widget, children indented.
std::string describe(const Widget& w);
// The first widget under `root` whose caption (or edit text) equals `oem`; null when none.
Widget* findByCaption(Widget& root, const std::string& oem);
// The newest visible top-level window.
Dialog* topWindow();

}  // namespace tav::gui

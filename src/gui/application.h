#pragma once

// The toolkit's application object and the backend interface beneath it. All state the tool relies
// on lives in the widget model; a backend only mirrors it and posts input.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "gui/types.h"
#include "gui/widgets.h"

namespace tav::gui {

class Menu;

// The host side of the toolkit: a backend mirrors the widget model on a screen (or not at all)
// and turns the user's input into posted events. All state the tool relies on lives in the model.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* name() const = 0;
  virtual Size screenSize() = 0;
  // Size of one line of code page 852 text in the font.
  virtual Size textSize(const Font& font, std::string_view oemLine) = 0;
  virtual void created(Widget&) {}
  virtual void changed(Widget&, Change) {}
  virtual void destroyed(Widget&) {}
  // Waits for input up to `hundredths` (negative: without limit) and posts what arrived.
  // Returns early once anything was posted.
  virtual void pump(int hundredths) = 0;
  // Monotonic seconds; time-outs are measured with it.
  virtual double seconds() = 0;
  // Shows the menu and waits for the choice (Menu::choose); returns when the menu is gone.
  virtual void popup(Menu& menu, Point atInDialog) = 0;
  // Makes pending changes visible without waiting for input (long work between events).
  virtual void flush() {}
};

// The one application object: its event queue, the input focus, the top-level windows.
class Application {
 public:
  Application();
  ~Application();

  Backend& backend() { return *backend_; }
  // Replaces the backend; every window is destroyed first.
  void setBackend(std::unique_ptr<Backend> b);
  void reset();  // destroys every window and forgets queued events and timers

  // The dialog starts hidden; show() it when it is filled.
  Dialog& createDialog(Dialog* owner, Point pos, Size size, DialogFlags flags = {});
  const std::vector<std::unique_ptr<Dialog>>& windows() const { return windows_; }
  Dialog* mainWindow() const { return main_; }
  void setMainWindow(Dialog* d) { main_ = d; }
  Size screenSize() { return backend_->screenSize(); }
  Size textSize(const Font& f, std::string_view oem) { return backend_->textSize(f, oem); }

  void post(Event e);
  void postClose(Widget& w) { post({EventType::Close, w.id()}); }
  void postActivate(Widget& w) { post({EventType::Activate, w.id()}); }
  void postKey(Widget& w, int k) { post({EventType::Key, w.id(), k}); }
  void postSetFocus(Widget& w) { post({EventType::SetFocus, w.id()}); }
  bool pending() const { return !queue_.empty(); }

  // Next event, waiting up to `hundredths` (negative: no limit); empty on time-out.
  std::optional<Event> next(int hundredths = -1);
  // Passes the event to its target: callbacks first, then the target's default handling.
  void dispatch(const Event& e);
  // Dispatches whatever is queued now, without waiting.
  void processPending();

  Widget* find(uint64_t id) const;
  // The widget an event goes to: its target, or for a typed key the focus at this moment (else
  // the newest visible window).
  Widget* target(const Event& e) const;
  Widget* focus() const { return focus_; }
  // Moves the focus; the old owner's onKillFocus and the new one's onSetFocus run at once.
  // A disabled or hidden widget does not take it.
  bool setFocus(Widget* w);

  // A timer fires once after `hundredths`, as a Timer event that runs `fn`.
  uint64_t addTimer(int hundredths, std::function<void()> fn);
  void cancelTimer(uint64_t id) { timers_.erase(id); }

  double seconds() { return backend_->seconds(); }

 private:
  friend class Widget;
  uint64_t registerWidget(Widget* w);
  void unregisterWidget(Widget* w);
  void removeWindow(Dialog* d);
  std::optional<Event> dueTimer();

  std::unique_ptr<Backend> backend_;
  std::vector<std::unique_ptr<Dialog>> windows_;
  std::map<uint64_t, Widget*> widgets_;
  std::deque<Event> queue_;
  struct Timer {
    double due;
    std::function<void()> fn;
  };
  std::map<uint64_t, Timer> timers_;
  Widget* focus_ = nullptr;
  Dialog* main_ = nullptr;
  uint64_t nextId_ = 1;
};

Application& app();

// Picks the backend for the executable: real windows when a display answers, headless otherwise.
// Returns the backend's name.
const char* chooseBackend();

}  // namespace tav::gui

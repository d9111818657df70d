// A person at the headless screen, as a script of moves: each waits for its moment (a window
// shown, a field focused), acts, and hands over to the next. Shared by the screen scenarios.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/codepage.h"

namespace tav::e2e {

// A person's next move once the screen shows what it waits for. Every wait of the tool runs the
// next step, the short waits between firms too, so a move whose moment has not come puts itself
// back; a script that never sees its moment fails instead of hanging.
class Script {
 public:
  explicit Script(gui::Headless& h) : h_(h) {}
  void when(std::function<bool()> ready, std::function<void()> act) {
    moves_.push_back({std::move(ready), std::move(act)});
    if (moves_.size() == 1) schedule();
  }
  bool done() const { return moves_.empty(); }

 private:
  struct Move {
    std::function<bool()> ready;
    std::function<void()> act;
  };
  void schedule() {
    h_.then([this] {
      if (moves_.empty()) return;
      if (++waits_ > 100000)
        throw std::runtime_error(
            "move " + std::to_string(taken_ + 1) + " never saw its moment; the screen:\n" +
            (gui::topWindow() ? gui::describe(*gui::topWindow()) : std::string("no window")));
      if (!moves_.front().ready()) {
        // Nothing to do yet: time passes, so that the tool's short waits run out.
        h_.advance(0.01);
        return schedule();
      }
      Move m = std::move(moves_.front());
      moves_.erase(moves_.begin());
      ++taken_;
      // The next move waits before this one acts: acting may start work that waits itself.
      if (!moves_.empty()) schedule();
      m.act();
    });
  }
  gui::Headless& h_;
  std::vector<Move> moves_;
  long waits_ = 0;
  int taken_ = 0;
};

inline bool showing(const char* title) {
  gui::Dialog* top = gui::topWindow();
  return top && top->title() == rt::utf8ToOem(title);
}

// A message box shows its title in the drawing area too: find its button by caption and press it.
inline void answer(const char* caption) {
  gui::Widget* b = gui::findByCaption(gui::topWindow()->drawingArea(), rt::utf8ToOem(caption));
  ASSERT_NE(b, nullptr) << caption << "\n" << gui::describe(*gui::topWindow());
  gui::input::click(*b);
}

}  // namespace tav::e2e

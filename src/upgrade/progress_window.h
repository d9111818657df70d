#pragma once

// The upgrade's progress window and the screens' side of a run's progress: PREPARE_INS makes the
// window over a screen (a titled frame, the progress bar, five labels and their values), OPISY
// re-labels it, and ScreenProgress shows everything a run reports on them, keeping the window
// alive and hearing Esc between firms.
//
// Invariants: one progress bar at a time (the tool's LICZNIK); the window and the bar are gone
// when the ScreenProgress that made them is.

#include <functional>
#include <optional>
#include <string>

#include "frontend/progress.h"
#include "gui/widgets.h"
#include "runtime/value.h"

namespace tav::upgrade {

// The progress window over `dialog`'s drawing area: its drawing area's children are, in order, the
// titled frame, the progress bar, the five labels and the five values (firm, time of day, time
// left, finish time, firms left) that OPISY addresses by number.
void PREPARE_INS(gui::Widget* dialog, gui::Dialog*& progressWindow, gui::Widget*& progressArea,
                 const std::string& title);

// Updates the progress window's texts (children of `progressArea` numbered from 1): the time of
// day (9), the firm (8), the firms left (12), the time left (10) and from it the finish time
// (11). A nil argument leaves its text as it is; a time left of "?" leaves the finish time too.
// Without a progress area nothing happens.
void OPISY(gui::Widget* progressArea, const rt::Value& firmText = {},
           const rt::Value& remainingTime = {}, const rt::Value& firmsText = {});

// A run's progress on a screen.
class ScreenProgress : public frontend::Progress {
 public:
  // Where a bar goes while there is no window: on `area` at (x, y), `width` wide. Without one a
  // bar stands only in the window.
  struct BarPlace {
    gui::Widget* area = nullptr;
    int x = 0, y = 0, width = 0;
  };
  using FirmWatch = std::function<void(const frontend::FirmProgress&)>;
  // `screen`: the screen the window opens over. `onFirm` is told of every firm as the run reaches
  // it, in the run's own thread (a test holds the run there).
  explicit ScreenProgress(gui::Widget* screen, std::optional<BarPlace> place = std::nullopt,
                          FirmWatch onFirm = {});
  ~ScreenProgress() override;
  ScreenProgress(const ScreenProgress&) = delete;
  ScreenProgress& operator=(const ScreenProgress&) = delete;

  void openWindow(const std::string& title) override;
  bool windowOpen() const override;
  void closeWindow() override;
  void restart(double steps, const std::string& caption) override;
  void advance(double steps, const std::string& caption) override;
  void removeBar() override;
  void describe(const rt::Value& firm, const rt::Value& remaining,
                const rt::Value& firmsLeft) override;
  void firm(const frontend::FirmProgress& progress) override;
  // Processes the window events pending now (waiting 1/100 s for each) and tells whether Esc was
  // pressed among them.
  bool stopRequested() override;

 private:
  gui::Widget* screen_;
  std::optional<BarPlace> place_;
  FirmWatch onFirm_;
  gui::Dialog* window_ = nullptr;
  gui::Widget* area_ = nullptr;
};

}  // namespace tav::upgrade

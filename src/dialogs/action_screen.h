// The screen of one of the main window's actions (the first installation, the upgrade): a dialog
// lying exactly over the main window's drawing area, with the main window's button style,
// highlighting and keys, directory fields with their folder buttons, and the screen's own event
// loop.
//
// Invariants: the screen is always the main window's size and place; any close request inside it
// (Esc on a button asks the button's parent) ends its loop; the screen is destroyed when its loop
// ends, whoever asked.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "gui/widgets.h"

namespace tav::dialogs {

class ActionScreen {
 public:
  // `name` names the window for the desktop's tools; no title bar shows it.
  ActionScreen(gui::Dialog& mainWindow, const std::string& name);
  ~ActionScreen();
  ActionScreen(const ActionScreen&) = delete;
  ActionScreen& operator=(const ActionScreen&) = delete;

  gui::Dialog& dialog() { return *dialog_; }
  gui::Widget& area() { return dialog_->drawingArea(); }
  int width() const { return w_; }
  int height() const { return h_; }
  int margin() const { return m_; }        // h_org / 12: also the height of a button
  int buttonWidth() const { return bw_; }  // 40% of the width

  // A push button of the main window's style, highlighting and keys.
  gui::PushButton& button(gui::Point at, const std::string& captionUtf8);
  // The two buttons of every action screen: "Poprzedni ekran" at the bottom left, which ends the
  // screen (sets `done`), and "Zainstaluj Program" at the bottom right, which runs `install`
  // with the screen disabled meanwhile.
  struct Buttons {
    gui::PushButton* back = nullptr;
    gui::PushButton* install = nullptr;
  };
  Buttons backAndInstall(bool& done, std::function<void()> install);
  // A text in the screen's bold label font.
  gui::Static& label(gui::Point at, gui::Size size, const std::string& oem);
  // A directory field of `length` characters with its folder button at its right end (icon 2105,
  // 2106 under the pointer); the button runs `choose` with the screen disabled meanwhile.
  gui::Edit& directoryField(int y, int length, const std::string& initial, gui::PushButton*& folder,
                            std::function<void(gui::Edit&)> choose);

  // Shows the screen with the focus in `first` and dispatches events until a close request for
  // the screen, `done`, or the screen's end.
  void run(gui::Widget& first, const bool& done);

 private:
  gui::Dialog* dialog_ = nullptr;
  uint64_t id_ = 0;
  int w_ = 0, h_ = 0, m_ = 0, bw_ = 0;
};

}  // namespace tav::dialogs

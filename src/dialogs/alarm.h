#pragma once

// The tool's one message box, with its types, title codes and buttons, and the responder that
// answers it in tests and unattended runs.

#include <array>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "gui/widgets.h"
#include "runtime/value.h"

namespace tav::dialogs {

// Where a message box stands (its first argument): over the application's main window (the
// default), over the whole screen (true; the fonts grow a size), over a rectangle given from the
// screen's top-left corner, or over a window.
struct AlarmArea {
  enum class Kind { MainWindow, Screen, Rect, Window };
  Kind kind = Kind::MainWindow;
  int left = 0, top = 0, width = 0, height = 0;
  gui::Dialog* window = nullptr;

  AlarmArea() = default;
  AlarmArea(bool wholeScreen) : kind(wholeScreen ? Kind::Screen : Kind::MainWindow) {}
  AlarmArea(gui::Dialog* w) : kind(w ? Kind::Window : Kind::MainWindow), window(w) {}
  AlarmArea(gui::Dialog& w) : kind(Kind::Window), window(&w) {}
  static AlarmArea rect(int left, int top, int width, int height) {
    AlarmArea a;
    a.kind = Kind::Rect;
    a.left = left;
    a.top = top;
    a.width = width;
    a.height = height;
    return a;
  }
};

// The answer of a message box: the chosen button (1-based) or 0 for Esc, close box and
// time-out. A type "1" notice returns at once with its window, which the caller destroys.
struct AlarmResult {
  int choice = 0;
  gui::Dialog* window = nullptr;
  operator int() const { return choice; }
};

// The tool's one message dialog. type "1".."6" (empty: "4"); title: a title code ("U", "Z",
// "ZD", "P", "I", "B", "O") or any text, nil for none; text: lines separated by ";", with an
// optional "\L" or "\R" alignment prefix; arg5: the button captions (types "4".."6", a chr(4) in
// a caption marks the default button) or the seconds before the box closes itself ("1".."3").
AlarmResult ALARM(const AlarmArea& area = {}, std::string_view type = "4",
                  const rt::Value& title = {}, const rt::Value& text = {},
                  const rt::Value& arg5 = {});

// Without a person at the screen (an unattended run) every message box goes to a responder
// instead of a window: it gets the box as ALARM would show it (852 texts, ";" a line break,
// buttons without the default marker) and gives the choice ALARM returns.
struct AlarmRequest {
  std::string type, title, text;
  std::vector<std::string> buttons;
};
using AlarmResponder = std::function<int(const AlarmRequest&)>;
AlarmResponder setAlarmResponder(AlarmResponder responder);  // returns the previous; empty: windows

// The layout ALARM computes, for the screens that need to know it and for tests.
struct AlarmLayout {
  gui::Size textBlock, textArea, frame, button, window;
  int rowWidth = 0;  // n x (button width + 20) + 20
  std::vector<std::string> lines;
};
AlarmLayout alarmLayout(std::string_view type, const std::string& text,
                        const std::vector<std::string>& captions, bool wholeScreen);

// Sizes and positions as (x, y) vectors.
using Vec2 = std::array<double, 2>;
Vec2 V1_PLUS_V2(std::initializer_list<Vec2> vectors);
Vec2 R_RAZY_V(double r, const Vec2& v);

}  // namespace tav::dialogs

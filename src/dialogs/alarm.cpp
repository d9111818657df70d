// ALARM, the message box, with its layout, hot keys and time-outs. A time-out is measured on a
// monotonic clock, so a box shown shortly before midnight still ends.

#include "dialogs/alarm.h"

#include <algorithm>
#include <cmath>

#include "dialogs/buttons.h"
#include "gui/application.h"
#include "runtime/codepage.h"

namespace tav::dialogs {

using namespace rt::literals;
using gui::Point;
using gui::Size;

Vec2 V1_PLUS_V2(std::initializer_list<Vec2> vectors) {
  Vec2 sum{0, 0};
  for (const Vec2& v : vectors) {
    sum[0] += v[0];
    sum[1] += v[1];
  }
  return sum;
}

Vec2 R_RAZY_V(double r, const Vec2& v) { return {r * v[0], r * v[1]}; }

namespace {

Vec2 vec(Size s) { return {static_cast<double>(s.w), static_cast<double>(s.h)}; }
Size size(Vec2 v) { return {static_cast<int>(v[0]), static_cast<int>(v[1])}; }

constexpr char kDefaultMarker = 4;

struct TitleCode {
  const char* code;
  const char* title;
};
const TitleCode kTitles[] = {
    {"U", "Uwaga!"},     {"Z", "Potwierdź!"}, {"ZD", "Zdecyduj co robić!"}, {"P", "Podsumowanie"},
    {"I", "Informacja"}, {"B", "Błąd!"},      {"O", "Ostrzeżenie!"},
};

struct TypeInfo {
  int icon;
  gui::Color back;
};
TypeInfo typeInfo(char t) {
  switch (t) {
    case '2':
    case '5':
      return {102, gui::kDialogBack};
    case '3':
    case '6':
      return {103, gui::kWarningBack};
    default:
      return {101, gui::kDialogBack};
  }
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

gui::Font messageFont(bool screen) {
  gui::Font f;
  f.name = "Times New Roman";
  f.pointSize = screen ? 14 : 13;
  return f;
}

gui::Font buttonFont(bool screen) {
  gui::Font f;
  f.name = "Arial";
  f.pointSize = screen ? 12 : 11;
  f.bold = true;
  return f;
}

// The message box's own keyboard callback: like the main window's, plus hot keys by the first
// letter of a caption.
void alarmKeys(int k, gui::Widget& button, const std::vector<std::string>& captions) {
  auto& a = gui::app();
  switch (k) {
    case gui::key::Esc:
      a.postClose(*button.parent());
      return;
    case gui::key::Enter:
      a.postActivate(button);
      return;
    case gui::key::Right:
    case gui::key::Down:
      a.postKey(*button.parent(), gui::key::Tab);
      return;
    case gui::key::Left:
    case gui::key::Up:
      a.postKey(*button.parent(), gui::key::ShiftTab);
      return;
    default:
      break;
  }
  if (captions.empty() || !gui::key::isChar(k) || k == gui::key::Space) return;
  char wanted = rt::upperChar(static_cast<char>(k));
  for (size_t i = 0; i < captions.size(); ++i) {
    if (captions[i].empty() || rt::upperChar(captions[i][0]) != wanted) continue;
    for (auto& sibling : button.parent()->children())
      if (sibling->kind() == gui::Kind::Button && sibling->tag.isNumber() &&
          sibling->tag.num() == static_cast<double>(i + 1)) {
        a.postActivate(*sibling);
        return;
      }
  }
}

}  // namespace

AlarmLayout alarmLayout(std::string_view type, const std::string& text,
                        const std::vector<std::string>& captions, bool wholeScreen) {
  AlarmLayout l;
  auto& a = gui::app();
  gui::Font mf = messageFont(wholeScreen);
  std::string t = trim(text);
  if (!t.empty()) {
    if (t.back() != ';') t += ';';
    size_t start = 0;
    for (size_t semi; (semi = t.find(';', start)) != std::string::npos; start = semi + 1)
      l.lines.push_back(t.substr(start, semi - start));
    for (const std::string& line : l.lines) {
      Size s = a.textSize(mf, line);
      l.textBlock.w = std::max(l.textBlock.w, s.w);
      l.textBlock.h += s.h;
    }
    l.textArea = size(V1_PLUS_V2({vec(l.textBlock), {10, 5}}));
    l.frame = size(V1_PLUS_V2({vec(l.textArea), {4, 4}}));
  }
  const bool notice = type == "1";
  if (!notice && !captions.empty()) {
    gui::Font bf = buttonFont(wholeScreen);
    Size widest;
    for (const std::string& c : captions) {
      Size s = a.textSize(bf, c);
      widest.w = std::max(widest.w, s.w);
      widest.h = std::max(widest.h, s.h);
    }
    l.button = size(V1_PLUS_V2({vec(widest), {36, 10}}));
    int n = static_cast<int>(captions.size());
    l.rowWidth = n * (l.button.w + 20) + 20;
    if (l.rowWidth > l.frame.w) {
      int more = l.rowWidth - l.frame.w;
      l.textArea.w += more;
      l.frame.w += more;
    }
  }
  l.window = notice ? size(V1_PLUS_V2({vec(l.frame), {28, 54}}))
                    : size(V1_PLUS_V2({vec(l.frame), {28, 74.0 + l.button.h}}));
  return l;
}

namespace {
AlarmResponder& responder() {
  static AlarmResponder r;
  return r;
}
}  // namespace

AlarmResponder setAlarmResponder(AlarmResponder r) {
  std::swap(responder(), r);
  return r;
}

AlarmResult ALARM(const AlarmArea& area, std::string_view typeArg, const rt::Value& titleArg,
                  const rt::Value& textArg, const rt::Value& arg5) {
  auto& a = gui::app();
  const std::string type = typeArg.empty() ? std::string("4") : std::string(typeArg);
  const char kind = type[0];
  const bool question = kind >= '4' && kind <= '6';
  const bool notice = kind == '1';

  // Area, owner and anchor.
  Size screen = a.screenSize();
  Point areaPos;
  Size areaSize = screen;
  gui::Dialog* owner = nullptr;
  bool wholeScreen = area.kind == AlarmArea::Kind::Screen;
  switch (area.kind) {
    case AlarmArea::Kind::Screen:
      break;
    case AlarmArea::Kind::Rect:
      areaPos = {area.left, screen.h - area.top - area.height};
      areaSize = {area.width, area.height};
      break;
    case AlarmArea::Kind::MainWindow:
    case AlarmArea::Kind::Window:
      owner = area.kind == AlarmArea::Kind::Window ? area.window : a.mainWindow();
      if (owner) {
        areaPos = owner->pos();
        areaSize = owner->size();
      }
      break;
  }
  Vec2 anchor = V1_PLUS_V2({{static_cast<double>(areaPos.x), static_cast<double>(areaPos.y)},
                            {areaSize.w / 2.0, areaSize.h * 0.35}});

  // Title and text with their defaults.
  std::string title = titleArg.isText() ? titleArg.str() : std::string(" ");
  for (const TitleCode& tc : kTitles)
    if (title == tc.code) title = rt::utf8ToOem(tc.title);
  std::string text = textArg.isText() ? textArg.str() : std::string(" ");
  gui::Align align = gui::Align::Center;
  if (text.size() >= 2 && text[0] == '\\' && (text[1] == 'L' || text[1] == 'R')) {
    align = text[1] == 'L' ? gui::Align::Left : gui::Align::Right;
    text.erase(0, 2);
  }
  int timeout = question ? 1000 : 120;
  if (!question) {
    if (trim(text).empty()) text = "Proszę czekać..."_oem;
    if (arg5.isNumber()) timeout = static_cast<int>(arg5.num());
  }

  // Buttons: captions without the default marker, and which one starts with the focus.
  std::vector<std::string> captions;
  size_t first = 0;
  if (question) {
    if (arg5.isArray())
      for (const rt::Value& v : arg5.arr())
        if (v.isText()) captions.push_back(v.str());
    if (captions.empty()) captions = {"Potwierdzam"_oem, "Rezygnuję"_oem};
    for (size_t i = 0; i < captions.size(); ++i) {
      std::string& c = captions[i];
      if (c.find(kDefaultMarker) == std::string::npos) continue;
      std::erase(c, kDefaultMarker);
      first = i;
    }
  } else if (!notice) {
    captions = {"Zamknij to okno"_oem};
  }

  if (responder()) return {responder()({type, title, text, captions}), nullptr};

  AlarmLayout l = alarmLayout(type, text, captions, wholeScreen);
  TypeInfo info = typeInfo(kind);

  gui::DialogFlags flags;
  flags.minButton = flags.maxButton = flags.resizable = false;
  flags.alwaysOnTop = true;
  flags.closeHides = notice;
  gui::Dialog& box = a.createDialog(owner, {}, l.window, flags);
  box.centreOn({static_cast<int>(anchor[0]), static_cast<int>(anchor[1])});
  box.setMinMax(l.window, l.window);
  box.setTitle(title);
  box.setIcon(info.icon);
  gui::Widget& da = box.drawingArea();
  da.setColors(gui::kDarkGrey, gui::kDialogBack);

  // The message in a raised frame above the buttons, centred in the space left for it.
  int below = notice ? 0 : 20 + l.button.h;
  int frameY = below + (l.window.h - below - l.frame.h) / 2;
  if (l.frame.w > 0) {
    auto& frame = da.add<gui::Static>(gui::StaticType::RaisedBox,
                                      Point{(l.window.w - l.frame.w) / 2, frameY}, l.frame);
    frame.setBackground(info.back);
    auto& msg = frame.add<gui::Static>(gui::StaticType::Text, Point{2, 2}, l.textArea);
    msg.setFont(messageFont(wholeScreen));
    msg.setColors(gui::kButtonText, info.back);
    msg.setAlign(align);
    std::string shown;
    for (size_t i = 0; i < l.lines.size(); ++i) shown += (i ? "\n" : "") + l.lines[i];
    msg.setCaption(shown);
  }

  int result = 0;
  bool done = false;
  std::vector<gui::PushButton*> buttons;
  if (!notice) {
    int n = static_cast<int>(captions.size());
    int gap = (l.window.w - n * l.button.w) / (n + 1);
    for (int i = 0; i < n; ++i) {
      auto& b = da.add<gui::PushButton>(Point{gap + i * (l.button.w + gap), 20}, l.button);
      b.setCaption(captions[i]);
      b.setFont(buttonFont(wholeScreen));
      b.setColors(gui::kButtonText, gui::kButtonFace);
      b.tag = rt::Value(i + 1);
      b.onActivate = [&result, &done, i](gui::Widget&) {
        result = i + 1;
        done = true;
      };
      std::vector<std::string> hot = question ? captions : std::vector<std::string>{};
      b.onKey = [hot](int k, gui::Widget& w) { alarmKeys(k, w, hot); };
      if (question) {
        b.onSetFocus = [](gui::Widget& w) { DP(w); };
        b.onKillFocus = [](gui::Widget& w) { PP(w); };
      }
      buttons.push_back(&b);
    }
  }
  box.onClose = [&result, &done, notice](gui::Widget&) {
    if (notice) return;
    result = 0;
    done = true;
  };

  box.show();
  if (notice) {
    // The caller goes on working without waiting for events; the notice must be on screen now.
    a.backend().flush();
    return {0, &box};
  }
  a.setFocus(buttons.at(first));
  a.postKey(da, gui::key::Tab);
  a.postKey(da, gui::key::ShiftTab);

  const uint64_t boxId = box.id();
  const double shown = a.seconds();
  bool escPosted = false;
  while (!done) {
    auto ev = a.next(100);
    if (ev) {
      a.dispatch(*ev);
      if (ev->type == gui::EventType::Key && ev->key == gui::key::Esc) {
        result = 0;
        break;
      }
    }
    if (!a.find(boxId)) break;  // destroyed under us by an owner going away
    // Measured on a monotonic clock: counting seconds of the day would never end a box shown
    // shortly before midnight.
    if (!escPosted && a.seconds() - shown >= timeout) {
      a.postKey(a.focus() && a.focus()->dialog() == &box ? *a.focus() : da, gui::key::Esc);
      escPosted = true;
    }
  }
  if (a.find(boxId)) box.destroy();
  return {result, nullptr};
}

}  // namespace tav::dialogs

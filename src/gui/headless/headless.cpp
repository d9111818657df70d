// The headless backend: fixed text metrics, virtual time and scripted input steps.

#include "gui/headless/headless.h"

#include <cstdio>
#include <functional>

#include "runtime/codepage.h"

namespace tav::gui {

Size Headless::textSize(const Font& font, std::string_view oemLine) {
  // Fixed arithmetic: a character is 0.6 of the point size wide (0.7 when bold), a line is the
  // point size in pixels at 96 dpi plus leading.
  int perChar = (font.pointSize * (font.bold ? 7 : 6) + 5) / 10;
  return Size{perChar * static_cast<int>(oemLine.size()), font.pointSize * 4 / 3 + 3};
}

void Headless::pump(int hundredths) {
  if (!steps_.empty()) {
    auto step = std::move(steps_.front());
    steps_.pop_front();
    ++idleWaits_;
    step();
    return;
  }
  if (hundredths < 0) throw Starved();
  clock_ += hundredths / 100.0;
}

void Headless::popup(Menu& menu, Point) {
  menu_ = &menu;
  if (!steps_.empty()) {
    auto step = std::move(steps_.front());
    steps_.pop_front();
    step();
  }
  menu_ = nullptr;
}

Headless& useHeadless() {
  auto b = std::make_unique<Headless>();
  Headless& ref = *b;
  app().setBackend(std::move(b));
  return ref;
}

Dialog* topWindow() {
  auto& ws = app().windows();
  for (auto it = ws.rbegin(); it != ws.rend(); ++it)
    if ((*it)->isVisible()) return it->get();
  return nullptr;
}

namespace input {

void press(int k) { app().post({EventType::Key, 0, k}); }

void type(const std::string& oem) {
  for (unsigned char c : oem) press(c);
}

void click(Widget& w) {
  if (!w.isEnabled() || !w.isVisible()) return;
  if (w.tabStop()) app().postSetFocus(w);
  app().postActivate(w);
}

void closeBox(Dialog& d) { app().postClose(d); }

void hover(Widget& w, bool inside) {
  app().post({inside ? EventType::MouseEnter : EventType::MouseLeave, w.id()});
}

}  // namespace input

namespace {

const char* kindName(const Widget& w) {
  switch (w.kind()) {
    case Kind::Dialog:
      return "dialog";
    case Kind::Area:
      return "area";
    case Kind::Button:
      return "button";
    case Kind::Edit:
      return "edit";
    case Kind::Tree:
      return "tree";
    case Kind::Static:
      switch (static_cast<const Static&>(w).type()) {
        case StaticType::Text:
          return "text";
        case StaticType::RaisedBox:
          return "raised";
        case StaticType::RecessedBox:
          return "recessed";
        case StaticType::GroupBox:
          return "groupbox";
        case StaticType::Bitmap:
          return "bitmap";
        case StaticType::Icon:
          return "icon";
      }
  }
  return "?";
}

void describeInto(const Widget& w, int depth, std::string& out) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%*s%s %dx%d at %d,%d", depth * 2, "", kindName(w), w.size().w,
                w.size().h, w.pos().x, w.pos().y);
  out += buf;
  if (!w.caption().empty()) out += " \"" + rt::oemToUtf8(w.caption()) + "\"";
  if (w.kind() == Kind::Edit) out += " [" + rt::oemToUtf8(static_cast<const Edit&>(w).text()) + "]";
  if (w.font().bold) out += " bold";
  if (!w.enabledSelf()) out += " disabled";
  if (!w.visibleSelf()) out += " hidden";
  if (w.hasFocus()) out += " focus";
  out += "\n";
  for (auto& c : w.children()) describeInto(*c, depth + 1, out);
}

}  // namespace

std::string describe(const Widget& w) {
  std::string out;
  describeInto(w, 0, out);
  return out;
}

Widget* findByCaption(Widget& root, const std::string& oem) {
  if (root.caption() == oem && root.kind() != Kind::Dialog) return &root;
  if (root.kind() == Kind::Edit && static_cast<Edit&>(root).text() == oem) return &root;
  for (auto& c : root.children())
    if (Widget* f = findByCaption(*c, oem)) return f;
  return nullptr;
}

}  // namespace tav::gui

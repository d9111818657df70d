// ORB_EDTSTR. The dialog's tag holds {value, done}; Enter saves exactly as "Zapamiętaj" does.

#include "dialogs/edit_dialog.h"

#include <algorithm>

#include "gui/application.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"

namespace tav::dialogs {

using namespace rt::literals;
using gui::Point;
using gui::Size;

namespace {

// The dialog's tag is {value, done}.
void setTag(gui::Dialog& d, std::string value, bool done) {
  d.tag = rt::Value(rt::Array{rt::Value(std::move(value)), rt::Value(done)});
}
std::string tagValue(const gui::Dialog& d) {
  return d.tag.isArray() ? d.tag.arr()[0].str() : std::string();
}
bool tagDone(const gui::Dialog& d) { return d.tag.isArray() && d.tag.arr()[1].log(); }

void buttonKeys(int k, gui::Widget& button) {
  auto& a = gui::app();
  switch (k) {
    case gui::key::Esc:
      a.postClose(*button.parent());
      break;
    case gui::key::Enter:
      a.postActivate(button);
      break;
    case gui::key::Right:
    case gui::key::Down:
      a.postKey(*button.parent(), gui::key::Tab);
      break;
    case gui::key::Left:
    case gui::key::Up:
      a.postKey(*button.parent(), gui::key::ShiftTab);
      break;
    default:
      break;
  }
}

std::vector<std::string> pieces(const std::string& text) {
  std::vector<std::string> out;
  std::string t = text;
  if (t.empty()) return out;
  if (t.back() != ';') t += ';';
  size_t start = 0;
  for (size_t semi; (semi = t.find(';', start)) != std::string::npos; start = semi + 1)
    out.push_back(t.substr(start, semi - start));
  return out;
}

}  // namespace

void KLAWISZE(gui::Widget& field, int key) {
  if (key != gui::key::Enter || field.kind() != gui::Kind::Edit) return;
  if (gui::Dialog* d = field.dialog()) setTag(*d, static_cast<gui::Edit&>(field).text(), true);
}

std::string ORB_EDTSTR(const std::string& initial, int length, const rt::Value& titleArg,
                       const rt::Value& textArg, std::function<bool(const std::string&)> valid,
                       gui::Dialog* over) {
  auto& a = gui::app();
  if (!over) over = a.mainWindow();
  Size screen = a.screenSize();
  Point anchor = over
                     ? Point{over->pos().x + over->size().w / 2, over->pos().y + over->size().h / 2}
                     : Point{screen.w / 2, screen.h / 2};

  gui::Font textFont;
  textFont.name = "Times New Roman";
  textFont.pointSize = 12;
  gui::Font buttonFont;
  buttonFont.name = "Arial";
  buttonFont.pointSize = 10;
  buttonFont.bold = true;

  std::vector<std::string> lines = pieces(textArg.isText() ? textArg.str() : std::string());
  Size block;
  for (const std::string& l : lines) {
    Size s = a.textSize(textFont, l);
    block.w = std::max(block.w, s.w);
    block.h += s.h;
  }
  Size textArea, frame;
  if (!lines.empty()) {
    textArea = {block.w + 10, block.h + 5};
    frame = {textArea.w + 4, textArea.h + 4};
  }
  Size sample = a.textSize(textFont, "ŹJjy"_oem);
  const int avgChar = std::max(1, sample.w / 4);
  Size captionSize = a.textSize(buttonFont, "Zapamietaj");
  const Size button{captionSize.w + 36, captionSize.h + 10};
  Size field{std::max(1, length) * avgChar, sample.h};

  const int inner = std::max({frame.w, field.w, 2 * button.w + 3 * 60});
  if (frame.w > 0) {
    frame.w = inner;
    textArea.w = inner - 4;
  }
  field.w = inner;
  const Size window{inner + 28, frame.h + field.h + button.h + 84};

  gui::DialogFlags flags;
  flags.minButton = flags.maxButton = flags.resizable = false;
  gui::Dialog& d = a.createDialog(nullptr, {}, {300, 200}, flags);
  d.setSize(window);
  d.setMinMax(window, window);
  d.centreOn(anchor);
  d.setTitle(titleArg.isText() ? titleArg.str() : std::string());
  d.setIcon(104);
  setTag(d, "", false);
  d.onClose = [](gui::Widget& w) { setTag(*w.dialog(), "", true); };
  gui::Widget& da = d.drawingArea();
  da.setColors(gui::kDarkGrey, gui::kDialogBack);

  // Bottom up: the buttons, the field, the explanation.
  const int buttonY = 14, fieldY = buttonY + button.h + 20, frameY = fieldY + field.h + 20;
  if (frame.w > 0) {
    auto& f = da.add<gui::Static>(gui::StaticType::RaisedBox, Point{14, frameY}, frame);
    f.setBackground(gui::kDialogBack);
    auto& t = f.add<gui::Static>(gui::StaticType::Text, Point{2, 2}, textArea);
    t.setFont(textFont);
    t.setAlign(gui::Align::Center);
    t.setColors(gui::kButtonText, gui::kDialogBack);
    std::string shown;
    for (size_t i = 0; i < lines.size(); ++i) shown += (i ? "\n" : "") + lines[i];
    t.setCaption(shown);
  }
  auto& edit = da.add<gui::Edit>(Point{14, fieldY}, field, length);
  edit.setFont(textFont);
  edit.setColors(gui::kButtonText, gui::rgb(255, 255, 255));
  edit.setText(initial);
  edit.onKey = [](int k, gui::Widget& w) { KLAWISZE(w, k); };

  const int gap = (inner - 2 * button.w) / 3;
  auto& cancel = da.add<gui::PushButton>(Point{14 + gap, buttonY}, button);
  cancel.setCaption("Rezygnuję"_oem);
  auto& save = da.add<gui::PushButton>(Point{14 + 2 * gap + button.w, buttonY}, button);
  save.setCaption("Zapamiętaj"_oem);
  for (gui::PushButton* b : {&cancel, &save}) {
    b->setFont(buttonFont);
    b->setColors(gui::kButtonText, gui::kButtonFace);
    b->setTabStop(true);
    b->onKey = buttonKeys;
  }
  cancel.onActivate = [](gui::Widget& w) { setTag(*w.dialog(), "", true); };
  save.onActivate = [&edit](gui::Widget& w) { setTag(*w.dialog(), edit.text(), true); };

  d.show();
  a.setFocus(&edit);
  a.postSetFocus(edit);

  const uint64_t id = d.id();
  while (true) {
    auto ev = a.next();
    if (!ev) continue;
    a.dispatch(*ev);
    if (!a.find(id)) return {};
    if (ev->type == gui::EventType::Key && ev->key == gui::key::Esc) setTag(d, "", true);
    if (!tagDone(d)) continue;
    std::string value = tagValue(d);
    if (!value.empty() && valid && !valid(value)) {
      gui::Color back = edit.bg();
      edit.setBackground(gui::kWarningBack);
      a.backend().flush();
      rt::tone(500, 1);
      rt::pause(20);
      setTag(d, "", false);
      edit.setBackground(back);
      continue;
    }
    break;
  }
  std::string value = tagValue(d);
  d.destroy();
  return value;
}

}  // namespace tav::dialogs

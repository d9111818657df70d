// The screens of the main window's actions: one shape for the upgrade and the first installation.
#include "dialogs/action_screen.h"

#include "dialogs/buttons.h"
#include "gui/application.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

namespace tav::dialogs {
namespace {

constexpr int kFolderIcon = 2105, kFolderIconHover = 2106;

gui::Font arial(int points, bool bold) {
  gui::Font f;
  f.name = "Arial";
  f.codePage = 238;
  f.pointSize = points;
  f.bold = bold;
  return f;
}

}  // namespace

ActionScreen::ActionScreen(gui::Dialog& mainWindow, const std::string& name) {
  auto& sv = rt::shared();
  gui::DialogFlags flags;
  flags.taskList = flags.titleBar = flags.sysMenu = false;
  flags.alwaysOnTop = true;
  // Exactly over the main window's drawing area, which is the whole of its window.
  dialog_ = &gui::app().createDialog(&mainWindow, mainWindow.pos(), mainWindow.drawingArea().size(),
                                     flags);
  dialog_->setTitle(name);
  id_ = dialog_->id();
  area().setColors(gui::kDarkGrey, gui::kDialogBack);
  w_ = area().size().w;
  h_ = area().size().h;
  m_ = sv.h_org / 12;
  bw_ = static_cast<int>(w_ * 0.4);
}

ActionScreen::~ActionScreen() {
  if (gui::app().find(id_)) dialog_->destroy();
}

gui::PushButton& ActionScreen::button(gui::Point at, const std::string& captionUtf8) {
  auto& b = area().add<gui::PushButton>(at, gui::Size{bw_, m_});
  b.setCaption(rt::utf8ToOem(captionUtf8));
  b.setTabStop(true);
  b.setColors(gui::kButtonText, gui::kButtonFace);
  b.setFont(arial(rt::shared().fh12, false));
  b.onEnter = b.onSetFocus = [](gui::Widget& w) { DP(w); };
  b.onLeave = b.onKillFocus = [](gui::Widget& w) { PP(w); };
  b.onKey = [](int k, gui::Widget& w) { KEYHANDLER(k, w); };
  return b;
}

gui::Static& ActionScreen::label(gui::Point at, gui::Size size, const std::string& oem) {
  auto& text = area().add<gui::Static>(gui::StaticType::Text, at, size);
  text.setFont(arial(rt::shared().fh11, true));
  text.setCaption(oem);
  return text;
}

gui::Edit& ActionScreen::directoryField(int y, int length, const std::string& initial,
                                        gui::PushButton*& folder,
                                        std::function<void(gui::Edit&)> choose) {
  const int side = m_;
  auto& field = area().add<gui::Edit>(gui::Point{m_, y}, gui::Size{w_ - 3 * m_ - side, m_}, length);
  field.setFont(arial(rt::shared().fh9 + 1, false));
  field.setText(initial.substr(0, static_cast<size_t>(length)));
  field.setTabStop(true);
  folder = &area().add<gui::PushButton>(gui::Point{w_ - m_ - side, y}, gui::Size{side, side});
  folder->setImage(kFolderIcon);
  folder->onEnter = [](gui::Widget& w) {
    static_cast<gui::PushButton&>(w).setImage(kFolderIconHover);
  };
  folder->onLeave = [](gui::Widget& w) { static_cast<gui::PushButton&>(w).setImage(kFolderIcon); };
  gui::Widget* da = &area();
  gui::Edit* f = &field;
  folder->onActivate = [da, f, choose = std::move(choose)](gui::Widget&) {
    da->disable();
    if (choose) choose(*f);
    da->enable();
  };
  return field;
}

ActionScreen::Buttons ActionScreen::backAndInstall(bool& done, std::function<void()> install) {
  Buttons b;
  b.back = &button({m_, m_}, "Poprzedni ekran");
  b.install = &button({w_ - m_ - bw_, m_}, "Zainstaluj Program");
  b.back->onActivate = [&done](gui::Widget&) { done = true; };
  gui::Widget* da = &area();
  b.install->onActivate = [da, install = std::move(install)](gui::Widget&) {
    da->disable();
    install();
    da->enable();
  };
  return b;
}

void ActionScreen::run(gui::Widget& first, const bool& done) {
  auto& a = gui::app();
  dialog_->show();
  first.setFocus();
  while (true) {
    auto ev = a.next();
    if (!ev) continue;
    // Esc on a button posts the close to the button's parent: any close within the screen ends it.
    gui::Widget* target = ev->type == gui::EventType::Close ? a.find(ev->target) : nullptr;
    const bool closing = target && target->dialog() == dialog_;
    a.dispatch(*ev);
    if (closing || done || !a.find(id_)) break;
  }
}

}  // namespace tav::dialogs

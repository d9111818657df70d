// The progress window of an upgrade and the screens' progress of a run.
#include "upgrade/progress_window.h"

#include "dialogs/progress_bar.h"
#include "gui/application.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "upgrade/progress_times.h"

namespace tav::upgrade {

using namespace rt::literals;

void PREPARE_INS(gui::Widget* dialog, gui::Dialog*& progressWindow, gui::Widget*& progressArea,
                 const std::string& title) {
  auto& a = gui::app();
  auto& sv = rt::shared();
  gui::Widget* over = dialog ? &dialog->dialog()->drawingArea() : nullptr;
  const gui::Size size = over ? over->size() : gui::Size{630, 260};
  gui::DialogFlags flags;
  flags.taskList = flags.titleBar = flags.sysMenu = false;
  flags.alwaysOnTop = true;
  const gui::Point at = over ? dialog->dialog()->pos() : gui::Point{0, 0};
  progressWindow = &a.createDialog(dialog ? dialog->dialog() : nullptr, at, size, flags);
  progressWindow->setTitle(title);  // no title bar shows it; it names the window for the desktop
  gui::Widget& da = progressWindow->drawingArea();
  progressArea = &da;
  da.setColors(gui::kDarkGrey, gui::kDialogBack);
  da.setFont(gui::Font::parse("8.Arial"));

  const int W = size.w, H = size.h;
  const int m = sv.h_org / 12;
  const int row = m / 2 + 4;

  // 1: the titled frame along the top, 2: the progress bar under it (its frame is 60 high),
  // then 3 to 7 the labels and 8 to 12 their values, row by row downwards.
  const int frameHeight = m + m / 2, barHeight = 60;
  const int frameY = H - m / 2 - frameHeight, barY = frameY - m / 4 - barHeight;
  auto& frame = da.add<gui::Static>(gui::StaticType::RaisedBox, gui::Point{m / 2, frameY},
                                    gui::Size{W - m, frameHeight});
  auto& heading = frame.add<gui::Static>(gui::StaticType::Text, gui::Point{4, 4},
                                         gui::Size{W - m - 8, frameHeight - 8});
  heading.setAlign(gui::Align::Center);
  gui::Font big;
  big.name = "Arial";
  big.codePage = 238;
  big.pointSize = sv.fh12;
  big.bold = true;
  heading.setFont(big);
  heading.setCaption("Instalacja programu TAV (wersja " + sv.wersja_p + ")");

  dialogs::LICZNIK(rt::Value(rt::Array{rt::Value(double(m / 2)), rt::Value(double(barY))}),
                   rt::Value(double(W - m)), rt::Value(10.0),
                   rt::Value("Czynności przygotowawcze..."_oem), &da);

  const char* labels[] = {"Nazwa firmy: ", "Aktualna godzina: ", "Koniec instalacji za minut: ",
                          "Czyli o godz.: ", "Pozostało firm: "};
  const int labelWidth = W / 2 - m;
  auto rowY = [&](int i) { return barY - m / 3 - (i + 1) * row; };
  for (int i = 0; i < 5; ++i) {
    auto& l = da.add<gui::Static>(gui::StaticType::Text, gui::Point{m, rowY(i)},
                                  gui::Size{labelWidth, row});
    l.setAlign(gui::Align::Right);
    l.setCaption(rt::utf8ToOem(labels[i]));
  }
  const std::string initial[] = {title, "?", "?", "?", " "};
  for (int i = 0; i < 5; ++i) {
    auto& v = da.add<gui::Static>(gui::StaticType::Text, gui::Point{m + labelWidth + 4, rowY(i)},
                                  gui::Size{W - labelWidth - 2 * m - 4, row});
    gui::Font f;
    f.name = "Courier New";
    f.codePage = 238;
    f.pointSize = sv.fh8 + 2;
    f.bold = true;
    v.setFont(f);
    v.setCaption(initial[i]);
  }
  progressWindow->show();
  progressWindow->setFocus();
  a.backend().flush();
}

void OPISY(gui::Widget* progressArea, const rt::Value& firmText, const rt::Value& remainingTime,
           const rt::Value& firmsText) {
  if (!progressArea) return;
  auto child = [&](size_t n) -> gui::Widget* {
    const auto& children = progressArea->children();
    return n >= 1 && n <= children.size() ? children[n - 1].get() : nullptr;
  };
  auto show = [&](size_t n, const std::string& text) {
    if (gui::Widget* w = child(n)) w->setCaption(text);
  };
  // One reading for both texts, so that the finish time agrees with the time shown beside it.
  const std::string now = rt::timeOfDay();
  show(9, now);
  if (!firmText.isNil()) show(8, rt::toText(firmText));
  if (!firmsText.isNil()) show(12, rt::toText(firmsText));
  if (!remainingTime.isNil()) show(10, rt::toText(remainingTime));
  gui::Widget* remaining = child(10);
  // "?" is no estimate yet: a finish time of now plus nothing would be a wrong promise.
  if (!remaining || remaining->caption() == "?") return;
  show(11, G1_P_G2(now, remaining->caption()));
}

ScreenProgress::ScreenProgress(gui::Widget* screen, std::optional<BarPlace> place, FirmWatch onFirm)
    : screen_(screen), place_(place), onFirm_(std::move(onFirm)) {}

ScreenProgress::~ScreenProgress() {
  closeWindow();
  removeBar();
}

void ScreenProgress::openWindow(const std::string& title) {
  PREPARE_INS(screen_, window_, area_, title);
}

bool ScreenProgress::windowOpen() const { return window_ != nullptr; }

void ScreenProgress::closeWindow() {
  dialogs::LICZNIK(rt::Value("DEL"));
  if (window_ && gui::app().find(window_->id())) window_->destroy();
  window_ = nullptr;
  area_ = nullptr;
}

void ScreenProgress::restart(double steps, const std::string& caption) {
  if (dialogs::licznikState().frame) {
    dialogs::LICZNIK(rt::Value("NEW"), rt::Value(steps), rt::Value(caption));
  } else if (place_ && place_->area) {
    dialogs::LICZNIK(
        rt::Value(rt::Array{rt::Value(double(place_->x)), rt::Value(double(place_->y))}),
        rt::Value(double(place_->width)), rt::Value(steps), rt::Value(caption), place_->area);
  }
}

void ScreenProgress::advance(double steps, const std::string& caption) {
  if (caption.empty())
    dialogs::LICZNIK(rt::Value(steps));
  else
    dialogs::LICZNIK(rt::Value(steps), {}, {}, rt::Value(caption));
}

void ScreenProgress::removeBar() { dialogs::LICZNIK(rt::Value("DEL")); }

void ScreenProgress::describe(const rt::Value& firm, const rt::Value& remaining,
                              const rt::Value& firmsLeft) {
  OPISY(area_, firm, remaining, firmsLeft);
}

void ScreenProgress::firm(const frontend::FirmProgress& progress) {
  if (onFirm_) onFirm_(progress);
}

bool ScreenProgress::stopRequested() {
  auto& a = gui::app();
  bool esc = false;
  while (auto ev = a.next(1)) {
    if (ev->type == gui::EventType::Key && ev->key == gui::key::Esc) {
      esc = true;
      continue;
    }
    // Timers run when dispatched: one left undispatched would come back at once, for ever.
    a.dispatch(*ev);
  }
  return esc;
}

}  // namespace tav::upgrade

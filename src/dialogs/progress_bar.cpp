// LICZNIK's state and drawing. The frame goes with its window, so every call first checks that the
// frame is still there; a bar with a zero maximum shows nothing rather than dividing by it.

#include "dialogs/progress_bar.h"

#include <algorithm>
#include <cmath>

#include "gui/application.h"
#include "runtime/shared_variables.h"

namespace tav::dialogs {
namespace {

// The bar's sunken border; the fill stays inside it.
constexpr int kBorder = 2;

struct Counter {
  uint64_t frameId = 0;
  LicznikState s;
};

Counter& counter() {
  static Counter c;
  return c;
}

// The frame goes with its window; a stale pointer must not be used after that.
bool alive() {
  Counter& c = counter();
  if (c.frameId && gui::app().find(c.frameId) == c.s.frame) return true;
  c = Counter{};
  return false;
}

void create(const rt::Value& pos, const rt::Value& width, const rt::Value& max,
            const rt::Value& caption, gui::Widget& parent) {
  auto& sv = rt::shared();
  gui::Font f;
  f.name = "Times New Roman";
  f.codePage = 238;
  f.italic = true;
  f.pointSize = sv.fh8;
  gui::Point at;
  if (pos.isArray() && pos.arr().size() >= 2 && pos.arr()[0].isNumber() && pos.arr()[1].isNumber())
    at = {static_cast<int>(pos.arr()[0].num()), static_cast<int>(pos.arr()[1].num())};
  gui::Size frameSize{width.isNumber() ? static_cast<int>(width.num()) : 0, 60 * sv.fh8 / 8};

  auto& frame = parent.add<gui::Static>(gui::StaticType::GroupBox, at, frameSize);
  frame.setFont(f);
  frame.setCaption(caption.isText() ? caption.str() : std::string());
  int k = frameSize.h / 5;
  auto& bar = frame.add<gui::Static>(gui::StaticType::RecessedBox, gui::Point{k, k},
                                     gui::Size{frameSize.w - 2 * k, frameSize.h - 3 * k});
  bar.setBackground(parent.bg());

  Counter& c = counter();
  c = Counter{};
  c.frameId = frame.id();
  c.s.frame = &frame;
  c.s.bar = &bar;
  c.s.maximum = max.isNumber() ? max.num() : 0;
  c.s.barWidth = std::max(0, bar.size().w - 2 * kBorder);
  c.s.barHeight = std::max(0, bar.size().h - 2 * kBorder);
}

void advance(double n, const rt::Value& caption) {
  if (!alive()) return;
  LicznikState& s = counter().s;
  if (caption.isText() && !caption.str().empty()) s.frame->setCaption(caption.str());
  s.count += n;
  // A zero maximum would divide by zero; such a bar has nothing to show.
  if (s.count > s.maximum || s.maximum <= 0) return;
  int w = static_cast<int>(std::lround(s.count * s.barWidth / s.maximum));
  if (w <= s.last) return;
  s.last = w;
  s.bar->fillBox({kBorder, kBorder}, {std::min(s.last, s.barWidth), s.barHeight}, gui::kFill);
  gui::app().backend().flush();
}

void restart(const rt::Value& max, const rt::Value& caption) {
  if (!alive()) return;
  LicznikState& s = counter().s;
  s.maximum = max.isNumber() ? max.num() : 0;
  s.count = 0;
  s.last = 0;
  s.bar->clearDrawing();
  s.bar->fillBox({kBorder, kBorder}, {s.barWidth, s.barHeight}, s.bar->bg());
  if (caption.isText() && !caption.str().empty()) s.frame->setCaption(caption.str());
  gui::app().backend().flush();
}

void remove() {
  if (!alive()) return;
  counter().s.frame->destroy();
  counter() = Counter{};
}

}  // namespace

void LICZNIK(const rt::Value& a1, const rt::Value& a2, const rt::Value& a3, const rt::Value& a4,
             gui::Widget* parent) {
  if (parent) return create(a1, a2, a3, a4, *parent);
  if (a1.isText()) {
    if (a1.str() == "NEW") return restart(a2, a3);
    if (a1.str() == "DEL") return remove();
    return;  // no other text form exists
  }
  advance(a1.isNumber() ? a1.num() : 1, a4);
}

LicznikState licznikState() {
  if (!alive()) return {};
  return counter().s;
}

}  // namespace tav::dialogs

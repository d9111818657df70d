// The application object: the event queue, focus, timers and top-level windows. A callback may
// destroy its own widget, so a target is looked up by id again after every callback.

#include "gui/application.h"

#include <algorithm>
#include <cmath>

#include "gui/headless/headless.h"
#ifdef _WIN32
#include "gui/win32/win32_backend.h"
#else
#include "gui/fltk/fltk_backend.h"
#endif

namespace tav::gui {

Application& app() {
  static Application a;
  return a;
}

Application::Application() : backend_(std::make_unique<Headless>()) {}

Application::~Application() { reset(); }

void Application::reset() {
  while (!windows_.empty()) windows_.pop_back();
  queue_.clear();
  timers_.clear();
  focus_ = nullptr;
  main_ = nullptr;
}

void Application::setBackend(std::unique_ptr<Backend> b) {
  reset();
  backend_ = std::move(b);
}

Dialog& Application::createDialog(Dialog* owner, Point pos, Size size, DialogFlags flags) {
  auto d = std::make_unique<Dialog>(owner, pos, size, flags);
  Dialog& ref = *d;
  windows_.push_back(std::move(d));
  ref.attached();
  return ref;
}

void Application::removeWindow(Dialog* d) {
  // Windows it owns go with it, as the host does with owned windows.
  for (size_t i = 0; i < windows_.size();) {
    if (windows_[i]->owner() == d) {
      removeWindow(windows_[i].get());
      i = 0;
    } else {
      ++i;
    }
  }
  auto it = std::find_if(windows_.begin(), windows_.end(), [&](auto& w) { return w.get() == d; });
  if (it == windows_.end()) return;
  auto keep = std::move(*it);
  windows_.erase(it);
}

uint64_t Application::registerWidget(Widget* w) {
  uint64_t id = nextId_++;
  widgets_[id] = w;
  return id;
}

void Application::unregisterWidget(Widget* w) {
  widgets_.erase(w->id());
  if (focus_ == w) focus_ = nullptr;
  if (main_ == w) main_ = nullptr;
}

Widget* Application::target(const Event& e) const {
  Widget* w = find(e.target);
  if (w || e.type != EventType::Key || e.target != 0) return w;
  // A key typed by the user goes where the focus is when it is handled, as on a real screen.
  if (focus_) return focus_;
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it)
    if ((*it)->isVisible()) return &(*it)->drawingArea();
  return nullptr;
}

Widget* Application::find(uint64_t id) const {
  auto it = widgets_.find(id);
  return it == widgets_.end() ? nullptr : it->second;
}

void Application::post(Event e) { queue_.push_back(e); }

std::optional<Event> Application::dueTimer() {
  if (timers_.empty()) return std::nullopt;
  auto first = std::min_element(timers_.begin(), timers_.end(),
                                [](auto& a, auto& b) { return a.second.due < b.second.due; });
  if (first->second.due > seconds()) return std::nullopt;
  Event e{EventType::Timer};
  e.item = first->first;
  return e;
}

std::optional<Event> Application::next(int hundredths) {
  const double start = seconds();
  while (true) {
    if (!queue_.empty()) {
      Event e = queue_.front();
      queue_.pop_front();
      return e;
    }
    if (auto t = dueTimer()) return t;
    int wait = -1;
    if (hundredths >= 0) {
      double left = start + hundredths / 100.0 - seconds();
      if (left <= 0) return std::nullopt;
      wait = static_cast<int>(std::ceil(left * 100));
    }
    if (!timers_.empty()) {
      double soonest = 1e300;
      for (auto& [id, t] : timers_) soonest = std::min(soonest, t.due);
      int untilTimer = std::max(0, static_cast<int>(std::ceil((soonest - seconds()) * 100)));
      wait = wait < 0 ? untilTimer : std::min(wait, untilTimer);
    }
    backend_->pump(wait);
  }
}

void Application::dispatch(const Event& e) {
  if (e.type == EventType::Timer) {
    auto it = timers_.find(e.item);
    if (it == timers_.end()) return;
    auto fn = std::move(it->second.fn);
    timers_.erase(it);
    if (fn) fn();
    return;
  }
  Widget* w = target(e);
  if (!w) return;
  const uint64_t id = w->id();
  // A callback may destroy its own widget (a window that closes itself); look it up again.
  auto alive = [&]() { return find(id) != nullptr; };
  switch (e.type) {
    case EventType::Close:
      if (w->onClose) w->onClose(*w);
      if (alive()) w->handle(e);
      return;
    case EventType::Activate:
      if (!w->isEnabled() || !w->isVisible()) return;
      if (w->onActivate) w->onActivate(*w);
      if (alive()) w->handle(e);
      return;
    case EventType::Key:
      if (!w->isEnabled()) return;
      if (w->onKey) w->onKey(e.key, *w);
      if (alive()) w->handle(e);
      return;
    case EventType::SetFocus:
      setFocus(w);
      return;
    case EventType::MouseEnter:
      if (w->isEnabled() && w->onEnter) w->onEnter(*w);
      return;
    case EventType::MouseLeave:
      if (w->isEnabled() && w->onLeave) w->onLeave(*w);
      return;
    default:
      if (w->isEnabled()) w->handle(e);
  }
}

void Application::processPending() {
  while (!queue_.empty()) {
    Event e = queue_.front();
    queue_.pop_front();
    dispatch(e);
  }
}

bool Application::setFocus(Widget* w) {
  if (w && (!w->isEnabled() || !w->isVisible())) return false;
  if (w == focus_) return true;
  Widget* old = focus_;
  focus_ = w;
  if (old) {
    backend_->changed(*old, Change::Focus);
    if (old->onKillFocus) old->onKillFocus(*old);
  }
  if (w && focus_ == w) {
    backend_->changed(*w, Change::Focus);
    if (w->onSetFocus) w->onSetFocus(*w);
  }
  return true;
}

uint64_t Application::addTimer(int hundredths, std::function<void()> fn) {
  uint64_t id = nextId_++;
  timers_[id] = Timer{seconds() + hundredths / 100.0, std::move(fn)};
  return id;
}

const char* chooseBackend() {
#ifdef _WIN32
  auto real = makeWin32Backend();
#else
  auto real = makeFltkBackend();
#endif
  if (real) {
    app().setBackend(std::move(real));
  } else {
    app().setBackend(std::make_unique<Headless>());
  }
  return app().backend().name();
}

}  // namespace tav::gui

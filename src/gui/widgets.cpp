// The widgets of the toolkit: windows, statics, buttons, edits, trees and menus. Every change is
// made in the model first and then passed to the backend.

#include "gui/widgets.h"

#include <algorithm>
#include <charconv>

#include "gui/application.h"

namespace tav::gui {

Font Font::parse(std::string_view compound) {
  Font f;
  auto dot = compound.find('.');
  if (dot != std::string_view::npos) {
    int size = 0;
    auto [p, ec] = std::from_chars(compound.data(), compound.data() + dot, size);
    if (ec == std::errc() && p == compound.data() + dot && size > 0) {
      f.pointSize = size;
      compound.remove_prefix(dot + 1);
    }
  }
  std::string face(compound);
  auto strip = [&](std::string_view word, bool& flag) {
    if (face.size() > word.size() + 1 && face.ends_with(word) &&
        face[face.size() - word.size() - 1] == ' ') {
      face.resize(face.size() - word.size() - 1);
      flag = true;
    }
  };
  strip("Italic", f.italic);
  strip("Bold", f.bold);
  if (!face.empty()) f.name = face;
  return f;
}

// ---- Widget -------------------------------------------------------------------------------

Widget::Widget(Widget* parent, Kind kind, Point pos, Size size)
    : id_(app().registerWidget(this)), kind_(kind), parent_(parent), pos_(pos), size_(size) {
  if (parent) {
    font_ = parent->font_;
    fg_ = parent->fg_;
    bg_ = parent->bg_;
  }
}

Widget::~Widget() {
  while (!children_.empty()) children_.pop_back();
  app().backend().destroyed(*this);
  app().unregisterWidget(this);
}

void Widget::attached() { app().backend().created(*this); }

Dialog* Widget::dialog() {
  Widget* w = this;
  while (w->parent_) w = w->parent_;
  return w->kind_ == Kind::Dialog ? static_cast<Dialog*>(w) : nullptr;
}

void Widget::destroy() {
  if (parent_) {
    parent_->removeChild(this);
  } else if (kind_ == Kind::Dialog) {
    app().removeWindow(static_cast<Dialog*>(this));
  }
}

void Widget::removeChild(Widget* w) {
  auto it = std::find_if(children_.begin(), children_.end(), [&](auto& c) { return c.get() == w; });
  if (it == children_.end()) return;
  auto keep = std::move(*it);  // destroyed after it left the list, so no one walks into it
  children_.erase(it);
}

void Widget::setPos(Point p) { setPosAndSize(p, size_); }
void Widget::setSize(Size s) { setPosAndSize(pos_, s); }
void Widget::setPosAndSize(Point p, Size s) {
  pos_ = p;
  size_ = s;
  if (kind_ == Kind::Dialog) {
    if (Widget* area = static_cast<Dialog*>(this)->area_) area->size_ = s;
  }
  changed(Change::Geometry);
}

Point Widget::posInDialog() const {
  Point p{0, 0};
  for (const Widget* w = this; w && w->kind_ != Kind::Dialog; w = w->parent_) {
    p.x += w->pos_.x;
    p.y += w->pos_.y;
  }
  return p;
}

void Widget::setCaption(std::string oem) {
  caption_ = std::move(oem);
  changed(Change::Caption);
}
void Widget::setFont(const Font& f) {
  font_ = f;
  changed(Change::Font);
}
void Widget::setColors(Color fg, Color bg) {
  fg_ = fg;
  bg_ = bg;
  changed(Change::Colors);
}

bool Widget::isEnabled() const {
  for (const Widget* w = this; w; w = w->parent_)
    if (!w->enabled_) return false;
  return true;
}
bool Widget::isVisible() const {
  for (const Widget* w = this; w; w = w->parent_)
    if (!w->visible_) return false;
  return true;
}
void Widget::enable() {
  enabled_ = true;
  changed(Change::State);
}
void Widget::disable() {
  enabled_ = false;
  changed(Change::State);
}
void Widget::show() {
  visible_ = true;
  changed(Change::State);
}
void Widget::hide() {
  visible_ = false;
  changed(Change::State);
}

bool Widget::hasFocus() const { return app().focus() == this; }
void Widget::setFocus() { app().setFocus(this); }

void Widget::changed(Change c) { app().backend().changed(*this, c); }

void Widget::handle(const Event& e) {
  if (e.type == EventType::Close && kind_ != Kind::Dialog) {
    // A close request posted to a child (a button's parent) closes its window.
    if (Dialog* d = dialog()) app().dispatch({EventType::Close, d->id()});
    return;
  }
  if (e.type == EventType::Key && (e.key == key::Tab || e.key == key::ShiftTab)) {
    if (Dialog* d = dialog()) d->moveFocus(e.key == key::Tab);
  }
}

// ---- Dialog -------------------------------------------------------------------------------

Dialog::Dialog(Dialog* owner, Point pos, Size size, DialogFlags flags)
    : Widget(nullptr, Kind::Dialog, pos, size), owner_(owner), flags_(flags) {
  Widget::hide();
}

void Dialog::attached() {
  Widget::attached();
  area_ = &add<Widget>(Kind::Area, Point{0, 0}, size());
}

void Dialog::centreOn(Point anchor) { setPos({anchor.x - size().w / 2, anchor.y - size().h / 2}); }

std::vector<Widget*> Dialog::tabOrder() {
  std::vector<Widget*> out;
  std::function<void(Widget&)> walk = [&](Widget& w) {
    for (auto& c : w.children()) {
      if (c->tabStop() && c->isEnabled() && c->isVisible()) out.push_back(c.get());
      walk(*c);
    }
  };
  walk(*this);
  return out;
}

void Dialog::moveFocus(bool forward) {
  auto order = tabOrder();
  if (order.empty()) return;
  auto it = std::find(order.begin(), order.end(), app().focus());
  size_t n = order.size();
  size_t next;
  if (it == order.end()) {
    next = forward ? 0 : n - 1;
  } else {
    size_t i = static_cast<size_t>(it - order.begin());
    next = forward ? (i + 1) % n : (i + n - 1) % n;
  }
  app().setFocus(order[next]);
}

void Dialog::handle(const Event& e) {
  if (e.type == EventType::Close) {
    if (flags_.closeHides) hide();
    return;
  }
  if (e.type == EventType::Resized) {
    setSize(e.size);
    return;
  }
  Widget::handle(e);
}

// ---- Static, PushButton, Edit -------------------------------------------------------------

Static::Static(Widget* parent, StaticType type, Point pos, Size size)
    : Widget(parent, Kind::Static, pos, size), type_(type) {
  if (type == StaticType::Text) align_ = Align::Left;
}

std::vector<std::string> Static::lines() const {
  std::vector<std::string> out;
  const std::string& c = caption();
  size_t start = 0;
  while (true) {
    size_t nl = c.find('\n', start);
    out.push_back(c.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return out;
}

void Static::fillBox(Point at, Size size, Color color) {
  drawing_.push_back({at, size, color});
  changed(Change::Content);
}

void Static::clearDrawing() {
  drawing_.clear();
  changed(Change::Content);
}

PushButton::PushButton(Widget* parent, Point pos, Size size)
    : Widget(parent, Kind::Button, pos, size) {
  setTabStop(true);
}

void PushButton::handle(const Event& e) {
  if (e.type == EventType::Key && e.key == key::Space) {
    app().dispatch({EventType::Activate, id()});
    return;
  }
  Widget::handle(e);
}

Edit::Edit(Widget* parent, Point pos, Size size, int bufferLength)
    : Widget(parent, Kind::Edit, pos, size), bufferLength_(bufferLength) {
  setTabStop(true);
}

void Edit::setText(std::string oem) {
  if (bufferLength_ > 0 && static_cast<int>(oem.size()) > bufferLength_) oem.resize(bufferLength_);
  text_ = std::move(oem);
  cursor_ = static_cast<int>(text_.size());
  changed(Change::Content);
}

void Edit::handle(const Event& e) {
  if (e.type != EventType::Key) return Widget::handle(e);
  int k = e.key;
  int n = static_cast<int>(text_.size());
  if (key::isChar(k)) {
    if (bufferLength_ > 0 && n >= bufferLength_) return;
    text_.insert(text_.begin() + cursor_, static_cast<char>(k));
    ++cursor_;
  } else if (k == key::Backspace) {
    if (cursor_ == 0) return;
    text_.erase(static_cast<size_t>(--cursor_), 1);
  } else if (k == key::Delete) {
    if (cursor_ >= n) return;
    text_.erase(static_cast<size_t>(cursor_), 1);
  } else if (k == key::Left) {
    cursor_ = std::max(0, cursor_ - 1);
  } else if (k == key::Right) {
    cursor_ = std::min(n, cursor_ + 1);
  } else if (k == key::Home) {
    cursor_ = 0;
  } else if (k == key::End) {
    cursor_ = n;
  } else {
    return Widget::handle(e);
  }
  changed(Change::Content);
}

// ---- TreeView -----------------------------------------------------------------------------

int TreeItem::depth() const {
  int d = 0;
  for (const TreeItem* p = parent_; p && p->parent_; p = p->parent_) ++d;
  return d;
}

TreeView::TreeView(Widget* parent, Point pos, Size size) : Widget(parent, Kind::Tree, pos, size) {
  setTabStop(true);
  root_.expanded_ = true;
}

TreeItem& TreeView::addItem(TreeItem& parent, std::string caption, std::string data, rt::Value tag,
                            int icon, int iconSelected) {
  auto item = std::make_unique<TreeItem>();
  item->caption = std::move(caption);
  item->data = std::move(data);
  item->tag = std::move(tag);
  item->icon = icon;
  item->iconSelected = iconSelected;
  item->id_ = nextItem_++;
  item->parent_ = &parent;
  TreeItem& ref = *item;
  parent.children_.push_back(std::move(item));
  if (!locked_) changed(Change::Content);
  return ref;
}

void TreeView::removeItem(TreeItem& item) {
  TreeItem* parent = item.parent_;
  if (!parent) return;
  for (TreeItem* m = marked_; m; m = m->parent_)
    if (m == &item) {
      marked_ = nullptr;
      break;
    }
  auto& list = parent->children_;
  list.erase(std::remove_if(list.begin(), list.end(), [&](auto& c) { return c.get() == &item; }),
             list.end());
  if (!locked_) changed(Change::Content);
}

void TreeView::setExpanded(TreeItem& item, bool on) {
  item.expanded_ = on;
  if (!locked_) changed(Change::Content);
}

void TreeView::mark(TreeItem& item) {
  marked_ = &item;
  for (TreeItem* p = item.parent_; p && p != &root_; p = p->parent_) p->expanded_ = true;
  changed(Change::Content);
  if (onItemMarked) onItemMarked(item);
}

TreeItem* TreeView::find(uint64_t id) {
  std::function<TreeItem*(TreeItem&)> walk = [&](TreeItem& t) -> TreeItem* {
    if (t.id_ == id && &t != &root_) return &t;
    for (auto& c : t.children_)
      if (TreeItem* f = walk(*c)) return f;
    return nullptr;
  };
  return walk(root_);
}

std::vector<TreeItem*> TreeView::shownItems() {
  std::vector<TreeItem*> out;
  std::function<void(TreeItem&)> walk = [&](TreeItem& t) {
    for (auto& c : t.children_) {
      out.push_back(c.get());
      if (c->expanded_) walk(*c);
    }
  };
  walk(root_);
  return out;
}

void TreeView::lockUpdate(bool on) {
  locked_ = on;
  if (!on) changed(Change::Content);
}

void TreeView::handle(const Event& e) {
  TreeItem* item = e.item ? find(e.item) : marked_;
  switch (e.type) {
    case EventType::ItemMarked:
      if (item) mark(*item);
      return;
    case EventType::ItemSelected:
      if (item && onItemSelected) onItemSelected(*item);
      return;
    case EventType::ItemExpanded:
      if (!item) return;
      if (onItemExpanded) onItemExpanded(*item);
      if ((item = e.item ? find(e.item) : marked_)) setExpanded(*item, true);
      return;
    case EventType::ItemCollapsed:
      if (!item) return;
      setExpanded(*item, false);
      if (onItemCollapsed) onItemCollapsed(*item);
      return;
    case EventType::ContextMenu:
      if (!item) return;
      mark(*item);
      if (onContextMenu) onContextMenu(*item, e.pos);
      return;
    case EventType::Key:
      break;
    default:
      return Widget::handle(e);
  }
  auto shown = shownItems();
  auto at = std::find(shown.begin(), shown.end(), marked_);
  switch (e.key) {
    case key::Down:
      if (at == shown.end()) {
        if (!shown.empty()) mark(*shown.front());
      } else if (at + 1 != shown.end()) {
        mark(**(at + 1));
      }
      return;
    case key::Up:
      if (at != shown.end() && at != shown.begin()) mark(**(at - 1));
      return;
    case key::Right:
      if (marked_ && !marked_->expanded_) handle({EventType::ItemExpanded, id(), 0, marked_->id_});
      return;
    case key::Left:
      if (!marked_) return;
      if (marked_->expanded_) {
        handle({EventType::ItemCollapsed, id(), 0, marked_->id_});
      } else if (marked_->parent_ && marked_->parent_ != &root_) {
        mark(*marked_->parent_);
      }
      return;
    default:
      Widget::handle(e);
  }
}

// ---- Menu ---------------------------------------------------------------------------------

void Menu::addItem(std::string caption, std::function<void()> action) {
  items_.push_back({std::move(caption), std::move(action)});
}

int Menu::popup(Point at) {
  chosen_ = 0;
  app().backend().popup(*this, at);
  int c = chosen_;
  if (c < 1 || c > static_cast<int>(items_.size())) return 0;
  if (items_[c - 1].action) items_[c - 1].action();
  return c;
}

}  // namespace tav::gui

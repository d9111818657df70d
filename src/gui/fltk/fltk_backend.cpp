// The FLTK backend, mapping the widget model onto real windows. Built as a stub without FLTK.
// Pixmaps go before the display connection closes, never at process exit after it.

#include "gui/fltk/fltk_backend.h"

#ifndef TAV_HAVE_FLTK

#include "gui/headless/headless.h"

namespace tav::gui {
std::unique_ptr<Backend> makeFltkBackend() { return nullptr; }
void releaseFltkDisplay() { app().setBackend(std::make_unique<Headless>()); }
}  // namespace tav::gui

#else

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Tree.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>

#include "gui/headless/headless.h"
#include "gui/resources.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"

namespace tav::gui {
namespace {

void* asData(uint64_t id) { return reinterpret_cast<void*>(static_cast<uintptr_t>(id)); }
uint64_t idOf(const Fl_Widget* w) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(w->user_data()));
}
uint64_t idOf(const Fl_Tree_Item* i) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(i->user_data()));
}

Fl_Color flColor(Color c) { return fl_rgb_color(c.r, c.g, c.b); }
std::string utf8(const std::string& oem) { return rt::oemToUtf8(oem); }

// Point sizes are Windows points at 96 dpi.
int pixelSize(const Font& f) { return f.height > 0 ? f.height : (f.pointSize * 96 + 36) / 72; }

// Windows face names mapped to the metric-compatible faces of fonts-liberation.
std::string hostFace(const std::string& name) {
  if (name == "Arial") return "Liberation Sans";
  if (name == "Times New Roman") return "Liberation Serif";
  if (name == "Courier New") return "Liberation Mono";
  return name;
}

class FontTable {
 public:
  Fl_Font get(const Font& f) {
    // Xft font names carry their style in the first character.
    char style = f.bold ? (f.italic ? 'P' : 'B') : (f.italic ? 'I' : ' ');
    std::string name = style + hostFace(f.name);
    auto it = known_.find(name);
    if (it != known_.end()) return it->second;
    names_.push_back(name);  // FLTK keeps the pointer
    Fl_Font id = next_++;
    Fl::set_font(id, names_.back().c_str());
    known_[name] = id;
    return id;
  }

 private:
  std::map<std::string, Fl_Font> known_;
  std::deque<std::string> names_;
  Fl_Font next_ = FL_FREE_FONT;
};

FontTable& fonts() {
  static FontTable t;
  return t;
}

void useFont(const Font& f) { fl_font(fonts().get(f), pixelSize(f)); }

// Pixmaps hold server resources of the display they were drawn on: they go before it closes,
// never at process exit after it.
std::map<int, std::unique_ptr<Fl_Pixmap> >& pixmapCache() {
  static std::map<int, std::unique_ptr<Fl_Pixmap> > cache;
  return cache;
}

Fl_Pixmap* pixmap(int resource) {
  auto& cache = pixmapCache();
  auto it = cache.find(resource);
  if (it != cache.end()) return it->second.get();
  const char* const* data = imageData(resource);
  Fl_Pixmap* p = data ? new Fl_Pixmap(data) : nullptr;
  cache[resource].reset(p);
  return p;
}

// The key the tool sees for the current FLTK keyboard event; 0 for none.
int mapKey() {
  int k = Fl::event_key();
  bool shift = Fl::event_state(FL_SHIFT);
  switch (k) {
    case FL_Escape:
      return key::Esc;
    case FL_Enter:
    case FL_KP_Enter:
      return key::Enter;
    case FL_Tab:
      return shift ? key::ShiftTab : key::Tab;
    case FL_Left:
      return key::Left;
    case FL_Right:
      return key::Right;
    case FL_Up:
      return key::Up;
    case FL_Down:
      return key::Down;
    case FL_Insert:
      return key::Insert;
    case FL_Delete:
      return key::Delete;
    case FL_Home:
      return key::Home;
    case FL_End:
      return key::End;
    case FL_BackSpace:
      return key::Backspace;
    case FL_F + 4:
      return key::F4;
    default:
      break;
  }
  if (Fl::event_state(FL_CTRL | FL_ALT | FL_META)) return 0;
  std::string oem = rt::utf8ToOem(Fl::event_text());
  if (oem.size() == 1 && key::isChar(static_cast<unsigned char>(oem[0])))
    return static_cast<unsigned char>(oem[0]);
  return 0;
}

// Keys go to the widget that has the tool's focus when they are handled, else to the window's
// drawing area.
int postKey(uint64_t windowId) {
  int k = mapKey();
  if (!k) return 0;
  if (!app().focus()) {
    Widget* w = app().find(windowId);
    Dialog* d = w ? w->dialog() : nullptr;
    if (d) app().postKey(d->drawingArea(), k);
    return 1;
  }
  app().post({EventType::Key, 0, k});
  return 1;
}

uint64_t windowOf(const Fl_Widget* n) {
  const Fl_Window* w = n->window();
  return w ? idOf(w) : 0;
}

bool syncing = false;  // native changes made by the backend itself are not user input

class NativeWindow : public Fl_Double_Window {
 public:
  NativeWindow(uint64_t id, int x, int y, int w, int h) : Fl_Double_Window(x, y, w, h) {
    user_data(asData(id));
    callback([](Fl_Widget* self, void*) {
      // The close box; Esc reaches the tool as a key instead.
      if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
      app().post({EventType::Close, idOf(self)});
    });
  }
  int handle(int e) override {
    if (e == FL_KEYBOARD) return postKey(idOf(this));
    return Fl_Double_Window::handle(e);
  }
  void resize(int x, int y, int w, int h) override {
    bool sized = w != this->w() || h != this->h();
    Fl_Double_Window::resize(x, y, w, h);
    if (sized && !syncing) {
      Event ev{EventType::Resized, idOf(this)};
      ev.size = {w, h};
      app().post(ev);
    }
  }
};

class NativeArea : public Fl_Box {
 public:
  NativeArea(uint64_t id) : Fl_Box(FL_FLAT_BOX, 0, 0, 1, 1, nullptr) { user_data(asData(id)); }
  // A disabled drawing area keeps its colour; only what stands on it looks disabled.
  void draw() override { fl_rectf(x(), y(), w(), h(), color()); }
};

void drawImage(int resource, int x, int y, int w, int h) {
  Fl_Pixmap* p = pixmap(resource);
  if (!p) return;
  fl_push_clip(x, y, w, h);
  p->draw(x + (w - p->w()) / 2, y + (h - p->h()) / 2);
  fl_pop_clip();
}

void drawLines(const std::vector<std::string>& lines, const Font& font, Align align, int x, int y,
               int w, int h) {
  useFont(font);
  int lh = fl_height();
  int top = y + (h - lh * static_cast<int>(lines.size())) / 2;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string s = utf8(lines[i]);
    int tw = static_cast<int>(fl_width(s.c_str()));
    int tx = align == Align::Left    ? x + 2
             : align == Align::Right ? x + w - tw - 2
                                     : x + (w - tw) / 2;
    fl_draw(s.c_str(), tx, top + static_cast<int>(i) * lh + lh - fl_descent());
  }
}

class NativeStatic : public Fl_Widget {
 public:
  NativeStatic(uint64_t id) : Fl_Widget(0, 0, 1, 1) { user_data(asData(id)); }
  void draw() override {
    auto* s = dynamic_cast<Static*>(app().find(idOf(this)));
    if (!s) return;
    Fl_Color back = flColor(s->bg());
    switch (s->type()) {
      case StaticType::Text:
        fl_rectf(x(), y(), w(), h(), back);
        fl_color(active_r() ? flColor(s->fg()) : fl_inactive(flColor(s->fg())));
        drawLines(s->lines(), s->font(), s->align(), x(), y(), w(), h());
        break;
      case StaticType::RaisedBox:
        fl_draw_box(FL_UP_BOX, x(), y(), w(), h(), back);
        break;
      case StaticType::RecessedBox:
        fl_draw_box(FL_DOWN_BOX, x(), y(), w(), h(), back);
        break;
      case StaticType::GroupBox: {
        useFont(s->font());
        int half = fl_height() / 2;
        fl_rectf(x(), y(), w(), h(), back);
        fl_draw_box(FL_ENGRAVED_FRAME, x(), y() + half, w(), h() - half, back);
        std::string c = utf8(s->caption());
        if (!c.empty()) {
          int tw = static_cast<int>(fl_width(c.c_str()));
          fl_rectf(x() + 6, y(), tw + 4, fl_height(), back);
          fl_color(flColor(s->fg()));
          fl_draw(c.c_str(), x() + 8, y() + fl_height() - fl_descent());
        }
        break;
      }
      case StaticType::Bitmap:
      case StaticType::Icon:
        drawImage(s->image(), x(), y(), w(), h());
        break;
    }
    for (const Static::Box& b : s->drawing()) {
      int bx = x() + b.at.x;
      int by = y() + h() - b.at.y - b.size.h;
      fl_push_clip(x(), y(), w(), h());
      fl_rectf(bx, by, b.size.w, b.size.h, flColor(b.color));
      fl_pop_clip();
    }
  }
};

class NativeButton : public Fl_Widget {
 public:
  NativeButton(uint64_t id) : Fl_Widget(0, 0, 1, 1) { user_data(asData(id)); }
  int handle(int e) override {
    uint64_t id = idOf(this);
    switch (e) {
      case FL_ENTER:
        app().post({EventType::MouseEnter, id});
        return 1;
      case FL_LEAVE:
        app().post({EventType::MouseLeave, id});
        return 1;
      case FL_PUSH:
        pressed_ = true;
        redraw();
        return 1;
      case FL_DRAG:
        return 1;
      case FL_RELEASE:
        pressed_ = false;
        redraw();
        if (Fl::event_inside(this)) {
          app().post({EventType::SetFocus, id});
          app().post({EventType::Activate, id});
        }
        return 1;
      case FL_KEYBOARD:
        return postKey(windowOf(this));
      case FL_FOCUS:
      case FL_UNFOCUS:
        redraw();
        return 1;
      default:
        return 0;
    }
  }
  void draw() override {
    Widget* m = app().find(idOf(this));
    if (!m) return;
    fl_draw_box(pressed_ ? FL_DOWN_BOX : FL_UP_BOX, x(), y(), w(), h(), flColor(m->bg()));
    int image = static_cast<PushButton*>(m)->image();
    if (image) drawImage(image, x(), y(), w(), h());
    fl_color(active_r() ? flColor(m->fg()) : fl_inactive(flColor(m->fg())));
    if (!m->caption().empty())
      drawLines({m->caption()}, m->font(), Align::Center, x(), y(), w(), h());
    if (m->hasFocus()) {
      fl_color(FL_BLACK);
      fl_line_style(FL_DOT);
      fl_rect(x() + 4, y() + 4, w() - 8, h() - 8);
      fl_line_style(0);
    }
  }

 private:
  bool pressed_ = false;
};

class NativeEdit : public Fl_Input {
 public:
  NativeEdit(uint64_t id) : Fl_Input(0, 0, 1, 1) { user_data(asData(id)); }
  int handle(int e) override {
    switch (e) {
      case FL_KEYBOARD:
        return postKey(windowOf(this));
      case FL_PUSH:
        app().post({EventType::SetFocus, idOf(this)});
        return 1;
      case FL_PASTE:
      case FL_SHORTCUT:
      case FL_DRAG:
      case FL_RELEASE:
        return 0;
      default:
        return Fl_Input::handle(e);
    }
  }
};

class NativeTree : public Fl_Tree {
 public:
  NativeTree(uint64_t id) : Fl_Tree(0, 0, 1, 1) {
    user_data(asData(id));
    showroot(0);
    callback([](Fl_Widget* self, void*) {
      if (syncing) return;
      auto* t = static_cast<NativeTree*>(self);
      Fl_Tree_Item* item = t->callback_item();
      if (!item) return;
      EventType type;
      switch (t->callback_reason()) {
        case FL_TREE_REASON_SELECTED:
          type = EventType::ItemMarked;
          break;
        case FL_TREE_REASON_OPENED:
          type = EventType::ItemExpanded;
          break;
        case FL_TREE_REASON_CLOSED:
          type = EventType::ItemCollapsed;
          break;
        default:
          return;
      }
      app().post({type, idOf(self), 0, idOf(item)});
    });
  }
  int handle(int e) override {
    uint64_t id = idOf(this);
    if (e == FL_KEYBOARD) return postKey(windowOf(this));
    if (e == FL_PUSH) {
      app().post({EventType::SetFocus, id});
      Fl_Tree_Item* item = find_clicked();
      if (Fl::event_button() == FL_RIGHT_MOUSE) {
        if (item) {
          Event ev{EventType::ContextMenu, id, 0, idOf(item)};
          ev.pos = {Fl::event_x(), Fl::event_y()};
          app().post(ev);
        }
        return 1;
      }
      int r = Fl_Tree::handle(e);
      if (item && Fl::event_clicks() > 0) app().post({EventType::ItemSelected, id, 0, idOf(item)});
      return r;
    }
    return Fl_Tree::handle(e);
  }
};

class FltkBackend : public Backend {
 public:
  FltkBackend() {
    Fl::scheme("gtk+");
    Fl::visible_focus(1);
    // With a screen the tool's tones are the display's bell rather than the terminal's.
    previousTone_ = rt::setToneSink([](double frequency, double ticks) {
      if (frequency > 0 && ticks > 0) fl_beep(FL_BEEP_DEFAULT);
    });
  }
  ~FltkBackend() override {
    app().reset();
    rt::setToneSink(std::move(previousTone_));
  }

  const char* name() const override { return "fltk"; }
  Size screenSize() override { return {Fl::w(), Fl::h()}; }
  Size textSize(const Font& font, std::string_view oemLine) override {
    useFont(font);
    std::string s = utf8(std::string(oemLine));
    return {static_cast<int>(std::ceil(fl_width(s.c_str()))), fl_height()};
  }
  double seconds() override {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
  }
  void pump(int hundredths) override {
    if (hundredths < 0) {
      Fl::wait(1e20);
    } else {
      Fl::wait(hundredths / 100.0);
    }
  }
  void flush() override { Fl::check(); }

  void popup(Menu& menu, Point) override {
    std::vector<std::string> labels;
    for (size_t i = 0; i < menu.count(); ++i) {
      std::string c = utf8(menu.caption(i));
      for (char& ch : c)
        if (ch == '~') ch = '&';
      labels.push_back(c);
    }
    std::vector<Fl_Menu_Item> items(labels.size() + 1);
    for (size_t i = 0; i < labels.size(); ++i) {
      items[i] = Fl_Menu_Item{};
      items[i].text = labels[i].c_str();
    }
    items.back() = Fl_Menu_Item{};
    const Fl_Menu_Item* chosen = items[0].popup(Fl::event_x(), Fl::event_y());
    if (chosen) menu.choose(static_cast<int>(chosen - items.data()) + 1);
  }

  void created(Widget& w) override {
    Fl_Group::current(nullptr);
    if (w.kind() == Kind::Dialog) {
      auto* win = new NativeWindow(w.id(), 0, 0, std::max(1, w.size().w), std::max(1, w.size().h));
      win->end();
      auto& d = static_cast<Dialog&>(w);
      // Owned and always-on-top windows stay above the application's other windows.
      if (d.owner() || d.flags().alwaysOnTop) win->set_non_modal();
      natives_[w.id()] = win;
      syncDialog(d);
      return;
    }
    Dialog* d = w.dialog();
    auto* win = d ? window(*d) : nullptr;
    if (!win) return;
    Fl_Widget* n = nullptr;
    switch (w.kind()) {
      case Kind::Area:
        n = new NativeArea(w.id());
        break;
      case Kind::Static:
        n = new NativeStatic(w.id());
        break;
      case Kind::Button:
        n = new NativeButton(w.id());
        break;
      case Kind::Edit:
        n = new NativeEdit(w.id());
        break;
      case Kind::Tree:
        n = new NativeTree(w.id());
        break;
      case Kind::Dialog:
        return;
    }
    win->add(n);
    natives_[w.id()] = n;
    syncWidget(w);
  }

  void destroyed(Widget& w) override {
    auto it = natives_.find(w.id());
    if (it == natives_.end()) return;
    Fl_Widget* n = it->second;
    natives_.erase(it);
    if (Fl_Group* parent = n->parent()) parent->remove(n);
    if (Fl_Window* win = n->as_window()) win->hide();
    delete n;
  }

  void changed(Widget& w, Change c) override {
    Fl_Widget* n = native(w);
    if (!n) return;
    syncing = true;
    if (w.kind() == Kind::Dialog) {
      auto& d = static_cast<Dialog&>(w);
      syncDialog(d);
      if (c == Change::Geometry || c == Change::State) syncTree(d.drawingArea());
    } else if (c == Change::Geometry || c == Change::State) {
      syncTree(w);
    } else {
      syncWidget(w);
    }
    syncing = false;
    if (c == Change::Focus && w.hasFocus() && n->visible_r() && Fl::focus() != n) n->take_focus();
  }

 private:
  Fl_Widget* native(const Widget& w) {
    auto it = natives_.find(w.id());
    return it == natives_.end() ? nullptr : it->second;
  }
  NativeWindow* window(Dialog& d) { return static_cast<NativeWindow*>(native(d)); }

  void syncDialog(Dialog& d) {
    auto* win = window(d);
    if (!win) return;
    bool was = syncing;
    syncing = true;
    Size s = d.size();
    int top = Fl::h() - d.pos().y - s.h;
    win->resize(d.pos().x, top, s.w, s.h);
    if (d.flags().resizable) {
      win->size_range(std::max(1, d.minSize().w), std::max(1, d.minSize().h), d.maxSize().w,
                      d.maxSize().h);
    } else {
      win->size_range(s.w, s.h, s.w, s.h);
    }
    win->copy_label(utf8(d.title()).c_str());
    if (d.icon() != icon_[d.id()]) {
      icon_[d.id()] = d.icon();
      if (Fl_Pixmap* p = pixmap(d.icon())) {
        Fl_RGB_Image rgb(p, FL_GRAY);
        win->icon(&rgb);
      }
    }
    if (d.isVisible() && !win->shown()) {
      win->show();
      // Until the server has mapped it, anything drawn into it is lost, and a notice shown
      // before long work without events would stay blank.
      win->wait_for_expose();
    } else if (d.isVisible()) {
      win->show();  // raises a window that is shown again
    } else if (!d.isVisible() && win->shown()) {
      win->hide();
    }
    syncing = was;
  }

  void syncTree(Widget& w) {
    syncWidget(w);
    for (auto& c : w.children()) syncTree(*c);
  }

  void syncWidget(Widget& w) {
    Fl_Widget* n = native(w);
    Dialog* d = w.dialog();
    if (!n || !d) return;
    Point p = w.posInDialog();
    n->resize(p.x, d->size().h - p.y - w.size().h, w.size().w, w.size().h);
    if (w.isVisible())
      n->show();
    else
      n->hide();
    if (w.isEnabled())
      n->activate();
    else
      n->deactivate();
    n->color(flColor(w.bg()));
    n->labelcolor(flColor(w.fg()));
    if (w.kind() == Kind::Edit) {
      auto& e = static_cast<Edit&>(w);
      auto* in = static_cast<NativeEdit*>(n);
      std::string text = utf8(e.text());
      in->value(text.c_str());
      in->textfont(fonts().get(w.font()));
      in->textsize(pixelSize(w.font()));
      in->color(FL_WHITE);
      in->textcolor(FL_BLACK);
      in->position(
          static_cast<int>(utf8(e.text().substr(0, static_cast<size_t>(e.cursor()))).size()));
    } else if (w.kind() == Kind::Tree) {
      rebuild(static_cast<TreeView&>(w), static_cast<NativeTree*>(n));
    }
    n->redraw();
    if (Fl_Window* win = n->window()) win->redraw();
  }

  void rebuild(TreeView& t, NativeTree* n) {
    if (t.updatesLocked()) return;
    n->clear_children(n->root());  // clear() would delete the root item as well
    n->item_labelfont(fonts().get(t.font()));
    n->item_labelsize(pixelSize(t.font()));
    std::function<void(TreeItem&, Fl_Tree_Item*)> add = [&](TreeItem& item, Fl_Tree_Item* parent) {
      for (auto& c : item.children()) {
        std::string label = utf8(c->caption);
        Fl_Tree_Item* ni = n->add(parent, label.c_str());
        if (!ni) continue;
        ni->user_data(asData(c->id()));
        int icon = (t.marked() == c.get() && c->iconSelected) ? c->iconSelected : c->icon;
        if (icon) ni->usericon(pixmap(icon));
        add(*c, ni);
        if (c->expanded())
          n->open(ni, 0);
        else
          n->close(ni, 0);
        if (t.marked() == c.get()) {
          n->select_only(ni, 0);
          n->set_item_focus(ni);
        }
      }
    };
    add(t.root(), n->root());
  }

  std::map<uint64_t, Fl_Widget*> natives_;
  std::map<uint64_t, int> icon_;
  rt::ToneSink previousTone_;
};

}  // namespace

std::unique_ptr<Backend> makeFltkBackend() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return nullptr;
  // FLTK ends the process when it cannot open its display, so open it here and hand it over.
  // Closing a probe connection instead would let a server whose last client left reset itself
  // just as FLTK connects.
  Display* d = XOpenDisplay(nullptr);
  if (!d) return nullptr;
  fl_open_display(d);
  return std::make_unique<FltkBackend>();
}

void releaseFltkDisplay() {
  app().setBackend(std::make_unique<Headless>());
  pixmapCache().clear();
  if (fl_display) fl_close_display();
}

}  // namespace tav::gui

#endif

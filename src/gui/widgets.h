#pragma once

// The widget model of the toolkit. A parent owns its children, and events name their target by id,
// so an event that outlives its target is dropped instead of reaching freed memory.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/types.h"
#include "runtime/value.h"

namespace tav::gui {

class Dialog;

enum class EventType : uint8_t {
  Close,     // a window-close request (close box, or posted)
  Activate,  // a click on a button, or a posted activation
  Key,       // a key for the target; printable keys are 852 bytes
  SetFocus,  // give the target the input focus
  MouseEnter,
  MouseLeave,
  Timer,
  ItemMarked,    // tree: an item became the current one
  ItemSelected,  // tree: double click on an item
  ItemExpanded,  // tree: the expand button of an item
  ItemCollapsed,
  ContextMenu,  // tree: right button on an item
  Resized,      // a dialog got a new size from the user
};

struct Event {
  Event() = default;
  Event(EventType t, uint64_t to = 0, int k = 0, uint64_t it = 0)
      : type(t), target(to), key(k), item(it) {}
  EventType type = EventType::Key;
  uint64_t target = 0;  // widget id, 0 for none; a destroyed target makes the event a no-op
  int key = 0;
  uint64_t item = 0;  // tree item id, or timer id
  Point pos;
  Size size;
};

enum class Kind : uint8_t { Dialog, Area, Static, Button, Edit, Tree };

// What changed, so that a backend updates only that part of its native object.
enum class Change : uint8_t { Geometry, Caption, Font, Colors, State, Focus, Content };

// A toolkit object. Children are owned by their parent; a pointer to a widget stays valid until
// the widget or one of its ancestors is destroyed. Events name their target by id, so an event
// that outlives its target is simply dropped.
class Widget {
 public:
  using Callback = std::function<void(Widget&)>;
  using KeyCallback = std::function<void(int key, Widget&)>;

  Widget(Widget* parent, Kind kind, Point pos, Size size);
  virtual ~Widget();
  Widget(const Widget&) = delete;
  Widget& operator=(const Widget&) = delete;

  uint64_t id() const { return id_; }
  Kind kind() const { return kind_; }
  Widget* parent() const { return parent_; }
  Dialog* dialog();  // the top-level window this widget belongs to
  const std::vector<std::unique_ptr<Widget>>& children() const { return children_; }

  template <class T, class... A>
  T& add(A&&... args) {
    auto w = std::make_unique<T>(this, std::forward<A>(args)...);
    T& ref = *w;
    children_.push_back(std::move(w));
    ref.attached();
    return ref;
  }
  // Destroys this widget and its subtree (a dialog leaves the application). Gone on return.
  void destroy();

  Point pos() const { return pos_; }
  Size size() const { return size_; }
  void setPos(Point p);
  void setSize(Size s);
  void setPosAndSize(Point p, Size s);
  // Position of the lower-left corner in the coordinates of the top-level dialog's drawing area.
  Point posInDialog() const;

  const std::string& caption() const { return caption_; }
  void setCaption(std::string oem);
  const Font& font() const { return font_; }
  void setFont(const Font& f);
  Color fg() const { return fg_; }
  Color bg() const { return bg_; }
  void setColors(Color fg, Color bg);
  void setBackground(Color bg) { setColors(fg_, bg); }

  bool enabledSelf() const { return enabled_; }
  bool isEnabled() const;  // this one and every ancestor
  void enable();
  void disable();
  bool visibleSelf() const { return visible_; }
  bool isVisible() const;
  void show();
  void hide();

  bool tabStop() const { return tabStop_; }
  void setTabStop(bool on) { tabStop_ = on; }
  bool hasFocus() const;
  void setFocus();

  rt::Value tag;  // free for the screens (a button's number, a dialog's {value, done})

  KeyCallback onKey;  // runs before the default key handling
  Callback onActivate, onSetFocus, onKillFocus, onEnter, onLeave, onClose;

  // Default handling after the callbacks; subclasses extend it.
  virtual void handle(const Event& e);

 protected:
  void changed(Change c);
  virtual void attached();

 private:
  friend class Application;
  void removeChild(Widget* w);

  uint64_t id_;
  Kind kind_;
  Widget* parent_;
  std::vector<std::unique_ptr<Widget>> children_;
  Point pos_;
  Size size_;
  std::string caption_;
  Font font_;
  Color fg_ = kDarkGrey;
  Color bg_ = kDialogBack;
  bool enabled_ = true;
  bool visible_ = true;
  bool tabStop_ = false;
};

struct DialogFlags {
  bool taskList = true;
  bool titleBar = true;
  bool sysMenu = true;
  bool minButton = false;
  bool maxButton = false;
  bool resizable = false;
  bool alwaysOnTop = false;
  bool visualStyle = true;
  bool closeHides = false;  // the close box only hides the window
};

// A top-level window. Its size is the size of its drawing area: the host's window manager adds
// the title bar and border outside it, so a screen laid out for W x H gets all of W x H.
// Dialogs start hidden; position is screen coordinates of the lower-left corner.
class Dialog : public Widget {
 public:
  Dialog(Dialog* owner, Point pos, Size size, DialogFlags flags);

  Dialog* owner() const { return owner_; }
  const DialogFlags& flags() const { return flags_; }
  const std::string& title() const { return caption(); }
  void setTitle(std::string oem) { setCaption(std::move(oem)); }
  int icon() const { return icon_; }
  void setIcon(int resource) {
    icon_ = resource;
    changed(Change::Content);
  }
  Size minSize() const { return minSize_; }
  Size maxSize() const { return maxSize_; }
  void setMinMax(Size mn, Size mx) {
    minSize_ = mn;
    maxSize_ = mx;
    changed(Change::Geometry);
  }
  void centreOn(Point anchor);  // anchor in screen coordinates

  Widget& drawingArea() { return *area_; }

  // Tab order: tab-stop widgets of the dialog in creation order, enabled and visible ones only.
  std::vector<Widget*> tabOrder();
  void moveFocus(bool forward);

  void handle(const Event& e) override;

 protected:
  void attached() override;

 private:
  friend class Widget;
  friend class Application;
  Dialog* owner_;
  DialogFlags flags_;
  int icon_ = 0;
  Size minSize_, maxSize_;
  Widget* area_ = nullptr;
};

enum class StaticType : uint8_t { Text, RaisedBox, RecessedBox, GroupBox, Bitmap, Icon };

// Static text, frames, group boxes and images. Boxes can also be drawn on, like a presentation
// space: the drawing is a list of filled boxes in the static's own lower-left coordinates.
class Static : public Widget {
 public:
  struct Box {
    Point at;
    Size size;
    Color color;
  };
  Static(Widget* parent, StaticType type, Point pos, Size size);

  StaticType type() const { return type_; }
  Align align() const { return align_; }
  void setAlign(Align a) {
    align_ = a;
    changed(Change::Content);
  }
  int image() const { return image_; }
  void setImage(int resource) {
    image_ = resource;
    changed(Change::Content);
  }
  // The caption's lines, split at line breaks.
  std::vector<std::string> lines() const;

  const std::vector<Box>& drawing() const { return drawing_; }
  void fillBox(Point at, Size size, Color color);
  void clearDrawing();

 private:
  StaticType type_;
  Align align_ = Align::Left;
  int image_ = 0;
  std::vector<Box> drawing_;
};

class PushButton : public Widget {
 public:
  PushButton(Widget* parent, Point pos, Size size);
  int image() const { return image_; }
  void setImage(int resource) {
    image_ = resource;
    changed(Change::Content);
  }
  void handle(const Event& e) override;

 private:
  int image_ = 0;
};

// Single-line edit field. Editing happens here for every backend, so that the buffer length and
// the keys behave the same on screen and in tests.
class Edit : public Widget {
 public:
  Edit(Widget* parent, Point pos, Size size, int bufferLength);
  const std::string& text() const { return text_; }
  void setText(std::string oem);
  int bufferLength() const { return bufferLength_; }
  int cursor() const { return cursor_; }
  void handle(const Event& e) override;

 private:
  std::string text_;
  int bufferLength_;
  int cursor_ = 0;
};

class TreeItem {
 public:
  std::string caption;
  std::string data;
  rt::Value tag;
  int icon = 0;
  int iconSelected = 0;

  uint64_t id() const { return id_; }
  TreeItem* parent() const { return parent_; }
  bool expanded() const { return expanded_; }
  const std::vector<std::unique_ptr<TreeItem>>& children() const { return children_; }
  int depth() const;

 private:
  friend class TreeView;
  uint64_t id_ = 0;
  TreeItem* parent_ = nullptr;
  bool expanded_ = false;
  std::vector<std::unique_ptr<TreeItem>> children_;
};

class TreeView : public Widget {
 public:
  using ItemCallback = std::function<void(TreeItem&)>;
  TreeView(Widget* parent, Point pos, Size size);

  TreeItem& root() { return root_; }  // invisible; its children are the top items
  TreeItem& addItem(TreeItem& parent, std::string caption, std::string data, rt::Value tag,
                    int icon = 0, int iconSelected = 0);
  void removeItem(TreeItem& item);
  void setExpanded(TreeItem& item, bool on);
  TreeItem* marked() const { return marked_; }
  void mark(TreeItem& item);  // makes it current and runs onItemMarked
  TreeItem* find(uint64_t id);
  std::vector<TreeItem*> shownItems();  // in display order: items whose ancestors are expanded
  void lockUpdate(bool on);
  bool updatesLocked() const { return locked_; }
  // Items changed outside the view's methods (captions, data): refresh the native view.
  void refresh() { changed(Change::Content); }

  ItemCallback onItemMarked, onItemSelected, onItemExpanded, onItemCollapsed;
  std::function<void(TreeItem&, Point)> onContextMenu;

  void handle(const Event& e) override;

 private:
  TreeItem root_;
  TreeItem* marked_ = nullptr;
  bool locked_ = false;
  uint64_t nextItem_ = 1;
};

// Pop-up menu. Captions mark their hot key with "~".
class Menu {
 public:
  explicit Menu(Widget& owner) : owner_(owner) {}
  void addItem(std::string caption, std::function<void()> action);
  void setCaption(size_t index, std::string caption) {
    items_.at(index).caption = std::move(caption);
  }
  size_t count() const { return items_.size(); }
  const std::string& caption(size_t index) const { return items_.at(index).caption; }
  Widget& owner() { return owner_; }
  // Shows the menu at `at` (owner coordinates) and runs the chosen action. Returns the chosen
  // item, 1-based, or 0 when the menu was left without a choice.
  int popup(Point at);
  // The choice for a menu that is open (the backend or a test makes it); 0 leaves it.
  void choose(int index) { chosen_ = index; }
  int chosen() const { return chosen_; }

 private:
  struct Item {
    std::string caption;
    std::function<void()> action;
  };
  Widget& owner_;
  std::vector<Item> items_;
  int chosen_ = 0;
};

}  // namespace tav::gui

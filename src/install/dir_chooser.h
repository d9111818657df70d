#pragma once

// The directory chooser the installation and the upgrade ask for a program or database directory
// with. The returned path always ends with a backslash; an empty one means the user cancelled.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gui/widgets.h"
#include "runtime/value.h"

namespace tav::install {

// The directory chooser window: a tree of every drive and its directories (listed lazily, the
// first time an item or its parent opens), the chosen path, "OK" and "Rezygnuję". Inside it the
// user can also create, rename and delete directories. The dialog's tag is {path, done}.
class ORB_DIR {
 public:
  explicit ORB_DIR(gui::Dialog* owner);
  ~ORB_DIR();
  ORB_DIR(const ORB_DIR&) = delete;
  ORB_DIR& operator=(const ORB_DIR&) = delete;

  gui::Dialog& dialog() { return *dialog_; }
  // False once the window went with its owner.
  bool alive() const;

  gui::TreeView* ds = nullptr;
  gui::Edit* Edt_Path = nullptr;
  gui::PushButton* pb_Ok = nullptr;
  gui::PushButton* pb_Esc = nullptr;
  std::unique_ptr<gui::Menu> oMenu;

  // {"C:\", icon}: every drive with the icon of its type (2099 + the drive type).
  std::vector<std::pair<std::string, int>> getDriveLeter();
  void getTree(gui::TreeItem& item);      // lists the item's subdirectories once
  void getDownTree(gui::TreeItem& item);  // the item and, one level further, its children
  void check_kat();                       // the "OK" action
  void StartDir(const std::string& startDirectory);
  gui::TreeItem* FindDir(gui::TreeItem& item, const std::string& cPath);
  void NodeEdit(bool lNew);
  void NodeDelete();

  // The event loop of one choice; returns the tag's path.
  std::string run();

 private:
  void layout();
  void showPath(const gui::TreeItem& item);
  void contextMenu(gui::TreeItem& item, gui::Point at);
  bool isDrive(const gui::TreeItem& item) const;

  gui::Dialog* dialog_ = nullptr;
  uint64_t dialogId_ = 0;
};

// Lets the user pick a directory; the chosen path with a trailing backslash, or empty text when
// cancelled. startDirectory: where the tree opens (nil: the last choice, else the current drive's
// root; empty: the current drive's root). close false keeps the chooser hidden for the next call.
// ORBDIRSELECT("CLOSE") destroys a kept chooser.
std::string ORBDIRSELECT(const rt::Value& startDirectory = {}, bool close = true,
                         gui::Dialog* owner = nullptr);

// The directory choice for one field of a screen: opens the kept chooser where the field's
// text points (C:\ when it is empty) and puts a chosen directory into the field.
void WEZ_KAT(gui::Dialog& dialog, gui::Edit& field);

// The chooser kept between calls, or null (tests look at it).
ORB_DIR* keptChooser();

}  // namespace tav::install

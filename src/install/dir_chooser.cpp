// The directory chooser: a tree of the drives and their directories, a path field, and the
// creating, renaming and deleting of directories from the tree. It creates and keeps only names
// Windows can hold, and a tree item stays as long as its directory does.
#include "install/dir_chooser.h"

#include <algorithm>
#include <functional>

#include "db/directories.h"
#include "dialogs/alarm.h"
#include "dialogs/edit_dialog.h"
#include "gui/application.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/format.h"

namespace tav::install {

using namespace rt::literals;
using dialogs::ALARM;
using gui::Point;
using gui::Size;

namespace {

constexpr int kDirIcon = 2105, kDirIconSelected = 2106, kChooserIcon = 2107, kDriveIconBase = 2099;
constexpr int kMargin = 8, kButtonH = 26, kFieldH = 22;
const Size kMinSize{320, 260};

struct Kept {
  std::unique_ptr<ORB_DIR> chooser;
  std::string lastPath;
};
Kept& kept() {
  static Kept k;
  return k;
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  return rt::upper(a) == rt::upper(b);
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string currentRoot() {
  char d = os::currentDrive();
  return d == '\\' ? std::string("C:\\") : std::string(1, d) + ":\\";
}

void setTag(gui::Dialog& d, std::string path, bool done) {
  d.tag = rt::Value(rt::Array{rt::Value(std::move(path)), rt::Value(done)});
}
bool tagDone(const gui::Dialog& d) { return d.tag.isArray() && d.tag.arr()[1].log(); }
std::string tagPath(const gui::Dialog& d) {
  return d.tag.isArray() ? d.tag.arr()[0].str() : std::string();
}

// One level of a path as Windows can hold it: not blank, none of : * ? " < > | or a control
// character, no trailing dot or space (Windows drops those, and the name would not be found
// again by what it was created as).
bool windowsCanName(std::string_view name) {
  if (name.find_first_not_of(' ') == std::string_view::npos) return false;
  for (unsigned char c : name)
    if (c < 32 || std::string_view(":*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
      return false;
  return name.back() != '.' && name.back() != ' ';
}

// A path (trailing backslash) whose every level below its drive or share can be a directory.
bool windowsCanHoldPath(const std::string& path) {
  size_t from = 0;
  if (path.size() >= 2 && path[1] == ':') {
    from = 2;
  } else if (path.rfind("\\\\", 0) == 0) {
    from = path.find('\\', 2);                                            // the server
    from = from == std::string::npos ? from : path.find('\\', from + 1);  // the share
    if (from == std::string::npos) return false;
  }
  if (from < path.size() && path[from] == '\\') ++from;
  for (size_t end; from < path.size(); from = end + 1) {
    end = path.find('\\', from);
    if (end == std::string::npos) end = path.size();
    if (!windowsCanName(std::string_view(path).substr(from, end - from))) return false;
  }
  return true;
}

// Replaces the old path by the new one at the start of the data of an item and its descendants.
void ZMIANA_NAZWY(gui::TreeItem& item, const std::string& oldPath, const std::string& newPath) {
  if (item.data.size() >= oldPath.size() &&
      sameIgnoringCase(item.data.substr(0, oldPath.size()), oldPath))
    item.data = newPath + item.data.substr(oldPath.size());
  for (auto& c : item.children()) ZMIANA_NAZWY(*c, oldPath, newPath);
}

// The validation of the name dialog: does the directory work (create or rename) and accepts the
// name when it succeeded.
bool KAT_JEST_OK(const std::string& name, gui::TreeItem& item, bool create) {
  if (name.find('\\') != std::string::npos || !windowsCanName(name)) return false;
  if (create) return static_cast<bool>(os::createDirectory(item.data + name));
  std::string parent = item.parent() ? item.parent()->data : std::string();
  if (name == item.caption) return true;  // unchanged
  return static_cast<bool>(os::renameFile(parent + item.caption, parent + name));
}

}  // namespace

ORB_DIR::ORB_DIR(gui::Dialog* owner) {
  auto& a = gui::app();
  Size size = owner ? Size{std::max(kMinSize.w, owner->size().w * 3 / 5),
                           std::max(kMinSize.h, owner->size().h)}
                    : Size{420, 460};
  gui::DialogFlags flags;
  flags.minButton = flags.maxButton = false;
  flags.resizable = true;
  flags.alwaysOnTop = true;
  dialog_ = &a.createDialog(owner, {}, size, flags);
  dialogId_ = dialog_->id();
  Size screen = a.screenSize();
  dialog_->centreOn(
      owner ? Point{owner->pos().x + owner->size().w / 2, owner->pos().y + owner->size().h / 2}
            : Point{screen.w / 2, screen.h / 2});
  dialog_->setMinMax(kMinSize, {});
  dialog_->setTitle("Wybierz katalog");
  dialog_->setIcon(kChooserIcon);
  gui::Widget& da = dialog_->drawingArea();
  da.setFont(gui::Font::parse("8.Arial"));
  da.setColors(gui::kDarkGrey, gui::kDialogBack);
  setTag(*dialog_, "", false);
  dialog_->onClose = [](gui::Widget& w) { setTag(*w.dialog(), "", true); };

  ds = &da.add<gui::TreeView>(Point{}, Size{10, 10});
  ds->setColors(gui::kButtonText, gui::rgb(255, 255, 255));
  Edt_Path = &da.add<gui::Edit>(Point{}, Size{10, 10}, 256);
  gui::Font bold = gui::Font::parse("10.Arial");
  bold.bold = true;
  pb_Ok = &da.add<gui::PushButton>(Point{}, Size{10, 10});
  pb_Ok->setCaption("OK");
  pb_Esc = &da.add<gui::PushButton>(Point{}, Size{10, 10});
  pb_Esc->setCaption("Rezygnuję"_oem);
  for (gui::PushButton* b : {pb_Ok, pb_Esc}) {
    b->setFont(bold);
    b->setColors(gui::kButtonText, gui::kButtonFace);
  }
  pb_Ok->onActivate = [this](gui::Widget&) { check_kat(); };
  pb_Esc->onActivate = [this](gui::Widget&) { setTag(*dialog_, "", true); };
  oMenu = std::make_unique<gui::Menu>(*ds);

  ds->onItemMarked = [this](gui::TreeItem& item) {
    getTree(item);
    showPath(item);
  };
  ds->onItemSelected = [this](gui::TreeItem& item) {
    getDownTree(item);
    ds->setExpanded(item, true);
    showPath(item);
  };
  ds->onItemExpanded = [this](gui::TreeItem& item) { getDownTree(item); };
  ds->onContextMenu = [this](gui::TreeItem& item, Point at) { contextMenu(item, at); };
  layout();

  for (auto& [drive, icon] : getDriveLeter()) {
    gui::TreeItem& item = ds->addItem(ds->root(), drive, drive, false, icon, icon);
    getTree(item);
  }
}

ORB_DIR::~ORB_DIR() {
  if (alive()) dialog_->destroy();
}

bool ORB_DIR::alive() const { return gui::app().find(dialogId_) == dialog_; }

void ORB_DIR::layout() {
  Size s = dialog_->size();
  int w = std::max(1, s.w - 2 * kMargin);
  int bw = std::max(60, (w - kMargin) / 4);
  pb_Esc->setPosAndSize({s.w - kMargin - bw, kMargin}, {bw, kButtonH});
  pb_Ok->setPosAndSize({s.w - 2 * kMargin - 2 * bw, kMargin}, {bw, kButtonH});
  int fieldY = 2 * kMargin + kButtonH;
  Edt_Path->setPosAndSize({kMargin, fieldY}, {w, kFieldH});
  int treeY = fieldY + kFieldH + kMargin;
  ds->setPosAndSize({kMargin, treeY}, {w, std::max(1, s.h - treeY - kMargin)});
}

bool ORB_DIR::isDrive(const gui::TreeItem& item) const { return item.parent() == &ds->root(); }

void ORB_DIR::showPath(const gui::TreeItem& item) {
  if (!sameIgnoringCase(Edt_Path->text(), item.data)) Edt_Path->setText(item.data);
}

std::vector<std::pair<std::string, int>> ORB_DIR::getDriveLeter() {
  std::vector<std::pair<std::string, int>> out;
  for (char d : os::logicalDrives())
    out.push_back({std::string(1, d) + ":\\", kDriveIconBase + static_cast<int>(os::driveType(d))});
  return out;
}

void ORB_DIR::getTree(gui::TreeItem& item) {
  if (item.tag.isLogical() && item.tag.log()) return;
  std::vector<os::DirEntry> entries = os::listDirectory(item.data + "*.*", "D");
  std::erase_if(entries, [](const os::DirEntry& e) {
    return !e.isDirectory() || e.name == "." || e.name == "..";
  });
  std::sort(entries.begin(), entries.end(), [](const os::DirEntry& a, const os::DirEntry& b) {
    return rt::upper(a.name) < rt::upper(b.name);
  });
  // One refresh of the view for the whole listing, not one per directory.
  const bool locked = ds->updatesLocked();
  if (!locked) ds->lockUpdate(true);
  for (const os::DirEntry& e : entries)
    ds->addItem(item, e.name, item.data + e.name + "\\", false, kDirIcon, kDirIconSelected);
  item.tag = true;
  if (!locked) ds->lockUpdate(false);
}

void ORB_DIR::getDownTree(gui::TreeItem& item) {
  const bool locked = ds->updatesLocked();
  ds->lockUpdate(true);
  getTree(item);
  for (auto& c : item.children()) getTree(*c);
  if (!locked) ds->lockUpdate(false);
}

gui::TreeItem* ORB_DIR::FindDir(gui::TreeItem& item, const std::string& cPath) {
  for (auto& c : item.children())
    if (sameIgnoringCase(c->data, cPath)) return c.get();
  return nullptr;
}

void ORB_DIR::StartDir(const std::string& startArg) {
  std::string path = rt::upper(startArg);
  if (path.size() < 3 || path[1] != ':' || path[2] != '\\') path = currentRoot();
  path = db::withBackslash(path);
  gui::TreeItem* at = FindDir(ds->root(), path.substr(0, 3));
  if (!at) return;
  size_t from = 3;
  for (size_t slash; (slash = path.find('\\', from)) != std::string::npos; from = slash + 1) {
    getTree(*at);
    gui::TreeItem* next = FindDir(*at, path.substr(0, slash + 1));
    if (!next) break;
    at = next;
  }
  ds->mark(*at);
  Edt_Path->setText(at->data);
}

void ORB_DIR::check_kat() {
  std::string path = trim(Edt_Path->text());
  if (path.empty()) {
    ALARM({}, "3", "Uwaga!", "Nie wybrano żadanego katalogu!"_oem);
    return;
  }
  path = db::withBackslash(path);
  bool accepted = false;
  std::string bare = path.substr(0, path.size() - 1);
  if (!windowsCanHoldPath(path)) {
    ALARM({}, "3", "Błąd!"_oem, "Nie da się utworzyć katalogu o nazwie:;*"_oem + path + "*");
  } else if (os::isDirectory(bare)) {
    accepted = true;
  } else if (ALARM({}, "5", {}, "Wprowadzony katalog nie istnieje!;Czy mam go utworzyć?"_oem)
                 .choice == 1) {
    db::MAKEDIR(path);
    if (os::isDirectory(bare)) {
      accepted = true;
    } else {
      ALARM({}, "3", "Błąd!"_oem, "Nie da się utworzyć katalogu o nazwie:;*"_oem + path + "*");
    }
  }
  if (accepted) Edt_Path->setText(path);
  setTag(*dialog_, accepted ? path : std::string(), accepted);
}

void ORB_DIR::NodeEdit(bool lNew) {
  gui::TreeItem* item = ds->marked();
  if (!item) return;
  if (lNew) {
    const uint64_t id = item->id();
    std::string name = dialogs::ORB_EDTSTR(
        "NowyKatalog", 100, "Nowy katalog", "Wprowadź nazwę dla nowego katalogu"_oem,
        [&](const std::string& n) { return KAT_JEST_OK(n, *item, true); }, dialog_);
    item = ds->find(id);
    if (name.empty() || !item) return;
    if (item->tag.isLogical() && item->tag.log()) {
      ds->addItem(*item, name, item->data + name + "\\", false, kDirIcon, kDirIconSelected);
    } else {
      getTree(*item);  // the first listing finds the new directory itself
    }
    ds->setExpanded(*item, true);
    return;
  }
  if (isDrive(*item)) {
    rt::tone(500, 1);
    return;
  }
  const uint64_t id = item->id();
  std::string name = dialogs::ORB_EDTSTR(
      item->caption, 100, "Zmiana nazwy", "Wprowadź nową nazwę dla katalogu"_oem,
      [&](const std::string& n) { return KAT_JEST_OK(n, *item, false); }, dialog_);
  item = ds->find(id);
  if (name.empty() || !item) return;
  std::string oldPath = item->data;
  std::string newPath = item->parent()->data + name + "\\";
  item->caption = name;
  ds->disable();
  ZMIANA_NAZWY(*item, oldPath, newPath);
  ds->enable();
  ds->refresh();
  Edt_Path->setText(item->data);
}

void ORB_DIR::NodeDelete() {
  gui::TreeItem* item = ds->marked();
  if (!item) return;
  if (isDrive(*item)) {
    ALARM({}, "3", "Uwaga!", "Skasowanie zawartości całego dysku; nie jest możliwe!"_oem);
    return;
  }
  const uint64_t id = item->id();
  std::string path = item->data;
  int answer = ALARM({}, "5", "Kasowanie katalogu",
                     "Potwierdź zamiar skasowania katalogu;"_oem + path +
                         ";oraz wszystkich podkatalogów wraz z plikami?"_oem,
                     rt::Array{"Potwierdzam"_oem, "Rezygnuje"});
  item = ds->find(id);
  if (answer != 1 || !item) return;
  db::DEL_ALL_DIR(path);
  // Whatever would not go (a file in use, no permission) keeps its directory, and its item.
  if (os::exists(path.substr(0, path.size() - 1))) {
    ALARM({}, "3", "Błąd!"_oem, "Nie da się skasować katalogu o nazwie:;*"_oem + path + "*");
    return;
  }
  gui::TreeItem* parent = item->parent();
  ds->lockUpdate(true);
  ds->removeItem(*item);
  ds->lockUpdate(false);
  if (parent && parent != &ds->root()) {
    ds->mark(*parent);
    Edt_Path->setText(parent->data);
  }
}

void ORB_DIR::contextMenu(gui::TreeItem& item, Point at) {
  const uint64_t id = item.id();
  oMenu = std::make_unique<gui::Menu>(*ds);
  oMenu->addItem("~Wybierz", [this] { gui::app().postActivate(*pb_Ok); });
  oMenu->addItem(item.expanded() ? "~Zwiń"_oem : "~Rozwiń"_oem, [this, id] {
    gui::TreeItem* it = ds->find(id);
    if (!it) return;
    if (it->expanded()) {
      ds->setExpanded(*it, false);
    } else {
      getDownTree(*it);
      ds->setExpanded(*it, true);
    }
  });
  oMenu->addItem("~Utwórz nowy"_oem, [this] { NodeEdit(true); });
  oMenu->addItem("~Zmień nazwę"_oem, [this] { NodeEdit(false); });
  oMenu->addItem("~Skasuj", [this] { NodeDelete(); });
  oMenu->popup(at);
  // The dialogs an action showed took the focus with them.
  if (alive() && !gui::app().focus()) gui::app().setFocus(ds);
}

std::string ORB_DIR::run() {
  auto& a = gui::app();
  dialog_->show();
  a.setFocus(ds);
  const uint64_t id = dialog_->id();
  while (!tagDone(*dialog_)) {
    auto ev = a.next();
    if (!ev) continue;
    if (ev->type == gui::EventType::Resized && ev->target == id) {
      a.dispatch(*ev);
      layout();
      continue;
    }
    gui::Widget* target = a.target(*ev);
    bool mine = target && target->dialog() == dialog_;
    if (ev->type == gui::EventType::Key && mine) {
      const bool inTree = a.focus() == ds;
      switch (ev->key) {
        case gui::key::Enter:
          a.postActivate(*pb_Ok);
          continue;
        case gui::key::Esc:
          a.postActivate(*pb_Esc);
          continue;
        // Space and Insert work on the tree; in the path field a space is part of a name.
        case gui::key::Space:
          if (!inTree) break;
          if (gui::TreeItem* m = ds->marked())
            a.postKey(*ds, m->expanded() ? gui::key::Left : gui::key::Right);
          continue;
        case gui::key::Insert:
          if (!inTree) break;
          NodeEdit(true);
          a.setFocus(ds);
          continue;
        default:
          break;
      }
    }
    a.dispatch(*ev);
    if (!a.find(id)) return {};
  }
  return tagPath(*dialog_);
}

std::string ORBDIRSELECT(const rt::Value& startArg, bool close, gui::Dialog* owner) {
  Kept& k = kept();
  if (startArg.isText() && startArg.str() == "CLOSE") {
    k.chooser.reset();
    return {};
  }
  if (!owner) owner = gui::app().mainWindow();
  std::string startDirectory;
  if (startArg.isText()) {
    startDirectory = trim(startArg.str()).empty() ? currentRoot() : startArg.str();
  } else {
    startDirectory = k.lastPath.empty() ? currentRoot() : k.lastPath;
  }
  startDirectory = db::withBackslash(startDirectory);
  // A kept chooser whose window went with its owner is gone too.
  if (k.chooser && !k.chooser->alive()) k.chooser.reset();
  if (!k.chooser) {
    k.chooser = std::make_unique<ORB_DIR>(owner);
    k.chooser->StartDir(startDirectory);
  } else if (!sameIgnoringCase(startDirectory, k.lastPath)) {
    k.chooser->StartDir(startDirectory);
  }
  ORB_DIR& c = *k.chooser;
  setTag(c.dialog(), "", false);
  std::string result = c.run();
  if (!k.chooser) return result;
  if (!result.empty()) k.lastPath = result;
  if (c.alive()) c.dialog().hide();
  if (close) k.chooser.reset();
  return result;
}

ORB_DIR* keptChooser() { return kept().chooser.get(); }

void WEZ_KAT(gui::Dialog& dialog, gui::Edit& field) {
  std::string start = rt::allTrim(field.text());
  if (start.empty()) start = "C:\\";
  const std::string chosen = ORBDIRSELECT(rt::Value(start), false, &dialog);
  if (!chosen.empty()) field.setText(chosen.substr(0, static_cast<size_t>(field.bufferLength())));
  dialog.setFocus();
}

}  // namespace tav::install

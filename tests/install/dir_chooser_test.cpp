// The directory chooser (ORBDIRSELECT) of the installation screens, on the headless backend over a
// drive of its own (under Wine the system's C:, what the test made there taken away after it).
// Group: Chooser. It opens at the deepest level that exists and answers with a trailing backslash;
// it lists lazily, ignoring case; a typed missing path is created only once confirmed, never with a
// name Windows could not hold; a drive is never deleted or renamed, an item stays while its
// directory does, and a renamed one takes its descendants along.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "gui/application.h"
#include "gui/headless/headless.h"
#include "install/dir_chooser.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav;
using namespace tav::gui;
using namespace tav::install;
using namespace tav::rt::literals;

namespace {

class Chooser : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetShared();
    hl = &useHeadless();
    prevTone = rt::setToneSink([this](double f, double) { tones.push_back(f); });
    prevSleep = rt::setSleeper([](int) {});
    drive = os::toHost("C:\\");
    fs::create_directories(drive / "Tamborex" / "Tav" / "2025");
    fs::create_directories(drive / "Dane" / "firma1" / "ksiegi");
    fs::create_directories(drive / "Dane" / "firma2");
    std::ofstream(drive / "Dane" / "firma1" / "ks.dbf") << "x";
    fs::current_path(drive);
    os::resetPathCaches();
  }
  void TearDown() override {
    ORBDIRSELECT("CLOSE");
    app().reset();
    rt::setToneSink(prevTone);
    rt::setSleeper(prevSleep);
  }

  // The chooser on screen (a step runs while it waits).
  static ORB_DIR& chooser() { return *keptChooser(); }
  static TreeItem* item(const std::string& data) {
    std::function<TreeItem*(TreeItem&)> walk = [&](TreeItem& t) -> TreeItem* {
      if (rt::upper(t.data) == rt::upper(data) && t.parent()) return &t;
      for (auto& c : t.children())
        if (TreeItem* f = walk(*c)) return f;
      return nullptr;
    };
    return walk(chooser().ds->root());
  }
  static void rightClick(TreeItem& it) {
    app().post({EventType::ContextMenu, chooser().ds->id(), 0, it.id()});
  }
  static void chooseMenu(int n) { hlFor()->openMenu()->choose(n); }
  static Headless* hlFor() { return static_cast<Headless*>(&app().backend()); }
  static Edit& entryField() {
    for (auto& c : topWindow()->drawingArea().children())
      if (c->kind() == Kind::Edit) return static_cast<Edit&>(*c);
    throw std::runtime_error("no field");
  }

  tav::testing::TempDriveMap map_;  // C: of the test's own, the working directory put back
  fs::path drive;
  Headless* hl = nullptr;
  std::vector<double> tones;
  rt::ToneSink prevTone;
  rt::Sleeper prevSleep;
};

TEST_F(Chooser, OpensAtTheDeepestExistingLevelAndReturnsItWithABackslash) {
  hl->then([&] {
    ORB_DIR& c = chooser();
    EXPECT_EQ(c.dialog().title(), "Wybierz katalog");
    EXPECT_EQ(c.dialog().icon(), 2107);
    ASSERT_NE(c.ds->marked(), nullptr);
    EXPECT_EQ(c.ds->marked()->data, "C:\\Tamborex\\Tav\\");
    EXPECT_EQ(c.Edt_Path->text(), "C:\\Tamborex\\Tav\\");
    EXPECT_TRUE(c.ds->hasFocus());
    // Drives are the top items, with the icon of their type; directories their own icons.
    TreeItem* cDrive = item("C:\\");
    ASSERT_NE(cDrive, nullptr);
    EXPECT_EQ(cDrive->caption, "C:\\");
    EXPECT_EQ(cDrive->icon, 2099 + static_cast<int>(os::driveType('C')));
    EXPECT_EQ(item("C:\\Dane\\")->icon, 2105);
    EXPECT_EQ(item("C:\\Dane\\")->iconSelected, 2106);
    input::press(key::Enter);
  });
  EXPECT_EQ(ORBDIRSELECT("c:\\tamborex\\tav\\brak\\nic"), "C:\\Tamborex\\Tav\\");
  EXPECT_EQ(keptChooser(), nullptr);  // closed after the choice by default
}

TEST_F(Chooser, ListsLazilyAndSortedIgnoringCase) {
  fs::create_directories(drive / "Dane" / "firma1" / "Zeta");
  fs::create_directories(drive / "Dane" / "firma1" / "alfa");
  hl->then([&] {
    TreeItem* firma1 = item("C:\\Dane\\firma1\\");
    ASSERT_NE(firma1, nullptr);
    EXPECT_TRUE(firma1->tag.log());  // on the way to the start: listed
    std::vector<std::string> names;
    for (auto& c : firma1->children()) names.push_back(c->caption);
    EXPECT_EQ(names, (std::vector<std::string>{"alfa", "ksiegi", "Zeta"}));  // files are not listed
    TreeItem* ksiegi = item("C:\\Dane\\firma1\\ksiegi\\");
    EXPECT_FALSE(ksiegi->tag.log());  // not opened yet
    input::press(key::Esc);
  });
  EXPECT_EQ(ORBDIRSELECT("C:\\Dane\\firma1\\"), "");
}

TEST_F(Chooser, TypedMissingPathIsCreatedOnConfirmation) {
  hl->then([&] {
    chooser().Edt_Path->setText("C:\\Nowy\\poziom\\trzeci");
    input::click(*chooser().pb_Ok);
  });
  hl->then([&] {
    Dialog* box = topWindow();
    ASSERT_NE(box, &chooser().dialog());
    EXPECT_NE(findByCaption(*box, "Potwierdzam"_oem), nullptr);
    input::press(key::Enter);
  });
  EXPECT_EQ(ORBDIRSELECT(), "C:\\Nowy\\poziom\\trzeci\\");
  EXPECT_TRUE(fs::is_directory(drive / "Nowy" / "poziom" / "trzeci"));
}

TEST_F(Chooser, EmptyPathIsRefusedAndTheChooserStays) {
  hl->then([&] {
    chooser().Edt_Path->setText("   ");
    input::click(*chooser().pb_Ok);
  });
  hl->then([&] {
    Dialog* box = topWindow();
    ASSERT_NE(box, &chooser().dialog());
    EXPECT_EQ(box->title(), "Uwaga!");
    input::press(key::Esc);
  });
  hl->then([&] {
    EXPECT_TRUE(chooser().dialog().isVisible());
    input::closeBox(chooser().dialog());
  });
  EXPECT_EQ(ORBDIRSELECT(), "");
}

TEST_F(Chooser, RenameUpdatesEveryListedDescendant) {
  hl->then([&] { rightClick(*item("C:\\Dane\\")); });
  hl->then([&] { chooseMenu(4); });  // ~Zmień nazwę
  hl->then([&] {
    EXPECT_EQ(topWindow()->title(), "Zmiana nazwy");
    EXPECT_EQ(entryField().text(), "Dane");
    entryField().setText("Archiwum");
    input::press(key::Enter);
  });
  hl->then([&] {
    EXPECT_EQ(item("C:\\Dane\\"), nullptr);
    TreeItem* renamed = item("C:\\Archiwum\\");
    ASSERT_NE(renamed, nullptr);
    EXPECT_EQ(renamed->caption, "Archiwum");
    ASSERT_NE(item("C:\\Archiwum\\firma1\\ksiegi\\"), nullptr);
    EXPECT_EQ(chooser().Edt_Path->text(), "C:\\Archiwum\\");
    input::press(key::Enter);
  });
  EXPECT_EQ(ORBDIRSELECT("C:\\Dane\\firma1\\ksiegi\\"), "C:\\Archiwum\\");
  EXPECT_TRUE(fs::is_directory(drive / "Archiwum" / "firma1" / "ksiegi"));
  EXPECT_FALSE(fs::exists(drive / "Dane"));
}

TEST_F(Chooser, DriveCannotBeDeletedOrRenamedButADirectoryCan) {
  hl->then([&] { rightClick(*item("C:\\")); });
  hl->then([&] { chooseMenu(5); });  // ~Skasuj on the drive
  hl->then([&] {
    EXPECT_EQ(topWindow()->title(), "Uwaga!");
    input::press(key::Esc);
  });
  hl->then([&] { rightClick(*item("C:\\")); });
  hl->then([&] { chooseMenu(4); });  // rename a drive: only a tone
  hl->then([&] {
    EXPECT_EQ(tones, std::vector<double>{500});
    EXPECT_EQ(topWindow(), &chooser().dialog());
    rightClick(*item("C:\\Dane\\firma1\\"));
  });
  hl->then([&] { chooseMenu(5); });
  hl->then([&] {
    Dialog* box = topWindow();
    EXPECT_EQ(box->title(), "Kasowanie katalogu");
    EXPECT_NE(findByCaption(*box, "Rezygnuje"), nullptr);
    input::press('p');
  });
  hl->then([&] {
    EXPECT_EQ(item("C:\\Dane\\firma1\\"), nullptr);
    EXPECT_EQ(chooser().Edt_Path->text(), "C:\\Dane\\");
    EXPECT_EQ(chooser().ds->marked(), item("C:\\Dane\\"));
    input::press(key::Enter);
  });
  EXPECT_EQ(ORBDIRSELECT("C:\\Dane\\firma1\\"), "C:\\Dane\\");
  EXPECT_FALSE(fs::exists(drive / "Dane" / "firma1"));
  EXPECT_TRUE(fs::exists(drive / "Dane" / "firma2"));
}

TEST_F(Chooser, NamesWindowsCannotHoldAreNeitherAcceptedNorCreated) {
  auto typed = [&](const char* path) {
    hl->then([&, path] {
      chooser().Edt_Path->setText(path);
      input::click(*chooser().pb_Ok);
    });
    hl->then([] {
      EXPECT_EQ(topWindow()->title(), "Błąd!"_oem);
      input::press(key::Esc);
    });
  };
  typed("C:\\Dane\\a:b\\");
  typed("C:\\Dane\\kropka.\\x");
  typed("C:\\Dane\\   \\x");
  hl->then([&] { rightClick(*item("C:\\Dane\\")); });
  hl->then([&] { chooseMenu(3); });  // ~Utwórz nowy
  hl->then([&] {
    entryField().setText("   ");
    input::press(key::Enter);
  });
  hl->then([&] {
    EXPECT_EQ(tones, std::vector<double>{500});  // refused by the name dialog
    input::press(key::Esc);
  });
  hl->then([&] { input::closeBox(chooser().dialog()); });
  EXPECT_EQ(ORBDIRSELECT("C:\\Dane\\"), "");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(drive / "Dane"))
    left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"firma1", "firma2"}));
}

TEST_F(Chooser, ADirectoryThatWouldNotGoKeepsItsItem) {
  const fs::path kept = drive / "Dane" / "firma2" / "blok";
  fs::create_directories(kept);
#ifdef _WIN32
  // A file in it that another program holds open without letting it be deleted.
  std::ofstream(kept / "zajety.txt") << "x";
  HANDLE held = INVALID_HANDLE_VALUE;
  auto immutable = [&](bool on) {
    if (on)
      held = ::CreateFileW((kept / "zajety.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    else
      ::CloseHandle(held);
    return held != INVALID_HANDLE_VALUE;
  };
#else
  // An immutable directory: not even root removes it.
  auto immutable = [&](bool on) {
    int fd = ::open(kept.c_str(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  };
#endif
  if (!immutable(true)) GTEST_SKIP() << "the file system keeps no immutable flag";
  hl->then([&] { rightClick(*item("C:\\Dane\\firma2\\")); });
  hl->then([&] { chooseMenu(5); });  // ~Skasuj
  hl->then([&] { input::press('p'); });
  hl->then([&] {
    EXPECT_EQ(topWindow()->title(), "Błąd!"_oem);
    input::press(key::Esc);
  });
  hl->then([&] {
    EXPECT_NE(item("C:\\Dane\\firma2\\"), nullptr);
    input::closeBox(chooser().dialog());
  });
  EXPECT_EQ(ORBDIRSELECT("C:\\Dane\\firma2\\"), "");
  EXPECT_TRUE(immutable(false));
  EXPECT_TRUE(fs::exists(kept));
}

TEST_F(Chooser, KeptChooserIsReusedAndOpensAtTheLastChoice) {
  hl->then([&] { input::press(key::Enter); });
  EXPECT_EQ(ORBDIRSELECT("C:\\Dane\\firma2\\", false), "C:\\Dane\\firma2\\");
  ORB_DIR* first = keptChooser();
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->dialog().isVisible());
  hl->then([&] {
    EXPECT_EQ(keptChooser(), first);
    EXPECT_EQ(chooser().ds->marked()->data, "C:\\Dane\\firma2\\");
    input::press(key::Up);  // to firma1
  });
  hl->then([&] {
    EXPECT_EQ(chooser().Edt_Path->text(), "C:\\Dane\\firma1\\");
    input::press(key::Enter);
  });
  EXPECT_EQ(ORBDIRSELECT({}, false), "C:\\Dane\\firma1\\");
  EXPECT_EQ(keptChooser(), first);
  EXPECT_EQ(ORBDIRSELECT("CLOSE"), "");
  EXPECT_EQ(keptChooser(), nullptr);
  EXPECT_TRUE(app().windows().empty());
}

TEST_F(Chooser, SpaceTogglesAndInsertCreatesUnderTheMarkedItem) {
  hl->then([&] {
    EXPECT_FALSE(item("C:\\Dane\\")->expanded());
    input::press(key::Space);
  });
  hl->then([&] {
    TreeItem* dane = item("C:\\Dane\\");
    EXPECT_TRUE(dane->expanded());
    EXPECT_TRUE(item("C:\\Dane\\firma1\\")->tag.log());  // one level further for the buttons
    input::press(key::Space);
  });
  hl->then([&] {
    EXPECT_FALSE(item("C:\\Dane\\")->expanded());
    input::press(key::Insert);
  });
  hl->then([&] {
    EXPECT_EQ(topWindow()->title(), "Nowy katalog");
    EXPECT_EQ(entryField().text(), "NowyKatalog");
    input::press(key::Enter);
  });
  hl->then([&] {
    ASSERT_NE(item("C:\\Dane\\NowyKatalog\\"), nullptr);
    // A second one with the same name is refused by the dialog and cancelled.
    input::press(key::Insert);
  });
  hl->then([&] { input::press(key::Enter); });
  hl->then([&] {
    EXPECT_EQ(tones, std::vector<double>{500});
    input::press(key::Esc);
  });
  hl->then([&] {
    int count = 0;
    for (auto& c : item("C:\\Dane\\")->children()) count += c->caption == "NowyKatalog";
    EXPECT_EQ(count, 1);
    input::press(key::Esc);
  });
  EXPECT_EQ(ORBDIRSELECT("C:\\Dane\\"), "");
  EXPECT_TRUE(fs::is_directory(drive / "Dane" / "NowyKatalog"));
}

TEST_F(Chooser, SpaceInThePathFieldIsTyped) {
  hl->then([&] {
    chooser().Edt_Path->setText("C:\\Program");
    input::click(*chooser().Edt_Path);
    input::press(key::Space);
    input::type("Files");
  });
  hl->then([&] {
    EXPECT_EQ(chooser().Edt_Path->text(), "C:\\Program Files");
    input::press(key::Esc);
  });
  EXPECT_EQ(ORBDIRSELECT(""), "");
}

TEST_F(Chooser, ResizingLaysTreeFieldAndButtonsOutAgain) {
  hl->then([&] {
    ORB_DIR& c = chooser();
    EXPECT_TRUE(c.dialog().flags().resizable);
    EXPECT_EQ(c.dialog().minSize(), (Size{320, 260}));
    Event e{EventType::Resized, c.dialog().id()};
    e.size = {700, 500};
    app().post(e);
  });
  hl->then([&] {
    ORB_DIR& c = chooser();
    EXPECT_EQ(c.dialog().size(), (Size{700, 500}));
    // Tree on top, the field below it, the buttons at the bottom right, all within the window.
    EXPECT_EQ(c.ds->size().w, 700 - 16);
    EXPECT_GT(c.ds->pos().y, c.Edt_Path->pos().y + c.Edt_Path->size().h);
    EXPECT_EQ(c.ds->pos().y + c.ds->size().h, 500 - 8);
    EXPECT_GT(c.Edt_Path->pos().y, c.pb_Ok->pos().y + c.pb_Ok->size().h);
    EXPECT_EQ(c.pb_Esc->pos().x + c.pb_Esc->size().w, 700 - 8);
    EXPECT_LT(c.pb_Ok->pos().x + c.pb_Ok->size().w, c.pb_Esc->pos().x);
    input::press(key::Esc);
  });
  EXPECT_EQ(ORBDIRSELECT(), "");
}

}  // namespace

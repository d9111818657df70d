// The first installation as a user at the screen goes through it, on the headless backend: the
// main window's button, the screen's initial texts and icon, a refusal that puts the focus back in
// the field concerned, "Rezygnuję" to a missing directory creating nothing, "Założyć" creating
// both, and "Koniec instalacji" closing the screen onto the main window.
#include <optional>

#include "db/table_access.h"
#include "dialogs/progress_bar.h"
#include "e2e/gui_script.h"
#include "e2e/install_support.h"
#include "install/first_install.h"
#include "os/path.h"
#include "runtime/shared_variables.h"
#include "shell/main_window.h"
#include "shell/runtime_setup.h"
#include "support/temp_drive_map.h"

using namespace tav::e2e;
namespace gui = tav::gui;
namespace rt = tav::rt;
namespace install = tav::install;
using Trees = tav::testing::SampleTrees;

namespace {

bool boxSays(const char* title, const char* text) {
  return showing(title) &&
         gui::describe(*gui::topWindow()).find(rt::utf8ToOem(text)) != std::string::npos;
}

// The screen is back in the user's hands with the focus in `field`.
bool readyIn(gui::Edit* const install::FirstInstallScreen::*field) {
  const install::FirstInstallScreen& s = install::openFirstInstallScreen();
  return s.dialog && gui::topWindow() == s.dialog && s.dialog->drawingArea().isEnabled() &&
         (s.*field)->hasFocus();
}

}  // namespace

TEST(FirstInstallDialog, RefusalsPutTheFocusBackThenTheInstallationFinishesAndCloses) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  InstallScene s("dialog");
  tav::testing::TempDriveMap map;
  startToolHere(s.release, s.prefix);
  gui::Headless& h = gui::useHeadless();
  Script person(h);

  tav::shell::MainActions actions = actionsWithoutStartup();
  std::optional<tav::install::InstallOutcome> last;
  actions.firstInstall = [&](tav::gui::Dialog& d) {
    tav::install::PIERWSZA_INSTALACJA(d, [&](const tav::install::InstallOutcome& o) { last = o; });
  };
  tav::shell::MainWindow w(actions);
  const fs::path programHost = s.root / "Tav" / "2025", bazaHost = s.root / "Dane";
  const std::string program = tav::os::fromHost(programHost);  // typed without the backslash
  const std::string baza = tav::os::fromHost(bazaHost);
  using Screen = install::FirstInstallScreen;
  bool progressLeft = true;

  person.when([] { return true; }, [&] { gui::input::click(w.button(4)); });
  person.when([] { return install::openFirstInstallScreen().dialog != nullptr; },
              [&] {
                const Screen& d = install::openFirstInstallScreen();
                EXPECT_EQ(d.program->text(), "c:\\Tamborex\\Tav\\2025\\");
                EXPECT_EQ(d.database->text(), "");
                EXPECT_EQ(d.program->bufferLength(), 128);
                EXPECT_EQ(d.database->bufferLength(), 128);
                EXPECT_TRUE(d.program->hasFocus());
                EXPECT_EQ(d.databaseFolder->image(), 2105);
                gui::input::hover(*d.databaseFolder, true);
              });
  person.when([] { return install::openFirstInstallScreen().databaseFolder->image() == 2106; },
              [&] {
                const Screen& d = install::openFirstInstallScreen();
                gui::input::hover(*d.databaseFolder, false);
                d.program->setText(program);
                gui::input::click(*d.install);  // the database directory still empty
              });
  person.when(
      [] {
        return boxSays("Katalog bazy danych", "Katalog do instalacji Bazy Danych jest pusty!");
      },
      [] { answer("Zamknij to okno"); });
  person.when([] { return readyIn(&Screen::database); },
              [&] {
                EXPECT_EQ(install::openFirstInstallScreen().databaseFolder->image(), 2105)
                    << "the pointer left it";
                install::openFirstInstallScreen().database->setText(baza);
                gui::input::click(*install::openFirstInstallScreen().install);
              });
  person.when([] { return boxSays("Brak Katalogu", "Katalog dla Programu nie istnieje!"); },
              [] { answer("Rezygnuję"); });
  person.when([] { return readyIn(&Screen::program); },
              [&] {
                EXPECT_FALSE(fs::exists(programHost)) << "Rezygnuję creates nothing";
                EXPECT_FALSE(fs::exists(bazaHost));
                gui::input::click(*install::openFirstInstallScreen().install);
              });
  person.when([] { return boxSays("Brak Katalogu", "Katalog dla Programu nie istnieje!"); },
              [] { answer("Założyć"); });
  person.when([] { return boxSays("Brak Katalogu", "Katalog dla Bazy Danych nie istnieje!"); },
              [] { answer("Założyć"); });
  person.when([] { return showing("Koniec instalacji"); },
              [&] {
                progressLeft = tav::dialogs::licznikState().frame != nullptr;
                answer("Zamknij to okno");
              });
  // The screen closed itself; the main window is back and working.
  person.when([] { return install::openFirstInstallScreen().dialog == nullptr; },
              [&] {
                EXPECT_TRUE(w.dialog().drawingArea().isEnabled());
                gui::input::click(w.button(5));
              });
  try {
    w.run();
  } catch (const gui::Starved&) {
    FAIL() << "the tool waits for a move the script does not make; the screen:\n"
           << (gui::topWindow() ? gui::describe(*gui::topWindow()) : std::string());
  }

  EXPECT_TRUE(person.done());
  EXPECT_FALSE(progressLeft) << "the progress bar stayed on the screen";
  ASSERT_TRUE(last.has_value());
  const install::InstallOutcome& o = *last;
  EXPECT_EQ(o.result, tav::upgrade::Result::Complete);
  EXPECT_EQ(o.branch, install::InstallOutcome::Branch::NewDatabase);
  EXPECT_EQ(field(programHost / "baza.dbf", "PATH"), baza + "\\");
  EXPECT_EQ(field(programHost / "wersja.dbf", "ROK"), "2025");
  EXPECT_EQ(field(bazaHost / "wersja.dbf", "BAZA"), "025.01.046");
  EXPECT_TRUE(fs::exists(programHost / "tav.exe"));
  EXPECT_TRUE(fs::exists(bazaHost / "install" / "25.01.046.zip"));
  EXPECT_NE(tav::testing::contents(s.prefix / "user.reg").find("Tamborex\\Tav\\2025\\2025]"),
            std::string::npos);
  gui::app().reset();
}

// The upgrade as a user at the screen goes through it, on the headless backend: the main window's
// button, the directory typed, Esc between firms answered once "Kontynuuję" and once "Chcę
// przerwać", and the next attempt that finishes the job and closes the dialog.
#include <functional>
#include <string>
#include <vector>

#include "db/table_access.h"
#include "dialogs/alarm.h"
#include "e2e/gui_script.h"
#include "e2e/upgrade_support.h"
#include "gui/application.h"
#include "gui/headless/headless.h"
#include "install/services.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/shared_variables.h"
#include "shell/main_window.h"
#include "shell/runtime_setup.h"
#include "support/temp_drive_map.h"
#include "upgrade/upgrade_run.h"
#include "upgrade/upgrade_screen.h"

using namespace tav::e2e;
namespace gui = tav::gui;
namespace rt = tav::rt;
namespace upgrade = tav::upgrade;
using namespace tav::rt::literals;
using Trees = tav::testing::SampleTrees;

TEST(UpgradeDialog, EscBetweenFirmsAsksThenTheNextAttemptFinishesAndCloses) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("dialog", "025.01.001", 6);
  tav::testing::TempDriveMap map;
  startToolHere(s.release, s.prefix);
  gui::Headless& h = gui::useHeadless();
  Script person(h);

  tav::shell::MainActions actions = actionsWithoutStartup();
  // The screen's firms as the run reaches them, and the outcome of each attempt.
  size_t done = 0;
  std::vector<upgrade::UpgradeOutcome> outcomes;
  upgrade::UpgradeScreenServices services = tav::install::upgradeScreenServices();
  services.onFirm = [&](const tav::frontend::FirmProgress& p) { done += p.done; };
  services.onOutcome = [&](const upgrade::UpgradeOutcome& o) { outcomes.push_back(o); };
  actions.upgrade = [&](gui::Dialog& d) { upgrade::UPGRADE(d, services); };
  tav::shell::MainWindow w(actions);
  const std::string program = tav::os::fromHost(s.program);
  std::string progressTitle;
  size_t progressChildren = 0;
  auto firmsDone = [&] { return done; };

  person.when([] { return true; }, [&] { gui::input::click(w.button(3)); });
  person.when([] { return upgrade::openUpgradeDialog().dialog != nullptr; },
              [&] {
                const upgrade::UpgradeDialog& d = upgrade::openUpgradeDialog();
                EXPECT_TRUE(d.directory->hasFocus());
                EXPECT_EQ(d.directory->bufferLength(), 128);
                EXPECT_EQ(d.folder->image(), 2105);
                gui::input::hover(*d.folder, true);
              });
  person.when([] { return upgrade::openUpgradeDialog().folder->image() == 2106; },
              [&] {
                const upgrade::UpgradeDialog& d = upgrade::openUpgradeDialog();
                gui::input::hover(*d.folder, false);
                d.directory->setText(program);  // typed without the backslash
                gui::input::click(*d.install);
              });
  // First Esc after the first firm: the question, and going on.
  person.when([&] { return firmsDone() >= 1; },
              [&] {
                gui::Dialog* top = gui::topWindow();
                progressChildren = top->drawingArea().children().size();
                progressTitle = top->drawingArea().children().at(0)->children().at(0)->caption();
                gui::app().post({gui::EventType::Key, 0, gui::key::Esc});
              });
  person.when([] { return showing("Wstrzymanie instalacji"); }, [] { answer("Kontynuuję"); });
  // Second Esc two firms later: this time the user stops.
  person.when([&] { return firmsDone() >= 3; },
              [] {
                gui::app().post({gui::EventType::Key, 0, gui::key::Esc});
              });
  person.when([] { return showing("Wstrzymanie instalacji"); }, [] { answer("Chcę przerwać"); });
  person.when([] { return showing("Błąd instalacji"); }, [] { answer("Zamknij to okno"); });
  // The dialog is back: the same directory once more, to the end.
  person.when(
      [] { return showing("Aktualizacja programu") && upgrade::openUpgradeDialog().dialog; },
      [&] {
        EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "N");
        gui::input::click(*upgrade::openUpgradeDialog().install);
      });
  person.when([] { return showing("Powodzenie!"); }, [] { answer("Zamknij to okno"); });
  // The refresh closed the dialog; the main window is back.
  // Opened once more and left with Esc from a button, as the main window is.
  person.when([&] { return upgrade::openUpgradeDialog().dialog == nullptr; },
              [&] { gui::input::click(w.button(3)); });
  person.when([] { return upgrade::openUpgradeDialog().dialog != nullptr; },
              [] { upgrade::openUpgradeDialog().install->setFocus(); });
  person.when([] { return upgrade::openUpgradeDialog().install->hasFocus(); },
              [] { gui::input::press(gui::key::Esc); });
  person.when([&] { return upgrade::openUpgradeDialog().dialog == nullptr; },
              [&] { gui::input::click(w.button(5)); });
  try {
    w.run();
  } catch (const gui::Starved&) {
    FAIL() << "the tool waits for a move the script does not make; the screen:\n"
           << (gui::topWindow() ? gui::describe(*gui::topWindow()) : std::string());
  }

  EXPECT_TRUE(person.done());
  EXPECT_EQ(progressChildren, 12u);
  EXPECT_EQ(progressTitle, "Instalacja programu TAV (wersja 25.01.046)");
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[0].result, upgrade::Result::Interrupted);
  EXPECT_EQ(outcomes[0].message, upgrade::interruptedMessage());
  EXPECT_EQ(outcomes[1].result, upgrade::Result::Complete);
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "T");
  EXPECT_EQ(field(s.baza / "wersja.dbf", "BAZA"), "025.01.046");
  EXPECT_EQ(field(s.program / "wersja.dbf", "TAV"), "25.01.046");
  // Firms converted before the stop were not converted again.
  int converted = 0;
  for (const upgrade::FirmRecord& f : outcomes[1].run.firms)
    converted += f.status == upgrade::FirmStatus::Converted;
  EXPECT_EQ(converted, 6 - 3 - 1);  // firm 5 cannot be converted
  gui::app().reset();
}

// An error between firms, outside any firm's own trap, ends the run as a failure the user is told
// about: nothing of the program is refreshed, the database stays marked incomplete, and the next
// attempt finishes the job.
TEST(UpgradeDialog, AnErrorBetweenFirmsEndsTheRunAsAFailureAndTheNextFinishes) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  Scene s("between", "025.01.001", 4);
  tav::testing::TempDriveMap map;
  startToolHere(s.release, s.prefix);
  gui::useHeadless();
  std::vector<std::string> boxes;
  auto previous = tav::dialogs::setAlarmResponder([&](const tav::dialogs::AlarmRequest& r) {
    boxes.push_back(rt::oemToUtf8(r.title));
    return 1;
  });
  // The progress report between two firms fails: a place no firm's trap covers.
  upgrade::UpgradeScreenServices services = tav::install::upgradeScreenServices();
  services.onFirm = [](const tav::frontend::FirmProgress& p) {
    if (!p.done || p.index != 2) return;
    rt::Error e;
    e.genCode = rt::kErrWrite;
    e.osCode = 28;
    e.description = "Brak miejsca";
    e.operation = "OPISY";
    rt::fail(e);
  };
  gui::Dialog& d = gui::app().createDialog(nullptr, {0, 0}, {630, 260}, {});
  auto& directory = d.drawingArea().add<gui::Edit>(gui::Point{0, 0}, gui::Size{600, 20}, 128);
  directory.setText(tav::os::fromHost(s.program));
  bool done = false;
  const upgrade::UpgradeOutcome failed = upgrade::INSTALUJ(d, directory, done, services);
  EXPECT_EQ(failed.result, upgrade::Result::Failed);
  EXPECT_EQ(failed.title, "Błąd instalacji"_oem);
  EXPECT_EQ(failed.message.rfind("Błąd podczas instalacji:;Brak miejsca"_oem, 0), 0u)
      << rt::oemToUtf8(failed.message);
  EXPECT_EQ(failed.run.firms.size(), 2u);
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "N");
  EXPECT_EQ(field(s.baza / "wersja.dbf", "BAZA"), "025.01.001");
  EXPECT_EQ(field(s.program / "wersja.dbf", "TAV"), "25.01.001") << "no refresh after a failed run";
  EXPECT_EQ(gui::app().windows().size(), 1u) << "the progress window went with the failure";

  services.onFirm = {};
  EXPECT_EQ(upgrade::INSTALUJ(d, directory, done, services).result, upgrade::Result::Complete);
  EXPECT_EQ(field(s.baza / "wersja.dbf", "OK"), "T");
  EXPECT_EQ(boxes.back(), "Powodzenie!");
  tav::dialogs::setAlarmResponder(std::move(previous));
  gui::app().reset();
}

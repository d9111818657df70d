// The tool's main window and its start, on the headless backend. Groups: MainWindowTest (layout,
// keys and the bold highlight, the ways out of the loop; an action runs with the window disabled,
// and an error cancelled inside it ends only that action, its areas and windows) and Startup
// (MAIN's arguments and a fresh error.log; a running copy of the program asked about; a registry
// that cannot be written stopping the start before anything runs).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "db/table_access.h"
#include "dialogs/alarm.h"
#include "engine/engine_test_util.h"
#include "engine/workspace.h"
#include "gui/application.h"
#include "gui/headless/headless.h"
#include "install/first_install.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/shared_variables.h"
#include "shell/error_handler.h"
#include "shell/main_window.h"

using namespace tav;
using namespace tav::gui;
using namespace tav::shell;
using namespace tav::dialogs;
using namespace tav::rt::literals;

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetShared();
    rt::shared().wersja_p = "25.01.023";
    hl = &useHeadless();
    hl->setScreen({1280, 1024});
  }
  void TearDown() override { app().reset(); }

  MainActions recording() {
    MainActions m;
    m.upgrade = [this](Dialog& d) {
      calls += "upgrade ";
      EXPECT_FALSE(d.drawingArea().isEnabled());
      EXPECT_EQ(&d, app().mainWindow());
    };
    m.firstInstall = [this](Dialog&) { calls += "install "; };
    return m;
  }

  Headless* hl = nullptr;
  std::string calls;
};

TEST_F(MainWindowTest, LaidOutAsTheToolShowsIt) {
  MainWindow w(recording());
  Dialog& d = w.dialog();
  EXPECT_EQ(d.size(), (Size{630, 260}));
  EXPECT_EQ(d.pos(), (Point{(1280 - 630) / 2, (1024 - 260) / 2}));
  EXPECT_EQ(d.title(), "Instalacja programu TAV wersja 25.01.023");
  EXPECT_EQ(d.icon(), 100);
  EXPECT_FALSE(d.flags().resizable);
  EXPECT_FALSE(d.flags().minButton);
  EXPECT_FALSE(d.flags().maxButton);
  EXPECT_EQ(d.minSize(), d.maxSize());
  EXPECT_EQ(app().mainWindow(), &d);
  EXPECT_EQ(d.drawingArea().bg(), rgb(208, 208, 167));
  EXPECT_EQ(d.drawingArea().font().name, "Arial");
  EXPECT_EQ(d.drawingArea().font().pointSize, 10);
  EXPECT_EQ(rt::shared().h_org, 370);

  // m = 30, bw = 252, gap = 15.
  EXPECT_EQ(w.logo().pos(), (Point{312, 100}));
  EXPECT_EQ(w.logo().size(), (Size{288, 130}));
  EXPECT_EQ(w.logo().image(), 200);
  const char* captions[] = {"Napraw Bazę danych", "Napraw instalację Programu",
                            "Aktualizacja programu", "Pierwsza instalacja programu",
                            "Zakończ instalację"};
  ASSERT_EQ(w.buttons().size(), 5u);
  for (int i = 0; i < 5; ++i) {
    PushButton& b = *w.buttons()[i];
    EXPECT_EQ(b.caption(), rt::utf8ToOem(captions[i]));
    EXPECT_EQ(b.pos(), (Point{30, 30 + i * 45}));
    EXPECT_EQ(b.size(), (Size{252, 30}));
    EXPECT_TRUE(b.tabStop());
    EXPECT_EQ(b.font().name, "Arial");
    EXPECT_EQ(b.font().pointSize, 12);
    EXPECT_EQ(b.font().bold, i == 2) << i;  // only the focused one is bold
  }
  EXPECT_TRUE(w.button(3).hasFocus());
  // The top button lies wholly inside the window.
  EXPECT_LE(w.button(5).pos().y + w.button(5).size().h, d.size().h);
}

TEST_F(MainWindowTest, ArrowsWalkTheButtonsUpAndDownWithTheHighlight) {
  MainWindow w(recording());
  input::press(key::Up);
  app().processPending();
  app().processPending();
  EXPECT_TRUE(w.button(4).hasFocus());
  EXPECT_TRUE(w.button(4).font().bold);
  EXPECT_FALSE(w.button(3).font().bold);
  input::press(key::Left);
  app().processPending();
  app().processPending();
  EXPECT_TRUE(w.button(5).hasFocus());
  input::press(key::Left);  // past the top: round to the bottom one
  app().processPending();
  app().processPending();
  EXPECT_TRUE(w.button(1).hasFocus());
  input::press(key::Down);
  app().processPending();
  app().processPending();
  EXPECT_TRUE(w.button(5).hasFocus());
  input::press(key::Right);
  app().processPending();
  app().processPending();
  EXPECT_TRUE(w.button(4).hasFocus());
}

TEST_F(MainWindowTest, MouseOverABoldensItAndLeavingRestoresIt) {
  MainWindow w(recording());
  input::hover(w.button(1), true);
  app().processPending();
  EXPECT_TRUE(w.button(1).font().bold);
  input::hover(w.button(1), false);
  app().processPending();
  EXPECT_FALSE(w.button(1).font().bold);
}

TEST_F(MainWindowTest, EscCloseBoxAndTheEndButtonEachEndTheLoop) {
  {
    MainWindow w(recording());
    hl->then([] { input::press(key::Esc); });
    w.run();
    EXPECT_TRUE(app().windows().empty());
  }
  {
    MainWindow w(recording());
    hl->then([&] { input::closeBox(w.dialog()); });
    w.run();
    EXPECT_TRUE(app().windows().empty());
  }
  {
    MainWindow w(recording());
    hl->then([&] { input::click(w.button(5)); });
    w.run();
    EXPECT_TRUE(w.done);
  }
  {
    MainWindow w(recording());
    hl->then([&] { input::press(key::Up); });
    hl->then([&] { input::press(key::Up); });
    hl->then([&] { input::press(key::Enter); });
    w.run();
    EXPECT_TRUE(w.done);
    EXPECT_EQ(calls, "");
  }
}

TEST_F(MainWindowTest, ActionsRunDisabledAndGiveTheFocusBackBold) {
  MainWindow w(recording());
  hl->then([&] { input::click(w.button(3)); });
  hl->then([&] {
    EXPECT_EQ(calls, "upgrade ");
    EXPECT_TRUE(w.dialog().drawingArea().isEnabled());
    EXPECT_TRUE(w.button(3).hasFocus());
    EXPECT_TRUE(w.button(3).font().bold);
    EXPECT_FALSE(w.done);
    input::click(w.button(4));
  });
  hl->then([&] {
    EXPECT_TRUE(w.button(4).hasFocus());
    input::click(w.button(1));  // the repair buttons start nothing
    input::click(w.button(2));
  });
  hl->then([&] {
    EXPECT_TRUE(w.button(2).hasFocus());
    input::press(key::Esc);
  });
  w.run();
  EXPECT_EQ(calls, "upgrade install ");
  EXPECT_EQ(hl->stepsLeft(), 0u);
}

TEST_F(MainWindowTest, AnErrorCancelledInsideTheWindowEndsOnlyWhatWasRunning) {
  rt::Handler previous = rt::setHandler({});
  ERRORSYS();
  test::TempDir tmp;
  const std::string dir = tmp.path().string() + "/";
  {
    engine::Workspace ws;
    ASSERT_TRUE(ws.create(dir + "t.dbf", {{"NAZWA", 'C', 10, 0}}));
  }
  auto unguarded = [] {
    rt::Error e;
    e.genCode = rt::kErrWrite;
    e.description = "Write error";
    e.canDefault = true;  // OK and Cancel
    rt::raise(e);
  };
  MainActions m;
  m.upgrade = [&](Dialog& d) {
    ASSERT_TRUE(db::OTWORZ(dir, "t", "akcja"));
    app().createDialog(&d, {}, {200, 100}, {}).show();
    unguarded();
    calls += "went on ";
  };
  MainWindow w(std::move(m));
  w.button(1).onActivate = [&](Widget&) { unguarded(); };  // a handler of the loop itself
  auto cancel = [] {
    Widget* b = findByCaption(*topWindow(), "Anuluj");
    ASSERT_NE(b, nullptr);
    input::click(*b);
  };
  hl->then([&] { input::click(w.button(3)); });
  hl->then(cancel);
  hl->then([&] {
    EXPECT_FALSE(engine::workspace().used("akcja"));
    ASSERT_EQ(app().windows().size(), 1u);  // the action's own window went with it
    EXPECT_TRUE(w.dialog().drawingArea().isEnabled());
    EXPECT_TRUE(w.button(3).hasFocus());
    input::click(w.button(1));
  });
  hl->then(cancel);
  hl->then([&] { input::click(w.button(5)); });
  w.run();
  EXPECT_EQ(calls, "");
  EXPECT_TRUE(w.done);
  EXPECT_EQ(hl->stepsLeft(), 0u);
  rt::setHandler(previous);
}

// Nothing on the main window is unavailable any more: the first installation's button opens its
// screen over the main window, and "Poprzedni ekran" brings the main window back, working.
TEST_F(MainWindowTest, FirstInstallationOpensItsScreenAndPreviousScreenReturns) {
  rt::shared().roczek = "2025";
  rt::shared().cBaza = "D:\\Dane\\";
  MainWindow w(defaultMainActions());
  hl->then([&] { input::click(w.button(4)); });
  hl->then([&] {
    const install::FirstInstallScreen& s = install::openFirstInstallScreen();
    ASSERT_NE(s.dialog, nullptr);
    EXPECT_EQ(topWindow(), s.dialog);
    EXPECT_EQ(s.dialog->owner(), &w.dialog());
    EXPECT_EQ(s.dialog->pos(), w.dialog().pos());
    EXPECT_EQ(s.dialog->size(), w.dialog().drawingArea().size());
    EXPECT_FALSE(w.dialog().drawingArea().isEnabled());  // no second action meanwhile
    EXPECT_EQ(s.program->text(), "c:\\Tamborex\\Tav\\2025\\");
    EXPECT_EQ(s.database->text(), "D:\\Dane\\");
    EXPECT_TRUE(s.program->hasFocus());
    EXPECT_EQ(s.programFolder->image(), 2105);
    input::click(*s.back);
  });
  hl->then([&] {
    EXPECT_EQ(install::openFirstInstallScreen().dialog, nullptr);
    EXPECT_EQ(topWindow(), &w.dialog());
    EXPECT_TRUE(w.dialog().drawingArea().isEnabled());
    input::click(w.button(4));
  });
  // Esc on the screen's button leaves the screen, as on the main window; the tool stays.
  hl->then([&] {
    const install::FirstInstallScreen& s = install::openFirstInstallScreen();
    ASSERT_NE(s.dialog, nullptr);
    s.install->setFocus();
    input::press(key::Esc);
  });
  hl->then([&] {
    EXPECT_EQ(install::openFirstInstallScreen().dialog, nullptr);
    EXPECT_EQ(topWindow(), &w.dialog());
    input::press(key::Esc);
  });
  w.run();
}

class Startup : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    dir = std::filesystem::temp_directory_path() / ("tav_main_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
  }
  void TearDown() override {
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
    MainWindowTest::TearDown();
  }
  std::filesystem::path dir, old;
};

TEST_F(Startup, ArgumentsAndFreshLogThenTheWindowUntilEsc) {
  std::ofstream("error.log") << "stary";
  rt::shared().cProgram = "C:\\stary\\";
  MainActions m = recording();
  int foldersRun = 0;
  m.folders = [&] { ++foldersRun; };
  hl->then([&] {
    EXPECT_FALSE(std::filesystem::exists("error.log"));
    auto& sv = rt::shared();
    EXPECT_EQ(sv.wersja_p, "25.01.023");
    EXPECT_EQ(sv.wersja_b, "025.01.023");
    EXPECT_EQ(sv.roczek, "2025");
    EXPECT_EQ(sv.cProgram, "");
    EXPECT_EQ(sv.lpp_alfabet.size(), 255u);
    EXPECT_EQ(sv.lpp_alfabet.find('A') + 1, sv.lpp_alfabet.find("Ą"_oem));
    ASSERT_NE(app().mainWindow(), nullptr);
    EXPECT_EQ(app().mainWindow()->title(), "Instalacja programu TAV wersja 25.01.023");
    input::press(key::Esc);
  });
  EXPECT_EQ(MAIN({"25.01.023", "025.01.023", "2025"}, m), 0);
  EXPECT_EQ(foldersRun, 1);
  EXPECT_TRUE(app().windows().empty());
}

TEST_F(Startup, RunningCopyIsAskedAboutUntilItEndsOrTheUserGivesUp) {
  int checks = 0;
  MainActions m = recording();
  m.tavRunning = [&] { return ++checks <= 2; };  // still running at the first answer
  auto answerContinue = [&] {
    Dialog* box = topWindow();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->title(), "Uwaga!!");
    EXPECT_EQ(box->owner(), nullptr);  // centred on the screen, not on a window
    input::press('k');
  };
  hl->then(answerContinue);
  hl->then(answerContinue);
  hl->then([] { input::press(key::Esc); });  // the main window at last
  EXPECT_EQ(MAIN({"25.01.023", "025.01.023", "2025"}, m), 0);
  EXPECT_EQ(checks, 3);

  checks = 0;
  m.tavRunning = [&] {
    ++checks;
    return true;
  };
  hl->then([] { input::press('r'); });
  EXPECT_EQ(MAIN({"25.01.023", "025.01.023", "2025"}, m), 0);
  EXPECT_EQ(checks, 1);
  EXPECT_TRUE(app().windows().empty());  // no main window was shown
  EXPECT_EQ(hl->stepsLeft(), 0u);
}

TEST_F(Startup, ARegistryThatCannotBeWrittenStopsTheStartBeforeAnythingRuns) {
  using tav::os::reg::StoreProblem;
  MainActions m = recording();
  int folders = 0;
  m.folders = [&] { ++folders; };
  std::vector<AlarmRequest> boxes;
  AlarmResponder previous = setAlarmResponder([&](const AlarmRequest& r) {
    boxes.push_back(r);
    return 1;  // Kontynuuję
  });

  // Wine's server of the prefix ends after the first answer: the start goes on.
  int checks = 0;
  m.registryProblem = [&] {
    return ++checks == 1 ? StoreProblem{StoreProblem::Kind::WineServerRunning, {}, 0, "server"}
                         : StoreProblem{};
  };
  hl->then([] { input::press(key::Esc); });
  EXPECT_EQ(MAIN({"25.01.023", "025.01.023", "2025"}, m), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, "Uwaga!!");
  EXPECT_NE(boxes[0].text.find("Wine"), std::string::npos);
  EXPECT_EQ(checks, 2);
  EXPECT_EQ(folders, 1);

  // A registry file that does not parse: named with its line, and the tool ends.
  boxes.clear();
  folders = 0;
  m.registryProblem = [] {
    return StoreProblem{StoreProblem::Kind::Damaged, "/srv/wine/user.reg", 7, "bad"};
  };
  EXPECT_EQ(MAIN({"25.01.023", "025.01.023", "2025"}, m), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title, "Błąd!"_oem);
  EXPECT_NE(boxes[0].text.find("/srv/wine/user.reg;(wiersz 7)"), std::string::npos)
      << boxes[0].text;
  EXPECT_NE(boxes[0].text.find("Niczego nie zmieniono."_oem), std::string::npos);
  EXPECT_EQ(folders, 0);
  EXPECT_TRUE(app().windows().empty());
  EXPECT_EQ(hl->stepsLeft(), 0u);
  setAlarmResponder(std::move(previous));
}

}  // namespace

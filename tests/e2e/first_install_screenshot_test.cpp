// The first installation in real windows on a virtual X display, clicked through as a person
// would: the main window's "Pierwsza instalacja programu", both directories typed, "Zainstaluj
// Program" and "Koniec instalacji". The screen and the final message are photographed into the
// build's artifacts.
#include <gtest/gtest.h>

#include <optional>

#include <functional>

#include "db/table_access.h"
#include "e2e/install_support.h"
#include "e2e/x_session.h"
#include "gui/application.h"
#include "gui/fltk/fltk_backend.h"
#include "gui/headless/headless.h"
#include "install/first_install.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "shell/main_window.h"
#include "shell/runtime_setup.h"

using namespace tav;
using namespace tav::e2e;
using Trees = tav::testing::SampleTrees;

namespace {

bool topIs(const std::string& titleStart) {
  gui::Dialog* top = gui::topWindow();
  return top && top->title().rfind(rt::utf8ToOem(titleStart), 0) == 0;
}

void press(const char* caption) {
  if (gui::Widget* b = gui::findByCaption(gui::topWindow()->drawingArea(), rt::utf8ToOem(caption)))
    gui::app().postActivate(*b);
}

}  // namespace

TEST(FirstInstallOnScreen, BothDirectoriesTypedToKoniecInstalacji) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  VirtualDisplay x;
  if (!x.installed()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb)";
  ASSERT_TRUE(x.up());
  ::setenv("DISPLAY", x.name().c_str(), 1);
  auto real = gui::makeFltkBackend();
  ASSERT_NE(real, nullptr) << "built without FLTK, or the display does not answer";

  InstallScene s("screen");
  const fs::path programHost = s.root / "Tav" / "2025", bazaHost = s.root / "Dane";
  fs::create_directories(programHost);
  fs::create_directories(bazaHost);
  const fs::path saved = fs::current_path();
  startToolHere(s.release, s.prefix);
  gui::app().setBackend(std::move(real));

  shell::MainActions actions = actionsWithoutStartup();
  std::optional<tav::install::InstallOutcome> last;
  actions.firstInstall = [&](tav::gui::Dialog& d) {
    tav::install::PIERWSZA_INSTALACJA(d, [&](const tav::install::InstallOutcome& o) { last = o; });
  };
  shell::MainWindow w(actions);
  std::vector<std::string> shots;
  // A message box is photographed once the display shows it; xdotool matches the whole title as
  // a pattern, so the title's start is followed by ".*".
  auto onDisplay = [&](const char* title) {
    if (!topIs(title)) return false;
    gui::app().backend().flush();
    return !x.window(std::string(title) + ".*").empty();
  };
  auto shootBox = [&](const char* title, const std::string& name) {
    if (x.shoot(x.window(std::string(title) + ".*"),
                artifacts() / ("first_install_" + name + ".png")))
      shots.push_back(name);
  };
  // A screen is photographed once it is drawn, the display's events taken meanwhile.
  auto shoot = [&](const std::string& title, const std::string& name) {
    gui::app().backend().flush();
    if (x.shootDrawn(title, artifacts() / (name + ".png"), [] {
          gui::app().backend().pump(1);
          gui::app().backend().flush();
        }))
      shots.push_back(name);
  };

  std::vector<std::pair<std::function<bool()>, std::function<void()>>> moves = {
      {[] { return true; }, [&] { gui::app().postActivate(w.button(4)); }},
      {[] { return install::openFirstInstallScreen().dialog != nullptr; },
       [&] {
         const install::FirstInstallScreen& d = install::openFirstInstallScreen();
         d.program->setText(os::fromHost(programHost));
         d.database->setText(os::fromHost(bazaHost));
         shoot("Pierwsza instalacja programu", "first_install_screen");
         gui::app().postActivate(*d.install);
       }},
      {[&] { return onDisplay("Koniec instalacji"); },
       [&] {
         shootBox("Koniec instalacji", "done");
         press("Zamknij to okno");
       }},
      {[] { return install::openFirstInstallScreen().dialog == nullptr; },
       [&] { gui::app().postActivate(w.button(5)); }},
  };
  size_t next = 0;
  std::function<void()> poll = [&] {
    if (next < moves.size() && moves[next].first()) moves[next++].second();
    if (next < moves.size()) gui::app().addTimer(10, poll);
  };
  gui::app().addTimer(30, poll);
  w.run();

  EXPECT_EQ(next, moves.size()) << "stopped before move " << next + 1;
  EXPECT_EQ(shots, (std::vector<std::string>{"first_install_screen", "done"}));
  EXPECT_NE(
      run("convert " + (artifacts() / "first_install_screen.png").string() + " -format '%k' info:"),
      "1")
      << "the screen's photograph is blank";
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->result, upgrade::Result::Complete);
  EXPECT_EQ(field(programHost / "baza.dbf", "PATH"), os::fromHost(bazaHost) + "\\");

  gui::useHeadless();
  gui::releaseFltkDisplay();
  fs::current_path(saved);
  ::unsetenv("TAV_PREFIX");
  os::resetPathCaches();
}

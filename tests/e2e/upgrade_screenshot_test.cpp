// The upgrade in real windows on a virtual X display, clicked through as a person would: the main
// window's "Aktualizacja programu", the directory typed, "Zainstaluj Program", the duration
// question confirmed, the progress window, and "Powodzenie!". Each screen is photographed into
// the build's artifacts.
#include <gtest/gtest.h>

#include <functional>

#include "db/table_access.h"
#include "e2e/upgrade_support.h"
#include "e2e/x_session.h"
#include "engine/workspace.h"
#include "gui/application.h"
#include "gui/fltk/fltk_backend.h"
#include "gui/headless/headless.h"
#include "install/services.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "shell/main_window.h"
#include "shell/runtime_setup.h"
#include "upgrade/upgrade_run.h"
#include "upgrade/upgrade_screen.h"

using namespace tav;
using namespace tav::e2e;
using Trees = tav::testing::SampleTrees;

namespace {

// This workstation's measured upgrades, so that the confirmation has an estimate to show.
void measuredBefore(const fs::path& nazwy, const std::string& station) {
  auto& ws = engine::workspace();
  ASSERT_TRUE(ws.useHost(nazwy, "nn", {}));
  engine::WorkArea* a = ws.find("nn");
  ASSERT_TRUE(a->append());
  a->put("nazwa", rt::Value(station));
  for (size_t pos = 4; pos <= a->fieldCount(); ++pos)
    if (a->field(pos).type == 'N') a->put(pos, rt::Value(75.0));
  a->commit();
  ws.close("nn");
}

bool topIs(const std::string& titleStart) {
  gui::Dialog* top = gui::topWindow();
  return top && top->title().rfind(rt::utf8ToOem(titleStart), 0) == 0;
}

void press(const char* caption) {
  if (gui::Widget* b = gui::findByCaption(gui::topWindow()->drawingArea(), rt::utf8ToOem(caption)))
    gui::app().postActivate(*b);
}

}  // namespace

TEST(UpgradeOnScreen, ClickedThroughToSuccess) {
  if (!Trees::available()) GTEST_SKIP() << "mkrelease is not built";
  VirtualDisplay x;
  if (!x.installed()) GTEST_SKIP() << "Xvfb is not installed (apt-get install xvfb)";
  ASSERT_TRUE(x.up());
  ::setenv("DISPLAY", x.name().c_str(), 1);
  auto real = gui::makeFltkBackend();
  ASSERT_NE(real, nullptr) << "built without FLTK, or the display does not answer";

  Scene s("screen", "025.01.040", 3);
  const fs::path saved = fs::current_path();
  startToolHere(s.release, s.prefix);
  ::setenv("ORB_NAME", "STANOWISKO", 1);
  measuredBefore(s.baza / "str" / "nazwy.dbf", "STANOWISKO");
  gui::app().setBackend(std::move(real));

  shell::MainActions actions = actionsWithoutStartup();
  std::vector<std::string> shots;
  std::vector<upgrade::UpgradeOutcome> outcomes;
  upgrade::UpgradeScreenServices services = install::upgradeScreenServices();
  // The progress window is photographed while the run stands still in it, after its first firm:
  // however fast or slow the machine, the run goes on only once the photograph is taken.
  services.onFirm = [&](const tav::frontend::FirmProgress& p) {
    if (!p.done || p.index != 1) return;
    const fs::path png = artifacts() / "upgrade_progress.png";
    for (int tries = 0; tries < 30; ++tries) {
      // The window's own drawing is an event like any other: it happens while events are taken.
      while (auto ev = gui::app().next(1)) gui::app().dispatch(*ev);
      gui::app().backend().flush();
      const std::string id = x.window("Aktualizacja Bazy Danych");
      if (!id.empty() && x.shoot(id, png) &&
          run("convert " + png.string() + " -format '%k' info:") != "1") {
        shots.push_back("upgrade_progress");
        return;
      }
    }
  };
  services.onOutcome = [&](const upgrade::UpgradeOutcome& o) { outcomes.push_back(o); };
  actions.upgrade = [&](gui::Dialog& d) { upgrade::UPGRADE(d, services); };
  shell::MainWindow w(actions);
  // A message box is photographed once the display shows it, not merely once the tool made it.
  // xdotool matches the whole title as a pattern, so the title's start is followed by ".*".
  auto onDisplay = [&](const char* title) {
    if (!topIs(title)) return false;
    gui::app().backend().flush();
    return !x.window(std::string(title) + ".*").empty();
  };
  auto shootBox = [&](const char* title, const std::string& name) {
    if (x.shoot(x.window(std::string(title) + ".*"), artifacts() / ("upgrade_" + name + ".png")))
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

  // The person's moves, each when the screen shows what it waits for.
  std::vector<std::pair<std::function<bool()>, std::function<void()>>> moves = {
      {[] { return true; }, [&] { gui::app().postActivate(w.button(3)); }},
      {[] { return upgrade::openUpgradeDialog().dialog != nullptr; },
       [&] {
         upgrade::openUpgradeDialog().directory->setText(os::fromHost(s.program));
         shoot("Aktualizacja programu", "upgrade_dialog");
         gui::app().postActivate(*upgrade::openUpgradeDialog().install);
       }},
      {[&] { return onDisplay("Czas instalacji"); },
       [&] {
         shootBox("Czas instalacji", "duration_question");
         press("Potwierdź");
       }},
      {[&] { return onDisplay("Powodzenie!"); },
       [&] {
         shootBox("Powodzenie!", "success");
         press("Zamknij to okno");
       }},
      {[] { return upgrade::openUpgradeDialog().dialog == nullptr; },
       [&] { gui::app().postActivate(w.button(5)); }},
  };
  size_t next = 0;
  std::function<void()> poll = [&] {
    if (next < moves.size() && moves[next].first()) {
      moves[next++].second();
    }
    if (next < moves.size()) gui::app().addTimer(10, poll);
  };
  gui::app().addTimer(30, poll);
  w.run();

  EXPECT_EQ(next, moves.size()) << "stopped before move " << next + 1;
  EXPECT_EQ(shots, (std::vector<std::string>{"upgrade_dialog", "duration_question",
                                             "upgrade_progress", "success"}));
  for (const char* png : {"upgrade_dialog.png", "upgrade_progress.png"})
    EXPECT_NE(run("convert " + (artifacts() / png).string() + " -format '%k' info:"), "1")
        << png << " is blank";
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].result, upgrade::Result::Complete);
  EXPECT_EQ(field(s.baza / "wersja.dbf", "BAZA"), "025.01.046");

  gui::useHeadless();
  gui::releaseFltkDisplay();
  fs::current_path(saved);
  ::unsetenv("TAV_PREFIX");
  ::unsetenv("ORB_NAME");
  os::resetPathCaches();
}

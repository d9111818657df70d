// The main window: its five buttons, its event loop and the start-up that leads to it. The loop
// and every action are recovery points: an error the user cancels ends the action (its tables
// closed, its windows gone) and the main window stays, never the process.
#include "shell/main_window.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "db/table_access.h"
#include "dialogs/alarm.h"
#include "dialogs/buttons.h"
#include "engine/workspace.h"
#include "gui/application.h"
#include "install/dir_chooser.h"
#include "install/first_install.h"
#include "install/services.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/collation.h"
#include "runtime/error.h"
#include "runtime/shared_variables.h"
#include "shell/running_check.h"
#include "shell/startup_folders.h"
#include "upgrade/action.h"
#include "upgrade/upgrade_screen.h"

namespace tav::shell {

using namespace rt::literals;
using dialogs::ALARM;
using dialogs::DP;
using dialogs::KEYHANDLER;
using dialogs::PP;
using gui::Point;
using gui::Size;

namespace {

// Only a close request for the main window itself ends its loop; a notice closed by its own
// close box meanwhile must not take the tool down with it.
bool closesWindow(const gui::Event& e, gui::Dialog& d) {
  if (e.type != gui::EventType::Close) return false;
  gui::Widget* w = gui::app().find(e.target);
  return w == nullptr ? false : w->dialog() == &d;
}

// Runs `body` as a recovery point. When it is abandoned, whatever it opened and left behind
// goes: the work areas (the database lock among them) and the windows it made, so that the
// screen it came from is usable again.
void recoveryPoint(const std::function<void()>& body) {
  auto& a = gui::app();
  std::vector<uint64_t> windowsBefore;
  for (const auto& w : a.windows()) windowsBefore.push_back(w->id());
  const std::vector<std::string> aliasesBefore = engine::workspace().aliases();
  if (rt::sequence(body)) return;
  for (const std::string& alias : engine::workspace().aliases())
    if (std::find(aliasesBefore.begin(), aliasesBefore.end(), alias) == aliasesBefore.end())
      rt::guarded([&] { db::ZAMKNIJ(alias); });
  std::vector<uint64_t> made;
  for (const auto& w : a.windows())
    if (std::find(windowsBefore.begin(), windowsBefore.end(), w->id()) == windowsBefore.end())
      made.push_back(w->id());
  // Newest first: a child goes before the window that owns it.
  for (auto id = made.rbegin(); id != made.rend(); ++id)
    if (gui::Widget* w = a.find(*id)) w->destroy();
}

}  // namespace

MainActions defaultMainActions() {
  MainActions m;
  m.upgrade = [](gui::Dialog& d) { upgrade::UPGRADE(d, install::upgradeScreenServices()); };
  m.firstInstall = [](gui::Dialog& d) { install::PIERWSZA_INSTALACJA(d); };
  m.tavRunning = [] { return IS_TAV_RUN(); };
  m.folders = [] { findStartupFolders(); };
  m.registryProblem = [] { return os::reg::checkStore(); };
  return m;
}

MainWindow::MainWindow(MainActions actions) : actions_(std::move(actions)) {
  auto& a = gui::app();
  auto& sv = rt::shared();
  const Size size{630, 260};
  Size screen = a.screenSize();
  gui::DialogFlags flags;
  flags.minButton = flags.maxButton = flags.resizable = flags.alwaysOnTop = false;
  dialog_ =
      &a.createDialog(nullptr, {(screen.w - size.w) / 2, (screen.h - size.h) / 2}, size, flags);
  dialog_->setTitle("Instalacja programu TAV wersja "_oem + sv.wersja_p);
  dialog_->setIcon(100);
  dialog_->setMinMax(size, size);
  sv.h_org = 370;

  gui::Widget& da = dialog_->drawingArea();
  da.setColors(gui::kDarkGrey, gui::kDialogBack);
  da.setFont(gui::Font::parse("10.Arial"));
  a.setMainWindow(dialog_);

  gui::Font buttonFont;
  buttonFont.name = "Arial";
  buttonFont.codePage = 238;
  buttonFont.pointSize = sv.fh12;

  const int W = da.size().w, H = da.size().h;
  const int m = sv.h_org / 12;
  const int bw = static_cast<int>(W * 0.4);
  const int gap = m / 2;

  logo_ = &da.add<gui::Static>(gui::StaticType::Bitmap, Point{2 * m + bw, H / 2 - m},
                               Size{W - bw - 3 * m, H / 2});
  logo_->setImage(200);

  const char* captions[] = {"Napraw Bazę danych", "Napraw instalację Programu",
                            "Aktualizacja programu", "Pierwsza instalacja programu",
                            "Zakończ instalację"};
  for (int i = 0; i < 5; ++i) {
    auto& b = da.add<gui::PushButton>(Point{m, m + i * (m + gap)}, Size{bw, m});
    b.setCaption(rt::utf8ToOem(captions[i]));
    b.setTabStop(true);
    b.setColors(gui::kButtonText, gui::kButtonFace);
    b.setFont(buttonFont);
    b.onEnter = b.onSetFocus = [](gui::Widget& w) { DP(w); };
    b.onLeave = b.onKillFocus = [](gui::Widget& w) { PP(w); };
    b.onKey = [](int k, gui::Widget& w) { KEYHANDLER(k, w); };
    buttons_.push_back(&b);
  }
  // The two repair buttons are shown and take the focus, but nothing stands behind them.
  button(3).onActivate = [this](gui::Widget& w) {
    act(static_cast<gui::PushButton&>(w), actions_.upgrade);
  };
  button(4).onActivate = [this](gui::Widget& w) {
    act(static_cast<gui::PushButton&>(w), actions_.firstInstall);
  };
  button(5).onActivate = [this](gui::Widget&) { done = true; };
  dialog_->show();
  button(3).setFocus();
}

MainWindow::~MainWindow() {
  if (dialog_ && gui::app().find(dialog_->id())) dialog_->destroy();
}

void MainWindow::act(gui::PushButton& b, const std::function<void(gui::Dialog&)>& action) {
  gui::Widget& da = dialog_->drawingArea();
  da.disable();
  if (action) recoveryPoint([&] { action(*dialog_); });
  done = false;
  da.enable();
  b.setFocus();
  if (b.hasFocus()) DP(b);
}

void MainWindow::run() {
  auto& a = gui::app();
  while (true) {
    auto ev = a.next();
    if (!ev) continue;
    recoveryPoint([&] { a.dispatch(*ev); });
    if (closesWindow(*ev, *dialog_) || done) break;
  }
  dialog_->destroy();
  dialog_ = nullptr;
}

int MAIN(const std::vector<std::string>& args, MainActions actions) {
  // Steps 1 and 2: the shared variables and the table settings, then the three arguments.
  rt::resetShared();
  db::STARTINIT();
  auto& sv = rt::shared();
  auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
  sv.wersja_p = arg(0);
  sv.wersja_b = arg(1);
  sv.roczek = arg(2);
  sv.cPulpit.clear();
  sv.cMenu.clear();
  sv.cProgram.clear();
  sv.cBaza.clear();
  sv.cTAV.clear();
  sv.nazwa_sieciowa.clear();

  // The arguments must be the release's own: a wrong one would name the archive, the registry's
  // database release and the steps after another release than the one installed.
  if (const auto wrong = upgrade::releaseArgumentsDisagree({sv.wersja_p, sv.wersja_b, sv.roczek});
      !wrong.empty()) {
    std::string text = "Parametry wywołania nie zgadzają się z wydaniem w tym katalogu:"_oem;
    for (const upgrade::ArgumentMismatch& m : wrong) {
      const std::string what = m.what == std::string("program release")    ? "wersja programu"
                               : m.what == std::string("database release") ? "wersja bazy danych"
                                                                           : "rok";
      text += ";" + rt::utf8ToOem(what) + ": podano " + m.given + ", " + m.file + " podaje " +
              m.recorded;
    }
    ALARM(true, "3", "Błędne parametry"_oem, text);
    return 2;
  }

  // Step 3: a log found after the run belongs to this run.
  std::error_code ec;
  std::filesystem::remove("error.log", ec);

  // Step 4: no silent run beside the accounting program.
  auto ask = [] {
    return ALARM(
               true, "5", "Uwaga!!",
               "Program instalacyjny wymaga zamknięcia;wszystkich programów TAV!;Czy kontynuujesz instalację?"_oem,
               rt::Array{"Kontynuuję"_oem, "Rezygnuję"_oem})
        .choice;
  };
  if (actions.tavRunning && !waitUntilTavCloses(ask, actions.tavRunning)) return 0;

  // The registry the actions end with must be writable before they begin: a Wine server of the
  // prefix holds its registry and writes it back when it ends, and a registry file that does not
  // parse is never overwritten. Either way the tool ends here with nothing changed.
  if (actions.registryProblem) {
    for (os::reg::StoreProblem p = actions.registryProblem(); p; p = actions.registryProblem()) {
      if (p.kind == os::reg::StoreProblem::Kind::WineServerRunning) {
        const std::string text =
            "Rejestr systemu jest w użyciu przez programy;uruchomione pod Wine w katalogu;"_oem +
            os::oemText(os::prefixDir()) + ";Zamknij je i wybierz Kontynuuję."_oem;
        if (ALARM(true, "5", "Uwaga!!", text, rt::Array{"Kontynuuję"_oem, "Rezygnuję"_oem})
                .choice != 1)
          return 0;
        continue;
      }
      const std::string text =
          p.kind == os::reg::StoreProblem::Kind::Mixed
              ? "Pliki rejestru w katalogu;"_oem + os::oemText(os::prefixDir()) +
                    ";mają dwa różne formaty.;Niczego nie zmieniono."_oem
              : "Nie da się odczytać pliku rejestru;"_oem + os::oemText(p.file) +
                    (p.line ? ";(wiersz " + std::to_string(p.line) + ")." : std::string(".")) +
                    ";Niczego nie zmieniono."_oem;
      ALARM(true, "3", "Błąd!"_oem, text);
      return 0;
    }
  }

  // Steps 5 to 8: shell folders and the directories of an earlier installation.
  if (actions.folders) actions.folders();

  // Step 9.
  sv.lpp_alfabet = rt::collationAlphabet();

  // Step 10.
  MainWindow w(std::move(actions));
  w.run();
  return 0;
}

}  // namespace tav::shell

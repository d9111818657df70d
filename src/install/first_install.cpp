// The first installation's screen: its widgets, and INSTALUJ between the fields and the core.
#include "install/first_install.h"

#include "dialogs/action_screen.h"
#include "dialogs/screen_questions.h"
#include "install/dir_chooser.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "upgrade/progress_window.h"

namespace tav::install {
namespace {

using namespace rt::literals;

// The screen while it is open, for the tests that drive it.
FirstInstallScreen gOpenScreen;

}  // namespace

const FirstInstallScreen& openFirstInstallScreen() { return gOpenScreen; }

InstallOutcome INSTALUJ(gui::Dialog& dialog, gui::Edit& programField, gui::Edit& databaseField,
                        bool& done) {
  gui::Widget& area = dialog.drawingArea();
  // Where the progress bar stands while there is no progress window.
  const int W = area.size().w, H = area.size().h, m = H / 12;
  dialogs::ScreenQuestions person(
      [](const std::string& last) { return ORBDIRSELECT(rt::Value(last), false); });
  upgrade::ScreenProgress progress(
      &dialog, upgrade::ScreenProgress::BarPlace{&area, m, 3 * H / 10, W - 2 * m});
  const InstallOutcome out = installProgram(
      {{programField.text(), databaseField.text()}, upgrade::currentReleaseArguments(), {}}, person,
      progress);
  area.enable();
  if (out.result == upgrade::Result::Complete) {
    dialog.setFocus();
    done = true;
  } else {
    (out.field == InstallOutcome::Field::Program ? programField : databaseField).setFocus();
  }
  return out;
}

void PIERWSZA_INSTALACJA(gui::Dialog& mainWindow,
                         const std::function<void(const InstallOutcome&)>& onOutcome) {
  auto& sv = rt::shared();
  dialogs::ActionScreen screen(mainWindow, "Pierwsza instalacja programu");
  gui::Dialog& d = screen.dialog();
  const int W = screen.width(), H = screen.height(), m = screen.margin();
  bool done = false;

  FirstInstallScreen& ui = gOpenScreen;
  ui = FirstInstallScreen{};
  ui.dialog = &d;
  const auto buttons = screen.backAndInstall(done, [&] {
    const InstallOutcome out = INSTALUJ(d, *ui.program, *ui.database, done);
    if (onOutcome) onOutcome(out);
  });
  ui.back = buttons.back;
  ui.install = buttons.install;

  // Two rows from the top down, each a label over a field with its folder button beside it.
  auto row = [&](int top, const char* label, const std::string& initial, gui::Edit*& field,
                 gui::PushButton*& folder) {
    screen.label({m, top - m}, {W - 2 * m, m}, rt::utf8ToOem(label));
    field = &screen.directoryField(top - 2 * m - m / 10, upgrade::kDirectoryFieldLength, initial,
                                   folder, [&d](gui::Edit& f) { WEZ_KAT(d, f); });
  };
  const std::string programInitial =
      !sv.cProgram.empty() ? sv.cProgram : "c:\\Tamborex\\Tav\\"_oem + sv.roczek + "\\";
  row(H - m / 3, "Wybierz katalog w którym zostanie zainstalowany PROGRAM", programInitial,
      ui.program, ui.programFolder);
  row(H - m / 3 - 5 * m / 2,
      "Wybierz katalog w którym zostanie (lub już jest) zainstalowana BAZA DANYCH", sv.cBaza,
      ui.database, ui.databaseFolder);
  screen.run(*ui.program, done);
  ORBDIRSELECT(rt::Value("CLOSE"));
  ui = FirstInstallScreen{};
}

}  // namespace tav::install

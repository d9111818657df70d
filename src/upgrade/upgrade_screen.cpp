// The upgrade's screen: its widgets, and INSTALUJ between the field and the core.
#include "upgrade/upgrade_screen.h"

#include "dialogs/action_screen.h"
#include "dialogs/screen_questions.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

namespace tav::upgrade {
namespace {

using namespace rt::literals;

UpgradeDialog& openDialog() {
  static UpgradeDialog d;
  return d;
}

}  // namespace

const UpgradeDialog& openUpgradeDialog() { return openDialog(); }

UpgradeOutcome INSTALUJ(gui::Dialog& dialog, gui::Edit& field, bool& koniec,
                        const UpgradeScreenServices& services) {
  koniec = false;
  dialogs::ScreenQuestions person;
  ScreenProgress progress(&dialog, std::nullopt, services.onFirm);
  const UpgradeOutcome out = upgradeProgram({field.text(), currentReleaseArguments(), {}}, person,
                                            progress, services.registration);
  koniec = out.closeScreen;
  gui::Widget& area = dialog.drawingArea();
  area.enable();
  switch (out.stage) {
    case Stage::Checks:
    case Stage::Confirmation:
    case Stage::Space:
    case Stage::DiskTest:
    case Stage::ProgramDiskTest:
      field.setFocus();
      break;
    case Stage::DatabaseRun:
      dialog.setFocus();
      break;
    case Stage::Finished:
      if (out.result != Result::Complete) dialog.setFocus();
      break;
  }
  if (services.onOutcome) services.onOutcome(out);
  return out;
}

void UPGRADE(gui::Dialog& mainWindow, const UpgradeScreenServices& services) {
  auto& sv = rt::shared();
  dialogs::ActionScreen screen(mainWindow, "Aktualizacja programu");
  gui::Dialog& d = screen.dialog();
  gui::Widget& da = screen.area();
  const int W = screen.width(), H = screen.height(), m = screen.margin();
  bool koniec = false;

  UpgradeDialog& ui = openDialog();
  ui = UpgradeDialog{};
  ui.dialog = &d;
  ui.back = &screen.button({m, m}, "Poprzedni ekran");
  ui.install = &screen.button({W - m - screen.buttonWidth(), m}, "Zainstaluj Program");
  screen.label({m, H - 2 * m}, {W - 2 * m, m},
               "Wybierz katalog, w którym masz zainstalowany PROGRAM TAV na rok "_oem + sv.roczek);
  sv.cTAV = sv.cProgram;
  ui.directory = &screen.directoryField(H - 3 * m - m / 2, kDirectoryFieldLength, sv.cTAV,
                                        ui.folder, [&](gui::Edit& field) {
                                          if (services.chooseDirectory)
                                            services.chooseDirectory(d, field);
                                          koniec = false;
                                        });

  gui::Edit* field = ui.directory;
  ui.back->onActivate = [&](gui::Widget&) { koniec = true; };
  ui.install->onActivate = [&](gui::Widget&) {
    da.disable();
    INSTALUJ(d, *field, koniec, services);
    da.enable();
  };
  screen.run(*field, koniec);
  if (services.closeChooser) services.closeChooser();
  ui = UpgradeDialog{};
}

}  // namespace tav::upgrade

// The upgrade's screen: its widgets, and INSTALUJ between the field and the core.
#include "upgrade/upgrade_screen.h"

#include "dialogs/action_screen.h"
#include "dialogs/screen_questions.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

namespace tav::upgrade {
namespace {

using namespace rt::literals;

// The dialog while it is open, for the tests that drive it.
UpgradeDialog gOpenDialog;

}  // namespace

const UpgradeDialog& openUpgradeDialog() { return gOpenDialog; }

UpgradeOutcome INSTALUJ(gui::Dialog& dialog, gui::Edit& field, bool& done,
                        const UpgradeScreenServices& services) {
  done = false;
  dialogs::ScreenQuestions person;
  ScreenProgress progress(&dialog, std::nullopt, services.onFirm);
  const UpgradeOutcome out = upgradeProgram({field.text(), currentReleaseArguments(), {}}, person,
                                            progress, services.registration);
  done = out.closeScreen;
  gui::Widget& area = dialog.drawingArea();
  area.enable();
  switch (out.stage) {
    case Stage::Checks:
    case Stage::Confirmation:
    case Stage::Space:
    case Stage::InUse:
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
  sv.cTAV = sv.cProgram;  // the directory offered first: the installation found at start-up
  dialogs::ActionScreen screen(mainWindow, "Aktualizacja programu");
  const int m = screen.margin(), labelY = screen.height() - 2 * m;
  bool done = false;
  UpgradeDialog& ui = gOpenDialog;
  const auto buttons = screen.backAndInstall(
      done, [&] { INSTALUJ(screen.dialog(), *ui.directory, done, services); });
  ui = UpgradeDialog{&screen.dialog(), buttons.back, buttons.install, nullptr, nullptr};
  screen.label({m, labelY}, {screen.width() - 2 * m, m},
               "Wybierz katalog, w którym masz zainstalowany PROGRAM TAV na rok "_oem + sv.roczek);
  ui.directory = &screen.directoryField(labelY - m - m / 2, kDirectoryFieldLength, sv.cTAV,
                                        ui.folder, [&](gui::Edit& field) {
                                          if (services.chooseDirectory)
                                            services.chooseDirectory(screen.dialog(), field);
                                          done = false;
                                        });
  screen.run(*ui.directory, done);
  if (services.closeChooser) services.closeChooser();
  ui = UpgradeDialog{};
}

}  // namespace tav::upgrade

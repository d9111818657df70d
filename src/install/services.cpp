// The installation's services for the upgrade.
#include "install/services.h"

#include "install/dir_chooser.h"
#include "install/registration.h"
#include "runtime/codepage.h"

namespace tav::install {

upgrade::Registration registration() {
  return [](const db::Directories& directories, const std::string& year) {
    return REJESTRY(rt::oemToAnsi(directories.program), rt::oemToAnsi(directories.database), year);
  };
}

upgrade::UpgradeScreenServices upgradeScreenServices() {
  upgrade::UpgradeScreenServices s;
  s.chooseDirectory = [](gui::Dialog& d, gui::Edit& field) { WEZ_KAT(d, field); };
  s.closeChooser = [] { ORBDIRSELECT(rt::Value("CLOSE")); };
  s.registration = registration();
  return s;
}

}  // namespace tav::install

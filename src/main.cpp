// tav_setup: the installation and upgrade tool. Three positional arguments (program release,
// database release, tax year) start the interactive tool; the switches after them start an
// unattended run. The command line is checked before anything on disk is created.
#include <cstdio>
#include <string>
#include <vector>

#include "gui/application.h"
#include "gui/headless/headless.h"
#include "os/console.h"
#include "runtime/codepage.h"
#include "shell/error_handler.h"
#include "shell/main_window.h"
#include "shell/runtime_setup.h"
#include "shell/unattended/unattended.h"

using namespace tav;

int main(int argc, char** argv) {
  os::prepareConsole();
  std::vector<std::string> raw = os::commandLineArguments(argc, argv);
  std::string error;
  const auto options = shell::parseSwitches(raw, error);
  if (!options) {
    std::fprintf(stderr, "tav_setup: %s\n\n%s", error.c_str(), shell::usage().c_str());
    return 2;
  }
  if (options->action == shell::UnattendedOptions::Action::Help) {
    std::fputs(shell::usage().c_str(), stdout);
    return 0;
  }

  // The three positional arguments: program release, database release, tax year.
  std::vector<std::string> args;
  for (const std::string& a : raw) {
    if (a.rfind("--", 0) == 0) break;
    args.push_back(rt::utf8ToOem(a));
  }

  if (options->action != shell::UnattendedOptions::Action::None) {
    shell::ERRORSYS();
    shell::DBESYS({});
    const int code = shell::runUnattended(*options, args);
    shell::APPEXIT();
    return code;
  }

  const std::string backend = gui::chooseBackend();
  if (backend == "headless") {
    std::fprintf(stderr,
                 "tav_setup: the interactive tool has no display here, or is not in this build; "
                 "nothing was changed.\n"
                 "Unattended: tav_setup %s --upgrade DIR --yes, or --install PROGRAM_DIR "
                 "DATABASE_DIR --yes\n"
                 "(see --help)\n",
                 args.size() >= 3 ? (raw[0] + " " + raw[1] + " " + raw[2]).c_str()
                                  : "25.01.046 025.01.046 2025");
    return 2;
  }

  shell::ERRORSYS();
  // On a screen the set-up's alerts are message boxes.
  shell::SystemAlert alert = [](const std::string& text) {
    shell::CONFIRMBOX(nullptr, text, " ", 0, 16);
  };
  shell::DBESYS(alert);

  int code = 0;
  try {
    code = shell::MAIN(args);
  } catch (const gui::Starved&) {
    std::fprintf(stderr, "tav_setup: no answers for the questions; nothing was changed\n");
    return 2;
  }
  shell::APPEXIT();
  return code;
}

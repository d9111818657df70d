#include <cstdio>
#include <string>
#include <vector>

#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/codepage.h"
#include "shell/error_handler.h"
#include "shell/main_window.h"
#include "shell/runtime_setup.h"

using namespace tav;

int main(int argc, char** argv) {
  // The three positional arguments: program release, database release, tax year.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(rt::utf8ToOem(argv[i]));

  const std::string backend = gui::chooseBackend();

  shell::ERRORSYS();
  // On a screen the set-up's alerts are message boxes; without one they go to standard error.
  shell::SystemAlert alert;
  if (backend != "headless") alert = [](const std::string& text) { shell::CONFIRMBOX(nullptr, text, " ", 0, 16); };
  shell::DBESYS(alert);

  int code = 0;
  try {
    code = shell::MAIN(args);
  } catch (const gui::Starved&) {
    std::fprintf(stderr, "tav_setup: no display and no answers for the questions; nothing was changed\n");
    return 2;
  }
  shell::APPEXIT();
  return code;
}

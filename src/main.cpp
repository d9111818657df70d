#include <cstdio>
#include <string>
#include <vector>

#include "gui/application.h"
#include "gui/headless/headless.h"
#include "runtime/codepage.h"
#include "shell/error_handler.h"
#include "shell/main_window.h"

using namespace tav;

int main(int argc, char** argv) {
  // The three positional arguments: program release, database release, tax year.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(rt::utf8ToOem(argv[i]));

  gui::chooseBackend();

  shell::ERRORSYS();
  // TODO(issue 6): the runtime set-up DBESYS and the table layer's STARTINIT go here once
  // src/shell/runtime_setup.h and src/db/table_access.h exist.

  shell::MainActions actions = shell::defaultMainActions();
  // TODO(issue 6): start-up steps 5-8 (shell folders, earlier installation) go into
  // actions.folders once src/shell/startup_folders.h exists.

  int code = 0;
  try {
    code = shell::MAIN(args, std::move(actions));
  } catch (const gui::Starved&) {
    std::fprintf(stderr, "tav_setup: no display and no answers for the questions; nothing was changed\n");
    return 2;
  }
  // TODO(issue 6): APPEXIT once the table layer provides it.
  return code;
}

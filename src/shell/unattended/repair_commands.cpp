// --check, --repair, --check-program and --repair-program: the run without a screen around the
// repair subsystem's calls, a progress line per directory of the database on standard error (one
// redrawn line on a terminal), what was found and done on standard output and the JSON report.
#include "shell/unattended/repair_commands.h"

#include <cstdio>

#include "os/console.h"
#include "repair/repair.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "shell/startup_folders.h"
#include "shell/unattended/reports.h"
#include "shell/unattended/run_frame.h"

namespace tav::shell {
namespace {

using Action = UnattendedOptions::Action;

struct Switch {
  const char* name;
  Action action;
};
constexpr Switch kSwitches[] = {{"--check", Action::Check},
                                {"--repair", Action::Repair},
                                {"--check-program", Action::CheckProgram},
                                {"--repair-program", Action::RepairProgram}};

// One line per directory of the database; on a terminal one line that redraws.
class ProgressLine {
 public:
  ProgressLine() : terminal_(os::stderrIsTerminal()) {}
  ~ProgressLine() {
    if (open_) std::fputc('\n', stderr);
  }
  void show(const repair::Progress& p) {
    const std::string line =
        std::to_string(p.index) + " of " + std::to_string(p.total) + ": " + rt::oemToUtf8(p.what);
    if (terminal_) {
      std::fprintf(stderr, "\r\033[K%s", line.c_str());
      open_ = true;
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
  }

 private:
  bool terminal_;
  bool open_ = false;
};

bool writeJson(const std::string& file, const nlohmann::json& j) {
  if (file.empty() || writeReport(file, j)) return true;
  std::fprintf(stderr, "tav_setup: the report %s could not be written\n", file.c_str());
  return false;
}

void print(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) std::printf("%s\n", rt::oemToUtf8(l).c_str());
  std::fflush(stdout);
}

}  // namespace

std::optional<Action> repairSwitch(const std::string& name) {
  for (const Switch& s : kSwitches)
    if (name == s.name) return s.action;
  return std::nullopt;
}

bool repairSwitch(Action action) {
  for (const Switch& s : kSwitches)
    if (action == s.action) return true;
  return false;
}

std::string repairUsage() {
  return "  --check DIR         read every table of the database of DIR (a program directory, or\n"
         "                      the database directory itself) and say what is damaged, changing\n"
         "                      nothing; exit 0 nothing damaged, 1 damage found, 2 refused;\n"
         "                      --jobs N: N directories at once (default: one per core)\n"
         "  --repair DIR        with --yes: take the database as an upgrade does, keep the files\n"
         "                      of every damaged table under DIR\\naprawa\\<date-time>\\ and mend\n"
         "                      what can be mended (public\\naprawa.txt says what); exit 0 all\n"
         "                      mended, 1 something left for a person, 2 refused\n"
         "  --check-program DIR the program in DIR against this release, its registry keys and\n"
         "                      shortcuts (exit codes as --check)\n"
         "  --repair-program DIR\n"
         "                      with --yes: copy back what is missing or different (the replaced\n"
         "                      files kept under DIR\\naprawa\\), write the keys, make the links\n";
}

int runRepairCommand(const UnattendedOptions& options, const std::vector<std::string>& positional) {
  // Without a screen; an error nobody guards ends the command instead of waiting for a person.
  RunFrame frame(positional, true);
  if (const auto wrong = frame.argumentsRefusal()) {
    std::fprintf(stderr, "tav_setup: %s\n", wrong->c_str());
    return 2;
  }
  repair::Request request;
  request.directory = windowsDirectory(options.programDirectory);
  request.confirmed = options.yes;
  if (options.action == Action::Check) request.jobs = options.jobs;
  const bool program =
      options.action == Action::CheckProgram || options.action == Action::RepairProgram;
  try {
    if (program) {
      findStartupFolders();
      const repair::ProgramOutcome o = options.action == Action::RepairProgram
                                           ? repair::repairProgram(request)
                                           : repair::checkProgram(request);
      print(repair::programLines(o));
      if (o.refused()) std::fprintf(stderr, "tav_setup: %s\n", rt::oemToUtf8(o.refusal).c_str());
      return writeJson(options.reportFile, repair::programJson(o)) ? o.exitCode() : 2;
    }
    repair::DatabaseOutcome o;
    {
      ProgressLine progress;
      auto show = [&](const repair::Progress& p) { progress.show(p); };
      o = options.action == Action::Repair ? repair::repairDatabase(request, show)
                                           : repair::checkDatabase(request, show);
    }
    print(repair::databaseLines(o));
    if (o.refused()) std::fprintf(stderr, "tav_setup: %s\n", rt::oemToUtf8(o.refusal).c_str());
    if (o.repair && !o.refused() && o.report.empty())
      std::fprintf(stderr, "tav_setup: the report public\\naprawa.txt could not be written\n");
    return writeJson(options.reportFile, repair::databaseJson(o)) ? o.exitCode() : 2;
  } catch (const rt::Abandon& a) {
    std::fprintf(stderr, "tav_setup: %s failed: %s\n", program ? "the program check" : "the check",
                 rt::oemToUtf8(a.error().summary()).c_str());
    return 2;
  }
}

}  // namespace tav::shell

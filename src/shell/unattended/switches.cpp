// The unattended switches, read whole before anything else happens.
#include "shell/unattended/switches.h"

#include "os/child_process.h"
#include "shell/unattended/repair_commands.h"

namespace tav::shell {
namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The actions that write nothing: their JSON goes with --json, and --yes has nothing to confirm.
bool readsOnly(UnattendedOptions::Action a) {
  return a == UnattendedOptions::Action::Plan || a == UnattendedOptions::Action::Check ||
         a == UnattendedOptions::Action::CheckProgram;
}

// More worker processes than this would only wait for the disk.
constexpr int kMostJobs = 64;

}  // namespace

std::string usage() {
  return "usage: tav_setup PROGRAM_RELEASE DATABASE_RELEASE YEAR [switches]\n"
         "  started in the shipped release's directory, e.g. tav_setup 25.01.046 025.01.046 2025\n"
         "\n"
         "without switches: the interactive tool (needs a display)\n"
         "  --upgrade DIR       upgrade the TAV program installed in DIR (C:\\TAV\\ or a host "
         "path)\n"
         "                      and its database, without a person at the screen\n"
         "  --install PROGRAM_DIR DATABASE_DIR\n"
         "                      first installation: the program into PROGRAM_DIR (which must be\n"
         "                      empty), a new database into an empty DATABASE_DIR or the existing\n"
         "                      database there taken over (and upgraded when it is older)\n"
         "  --previous-program DIR\n"
         "                      with --install onto a database of the year before: the program\n"
         "                      installed for the release's year, whose settings are carried over\n"
         "  --yes               confirm the upgrade; with --install also create missing "
         "directories\n"
         "                      and confirm a database of the year before (without it the run\n"
         "                      stops at the question, having changed nothing)\n"
         "  --report FILE.json  write what happened, firm by firm, to FILE.json\n"
         "  --jobs N            convert N firms at once, each in a process of its own (default 1:\n"
         "                      one after another); the results are the same either way\n"
         "  --plan DIR          say what an upgrade of DIR would do, changing nothing;\n"
         "                      exit 0 when it could run, 2 when a check refuses it\n"
         "  --json FILE.json    with --plan: the plan as JSON too\n" +
         repairUsage() +
         "  --help              this text\n"
         "\n"
         "exit codes: 0 every firm upgraded or the program installed, 1 some firms failed (see "
         "the\n"
         "            report; an installation then copies no program files),\n"
         "            2 refused, interrupted or failed: the message says why\n";
}

std::optional<UnattendedOptions> parseSwitches(const std::vector<std::string>& args,
                                               std::string& error) {
  UnattendedOptions o;
  bool sawSwitch = false, sawJson = false, sawJobs = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!startsWith(a, "--")) {
      if (!sawSwitch && i < 3) continue;  // the three release arguments
      error = "unexpected argument '" + a + "'";
      return std::nullopt;
    }
    sawSwitch = true;
    auto value = [&](const char* what) -> const std::string* {
      if (i + 1 >= args.size() || startsWith(args[i + 1], "--")) {
        error = a + " needs " + what;
        return nullptr;
      }
      return &args[++i];
    };
    // One action a run: --help beside one still only prints the usage.
    auto choose = [&](UnattendedOptions::Action action) {
      if (o.action != UnattendedOptions::Action::None &&
          o.action != UnattendedOptions::Action::Help) {
        error =
            "only one of --upgrade, --install and --plan (or of the check and repair switches), "
            "once";
        return false;
      }
      if (o.action != UnattendedOptions::Action::Help) o.action = action;
      return true;
    };
    if (a == "--help") {
      o.action = UnattendedOptions::Action::Help;
    } else if (a == "--upgrade") {
      const std::string* v = value("the program directory");
      if (!v || !choose(UnattendedOptions::Action::Upgrade)) return std::nullopt;
      o.programDirectory = *v;
    } else if (a == "--install") {
      const std::string* program = value("the program directory and the database directory");
      if (!program) return std::nullopt;
      const std::string* database = value("the database directory after the program directory");
      if (!database || !choose(UnattendedOptions::Action::Install)) return std::nullopt;
      o.programDirectory = *program;
      o.databaseDirectory = *database;
    } else if (a == "--previous-program") {
      const std::string* v = value("the program directory of the release's year");
      if (!v) return std::nullopt;
      o.previousProgram = *v;
    } else if (a == "--plan") {
      const std::string* v = value("the program directory");
      if (!v || !choose(UnattendedOptions::Action::Plan)) return std::nullopt;
      o.programDirectory = *v;
    } else if (const auto repairAction = repairSwitch(a)) {
      const std::string* v = value("the program or database directory");
      if (!v || !choose(*repairAction)) return std::nullopt;
      o.programDirectory = *v;
    } else if (a == "--json") {
      const std::string* v = value("a file name");
      if (!v) return std::nullopt;
      o.reportFile = *v;
      sawJson = true;
    } else if (a == "--yes") {
      o.yes = true;
    } else if (a == "--jobs") {
      const std::string* v = value("the number of firms to convert at once");
      if (!v) return std::nullopt;
      const bool digits =
          !v->empty() && v->size() <= 3 && v->find_first_not_of("0123456789") == std::string::npos;
      o.jobs = digits ? std::stoi(*v) : 0;
      if (o.jobs < 1 || o.jobs > kMostJobs) {
        error =
            "--jobs takes a number from 1 to " + std::to_string(kMostJobs) + ", not '" + *v + "'";
        return std::nullopt;
      }
      if (o.jobs > 1 && !os::childProcessesSupported()) {
        error =
            "--jobs above 1 needs worker processes, which this build cannot start: convert "
            "the firms one after another (--jobs 1)";
        return std::nullopt;
      }
      sawJobs = true;
    } else if (a == "--report") {
      const std::string* v = value("a file name");
      if (!v) return std::nullopt;
      o.reportFile = *v;
    } else {
      error = "unknown switch " + a;
      return std::nullopt;
    }
  }
  if (o.action == UnattendedOptions::Action::Help) return o;
  if (sawSwitch && o.action == UnattendedOptions::Action::None) {
    error = "--yes and --report go with --upgrade or --install, --json with --plan";
    return std::nullopt;
  }
  const bool checkJobs = sawJobs && o.action == UnattendedOptions::Action::Check;
  if (o.action == UnattendedOptions::Action::Check && !sawJobs) o.jobs = 0;  // one per core
  if (readsOnly(o.action) &&
      (o.yes || (sawJobs && !checkJobs) || (!o.reportFile.empty() && !sawJson))) {
    error = "--plan, --check and --check-program take only --json (--check also --jobs)";
    return std::nullopt;
  }
  if (!readsOnly(o.action) && sawJson) {
    error = "--upgrade, --install and the repairs write their report with --report";
    return std::nullopt;
  }
  if (sawJobs && !checkJobs && o.action != UnattendedOptions::Action::Upgrade &&
      o.action != UnattendedOptions::Action::Install) {
    error = "--jobs goes with --upgrade, --install or --check";
    return std::nullopt;
  }
  if (!o.previousProgram.empty() && o.action != UnattendedOptions::Action::Install) {
    error = "--previous-program goes with --install";
    return std::nullopt;
  }
  if (o.action == UnattendedOptions::Action::Install &&
      (o.programDirectory.empty() || o.databaseDirectory.empty())) {
    error = "--install needs the program directory and the database directory";
    return std::nullopt;
  }
  if (o.action != UnattendedOptions::Action::None) {
    size_t positional = 0;
    while (positional < args.size() && !startsWith(args[positional], "--")) ++positional;
    if (positional != 3) {
      error = "the three release arguments come first: PROGRAM_RELEASE DATABASE_RELEASE YEAR";
      return std::nullopt;
    }
    if (o.programDirectory.empty()) {
      error = "the program directory is missing";
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace tav::shell

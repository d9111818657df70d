// The unattended upgrade: the interactive entry run on the headless backend, with a policy in
// place of the person who would answer its message boxes.
#include "shell/unattended.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "convert/step_registry.h"
#include "db/table_access.h"
#include "gui/application.h"
#include "gui/headless/headless.h"
#include "install/first_install.h"
#include "install/registration.h"
#include "os/path.h"
#include "os/registry/registry.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "shell/dialogs/alarm.h"
#include "shell/main_window.h"
#include "shell/repair_commands.h"
#include "shell/running_check.h"
#include "shell/startup_folders.h"
#include "upgrade/duration_estimate.h"
#include "upgrade/upgrade_entry.h"
#include "upgrade/upgrade_plan.h"
#include "upgrade/upgrade_run.h"

namespace tav::shell {
namespace {

namespace fs = std::filesystem;

// Why a run does not start: the registry it ends by writing cannot be written now.
std::string registryRefusal(const os::reg::StoreProblem& p, const std::string& action) {
  if (p.kind == os::reg::StoreProblem::Kind::WineServerRunning)
    return "the registry is in use: " + p.message + ", then start the " + action + " again";
  return "the registry cannot be written: " + p.message;
}

// A registry write refused during the run (a Wine server started meanwhile, say) leaves the
// installation without its entries; the outcome alone would not say so.
void sayRefusedRegistryWrite() {
  const std::string why = os::reg::refusedWrite();
  if (!why.empty())
    std::fprintf(stderr, "tav_setup: registry entries were not written: %s\n", why.c_str());
}

// A question the policy cannot answer for a person: the run stops where it stands.
struct NeedsPerson {
  std::string title, text;
};

std::string utf8(const std::string& oem) { return rt::oemToUtf8(oem); }

// A message box on standard error: its title, then its lines.
void printBox(const AlarmRequest& r) {
  std::string text = utf8(r.text);
  for (char& c : text)
    if (c == ';') c = '\n';
  std::string indented;
  for (char c : text) {
    indented += c;
    if (c == '\n') indented += "    ";
  }
  std::fprintf(stderr, "\n[%s]\n    %s\n", utf8(r.title).c_str(), indented.c_str());
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The actions that write nothing: their JSON goes with --json, and --yes has nothing to confirm.
bool readsOnly(UnattendedOptions::Action a) {
  return a == UnattendedOptions::Action::Plan || a == UnattendedOptions::Action::Check ||
         a == UnattendedOptions::Action::CheckProgram;
}

// More worker processes than this would only wait for the disk.
constexpr int kMostJobs = 64;

// The directory fields of the tool's screens hold this many characters; a longer directory would
// be cut to fit, and the run would go to another place than the one named.
constexpr int kDirectoryFieldLength = 128;

bool fitsField(const std::string& directory) {
  return directory.size() <= static_cast<size_t>(kDirectoryFieldLength);
}

std::string tooLong(const char* which, const std::string& directory) {
  return std::string("the ") + which + " directory " + utf8(directory) + " is longer than the " +
         std::to_string(kDirectoryFieldLength) + " characters TAV keeps: name a shorter one";
}

fs::path prefixLocation() {
  if (const char* p = std::getenv("TAV_PREFIX"); p && *p) return p;
  const char* home = std::getenv("HOME");
  return fs::path(home ? home : "/") / ".local" / "share" / "tav";
}

std::string isoTime(std::time_t t) {
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", std::localtime(&t));
  return buf;
}

std::string hostPath(const std::string& windows) {
  if (windows.empty()) return {};
  return os::toHost(windows).string();
}

// Progress, one line per firm; on a terminal one line that redraws.
class ProgressLine {
 public:
  ProgressLine() : terminal_(::isatty(2) == 1) {}
  ~ProgressLine() { end(); }
  void firm(const upgrade::FirmProgress& p) {
    if (!p.done && !terminal_) return;
    std::string line = "firm " + std::to_string(p.index) + " of " + std::to_string(p.total) +
                       ": nr " + std::to_string(static_cast<long>(p.firm->nr)) + " " +
                       utf8(p.firm->name);
    if (p.done) {
      line += std::string(" ") + upgrade::statusName(p.firm->status);
      if (!p.remaining.empty()) line += ", remaining " + p.remaining;
      if (!p.finish.empty()) line += ", finish " + p.finish;
    } else {
      line += " ...";
    }
    if (terminal_) {
      std::fprintf(stderr, "\r\033[K%s", line.c_str());
      open_ = true;
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
  }
  void end() {
    if (open_) std::fputc('\n', stderr);
    open_ = false;
  }

 private:
  bool terminal_;
  bool open_ = false;
};

void onSignal(int) { upgrade::requestInterruption(); }

// What a run without a screen shows and hears while it works: a progress line per firm, and
// SIGINT or SIGTERM taken as Esc at the next firm. Everything is put back when the run ends.
class RunWatch {
 public:
  RunWatch() {
    previous_ =
        upgrade::setRunObserver([this](const upgrade::FirmProgress& p) { progress_.firm(p); });
    upgrade::clearInterruption();
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &oldInt_);
    sigaction(SIGTERM, &sa, &oldTerm_);
  }
  ~RunWatch() { end(); }
  RunWatch(const RunWatch&) = delete;
  RunWatch& operator=(const RunWatch&) = delete;
  void end() {
    if (ended_) return;
    ended_ = true;
    progress_.end();
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    upgrade::setRunObserver(std::move(previous_));
  }

 private:
  ProgressLine progress_;
  upgrade::RunObserver previous_;
  struct sigaction oldInt_ {
  }, oldTerm_{};
  bool ended_ = false;
};

nlohmann::json planJson(const upgrade::UpgradePlan& p, int exitCode) {
  const upgrade::UpgradeChecks& c = p.checks;
  auto names = [](const std::vector<int>& releases, convert::StepKind kind) {
    nlohmann::json a = nlohmann::json::array();
    for (int r : releases) a.push_back(convert::stepName(kind, r));
    return a;
  };
  nlohmann::json j;
  j["decision"] = upgrade::decisionName(p.decision);
  j["exit_code"] = exitCode;
  j["refused_by"] = c.passed() ? nlohmann::json(nullptr)
                               : nlohmann::json({{"title", utf8(c.title)}, {"text", utf8(c.text)}});
  j["refusal"] = p.refusal.empty() ? nlohmann::json(nullptr) : nlohmann::json(utf8(p.refusal));
  j["program_directory"] = utf8(c.program);
  j["database_directory"] = utf8(c.database);
  j["program_release"] = c.programRelease;
  j["database_release"] = c.databaseRelease;
  j["database_complete"] = c.complete;
  j["template_steps"] = names(p.templateSteps, convert::StepKind::Template);
  j["public_steps"] = names(p.publicSteps, convert::StepKind::Public);
  j["public_index_rebuild"] = p.publicIndexRebuild
                                  ? nlohmann::json(p.publicIndexWithMode ? "NTX_PUB(1)" : "NTX_PUB")
                                  : nlohmann::json(nullptr);
  j["program_steps"] = names(p.programSteps, convert::StepKind::Program);
  nlohmann::json firms = nlohmann::json::array();
  for (const upgrade::PlannedFirm& f : p.firms) {
    nlohmann::json steps = nlohmann::json::array();
    for (size_t i = 0; i < f.steps.size(); ++i) {
      nlohmann::json tables = nlohmann::json::array();
      for (const upgrade::PlannedTable& t : f.tables[i])
        tables.push_back(
            {{"table", t.name},
             {"records", t.records < 0 ? nlohmann::json(nullptr) : nlohmann::json(t.records)}});
      steps.push_back(
          {{"step", convert::stepName(convert::StepKind::Firm, f.steps[i])}, {"tables", tables}});
    }
    firms.push_back(
        {{"number", f.nr},
         {"directory", utf8(f.directory)},
         {"name", utf8(f.name)},
         {"release", f.release},
         {"steps_from", f.start},
         {"steps", steps},
         {"full_reindex", f.fullReindex},
         {"skipped", f.skipped.empty() ? nlohmann::json(nullptr) : nlohmann::json(f.skipped)},
         {"failed_last_run", f.failedLastRun}});
  }
  j["firms"] = firms;
  j["estimate"] =
      p.estimate
          ? nlohmann::json({{"class", p.estimate->durationClass}, {"seconds", p.estimate->seconds}})
          : nlohmann::json(nullptr);
  j["space"] = {{"needed_bytes", p.spaceNeeded}, {"free_bytes", p.spaceFree}};
  return j;
}

// --plan: the checks and the choices of an upgrade, printed; nothing is written or locked.
int runPlan(const UnattendedOptions& options, const std::vector<std::string>& positional) {
  startWithoutScreen(positional);
  rt::HandlerGuard abandonAll([](rt::Error& e) -> rt::Answer { throw rt::Abandon(e); });
  upgrade::UpgradePlan plan;
  try {
    plan = upgrade::planUpgrade(windowsDirectory(options.programDirectory));
  } catch (const rt::Abandon& a) {
    std::fprintf(stderr, "tav_setup: the plan could not be made: %s\n",
                 utf8(a.error().summary()).c_str());
    return 2;
  }
  std::fputs(upgrade::planText(plan).c_str(), stdout);
  const int code = plan.runs() ? 0 : 2;
  if (!options.reportFile.empty()) {
    std::ofstream out(options.reportFile, std::ios::binary | std::ios::trunc);
    out << planJson(plan, code).dump(2) << "\n";
    if (!out) {
      std::fprintf(stderr, "tav_setup: %s could not be written\n", options.reportFile.c_str());
      return 2;
    }
  }
  return code;
}

// The firms of the last database run, as both reports give them.
nlohmann::json firmsJson(const upgrade::RunRecord& run) {
  nlohmann::json firms = nlohmann::json::array();
  for (const upgrade::FirmRecord& f : run.firms)
    firms.push_back({{"number", f.nr},
                     {"directory", utf8(f.directory)},
                     {"name", utf8(f.name)},
                     {"release_before", f.releaseBefore},
                     {"release_after", f.releaseAfter},
                     {"status", upgrade::statusName(f.status)},
                     {"error", utf8(f.error)},
                     {"steps", f.steps}});
  return firms;
}

nlohmann::json reportJson(const std::string& outcome, int exitCode, std::time_t start,
                          std::time_t end) {
  const upgrade::EntryOutcome& e = upgrade::lastEntry();
  const upgrade::RunRecord& run = upgrade::lastRun();
  nlohmann::json j;
  j["outcome"] = outcome;
  j["exit_code"] = exitCode;
  j["program_directory"] = utf8(e.programDirectory);
  j["database_directory"] = utf8(e.databaseDirectory);
  j["program_directory_host"] = hostPath(e.programDirectory);
  j["database_directory_host"] = hostPath(e.databaseDirectory);
  j["database_release_before"] = e.releaseBefore;
  j["database_release_after"] = e.releaseAfter;
  j["firms"] = e.databaseRun ? firmsJson(run) : nlohmann::json::array();
  nlohmann::json texts = nlohmann::json::array();
  if (e.databaseRun)
    for (const std::string& t : run.texts) texts.push_back(utf8(t));
  j["tlist"] = texts;
  j["steps"] = e.databaseRun ? nlohmann::json(run.steps) : nlohmann::json::array();
  const std::string db = e.databaseDirectory;
  auto existing = [](const std::string& windows) -> nlohmann::json {
    if (windows.empty()) return nullptr;
    const fs::path p = os::toHost(windows);
    return fs::exists(p) ? nlohmann::json(p.string()) : nlohmann::json(nullptr);
  };
  j["install_report"] =
      db.empty() ? nlohmann::json(nullptr) : existing(db + "public\\ins_raport.txt");
  j["error_log"] = existing(".\\error.log");
  j["archive"] = db.empty() ? nlohmann::json(nullptr)
                            : existing(db + "install\\" + rt::shared().wersja_p + ".zip");
  j["start"] = isoTime(start);
  j["end"] = isoTime(end);
  j["duration_seconds"] = static_cast<double>(end - start);
  return j;
}

}  // namespace

// The Windows form of the program directory: a drive or network path stays as it is, a host path
// is reached through the drive map.
std::string windowsDirectory(const std::string& given) {
  // Blanks are no directory: the entry's own check says so.
  if (given.find_first_not_of(' ') == std::string::npos) return given;
  const bool windowsForm = (given.size() >= 2 && given[1] == ':') || startsWith(given, "\\\\");
  if (windowsForm) return rt::utf8ToOem(given);
  return os::fromHost(fs::absolute(fs::path(given)));
}

// What every run without a screen starts with: the headless backend, the table settings and the
// three release arguments.
void startWithoutScreen(const std::vector<std::string>& positional) {
  gui::useHeadless();
  rt::resetShared();
  db::STARTINIT();
  auto& sv = rt::shared();
  sv.wersja_p = positional.at(0);
  sv.wersja_b = positional.at(1);
  sv.roczek = positional.at(2);
}

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

namespace {

// The Windows form of a directory given on the command line, with its backslash.
std::string windowsDirectoryWithBackslash(const std::string& given) {
  std::string dir = windowsDirectory(given);
  // Blanks stay blanks, for the entry's own check to name.
  if (rt::allTrim(dir).empty()) return dir;
  if (dir.back() != '\\') dir += '\\';
  return dir;
}

// Files below a host directory with their size and time of last write: what a run wrote is what
// differs afterwards.
using TreeState = std::map<std::string, std::pair<uintmax_t, fs::file_time_type>>;
void snapshot(const fs::path& dir, TreeState& state) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code e2;
    if (!it->is_regular_file(e2)) continue;
    state[it->path().string()] = {it->file_size(e2), it->last_write_time(e2)};
  }
}

// The levels of `dir` that do not exist yet, deepest first: what the installation may create.
std::vector<fs::path> missingLevels(const fs::path& dir) {
  std::vector<fs::path> levels;
  std::error_code ec;
  for (fs::path p = dir; !p.empty() && p != p.parent_path() && !fs::exists(p, ec);
       p = p.parent_path())
    levels.push_back(p);
  return levels;
}

int runInstall(const UnattendedOptions& options, const std::vector<std::string>& positional);

}  // namespace

int runUnattended(const UnattendedOptions& options, const std::vector<std::string>& positional) {
  if (repairSwitch(options.action)) return runRepairCommand(options, positional);
  upgrade::setFirmJobs(options.jobs);
  if (options.action == UnattendedOptions::Action::Install) return runInstall(options, positional);
  if (options.action == UnattendedOptions::Action::Plan) return runPlan(options, positional);
  const std::time_t start = std::time(nullptr);
  const fs::path prefix = prefixLocation();
  const bool prefixExisted = fs::exists(prefix);

  startWithoutScreen(positional);
  std::error_code ec;
  fs::remove("error.log", ec);  // a log found after the run belongs to this run

  // Errors nobody guards would wait for a person at the error box: they end the run instead.
  rt::HandlerGuard abandonAll([](rt::Error& e) -> rt::Answer { throw rt::Abandon(e); });

  const bool yes = options.yes;
  AlarmResponder previousResponder = setAlarmResponder([yes](const AlarmRequest& r) -> int {
    printBox(r);
    const bool question = !r.type.empty() && r.type[0] >= '4' && r.type[0] <= '6';
    if (!question) return 1;
    if (startsWith(r.title, "Czas instalacji")) {
      if (yes) return 1;
      throw NeedsPerson{r.title, r.text};
    }
    if (r.title == rt::utf8ToOem("Wstrzymanie instalacji"))
      return upgrade::interruptionRequested() ? 2 : 1;
    throw NeedsPerson{r.title, r.text};
  });
  upgrade::Confirmation previousConfirmation =
      upgrade::setConfirmation([yes](const std::string& database, const std::string& release) {
        if (!yes) {
          std::fprintf(stderr,
                       "\ntav_setup: the upgrade of the database in %s needs confirmation: run "
                       "again with --yes\n",
                       utf8(database).c_str());
          return false;
        }
        return upgrade::POKAZ_CZAS(database, release);
      });
  RunWatch watch;

  std::string outcome;
  bool changedNothing = false;
  try {
    const std::string program = windowsDirectory(options.programDirectory);
    if (!fitsField(program)) {
      outcome = tooLong("program", program);
      changedNothing = true;
    } else if (const os::reg::StoreProblem p = os::reg::checkStore()) {
      outcome = registryRefusal(p, "upgrade");
      changedNothing = true;
    } else if (IS_TAV_RUN()) {
      outcome =
          "TAV is running on this computer: close every TAV program and start the upgrade again";
      changedNothing = true;
    } else {
      findStartupFolders();
      connectSubsystems();
      gui::Dialog& d = gui::app().createDialog(nullptr, {0, 0}, {630, 260}, {});
      auto& field = d.drawingArea().add<gui::Edit>(gui::Point{0, 0}, gui::Size{600, 20},
                                                   kDirectoryFieldLength);
      field.setText(program);
      bool koniec = false;
      upgrade::INSTALUJ(d, field, koniec);
      const upgrade::EntryOutcome& e = upgrade::lastEntry();
      if (e.declined) {
        outcome = "not confirmed";
        changedNothing = true;
      } else if (e.result.empty()) {
        outcome = "the disk access test failed";
        changedNothing = !e.databaseRun;
      } else {
        outcome = utf8(e.result);
        changedNothing = !e.databaseRun && e.result != "00";
      }
    }
  } catch (const NeedsPerson& q) {
    outcome = "stopped at a question only a person can answer: " + utf8(q.title);
    changedNothing = !upgrade::lastEntry().databaseRun;
  } catch (const rt::Abandon& a) {
    outcome = "error: " + utf8(a.error().summary());
  }
  watch.end();
  sayRefusedRegistryWrite();
  upgrade::setConfirmation(std::move(previousConfirmation));
  setAlarmResponder(std::move(previousResponder));

  const int code = outcome == "00" ? 0 : outcome == "01" ? 1 : 2;
  const std::time_t end = std::time(nullptr);
  std::fprintf(stderr, "\ntav_setup: outcome %s (exit %d)%s\n", outcome.c_str(), code,
               code == 2 && changedNothing ? "; nothing was changed" : "");
  if (!prefixExisted && fs::exists(prefix))
    std::fprintf(stderr, "tav_setup: made the Windows prefix %s (drive map and registry)\n",
                 prefix.c_str());
  if (!options.reportFile.empty()) {
    std::ofstream out(options.reportFile, std::ios::binary | std::ios::trunc);
    out << reportJson(outcome, code, start, end).dump(2) << "\n";
    if (!out) {
      std::fprintf(stderr, "tav_setup: the report %s could not be written\n",
                   options.reportFile.c_str());
      return 2;
    }
  }
  return code;
}

}  // namespace tav::shell

namespace tav::shell {
namespace {

nlohmann::json installReportJson(const std::string& outcome, int exitCode, const TreeState& before,
                                 const TreeState& after, std::time_t start, std::time_t end) {
  const install::InstallOutcome& e = install::lastInstall();
  const upgrade::RunRecord& run = upgrade::lastRun();
  auto& sv = rt::shared();
  nlohmann::json j;
  j["action"] = "install";
  j["outcome"] = outcome;
  j["exit_code"] = exitCode;
  j["branch"] = install::branchName(e.branch);
  j["program_directory"] = utf8(e.programDirectory);
  j["database_directory"] = utf8(e.databaseDirectory);
  j["program_directory_host"] = hostPath(e.programDirectory);
  j["database_directory_host"] = hostPath(e.databaseDirectory);
  j["year"] = e.year;
  j["previous_program"] =
      e.previousProgram.empty() ? nlohmann::json(nullptr) : nlohmann::json(utf8(e.previousProgram));
  j["database_release_before"] = e.releaseBefore;
  j["database_release_after"] = e.releaseAfter;
  j["firms"] = e.databaseRun ? firmsJson(run) : nlohmann::json::array();
  nlohmann::json failed = nlohmann::json::array();
  for (const std::string& f : e.failedFiles) failed.push_back(utf8(f));
  j["files_failed"] = failed;
  nlohmann::json written = nlohmann::json::array();
  for (const auto& [file, state] : after) {
    auto was = before.find(file);
    if (was == before.end() || was->second != state) written.push_back(file);
  }
  j["files_written"] = written;
  auto existing = [](const std::string& windows) -> nlohmann::json {
    if (windows.empty()) return nullptr;
    const fs::path p = os::toHost(windows);
    return fs::exists(p) ? nlohmann::json(p.string()) : nlohmann::json(nullptr);
  };
  if (e.registered) {
    j["registry"] = {{"tool_key", utf8(install::toolKeyPath(e.year))},
                     {"uninstall_key", utf8(install::uninstallKeyPath(e.year))}};
    nlohmann::json links = nlohmann::json::array();
    if (!sv.cPulpit.empty())
      links.push_back(existing(rt::ansiToOem(sv.cPulpit + "Tav " + e.year + ".lnk")));
    if (!sv.cMenu.empty())
      links.push_back(existing(
          rt::ansiToOem(sv.cMenu + "Tamborex\\Tav-" + e.year + "\\Tav-" + e.year + ".lnk")));
    j["shortcuts"] = links;
  } else {
    j["registry"] = nullptr;
    j["shortcuts"] = nlohmann::json::array();
  }
  const std::string db = e.databaseDirectory;
  j["archive"] =
      db.empty() ? nlohmann::json(nullptr) : existing(db + "install\\" + sv.wersja_p + ".zip");
  j["install_report"] = db.empty() || !e.databaseRun ? nlohmann::json(nullptr)
                                                     : existing(db + "public\\ins_raport.txt");
  j["start"] = isoTime(start);
  j["end"] = isoTime(end);
  j["duration_seconds"] = static_cast<double>(end - start);
  return j;
}

int runInstall(const UnattendedOptions& options, const std::vector<std::string>& positional) {
  const std::time_t start = std::time(nullptr);
  const fs::path prefix = prefixLocation();
  const bool prefixExisted = fs::exists(prefix);

  startWithoutScreen(positional);
  std::error_code ec;
  fs::remove("error.log", ec);

  rt::HandlerGuard abandonAll([](rt::Error& e) -> rt::Answer { throw rt::Abandon(e); });

  // Questions the switches answer: create a missing directory ("Założyć") and take a database of
  // the year before ("Potwierdzam"), both only with --yes; Esc between firms only on a signal.
  // Anything else needs a person.
  const bool yes = options.yes;
  AlarmResponder previousResponder = setAlarmResponder([yes](const AlarmRequest& r) -> int {
    printBox(r);
    const bool question = !r.type.empty() && r.type[0] >= '4' && r.type[0] <= '6';
    if (!question) return 1;
    if (r.title == rt::utf8ToOem("Wstrzymanie instalacji"))
      return upgrade::interruptionRequested() ? 2 : 1;
    const std::string first = r.buttons.empty() ? std::string() : r.buttons.front();
    if (first == rt::utf8ToOem("Założyć") || first == rt::utf8ToOem("Potwierdzam")) {
      if (yes) return 1;
      throw NeedsPerson{r.title, r.text};
    }
    throw NeedsPerson{r.title, r.text};
  });
  const std::string previous = options.previousProgram;
  install::ProgramDirectoryChoice previousChoice =
      install::setProgramDirectoryChoice([previous](const std::string& last) -> std::string {
        // Offered once: a directory that did not pass is not offered again.
        if (previous.empty() || !last.empty()) {
          std::fprintf(stderr,
                       "\ntav_setup: the database belongs to the year before: name the program "
                       "installed for %s "
                       "with --previous-program\n",
                       rt::shared().roczek.c_str());
          throw NeedsPerson{"Katalog programu na rok " + rt::shared().roczek, {}};
        }
        return windowsDirectoryWithBackslash(previous);
      });
  RunWatch watch;

  const std::string program = windowsDirectoryWithBackslash(options.programDirectory);
  const std::string database = windowsDirectoryWithBackslash(options.databaseDirectory);
  // What this run may create, and what is there before it, to undo a refusal and to tell what
  // was written.
  std::vector<fs::path> created;
  TreeState before, after;
  fs::path programHost, databaseHost;
  if (!rt::allTrim(program).empty() && !rt::allTrim(database).empty()) {
    programHost = os::toHost(program);
    databaseHost = os::toHost(database);
    for (const fs::path& p : {programHost, databaseHost})
      for (fs::path& level : missingLevels(p.lexically_normal()))
        created.push_back(std::move(level));
    snapshot(programHost, before);
    snapshot(databaseHost, before);
  }

  std::string outcome;
  try {
    if (!fitsField(program) || !fitsField(database)) {
      outcome = !fitsField(program) ? tooLong("program", program) : tooLong("database", database);
    } else if (const os::reg::StoreProblem p = os::reg::checkStore()) {
      outcome = registryRefusal(p, "installation");
    } else if (IS_TAV_RUN()) {
      outcome =
          "TAV is running on this computer: close every TAV program and start the installation "
          "again";
    } else {
      findStartupFolders();
      connectSubsystems();
      gui::Dialog& d = gui::app().createDialog(nullptr, {0, 0}, {630, 260}, {});
      auto& programField = d.drawingArea().add<gui::Edit>(gui::Point{0, 60}, gui::Size{600, 20},
                                                          kDirectoryFieldLength);
      auto& databaseField = d.drawingArea().add<gui::Edit>(gui::Point{0, 0}, gui::Size{600, 20},
                                                           kDirectoryFieldLength);
      programField.setText(program);
      databaseField.setText(database);
      bool koniec = false;
      install::INSTALUJ(d, programField, databaseField, koniec);
      const install::InstallOutcome& e = install::lastInstall();
      outcome = e.result.empty() ? std::string("a disk access test failed") : utf8(e.result);
    }
  } catch (const NeedsPerson& q) {
    outcome = "stopped at a question only a person can answer: " + utf8(q.title);
  } catch (const rt::Abandon& a) {
    outcome = "error: " + utf8(a.error().summary());
  }
  watch.end();
  sayRefusedRegistryWrite();
  install::setProgramDirectoryChoice(std::move(previousChoice));
  setAlarmResponder(std::move(previousResponder));

  const int code = outcome == "00" ? 0 : outcome.rfind("01", 0) == 0 ? 1 : 2;
  const install::InstallOutcome& e = install::lastInstall();
  // A refusal before anything was copied takes back the directories the run made for it (they
  // are empty then; a directory that holds anything stays).
  bool changedNothing = false;
  if (code == 2 && e.branch == install::InstallOutcome::Branch::None) {
    for (const fs::path& level : created) fs::remove(level, ec);
    changedNothing = true;
  }
  if (!programHost.empty()) {
    snapshot(programHost, after);
    snapshot(databaseHost, after);
  }
  const std::time_t end = std::time(nullptr);
  std::fprintf(stderr, "\ntav_setup: outcome %s (exit %d, %s)%s\n", outcome.c_str(), code,
               install::branchName(e.branch), changedNothing ? "; nothing was changed" : "");
  if (!prefixExisted && fs::exists(prefix))
    std::fprintf(stderr, "tav_setup: made the Windows prefix %s (drive map and registry)\n",
                 prefix.c_str());
  if (!options.reportFile.empty()) {
    std::ofstream out(options.reportFile, std::ios::binary | std::ios::trunc);
    out << installReportJson(outcome, code, before, after, start, end).dump(2) << "\n";
    if (!out) {
      std::fprintf(stderr, "tav_setup: the report %s could not be written\n",
                   options.reportFile.c_str());
      return 2;
    }
  }
  return code;
}

}  // namespace
}  // namespace tav::shell

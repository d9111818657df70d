// The three unattended actions on their frame.
#include "shell/unattended/unattended.h"

#include <cstdio>
#include <filesystem>

#include "install/install_action.h"
#include "install/services.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "shell/unattended/console_frontend.h"
#include "shell/unattended/repair_commands.h"
#include "shell/unattended/reports.h"
#include "shell/unattended/run_frame.h"
#include "upgrade/upgrade_action.h"
#include "upgrade/upgrade_plan.h"

namespace tav::shell {
namespace {

namespace fs = std::filesystem;
using upgrade::Result;

std::string utf8(const std::string& oem) { return rt::oemToUtf8(oem); }

// The ending of an action from its result and the message that ended it.
Ending ending(Result result, const std::string& message, const frontend::Question& declined,
              bool changedNothing) {
  switch (result) {
    case Result::Complete:
      return {"00", 0, false, "done"};
    case Result::SomeFirmsFailed:
      return {"01", 1, false, "some firms were not converted: error.log and the report name them"};
    case Result::Declined:
      if (declined.kind == frontend::Question::Kind::ConfirmUpgrade)
        return {"not confirmed", 2, true};
      return {"stopped at a question only a person can answer: " + utf8(declined.box.title), 2,
              changedNothing};
    case Result::Refused:
    case Result::Interrupted:
    case Result::Failed:
      break;
  }
  return {utf8(message), 2, changedNothing};
}

int runPlan(const UnattendedOptions& options, const std::vector<std::string>& positional) {
  RunFrame frame(positional, true);
  if (const auto wrong = frame.argumentsRefusal()) {
    std::fprintf(stderr, "tav_setup: %s\n", wrong->c_str());
    return 2;
  }
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
  if (!options.reportFile.empty() && !writeReport(options.reportFile, planJson(plan, code))) {
    std::fprintf(stderr, "tav_setup: %s could not be written\n", options.reportFile.c_str());
    return 2;
  }
  return code;
}

int runUpgrade(const UnattendedOptions& options, const std::vector<std::string>& positional) {
  RunFrame frame(positional);
  ConsoleQuestions person({options.yes, {}});
  const std::string program = windowsDirectory(options.programDirectory);
  upgrade::UpgradeOutcome outcome;
  Ending end;
  {
    ConsoleProgress progress;
    if (const auto refusal = frame.refusal("upgrade", {{"program", program}})) {
      end = {*refusal, 2, true};
    } else {
      end = frame.guarded([&] {
        outcome = upgrade::upgradeProgram({program, frame.release(), {options.jobs}}, person,
                                          progress, install::registration());
        if (outcome.stage == upgrade::Stage::DiskTest)
          return Ending{"the disk access test failed", 2, outcome.changedNothing()};
        if (outcome.stage == upgrade::Stage::ProgramDiskTest)
          return Ending{
              "the disk access test of the program directory failed: the database "
              "was upgraded, the program files were not refreshed",
              2, false};
        return ending(outcome.result, outcome.message, {}, outcome.changedNothing());
      });
    }
  }
  return frame.finish(end, {}, outcome.registryRefused, options.reportFile,
                      [&](std::time_t start, std::time_t stop) {
                        return upgradeReportJson(end, outcome, frame.release(), start, stop);
                      });
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

int runInstall(const UnattendedOptions& options, const std::vector<std::string>& positional) {
  RunFrame frame(positional);
  const std::string program = windowsDirectoryWithBackslash(options.programDirectory);
  const std::string database = windowsDirectoryWithBackslash(options.databaseDirectory);
  const std::string previous =
      options.previousProgram.empty() ? "" : windowsDirectoryWithBackslash(options.previousProgram);
  ConsoleQuestions person({options.yes, previous});

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

  install::InstallOutcome outcome;
  Ending end;
  {
    ConsoleProgress progress;
    if (const auto refusal =
            frame.refusal("installation", {{"program", program}, {"database", database}})) {
      end = {*refusal, 2, true};
    } else {
      end = frame.guarded([&] {
        outcome = install::installProgram({{program, database}, frame.release(), {options.jobs}},
                                          person, progress);
        if (outcome.diskTestFailed) return Ending{"a disk access test failed", 2, true};
        return ending(outcome.result, outcome.message, outcome.declined, outcome.changedNothing());
      });
    }
  }
  // A refusal before anything was copied takes back the directories the run made for it (they
  // are empty then; a directory that holds anything stays).
  if (end.exitCode == 2 && outcome.branch == install::InstallOutcome::Branch::None) {
    std::error_code ec;
    for (const fs::path& level : created) fs::remove(level, ec);
    end.changedNothing = true;
  }
  if (!programHost.empty()) {
    snapshot(programHost, after);
    snapshot(databaseHost, after);
  }
  return frame.finish(end, install::branchName(outcome.branch), outcome.registryRefused,
                      options.reportFile, [&](std::time_t start, std::time_t stop) {
                        return installReportJson(end, outcome, frame.release(), before, after,
                                                 start, stop);
                      });
}

}  // namespace

int runUnattended(const UnattendedOptions& options, const std::vector<std::string>& positional) {
  if (repairSwitch(options.action)) return runRepairCommand(options, positional);
  switch (options.action) {
    case UnattendedOptions::Action::Upgrade:
      return runUpgrade(options, positional);
    case UnattendedOptions::Action::Install:
      return runInstall(options, positional);
    case UnattendedOptions::Action::Plan:
      return runPlan(options, positional);
    default:
      break;
  }
  return 2;
}

}  // namespace tav::shell

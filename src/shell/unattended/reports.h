#pragma once

// The JSON reports of the unattended runs (--report, --json): what the plan found, what an
// upgrade or an installation did, firm by firm. Field names and forms are what scripts read;
// they only ever grow.

#include <ctime>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "install/install_action.h"
#include "upgrade/upgrade_action.h"
#include "upgrade/upgrade_plan.h"

namespace tav::shell {

// How a run ended, as the reports and the last line on standard error put it: "00", "01", the
// message that ended it, or a sentence saying why it stopped.
struct Ending {
  Ending() = default;
  Ending(std::string outcome, int exitCode, bool changedNothing, std::string words = {})
      : outcome(std::move(outcome)),
        exitCode(exitCode),
        changedNothing(changedNothing),
        words(std::move(words)) {}
  std::string outcome;  // UTF-8
  int exitCode = 2;     // 0 "00", 1 "01", 2 anything else
  bool changedNothing = false;
  std::string words;  // "00" and "01" said for a person; empty where the outcome says it itself
};

nlohmann::json planJson(const upgrade::UpgradePlan& plan, int exitCode);

nlohmann::json upgradeReportJson(const Ending& ending, const upgrade::UpgradeOutcome& outcome,
                                 const upgrade::ReleaseArguments& release, std::time_t start,
                                 std::time_t end);

// Files below a host directory with their size and time of last write: what a run wrote is what
// differs afterwards.
using TreeState = std::map<std::string, std::pair<uintmax_t, std::filesystem::file_time_type>>;
void snapshot(const std::filesystem::path& dir, TreeState& state);

nlohmann::json installReportJson(const Ending& ending, const install::InstallOutcome& outcome,
                                 const upgrade::ReleaseArguments& release, const TreeState& before,
                                 const TreeState& after, std::time_t start, std::time_t end);

// Writes `report` to the host file `file`; false when it could not be written.
bool writeReport(const std::string& file, const nlohmann::json& report);

}  // namespace tav::shell

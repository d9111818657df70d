// The unattended runs' JSON reports, from the typed outcomes of the core calls.
#include "shell/unattended/reports.h"

#include <fstream>

#include "convert/step_registry.h"
#include "install/registration.h"
#include "os/path.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

namespace tav::shell {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string utf8(const std::string& oem) { return rt::oemToUtf8(oem); }

std::string isoTime(std::time_t t) {
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", std::localtime(&t));
  return buf;
}

std::string hostPath(const std::string& windows) {
  if (windows.empty()) return {};
  return os::utf8(os::toHost(windows));
}

// The host path of a Windows path when something is there; null otherwise.
json existing(const std::string& windows) {
  if (windows.empty()) return nullptr;
  const fs::path p = os::toHost(windows);
  return fs::exists(p) ? json(os::utf8(p)) : json(nullptr);
}

json orNull(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

// The firms of a database run, as both reports give them.
json firmsJson(const upgrade::RunRecord& run) {
  json firms = json::array();
  for (const upgrade::FirmRecord& f : run.firms)
    firms.push_back({{"number", f.nr},
                     {"directory", utf8(f.directory)},
                     {"name", utf8(f.name)},
                     {"release_before", f.releaseBefore},
                     {"release_after", f.releaseAfter},
                     {"status", upgrade::statusName(f.status)},
                     {"skipped", orNull(f.skipped)},
                     {"error", utf8(f.error)},
                     {"steps", f.steps}});
  return firms;
}

// What both reports say of where the run stood and how long it took.
void common(json& j, const Ending& ending, const db::Directories& dirs, std::time_t start,
            std::time_t end) {
  j["outcome"] = ending.outcome;
  j["exit_code"] = ending.exitCode;
  j["program_directory"] = utf8(dirs.program);
  j["database_directory"] = utf8(dirs.database);
  j["program_directory_host"] = hostPath(dirs.program);
  j["database_directory_host"] = hostPath(dirs.database);
  j["start"] = isoTime(start);
  j["end"] = isoTime(end);
  j["duration_seconds"] = static_cast<double>(end - start);
}

std::string archiveOf(const std::string& database, const upgrade::ReleaseArguments& release) {
  return database.empty() ? std::string() : database + "install\\" + release.program + ".zip";
}

}  // namespace

json planJson(const upgrade::UpgradePlan& p, int exitCode) {
  const upgrade::UpgradeChecks& c = p.checks;
  auto names = [](const std::vector<int>& releases, convert::StepKind kind) {
    json a = json::array();
    for (int r : releases) a.push_back(convert::stepName(kind, r));
    return a;
  };
  json j;
  j["decision"] = upgrade::decisionName(p.decision);
  j["exit_code"] = exitCode;
  j["refused_by"] =
      c.passed() ? json(nullptr) : json({{"title", utf8(c.title)}, {"text", utf8(c.text)}});
  j["refusal"] = p.refusal.empty() ? json(nullptr) : json(utf8(p.refusal));
  j["program_directory"] = utf8(c.program);
  j["database_directory"] = utf8(c.database);
  j["program_release"] = c.programRelease;
  j["database_release"] = c.databaseRelease;
  j["database_complete"] = c.complete;
  j["template_steps"] = names(p.templateSteps, convert::StepKind::Template);
  j["public_steps"] = names(p.publicSteps, convert::StepKind::Public);
  j["public_index_rebuild"] =
      p.publicIndexRebuild ? json(p.publicIndexWithMode ? "NTX_PUB(1)" : "NTX_PUB") : json(nullptr);
  j["program_steps"] = names(p.programSteps, convert::StepKind::Program);
  json firms = json::array();
  for (const upgrade::PlannedFirm& f : p.firms) {
    json steps = json::array();
    for (size_t i = 0; i < f.steps.size(); ++i) {
      json tables = json::array();
      for (const upgrade::PlannedTable& t : f.tables[i])
        tables.push_back(
            {{"table", t.name}, {"records", t.records < 0 ? json(nullptr) : json(t.records)}});
      steps.push_back(
          {{"step", convert::stepName(convert::StepKind::Firm, f.steps[i])}, {"tables", tables}});
    }
    firms.push_back({{"number", f.nr},
                     {"directory", utf8(f.directory)},
                     {"name", utf8(f.name)},
                     {"release", f.release},
                     {"steps_from", f.start},
                     {"steps", steps},
                     {"full_reindex", f.fullReindex},
                     {"skipped", orNull(f.skipped)},
                     {"failed_last_run", f.failedLastRun}});
  }
  j["firms"] = firms;
  j["estimate"] =
      p.estimate ? json({{"class", p.estimate->durationClass}, {"seconds", p.estimate->seconds}})
                 : json(nullptr);
  j["space"] = {{"needed_bytes", p.spaceNeeded}, {"free_bytes", p.spaceFree}};
  return j;
}

json upgradeReportJson(const Ending& ending, const upgrade::UpgradeOutcome& o,
                       const upgrade::ReleaseArguments& release, std::time_t start,
                       std::time_t end) {
  json j;
  common(j, ending, o.directories, start, end);
  j["database_release_before"] = o.releaseBefore;
  j["database_release_after"] = o.releaseAfter;
  j["firms"] = o.databaseRun ? firmsJson(o.run) : json::array();
  json texts = json::array();
  if (o.databaseRun)
    for (const std::string& t : o.run.texts) texts.push_back(utf8(t));
  j["tlist"] = texts;
  j["steps"] = o.databaseRun ? json(o.run.steps) : json::array();
  const std::string& db = o.directories.database;
  j["install_report"] = db.empty() ? json(nullptr) : existing(db + "public\\ins_raport.txt");
  j["error_log"] = existing(".\\error.log");
  j["archive"] = existing(archiveOf(db, release));
  return j;
}

void snapshot(const fs::path& dir, TreeState& state) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code e2;
    if (!it->is_regular_file(e2)) continue;
    state[os::utf8(it->path())] = {it->file_size(e2), it->last_write_time(e2)};
  }
}

json installReportJson(const Ending& ending, const install::InstallOutcome& o,
                       const upgrade::ReleaseArguments& release, const TreeState& before,
                       const TreeState& after, std::time_t start, std::time_t end) {
  auto& sv = rt::shared();
  json j;
  j["action"] = "install";
  common(j, ending, o.directories, start, end);
  j["branch"] = install::branchName(o.branch);
  j["year"] = o.year;
  j["previous_program"] = o.previousProgram.empty() ? json(nullptr) : json(utf8(o.previousProgram));
  j["database_release_before"] = o.releaseBefore;
  j["database_release_after"] = o.releaseAfter;
  j["firms"] = o.databaseRun ? firmsJson(o.run) : json::array();
  json failed = json::array();
  for (const std::string& f : o.failedFiles) failed.push_back(utf8(f));
  j["files_failed"] = failed;
  json written = json::array();
  for (const auto& [file, state] : after) {
    auto was = before.find(file);
    if (was == before.end() || was->second != state) written.push_back(file);
  }
  j["files_written"] = written;
  if (o.registered) {
    j["registry"] = {{"tool_key", utf8(install::toolKeyPath(o.year))},
                     {"uninstall_key", utf8(install::uninstallKeyPath(o.year))}};
    json links = json::array();
    if (!sv.cPulpit.empty())
      links.push_back(existing(rt::ansiToOem(sv.cPulpit + "Tav " + o.year + ".lnk")));
    if (!sv.cMenu.empty())
      links.push_back(existing(
          rt::ansiToOem(sv.cMenu + "Tamborex\\Tav-" + o.year + "\\Tav-" + o.year + ".lnk")));
    j["shortcuts"] = links;
  } else {
    j["registry"] = nullptr;
    j["shortcuts"] = json::array();
  }
  const std::string& db = o.directories.database;
  j["archive"] = existing(archiveOf(db, release));
  j["install_report"] =
      db.empty() || !o.databaseRun ? json(nullptr) : existing(db + "public\\ins_raport.txt");
  return j;
}

bool writeReport(const std::string& file, const json& report) {
  std::ofstream out(os::hostPath(file), std::ios::binary | std::ios::trunc);
  out << report.dump(2) << "\n";
  return static_cast<bool>(out);
}

}  // namespace tav::shell

// The frame of an unattended action: before, around and after its core call.
#include "shell/unattended/run_frame.h"

#include <cstdio>
#include <cstdlib>

#include "db/table_access.h"
#include "os/files.h"
#include "os/path.h"
#include "os/registry/registry.h"
#include "os/wide.h"
#include "runtime/codepage.h"
#include "runtime/format.h"
#include "runtime/shared_variables.h"
#include "shell/running_check.h"
#include "shell/startup_folders.h"

namespace tav::shell {
namespace {

namespace fs = std::filesystem;

std::string utf8(const std::string& oem) { return rt::oemToUtf8(oem); }

fs::path prefixLocation() {
  if (fs::path p = os::getEnvPath("TAV_PREFIX"); !p.empty()) return p;
  const fs::path home = os::getEnvPath("HOME");
  return (home.empty() ? fs::path("/") : home) / ".local" / "share" / "tav";
}

// Why a run does not start: the registry it ends by writing cannot be written now.
std::string registryRefusal(const os::reg::StoreProblem& p, const std::string& action) {
  if (p.kind == os::reg::StoreProblem::Kind::WineServerRunning)
    return "the registry is in use: " + p.message + ", then start the " + action + " again";
  return "the registry cannot be written: " + p.message;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

std::string windowsDirectory(const std::string& given) {
  if (given.find_first_not_of(' ') == std::string::npos) return given;
  const bool windowsForm = (given.size() >= 2 && given[1] == ':') || startsWith(given, "\\\\");
  if (windowsForm) return rt::utf8ToOem(given);
  return os::fromHost(fs::absolute(os::hostPath(given)));
}

std::string windowsDirectoryWithBackslash(const std::string& given) {
  std::string dir = windowsDirectory(given);
  if (rt::allTrim(dir).empty()) return dir;
  if (dir.back() != '\\') dir += '\\';
  return dir;
}

RunFrame::RunFrame(const std::vector<std::string>& positional, bool keepErrorLog)
    : start_(std::time(nullptr)),
      prefix_(prefixLocation()),
      prefixExisted_(fs::exists(prefix_)),
      release_{positional.at(0), positional.at(1), positional.at(2)},
      // Errors nobody guards would wait for a person at the error box: they end the run instead.
      abandonAll_([](rt::Error& e) -> rt::Answer { throw rt::Abandon(e); }) {
  rt::resetShared();
  db::STARTINIT();
  upgrade::useReleaseArguments(release_);
  if (!keepErrorLog) {
    std::error_code ec;
    fs::remove("error.log", ec);
  }
}

RunFrame::~RunFrame() = default;

std::optional<std::string> RunFrame::argumentsRefusal() const {
  const std::vector<upgrade::ArgumentMismatch> found = upgrade::releaseArgumentsDisagree(release_);
  if (found.empty()) return std::nullopt;
  std::string text = "the release arguments disagree with the release in this directory:";
  for (const upgrade::ArgumentMismatch& m : found)
    text += " " + m.what + " " + utf8(m.given) + " given, its " + m.file + " says " +
            utf8(m.recorded) + ";";
  text.back() = '.';
  return text + " Start the tool with the release's own arguments";
}

std::optional<std::string> RunFrame::refusal(
    const char* action, const std::vector<std::pair<const char*, std::string>>& directories) {
  if (auto wrong = argumentsRefusal()) return wrong;
  for (const auto& [which, directory] : directories)
    if (directory.size() > static_cast<size_t>(upgrade::kDirectoryFieldLength))
      return std::string("the ") + which + " directory " + utf8(directory) +
             " is longer than the " + std::to_string(upgrade::kDirectoryFieldLength) +
             " characters TAV keeps: name a shorter one";
  if (const os::reg::StoreProblem p = os::reg::checkStore()) return registryRefusal(p, action);
  if (IS_TAV_RUN())
    return std::string("TAV is running on this computer: close every TAV program and start the ") +
           action + " again";
  findStartupFolders();
  return std::nullopt;
}

Ending RunFrame::guarded(const std::function<Ending()>& action) {
  try {
    return action();
  } catch (const rt::Abandon& a) {
    return {"error: " + utf8(a.error().summary()), 2, false};
  }
}

int RunFrame::finish(const Ending& ending, const std::string& detail,
                     const std::string& registryRefused, const std::string& reportFile,
                     const std::function<nlohmann::json(std::time_t, std::time_t)>& report) {
  // A registry write refused during the run (a Wine server started meanwhile, say) leaves the
  // installation without its entries; the outcome alone would not say so.
  if (!registryRefused.empty())
    std::fprintf(stderr, "tav_setup: registry entries were not written: %s\n",
                 registryRefused.c_str());
  const std::time_t end = std::time(nullptr);
  std::fprintf(stderr, "\ntav_setup: outcome %s%s (exit %d%s)%s\n", ending.outcome.c_str(),
               ending.words.empty() ? "" : (": " + ending.words).c_str(), ending.exitCode,
               detail.empty() ? "" : (", " + detail).c_str(),
               ending.exitCode == 2 && ending.changedNothing ? "; nothing was changed" : "");
  if (!prefixExisted_ && fs::exists(prefix_))
    std::fprintf(stderr, "tav_setup: made the Windows prefix %s (drive map and registry)\n",
                 os::utf8(prefix_).c_str());
  if (!reportFile.empty() && !writeReport(reportFile, report(start_, end))) {
    std::fprintf(stderr, "tav_setup: the report %s could not be written\n", reportFile.c_str());
    return 2;
  }
  return ending.exitCode;
}

}  // namespace tav::shell

// The callable steps of an upgrade and the runs that call them. Invariant: a run checks every
// step it chose before the first one runs, so a missing step changes nothing.
#include "convert/step_registry.h"

#include "convert/firm_step_frame.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::convert {
namespace {

using namespace rt::literals;

[[noreturn]] void missing(StepKind kind, int release) {
  rt::Error e;
  e.genCode = rt::kErrNoVar;
  e.subSystem = "TAV";
  e.description = "Brak funkcji konwersji "_oem + stepName(kind, release);
  e.operation = stepName(kind, release);
  rt::fail(std::move(e));
}

template <typename Map>
const typename Map::mapped_type& find(const Map& calls, StepKind kind, int release) {
  auto it = calls.find(release);
  if (it == calls.end() || !it->second) missing(kind, release);
  return it->second;
}

template <typename Map>
bool present(const Map& calls, int release) {
  auto it = calls.find(release);
  return it != calls.end() && static_cast<bool>(it->second);
}

}  // namespace

std::string stepName(StepKind kind, int release) {
  const std::string digits = rt::StrZero(release, 3, 0);
  switch (kind) {
    case StepKind::Template:
      return "STR_25_01_" + digits;
    case StepKind::Firm:
      return "I_25_01_" + digits;
    case StepKind::Public:
      return "PUB_25_01_" + digits;
    case StepKind::PublicIndex:
      return "NTX_PUB";
    case StepKind::Program:
      return "L25_01_" + digits;
  }
  return {};
}

StepRegistry StepRegistry::fromCatalogue() {
  StepRegistry r;
  for (const ReleaseSteps& row : releaseCatalogue()) {
    if (row.hasTemplateStep() && row.templateFn)
      r.setTemplateStep(row.release, [fn = row.templateFn](const db::Directories& d) {
        fn(d.database, d.program);
      });
    if (row.hasFirmStep() && row.firmPlan)
      r.setFirmStep(row.release,
                    [plan = row.firmPlan](std::string_view firm, std::string_view,
                                          std::string_view database, std::string_view firmRelease) {
                      runFirmPlan(*plan, firm, database, firmRelease);
                      return true;
                    });
    if (row.publicStep && row.publicFn) r.setPublicStep(row.release, row.publicFn);
    if (row.programStep && row.programFn)
      r.setProgramStep(row.release, [fn = row.programFn](const db::Directories& d) {
        fn(d.program, d.database);
      });
  }
  if (PublicIndexFn f = publicIndexRebuildFn()) r.setPublicIndexRebuild(f);
  return r;
}

bool StepRegistry::has(StepKind kind, int release) const {
  switch (kind) {
    case StepKind::Template:
      return present(template_, release);
    case StepKind::Firm:
      return present(firm_, release);
    case StepKind::Public:
      return present(public_, release);
    case StepKind::PublicIndex:
      return static_cast<bool>(publicIndex_);
    case StepKind::Program:
      return present(program_, release);
  }
  return false;
}

void StepRegistry::requireAll(StepKind kind, const std::vector<int>& releases) const {
  for (int release : releases)
    if (!has(kind, release)) missing(kind, release);
}

namespace {
StepObserver& observer() {
  static StepObserver o;
  return o;
}
void seen(StepKind kind, int release, std::string_view where) {
  if (observer()) observer()(kind, release, where);
}
}  // namespace

StepObserver setStepObserver(StepObserver o) {
  std::swap(observer(), o);
  return o;
}

void StepRegistry::runTemplateStep(int release, const db::Directories& directories) const {
  seen(StepKind::Template, release, directories.database);
  find(template_, StepKind::Template, release)(directories);
}

bool StepRegistry::runFirmStep(int release, std::string_view firmDirectory,
                               std::string_view programDirectory,
                               std::string_view databaseDirectory,
                               std::string_view firmRelease) const {
  seen(StepKind::Firm, release, firmDirectory);
  return find(firm_, StepKind::Firm, release)(firmDirectory, programDirectory, databaseDirectory,
                                              firmRelease);
}

void StepRegistry::runPublicStep(int release, std::string_view databaseDirectory) const {
  seen(StepKind::Public, release, databaseDirectory);
  find(public_, StepKind::Public, release)(databaseDirectory);
}

void StepRegistry::runPublicIndexRebuild(std::string_view databaseDirectory, const rt::Value& mode,
                                         frontend::Progress& progress) const {
  if (!publicIndex_) missing(StepKind::PublicIndex, 0);
  seen(StepKind::PublicIndex, 0, databaseDirectory);
  publicIndex_(databaseDirectory, mode, progress);
}

void StepRegistry::runProgramStep(int release, const db::Directories& directories) const {
  seen(StepKind::Program, release, directories.program);
  find(program_, StepKind::Program, release)(directories);
}

const StepRegistry& shippedSteps() {
  static const StepRegistry steps = StepRegistry::fromCatalogue();
  return steps;
}

// Each run checks that every step it chose can be called before the first one runs, so a
// missing step stops the upgrade before it has changed anything rather than half-way.
void runTemplateSteps(std::string_view databaseRelease, const db::Directories& directories,
                      const StepRegistry& steps) {
  const std::vector<int> chosen = templateStepsAbove(databaseRelease);
  steps.requireAll(StepKind::Template, chosen);
  for (int release : chosen) steps.runTemplateStep(release, directories);
}

void runPublicSteps(std::string_view databaseRelease, std::string_view databaseDirectory,
                    frontend::Progress& progress, const StepRegistry& steps) {
  const std::vector<int> chosen = publicStepsAbove(databaseRelease);
  steps.requireAll(StepKind::Public, chosen);
  steps.requireAll(StepKind::PublicIndex, {0});
  for (int release : chosen) steps.runPublicStep(release, databaseDirectory);
  steps.runPublicIndexRebuild(databaseDirectory, publicIndexMode(databaseRelease), progress);
}

void runProgramSteps(std::string_view programRelease, const db::Directories& directories,
                     const StepRegistry& steps) {
  const std::vector<int> chosen = programStepsAbove(programRelease);
  steps.requireAll(StepKind::Program, chosen);
  for (int release : chosen) steps.runProgramStep(release, directories);
}

}  // namespace tav::convert

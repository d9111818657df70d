#pragma once

// Which function runs each step of the release catalogue, and the observer told of every step run.
// A step without a function raises: a step that did not run must never be counted as done.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "convert/release_catalogue.h"
#include "db/directories.h"
#include "frontend/progress.h"
#include "runtime/value.h"

namespace tav::convert {

enum class StepKind { Template, Firm, Public, PublicIndex, Program };

// The step's own name, as reports and errors give it: "STR_25_01_001", "I_25_01_030",
// "PUB_25_01_013", "NTX_PUB", "L25_01_046".
std::string stepName(StepKind kind, int release);

// The functions the runners call for the catalogue's steps. The shipped set comes from the
// catalogue's rows; a test or a tool can replace any of them. Calling a step that has no
// function raises a runtime error through the handler: an upgrade must never count a step that
// did not run as done.
class StepRegistry {
 public:
  // Template and program steps get both directories; firm and public steps what they work on.
  using TemplateCall = std::function<void(const db::Directories& directories)>;
  using FirmCall =
      std::function<bool(std::string_view firmDirectory, std::string_view programDirectory,
                         std::string_view databaseDirectory, std::string_view firmRelease)>;
  using PublicCall = std::function<void(std::string_view databaseDirectory)>;
  using PublicIndexCall = std::function<void(std::string_view databaseDirectory,
                                             const rt::Value& mode, frontend::Progress& progress)>;
  using ProgramCall = std::function<void(const db::Directories& directories)>;

  StepRegistry() = default;  // no functions at all
  static StepRegistry fromCatalogue();

  void setTemplateStep(int release, TemplateCall f) { template_[release] = std::move(f); }
  void setFirmStep(int release, FirmCall f) { firm_[release] = std::move(f); }
  void setPublicStep(int release, PublicCall f) { public_[release] = std::move(f); }
  void setPublicIndexRebuild(PublicIndexCall f) { publicIndex_ = std::move(f); }
  void setProgramStep(int release, ProgramCall f) { program_[release] = std::move(f); }

  bool has(StepKind kind, int release) const;
  // Raises (and does not return) when a step of `releases` has no function.
  void requireAll(StepKind kind, const std::vector<int>& releases) const;

  void runTemplateStep(int release, const db::Directories& directories) const;
  bool runFirmStep(int release, std::string_view firmDirectory, std::string_view programDirectory,
                   std::string_view databaseDirectory, std::string_view firmRelease) const;
  void runPublicStep(int release, std::string_view databaseDirectory) const;
  void runPublicIndexRebuild(std::string_view databaseDirectory, const rt::Value& mode,
                             frontend::Progress& progress) const;
  void runProgramStep(int release, const db::Directories& directories) const;

 private:
  std::map<int, TemplateCall> template_;
  std::map<int, FirmCall> firm_;
  std::map<int, PublicCall> public_;
  PublicIndexCall publicIndex_;
  std::map<int, ProgramCall> program_;
};

// Told of every step a registry runs, just before it runs: its kind, its release and the directory
// it works on (the firm's for a firm step). The upgrade's report lists the steps from it.
using StepObserver = std::function<void(StepKind kind, int release, std::string_view directory)>;
StepObserver setStepObserver(StepObserver observer);  // returns the previous one

// The catalogue's functions, made once.
const StepRegistry& shippedSteps();

// The upgrade's calls, each choosing its steps by the catalogue's rule.
// Every template step above the database release, in ascending order (before the firms).
void runTemplateSteps(std::string_view databaseRelease, const db::Directories& directories,
                      const StepRegistry& steps = shippedSteps());
// The public steps above the database release, then NTX_PUB with its mode (after the firms).
void runPublicSteps(std::string_view databaseRelease, std::string_view databaseDirectory,
                    frontend::Progress& progress, const StepRegistry& steps = shippedSteps());
// Every program step above the program release ("25.01.023" form), in ascending order.
void runProgramSteps(std::string_view programRelease, const db::Directories& directories,
                     const StepRegistry& steps = shippedSteps());

}  // namespace tav::convert

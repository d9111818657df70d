// What an upgrade would do, found without writing anything or taking the database's lock: the
// entry's checks, the decision on the database, the steps of every kind, each firm's steps or why
// it has none, the duration estimate and the disk space the run needs.
//
// Invariants: the steps come from the very functions the run chooses them with (the release
// catalogue's selection, convert::chooseFirmSteps), so the plan and the run cannot disagree; no
// file is opened for writing.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/duration_estimate.h"
#include "upgrade/upgrade_checks.h"

namespace tav::upgrade {

struct PlannedTable {
  std::string name;   // the firm's table, without extension
  long records = -1;  // live and deleted records; -1 when the table cannot be read
};

struct PlannedFirm {
  double nr = 0;
  std::string directory, name;  // 852
  std::string release;          // as the firm's wersja.dbf records it
  std::string start;            // the release the steps are chosen above
  std::vector<int> steps;       // the firm steps that would run, in order
  bool fullReindex = false;
  std::string skipped;         // why nothing runs for the firm; empty when steps run
  bool failedLastRun = false;  // named in the last installation report
  // Per step (same order as `steps`): the tables it restructures or replaces.
  std::vector<std::vector<PlannedTable>> tables;
};

struct UpgradePlan {
  UpgradeChecks checks;
  enum class Decision { Run, Repeat, RefreshOnly, Refused } decision = Decision::Refused;
  std::string refusal;  // why a run would stop early although every check passed, or would not
                        // start for lack of room (852)
  std::vector<int> templateSteps, publicSteps, programSteps;
  bool publicIndexRebuild = false, publicIndexWithMode = false;
  std::vector<PlannedFirm> firms;
  std::optional<DurationEstimate> estimate;
  uint64_t spaceNeeded = 0, spaceFree = 0;
  bool runs() const { return decision != Decision::Refused; }
};

// Plans the upgrade of the program installed in `programDirectory` (as typed: 852, with or
// without its backslash). Without `countRecords` the tables' records are not counted (-1): what the
// free-space check before a run needs is the files' sizes alone.
UpgradePlan planUpgrade(const std::string& programDirectory, bool countRecords = true);

// The plan as a person reads it (UTF-8).
std::string planText(const UpgradePlan& plan);
const char* decisionName(
    UpgradePlan::Decision d);  // "run", "repeat", "refresh program only", "refused"

// Bytes free for the tool on the file system of a directory (852 Windows path); 0 when unknown.
uint64_t freeSpace(const std::string& directory);

// The space a run needs in the database's file system: the largest file set it rewrites at once
// (a table with its memo and index staged beside the old one, or a reference table copied in)
// plus the release archive when the database has none yet.
uint64_t spaceNeeded(const UpgradePlan& plan);

// The text of the "Brak miejsca na dysku" box when `available` bytes (0: unknown) are fewer than
// `needed` in the database's file system; empty when there is room.
std::string spaceRefusal(uint64_t needed, uint64_t available, const std::string& database);

}  // namespace tav::upgrade

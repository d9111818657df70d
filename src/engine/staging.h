#pragma once
// Rebuilt table files written beside the table ("~" + name) and put in its place together.
// Invariant: at every instant the table's own name holds the old table with its old memo and
// indexes, or the commit record of a complete new set that the next open finishes putting in
// place; a table never meets a memo or an index of another generation.
#include <filesystem>
#include <functional>
#include <utility>
#include <vector>

namespace tav::engine {

// Where a replacement of `file` is written: same directory (a rename never crosses file
// systems), "~" before the name.
std::filesystem::path stagedPath(const std::filesystem::path& file);

// The moments of a swap. A hook that answers false stops the swap right there, as a crash
// would: tests use it to see what is left on disk.
enum class SwapPoint { BeforeMemo, BetweenMemoAndTable, AfterTable };
using StagingHook = std::function<bool(SwapPoint, const std::filesystem::path& table)>;
StagingHook setStagingHook(StagingHook hook);  // returns the previous one; empty: never stop

// A file that goes with a table (memo, index): its staged copy and the name it replaces.
struct Companion {
  std::filesystem::path staged, target;
};

// Puts `staged` (a table file of the same directory) in place of `table`, with every companion
// whose staged copy exists; a companion without a staged copy has its target deleted (a memo file
// the new table no longer has). The staged files are forced to the disk, then a commit record
// (stagedPath(table) with extension ".swp") lists the renames: from then on the swap is done,
// whoever finishes it. Renames go memo first, the table last. A table with no companion to move
// or delete needs no record: its single rename is the commit. False when the swap stopped: the
// old table is in place when it stopped before the commit record, otherwise the next open of
// the table completes it.
bool swapStaged(const std::filesystem::path& table, const std::filesystem::path& staged,
                const std::vector<Companion>& companions);

// Completes a swap of `table` that stopped after its commit record; nothing happens when there
// is none. Called by every open of a table, before the table is read.
void finishInterruptedSwap(const std::filesystem::path& table);

// Deletes `staged` and the staged companions left by a rebuild of `table` that never came to its
// commit (after completing a committed swap, whose staged files are no leftovers).
void removeStaged(const std::filesystem::path& table, const std::filesystem::path& staged,
                  const std::vector<Companion>& companions);

}  // namespace tav::engine

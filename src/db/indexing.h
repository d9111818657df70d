#pragma once

// Rebuilding compound indexes, one table or a whole firm, and the results the conversions report.

#include <string_view>

#include "db/index_catalogue.h"

namespace tav::db {

// Results of INDEXON, which the conversions write into their report lines.
enum IndexResult : int {
  kIndexed = 0,
  kIndexNotBuilt = 1,    // no table file, the table would not open, or a tag would not build
  kOldIndexRemains = 2,  // the table is in use elsewhere, or its .cdx would not go: it keeps it
};

// Rebuilds the compound index base + ".cdx" of the table base + ".dbf" from `tags`, in list
// order, replacing the old file entirely; the old file is deleted only once the table is held
// exclusively, so that no other process is left writing into it. The table is opened under a
// work alias of its own ("roboczy", or "roboczy0".."roboczy8" when that is taken; a taken one is
// closed) and closed again on success. On a tag that will not build, the tags made so far stay in
// the file and the table stays open under the work alias, which the next call closes.
int INDEXON(std::string_view base, const TagList& tags);

// Rebuilds every index of one firm directory (trailing backslash) from the firm catalogue,
// deleting the obsolete files in their places, and marks the firm's ntx.dbf up to date. One
// table that cannot be indexed does not stop the others; nothing is reported. A missing ntx.dbf
// is raised to the error handler.
void INDEKSUJ(std::string_view directory);

}  // namespace tav::db

#pragma once

// The ZIP archive of the shipped release that every installation and upgrade leaves in the
// database's install\ directory, and the masks of what goes into it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/progress.h"
#include "frontend/questions.h"
#include "upgrade/zip_writer.h"

namespace tav::upgrade {

// What goes into the release archive, in this order, relative to the tool's working directory
// (the shipped release). A mask covers the files of one directory, never its subdirectories.
const std::vector<std::string>& releaseMasks();

// Leaves the archive of the release this tool carries in the database: databaseDirectory +
// "install\" + wersja_p + ".zip". An archive already there for the release is never touched;
// otherwise install\ is created, emptied (it holds only the newest archive) and the archive
// made. True when the archive is there afterwards. A failed archive does not undo the upgrade
// or installation, which stands regardless; the caller says it was not made.
bool PAKUJ_DO_ZIPA(std::string_view databaseDirectory, frontend::Progress& progress);
// PAKUJ_DO_ZIPA, with a warning box naming the archive when it could not be made (a full disk):
// the next run makes it.
void archiveOrWarn(std::string_view databaseDirectory, frontend::Questions& person,
                   frontend::Progress& progress);

// Archives the files matching `masks` (852, Windows form) under the mask's directory part
// followed by the file's name, counting files on the progress bar. The archive's comment is
// "TAV" + mark, the mark "Tamborex" when not given. True when every file went in and the
// archive was saved; false when nothing matched, the archive could not be opened, a file
// failed or the archive could not be saved (no archive is left then).
bool MAKEZIP(std::string_view archiveFile, const std::vector<std::string>& masks,
             frontend::Progress& progress, const std::optional<std::string>& mark = std::nullopt);

// The archive's corruption handler: asks it to repair itself and answers the repair's result.
int ZIPBLEDY(ZipWriter& archive);

}  // namespace tav::upgrade

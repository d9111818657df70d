// INDEXON and INDEKSUJ. The retry counts and pauses are what other workstations are given to let go
// of a table or its index; an index goes only while its table is held exclusively.

#include "db/indexing.h"

#include <algorithm>
#include <string>
#include <vector>

#include "db/files.h"
#include "db/table_access.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "os/path.h"
#include "runtime/clock.h"
#include "runtime/error.h"

namespace tav::db {
namespace {

// Other workstations are given these to let go of a table or its index; keep them exact.
constexpr int kIndexDeleteTries = 20, kIndexDeletePause = 10;
constexpr int kOpenTries = 11, kOpenPause = 5;
constexpr int kTagTries = 20, kTagPause = 10;
// "roboczy", then "roboczy0".."roboczy8": the last is taken without asking whether it is free.
constexpr int kAliasTries = 9;

std::string workAlias() {
  auto& ws = engine::workspace();
  std::string alias = "roboczy";
  for (int attempt = 1; attempt <= kAliasTries; ++attempt) {
    if (!ws.used(alias)) break;
    // A leftover of an earlier failed INDEXON (or the caller's own area under this name): it is
    // closed, and a fresh name is taken all the same.
    ZAMKNIJ(alias);
    alias = "roboczy" + std::string(1, static_cast<char>(47 + attempt));
  }
  return alias;
}

// One try at one tag; `fileSpoilt` tells a failure that may have left the index file unsound
// (a page that could not be written) from one that never reached it (a key that will not build).
bool createTag(engine::WorkArea& area, const std::filesystem::path& cdx, const IndexTag& tag,
               bool& fileSpoilt) {
  bool created = false;
  rt::Error error;
  if (rt::sequence([&] { created = area.orderCreate(cdx, tag.name, tag.key); }, &error) && created)
    return true;
  fileSpoilt = error.genCode == rt::kErrCreate;
  return false;
}

// The tags in order, each tried again after a pause when it fails; the tags before it stay. A
// failure that may have spoilt the file (a full disk) is never tried again on that file: a page
// not written leaves a tag pointing where nothing is, which the next tag would build on. The file
// goes, and the tags before are built again with the rest.
bool createTags(engine::WorkArea& area, const std::string& index, const TagList& tags) {
  const std::filesystem::path cdx = os::toHost(index);
  size_t next = 0;
  bool spoiltBefore = false;
  for (int attempt = 1; attempt <= kTagTries && next < tags.size();) {
    bool fileSpoilt = false;
    if (createTag(area, cdx, tags[next], fileSpoilt)) {
      ++next;
      if (!spoiltBefore) attempt = 1;  // each tag has its own tries, unless the file went
      continue;
    }
    spoiltBefore = spoiltBefore || fileSpoilt;
    if (fileSpoilt) {
      rt::guarded([&] { area.orderListClear(); });
      DEL_FILE(index);
      next = 0;
    }
    rt::pause(kTagPause);
    ++attempt;
  }
  return next == tags.size();
}

// All the tags in one pass over the table when none of them fails. When one does, the file goes
// and the tags are built one at a time under the per-tag rule, which leaves what it always left
// (the tags before the failing one) after the same tries and pauses.
bool buildTags(engine::WorkArea& area, const std::string& index, const TagList& tags) {
  if (tags.size() > 1) {
    std::vector<engine::WorkArea::TagText> texts;
    for (const IndexTag& t : tags) texts.push_back({t.name, t.key});
    bool built = false;
    if (rt::sequence([&] { built = area.orderCreate(os::toHost(index), texts); }) && built)
      return true;
    rt::guarded([&] { area.orderListClear(); });
    DEL_FILE(index);
  }
  return createTags(area, index, tags);
}

// The engine takes a host path ("/...") literally, while the tool joins names with backslashes
// (the catalogue's klient\klient): on a host path they become the host's separator.
std::string forEngine(std::string path) {
  if (!path.empty() && path[0] == '/') std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

}  // namespace

int INDEXON(std::string_view base, const TagList& tags) {
  const std::string table = forEngine(std::string(base) + ".dbf");
  const std::string index = forEngine(std::string(base) + ".cdx");
  if (!os::exists(table)) return kIndexNotBuilt;

  // The table is held exclusively before its index goes: on this host a file another process
  // has open can be deleted under it, and that process would go on writing into a dead file.
  const std::string alias = workAlias();
  rt::AbandonGuard guard;
  bool open = false;
  for (int attempt = 1; attempt <= kOpenTries; ++attempt) {
    if ((open = USEEX(table, alias))) break;
    if (attempt < kOpenTries) rt::pause(kOpenPause);
  }
  // A table in use keeps the index its users are writing.
  if (!open) return os::exists(index) ? kOldIndexRemains : kIndexNotBuilt;

  auto& ws = engine::workspace();
  ws.select(alias);
  engine::WorkArea* area = ws.current();
  rt::guarded([&] { area->orderListClear(); });
  for (int attempt = 1; attempt <= kIndexDeleteTries; ++attempt) {
    DEL_FILE(index);
    if (!os::exists(index)) break;
    rt::pause(kIndexDeletePause);
  }
  if (os::exists(index)) {
    ZAMKNIJ(alias);
    return kOldIndexRemains;
  }

  if (!buildTags(*area, index, tags)) return kIndexNotBuilt;
  ZAMKNIJ(alias);
  return kIndexed;
}

void INDEKSUJ(std::string_view directory) {
  const std::string dir(directory);
  // Each index goes only while its table is held exclusively (see INDEXON); one whose table is
  // in use stays. An index without a table beside it has no users to wait for.
  for (const os::DirEntry& e : os::listDirectory(dir + "*.cdx")) {
    const std::string index = dir + e.name;
    const std::string table = index.substr(0, index.size() - 4) + ".dbf";
    if (!os::exists(forEngine(table))) {
      DEL_FILE(forEngine(index));
      continue;
    }
    const std::string alias = workAlias();
    if (!USEEX(forEngine(table), alias)) continue;
    rt::guarded([&] { engine::workspace().current()->orderListClear(); });
    DEL_FILE(forEngine(index));
    ZAMKNIJ(alias);
  }
  for (const CatalogueRow& row : firmCatalogue()) {
    if (row.isDeletion()) {
      DEL_FILE(dir + row.deleteFile);
      continue;
    }
    if (row.optional && !os::exists(dir + row.table + ".dbf")) continue;
    INDEXON(dir + row.table, row.tags);  // a table that fails must not stop the others
  }

  // The accounting program reads ntx.dbf to learn that the firm's indexes are current. Opened
  // unguarded: a firm without it is the error handler's business.
  auto& ws = engine::workspace();
  if (!ws.use(forEngine(dir + "ntx.dbf"), "entex", engine::UseOptions::byDefault())) return;
  ws.select("entex");
  rt::BlockRef mark = ws.compileBlock("{|| FIELD->entex->ok := .t. }");
  if (mark) ws.current()->eval([&] { mark->eval({}); });
  ws.close("entex");
}

}  // namespace tav::db

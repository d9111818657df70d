#pragma once

// The index catalogue: which tags each firm table gets, in which order, and which obsolete files
// go in their places.

#include <string>
#include <string_view>
#include <vector>

namespace tav::db {

// One tag of a compound index: its name and its key expression, as the accounting program
// expects to find them. Letter case is kept as the program wrote it ("Tkli+lpp_kli+...", "Kraj").
struct IndexTag {
  std::string name;
  std::string key;
  bool operator==(const IndexTag&) const = default;
};
using TagList = std::vector<IndexTag>;

// One row of a firm's reindexing: either a table to index (name relative to the firm
// directory, without extension, e.g. "klient\\klient") or a file to delete in its place.
struct CatalogueRow {
  std::string table;       // empty on a deletion row
  bool optional = false;   // indexed only when its .dbf exists (sld_buff, p_ald)
  TagList tags;            // in creation order
  std::string deleteFile;  // the file a deletion row removes ("dsto.lpp"), empty otherwise

  bool isDeletion() const { return !deleteFile.empty(); }
};

// INDEKSUJ's catalogue: 139 tables in the order the firm's indexes are rebuilt, with the
// deletions of obsolete files in their places. The order is part of the contract: a deletion
// must not run before the tables listed above it have been indexed.
const std::vector<CatalogueRow>& firmCatalogue();

// Tables the firm steps index although INDEKSUJ never does (they are created by a step from
// their template: uwagi, sme_ewi, sme_zw).
const std::vector<CatalogueRow>& stepOnlyIndexes();

// The tag list of a firm table, by its name as in the catalogue ("ks_dok", "klient\\klient"),
// ignoring letter case and an optional ".dbf"; looks in both lists above. nullptr when the
// table has no catalogued index.
const TagList* tagsFor(std::string_view table);

// The shared tables NTX_PUB indexes, in its order; `optional` as above (wzorce, z52_rok).
struct PublicIndex {
  std::string table;
  bool optional = false;
  TagList tags;
};
const std::vector<PublicIndex>& strIndexes();     // the database's str\ directory
const std::vector<PublicIndex>& publicIndexes();  // the database's public\ directory

}  // namespace tav::db

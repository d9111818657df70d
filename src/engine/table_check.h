#pragma once

// The consistency check of a table with its memo file and its indexes, for the support tool
// and any other caller that must know whether a table can be trusted. It reads only: shared,
// read-only opens, nothing written, no repair made. It sits beside the work areas rather than
// in dbf/ because the index part evaluates key expressions through a work area.

#include <filesystem>
#include <string>
#include <vector>

namespace tav::engine {

struct TableCheck {
  // False when the table file itself could not be opened (missing, unreadable, not a table at
  // all): `unreadable` says why and nothing else was checked. A damaged header or memo file is
  // a problem, not this.
  bool opened = true;
  std::string unreadable;
  // One line each, code page 852 text, in the order found: the header and the count, every
  // record's flag, numeric and date fields and memo pointers, then each tag of the structural
  // .cdx and of a .ntx of the table's name (every record once, keys in order and equal to their
  // expression). Long runs of one kind are cut after a few lines with a count of the rest.
  std::vector<std::string> problems;
};

TableCheck checkTable(const std::filesystem::path& host);

}  // namespace tav::engine

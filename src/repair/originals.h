// Where a repair keeps the files it is about to change, as they were: naprawa\<date-time>\ in the
// directory repaired, one subdirectory per directory of the database ("firma3\", "str\"), and in
// it a list of what was kept ("spis.txt", one item a line, in the order kept).
//
// Invariants: a file is in its place under naprawa\ only whole and flushed (copied beside,
// flushed, renamed); an item is on the list only once every file of it is there, and before the
// repair touches any of them; a run directory holds the marker "w_toku.txt" from its making until
// the repair has ended, and a repair that finds such a directory (or an empty one, made just
// before the marker) goes on with it, so an interrupted repair and its rerun keep one set of
// originals, never the half-mended files of the first attempt.
#pragma once
#include <set>
#include <string>
#include <vector>

namespace tav::repair {

class Originals {
 public:
  // `root` is the directory repaired (852 with its backslash); its naprawa\ is used.
  explicit Originals(std::string root);

  // Goes on with the run directory an interrupted repair left, if there is one; nothing is made.
  void resume();
  // The run directory (852 with its backslash); empty until something was kept or resumed.
  const std::string& directory() const { return dir_; }
  // Whether `item` (a path relative to the run directory) is on the list.
  bool kept(const std::string& item) const { return listed_.count(item) > 0; }
  // Copies `files` (852 paths) into the run directory's `subdirectory` (relative, with its
  // backslash, empty for the run directory itself) under their own names, flushes them and puts
  // `item` on the list. Making the run directory first when there is none. False (nothing listed)
  // when a copy or a flush failed.
  bool keep(const std::string& item, const std::vector<std::string>& files,
            const std::string& subdirectory);
  // Puts `item` on the list without a file (what was found missing).
  bool note(const std::string& item);
  // The repair has ended: the marker goes.
  void finish();

 private:
  bool begin();
  bool append(const std::string& item);

  std::string root_, dir_;
  std::set<std::string> listed_;
};

}  // namespace tav::repair

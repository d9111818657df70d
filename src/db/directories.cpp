// Creating and removing whole directory trees. Roots (a drive, a server and share) are never made,
// and a link inside a tree being removed is deleted, never followed out of it.

#include "db/directories.h"

#include <string>

#include "db/files.h"
#include "os/files.h"
#include "runtime/format.h"

namespace tav::db {

std::string withBackslash(std::string directory) {
  if (directory.empty() || directory.back() != '\\') directory += '\\';
  return directory;
}

bool MAKEDIR(std::string_view path) {
  std::string p = rt::allTrim(path);
  if (p.empty()) return false;
  if (p.back() == '\\') p = rt::allTrim(std::string_view(p).substr(0, p.size() - 1));
  if (p.empty()) return false;
  // The root is not created: "\\" of a network name, "D:\" of a drive.
  std::string done;
  std::string_view rest = p;
  if (p.compare(0, 2, "\\\\") == 0) {
    done = "\\\\";
  } else if (p.size() >= 3 && p.compare(1, 2, ":\\") == 0) {
    done = p.substr(0, 3);
  }
  rest.remove_prefix(done.size());
  for (size_t sep; (sep = rest.find('\\')) != std::string_view::npos; rest.remove_prefix(sep + 1)) {
    done += rest.substr(0, sep);
    os::createDirectory(done);  // an existing level or a server name fails; that is fine
    done += '\\';
  }
  return static_cast<bool>(os::createDirectory(p));
}

void DEL_ALL_DIR(std::string_view directory) {
  if (directory.empty()) return;
  std::string dir(directory);
  if (dir.back() == '\\') dir.pop_back();
  for (const os::DirEntry& e : os::listDirectory(dir + "\\*.*", "DHS")) {
    if (e.name == "." || e.name == "..") continue;
    std::string entry = dir + "\\" + e.name;
    os::setAttributes(entry, "-R-S-H");
    // A link to a directory is deleted as the link it is: following it would empty a tree that
    // lies outside this one.
    if (e.isDirectory() && !(e.attributes & os::kAttrReparsePoint)) {
      DEL_ALL_DIR(entry);
    } else if (e.isDirectory()) {
      os::removeDirectory(entry);
    } else {
      db::DEL_FILE(entry);
    }
  }
  os::removeDirectory(dir);
}

}  // namespace tav::db

// USUN_FONTY. Every font is released before any file goes, since a font still loaded keeps its
// file; names are used as the listing gives them, because host names are case-sensitive.

#include "convert/fonts_removal.h"

#include <vector>

#include "db/files.h"
#include "os/files.h"
#include "os/fonts.h"
#include "runtime/codepage.h"

namespace tav::convert {
namespace {

FileDeleter& deleter() {
  static FileDeleter d;
  return d;
}

bool deleteFile(const std::string& path) {
  return deleter() ? deleter()(path) : db::DEL_FILE(path);
}

// Names (852) of the directory's normal files matching the mask, as the listing gives them:
// directories are neither listed nor entered, hidden and system files are not listed.
std::vector<std::string> listNames(const std::string& directory, const char* mask) {
  std::vector<std::string> names;
  for (const auto& e : os::listDirectory(directory + mask)) names.push_back(e.name);
  return names;
}

void releaseFonts(const std::string& directory, const std::vector<std::string>& fonts) {
  for (const auto& name : fonts) os::removeFontResource(rt::oemToAnsi(directory + rt::lower(name)));
}

}  // namespace

FileDeleter setFileDeleter(FileDeleter d) {
  std::swap(deleter(), d);
  return d;
}

void USUN_FONTY(std::string_view dirView) {
  const std::string directory(dirView);
  // Every font is released before any file goes, however many there are: a font still loaded
  // would keep its file.
  std::vector<std::string> fonts = listNames(directory, "*.ttf");
  if (fonts.empty()) return;
  releaseFonts(directory, fonts);
  for (const auto& name : listNames(directory, "*.*")) deleteFile(directory + name);

  std::vector<std::string> survivors = listNames(directory, "*.ttf");
  if (survivors.empty()) return;
  releaseFonts(directory, survivors);
  // The name as it is on disk: the host's names are case-sensitive where Windows' are not.
  for (const auto& name : survivors) deleteFile(directory + name);
}

}  // namespace tav::convert

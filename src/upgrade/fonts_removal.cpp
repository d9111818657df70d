#include "upgrade/fonts_removal.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "os/fonts.h"
#include "os/path.h"
#include "runtime/codepage.h"

namespace tav::upgrade {
namespace fs = std::filesystem;
namespace {

FileDeleter& deleter() {
  static FileDeleter d;
  return d;
}

bool deleteFile(const std::string& path) {
  if (deleter()) return deleter()(path);
  std::error_code ec;
  fs::path host = os::toHost(path);
  fs::remove(host, ec);
  return !fs::exists(fs::symlink_status(host, ec));
}

bool hasTtfExtension(const std::string& name) {
  if (name.size() < 4) return false;
  return rt::lower(name.substr(name.size() - 4)) == ".ttf";
}

// The names (852) of the directory's files, or only of its .ttf files. Directories are neither
// listed nor entered.
std::vector<std::string> listFiles(std::string_view directory, bool fontsOnly) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(os::toHost(directory), ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code typeError;
    if (it->is_directory(typeError)) continue;
    std::string name = rt::utf8ToOem(it->path().filename().string());
    if (!fontsOnly || hasTtfExtension(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
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
  std::vector<std::string> fonts = listFiles(directory, true);
  if (fonts.empty()) return;
  releaseFonts(directory, fonts);
  for (const auto& name : listFiles(directory, false)) deleteFile(directory + name);

  std::vector<std::string> survivors = listFiles(directory, true);
  if (survivors.empty()) return;
  releaseFonts(directory, survivors);
  // The name as it is on disk: the host's names are case-sensitive where Windows' are not.
  for (const auto& name : survivors) deleteFile(directory + name);
}

}  // namespace tav::upgrade

// PAKUJ_DO_ZIPA. Every file is listed before the archive is opened, so the progress bar knows its
// length, and an archive whose save failed never counts as made.

#include "upgrade/release_archive.h"

#include "db/directories.h"
#include "db/files.h"
#include "os/files.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

namespace tav::upgrade {

using namespace rt::literals;

const std::vector<std::string>& releaseMasks() {
  static const std::vector<std::string> masks = {
      ".\\*.DBF",    ".\\czytaj.to\\*.*", ".\\RAVIMON\\*.*", ".\\MASK\\*.*",
      ".\\*.DLL",    ".\\tav.exe",        ".\\un_tav.exe",   ".\\setup2.exe",
      ".\\7z.exe",   ".\\openssl.exe",    ".\\msxsl.exe",    ".\\PUBLIC\\*.*",
      ".\\STR\\*.*", ".\\TXT\\*.*",       ".\\W001\\*.*",    ".\\XML\\*.*",
  };
  return masks;
}

namespace {
std::string archiveOf(std::string_view databaseDirectory) {
  return std::string(databaseDirectory) + "install\\" + rt::shared().wersja_p + ".zip";
}
}  // namespace

bool PAKUJ_DO_ZIPA(std::string_view databaseDirectory, frontend::Progress& progress) {
  const std::string install = std::string(databaseDirectory) + "install\\";
  const std::string archive = archiveOf(databaseDirectory);
  if (os::exists(archive)) return true;
  db::MAKEDIR(std::string(databaseDirectory) + "install");
  db::DEL_KAT(install, "*.*");
  return MAKEZIP(archive, releaseMasks(), progress) && os::exists(archive);
}

void archiveOrWarn(std::string_view databaseDirectory, frontend::Questions& person,
                   frontend::Progress& progress) {
  if (PAKUJ_DO_ZIPA(databaseDirectory, progress)) return;
  person.tell({"3",
               "Błąd archiwum"_oem,
               "Nie można utworzyć archiwum wersji;"_oem + archiveOf(databaseDirectory) +
                   ";Zostanie utworzone przy następnej instalacji."_oem,
               {}});
}

bool MAKEZIP(std::string_view archiveFile, const std::vector<std::string>& masks,
             frontend::Progress& progress, const std::optional<std::string>& mark) {
  // Every file is listed before the archive is opened, so the progress bar knows its length.
  std::vector<std::string> files;
  for (const std::string& mask : masks) {
    std::vector<os::DirEntry> found = os::listDirectory(mask);
    if (found.empty()) continue;
    const size_t slash = mask.rfind('\\');
    const std::string directory =
        slash == std::string::npos ? std::string() : mask.substr(0, slash + 1);
    for (const os::DirEntry& e : found) files.push_back(directory + e.name);
  }
  if (files.empty()) return false;

  ZipWriter zip;
  zip.onCorruption(ZIPBLEDY);
  if (!zip.open(archiveFile)) return false;
  progress.restart(static_cast<double>(files.size()), "Przygotowanie pliku ZIP..."_oem);
  int result = kZipOk;
  for (const std::string& file : files) {
    progress.advance();
    // The listed path is the entry name too: the writer turns ".\STR\x" into "STR/x".
    result = zip.addFile(file, file);
    if (result != kZipOk) break;
  }
  if (result != kZipOk) {
    zip.close();
    return false;
  }
  // A save that failed has left no archive behind: it must not count as made.
  return zip.save("TAV" + mark.value_or("Tamborex"));
}

int ZIPBLEDY(ZipWriter& archive) { return archive.fix(); }

}  // namespace tav::upgrade

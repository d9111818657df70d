// The program refresh: the program's files brought to the shipped release and the database's
// program level raised. A file shipped again is replaced by its complete copy, never deleted first,
// so a refresh killed half-way leaves a program the next upgrade still recognises.

#include "convert/program_refresh.h"

#include <string>

#include "convert/fonts_removal.h"
#include "convert/release_catalogue.h"
#include "convert/update_stamp.h"
#include "db/files.h"
#include "db/table_access.h"
#include "db/version_record.h"
#include "engine/workspace.h"
#include "os/files.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"
#include "runtime/error.h"
#include "runtime/format.h"

namespace tav::convert {
namespace {

using namespace rt::literals;

// The program's directories, parents before their children.
constexpr const char* kProgramDirectories[] = {
    "czytaj.to",   "export",      "export\\zus", "export\\edek", "export\\crm",
    "export\\gus", "export\\nfz", "mask",        "ravimon",      "install",
    "setings",     "temp",        "temp\\arch",  "txt",          "dek"};

// Files of earlier releases the current one no longer ships or ships anew; DLLs the program
// loads at start go before the new ones come, so that no mix of two releases stays behind.
constexpr const char* kWithdrawnProgramFiles[] = {
    "openssl.exe",  "tav.exe",      "un_tav.exe",   "socmapi.dll",  "vpes3261.dll",
    "vpes3270.dll", "vpes3271.dll", "vpes3272.dll", "vpes3274.dll", "xb2net.dll",
    "xbpcre.dll",   "xbzlib.dll",   "zlib1.dll",    "ot4xb.dll",    "pcre.dll",
    "ssleay32.dll", "libeay32.dll", "lfromurl.dll", "fce32.dll",    "fce64.dll"};

constexpr const char* kHelperPrograms[] = {"7z.exe", "msxsl.exe", "openssl.exe"};
constexpr const char* kCopiedDirectories[] = {"czytaj.to\\", "ravimon\\", "mask\\"};
constexpr const char* kMailLogs[] = {"mail_test.txt", "mail_test.log0", "mail_test.log1",
                                     "mail_send.log0", "mail_send.log1"};

// The progress bar's total and its advances (10 + 3 + 10 + 11 + 10 over-run it; the bar stops
// full).
constexpr int kProgressTotal = 37;
// Lets the file system and any scanner let go of the deleted DLLs before the new ones arrive.
constexpr int kPauseAfterDllDeletion = 20;

void setUpProgress(frontend::Progress& progress) {
  if (!progress.windowOpen())
    progress.openWindow(refreshTitle());
  else
    progress.describe(rt::Value(refreshTitle()), rt::Value("?"), rt::Value("?"));
  progress.restart(kProgressTotal, "Kopiowanie plików programu..."_oem);
}

// The program level the shipped release demands of the database, from ".\wb.dbf" as its field
// holds it (releases have shipped `tav` both as a text and as a number); nil when it cannot be
// read.
rt::Value shippedLevel() {
  const std::optional<db::VersionRecord> wb = db::readVersionRecord(".\\", "wb");
  if (!wb) return {};
  if (wb->tavValue.isNumber()) return wb->tavValue;
  if (!wb->tavValue.isText() || wb->tav.empty()) return {};
  return rt::Value(rt::rTrim(wb->tavValue.str()));
}

std::string levelText(const rt::Value& level) {
  return level.isNumber() ? rt::lTrim(rt::Str(level.num()))
         : level.isText() ? level.str()
                          : std::string();
}

}  // namespace

std::string refreshTitle() { return "Instalacja nowej wersji programu"; }

rt::Value shippedProgramLevel() { return shippedLevel(); }

std::vector<ShippedFile> shippedProgramFiles() {
  std::vector<ShippedFile> files;
  auto add = [&](const std::string& release, const std::string& program, bool sameBytes) {
    if (os::exists(".\\" + release) && !os::isDirectory(".\\" + release))
      files.push_back({release, program, sameBytes});
  };
  for (const char* file : kHelperPrograms) add(file, file, true);
  // COPY_KAT gives its copies lower-case names.
  for (const os::DirEntry& e : os::listDirectory(".\\*.dll")) add(e.name, rt::lower(e.name), true);
  for (const char* dir : kCopiedDirectories)
    for (const os::DirEntry& e : os::listDirectory(std::string(".\\") + dir + "*.*"))
      add(std::string(dir) + e.name, std::string(dir) + rt::lower(e.name), true);
  for (const char* file : {"tav.exe", "un_tav.exe"}) add(file, file, true);
  add("wk.dbf", "wersja.dbf", true);
  add("wk.dbf", "DllOk.txt", true);
  for (const os::DirEntry& e : os::listDirectory(".\\txt\\*.*"))
    add("txt\\" + e.name, "txt\\" + e.name, false);
  return files;
}

bool WIN2WIN(const db::Directories& directories, std::string_view previousRelease,
             frontend::Progress& progress, const StepRegistry& steps) {
  const std::string& program = directories.program;
  auto advance = [&](int n) { progress.advance(n); };
  setUpProgress(progress);

  for (const char* dir : kProgramDirectories)
    if (!os::isDirectory(program + dir)) db::MKDIR(program + dir);

  db::DEL_KAT(program + "mask\\");
  db::DEL_KAT(program + "ravimon\\");
  db::DEL_KAT(program, "tav_*.dll");
  USUN_FONTY(program + "czytaj.to\\");
  db::DEL_FILE(program + "czytaj.to\\zmiany.chm");
  // A file the release ships again is replaced by its copy below (a copy replaces its target only
  // when complete), never deleted first: a refresh killed in between must leave a program the next
  // upgrade still recognises (ot4xb.dll, wersja.dbf) and can refresh again.
  auto shipped = [](const std::string& name) { return os::exists(".\\" + name); };
  for (const char* file : kWithdrawnProgramFiles)
    if (!shipped(file)) db::DEL_FILE(program + file);

  // Templates the program lacks; the changed ones are the program steps' business, and a
  // template the user changed in between must survive an upgrade that does not replace it.
  const std::string txt = program + "txt\\";
  for (const os::DirEntry& e : os::listDirectory(".\\txt\\*.*"))
    if (!os::exists(txt + e.name)) db::FCOPY(".\\txt\\" + e.name, txt);

  for (const char* file : kHelperPrograms) db::FCOPY(std::string(".\\") + file, program);
  for (const os::DirEntry& e : os::listDirectory(program + "*.dll"))
    if (!shipped(e.name)) db::DEL_FILE(program + e.name);
  advance(10);
  rt::pause(kPauseAfterDllDeletion);

  db::COPY_KAT(".\\", program, "*.dll");
  for (const char* dir : kCopiedDirectories) {
    db::COPY_KAT(std::string(".\\") + dir, program + dir);
    advance(1);
  }
  advance(10);

  db::FCOPY(".\\tav.exe", program);
  db::FCOPY(".\\un_tav.exe", program);
  advance(11);

  db::FCOPY(".\\wk.dbf", program + "wersja.dbf");
  // DllOk.txt is the release record under another name; the program reads it, this tool never.
  db::FCOPY(".\\wk.dbf", program + "DllOk.txt");
  advance(10);

  for (const char* file : kMailLogs) db::DEL_FILE(program + "temp\\" + file);

  // The program steps are chosen by the database's program level: it is raised only once they
  // are done, so that a refresh stopped among them does them again next time instead of never.
  runProgramSteps(previousRelease, directories, steps);

  const rt::Value level = shippedLevel();
  db::raiseProgramLevel(directories.database, level);
  DATA_AKTUALIZACJI(directories.database, levelText(level));
  return true;
}

}  // namespace tav::convert

// Finding the shell folders and an earlier installation at start-up. Shell folders stay ANSI for
// the link calls; the desktop counts only when a probe file can be written there.

#include "shell/startup_folders.h"

#include <cstdlib>
#include <string>

#include "db/xbpreg.h"
#include "os/files.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

namespace tav::shell {
namespace {

constexpr const char* kShellFolders =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::string textOf(const rt::Value& v) { return v.isText() ? v.str() : std::string(); }

// Shell folders are ANSI; the file layer takes the tool's 852 paths.
bool isDirectory(const std::string& ansi) { return os::isDirectory(rt::ansiToOem(ansi)); }

void endWithBackslash(std::string& dir) {
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
}

// The desktop counts only when a file can be written there: links are made in it later. The
// probe is "z.txt"; a file of that name that the user keeps there is left alone and another
// free name is probed instead.
bool canWriteIn(const std::string& dirAnsi) {
  const std::string dir = rt::ansiToOem(dirAnsi);
  std::string probe = dir + "z.txt";
  for (int n = 1; os::exists(probe) && n < 1000; ++n)
    probe = dir + "z" + std::to_string(n) + ".txt";
  os::writeFile(probe, "Ala ma kota");
  if (!os::exists(probe)) return false;
  os::removeFile(probe);
  return true;
}

}  // namespace

void findStartupFolders() {
  auto& sv = rt::shared();

  db::XBPREG folders(kShellFolders);
  if (folders.Status()) {
    sv.cPulpit = textOf(folders.GetValue("Desktop"));
    sv.cMenu = textOf(folders.GetValue("Programs"));
  } else if (const std::string env = os::getEnv("USERPROFILE"); !env.empty()) {
    // The environment comes as 852 text (os::getEnv reads the host's own form); shell folders are
    // kept in ANSI.
    const std::string profile = rt::oemToAnsi(env);
    const std::string desktop = profile + "\\Desktop";
    const std::string programs =
        profile + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
    if (isDirectory(desktop)) sv.cPulpit = desktop;
    if (isDirectory(programs)) sv.cMenu = programs;
  }

  bool programGiven = false;
  db::XBPREG earlier("HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\" + rt::oemToAnsi(sv.roczek));
  if (earlier.Status()) {
    earlier.MoveDown(rt::oemToAnsi(sv.roczek));
    rt::Value program = earlier.GetValue("Program");
    programGiven = !program.isNil();
    sv.cProgram = textOf(program);
    sv.cBaza = textOf(earlier.GetValue("Baza"));
  }

  if (!sv.cPulpit.empty()) {
    endWithBackslash(sv.cPulpit);
    if (!canWriteIn(sv.cPulpit)) sv.cPulpit.clear();
  }
  endWithBackslash(sv.cMenu);
  endWithBackslash(sv.cProgram);
  endWithBackslash(sv.cBaza);
  if (!programGiven) {
    sv.cProgram.clear();
    sv.cBaza.clear();
  }
  // The shell folders stay ANSI for the link calls; the directories are the tool's own text.
  sv.cProgram = rt::ansiToOem(sv.cProgram);
  sv.cBaza = rt::ansiToOem(sv.cBaza);
}

}  // namespace tav::shell

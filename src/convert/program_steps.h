#pragma once

// The program steps bring an installed program's own files to one release: chiefly its
// printout templates in txt\, taken from the shipped release's ".\txt\" (the tool's working
// directory), and what the database keeps about them. Each takes the program directory and the
// database directory, both ending in a backslash. Nothing is reported: a copy that fails after
// FCOPY's attempts leaves the previous template, and a file to delete that is missing is no
// error. Repeating a step gives the same files.

#include <string>
#include <string_view>
#include <vector>

namespace tav::convert {

// One release's template refresh: the templates it replaces in the program's txt\, in order.
struct ProgramTemplates {
  int release = 0;
  std::vector<const char*> templates;
  // The database's own copy in its txt\ goes once the program has the new template, so that
  // the program stops preferring it (step 001 leaves them).
  bool removesDatabaseCopies = true;
  // Records of the database's str\wzorce.dbf that name one of the templates are deleted.
  bool cleansRegister = false;
};
// Every program step, in release order; a step with no templates copies nothing.
const std::vector<ProgramTemplates>& programTemplates();

// The program's files that release 001 withdrew (screens of mask\, printouts of txt\ and
// ravimon\), relative to the program directory.
const std::vector<std::string>& obsoleteProgramFiles();

// Does the template work of the program step of `release` (copies, removal of the database's
// copies, register clean-up); nothing for a release without one.
void runProgramTemplates(int release, std::string_view programDirectory,
                         std::string_view databaseDirectory);

// Step 019's word-processor path reset: from Windows build 22000 on (not on the 9x family) the
// path_word of the program's setings\station.dbf is emptied. Nothing when the table is missing.
void resetWordProcessorPath(std::string_view programDirectory);

void L25_01_001(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_004(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_010(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_013(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_014(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_019(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_021(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_024(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_026(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_027(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_028(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_030(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_033(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_042(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_043(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_045(std::string_view programDirectory, std::string_view databaseDirectory);
void L25_01_046(std::string_view programDirectory, std::string_view databaseDirectory);

}  // namespace tav::convert

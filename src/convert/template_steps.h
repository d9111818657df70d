#pragma once

// The template steps refresh the database's str\ directory from the shipped release's own
// ".\str\" (the tool's working directory), so that the firm and public steps find the new
// tables and structures there. Each takes the database directory and the program directory.
// A copy that fails leaves the previous template in place; nothing is reported.

#include <string_view>
#include <vector>

namespace tav::convert {

// One release's work on str\: files copied in order and files deleted from str\xml\.
enum class CopyRule {
  Replace,
  // Only when str\ does not have the file yet: configuration the user may have customised.
  OnlyWhenMissing,
};
struct TemplateFiles {
  int release = 0;
  CopyRule rule = CopyRule::Replace;
  std::vector<const char*> copies;
  std::vector<const char*> xmlDeletions;
};
// Every template step, in release order; a step without files is one that does nothing.
const std::vector<TemplateFiles>& templateFiles();

// Does the work of the template step of `release` (one of templateFiles()); nothing for others.
void runTemplateFiles(int release, std::string_view databaseDirectory);

void STR_25_01_001(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_002(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_005(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_010(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_011(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_013(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_017(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_019(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_021(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_023(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_024(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_027(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_030(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_031(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_032(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_036(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_037(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_038(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_040(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_042(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_043(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_044(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_045(std::string_view databaseDirectory, std::string_view programDirectory);
void STR_25_01_046(std::string_view databaseDirectory, std::string_view programDirectory);

}  // namespace tav::convert

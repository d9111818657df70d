// The workstation's name (NERKA), which goes into file names and after "/N" on a command line.
// Groups: WorkstationName (the chosen name, then ORB_NAME, then the computer name, then
// "BEZ_NAZWY", so the switch is never left empty) and WorkstationNameRewrite (upper case, spaces
// and punctuation made "_", the accented letters of code page 852 made plain).
#include "db/workstation_name.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "os/path.h"
#include "os/registry/registry.h"
#include "os/system_info.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav::rt::literals;
using tav::db::NERKA;
using tav::db::workstationNameFrom;

namespace {

class WorkstationName : public ::testing::Test {
 protected:
  WorkstationName() {
    tav::os::reg::resetForTests();
    tav::rt::resetShared();
    ::unsetenv("ORB_NAME");
  }
  ~WorkstationName() override {
    tav::rt::resetShared();
    tav::os::setComputerName(std::nullopt);
    ::unsetenv("ORB_NAME");
    tav::os::reg::resetForTests();
  }
  // The registry keeps the computer name in the ANSI code page.
  static void computer(const char* utf8) { tav::os::setComputerName(tav::rt::utf8ToAnsi(utf8)); }
  tav::testing::TempDriveMap map_;
};

TEST_F(WorkstationName, ChosenNameThenEnvironmentThenComputerThenBezNazwy) {
  computer("BIURO GŁÓWNE-2");
  EXPECT_EQ(NERKA(), "BIURO_GLOWNE_2");
  ::setenv("ORB_NAME", "Kasa.żółta", 1);  // the host environment is UTF-8
  EXPECT_EQ(NERKA(), "KASA_ZOLTA");
  tav::rt::shared().nazwa_sieciowa = "  stacja kasowa  ";
  EXPECT_EQ(NERKA(), "STACJA_KASOWA");
  tav::rt::shared().nazwa_sieciowa = "   ";
  ::setenv("ORB_NAME", "   ", 1);
  EXPECT_EQ(NERKA(), "BIURO_GLOWNE_2");
  computer("");
  EXPECT_EQ(NERKA(), "BEZ_NAZWY");
  // Nothing left after the rewriting would leave the "/N" switch empty.
  tav::rt::shared().nazwa_sieciowa = "_ _";
  EXPECT_EQ(NERKA(), "BEZ_NAZWY");
}

TEST(WorkstationNameRewrite, SpacesUnderscoresAndPunctuation) {
  EXPECT_EQ(workstationNameFrom("__a__b  c__"), "A_B_C");
  // Punctuation is replaced after the spaces are collapsed, so it can sit beside an underscore.
  EXPECT_EQ(workstationNameFrom("a - b"), "A___B");
  for (char c : std::string("./\\-:;,'\"<>=!+@"))
    EXPECT_EQ(workstationNameFrom(std::string("A") + c + "B"), "A_B") << c;
  EXPECT_EQ(workstationNameFrom("a#b(1)"), "A#B(1)");  // others stay as they are
}

TEST(WorkstationNameRewrite, AccentedLettersOfCodePage852BecomePlain) {
  EXPECT_EQ(workstationNameFrom("ĄĆĘŁŃÓŚŻŹ ąćęłńóśżź"_oem), "ACELNOSZZ_ACELNOSZZ");
  const std::pair<const char*, const char*> cases[] = {
      {"Á", "A"},  {"Ä", "A"},  {"Č", "C"}, {"Ç", "C"}, {"Ë", "E"}, {"Ě", "E"}, {"É", "E"},
      {"Í", "J"},  {"Ö", "OE"}, {"Ő", "O"}, {"Ř", "R"}, {"Š", "S"}, {"Ş", "S"}, {"Ť", "T"},
      {"Ü", "UE"}, {"Ú", "U"},  {"Ů", "U"}, {"Ý", "Y"}, {"Ž", "Z"},
  };
  for (const auto& [letter, plain] : cases) {
    std::string oem = tav::rt::utf8ToOem(letter);
    ASSERT_TRUE(oem.size() == 1 && oem != "?") << letter;
    EXPECT_EQ(workstationNameFrom("x" + tav::rt::lower(oem) + "y"), std::string("X") + plain + "Y")
        << letter;
  }
}

}  // namespace

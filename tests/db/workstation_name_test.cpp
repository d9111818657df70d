#include "db/workstation_name.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "os/path.h"
#include "os/registry/registry.h"
#include "os/system_info.h"
#include "runtime/codepage.h"
#include "runtime/shared_variables.h"

namespace fs = std::filesystem;
using namespace tav::rt::literals;
using tav::db::NERKA;
using tav::db::workstationNameFrom;

namespace {

class WorkstationName : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-nerka-XXXXXX";
    prefix_ = ::mkdtemp(tmpl);
    ::setenv("TAV_PREFIX", prefix_.c_str(), 1);
    tav::os::resetPathCaches();
    tav::os::reg::resetForTests();
    tav::rt::resetShared();
    ::unsetenv("ORB_NAME");
  }
  void TearDown() override {
    tav::rt::resetShared();
    tav::os::setComputerName(std::nullopt);
    ::unsetenv("ORB_NAME");
    tav::os::reg::resetForTests();
    ::unsetenv("TAV_PREFIX");
    tav::os::resetPathCaches();
    fs::remove_all(prefix_);
  }
  // The registry keeps the computer name in the ANSI code page.
  static void computer(const char* utf8) { tav::os::setComputerName(tav::rt::utf8ToAnsi(utf8)); }
  fs::path prefix_;
};

TEST_F(WorkstationName, ComputerNameWithPolishLettersAndHyphen) {
  computer("BIURO GŁÓWNE-2");
  EXPECT_EQ(NERKA(), "BIURO_GLOWNE_2");
  computer("księgowość");
  EXPECT_EQ(NERKA(), "KSIEGOWOSC");
}

TEST_F(WorkstationName, ChosenNameComesFirstTrimmedAndUpperCase) {
  computer("HOST");
  ::setenv("ORB_NAME", "ORB", 1);
  tav::rt::shared().nazwa_sieciowa = "  stacja kasowa  ";
  EXPECT_EQ(NERKA(), "STACJA_KASOWA");
}

TEST_F(WorkstationName, EnvironmentBeforeComputerName) {
  computer("HOST");
  ::setenv("ORB_NAME", "Kasa.żółta", 1);  // the host environment is UTF-8
  EXPECT_EQ(NERKA(), "KASA_ZOLTA");
  ::setenv("ORB_NAME", "   ", 1);
  EXPECT_EQ(NERKA(), "HOST");
  tav::rt::shared().nazwa_sieciowa = "   ";
  EXPECT_EQ(NERKA(), "HOST");
}

TEST_F(WorkstationName, NoNameAtAllIsBezNazwy) {
  computer("");
  EXPECT_EQ(NERKA(), "BEZ_NAZWY");
  // Nothing left after the rewriting would leave the "/N" switch empty.
  tav::rt::shared().nazwa_sieciowa = "_ _";
  EXPECT_EQ(NERKA(), "BEZ_NAZWY");
}

TEST(WorkstationNameRewrite, UnderscoresAndSpacesCollapse) {
  EXPECT_EQ(workstationNameFrom("__a__b  c__"), "A_B_C");
  EXPECT_EQ(workstationNameFrom("  a   b "), "A_B");
  // Punctuation is replaced after the spaces are collapsed, so it can sit beside an underscore.
  EXPECT_EQ(workstationNameFrom("a - b"), "A___B");
  EXPECT_EQ(workstationNameFrom("a_-_b"), "A___B");
}

TEST(WorkstationNameRewrite, EveryPunctuationCharacterBecomesUnderscore) {
  for (char c : std::string("./\\-:;,'\"<>=!+@")) {
    std::string in = std::string("A") + c + "B";
    EXPECT_EQ(workstationNameFrom(in), "A_B") << in;
  }
  // Others stay: the name is taken as it then stands.
  EXPECT_EQ(workstationNameFrom("a#b(1)"), "A#B(1)");
}

TEST(WorkstationNameRewrite, PolishLettersOfBothCases) {
  EXPECT_EQ(workstationNameFrom("ĄĆĘŁŃÓŚŻŹ"_oem), "ACELNOSZZ");
  EXPECT_EQ(workstationNameFrom("ąćęłńóśżź"_oem), "ACELNOSZZ");
}

TEST(WorkstationNameRewrite, OtherAccentedCapitalsOfTheCodePage) {
  struct Case {
    const char* letter;
    const char* plain;
  } cases[] = {
      {"Á", "A"}, {"Ä", "A"}, {"Č", "C"}, {"Ç", "C"}, {"Ë", "E"}, {"Ě", "E"}, {"É", "E"},
      {"Í", "J"}, {"Ö", "OE"}, {"Ő", "O"}, {"Ř", "R"}, {"Š", "S"}, {"Ş", "S"}, {"Ť", "T"},
      {"Ü", "UE"}, {"Ú", "U"}, {"Ů", "U"}, {"Ý", "Y"}, {"Ž", "Z"},
  };
  for (const auto& c : cases) {
    std::string oem = tav::rt::utf8ToOem(c.letter);
    ASSERT_EQ(oem.size(), 1u) << c.letter;
    ASSERT_NE(oem, "?") << c.letter;
    EXPECT_EQ(workstationNameFrom("x" + oem + "y"), std::string("X") + c.plain + "Y") << c.letter;
    // Small letters are upper-cased first.
    EXPECT_EQ(workstationNameFrom(tav::rt::lower(oem)), c.plain) << c.letter;
  }
  EXPECT_EQ(workstationNameFrom("Müller-Lüdenscheid"_oem), "MUELLER_LUEDENSCHEID");
}

}  // namespace

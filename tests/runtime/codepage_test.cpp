// The code pages the tool's text lives in: 852 in the tables, the ANSI page in the registry and the
// shortcuts. Group: Codepage. Every byte round-trips through UTF-8, Polish letters map between the
// pages, what cannot be mapped becomes "?", and case changes cover Polish letters and the other
// accented ones.
#include <gtest/gtest.h>

#include "runtime/codepage.h"

using namespace tav::rt;
using namespace tav::rt::literals;

TEST(Codepage, EveryByteRoundTripsThroughUtf8) {
  for (int b = 0; b < 256; ++b) {
    std::string s(1, static_cast<char>(b));
    EXPECT_EQ(utf8ToOem(oemToUtf8(s)), s) << b;
    EXPECT_EQ(utf8ToAnsi(ansiToUtf8(s)), s) << b;
  }
}

TEST(Codepage, PolishLettersInBothPages) {
  const char* word = "Zażółć gęślą jaźń ĄĆĘŁŃÓŚŹŻ";
  std::string oem = utf8ToOem(word);
  std::string ansi = utf8ToAnsi(word);
  EXPECT_EQ(oem.size(), ansi.size());
  EXPECT_EQ(oemToUtf8(oem), word);
  EXPECT_EQ(ansiToUtf8(ansi), word);
  EXPECT_EQ(oemToAnsi(oem), ansi);
  EXPECT_EQ(ansiToOem(ansi), oem);
  EXPECT_EQ(static_cast<unsigned char>("Ą"_oem[0]), 0xA4);
  EXPECT_EQ(static_cast<unsigned char>("ż"_oem[0]), 0xBE);
  EXPECT_EQ(static_cast<unsigned char>(utf8ToAnsi("Ł")[0]), 0xA3);
}

TEST(Codepage, UnmappableAndMalformedBecomeQuestionMarks) {
  EXPECT_EQ(utf8ToOem("€"), "?");
  EXPECT_EQ(utf8ToOem(std::string("a\xFF"
                                  "b")),
            "a?b");
  EXPECT_EQ(oemToAnsi("\xC9"), "?");  // a box-drawing character has no ANSI code
}

TEST(Codepage, UpperAndLowerCoverPolishLetters) {
  EXPECT_EQ(upper("zażółć gęślą jaźń"_oem), "ZAŻÓŁĆ GĘŚLĄ JAŹŃ"_oem);
  EXPECT_EQ(lower("ZAŻÓŁĆ GĘŚLĄ JAŹŃ"_oem), "zażółć gęślą jaźń"_oem);
  EXPECT_EQ(upper("ü ö ä é ř š"_oem), "Ü Ö Ä É Ř Š"_oem);
  EXPECT_EQ(upper("123-_"), "123-_");
}

// The Polish collation that character index keys and text comparisons follow. Group: Collation. The
// weights are a permutation of the 256 codes; each Polish letter follows its base letter and every
// capital precedes every small letter; comparing and sorting by keys agree, so an index built from
// keys seeks as comparisons expect.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "runtime/codepage.h"
#include "runtime/collation.h"

using namespace tav::rt;
using namespace tav::rt::literals;

TEST(Collation, WeightsArePermutation) {
  std::set<int> seen(collationWeights().begin(), collationWeights().end());
  EXPECT_EQ(seen.size(), 256u);
}

TEST(Collation, PolishLettersFollowTheirBaseLettersAndCapitalsComeFirst) {
  const std::string alphabet =
      "AĄBCĆDEĘFGHIJKLŁMNŃOÓPQRSŚTUVWXYZŹŻaąbcćdeęfghijklłmnńoópqrsśtuvwxyzźż"_oem;
  ASSERT_EQ(alphabet.size(), 70u);
  for (size_t i = 0; i + 1 < alphabet.size(); ++i)
    EXPECT_LT(weight(alphabet[i]), weight(alphabet[i + 1])) << i;
  EXPECT_EQ(weight('A'), 65);
  EXPECT_EQ(weight("ż"_oem[0]), 134);
  EXPECT_LT(weight('@'), weight('A'));
  EXPECT_GT(weight('['), weight("ż"_oem[0]));
  EXPECT_EQ(weight('['), 135);  // first non-letter after the letters
  for (int c = 0; c <= 64; ++c) EXPECT_EQ(weight(static_cast<char>(c)), c);
}

TEST(Collation, CompareAndKeysAgree) {
  std::vector<std::string> words = {"Żaba"_oem, "zebra",    "Zebra", "Ćma"_oem, "Cma", "ala",
                                    "Ala",      "Łódź"_oem, "Lody",  "[x",      "@x",  "A"};
  std::vector<std::string> byCollate = words, byKey = words;
  std::sort(byCollate.begin(), byCollate.end(), [](auto& a, auto& b) { return collate(a, b) < 0; });
  std::sort(byKey.begin(), byKey.end(),
            [](auto& a, auto& b) { return collationKey(a) < collationKey(b); });
  EXPECT_EQ(byCollate, byKey);
  std::vector<std::string> expected = {"@x",       "A",     "Ala",      "Cma", "Ćma"_oem, "Lody",
                                       "Łódź"_oem, "Zebra", "Żaba"_oem, "ala", "zebra",   "[x"};
  EXPECT_EQ(byCollate, expected);
  EXPECT_LT(collate("Ab", "Abc"), 0);
}

TEST(Collation, AlphabetHasEveryCodeOnceInOrder) {
  std::string a = collationAlphabet();
  ASSERT_EQ(a.size(), 255u);
  EXPECT_EQ(a[0], '\x01');
  for (size_t i = 0; i + 1 < a.size(); ++i) EXPECT_LT(weight(a[i]), weight(a[i + 1]));
  EXPECT_EQ(std::set<char>(a.begin(), a.end()).size(), 255u);
}

// Text helpers of the steps. Groups: Token (an item of a "|" list by position, untrimmed, or all of
// them trimmed), UsunSpacje (runs of spaces, and only spaces, collapsed) and
// WorkstationNameInConfig (the name ns.cfg gives: a blank first item chooses no name, a blank file
// changes nothing).
#include <gtest/gtest.h>

#include "db/ns_config.h"
#include "db/text.h"

using namespace tav::db;
using Items = std::vector<std::string>;

TEST(Token, ItemAtAPosition) {
  EXPECT_EQ(TOKEN("a|b|c", 2), "b");
  EXPECT_EQ(TOKEN("a|b|c", 1), "a");
  EXPECT_EQ(TOKEN("a|b|c", 3), "c");
  EXPECT_EQ(TOKEN("a|b|c", 4), "");
  EXPECT_EQ(TOKEN("a|b|c|", 3), "c");
  EXPECT_EQ(TOKEN(" a | b |c  ", 2), " b ");  // untrimmed, but the list's trailing blanks go
  EXPECT_EQ(TOKEN("a||c", 2), "");
  EXPECT_EQ(TOKEN("", 1), "");
  EXPECT_EQ(TOKEN("a|b", 0), "");
}

TEST(Token, AllItemsTrimmed) {
  EXPECT_EQ(TOKEN("  jeden | dwa  "), (Items{"jeden", "dwa"}));
  EXPECT_EQ(TOKEN("a|b|"), (Items{"a", "b"}));
  EXPECT_EQ(TOKEN("a||b"), (Items{"a", "", "b"}));
  EXPECT_EQ(TOKEN(""), Items{});
  EXPECT_EQ(TOKEN("   "), Items{});
  EXPECT_EQ(TOKEN("|"), (Items{""}));
}

TEST(UsunSpacje, CollapsesRunsOfSpaces) {
  EXPECT_EQ(USUN_SPACJE("  Ala   ma "), "Ala ma");
  EXPECT_EQ(USUN_SPACJE("a  b    c"), "a b c");
  EXPECT_EQ(USUN_SPACJE("     "), "");
  EXPECT_EQ(USUN_SPACJE("a\t\tb"), "a\t\tb");  // spaces only
}

TEST(WorkstationNameInConfig, FirstItemTrimmed) {
  using tav::db::workstationNameInConfig;
  EXPECT_EQ(workstationNameInConfig("  Kasa 1 |x|y\r\n"), "Kasa 1");
  EXPECT_EQ(workstationNameInConfig("Kasa"), "Kasa");
  EXPECT_EQ(workstationNameInConfig("|Kasa"), "");          // a blank first item: no name chosen
  EXPECT_EQ(workstationNameInConfig("   "), std::nullopt);  // a blank file changes nothing
  EXPECT_EQ(workstationNameInConfig(""), std::nullopt);
}

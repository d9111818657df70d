#include "os/system_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

TEST(OsVersion, IsNtFamilyWithASettableBuild) {
  ::unsetenv("TAV_OS_BUILD");
  tav::os::setBuildNumber(std::nullopt);
  EXPECT_FALSE(tav::os::osVersion().win9x);
  EXPECT_EQ(tav::os::osFamily(), "WINNT");
  EXPECT_EQ(tav::os::osVersion().build, tav::os::kDefaultBuild);
  EXPECT_EQ(tav::os::osVersionText(), "10.00." + std::to_string(tav::os::kDefaultBuild));

  tav::os::setBuildNumber(22631);
  EXPECT_EQ(tav::os::osVersion().build, 22631u);
  EXPECT_EQ(tav::os::osVersionText(), "10.00.22631");

  // Unattended runs set it from the environment; a test's own setting wins.
  ::setenv("TAV_OS_BUILD", "22000", 1);
  EXPECT_EQ(tav::os::osVersion().build, 22631u);
  tav::os::setBuildNumber(std::nullopt);
  EXPECT_EQ(tav::os::osVersion().build, 22000u);
  for (const char* bad : {"", "abc", "12x", "0", "99999999999"}) {
    ::setenv("TAV_OS_BUILD", bad, 1);
    EXPECT_EQ(tav::os::osVersion().build, tav::os::kDefaultBuild) << bad;
  }
  ::unsetenv("TAV_OS_BUILD");
}

TEST(ComputerName, HostNameInNetworkForm) {
  tav::os::setComputerName(std::nullopt);
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  std::string expected(host);
  expected = expected.substr(0, expected.find('.')).substr(0, 15);
  for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(tav::os::computerName(), expected);
  tav::os::setComputerName("BIURO G\xa3\xd3WNE-2");
  EXPECT_EQ(tav::os::computerName(), "BIURO G\xa3\xd3WNE-2");
  tav::os::setComputerName(std::nullopt);
  EXPECT_EQ(tav::os::computerName(), expected);
}

}  // namespace

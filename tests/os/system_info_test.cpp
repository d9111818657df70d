// The system the tool reports. Groups: OsVersion (always the NT family; the build, which decides
// version-dependent conversion steps, from the test's setting before TAV_OS_BUILD, a malformed or
// absurd value there falling back to the default) and ComputerName (the host name in network form,
// upper case, no domain, at most 15 characters, unless a test gives one).
#include "os/system_info.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(OsVersion, IsNtFamilyWithABuildThatTestsAndRunsSet) {
  ::unsetenv("TAV_OS_BUILD");
  tav::os::setBuildNumber(std::nullopt);
  EXPECT_EQ(tav::os::osFamily(), "WINNT");
  EXPECT_EQ(tav::os::osVersionText(), "10.00." + std::to_string(tav::os::kDefaultBuild));
  tav::os::setBuildNumber(22631);
  ::setenv("TAV_OS_BUILD", "22000", 1);
  EXPECT_EQ(tav::os::osVersionText(), "10.00.22631");  // the test's own setting wins
  tav::os::setBuildNumber(std::nullopt);
  EXPECT_EQ(tav::os::osVersion().build, 22000u);
  for (const char* bad : {"", "abc", "12x", "0", "99999999999"}) {
    ::setenv("TAV_OS_BUILD", bad, 1);
    EXPECT_EQ(tav::os::osVersion().build, tav::os::kDefaultBuild) << bad;
  }
  ::unsetenv("TAV_OS_BUILD");
}

TEST(ComputerName, HostNameInNetworkFormUnlessATestGivesOne) {
  const std::string host = tav::os::computerName();
  EXPECT_FALSE(host.empty());
  EXPECT_LE(host.size(), 15u);
  EXPECT_EQ(host.find('.'), std::string::npos);
  for (char c : host) EXPECT_FALSE(c >= 'a' && c <= 'z') << host;
  tav::os::setComputerName("BIURO G\xa3\xd3WNE-2");
  EXPECT_EQ(tav::os::computerName(), "BIURO G\xa3\xd3WNE-2");
  tav::os::setComputerName(std::nullopt);
  EXPECT_EQ(tav::os::computerName(), host);
}

}  // namespace

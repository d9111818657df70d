// Making and deleting directory trees, as installation and clean-up steps do. Group:
// DirectoriesTest. MAKEDIR creates every level of a drive, relative or network path and answers for
// the full path only, so an existing or empty one is false; DEL_ALL_DIR removes a tree whatever its
// files' attributes, never follows a link out of it, and given an empty name deletes nothing rather
// than the current directory.
#include <gtest/gtest.h>

#include <filesystem>

#include "db/directories.h"
#include "os/files.h"
#include "os/path.h"
#include "support/temp_drive_map.h"

using namespace tav;
namespace fs = std::filesystem;

namespace {

class DirectoriesTest : public ::testing::Test {
 protected:
  tav::testing::TempDriveMap map;
  fs::path c(const std::string& rel) { return map.driveC() / rel; }
};

}  // namespace

TEST_F(DirectoriesTest, MakedirCreatesEveryLevelUnderTheDriveMap) {
  EXPECT_TRUE(db::MAKEDIR("C:\\a\\b\\"));
  EXPECT_TRUE(fs::is_directory(c("a")));
  EXPECT_TRUE(fs::is_directory(c("a/b")));
  EXPECT_FALSE(db::MAKEDIR("C:\\A\\B"));  // the last creation's result: it exists
  EXPECT_TRUE(db::MAKEDIR("  c:\\A\\b\\Tamborex\\Tav\\2025\\  "));
  EXPECT_TRUE(fs::is_directory(c("a/b/Tamborex/Tav/2025")));
}

TEST_F(DirectoriesTest, MakedirRefusesEmptyPaths) {
  EXPECT_FALSE(db::MAKEDIR(""));
  EXPECT_FALSE(db::MAKEDIR("   "));
  EXPECT_FALSE(db::MAKEDIR("\\"));
  EXPECT_FALSE(db::MAKEDIR(" \\ "));
  EXPECT_FALSE(db::MAKEDIR("C:\\"));
}

TEST_F(DirectoriesTest, MakedirRelativeAndNetworkPaths) {
  fs::create_directories(c("cwd"));
  ASSERT_TRUE(os::changeDirectory("C:\\cwd"));
  EXPECT_TRUE(db::MAKEDIR("x\\y"));
  EXPECT_TRUE(fs::is_directory(c("cwd/x/y")));

  fs::path share = map.root() / "share";
  fs::create_directories(share);
  ASSERT_TRUE(os::mapShare("SERWER", "DANE", share));
  EXPECT_TRUE(db::MAKEDIR("\\\\serwer\\dane\\Firma\\01\\"));  // server and share fail quietly
  EXPECT_TRUE(fs::is_directory(share / "Firma" / "01"));
  EXPECT_FALSE(db::MAKEDIR("\\\\inny\\dane\\Firma"));
  EXPECT_FALSE(fs::exists(map.prefix() / "dosdevices" / "unc" / "inny"));
}

TEST_F(DirectoriesTest, DelAllDirRemovesATreeWhateverItsAttributes) {
  for (const char* n :
       {"tree/a.dbf", "tree/ro.dbf", "tree/sub/b.dbf", "tree/sub/deeper/c.dbf", "tree/h.dbf"})
    map.put(c(n));
  ASSERT_TRUE(os::setAttributes("C:\\tree\\ro.dbf", "+R"));
  ASSERT_TRUE(os::setAttributes("C:\\tree\\sub\\deeper\\c.dbf", "+R"));
  if (map.xattrsWork()) {
    ASSERT_TRUE(os::setAttributes("C:\\tree\\h.dbf", "+H+S"));
    ASSERT_TRUE(os::setAttributes("C:\\tree\\sub", "+H"));
  }
  db::DEL_ALL_DIR("C:\\TREE\\");
  EXPECT_FALSE(fs::exists(c("tree")));
}

TEST_F(DirectoriesTest, DelAllDirDoesNotFollowLinks) {
  map.put(map.root() / "outside" / "keep.dbf");
  map.put(c("tree/a.dbf"));
  fs::create_directory_symlink(map.root() / "outside", c("tree/link"));
  db::DEL_ALL_DIR("C:\\tree");
  EXPECT_FALSE(fs::exists(fs::symlink_status(c("tree"))));
  EXPECT_TRUE(fs::exists(map.root() / "outside" / "keep.dbf"));
}

TEST_F(DirectoriesTest, DelAllDirWithAnEmptyNameDoesNothing) {
  map.put(c("x.txt"));
  ASSERT_TRUE(os::changeDirectory("C:\\"));
  db::DEL_ALL_DIR("");
  EXPECT_TRUE(fs::exists(c("x.txt")));
}

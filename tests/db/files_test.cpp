// The file helpers every installation and upgrade step works with. Group: DbFilesTest. Deletion
// clears read-only and hidden attributes and gives up after its fixed retries; emptying a directory
// keeps what the skip text and kept names say; copies take lower-case names; neither descends; a
// copy that fails leaves the old target in place (a missing template must not cost the database its
// current one), and the caller's error handler comes back; the sort runs a killed index build
// leaves beside a table are leftovers the next run clears.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "db/files.h"
#include "engine/index/key_sorter.h"
#include "os/files.h"
#include "runtime/error.h"
#include "support/temp_drive_map.h"

using namespace tav;
namespace fs = std::filesystem;

namespace {

class DbFilesTest : public ::testing::Test {
 protected:
  tav::testing::TempDriveMap map;

  fs::path c(const std::string& rel) { return map.driveC() / rel; }
  std::set<std::string> hostNames(const fs::path& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
  }
};

}  // namespace

TEST_F(DbFilesTest, DelFileClearsReadOnlyInItsFirstPass) {
  map.put(c("dane/kontr.dbf"));
  ASSERT_TRUE(os::setAttributes("C:\\dane\\kontr.dbf", "+R"));
  EXPECT_TRUE(db::DEL_FILE("C:\\dane\\kontr.dbf"));
  EXPECT_FALSE(fs::exists(c("dane/kontr.dbf")));
  EXPECT_EQ(map.pauses(), (std::vector<int>{2, 2}));  // the first pass only
}

TEST_F(DbFilesTest, DelFileDeletesAHiddenFileAtOnce) {
  if (!map.xattrsWork()) GTEST_SKIP() << "no user extended attributes here";
  map.put(c("dane/ukryty.dbf"));
  ASSERT_TRUE(os::setAttributes("C:\\dane\\ukryty.dbf", "+H+S"));
  EXPECT_TRUE(db::DEL_FILE("C:\\DANE\\UKRYTY.DBF"));
  EXPECT_FALSE(fs::exists(c("dane/ukryty.dbf")));
  EXPECT_TRUE(map.pauses().empty());
}

TEST_F(DbFilesTest, DelFileOnAMissingFileTouchesNothing) {
  EXPECT_TRUE(db::DEL_FILE("C:\\dane\\brak.dbf"));
  EXPECT_TRUE(map.pauses().empty());
  EXPECT_FALSE(fs::exists(c("dane")));
}

TEST_F(DbFilesTest, DelFileGivesUpAfterElevenAttempts) {
  fs::create_directories(c("katalog"));  // a name that is there and cannot be deleted as a file
  EXPECT_FALSE(db::DEL_FILE("C:\\katalog"));
  EXPECT_EQ(map.pauses(),
            std::vector<int>(11, 2));  // 2 + 2 in the first pass, then 2 in each of nine
}

TEST_F(DbFilesTest, DelKatWithAndWithoutTrailingBackslash) {
  for (const char* dir : {"C:\\kat", "C:\\kat\\"}) {
    for (const char* n : {"a.dbf", "b.cdx", "sub/c.dbf"}) map.put(c(std::string("kat/") + n));
    db::DEL_KAT(dir);
    EXPECT_EQ(hostNames(c("kat")), (std::set<std::string>{"sub"})) << dir;
    EXPECT_TRUE(fs::exists(c("kat/sub/c.dbf")));  // never descends
  }
}

TEST_F(DbFilesTest, DelKatMaskSkipTextAndKeepTexts) {
  for (const char* n : {"A.DBF", "B.DBF", "c.cdx", "ARCH_ZIP.DAT", "stary.zip", "ro.dbf"})
    map.put(c(std::string("kat/") + n));
  ASSERT_TRUE(os::setAttributes("C:\\kat\\ro.dbf", "+R"));
  db::DEL_KAT("C:\\kat", "*.dbf", ",B.DBF,");
  EXPECT_EQ(hostNames(c("kat")),
            (std::set<std::string>{"B.DBF", "c.cdx", "ARCH_ZIP.DAT", "stary.zip"}));
  // The skip text is searched for the name: a name that is part of a longer one in it is kept too.
  db::DEL_KAT("C:\\kat\\", "*.*", ",XC.CDX,", {"zip"});
  EXPECT_EQ(hostNames(c("kat")), (std::set<std::string>{"c.cdx", "ARCH_ZIP.DAT", "stary.zip"}));
  db::DEL_KAT("C:\\kat\\", "*.*", "", {"nic", "ARCH"});
  EXPECT_EQ(hostNames(c("kat")), (std::set<std::string>{"ARCH_ZIP.DAT"}));
}

TEST_F(DbFilesTest, DelKatLeavesHiddenFilesAlone) {
  if (!map.xattrsWork()) GTEST_SKIP() << "no user extended attributes here";
  map.put(c("kat/ukryty.dbf"));
  map.put(c("kat/jawny.dbf"));
  ASSERT_TRUE(os::setAttributes("C:\\kat\\ukryty.dbf", "+H"));
  db::DEL_KAT("C:\\kat");
  EXPECT_EQ(hostNames(c("kat")), (std::set<std::string>{"ukryty.dbf"}));
}

TEST_F(DbFilesTest, DelKatDefaultsToTheRootOfTheCurrentDrive) {
  map.put(c("root.txt"));
  map.put(c("kat/x.txt"));
  ASSERT_TRUE(os::changeDirectory("C:\\kat"));
  db::DEL_KAT();
  EXPECT_FALSE(fs::exists(c("root.txt")));
  EXPECT_TRUE(fs::exists(c("kat/x.txt")));
}

TEST_F(DbFilesTest, MkdirCreatesTheLastLevelOnly) {
  EXPECT_FALSE(db::MKDIR("C:\\a\\b\\"));  // no parent
  EXPECT_FALSE(fs::exists(c("a")));
  EXPECT_TRUE(db::MKDIR("C:\\a\\"));
  EXPECT_TRUE(db::MKDIR("C:\\a\\b\\"));
  EXPECT_TRUE(fs::is_directory(c("a/b")));
  EXPECT_FALSE(db::MKDIR("C:\\A\\B"));  // exists: the creation's own result
}

TEST_F(DbFilesTest, CopyKatLowerCasesNamesAndNeverDescends) {
  for (const char* n : {"KONTR.DBF", "Kontr.CDX", "MALA.FPT", "SUB/INNY.DBF"})
    map.put(c(std::string("src/") + n), n);
  fs::create_directories(c("dst"));
  db::COPY_KAT("C:\\src\\", "C:\\dst\\");
  EXPECT_EQ(hostNames(c("dst")), (std::set<std::string>{"kontr.dbf", "kontr.cdx", "mala.fpt"}));
  EXPECT_EQ(os::readFile("C:\\dst\\kontr.cdx"), "Kontr.CDX");
  EXPECT_FALSE(fs::exists(c("dst/sub")));
  EXPECT_TRUE(map.pauses().empty());
}

TEST_F(DbFilesTest, CopyKatSkipListMaskAndOnlyTexts) {
  for (const char* n : {"KONTR.DBF", "KONTR.CDX", "MALA.DBF", "JEDN.DBF"})
    map.put(c(std::string("src/") + n));
  fs::create_directories(c("dst"));
  db::COPY_KAT("C:\\src\\", "C:\\dst\\", "*.dbf", ",mala.dbf,");  // the skip list is upper-cased
  EXPECT_EQ(hostNames(c("dst")), (std::set<std::string>{"kontr.dbf", "jedn.dbf"}));
  fs::remove_all(c("dst"));
  fs::create_directories(c("dst"));
  db::COPY_KAT("C:\\src\\", "C:\\dst\\", "*.*", "", {"cdx", "jed"});
  EXPECT_EQ(hostNames(c("dst")), (std::set<std::string>{"kontr.cdx", "jedn.dbf"}));
  db::COPY_KAT("", "C:\\dst\\");  // no source: nothing at all
}

TEST_F(DbFilesTest, WriteFileReportsWholeWrites) {
  EXPECT_TRUE(db::WRITEFILE("C:\\z.txt", "Ala ma kota"));
  EXPECT_EQ(os::readFile("C:\\z.txt"), "Ala ma kota");
  EXPECT_TRUE(db::WRITEFILE("C:\\Z.TXT", "inna"));
  EXPECT_EQ(os::readFile("C:\\z.txt"), "inna");
  EXPECT_FALSE(db::WRITEFILE("C:\\brak\\z.txt", "x"));
  ASSERT_TRUE(os::setAttributes("C:\\z.txt", "+R"));
  EXPECT_FALSE(db::WRITEFILE("C:\\z.txt", "x"));
}

TEST_F(DbFilesTest, FcopyIntoADirectoryKeepsTheSourceName) {
  map.put(c("src/Kontr.DBF"), "dane");
  fs::create_directories(c("dst"));
  EXPECT_TRUE(db::FCOPY("C:\\src\\Kontr.DBF", "C:\\dst\\"));
  EXPECT_EQ(os::readFile("C:\\dst\\Kontr.DBF"), "dane");
  EXPECT_TRUE(fs::exists(c("dst/Kontr.DBF")));
  EXPECT_TRUE(map.pauses().empty());
}

TEST_F(DbFilesTest, FcopyReplacesAReadOnlyTarget) {
  map.put(c("src/a.dbf"), "nowa");
  map.put(c("dst/a.dbf"), "stara");
  ASSERT_TRUE(os::setAttributes("C:\\dst\\a.dbf", "+R"));
  EXPECT_TRUE(db::FCOPY("C:\\src\\a.dbf", "C:\\dst\\a.dbf"));
  EXPECT_EQ(os::readFile("C:\\dst\\a.dbf"), "nowa");
}

TEST_F(DbFilesTest, FcopyThatCannotCopyLeavesTheOldTargetInPlace) {
  // A template whose source is missing must not cost the database its current copy.
  map.put(c("dst/wzor.dbf"), "stara");
  EXPECT_FALSE(db::FCOPY("C:\\src\\wzor.dbf", "C:\\dst\\"));
  EXPECT_EQ(os::readFile("C:\\dst\\wzor.dbf"), "stara");
  EXPECT_EQ(hostNames(c("dst")), (std::set<std::string>{"wzor.dbf"}));  // no temporary left
}

TEST_F(DbFilesTest, FcopyRetriesTenTimesAndRestoresTheHandler) {
  int outerCalls = 0;
  rt::HandlerGuard outer([&](rt::Error&) {
    ++outerCalls;
    return rt::Answer{};
  });
  EXPECT_FALSE(db::FCOPY("C:\\src\\brak.dbf", "C:\\dst\\"));
  EXPECT_EQ(map.pauses(), std::vector<int>(10, 5));
  rt::raise(rt::Error{});
  EXPECT_EQ(outerCalls, 1);  // the caller's handler is back
}

// A large sort's runs are files beside the index while it lasts, each gone with the sorter (closed
// before it is deleted, which Windows needs); the runs a killed build leaves under the same names
// are leftovers the cleaning a run makes in a firm before converting it takes, and nothing of the
// firm's own.
TEST_F(DbFilesTest, SortRunsOfAKilledIndexBuildAreLeftovers) {
  fs::create_directories(c("firma1"));
  const std::set<std::string> own = {"ks_dok.dbf", "~notatka.tmp", "~ks_dok.dbf.tmp"};
  for (const std::string& kept : own) ASSERT_TRUE(db::WRITEFILE("C:\\firma1\\" + kept, "x"));
  std::set<std::string> runs;
  {
    engine::KeySorter sorter(8, 64, c("firma1"));
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(sorter.add("12345678"));
    ASSERT_GT(sorter.runCount(), 1u);
    for (const std::string& name : hostNames(c("firma1")))
      if (!own.count(name)) runs.insert(name);
    ASSERT_EQ(runs.size(), sorter.runCount());
  }
  EXPECT_EQ(hostNames(c("firma1")), own);

  // What a build killed at that moment leaves.
  for (const std::string& run : runs) ASSERT_TRUE(db::WRITEFILE("C:\\firma1\\" + run, "run"));
  db::removeLeftovers("C:\\firma1\\", true);
  EXPECT_EQ(hostNames(c("firma1")), own);
}

// Windows paths on the host through the Wine drive map. Groups: PathTest (another letter case,
// Polish letters too, reaches the file that exists, an exact spelling winning; cached listings
// follow changes made here and elsewhere while a directory is walked once; relative, dotted,
// network and drive paths round-trip) and DriveTypes (a host file system as a drive type),
// ListingCacheTest (the kept listings stay bounded).
#include <gtest/gtest.h>
#include <sys/vfs.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "os/files.h"
#include "os/listing_cache.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "support/temp_drive_map.h"

using namespace tav;
using namespace tav::rt::literals;
namespace fs = std::filesystem;

namespace {

class PathTest : public ::testing::Test {
 protected:
  tav::testing::TempDriveMap map;
};

}  // namespace

TEST_F(PathTest, NewPrefixGetsTheWineDriveMap) {
  fs::path dd = os::prefixDir() / "dosdevices";
  EXPECT_EQ(os::prefixDir(), map.prefix());
  EXPECT_EQ(fs::read_symlink(dd / "c:"), "../drive_c");
  EXPECT_EQ(fs::read_symlink(dd / "z:"), "/");
  EXPECT_TRUE(fs::is_directory(dd / "unc"));
  EXPECT_TRUE(fs::is_directory(map.prefix() / "drive_c"));
  EXPECT_EQ(os::logicalDrives(), (std::vector<char>{'C', 'Z'}));
  EXPECT_EQ(os::toHost("C:\\"), map.driveC());
  EXPECT_EQ(os::toHost("z:\\"), fs::path("/"));
}

TEST_F(PathTest, OtherLetterCaseReachesTheSameExistingFile) {
  fs::path file = map.driveC() / "Tamborex" / "Tav" / "Dane.DBF";
  map.put(file, "abc");
  EXPECT_EQ(os::toHost("C:\\Tamborex\\Tav\\Dane.DBF"), file);
  EXPECT_EQ(os::toHost("c:\\TAMBOREX\\tav\\dane.dbf"), file);
  EXPECT_EQ(os::fileSize("C:\\tamborex\\TAV\\DANE.dbf"), 3u);
  // The first missing component and those after it keep the case given.
  EXPECT_EQ(os::toHost("C:\\TAMBOREX\\Nowy\\Plik.Txt"),
            map.driveC() / "Tamborex" / "Nowy" / "Plik.Txt");
}

TEST_F(PathTest, PolishLettersFoldTheirCaseToo) {
  fs::path file = map.driveC() / "Zażółć" / "gęślą.dbf";
  map.put(file);
  EXPECT_EQ(os::toHost("C:\\ZAŻÓŁĆ\\GĘŚLĄ.DBF"_oem), file);
  EXPECT_EQ(os::fromHost(file), "C:\\Zażółć\\gęślą.dbf"_oem);
}

TEST_F(PathTest, ExactCaseWinsOverAnotherCase) {
  map.put(map.driveC() / "a.txt", "small");
  map.put(map.driveC() / "A.TXT", "BIG");
  EXPECT_EQ(os::toHost("C:\\a.txt").filename(), "a.txt");
  EXPECT_EQ(os::toHost("C:\\A.TXT").filename(), "A.TXT");
  EXPECT_EQ(os::toHost("C:\\a.TXT").filename(), "A.TXT");  // the first in byte order, every time
}

TEST_F(PathTest, ListingsFollowChangesMadeHereAndElsewhere) {
  fs::path dir = map.driveC() / "dane";
  fs::create_directories(dir);
  EXPECT_EQ(os::toHost("C:\\DANE\\NOWY.TXT"), dir / "NOWY.TXT");  // caches the listing of dane
  ASSERT_EQ(os::writeFile("C:\\dane\\nowy.txt", "1"), 1);
  EXPECT_EQ(os::toHost("C:\\DANE\\NOWY.TXT"), dir / "nowy.txt");
  // Another program's changes are seen as soon as a tick of the file system's clock separates
  // them from the listing (a change within the same tick keeps the directory's time stamp).
  auto tick = [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); };
  tick();
  map.put(dir / "obcy.txt");
  EXPECT_EQ(os::toHost("C:\\DANE\\OBCY.TXT"), dir / "obcy.txt");
  tick();
  fs::remove(dir / "obcy.txt");
  EXPECT_EQ(os::toHost("C:\\DANE\\OBCY.TXT"), dir / "OBCY.TXT");
  tick();
  map.put(dir / "Trzeci.txt");  // into a listing that had settled before
  EXPECT_EQ(os::toHost("C:\\DANE\\TRZECI.TXT"), dir / "Trzeci.txt");
}

TEST_F(PathTest, ADirectoryIsWalkedOnceAndItsListingReadOnceWhileTheToolWorksInIt) {
  fs::path firm = map.driveC() / "baza" / "firma1";
  map.put(firm / "ks_dok.dbf");
  auto tick = [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); };
  tick();
  const os::PathLookupCounts start = os::pathLookupCounts();
  // A table looked up, opened, closed and looked up again by step after step: one walk.
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(os::toHost("C:\\baza\\firma1\\ks_dok.dbf"), firm / "ks_dok.dbf");
    EXPECT_TRUE(os::exists("C:\\BAZA\\Firma1\\KS_DOK.DBF"));
  }
  EXPECT_EQ(os::pathLookupCounts().walks - start.walks, 2u);  // the exact and the other spelling
  // Staged files made, renamed and removed beside it, each looked for before it exists: the
  // listing read once stays in step with the tool's own changes.
  for (int i = 0; i < 50; ++i) {
    const std::string staged = "C:\\baza\\firma1\\~t" + std::to_string(i) + ".dbf";
    const std::string table = "C:\\baza\\firma1\\t" + std::to_string(i) + ".dbf";
    EXPECT_EQ(os::toHost(rt::upper(staged)), firm / ("~T" + std::to_string(i) + ".DBF"));
    ASSERT_EQ(os::writeFile(staged, "x"), 1);
    EXPECT_EQ(os::toHost(rt::upper(staged)), firm / ("~t" + std::to_string(i) + ".dbf"));
    ASSERT_TRUE(os::renameFile(staged, table));
    EXPECT_EQ(os::toHost(rt::upper(staged)), firm / ("~T" + std::to_string(i) + ".DBF"));
    EXPECT_EQ(os::toHost(rt::upper(table)), firm / ("t" + std::to_string(i) + ".dbf"));
    ASSERT_TRUE(os::removeFile(table));
    EXPECT_EQ(os::toHost(rt::upper(table)), firm / ("T" + std::to_string(i) + ".DBF"));
  }
  const os::PathLookupCounts end = os::pathLookupCounts();
  EXPECT_EQ(end.walks - start.walks, 3u);  // and one for the upper-case spelling
  // A listing settles once after a burst of changes and is read again then; a slow machine may
  // see that happen a few times, never once per change.
  EXPECT_LE(end.listingReads - start.listingReads, 6u);
}

TEST_F(PathTest, AKeptDirectoryGivesWayToChangesMadeElsewhere) {
  fs::path baza = map.driveC() / "baza";
  map.put(baza / "FIRMA1" / "a.dbf", "upper");
  auto tick = [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); };
  tick();
  EXPECT_EQ(os::toHost("C:\\baza\\firma1\\a.dbf"), baza / "FIRMA1" / "a.dbf");
  EXPECT_EQ(os::toHost("C:\\baza\\firma1\\a.dbf"), baza / "FIRMA1" / "a.dbf");
  // An exact spelling appears beside the other one: it wins from then on.
  tick();
  map.put(baza / "firma1" / "a.dbf", "lower");
  EXPECT_EQ(os::toHost("C:\\baza\\firma1\\a.dbf"), baza / "firma1" / "a.dbf");
  // The directory kept goes away and comes back in another case.
  tick();
  fs::remove_all(baza / "firma1");
  fs::rename(baza / "FIRMA1", baza / "Firma1");
  EXPECT_EQ(os::toHost("C:\\baza\\firma1\\a.dbf"), baza / "Firma1" / "a.dbf");
  EXPECT_EQ(os::fileSize("C:\\baza\\firma1\\a.dbf"), 5u);
  // Or it is gone: the path keeps the case given from there on.
  fs::remove_all(baza / "Firma1");
  EXPECT_EQ(os::toHost("C:\\baza\\firma1\\a.dbf"), baza / "firma1" / "a.dbf");
  EXPECT_FALSE(os::exists("C:\\baza\\firma1\\a.dbf"));
}

TEST_F(PathTest, DrivePathRoundTripsThroughTheHost) {
  map.put(map.driveC() / "Tamborex" / "Tav" / "2025" / "dane.dbf");
  for (std::string win : {"C:\\Tamborex\\Tav\\2025\\dane.dbf", "C:\\Tamborex\\Tav\\2025",
                          "C:\\Tamborex\\Brak\\x.dbf", "C:\\", "Z:\\usr\\lib"}) {
    fs::path host = os::toHost(win);
    EXPECT_EQ(os::fromHost(host), win) << host;
  }
  EXPECT_EQ(os::toHost("C:\\Tamborex\\Tav\\2025\\dane.dbf"),
            map.driveC() / "Tamborex/Tav/2025/dane.dbf");
  // A host path outside every drive but Z:, and one written through the link of C:.
  EXPECT_EQ(os::fromHost("/usr/lib/"), "Z:\\usr\\lib");
  EXPECT_EQ(os::fromHost(map.prefix() / "dosdevices" / "c:" / "Tamborex"), "C:\\Tamborex");
  // A host path that reaches drive_c through a link of its own is still seen as C:.
  fs::create_directory_symlink(map.driveC(), map.root() / "skrot");
  EXPECT_EQ(os::fromHost(map.root() / "skrot" / "Tamborex"), "C:\\Tamborex");
}

TEST_F(PathTest, DotsAndSeparatorsAreNormalised) {
  EXPECT_EQ(os::fullPath("c:\\a\\.\\b\\..\\c\\\\d\\"), "C:\\a\\c\\d");
  EXPECT_EQ(os::fullPath("C:\\..\\..\\x"), "C:\\x");  // never above the root
  EXPECT_EQ(os::fullPath("C:/a/b"), "C:\\a\\b");
  EXPECT_EQ(os::toHost("C:\\..\\x"), map.driveC() / "x");
}

TEST_F(PathTest, RelativePathsStartFromTheCurrentDirectory) {
  fs::create_directories(map.driveC() / "Tamborex" / "STR");
  ASSERT_TRUE(os::changeDirectory("c:\\tamborex"));
  EXPECT_EQ(os::currentDirectory(), "C:\\Tamborex\\");
  EXPECT_EQ(os::currentDrive(), 'C');
  EXPECT_EQ(os::toHost(".\\str\\"), map.driveC() / "Tamborex" / "STR");
  EXPECT_EQ(os::toHost("str\\x.dbf"), map.driveC() / "Tamborex" / "STR" / "x.dbf");
  EXPECT_EQ(os::fullPath("..\\a"), "C:\\a");
  EXPECT_EQ(os::fullPath("\\a"), "C:\\a");                // the root of the current drive
  EXPECT_EQ(os::fullPath("c:str"), "C:\\Tamborex\\str");  // the current directory of C:
  EXPECT_EQ(os::fullPath("d:str"), "D:\\str");            // another drive starts at its root
  ASSERT_EQ(::chdir(map.root().c_str()), 0);              // outside every drive but Z:
  EXPECT_EQ(os::currentDrive(), 'Z');
  EXPECT_EQ(os::currentDirectory(), os::fromHost(map.root()) + "\\");
}

TEST_F(PathTest, HostPathsSkipTheDriveMap) {
  fs::create_directories(map.root() / "Dir");
  EXPECT_EQ(os::toHost((map.root() / "dir").string()), map.root() / "dir");  // no case lookup
  EXPECT_EQ(os::toHost(map.root().string() + "\\Dir\\x.dbf"), map.root() / "Dir" / "x.dbf");
  EXPECT_EQ(os::fullPath(map.root().string()), os::fromHost(map.root()));
}

TEST_F(PathTest, NetworkNamesGoThroughTheUncMap) {
  fs::path share = map.root() / "serwer-dane";
  map.put(share / "Firma" / "kontr.dbf");
  ASSERT_TRUE(os::mapShare("SERWER", "Dane", share));
  EXPECT_EQ(fs::read_symlink(map.prefix() / "dosdevices" / "unc" / "SERWER" / "Dane"), share);
  EXPECT_EQ(os::toHost("\\\\serwer\\DANE\\firma\\KONTR.DBF"), share / "Firma" / "kontr.dbf");
  EXPECT_EQ(os::fromHost(share / "Firma"), "\\\\SERWER\\Dane\\Firma");
  EXPECT_EQ(os::fromHost(share), "\\\\SERWER\\Dane");
  EXPECT_TRUE(os::exists("\\\\Serwer\\Dane\\Firma\\kontr.dbf"));
  EXPECT_FALSE(os::exists("\\\\inny\\Dane\\Firma\\kontr.dbf"));
  EXPECT_EQ(os::driveTypeOf("\\\\serwer\\dane\\"), os::DriveType::Remote);
  EXPECT_EQ(os::driveTypeOf("\\\\inny\\dane\\"), os::DriveType::NoRootDir);
  ASSERT_TRUE(os::changeDirectory("\\\\serwer\\dane\\firma"));
  EXPECT_EQ(os::currentDirectory(), "\\\\SERWER\\Dane\\Firma\\");
  EXPECT_EQ(os::fullPath("\\x"), "\\\\SERWER\\Dane\\x");  // the root of the current share
}

TEST_F(PathTest, RootsAreNamedAsSuch) {
  EXPECT_TRUE(os::isRootPath("C:\\"));
  EXPECT_TRUE(os::isRootPath("c:"));
  EXPECT_TRUE(os::isRootPath("\\\\serwer"));
  EXPECT_TRUE(os::isRootPath("\\\\serwer\\dane\\"));
  EXPECT_FALSE(os::isRootPath("\\\\serwer\\dane\\a"));
  EXPECT_FALSE(os::isRootPath("C:\\a"));
  EXPECT_TRUE(os::isRootPath("/"));
}

TEST_F(PathTest, DrivesAndTheirTypes) {
  fs::create_directories(map.root() / "d");
  ASSERT_TRUE(os::mapDrive('d', map.root() / "d"));
  ASSERT_TRUE(os::mapDrive('E', map.root() / "missing"));
  EXPECT_EQ(os::logicalDrives(), (std::vector<char>{'C', 'D', 'E', 'Z'}));
  os::DriveType c = os::driveType('C');
  EXPECT_TRUE(c == os::DriveType::Fixed || c == os::DriveType::RamDisk ||
              c == os::DriveType::Removable)
      << int(c);
  EXPECT_EQ(os::driveType('D'), c);  // same host file system as C:
  EXPECT_EQ(os::driveType('E'), os::DriveType::NoRootDir);
  EXPECT_EQ(os::driveType('Q'), os::DriveType::NoRootDir);
  EXPECT_EQ(os::driveTypeOf("d:\\"), c);
  EXPECT_EQ(os::toHost("D:\\x"), map.root() / "d" / "x");
  EXPECT_EQ(os::fromHost(map.root() / "d" / "x"), "D:\\x");

  struct statfs sf;
  if (::statfs("/dev/shm", &sf) == 0 && sf.f_type == 0x01021994) {  // tmpfs
    ASSERT_TRUE(os::mapDrive('R', "/dev/shm"));
    EXPECT_EQ(os::driveType('R'), os::DriveType::RamDisk);
  }
}

TEST(DriveTypes, HostFileSystemTypes) {
  using os::DriveType;
  EXPECT_EQ(os::driveTypeForFileSystem("ext4", false), DriveType::Fixed);
  EXPECT_EQ(os::driveTypeForFileSystem("vfat", true), DriveType::Removable);
  EXPECT_EQ(os::driveTypeForFileSystem("nfs4", false), DriveType::Remote);
  EXPECT_EQ(os::driveTypeForFileSystem("cifs", false), DriveType::Remote);
  EXPECT_EQ(os::driveTypeForFileSystem("fuse.sshfs", false), DriveType::Remote);
  EXPECT_EQ(os::driveTypeForFileSystem("tmpfs", false), DriveType::RamDisk);
  EXPECT_EQ(os::driveTypeForFileSystem("iso9660", true), DriveType::CdRom);
  EXPECT_EQ(os::driveTypeForFileSystem("", false), DriveType::Unknown);
}

TEST_F(PathTest, UnmappedDriveLeadsNowhere) {
  EXPECT_FALSE(os::exists("Q:\\"));
  EXPECT_FALSE(os::createDirectory("Q:\\a"));
  EXPECT_FALSE(os::createDirectory("Q:\\"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(map.prefix() / "dosdevices" / "q:")));
  EXPECT_EQ(os::toHost("Q:\\a\\b"), map.prefix() / "dosdevices" / "q:" / "a" / "b");
}

TEST_F(PathTest, ResetPicksUpAnotherPrefix) {
  fs::path first = os::prefixDir();
  fs::path other = map.root() / "other";
  ::setenv("TAV_PREFIX", other.c_str(), 1);
  EXPECT_EQ(os::prefixDir(), first);  // cached until reset
  os::resetPathCaches();
  EXPECT_EQ(os::prefixDir(), other);
  EXPECT_EQ(os::toHost("C:\\x"), other / "drive_c" / "x");
}

// The listings kept for the letter-case look-up hold a bounded number of names whatever the
// number of directories a run goes through (a database of hundreds of firms), and a directory
// whose listing was dropped still answers in every letter case, read again.
TEST(ListingCacheTest, ManyDirectoriesKeepFewNamesAndEveryLookupStillAnswers) {
  tav::testing::TempDriveMap map;
  os::ListingCache cache(500);
  auto dirOf = [&](int d) { return map.root() / ("firma" + std::to_string(d)); };
  for (int d = 0; d < 30; ++d) {
    fs::create_directories(dirOf(d));
    for (int f = 0; f < 60; ++f)
      std::ofstream(dirOf(d) / ("Tab" + std::to_string(f) + ".DBF")).put('x');
  }
  for (int pass = 0; pass < 2; ++pass)
    for (int d = 0; d < 30; ++d) {
      EXPECT_EQ(cache.find(dirOf(d), "TAB7.DBF").value_or("none"), "Tab7.DBF") << d;
      EXPECT_LE(cache.names(), 500u);
    }
  // The tool's own changes count in and out.
  const size_t before = cache.names();
  std::ofstream(dirOf(29) / "nowa.dbf").put('x');
  cache.noteCreated(dirOf(29) / "nowa.dbf");
  EXPECT_EQ(cache.names(), before + 1);
  EXPECT_EQ(cache.find(dirOf(29), "NOWA.DBF").value_or("none"), "nowa.dbf");
  fs::remove(dirOf(29) / "nowa.dbf");
  cache.noteRemoved(dirOf(29) / "nowa.dbf");
  EXPECT_EQ(cache.names(), before);
  cache.forget(dirOf(29));
  EXPECT_LT(cache.names(), before);
}

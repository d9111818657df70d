// The host's files as Windows shows them, under the drive map. Groups: Masks (wildcards as Windows
// matches them, case ignored), FilesTest (listings; read-only as the write bits, refusing deletion
// whoever we are; hidden and system in Samba's extended attribute, bits we do not know kept; copies
// that replace, renames that never replace but change case, links removed and never followed) and
// Environment (852 values, names ignoring case).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <filesystem>
#include <fstream>

#include "os/files.h"
#include "os/path.h"
#include "runtime/codepage.h"
#include "runtime/date.h"
#include "support/temp_drive_map.h"

using namespace tav;
using namespace tav::rt::literals;
namespace fs = std::filesystem;

namespace {

class FilesTest : public ::testing::Test {
 protected:
  tav::testing::TempDriveMap map;

  fs::path c(const std::string& rel) { return map.driveC() / rel; }
  std::string xattrText(const fs::path& p) {
    char buf[64];
    ssize_t n = ::getxattr(p.c_str(), os::kDosAttribXattr, buf, sizeof buf);
    if (n < 0) return "(none)";
    std::string text(buf, static_cast<size_t>(n));
    EXPECT_EQ(text.back(), '\0') << "written with its NUL";
    return text.substr(0, text.find('\0'));
  }
  std::vector<std::string> names(const std::vector<os::DirEntry>& list) {
    std::vector<std::string> out;
    for (const auto& e : list) out.push_back(e.name);
    return out;
  }
};

}  // namespace

TEST(Masks, WindowsSemanticsIgnoringCase) {
  struct Case {
    const char* mask;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*.*", "ROBO", true},
      {"*.*", "a.b.c", true},
      {"*", "x.dbf", true},
      {"*.cdx", "KONTR.CDX", true},
      {"*.cdx", "kontr.cdxx", false},
      {"*.cdx", "a.b.cdx", true},
      {"*.cdx", "cdx", false},
      {"rob*.*", "ROBO", true},
      {"rob*.*", "robak.dbf", true},
      {"rob*.*", "rob", true},
      {"rob*.*", "arob.dbf", false},
      {"a*.*", "Ala.txt", true},
      {"a*.*", "bA.txt", false},
      {"*.", "README", true},
      {"*.", "readme.txt", false},
      {"?.dbf", "a.dbf", true},
      {"?.dbf", "ab.dbf", false},
      {"??.dbf", "a.dbf", true},
      {"a?c", "a.c", false},
      {"kontr.dbf", "KONTR.DBF", true},
      {"kontr.dbf", "kontr.dbt", false},
      {"x.y.*", "x.y", true},
      {"*z*", "ab", false},
  };
  for (const Case& k : cases)
    EXPECT_EQ(os::maskMatches(k.mask, k.name), k.match) << k.mask << " " << k.name;
  EXPECT_TRUE(os::maskMatches("ż*.*"_oem, "ŻONA.DBF"_oem));
}

TEST_F(FilesTest, ListingWithMasksAndAttributes) {
  for (const char* n : {"a.dbf", "B.CDX", "robo", "robak.dbf", "STR/x.dbf", "ukryty.txt"})
    map.put(c(std::string("dir/") + n), "12345");
  bool xattrs = map.xattrsWork();
  if (xattrs) {
    ASSERT_TRUE(os::setAttributes("C:\\dir\\ukryty.txt", "+H"));
  }

  std::vector<std::string> plain = {"a.dbf", "B.CDX", "robak.dbf", "robo"};
  if (!xattrs) plain.push_back("ukryty.txt");
  EXPECT_EQ(names(os::listDirectory("C:\\DIR\\*.*")), plain);
  EXPECT_EQ(names(os::listDirectory("C:\\dir\\")), plain);  // a bare directory means "*.*"
  EXPECT_EQ(names(os::listDirectory("c:\\dir\\*.cdx")), (std::vector<std::string>{"B.CDX"}));
  EXPECT_EQ(names(os::listDirectory("C:\\dir\\rob*.*")),
            (std::vector<std::string>{"robak.dbf", "robo"}));
  EXPECT_EQ(names(os::listDirectory("C:\\dir\\a*.*")), (std::vector<std::string>{"a.dbf"}));
  EXPECT_EQ(names(os::listDirectory("C:\\dir\\*.*", "D")).size(), plain.size() + 1);
  if (xattrs) {
    EXPECT_EQ(names(os::listDirectory("C:\\dir\\*.*", "DH")).size(), 6u);
  }

  auto withDirs = os::listDirectory("C:\\dir\\s*.*", "D");
  ASSERT_EQ(withDirs.size(), 1u);
  EXPECT_EQ(withDirs[0].name, "STR");
  EXPECT_EQ(withDirs[0].attributeText, "D");
  EXPECT_TRUE(withDirs[0].isDirectory());

  auto one = os::listDirectory("C:\\dir\\a.dbf");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].size, 5u);
  EXPECT_EQ(one[0].attributeText, "A");
  EXPECT_EQ(one[0].date, rt::Date::today());
  EXPECT_EQ(one[0].time.size(), 8u);

  ASSERT_TRUE(os::changeDirectory("C:\\dir"));
  EXPECT_EQ(names(os::listDirectory(".\\STR\\*.*")), (std::vector<std::string>{"x.dbf"}));
  EXPECT_EQ(names(os::listDirectory("*.cdx")), (std::vector<std::string>{"B.CDX"}));
  EXPECT_TRUE(os::listDirectory("C:\\brak\\*.*").empty());
}

TEST_F(FilesTest, ReadOnlyIsTheWriteBitsAndRefusesDeletion) {
  map.put(c("plik.dbf"));
  ASSERT_TRUE(os::setAttributes("C:\\PLIK.DBF", "+R"));
  EXPECT_EQ(fs::status(c("plik.dbf")).permissions() & fs::perms::all &
                (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write),
            fs::perms::none);
  EXPECT_EQ(os::attributes("C:\\plik.dbf").value() & os::kAttrReadOnly, os::kAttrReadOnly);
  // As on Windows, whoever we are; the result carries the reason.
  EXPECT_EQ(os::removeFile("C:\\plik.dbf").code, EACCES);
  EXPECT_EQ(os::writeFile("C:\\plik.dbf", "y"), -1);
  EXPECT_TRUE(fs::exists(c("plik.dbf")));
  ASSERT_TRUE(os::setAttributes("C:\\plik.dbf", "-R"));
  EXPECT_NE(fs::status(c("plik.dbf")).permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_TRUE(os::removeFile("C:\\plik.dbf"));
  EXPECT_FALSE(fs::exists(c("plik.dbf")));
}

TEST_F(FilesTest, HiddenAndSystemLiveInTheExtendedAttribute) {
  if (!map.xattrsWork()) GTEST_SKIP() << "no user extended attributes here";
  map.put(c("h.txt"));
  EXPECT_EQ(os::attributes("C:\\h.txt"), os::kAttrArchive);
  ASSERT_TRUE(os::setAttributes("C:\\h.txt", "+H+S"));
  EXPECT_EQ(xattrText(c("h.txt")), "0x26");
  EXPECT_EQ(os::attributeLetters(os::attributes("C:\\h.txt").value()), "HSA");
  ASSERT_TRUE(os::setAttributes("C:\\h.txt", "-R-S-H"));
  EXPECT_EQ(xattrText(c("h.txt")), "0x20");
  EXPECT_EQ(os::attributes("C:\\h.txt"), os::kAttrArchive);
  ASSERT_TRUE(os::setAttributes("C:\\h.txt", "+R"));  // the record keeps step with read-only
  EXPECT_EQ(xattrText(c("h.txt")), "0x21");
  ASSERT_TRUE(os::setAttributes("C:\\h.txt", "+H"));  // on a read-only file, whoever we are
  EXPECT_EQ(os::attributeLetters(os::attributes("C:\\h.txt").value()), "RHA");

  // Samba's record: the hex text, a NUL and a binary part. Bits we do not know are kept.
  map.put(c("s.txt"));
  const char samba[] = "0x2082\0\x01\x02\x03";
  ASSERT_EQ(::setxattr(c("s.txt").c_str(), os::kDosAttribXattr, samba, sizeof samba - 1, 0), 0);
  EXPECT_EQ(os::attributes("C:\\s.txt"), os::kAttrHidden);
  ASSERT_TRUE(os::setAttributes("C:\\s.txt", "-H"));
  EXPECT_EQ(xattrText(c("s.txt")), "0x2080");

  fs::create_directories(c("katalog"));
  ASSERT_TRUE(os::setAttributes("C:\\katalog", "+H"));
  EXPECT_EQ(os::attributeLetters(os::attributes("C:\\katalog").value()), "HD");
}

TEST_F(FilesTest, AttributeTextsAreChecked) {
  map.put(c("f.txt"));
  EXPECT_FALSE(os::setAttributes("C:\\f.txt", "+X"));
  EXPECT_FALSE(os::setAttributes("C:\\f.txt", "+"));
  EXPECT_FALSE(os::setAttributes("C:\\brak.txt", "-R"));
  EXPECT_FALSE(os::attributes("C:\\brak.txt").has_value());
  EXPECT_TRUE(os::setAttributes("C:\\f.txt", "-R-S-H"));  // nothing to clear
  fs::create_directory_symlink(map.root(), c("link"));
  EXPECT_TRUE(os::setAttributes("C:\\link", "+R"));  // links carry no attributes
  EXPECT_NE(fs::status(map.root()).permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST_F(FilesTest, CopyReplacesTheTarget) {
  map.put(c("src/KONTR.DBF"), "nowa tresc");
  map.put(c("dst/kontr.dbf"), "stara");
  fs::create_directories(c("dst/sub"));
  EXPECT_TRUE(
      os::copyFile("C:\\src\\kontr.dbf", "C:\\DST\\KONTR.DBF"));  // reaches the existing kontr.dbf
  std::ifstream in(c("dst/kontr.dbf"));
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "nowa tresc");
  EXPECT_FALSE(fs::exists(c("dst/KONTR.DBF")));
  EXPECT_FALSE(os::copyFile("C:\\src\\brak.dbf", "C:\\dst\\brak.dbf"));
  EXPECT_FALSE(fs::exists(c("dst/brak.dbf")));
  EXPECT_FALSE(os::copyFile("C:\\src\\kontr.dbf", "C:\\dst\\sub"));
  EXPECT_FALSE(os::copyFile("C:\\src\\kontr.dbf", "C:\\src\\kontr.dbf"));
  EXPECT_FALSE(os::copyFile("C:\\src\\kontr.dbf", "C:\\nie\\ma\\kontr.dbf"));
  ASSERT_TRUE(os::setAttributes("C:\\dst\\kontr.dbf", "+R"));
  EXPECT_FALSE(os::copyFile("C:\\src\\kontr.dbf", "C:\\dst\\kontr.dbf"));

  std::string big(3 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i / 4096);
  map.put(c("src/big.bin"), big);
  ASSERT_TRUE(os::copyFile("C:\\src\\big.bin", "C:\\dst\\big.bin"));
  EXPECT_EQ(os::readFile("C:\\dst\\big.bin"), big);
}

TEST_F(FilesTest, RenameNeverReplacesButChangesCase) {
  map.put(c("a.dbf"), "a");
  map.put(c("b.dbf"), "b");
  EXPECT_EQ(os::renameFile("C:\\a.dbf", "C:\\B.DBF").code, EEXIST);
  EXPECT_TRUE(os::renameFile("C:\\a.dbf", "C:\\A.DBF"));  // case only
  EXPECT_TRUE(fs::exists(c("A.DBF")));
  EXPECT_FALSE(fs::exists(c("a.dbf")));
  fs::create_directories(c("sub"));
  EXPECT_TRUE(os::renameFile("C:\\a.dbf", "C:\\SUB\\c.dbf"));
  EXPECT_EQ(os::readFile("C:\\sub\\C.DBF"), "a");
  EXPECT_FALSE(os::renameFile("C:\\brak.dbf", "C:\\x.dbf"));
}

TEST_F(FilesTest, DirectoriesOneLevelAtATime) {
  EXPECT_TRUE(os::createDirectory("C:\\Nowy"));
  EXPECT_TRUE(fs::is_directory(c("Nowy")));
  EXPECT_FALSE(os::createDirectory("C:\\NOWY"));  // exists, in another case
  EXPECT_FALSE(os::createDirectory("C:\\a\\b"));  // no parent
  EXPECT_FALSE(os::createDirectory("C:\\"));
  EXPECT_TRUE(os::isDirectory("c:\\nowy"));
  map.put(c("Nowy/f.txt"));
  EXPECT_FALSE(os::isDirectory("c:\\nowy\\f.txt"));
  EXPECT_FALSE(os::removeDirectory("C:\\nowy"));  // not empty
  EXPECT_FALSE(os::removeFile("C:\\nowy"));       // not a file
  EXPECT_TRUE(os::removeFile("C:\\nowy\\F.TXT"));
  EXPECT_TRUE(os::removeDirectory("C:\\nowy\\"));
  EXPECT_FALSE(os::exists("C:\\Nowy"));
  EXPECT_FALSE(os::removeDirectory("C:\\"));

  fs::create_directories(map.root() / "outside");
  map.put(map.root() / "outside" / "keep.txt");
  fs::create_directory_symlink(map.root() / "outside", c("link"));
  EXPECT_TRUE(os::removeDirectory("C:\\link"));  // the link goes, its target stays
  EXPECT_FALSE(fs::exists(fs::symlink_status(c("link"))));
  EXPECT_TRUE(fs::exists(map.root() / "outside" / "keep.txt"));
}

TEST_F(FilesTest, ExistsSizeWriteRead) {
  EXPECT_FALSE(os::exists("C:\\x.txt"));
  EXPECT_EQ(os::writeFile("C:\\x.txt", "Ala ma kota"), 11);
  EXPECT_TRUE(os::exists("c:\\X.TXT"));
  EXPECT_EQ(os::fileSize("C:\\x.txt"), 11u);
  EXPECT_EQ(os::readFile("C:\\X.txt"), "Ala ma kota");
  EXPECT_EQ(os::writeFile("C:\\x.txt", ""), 0);  // replaced
  EXPECT_EQ(os::fileSize("C:\\x.txt"), 0u);
  EXPECT_EQ(os::writeFile("C:\\brak\\x.txt", "a"), -1);
  EXPECT_FALSE(os::fileSize("C:\\").has_value());
  fs::create_symlink(map.root() / "nowhere", c("dangling"));
  EXPECT_TRUE(os::exists("C:\\dangling"));  // the entry is there
}

TEST(Environment, GetSetIn852) {
  const std::string name = "TAV_TEST_ZMIENNA";
  const std::string value = "Zażółć gęślą"_oem;
  ASSERT_TRUE(os::setEnv(name, value));
  EXPECT_EQ(std::string(std::getenv(name.c_str())), "Zażółć gęślą");  // UTF-8 on the host
  EXPECT_EQ(os::getEnv(name), value);
  EXPECT_EQ(os::getEnv("tav_test_zmienna"), value);  // names ignore case, as on Windows
  ASSERT_TRUE(os::unsetEnv(name));
  EXPECT_EQ(os::getEnv(name), "");
  EXPECT_FALSE(os::setEnv("A=B", "x"));
}

// Wine's registry files through the registry functions: what the tool changes is written as Wine
// writes it, and every other byte of the file stays as it was.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "engine/engine_test_util.h"
#include "os/registry/registry.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav::os::reg;

namespace {

// A user.reg as wineboot leaves it, with the forms Wine writes: escapes beyond ASCII, str(2),
// str(7), hex lists over continuation lines, option lines, a key without values.
const std::string kUserReg =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[AppEvents\\\\Schemes] 1796651626\n"
    "#time=1dd86526155a9d8\n"
    "@=\"\"\n"
    "\n"
    "[Software\\\\Classes\\\\Wow6432Node] 1796651618\n"
    "#time=1dd86525c6618e0\n"
    "#link\n"
    "\"SymbolicLinkValue\"=hex(6):5c,00,52,00,65,00,67,00,69,00,73,00,74,00,72,00,79,\\\n"
    "  00,5c,00,4d,00,61,00\n"
    "\n"
    "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\Shell Folders] 1796651626\n"
    "#time=1dd865260e11000\n"
    "\"Desktop\"=\"C:\\\\users\\\\jan\\\\Desktop\"\n"
    "\"Programs\"=\"C:\\\\users\\\\jan\\\\AppData\\\\Roaming\\\\Microsoft\\\\Windows\\\\Start "
    "Menu\\\\Programs\"\n"
    "\n"
    "[Software\\\\Probe] 1796651643\n"
    "#time=1dd86526b1b6264\n"
    "#class=\"klasa\"\n"
    "\"e\"=str(2):\"%X%\\\\\\x105\"\n"
    "\"m\"=str(7):\"a\\0b\\0\"\n"
    "\"n\"=dword:0000000a\n"
    "\"t\"=\"tab\\tx\\\"q\"\n"
    "\"Za\\x17c\\xf3\\x142\\x107\"=\"g\\x119\\x15bl\\x105 ja\\x17a\\x144 1a\"\n"
    "\n"
    "[Software\\\\Wine\\\\Fonts] 1796651618\n"
    "#time=1dd86525c54c356\n"
    "\n";

std::string query(const std::string& key, const std::string& name, uint32_t* type = nullptr) {
  HKEY h = 0;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return "<no key>";
  uint8_t buf[512];
  uint32_t size = sizeof buf, t = 0;
  long rc = RegQueryValueEx(h, name, &t, buf, &size);
  RegCloseKey(h);
  if (type) *type = t;
  return rc == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(buf), size) : "<no value>";
}

long setText(HKEY h, const std::string& name, const std::string& ansi) {
  const std::string data = ansi + '\0';
  return RegSetValueEx(h, name, 0, REG_SZ, reinterpret_cast<const uint8_t*>(data.data()),
                       static_cast<uint32_t>(data.size()));
}

}  // namespace

TEST(WineRegistry, ChangingOneValueKeepsEveryOtherByteOfWinesFile) {
  resetForTests();
  tav::testing::TempDriveMap map;
  fs::create_directories(map.prefix());
  std::ofstream(map.prefix() / "user.reg", std::ios::binary) << kUserReg;
  ASSERT_TRUE(isWinePrefix());
  ASSERT_FALSE(checkStore()) << checkStore().message;

  // Wine's escapes read back as the text they stand for (ANSI, code page 1250).
  uint32_t type = 0;
  EXPECT_EQ(query("Software\\Probe", "Za\xbf\xf3\xb3\xe6"),
            "g\xea\x9cl\xb9 ja\x9f\xf1 1a" + std::string(1, '\0'));
  EXPECT_EQ(query("Software\\Probe", "e", &type), std::string("%X%\\\xb9") + '\0');
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(query("Software\\Probe", "m", &type), std::string("a\0b\0\0", 5));
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(query("Software\\Probe", "t"), std::string("tab\tx\"q") + '\0');
  EXPECT_EQ(query("Software\\Classes\\Wow6432Node", "SymbolicLinkValue").size(), 24u);
  EXPECT_EQ(
      query("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Desktop"),
      std::string("C:\\users\\jan\\Desktop") + '\0');

  // One changed value and one new key with Polish letters.
  HKEY h = 0;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Probe", 0, KEY_ALL_ACCESS, &h),
            ERROR_SUCCESS);
  ASSERT_EQ(setText(h, "t", "nowy"), ERROR_SUCCESS);
  RegCloseKey(h);
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Tamborex\\Tav\\2025\\2025", 0, "", 0,
                           KEY_ALL_ACCESS, &h, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(setText(h, "Program", "C:\\Ksi\xea\x67owo\\"), ERROR_SUCCESS);
  ASSERT_EQ(setText(h, "", "Parametry"), ERROR_SUCCESS);
  RegCloseKey(h);

  const std::string after = tav::test::readFile(map.prefix() / "user.reg");
  // Only the changed section's time stamps and value differ; the new key sits among its siblings
  // in Wine's order, without sections for the keys that only lead to it.
  const std::regex stamp(R"(\[Software\\\\Probe\] (\d+)\n#time=([0-9a-f]+)\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(after, m, stamp)) << after;
  const std::regex fresh(
      R"(\[Software\\\\Tamborex\\\\Tav\\\\2025\\\\2025\] (\d+)\n#time=([0-9a-f]+)\n)");
  std::smatch f;
  ASSERT_TRUE(std::regex_search(after, f, fresh)) << after;
  EXPECT_EQ(f[1].str(), m[1].str());
  EXPECT_GT(std::stoll(m[1].str()), 1796651643);

  std::string expected = kUserReg;
  auto replace = [&expected](const std::string& from, const std::string& to) {
    size_t at = expected.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    expected.replace(at, from.size(), to);
  };
  replace("[Software\\\\Probe] 1796651643\n#time=1dd86526b1b6264\n", m[0].str());
  replace("\"t\"=\"tab\\tx\\\"q\"\n", "\"t\"=\"nowy\"\n");
  replace("[Software\\\\Wine\\\\Fonts]",
          f[0].str() +
              "@=\"Parametry\"\n\"Program\"=\"C:\\\\Ksi\\x119gowo\\\\\"\n\n["
              "Software\\\\Wine\\\\Fonts]");
  EXPECT_EQ(after, expected);

  // What was written reads back.
  resetForTests();
  EXPECT_EQ(query("Software\\Tamborex\\Tav\\2025\\2025", "Program"),
            std::string("C:\\Ksi\xea\x67owo\\") + '\0');
  EXPECT_EQ(query("Software\\Probe", "t"), std::string("nowy") + '\0');
  resetForTests();
}

TEST(WineRegistry, AFileThatDoesNotParseStopsEveryWriteAndStaysAsItIs) {
  resetForTests();
  tav::testing::TempDriveMap map;
  fs::create_directories(map.prefix());
  std::string damaged = kUserReg;
  damaged.replace(damaged.find("\"n\"=dword:0000000a"), 18, "\"n\"=dword:zz");
  std::ofstream(map.prefix() / "user.reg", std::ios::binary) << damaged;
  const StoreProblem problem = checkStore();
  EXPECT_EQ(problem.kind, StoreProblem::Kind::Damaged);
  EXPECT_EQ(problem.line, 26);
  EXPECT_NE(problem.message.find("user.reg"), std::string::npos);
  testing::internal::CaptureStderr();
  HKEY h = 0;
  EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Tamborex", 0, "", 0, KEY_ALL_ACCESS, &h,
                           nullptr),
            ERROR_CANTWRITE);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(tav::test::readFile(map.prefix() / "user.reg"), damaged);
  resetForTests();
}

TEST(WineRegistry, ClassesAreTheMachinesWithTheUsersOverThem) {
  resetForTests();
  tav::testing::TempDriveMap map;
  fs::create_directories(map.prefix());
  std::ofstream(map.prefix() / "system.reg", std::ios::binary)
      << "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n\n"
         "[Software\\\\Classes\\\\.txt] 1796651626\n#time=1dd86526155a9d8\n@=\"txtfile\"\n\n"
         "[Software\\\\Classes\\\\.zip] "
         "1796651626\n#time=1dd86526155a9d8\n@=\"CompressedFolder\"\n\n";
  std::ofstream(map.prefix() / "user.reg", std::ios::binary)
      << "WINE REGISTRY Version 2\n;; All keys relative to "
         "REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
         "#arch=win64\n\n[Software\\\\Classes\\\\.txt] "
         "1796651626\n#time=1dd86526155a9d8\n@=\"mine\"\n\n";
  auto standard = [](const std::string& key) {
    HKEY h = 0;
    if (RegOpenKeyEx(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &h) != ERROR_SUCCESS)
      return std::string("<no key>");
    char buf[64];
    uint32_t size = sizeof buf;
    long rc = RegQueryValueEx(h, "", nullptr, reinterpret_cast<uint8_t*>(buf), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS ? std::string(buf, size - 1) : std::string("<no value>");
  };
  EXPECT_EQ(standard(".txt"), "mine");
  EXPECT_EQ(standard(".zip"), "CompressedFolder");
  HKEY h = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CLASSES_ROOT, "TAV.Firma", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(setText(h, "", "Firma TAV"), ERROR_SUCCESS);
  RegCloseKey(h);
  EXPECT_EQ(standard("TAV.Firma"), "Firma TAV");
  EXPECT_NE(
      tav::test::readFile(map.prefix() / "system.reg").find("[Software\\\\Classes\\\\TAV.Firma] "),
      std::string::npos);
  EXPECT_EQ(tav::test::readFile(map.prefix() / "user.reg").find("TAV.Firma"), std::string::npos);
  resetForTests();
}

// The registry the tool keeps in the prefix's registry files. Groups: RegistryText (every value
// type read back exactly, in the editor's format; hand-edited files read and damaged ones named by
// line; names ignoring case), RegistryStore (Windows' result codes and access rights; a store
// another process reads and two write at once without a loss; a damaged or unreadable file reported
// and never touched) and RegistryEnvironment (unset names kept as written).
#include "os/registry/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/engine_test_util.h"
#include "os/path.h"
#include "os/system_info.h"
#include "support/temp_drive_map.h"

namespace fs = std::filesystem;
using namespace tav::os::reg;

namespace {

std::string sz(const std::string& s) { return s + '\0'; }

class RegistryStore : public ::testing::Test {
 protected:
  RegistryStore() { resetForTests(); }
  ~RegistryStore() override {
    resetForTests();
    tav::os::setComputerName(std::nullopt);
  }
  static HKEY create(HKEY root, const std::string& path) {
    HKEY h = 0;
    EXPECT_EQ(RegCreateKeyEx(root, path, 0, "", 0, KEY_ALL_ACCESS, &h, nullptr), ERROR_SUCCESS);
    return h;
  }
  static long set(HKEY key, const std::string& name, const std::string& text) {
    std::string data = sz(text);
    return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const uint8_t*>(data.data()),
                         static_cast<uint32_t>(data.size()));
  }
  // The value's bytes as a fresh open and query give them.
  static std::string query(HKEY root, const std::string& key, const std::string& name) {
    HKEY h = 0;
    if (RegOpenKeyEx(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return "<no key>";
    uint32_t type = 0, size = 0;
    long rc = RegQueryValueEx(h, name, &type, nullptr, &size);
    std::string data(size, '\0');
    if (rc == ERROR_SUCCESS)
      rc = RegQueryValueEx(h, name, &type, reinterpret_cast<uint8_t*>(data.data()), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS ? data : "<no value>";
  }
  tav::testing::TempDriveMap map_;
  const fs::path prefix_ = map_.prefix();
};

TEST(RegistryText, EveryValueReadsBackExactlyInTheEditorsFormat) {
  Hive original("HKEY_CURRENT_USER");
  RegKey& k = original.create("Software\\Tamborex\\Tav\\2025\\2025");
  std::string blob;
  for (int i = 0; i < 300; ++i) blob += static_cast<char>(i);
  const RegValue values[] = {
      {"", REG_SZ, sz("Parametry instalacyjne TAV")},
      {"Program", REG_SZ, sz("C:\\Tav \"2025\"\\")},
      {"Polish", REG_SZ, sz("Za\xbf\xf3\xb3\xe6 g\xea\x9c\x6c\xb9")},
      {"NoModify", REG_DWORD, std::string("\x01\0\0\0", 4)},
      {"Short dword", REG_DWORD, std::string("\x05\0", 2)},
      {"Temp", REG_EXPAND_SZ, sz("%TEMP%\\x")},
      {"Lines", REG_SZ, sz("one\r\ntwo")},
      {"No terminator", REG_SZ, "abc"},
      {"Multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
      {"Blob", REG_BINARY, blob},
      {"Empty", REG_BINARY, ""},
      {"Odd type", 0x1234, "xyz"},
  };
  for (const auto& v : values) k.set(v);
  original.create("").set({"At root", REG_SZ, sz("r")});

  const std::string text = serialize(original);
  Hive back("HKEY_CURRENT_USER");
  ParseError err = parse(text, back);
  ASSERT_FALSE(err) << err.line << ": " << err.message << "\n" << text;
  for (const auto& v : values) {
    const RegValue* got = back.find("software\\tamborex\\tav\\2025\\2025")->find(v.name);
    ASSERT_NE(got, nullptr) << v.name;
    EXPECT_EQ(got->type, v.type) << v.name;
    EXPECT_EQ(got->data, v.data) << v.name;
  }
  EXPECT_EQ(serialize(back), text);

  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
  for (const char* line : {
           "[HKEY_CURRENT_USER\\Software\\Tamborex]\r\n",  // ancestors are sections too
           "@=\"Parametry instalacyjne TAV\"\r\n",
           "\"Program\"=\"C:\\\\Tav \\\"2025\\\"\\\\\"\r\n",
           "\"Polish\"=\"Zażółć gęślą\"\r\n",  // readable UTF-8
           "\"NoModify\"=dword:00000001\r\n",
           "\"Temp\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,5c,00,78,00,00,00\r\n",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 81u) << line;
}

TEST(RegistryText, HandEditedFilesAndDamage) {
  Hive h("HKEY_LOCAL_MACHINE");
  ASSERT_FALSE(
      parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n; by hand\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=\"1\"\n\"b\"=hex:01,\\\n  02,03\n",
            h));
  EXPECT_EQ(h.find("SOFTWARE\\a")->find("X")->data, sz("1"));
  EXPECT_EQ(h.find("Software\\A")->find("b")->data, "\x01\x02\x03");

  const std::string head = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n";
  const std::pair<std::string, int> damaged[] = {
      {"REGEDIT4\n", 1},
      {"Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n", 2},  // value before any key
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n", 2},  // another root
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X\\\\Y]\n", 2},
      {head + "\"a\"=\"b\n", 3},
      {head + "\"a\"=dword:1\n", 3},
      {head + "\"a\"=hex:0g\n", 3},
      {head + "\"a\"=hex(2):41\n", 3},  // UTF-16 text of an odd length
      {head + "noise\n", 3},
  };
  for (const auto& [text, line] : damaged) {
    Hive d("HKEY_CURRENT_USER");
    EXPECT_EQ(parse(text, d).line, line) << text;
  }
}

TEST(RegistryText, NamesCompareIgnoringCaseAndKeepTheirFirstSpelling) {
  Hive h("HKEY_CURRENT_USER");
  bool created = false;
  h.create("Software\\Tamborex", &created);
  h.create("SOFTWARE\\TAMBOREX", &created);
  EXPECT_FALSE(created);
  EXPECT_EQ(h.find("software\\tamborex")->path, "Software\\Tamborex");
  h.find("Software\\Tamborex")->set({"Rok", REG_SZ, "2024"});
  h.find("Software\\Tamborex")->set({"ROK", REG_SZ, "2025"});
  ASSERT_EQ(h.find("Software\\Tamborex")->values.size(), 1u);
  EXPECT_EQ(h.find("Software\\Tamborex")->values[0].data, "2025");
  h.create("Software\\Tamborex\\Tav\\2025");
  h.create("Software\\Tamborex Other");
  auto subs = h.subkeys("Software\\Tamborex");
  ASSERT_EQ(subs.size(), 1u);
  EXPECT_EQ(subs[0]->path, "Software\\Tamborex\\Tav");
}

TEST_F(RegistryStore, FunctionsGiveTheWindowsResultCodes) {
  HKEY h = 0;
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Tav", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Tav", 0, "", 0, KEY_ALL_ACCESS, &h,
                           &disposition),
            0);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(set(h, "Rok", "123456789"), ERROR_SUCCESS);
  uint8_t small[4];
  uint32_t size = sizeof small, type = 0;
  EXPECT_EQ(RegQueryValueEx(h, "rok", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 10u);  // with the terminating zero
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegQueryValueEx(h, "none", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\tav", 0, "", 0, KEY_ALL_ACCESS, &h,
                           &disposition),
            0);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  HKEY child = 0;
  EXPECT_EQ(RegOpenKeyEx(h, "", 0, KEY_READ, &child), ERROR_SUCCESS);  // relative to a handle
  RegCloseKey(child);
  RegCloseKey(h);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyEx(0x1234567, "Software", 0, KEY_READ, &h), ERROR_INVALID_HANDLE);

  // Each operation needs its access right.
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Tav", 0, KEY_QUERY_VALUE, &h), 0);
  EXPECT_EQ(set(h, "v", "x"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyEx(h, "Sub", 0, "", 0, KEY_ALL_ACCESS, &child, nullptr),
            ERROR_ACCESS_DENIED);
  RegCloseKey(h);
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Tav", 0, KEY_SET_VALUE, &h), 0);
  EXPECT_EQ(set(h, "v", "x"), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueEx(h, "v", nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  RegCloseKey(h);
}

TEST_F(RegistryStore, QueryInfoGivesCountsAndLargestSizes) {
  HKEY h = create(HKEY_CURRENT_USER, "K");
  set(h, "short", "a");
  set(h, "a much longer name", "0123456789");
  RegCloseKey(create(h, "Sub"));
  RegCloseKey(create(h, "Longer subkey\\Deeper still"));
  KeyInfo info;
  ASSERT_EQ(RegQueryInfoKey(h, &info), ERROR_SUCCESS);
  EXPECT_EQ(info.values, 2u);
  EXPECT_EQ(info.maxValueNameLen, 18u);
  EXPECT_EQ(info.maxValueLen, 11u);
  EXPECT_EQ(info.subKeys, 2u);
  EXPECT_EQ(info.maxSubKeyLen, 13u);
  EXPECT_NE(info.lastWriteTime.high, 0u);
  RegCloseKey(h);
}

TEST_F(RegistryStore, FileIsTextThatAnotherProcessReads) {
  HKEY h = create(HKEY_LOCAL_MACHINE, "Software\\Tamborex");
  uint8_t five[4] = {5, 0, 0, 0};
  ASSERT_EQ(RegSetValueEx(h, "n", 0, REG_DWORD, five, 4), 0);
  RegCloseKey(h);
  EXPECT_NE(tav::test::readFile(prefix_ / "system.reg")
                .find("[HKEY_LOCAL_MACHINE\\Software\\Tamborex]\r\n\"n\"=dword:00000005"),
            std::string::npos);
  for (const auto& e : fs::directory_iterator(prefix_))
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
  pid_t child = ::fork();
  if (child == 0) {
    resetForTests();
    _exit(query(HKEY_LOCAL_MACHINE, "SOFTWARE\\TAMBOREX", "N") == std::string("\x05\0\0\0", 4) ? 0
                                                                                               : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kPerProcess = 60;
  RegCloseKey(create(HKEY_CURRENT_USER, "Race"));
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    if ((children[c] = ::fork()) != 0) continue;
    resetForTests();
    HKEY k = 0;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, "Race", 0, KEY_ALL_ACCESS, &k) != 0) _exit(2);
    for (int i = 0; i < kPerProcess; ++i) {
      std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
      HKEY sub = 0;  // new sections interleave as well as new values
      if (set(k, name, name) != 0 ||
          RegCreateKeyEx(k, name, 0, "", 0, KEY_ALL_ACCESS, &sub, nullptr))
        _exit(1);
      RegCloseKey(sub);
    }
    _exit(0);
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  resetForTests();
  HKEY h = 0;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Race", 0, KEY_READ, &h), 0);
  KeyInfo info;
  ASSERT_EQ(RegQueryInfoKey(h, &info), 0);
  EXPECT_EQ(info.values, 2u * kPerProcess);
  EXPECT_EQ(info.subKeys, 2u * kPerProcess);
  RegCloseKey(h);
  EXPECT_EQ(query(HKEY_CURRENT_USER, "Race", "p1_59"), sz("p1_59"));
}

TEST_F(RegistryStore, DamagedFileIsNamedWithItsLineAndNeverTouched) {
  const std::string garbage =
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:zz\r\n";
  fs::create_directories(prefix_);
  std::ofstream(prefix_ / "system.reg", std::ios::binary) << garbage;
  const StoreProblem problem = checkStore();
  EXPECT_EQ(problem.kind, StoreProblem::Kind::Damaged);
  EXPECT_EQ(problem.file, prefix_ / "system.reg");
  EXPECT_EQ(problem.line, 3);
  testing::internal::CaptureStderr();
  HKEY h = 0;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "B", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr),
            ERROR_CANTWRITE);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("system.reg cannot be read as a registry file: line 3"), std::string::npos)
      << err;
  EXPECT_EQ(tav::test::readFile(prefix_ / "system.reg"), garbage);
  int files = 0;
  for (const auto& e : fs::directory_iterator(prefix_))
    files += e.path().filename().string().rfind("system.reg", 0) == 0;
  EXPECT_EQ(files, 2);  // the store file and its lock file, nothing set aside
}

TEST_F(RegistryStore, UnreadableFileIsReportedAndNotReplaced) {
  fs::create_directories(prefix_ / "system.reg");
  testing::internal::CaptureStderr();
  HKEY h = 0;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot read"), std::string::npos);
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr),
            ERROR_CANTWRITE);
  EXPECT_TRUE(fs::is_directory(prefix_ / "system.reg"));
}

TEST_F(RegistryStore, ComputerNameAnswersFromTheHostAndIsNeverStored) {
  const std::string key(kComputerNameKey);
  tav::os::setComputerName("STACJA-7");
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, key, "ComputerName"), sz("STACJA-7"));
  tav::os::setComputerName(std::nullopt);
  EXPECT_EQ(query(HKEY_LOCAL_MACHINE, key, "computername"), sz(tav::os::computerName()));
  HKEY h = create(HKEY_LOCAL_MACHINE, "Software\\X");
  set(h, "v", "1");
  RegCloseKey(h);
  EXPECT_EQ(tav::test::readFile(prefix_ / "system.reg").find("ComputerName"), std::string::npos);
}

TEST_F(RegistryStore, NewUserStoreHasShellFoldersThatExist) {
  const std::string user = std::getenv("USER") ? std::getenv("USER") : "";
  ::setenv("USER", "jan", 1);
  const std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
  const std::string desktop = "C:\\users\\jan\\Desktop";
  const std::string programs =
      "C:\\users\\jan\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
  EXPECT_EQ(query(HKEY_CURRENT_USER, key, "Desktop"), sz(desktop));
  EXPECT_EQ(query(HKEY_CURRENT_USER, key, "Programs"), sz(programs));
  ::setenv("USER", user.c_str(), 1);
  EXPECT_TRUE(fs::is_directory(tav::os::toHost(desktop)));
  EXPECT_TRUE(fs::is_directory(tav::os::toHost(programs)));
}

TEST(RegistryEnvironment, ExpandsSetNamesAndKeepsTheRest) {
  ::setenv("TAV_T1", "Zażółć", 1);
  ::unsetenv("TAV_UNSET");
  EXPECT_EQ(expandEnvironmentStrings("%TAV_T1%\\x"), "Za\xbf\xf3\xb3\xe6\\x");  // given as ANSI
  EXPECT_EQ(expandEnvironmentStrings("a%TAV_UNSET%b%TAV_T1%"), "a%TAV_UNSET%bZa\xbf\xf3\xb3\xe6");
  EXPECT_EQ(expandEnvironmentStrings("100% sure %%"), "100% sure %%");
  ::unsetenv("TAV_T1");
}

}  // namespace

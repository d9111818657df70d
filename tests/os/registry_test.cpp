#include "os/registry/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "os/path.h"
#include "os/system_info.h"

namespace fs = std::filesystem;
using namespace tav::os::reg;

namespace {

std::string readFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class RegistryStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav-reg-XXXXXX";
    prefix_ = ::mkdtemp(tmpl);
    ::setenv("TAV_PREFIX", prefix_.c_str(), 1);
    tav::os::resetPathCaches();
    resetForTests();
  }
  void TearDown() override {
    resetForTests();
    tav::os::setComputerName(std::nullopt);
    ::unsetenv("TAV_PREFIX");
    tav::os::resetPathCaches();
    fs::remove_all(prefix_);
  }
  // A fresh process's view of the store: no handles, no cached files.
  void restart() { resetForTests(); }

  static std::string queryText(HKEY root, const std::string& key, const std::string& name) {
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
  static long setText(HKEY key, const std::string& name, const std::string& text) {
    std::string data = text + '\0';
    return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const uint8_t*>(data.data()),
                         static_cast<uint32_t>(data.size()));
  }

  fs::path prefix_;
};

// ---- The export-format text ----

Hive sampleHive() {
  Hive h("HKEY_CURRENT_USER");
  RegKey& k = h.create("Software\\Tamborex\\Tav\\2025\\2025");
  k.set({"", REG_SZ, std::string("Parametry instalacyjne TAV") + '\0'});
  k.set({"Program", REG_SZ, std::string("C:\\Tamborex\\Tav \"2025\"\\") + '\0'});
  k.set({"Polish", REG_SZ, std::string("Za\xbf\xf3\xb3\xe6 g\xea\x9c\x6c\xb9 ja\x9f\xf1") + '\0'});
  k.set({"NoModify", REG_DWORD, std::string("\x01\0\0\0", 4)});
  k.set({"Negative", REG_DWORD, std::string("\xff\xff\xff\xff", 4)});
  k.set({"Short dword", REG_DWORD, std::string("\x05\0", 2)});
  k.set({"Temp", REG_EXPAND_SZ, std::string("%TEMP%\\x") + '\0'});
  k.set({"Lines", REG_SZ, std::string("one\r\ntwo") + '\0'});
  k.set({"No terminator", REG_SZ, "abc"});
  k.set({"Inner zero", REG_SZ, std::string("a\0b\0", 4)});
  k.set({"Multi", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)});
  std::string blob;
  for (int i = 0; i < 300; ++i) blob += static_cast<char>(i & 0xFF);
  k.set({"Blob", REG_BINARY, blob});
  k.set({"Empty", REG_BINARY, ""});
  k.set({"Odd type", 0x1234, "xyz"});
  h.create("").set({"At root", REG_SZ, std::string("r") + '\0'});
  return h;
}

TEST(RegistryText, EveryValueReadsBackExactly) {
  Hive original = sampleHive();
  std::string text = serialize(original);
  Hive back("HKEY_CURRENT_USER");
  ParseError err = parse(text, back);
  ASSERT_FALSE(err) << err.line << ": " << err.message << "\n" << text;
  ASSERT_EQ(back.keys().size(), original.keys().size());
  for (const auto& [folded, key] : original.keys()) {
    const RegKey* other = back.find(key.path);
    ASSERT_NE(other, nullptr) << key.path;
    ASSERT_EQ(other->values.size(), key.values.size()) << key.path;
    for (size_t i = 0; i < key.values.size(); ++i) {
      EXPECT_EQ(other->values[i].name, key.values[i].name);
      EXPECT_EQ(other->values[i].type, key.values[i].type) << key.values[i].name;
      EXPECT_EQ(other->values[i].data, key.values[i].data) << key.values[i].name;
    }
  }
  // Writing what was read gives the same text: the format is stable.
  EXPECT_EQ(serialize(back), text);
}

TEST(RegistryText, IsTheEditorsExportFormat) {
  std::string text = serialize(sampleHive());
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Tamborex\\Tav\\2025\\2025]\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("@=\"Parametry instalacyjne TAV\"\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Program\"=\"C:\\\\Tamborex\\\\Tav \\\"2025\\\"\\\\\"\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\"NoModify\"=dword:00000001\r\n"), std::string::npos);
  EXPECT_NE(text.find("\"Negative\"=dword:ffffffff\r\n"), std::string::npos);
  // Expandable strings are UTF-16LE with their terminating zero, as the editor writes them.
  EXPECT_NE(text.find("\"Temp\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,5c,00,78,00,00,00\r\n"),
            std::string::npos);
  // Polish letters are readable text (UTF-8) in the file.
  EXPECT_NE(text.find("\"Polish\"=\"Zażółć gęślą jaźń\""), std::string::npos);
  // Long hex lists continue on indented lines, no line longer than 80 characters.
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 81u) << line;
  // Ancestors of a key are sections too, so a reader sees the whole tree.
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Tamborex]\r\n"), std::string::npos);
}

TEST(RegistryText, AcceptsLineFeedsCommentsAndUtf8Bom) {
  std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n; made by hand\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=\"1\"\n\"b\"=hex:01,\\\n  02,03\n";
  Hive h("HKEY_LOCAL_MACHINE");
  ASSERT_FALSE(parse(text, h));
  ASSERT_NE(h.find("software\\a"), nullptr);
  EXPECT_EQ(h.find("SOFTWARE\\A")->find("X")->data, std::string("1") + '\0');
  EXPECT_EQ(h.find("Software\\A")->find("b")->data, "\x01\x02\x03");
}

TEST(RegistryText, DamageIsReportedWithItsLine) {
  struct Case {
    const char* text;
    int line;
  } cases[] = {
      {"REGEDIT4\n", 1},
      {"", 1},
      {"Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n", 2},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\X]\n", 2},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X\n", 2},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X\\\\Y]\n", 2},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a=\"b\"\n", 3},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"b\n", 3},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a\"=dword:1\n", 3},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex:0g\n", 3},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex(2):41\n", 3},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\n\"a\"=str:b\n", 3},
      {"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\X]\nnoise\n", 3},
  };
  for (const auto& c : cases) {
    Hive h("HKEY_CURRENT_USER");
    ParseError err = parse(c.text, h);
    EXPECT_TRUE(err) << c.text;
    EXPECT_EQ(err.line, c.line) << c.text << " -> " << err.message;
  }
}

TEST(RegistryText, NamesCompareIgnoringCase) {
  Hive h("HKEY_CURRENT_USER");
  bool created = false;
  h.create("Software\\Tamborex", &created);
  EXPECT_TRUE(created);
  h.create("SOFTWARE\\TAMBOREX", &created);
  EXPECT_FALSE(created);
  EXPECT_EQ(h.find("software\\tamborex")->path, "Software\\Tamborex");
  h.find("Software\\Tamborex")->set({"Rok", REG_SZ, "2024"});
  h.find("Software\\Tamborex")->set({"ROK", REG_SZ, "2025"});
  EXPECT_EQ(h.find("Software\\Tamborex")->values.size(), 1u);
  EXPECT_EQ(h.find("Software\\Tamborex")->find("rok")->data, "2025");
  h.create("Software\\Tamborex\\Tav\\2025");
  h.create("Software\\Tamborex Other");
  auto subs = h.subkeys("Software\\Tamborex");
  ASSERT_EQ(subs.size(), 1u);
  EXPECT_EQ(subs[0]->path, "Software\\Tamborex\\Tav");
  EXPECT_EQ(h.subkeys("").size(), 1u);
}

// ---- The functions over the store ----

TEST_F(RegistryStore, OpenCreateSetQueryClose) {
  HKEY h = 0;
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Tamborex\\Tav\\2025", 0, KEY_ALL_ACCESS, &h),
            ERROR_FILE_NOT_FOUND);
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Software\\Tamborex\\Tav\\2025", 0, "", 0,
                           KEY_ALL_ACCESS, &h, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(setText(h, "Rok", "2025"), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);

  HKEY again = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "software\\TAMBOREX\\tav\\2025", 0, "", 0,
                           KEY_ALL_ACCESS, &again, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(again);

  // A string comes back with its terminating zero, and its size counts it.
  EXPECT_EQ(queryText(HKEY_CURRENT_USER, "Software\\Tamborex\\Tav\\2025", "rok"),
            std::string("2025") + '\0');
  EXPECT_EQ(queryText(HKEY_CURRENT_USER, "Software\\Tamborex\\Tav\\2025", "Missing"),
            "<no value>");

  // Opening relative to an open key.
  HKEY parent = 0, child = 0;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\Tamborex", 0, KEY_READ, &parent), 0);
  EXPECT_EQ(RegOpenKeyEx(parent, "Tav\\2025", 0, KEY_READ, &child), ERROR_SUCCESS);
  RegCloseKey(child);
  RegCloseKey(parent);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &h), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyEx(0x1234567, "Software", 0, KEY_READ, &h), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryStore, SmallBufferGetsMoreDataAndTheSizeNeeded) {
  HKEY h = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "K", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr), 0);
  setText(h, "v", "123456789");
  uint8_t buf[4];
  uint32_t size = sizeof buf, type = 0;
  EXPECT_EQ(RegQueryValueEx(h, "v", &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegQueryValueEx(h, "v", &type, buf, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(h);
}

TEST_F(RegistryStore, AccessMaskIsEnforced) {
  HKEY h = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "K", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr), 0);
  RegCloseKey(h);
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "K", 0, KEY_QUERY_VALUE, &h), 0);
  EXPECT_EQ(setText(h, "v", "x"), ERROR_ACCESS_DENIED);
  HKEY sub = 0;
  EXPECT_EQ(RegCreateKeyEx(h, "Sub", 0, "", 0, KEY_ALL_ACCESS, &sub, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(h);
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "K", 0, KEY_SET_VALUE, &h), 0);
  EXPECT_EQ(setText(h, "v", "x"), ERROR_SUCCESS);
  uint32_t size = 0;
  EXPECT_EQ(RegQueryValueEx(h, "v", nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  KeyInfo info;
  EXPECT_EQ(RegQueryInfoKey(h, &info), ERROR_ACCESS_DENIED);
  RegCloseKey(h);
}

TEST_F(RegistryStore, QueryInfoGivesCountsAndLargestSizes) {
  HKEY h = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "K", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr), 0);
  setText(h, "short", "a");
  setText(h, "a much longer name", "0123456789");
  HKEY sub = 0;
  RegCreateKeyEx(h, "Sub", 0, "", 0, KEY_ALL_ACCESS, &sub, nullptr);
  RegCloseKey(sub);
  RegCreateKeyEx(h, "Longer subkey\\Deeper still", 0, "", 0, KEY_ALL_ACCESS, &sub, nullptr);
  RegCloseKey(sub);
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

TEST_F(RegistryStore, FileIsReadableTextAndSurvivesARestart) {
  HKEY h = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Tamborex", 0, "", 0, KEY_ALL_ACCESS,
                           &h, nullptr),
            0);
  uint8_t five[4] = {5, 0, 0, 0};
  ASSERT_EQ(RegSetValueEx(h, "n", 0, REG_DWORD, five, 4), 0);
  RegCloseKey(h);
  std::string text = readFile(prefix_ / "system.reg");
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Tamborex]\r\n\"n\"=dword:00000005"),
            std::string::npos)
      << text;
  EXPECT_FALSE(fs::exists(prefix_ / ("system.reg.tmp." + std::to_string(::getpid()))));
  restart();
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Tamborex", 0, KEY_READ, &h), 0);
  uint32_t type = 0, size = 4;
  uint8_t got[4] = {};
  ASSERT_EQ(RegQueryValueEx(h, "N", &type, got, &size), 0);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(got[0], 5);
  RegCloseKey(h);
}

TEST_F(RegistryStore, SeesWhatAnotherProcessWrote) {
  HKEY h = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "K", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr), 0);
  setText(h, "v", "mine");
  pid_t child = ::fork();
  if (child == 0) {
    resetForTests();
    HKEY k = 0;
    RegOpenKeyEx(HKEY_CURRENT_USER, "K", 0, KEY_ALL_ACCESS, &k);
    _exit(setText(k, "v", "theirs") == ERROR_SUCCESS ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(queryText(HKEY_CURRENT_USER, "K", "v"), std::string("theirs") + '\0');
  RegCloseKey(h);
}

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kPerProcess = 60;
  HKEY h = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "Race", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr), 0);
  RegCloseKey(h);
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    if (children[c] == 0) {
      resetForTests();
      HKEY k = 0;
      if (RegOpenKeyEx(HKEY_CURRENT_USER, "Race", 0, KEY_ALL_ACCESS, &k) != 0) _exit(2);
      for (int i = 0; i < kPerProcess; ++i) {
        std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
        if (setText(k, name, name) != ERROR_SUCCESS) _exit(1);
        // Each writer also creates keys of its own, so that new sections interleave too.
        HKEY sub = 0;
        if (RegCreateKeyEx(k, name, 0, "", 0, KEY_ALL_ACCESS, &sub, nullptr) != 0) _exit(3);
        RegCloseKey(sub);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
  }
  restart();
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "Race", 0, KEY_READ, &h), 0);
  KeyInfo info;
  ASSERT_EQ(RegQueryInfoKey(h, &info), 0);
  EXPECT_EQ(info.values, 2u * kPerProcess);
  EXPECT_EQ(info.subKeys, 2u * kPerProcess);
  RegCloseKey(h);
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < kPerProcess; ++i) {
      std::string name = "p" + std::to_string(c) + "_" + std::to_string(i);
      EXPECT_EQ(queryText(HKEY_CURRENT_USER, "Race", name), name + '\0');
    }
}

TEST_F(RegistryStore, DamagedFileIsReportedAndKeptAside) {
  const std::string garbage = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
                              "\"x\"=dword:zz\r\n";
  fs::create_directories(prefix_);
  std::ofstream(prefix_ / "system.reg", std::ios::binary) << garbage;
  testing::internal::CaptureStderr();
  HKEY h = 0;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("system.reg is damaged at line 3"), std::string::npos) << err;
  EXPECT_NE(err.find("kept as"), std::string::npos) << err;
  int aside = 0;
  for (const auto& e : fs::directory_iterator(prefix_)) {
    if (e.path().filename().string().rfind("system.reg.damaged-", 0) == 0) {
      ++aside;
      EXPECT_EQ(readFile(e.path()), garbage);
    }
  }
  EXPECT_EQ(aside, 1);
  // The store goes on in a new file.
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "B", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr), 0);
  RegCloseKey(h);
  EXPECT_NE(readFile(prefix_ / "system.reg").find("[HKEY_LOCAL_MACHINE\\B]"), std::string::npos);
}

TEST_F(RegistryStore, UnreadableFileIsReportedAndNotReplaced) {
  fs::create_directories(prefix_ / "system.reg");  // not a file that can be read
  testing::internal::CaptureStderr();
  HKEY h = 0;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("cannot read"), std::string::npos) << err;
  EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr),
            ERROR_CANTWRITE);
  EXPECT_TRUE(fs::is_directory(prefix_ / "system.reg"));
}

TEST_F(RegistryStore, ComputerNameAnswersFromTheHostAndIsNeverStored) {
  tav::os::setComputerName("STACJA-7");
  EXPECT_EQ(queryText(HKEY_LOCAL_MACHINE, std::string(kComputerNameKey), "ComputerName"),
            std::string("STACJA-7") + '\0');
  tav::os::setComputerName(std::nullopt);
  std::string host = tav::os::computerName();
  EXPECT_FALSE(host.empty());
  EXPECT_LE(host.size(), 15u);
  EXPECT_EQ(host.find('.'), std::string::npos);
  EXPECT_EQ(queryText(HKEY_LOCAL_MACHINE, std::string(kComputerNameKey), "computername"),
            host + '\0');
  HKEY h = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\X", 0, "", 0, KEY_ALL_ACCESS, &h, nullptr),
            0);
  setText(h, "v", "1");
  RegCloseKey(h);
  EXPECT_EQ(readFile(prefix_ / "system.reg").find("ComputerName"), std::string::npos);
}

TEST_F(RegistryStore, NewUserStoreHasShellFoldersThatExist) {
  const char* user = std::getenv("USER");
  ::setenv("USER", "jan", 1);
  std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
  std::string desktop = queryText(HKEY_CURRENT_USER, key, "Desktop");
  std::string programs = queryText(HKEY_CURRENT_USER, key, "Programs");
  if (user) ::setenv("USER", user, 1);
  else ::unsetenv("USER");
  EXPECT_EQ(desktop, std::string("C:\\users\\jan\\Desktop") + '\0');
  EXPECT_EQ(programs,
            std::string("C:\\users\\jan\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs") +
                '\0');
  EXPECT_TRUE(fs::is_directory(tav::os::toHost("C:\\users\\jan\\Desktop")));
  EXPECT_TRUE(fs::is_directory(
      tav::os::toHost("C:\\users\\jan\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs")));
  EXPECT_NE(readFile(prefix_ / "user.reg").find("\"Desktop\"=\"C:\\\\users\\\\jan\\\\Desktop\""),
            std::string::npos);
}

TEST(RegistryEnvironment, ExpandsSetNamesAndKeepsTheRest) {
  ::setenv("TAV_T1", "/tmp/x", 1);
  ::unsetenv("TAV_UNSET");
  EXPECT_EQ(expandEnvironmentStrings("%TAV_T1%\\x"), "/tmp/x\\x");
  EXPECT_EQ(expandEnvironmentStrings("a%TAV_UNSET%b%TAV_T1%"), "a%TAV_UNSET%b/tmp/x");
  EXPECT_EQ(expandEnvironmentStrings("100% sure"), "100% sure");
  EXPECT_EQ(expandEnvironmentStrings("%%"), "%%");
  ::setenv("TAV_T1", "Zażółć", 1);
  EXPECT_EQ(expandEnvironmentStrings("%TAV_T1%"), "Za\xbf\xf3\xb3\xe6");
  ::unsetenv("TAV_T1");
}

TEST(RegistryRoots, NamesAndHandlesMatch) {
  EXPECT_EQ(rootFromName("hkey_current_user"), HKEY_CURRENT_USER);
  EXPECT_EQ(rootFromName("HKEY_DYN_DATA"), HKEY_DYN_DATA);
  EXPECT_EQ(rootFromName("HKCU"), std::nullopt);
  EXPECT_EQ(rootName(HKEY_CURRENT_CONFIG), "HKEY_CURRENT_CONFIG");
  EXPECT_EQ(rootName(0x80000004u), "");
  EXPECT_EQ(storeFile(HKEY_CURRENT_USER).filename(), "user.reg");
  EXPECT_EQ(storeFile(HKEY_LOCAL_MACHINE).filename(), "system.reg");
}

}  // namespace

// The Windows backend of os, under Wine: each facility through the public os headers, on the real
// Win32 calls. Groups: WindowsFiles (paths with Polish letters through the one conversion door,
// Windows' refusals carried in results, listings), WindowsLocks (byte ranges at the engine's
// offsets, share modes of the open mode), WindowsSwap (a file another program holds is never
// swapped half-way), WindowsRegistry (values through the registry API, byte for byte, and the
// known folders), WindowsShell (links made and read by the shell, the process list, fonts, the
// computer name, free space, the command line, worker processes).
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "engine/staging.h"
#include "os/child_process.h"
#include "os/console.h"
#include "os/file.h"
#include "os/files.h"
#include "os/fonts.h"
#include "os/path.h"
#include "os/process/process_list.h"
#include "os/registry/registry.h"
#include "os/shelllink/shelllink.h"
#include "os/system_info.h"
#include "os/wide.h"
#include "runtime/clock.h"
#include "runtime/codepage.h"

// After the os headers: windows.h makes macros of names they declare (HKEY_CURRENT_USER, the
// registry functions), which the calls below spell with their W where they mean Win32's.
#include <windows.h>
#undef RegOpenKeyEx
#undef RegCreateKeyEx
#undef RegQueryInfoKey
#undef RegQueryValueEx
#undef RegSetValueEx

namespace fs = std::filesystem;
using namespace tav;
using namespace tav::rt::literals;

namespace {

// A directory of its own under C:\ whose name has Polish letters, removed afterwards.
class PolishDir {
 public:
  PolishDir() {
    win_ = "C:\\Biuro Łódź "_oem + std::to_string(::GetCurrentProcessId()) + "\\";
    EXPECT_TRUE(os::createDirectory(win_));
  }
  ~PolishDir() {
    std::error_code ec;
    fs::remove_all(os::toHost(win_), ec);
  }
  const std::string& win() const { return win_; }
  fs::path host(const std::string& name = "") const { return os::toHost(win_ + name); }

 private:
  std::string win_;
};

}  // namespace

TEST(WindowsFiles, PolishNamesCrossTheDoorBothWays) {
  PolishDir d;
  // The host sees the real name in UTF-16: "Łódź" is 4 characters, not 7 bytes widened one by one.
  const std::wstring hostName = d.host().parent_path().filename().native();
  EXPECT_EQ(hostName.substr(0, 11), L"Biuro \u0141\u00f3d\u017a ");
  EXPECT_TRUE(fs::is_directory(d.host()));

  const std::string file = d.win() + "żółw.dbf"_oem;
  ASSERT_EQ(os::writeFile(file, "abc"), 3);
  EXPECT_EQ(os::readFile(file).value_or(""), "abc");
  EXPECT_EQ(os::fileSize(file).value_or(0), 3u);
  EXPECT_TRUE(fs::exists(d.host() / L"\u017c\u00f3\u0142w.dbf"));
  EXPECT_EQ(os::utf8(d.host("żółw.dbf"_oem).filename()), "żółw.dbf");
  EXPECT_EQ(os::hostPath("C:\\Biuro Łódź\\x").native(), L"C:\\Biuro \u0141\u00f3d\u017a\\x");

  // Letter case is the file system's own business on Windows.
  EXPECT_TRUE(os::exists(d.win() + "ŻÓŁW.DBF"_oem));
  // The full path and the way back keep the 852 text.
  EXPECT_EQ(os::fromHost(d.host("żółw.dbf"_oem)), d.win() + "żółw.dbf"_oem);
  EXPECT_EQ(os::fullPath(d.win() + "a\\..\\żółw.dbf"_oem), d.win() + "żółw.dbf"_oem);
  EXPECT_TRUE(os::isRootPath("C:\\"));
  EXPECT_FALSE(os::isRootPath(d.win()));

  const auto listed = os::listDirectory(d.win() + "*.dbf");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "żółw.dbf"_oem);
  EXPECT_EQ(listed[0].size, 3u);
  EXPECT_EQ(listed[0].attributeText, "A");
}

TEST(WindowsFiles, RefusalsComeBackWithTheirReason) {
  PolishDir d;
  const std::string a = d.win() + "a.dbf", b = d.win() + "b.dbf";
  ASSERT_EQ(os::writeFile(a, "a"), 1);
  ASSERT_EQ(os::writeFile(b, "b"), 1);

  const os::Status exists = os::renameFile(a, b);
  EXPECT_EQ(exists.code, EEXIST);
  EXPECT_EQ(exists.native, static_cast<long>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(exists.message().empty());
  EXPECT_EQ(os::readFile(b).value_or(""), "b");

  ASSERT_TRUE(os::setAttributes(a, "+R+H"));
  EXPECT_EQ(os::attributeLetters(os::attributes(a).value_or(0)), "RHA");
  EXPECT_EQ(os::removeFile(a).code, EACCES);
  EXPECT_EQ(os::writeFile(a, "x"), -1);
  EXPECT_EQ(os::copyFile(b, a).code, EACCES);
  EXPECT_TRUE(os::listDirectory(d.win() + "*.*").size() == 1);  // hidden a.dbf is left out
  EXPECT_EQ(os::listDirectory(d.win() + "*.*", "H").size(), 2u);
  ASSERT_TRUE(os::setAttributes(a, "-R-H"));
  EXPECT_TRUE(os::removeFile(a));
  EXPECT_EQ(os::removeFile(a).code, ENOENT);

  // A copy replaces its target whole; attributes are not carried over.
  ASSERT_TRUE(os::copyFile(b, d.win() + "c.dbf"));
  EXPECT_EQ(os::readFile(d.win() + "c.dbf").value_or(""), "b");
  EXPECT_TRUE(os::createDirectory(d.win() + "sub"));
  EXPECT_EQ(os::createDirectory(d.win() + "sub").code, EEXIST);
  EXPECT_EQ(os::createDirectory(d.win() + "x\\y").code, ENOENT);
  EXPECT_TRUE(os::isDirectory(d.win() + "sub"));
  EXPECT_TRUE(os::removeDirectory(d.win() + "sub"));
  EXPECT_GT(os::freeSpace(d.win()).value_or(0), 0u);
  EXPECT_FALSE(os::freeSpace("C:\\no such directory\\").has_value());
}

TEST(WindowsFiles, EnvironmentIgnoresCaseAndKeepsPolishLetters) {
  ASSERT_TRUE(os::setEnv("TAV_TEST_ZMIENNA", "Łódź"_oem));
  EXPECT_EQ(os::getEnv("tav_test_zmienna"), "Łódź"_oem);
  EXPECT_EQ(std::string(std::getenv("TAV_TEST_ZMIENNA")).empty(), false);
  ASSERT_TRUE(os::unsetEnv("TAV_TEST_ZMIENNA"));
  EXPECT_EQ(os::getEnv("TAV_TEST_ZMIENNA"), "");
}

TEST(WindowsLocks, RecordLocksConflictBetweenOpensAndConvertWithinOne) {
  PolishDir d;
  const fs::path f = d.host("t.dbf");
  ASSERT_EQ(os::writeFile(d.win() + "t.dbf", std::string(64, 'x')), 64);
  os::File one, two;
  ASSERT_TRUE(one.open(f, os::File::Mode::ReadWrite));
  ASSERT_TRUE(two.open(f, os::File::Mode::ReadWrite));
  ASSERT_TRUE(one.lockOpenMode(false));
  ASSERT_TRUE(two.lockOpenMode(false));

  // The FoxPro record lock of record 1 and the header byte, as the engine takes them.
  const uint64_t record1 = 0x7FFFFFFE - 1, header = 0x7FFFFFFE;
  ASSERT_TRUE(one.lockRange(record1, 1, true));
  EXPECT_FALSE(two.lockRange(record1, 1, true));
  EXPECT_EQ(two.lastError(), EWOULDBLOCK);
  EXPECT_FALSE(two.lockRange(record1, 1, false));
  // Taking a held lock again is no conflict with itself, and a shared one converts.
  EXPECT_TRUE(one.lockRange(record1, 1, true));
  EXPECT_TRUE(one.lockRange(header, 1, false));
  EXPECT_TRUE(two.lockRange(header, 1, false));
  EXPECT_FALSE(one.lockRange(header, 1, true));  // two shares it: no conversion to exclusive
  // Releasing a range releases every lock of this open inside it.
  EXPECT_TRUE(one.unlockRange(0x40000000, 0x40000000));
  EXPECT_TRUE(two.lockRange(record1, 1, true));
  // Data far below the lock bytes stays readable and writable for both.
  EXPECT_TRUE(one.writeAt(0, "ab", 2));
  char buf[2] = {};
  EXPECT_TRUE(two.readAt(0, buf, 2));
  EXPECT_EQ(std::string(buf, 2), "ab");
}

TEST(WindowsLocks, AnExclusiveOpenShutsOutEveryOtherOpen) {
  PolishDir d;
  const fs::path f = d.host("t.dbf");
  ASSERT_EQ(os::writeFile(d.win() + "t.dbf", "data"), 4);
  os::File mine, theirs;
  ASSERT_TRUE(mine.open(f, os::File::Mode::ReadWrite));
  ASSERT_TRUE(mine.lockOpenMode(true));
  EXPECT_FALSE(theirs.open(f, os::File::Mode::Read));
  EXPECT_EQ(theirs.lastError(), EWOULDBLOCK);
  // The exclusive open still reads and writes what it holds.
  char buf[4] = {};
  EXPECT_TRUE(mine.readAt(0, buf, 4));
  EXPECT_EQ(std::string(buf, 4), "data");
  EXPECT_TRUE(mine.writeAt(4, "!", 1));
  EXPECT_TRUE(mine.sync());
  mine.close();
  // A shared open stops an exclusive one the same way.
  ASSERT_TRUE(theirs.open(f, os::File::Mode::Read));
  os::File again;
  ASSERT_TRUE(again.open(f, os::File::Mode::ReadWrite));
  EXPECT_FALSE(again.lockOpenMode(true));
  EXPECT_EQ(again.lastError(), EWOULDBLOCK);
}

TEST(WindowsSwap, AHeldTableFailsTheSwapWithTheOldSetWhole) {
  PolishDir d;
  std::vector<int> pauses;
  rt::Sleeper previous = rt::setSleeper([&](int h) { pauses.push_back(h); });
  const fs::path table = d.host("ks_dok.dbf"), memo = d.host("ks_dok.fpt");
  ASSERT_EQ(os::writeFile(d.win() + "ks_dok.dbf", "old table"), 9);
  ASSERT_EQ(os::writeFile(d.win() + "ks_dok.fpt", "old memo"), 8);
  ASSERT_EQ(os::writeFile(d.win() + "~ks_dok.dbf", "new table"), 9);
  ASSERT_EQ(os::writeFile(d.win() + "~ks_dok.fpt", "new memo"), 8);
  // Another program has the table open, as the accounting program opens it: no deletion shared.
  HANDLE held = ::CreateFileW(table.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os::probeReplace(table).code, EWOULDBLOCK);
  EXPECT_FALSE(os::replaceHostFile(d.host("~ks_dok.dbf"), table));  // access denied
  EXPECT_FALSE(engine::swapStaged(table, d.host("~ks_dok.dbf"), {{d.host("~ks_dok.fpt"), memo}}));
  EXPECT_FALSE(pauses.empty());  // it kept trying, as a rename does
  // Nothing moved: the old table with its old memo, no commit record left to finish later.
  EXPECT_EQ(os::readFile(d.win() + "ks_dok.dbf").value_or(""), "old table");
  EXPECT_EQ(os::readFile(d.win() + "ks_dok.fpt").value_or(""), "old memo");
  EXPECT_TRUE(os::listDirectory(d.win() + "*.swp", "HS").empty());
  ::CloseHandle(held);
  // Once the holder lets go the same swap goes through.
  EXPECT_TRUE(engine::swapStaged(table, d.host("~ks_dok.dbf"), {{d.host("~ks_dok.fpt"), memo}}));
  EXPECT_EQ(os::readFile(d.win() + "ks_dok.dbf").value_or(""), "new table");
  EXPECT_EQ(os::readFile(d.win() + "ks_dok.fpt").value_or(""), "new memo");
  rt::setSleeper(std::move(previous));
}

TEST(WindowsRegistry, ValuesGoThroughTheRegistryByteForByte) {
  using namespace os::reg;
  using HKEY = os::reg::HKEY;
  const std::string key = "Software\\TavTest\\" + rt::utf8ToAnsi("Łódź");
  HKEY h = 0;
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, key, 0, "", 0, KEY_ALL_ACCESS, &h, &disposition),
            ERROR_SUCCESS);
  const std::string text = rt::utf8ToAnsi("C:\\Księgowość\\Tav\\") + std::string(1, '\0');
  ASSERT_EQ(RegSetValueEx(h, "Program", 0, REG_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint32_t>(text.size())),
            ERROR_SUCCESS);
  const uint8_t five[4] = {5, 0, 0, 0};
  ASSERT_EQ(RegSetValueEx(h, "NoModify", 0, REG_DWORD, five, 4), ERROR_SUCCESS);
  const std::string blob("TAV\x01L\x01", 6);
  ASSERT_EQ(
      RegSetValueEx(h, "Blob", 0, REG_BINARY, reinterpret_cast<const uint8_t*>(blob.data()), 6),
      ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(h), ERROR_SUCCESS);

  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, key, 0, KEY_READ, &h), ERROR_SUCCESS);
  uint32_t type = 0, size = 4;
  uint8_t small[4];
  EXPECT_EQ(RegQueryValueEx(h, "Program", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, text.size());
  std::string back(size, '\0');
  ASSERT_EQ(RegQueryValueEx(h, "Program", &type, reinterpret_cast<uint8_t*>(back.data()), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(back, text);
  size = 8;
  uint8_t bytes[8] = {};
  ASSERT_EQ(RegQueryValueEx(h, "Blob", &type, bytes, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size), blob);
  KeyInfo info;
  ASSERT_EQ(RegQueryInfoKey(h, &info), ERROR_SUCCESS);
  EXPECT_EQ(info.values, 3u);
  EXPECT_EQ(RegSetValueEx(h, "X", 0, REG_DWORD, five, 4), ERROR_ACCESS_DENIED);  // opened to read
  EXPECT_EQ(RegQueryValueEx(h, "Missing", &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(h);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);

  // The Win32 API itself sees the Polish key name and value.
  wchar_t wide[64] = {};
  DWORD wsize = sizeof wide;
  ASSERT_EQ(::RegGetValueW(reinterpret_cast<::HKEY>(static_cast<ULONG_PTR>(0x80000001)),
                           L"Software\\TavTest\\\u0141\u00f3d\u017a", L"Program", RRF_RT_REG_SZ,
                           nullptr, wide, &wsize),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(wide), L"C:\\Ksi\u0119gowo\u015b\u0107\\Tav\\");
  ::RegDeleteTreeW(reinterpret_cast<::HKEY>(static_cast<ULONG_PTR>(0x80000001)),
                   L"Software\\TavTest");
  EXPECT_EQ(expandEnvironmentStrings("%SystemRoot%\\x %NIE_MA_TAKIEJ%"),
            rt::utf8ToAnsi(os::utf8(fs::path(_wgetenv(L"SystemRoot")))) + "\\x %NIE_MA_TAKIEJ%");
}

TEST(WindowsRegistry, ShellFoldersAreTheKnownFolders) {
  using namespace os::reg;
  using HKEY = os::reg::HKEY;
  HKEY h = 0;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER,
                         "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                         KEY_READ, &h),
            ERROR_SUCCESS);
  for (const char* name : {"Desktop", "Programs"}) {
    char buf[600] = {};
    uint32_t type = 0, size = sizeof buf;
    ASSERT_EQ(RegQueryValueEx(h, name, &type, reinterpret_cast<uint8_t*>(buf), &size),
              ERROR_SUCCESS)
        << name;
    EXPECT_TRUE(os::isDirectory(rt::ansiToOem(buf))) << buf;
  }
  RegCloseKey(h);
}

TEST(WindowsShell, LinksAreMadeAndReadByTheShell) {
  PolishDir d;
  ASSERT_EQ(os::writeFile(d.win() + "tav.exe", "MZ"), 2);
  os::ShellLink link;
  link.target = rt::oemToAnsi(d.win() + "tav.exe");
  link.workingDir = rt::oemToAnsi(d.win());
  link.arguments = "/rok 2025";
  link.description = rt::utf8ToAnsi("Księgowość TAV 2025");
  const fs::path lnk = d.host("TAV 2025.lnk");
  ASSERT_TRUE(os::writeShellLink(lnk, link));
  auto back = os::readShellLink(lnk);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->target, link.target);
  EXPECT_EQ(back->arguments, link.arguments);
  EXPECT_EQ(back->description, link.description);
  // Our own decoder reads the shell's bytes: the same target.
  auto bytes = os::readFile(d.win() + "TAV 2025.lnk");
  ASSERT_TRUE(bytes);
  auto decoded = os::decodeShellLink(*bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->target, link.target);
  EXPECT_EQ(decoded->description, link.description);
}

TEST(WindowsShell, TheSystemAnswers) {
  // This process is in the list, under its executable's name.
  auto list = os::listProcesses();
  ASSERT_TRUE(list);
  bool found = false;
  for (const auto& p : *list)
    if (static_cast<DWORD>(p.pid) == ::GetCurrentProcessId())
      found = rt::upper(p.exeFileName()) == "TEST_OS.EXE";
  EXPECT_TRUE(found);

  // A font that is not loaded holds nothing: its file may go; the observer hears of it.
  std::vector<std::string> asked;
  auto previous = os::setFontRemovalObserver([&](const std::string& p) { asked.push_back(p); });
  EXPECT_TRUE(os::removeFontResource("C:\\Windows\\Fonts\\nie_ma.ttf"));
  os::setFontRemovalObserver(std::move(previous));
  EXPECT_EQ(asked.size(), 1u);

  const std::string name = os::computerName();
  EXPECT_FALSE(name.empty());
  EXPECT_LE(name.size(), 15u);
  EXPECT_EQ(name, rt::upper(name));

  EXPECT_EQ(os::currentDirectory().back(), '\\');
  // No drive map on Windows: the drives are the system's.
  EXPECT_FALSE(os::mapDrive('T', fs::temp_directory_path()));
  EXPECT_NE(std::find(os::logicalDrives().begin(), os::logicalDrives().end(), 'C'),
            os::logicalDrives().end());
  EXPECT_EQ(os::driveType('C'), os::DriveType::Fixed);

  // Worker processes need a copy of the running process, which Windows does not make.
  EXPECT_FALSE(os::childProcessesSupported());
  EXPECT_FALSE(os::ChildProcess::start([] { return std::string("x"); }));
}

TEST(WindowsShell, TheCommandLineArrivesAsUtf8) {
  // The narrow argv of this process is ANSI; the arguments the tool reads are the UTF-16 ones.
  char* argv[] = {const_cast<char*>("test_os.exe")};
  const auto args = os::commandLineArguments(1, argv);
  for (const std::string& a : args) EXPECT_EQ(os::utf8(os::hostPath(a)), a);
}

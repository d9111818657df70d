// The ZIP writer the release archive is made with, its archives read back by unzip and Python's
// zipfile (under Wine, where no Linux program starts, by the tests' own reader,
// support/zip_reader.h). Group: ZipWriterTest. Every file, name (Polish ones in UTF-8), time and
// comment comes back; a file or name that cannot go in fails alone, none escaping the extraction
// directory or clashing on Windows; the archive takes its own name only when saved whole, so an
// unsaved or damaged one leaves the earlier archive as it was.
#include "upgrade/zip_writer.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "os/wide.h"
#include "runtime/codepage.h"
#include "support/injected_fault.h"
#include "support/temp_drive_map.h"
#include "support/zip_reader.h"

namespace fs = std::filesystem;
using namespace tav::upgrade;
using namespace tav::rt::literals;
using tav::testing::TempDriveMap;

namespace {

#ifndef _WIN32
// Output and exit status of a shell command.
std::pair<int, std::string> run(const std::string& command) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = p ? ::pclose(p) : -1;
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}
#endif

std::string readHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Per entry name, method, flags and time, then the comment, after the reader's own CRC check.
const char* const kDescribe =
    "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\nassert z.testzip() is None\n"
    "for i in z.infolist(): print('%s|%d|%d|%04d-%02d-%02d %02d:%02d:%02d' % ((i.filename, "
    "i.compress_type, "
    "i.flag_bits) + i.date_time))\nprint('comment=' + z.comment.decode('utf-8'))\n";

class ZipWriterTest : public ::testing::Test {
 protected:
  ZipWriterTest() {
    fs::create_directories(map_.driveC() / "db");
    std::ofstream(map_.root() / "describe.py") << kDescribe;
  }
  void put(const std::string& name, const std::string& content) {
    TempDriveMap::put(map_.driveC() / "rel" / tav::os::hostPath(name), content);
  }
  fs::path host() const { return map_.driveC() / "db" / "a.zip"; }
  bool leftovers() const { return fs::exists(map_.driveC() / "db" / "a.zip.tmp"); }
  std::string describe() {
#ifdef _WIN32
    // Under Wine no Linux reader starts: the tests' own reader, in zipfile's words.
    const tav::testing::ZipArchive z = tav::testing::readZip(host());
    EXPECT_TRUE(z.ok) << z.error;
    std::string out;
    for (const auto& e : z.entries)
      out += e.name + "|" + std::to_string(e.method) + "|" + std::to_string(e.flags) + "|" +
             e.dateTime + "\n";
    return out + "comment=" + z.comment + "\n";
#else
    auto [status, out] =
        run("/usr/bin/python3 " + (map_.root() / "describe.py").string() + " " + host().string());
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(run("unzip -tq " + host().string()).first, 0);
    return out;
#endif
  }
  // Extracts the archive below `dir`.
  bool extract(const fs::path& dir) {
#ifdef _WIN32
    return tav::testing::extractZip(tav::testing::readZip(host()), dir);
#else
    return run("unzip -q " + host().string() + " -d " + dir.string()).first == 0;
#endif
  }
  TempDriveMap map_;
  const char* archive_ = "C:\\db\\a.zip";
  ZipWriter zip_;
};

TEST_F(ZipWriterTest, ReadersGetBackEveryFileNameTimeAndComment) {
  std::string text, noise(200000, '\0');  // noise spans several chunks and does not shrink
  for (int i = 0; i < 5000; ++i)
    text += "Faktura nr " + std::to_string(i) + " dla firmy Kowalski\r\n";
  std::mt19937 g(7);
  for (char& c : noise) c = static_cast<char>(g());
  put("opis.txt", text);
  put("str/szum.bin", noise);
  put("puste.dat", "");
  put("Wyciąg.txt", "lista płac");
  struct tm tm {};  // 2001-02-03 04:05:06 local time, as DOS times keep it
  tm.tm_year = 101, tm.tm_mon = 1, tm.tm_mday = 3, tm.tm_hour = 4, tm.tm_min = 5, tm.tm_sec = 6,
  tm.tm_isdst = -1;
#ifdef _WIN32
  fs::last_write_time(
      map_.driveC() / "rel" / "puste.dat",
      std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(std::mktime(&tm))));
#else
  struct timeval times[2] = {{mktime(&tm), 0}, {mktime(&tm), 0}};
  ASSERT_EQ(::utimes((map_.driveC() / "rel" / "puste.dat").c_str(), times), 0);
#endif

  ASSERT_TRUE(zip_.open(archive_));
  EXPECT_FALSE(fs::exists(host()));  // only the temporary name until it is saved
  EXPECT_EQ(zip_.addFile("C:\\rel\\opis.txt", ".\\opis.txt"), kZipOk);
  EXPECT_EQ(zip_.addFile("C:\\rel\\STR\\szum.bin", ".\\STR\\szum.bin"), kZipOk);
  EXPECT_EQ(zip_.addFile("C:\\rel\\puste.dat", "\\puste.dat"), kZipOk);
  EXPECT_EQ(zip_.addFile("C:\\rel\\" + "Wyciąg.txt"_oem, "TXT\\" + "Wyciąg.txt"_oem), kZipOk);
  ASSERT_TRUE(zip_.save("TAV"_oem + "Żuraw"_oem));
  EXPECT_FALSE(leftovers());

  // Deflated (8) what shrinks, stored (0) what does not; bit 11 (2048) marks a UTF-8 name.
  std::string out = describe();
  EXPECT_TRUE(out.starts_with("opis.txt|8|0|")) << out;
  EXPECT_NE(out.find("\nSTR/szum.bin|0|0|"), std::string::npos) << out;
  EXPECT_NE(out.find("\npuste.dat|0|0|2001-02-03 04:05:06\nTXT/Wyciąg.txt|0|2048|"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("\ncomment=TAVŻuraw\n")) << out;
  EXPECT_LT(fs::file_size(host()), noise.size() + text.size() / 4);

  fs::path x = map_.root() / "out";
  ASSERT_TRUE(extract(x));
  EXPECT_EQ(readHost(x / "opis.txt"), text);
  EXPECT_EQ(readHost(x / "STR" / "szum.bin"), noise);
  EXPECT_EQ(readHost(x / "TXT" / tav::os::hostPath("Wyciąg.txt")), "lista płac");
}

TEST_F(ZipWriterTest, FilesAndNamesThatCannotGoInFailAloneWithoutDamage) {
  put("a.txt", "a");
  fs::create_directories(map_.driveC() / "rel" / "katalog");
  TempDriveMap::put(map_.driveC() / "rel" / "duzy.bin", "");
  fs::resize_file(map_.driveC() / "rel" / "duzy.bin",
                  0x100000000ull);  // sparse 4 GiB: would need ZIP64
  EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "a.txt"), kZipNotOpen);
  ASSERT_TRUE(zip_.open(archive_));
  for (const char* bad : {"", ".\\", "STR\\", "..\\a.txt", "STR\\..\\..\\a.txt", "STR\\\\a.txt"})
    EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", bad), kZipBadName) << bad;
  EXPECT_EQ(zip_.addFile("C:\\rel\\brak.txt", "brak.txt"), kZipFileError);
  EXPECT_EQ(zip_.addFile("C:\\rel\\katalog", "katalog"), kZipFileError);
#ifndef _WIN32  // Windows file systems hold no FIFOs
  ASSERT_EQ(::mkfifo((map_.driveC() / "rel" / "kolejka").c_str(), 0644), 0);
  EXPECT_EQ(zip_.addFile("C:\\rel\\kolejka", "kolejka"), kZipFileError);  // returns at once
#endif
  EXPECT_EQ(zip_.addFile("C:\\rel\\duzy.bin", "duzy.bin"), kZipTooLarge);
  EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", ".\\STR\\a.txt"), kZipOk);
  EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "str/A.TXT"),
            kZipBadName);  // one file once extracted on Windows
  EXPECT_FALSE(zip_.damaged());
  ASSERT_TRUE(zip_.save(""));
  std::string out = describe();
  EXPECT_TRUE(out.starts_with("STR/a.txt|0|0|") && out.ends_with("\ncomment=\n")) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
}

TEST_F(ZipWriterTest, UnsavedArchiveLeavesNothingAndKeepsAnEarlierOne) {
  put("a.txt", "nowy");
  EXPECT_FALSE(zip_.open("C:\\brak\\a.zip"));
  fs::create_directories(host());
  EXPECT_FALSE(zip_.open(archive_));
  fs::remove(host());

  TempDriveMap::put(host(), "earlier archive");
  {
    ZipWriter zip;  // closed, refused for its comment, then left to its destructor
    ASSERT_TRUE(zip.open(archive_));
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
    zip.close();
    EXPECT_FALSE(zip.save("x"));
    ASSERT_TRUE(zip.open(archive_));
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
    EXPECT_FALSE(zip.save(std::string(70000, 'x')));
    ASSERT_TRUE(zip.open(archive_));
    EXPECT_EQ(zip.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  }
  EXPECT_EQ(readHost(host()), "earlier archive");
  EXPECT_FALSE(leftovers());

  fs::permissions(host(), fs::perms::owner_read);  // a read-only archive is not replaced
  EXPECT_FALSE(zip_.open(archive_));
  fs::permissions(host(), fs::perms::owner_all);
  ASSERT_TRUE(zip_.open(archive_));  // a saved one is, whole
  EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
  ASSERT_TRUE(zip_.save("x"));
  EXPECT_TRUE(describe().starts_with("a.txt|0|0|"));
}

#ifdef _WIN32
// Windows has no file size limit for a process: the fault seam fails the second write from here
// on (the first is the entry's header), part-way through the entry, as a full disk would.
class WriteLimit {
 public:
  explicit WriteLimit(int) {}

 private:
  tav::testing::InjectedFault fault_{"write:2:ENOSPC"};
};
#else
// The process's file size limit makes the archive's writes fail part-way through an entry, as a
// full disk would.
class WriteLimit {
 public:
  explicit WriteLimit(rlim_t bytes) : signal_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit r = saved_;
    r.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &r);
  }
  ~WriteLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, signal_);
  }

 private:
  void (*signal_)(int);
  struct rlimit saved_ {};
};
#endif

TEST_F(ZipWriterTest, PartialEntryDamagesTheArchiveUntilRepaired) {
  std::string noise(300000, '\0');
  std::mt19937 g(3);
  for (char& c : noise) c = static_cast<char>(g());
  put("a.txt", std::string(1000, 'a'));
  put("szum.bin", noise);
  int repairs = 0;
  for (bool handler : {false, true}) {
    if (handler)
      zip_.onCorruption([&](ZipWriter& z) {
        ++repairs;
        return z.fix();
      });
    ASSERT_TRUE(zip_.open(archive_));
    EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "a.txt"), kZipOk);
    {
      WriteLimit limit(100000);
      EXPECT_EQ(zip_.addFile("C:\\rel\\szum.bin", "szum.bin"), kZipFileError);
    }
    EXPECT_EQ(zip_.damaged(), !handler);
    EXPECT_EQ(zip_.addFile("C:\\rel\\a.txt", "b.txt"), handler ? kZipOk : kZipDamaged);
    // Unrepaired, it is never saved as a whole archive.
    EXPECT_EQ(zip_.save("x"), handler);
    EXPECT_EQ(fs::exists(host()), handler);
    EXPECT_FALSE(leftovers());
  }
  EXPECT_EQ(repairs, 1);
  std::string out = describe();
  EXPECT_TRUE(out.starts_with("a.txt|8|0|")) << out;
  EXPECT_NE(out.find("\nb.txt|8|0|"), std::string::npos) << out;
  EXPECT_EQ(out.find("szum.bin"), std::string::npos) << out;
}

}  // namespace
